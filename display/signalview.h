// What the signal plot draws of a capture: its twelve graphs hold only what the
// visible time range needs, taken from the capture store before each repaint.
// Zoomed in, every sample in view is a point; when more than a few samples fall
// in one pixel column, each column gets its smallest and largest value instead
// (from the store's pyramid), so a peak is never lost and the cost of a repaint
// does not grow with the capture.
//
// It also keeps the two axis rules of the plot: the value axis is fitted to what
// is in view until the user zooms or drags it (fitAll turns fitting back on),
// and the time axis remembers the width the user last gave it, so that a new
// capture scrolls at that width even after a fit to a long capture.
//
// Lives in the GUI thread with the plot; the store must outlive it.
#pragma once

#include <QObject>
#include <QtGlobal>

#include "device/types.h"

class CaptureStore;
class QCPGraph;
class QCPRange;
class QCustomPlot;

class SignalView : public QObject
{
    Q_OBJECT

public:
    // Beyond this many samples per pixel column on average, columns are drawn
    // as their extremes.
    static constexpr int pointsPerColumn = 4;

    SignalView(QCustomPlot* plot, QCPGraph* const graphs[channelCount], const CaptureStore* store,
               QObject* parent = nullptr);

    // Samples were appended to the store: the time axis moves to end at the
    // newest one, keeping its width. Drawing waits for the next repaint.
    void samplesAppended();
    // The store was emptied or refilled; the next repaint redraws.
    void storeChanged();
    // Time axis over the whole capture, value axis fitted to it, fitting on
    // again; replots.
    void fitAll();
    // Back to the scrolling width, ending at the start of a new capture.
    void restoreScrollWidth();
    // Shows lower..upper seconds (a recording under review is paged through
    // this way); not taken as a width the user chose for scrolling.
    // `refitValues` turns the fitting of the value axis back on, as fitAll
    // does, without its replot.
    void showRange(double lower, double upper, bool refitValues = false);

    bool fitsValues() const { return autoFit; }
    double scrollWidth() const { return scrollWidthSeconds; }
    // Pixel columns the graphs were last built for.
    int columns() const { return builtColumns; }

    // Rebuilds the graphs (and fits the value axis) if the store, the time
    // range or the plot's width changed since the last build. Runs before
    // every repaint of the plot.
    void rebuild();

private:
    void timeRangeChanged(const QCPRange& range);
    void valueRangeChanged();
    void buildChannel(int c, double lower, double upper, int columns);
    void fitValues(double lower, double upper);
    // Samples of channel c with lower <= time <= upper, as [from, to).
    void visibleSamples(int c, double lower, double upper, qint64& from, qint64& to) const;

    QCustomPlot* plot;
    QCPGraph* graphs[channelCount];
    const CaptureStore* store;
    bool autoFit = true;
    bool adjusting = false; // our own axis changes are not the user's
    bool dirty = true;
    double scrollWidthSeconds = 2;
    double builtLower = 0, builtUpper = 0;
    int builtColumns = 0;
};
