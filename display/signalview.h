// What the signal plot draws of a capture: its twelve graphs hold only what the
// visible time range needs, taken from the capture store before each repaint.
// Zoomed in, every sample in view is a point; when more than a few samples fall
// in one pixel column, each column gets its smallest and largest value instead
// (from the store's pyramid), so a peak is never lost and the cost of a repaint
// does not grow with the capture.
//
// It also keeps the two axis rules of the plot: the value axis is fitted to what
// is in view until the user zooms or drags it (fitAll turns fitting back on),
// and a capture scrolls at the width of the time window the operator chose:
// Start and a new choice return the time axis to it. A wheel zoom or a fit
// changes the width only until then (scrolling keeps the width it finds).
//
// Two ways of showing the channels: overlaid on one value axis in the store's
// units, or each in its own horizontal lane, channel 1 at the top, the lanes
// filling the height. In lanes the value axis counts lanes (lane c spans
// laneCentre(c) -+ 0.5) and a lane's height is the sensitivity in microvolts;
// a channel whose unit is not a voltage is fitted to its lane instead.
//
// A montage (lanes only) derives what each lane shows from the channels: the
// average reference or bipolar pairs found by the channels' electrode names.
// Like the filters, it changes the picture and the read-out, never the store.
//
// The display filters run on what is drawn only: a filtered copy of the store
// (FilteredCapture) kept up as samples arrive, refiltered in the background
// when the choice changes. The filters in force are written on the plot.
//
// Lives in the GUI thread with the plot; the store must outlive it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointF>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <vector>

#include "analysis/montage.h"
#include "device/types.h"
#include "display/filteredcapture.h"
#include "display/viewsettings.h"

class CaptureStore;
class QCPAxisTicker;
class QCPAxisTickerText;
class QCPGraph;
class QCPItemLine;
class QCPItemText;
class QCustomPlot;
class QTimer;

class SignalView : public QObject
{
    Q_OBJECT

public:
    // Beyond this many samples per pixel column on average, columns are drawn
    // as their extremes.
    static constexpr int pointsPerColumn = 4;

    // Longest stretch of refiltering done at one go in the GUI thread.
    static constexpr double refilterSliceMs = 20;

    // The plot's first graphs draw the store's first channels; graphs for
    // further channels (a recording with more of them) are added as needed.
    SignalView(QCustomPlot* plot, QCPGraph* const graphs[channelCount], const CaptureStore* store,
               QObject* parent = nullptr);
    ~SignalView() override;

    // The operator's view choices: mode, sensitivity, time window, filters.
    void setViewSettings(const structViewSettings& settings);
    const structViewSettings& viewSettings() const { return settings; }

    // Samples were appended to the store: the time axis moves to end at the
    // newest one, keeping its width. Drawing waits for the next repaint.
    void samplesAppended();
    // The store was emptied or refilled (a Start, a Clear, a recording read
    // back): the display filters start afresh; the next repaint redraws.
    void storeChanged();
    // The store's channels were renamed: lanes, legend and read-out follow.
    void labelsChanged();
    // Time axis over the whole capture, value axis fitted to it, fitting on
    // again; replots.
    void fitAll();
    // Back to the chosen time window, ending at the start of a new capture.
    void restoreScrollWidth();
    // Shows lower..upper seconds (a recording under review is paged through
    // this way); not taken as a width the user chose for scrolling.
    // `refitValues` turns the fitting of the value axis back on, as fitAll
    // does, without its replot.
    void showRange(double lower, double upper, bool refitValues = false);

    // Lanes: as many as the store has channels (at least one); lane c's zero
    // line on the value axis.
    int laneCount() const;
    double laneCentre(int c) const { return laneCount() - c - 0.5; }
    // The name a lane is labelled with.
    QString laneName(int c) const;
    // The status-bar text for the cursor at plot coordinates: time and volts
    // on the overlay; time, the channel under the cursor and its value in
    // microvolts (or the channel's own unit) in lanes.
    QString readout(const QPointF& at) const;

    // What the graphs are drawn from: the store, or its filtered copy.
    const CaptureStore* drawnStore() const { return filtered.source(); }
    const FilteredCapture& filters() const { return filtered; }
    // The text on the plot that names the filters in force ("" when none).
    QString filterCaption() const;
    // The montage in force in lanes (as recorded when none can be made), and
    // what the caption says of it ("" as recorded).
    const Montage& montage() const { return derivations; }
    QString montageCaption() const { return montageNote; }
    // Graph of channel c, once the plot has drawn that many channels.
    QCPGraph* graph(int c) const
    {
        return c >= 0 && c < int(graphs.size()) ? graphs[std::size_t(c)] : nullptr;
    }

    bool fitsValues() const { return autoFit; }
    double scrollWidth() const { return scrollWidthSeconds; }
    // Pixel columns the graphs were last built for.
    int columns() const { return builtColumns; }

    // Rebuilds the graphs (and fits the value axis) if the store, the time
    // range or the plot's width changed since the last build. Runs before
    // every repaint of the plot.
    void rebuild();

private:
    // Value-axis position of a physical value of a channel: a * value + b.
    struct LaneMap {
        double a = 1, b = 0;
    };

    void valueRangeChanged();
    void buildChannel(const CaptureStore* source, int c, double lower, double upper, int columns);
    // Lanes derived by the montage, every row from the same visible samples.
    bool derivedLanes() const;
    void updateMontage();
    void buildDerived(const CaptureStore* source, double lower, double upper, int columns);
    void fitValues(const CaptureStore* source, double lower, double upper);
    void mapChannel(const CaptureStore* source, int c, double lower, double upper);
    // Samples of channel c with lower <= time <= upper, as [from, to).
    void visibleSamples(const CaptureStore* source, int c, double lower, double upper, qint64& from,
                        qint64& to) const;
    void ensureGraphs(int count);
    void applyMode();
    void updateLaneAxis();
    void updateCaptions();
    void scheduleRefilter();
    void refilterSlice();

    QCustomPlot* plot;
    std::vector<QCPGraph*> graphs;
    const CaptureStore* store;
    FilteredCapture filtered;
    structViewSettings settings;
    std::vector<LaneMap> maps;
    Montage derivations;
    QString montageNote;
    // The visible samples of every channel and every derived row, kept between
    // repaints so that a repaint does not allocate.
    std::vector<std::vector<double>> gathered, derived;
    std::vector<double> gatheredTimes;
    bool autoFit = true;
    bool adjusting = false; // our own axis changes are not the user's
    bool dirty = true;
    double scrollWidthSeconds = 2;
    double builtLower = 0, builtUpper = 0;
    int builtColumns = 0;

    QSharedPointer<QCPAxisTicker> plainTicker, plainTicker2;
    QSharedPointer<QCPAxisTickerText> laneTicker;
    QStringList tickedNames;
    QCPItemText* filterText;
    QCPItemLine* scaleBar;
    QCPItemText* scaleText;
    QTimer* refilterTimer;
    QElapsedTimer sinceRefilterRepaint;
};
