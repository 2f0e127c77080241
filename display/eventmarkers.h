// Labelled vertical markers over the signal plot, one per event of a recording
// (an annotation of a file under review): a line at the onset, with its text,
// and a shaded span when the event has a duration.
//
// A file may carry thousands of events, so a repaint looks up the ones in the
// visible time range (they are kept sorted by onset) and draws at most one
// line per pixel column and only labels that do not overlap the one before.
// Lives in the GUI thread, owned by the plot like any of its layerables.
#pragma once

#include <QString>
#include <QVector>
#include <qcustomplot.h>

struct EventMarker {
    double onset = 0;     // seconds on the plot's time axis
    double duration = -1; // seconds; < 0 or 0: a line only
    QString text;
};

// A marker as a line of the Аннотации list: "00:01:02.345  text (2.5 с)".
QString eventRowText(const EventMarker& marker);

class EventMarkers : public QCPLayerable
{
    Q_OBJECT

public:
    // Adds itself to `plot` on a layer of its own above the graphs.
    explicit EventMarkers(QCustomPlot* plot);

    // Replaces the markers (any order); the next repaint shows them.
    void setMarkers(QVector<EventMarker> markers);
    // Adds one marker in onset order (after those of the same onset) and
    // returns its index: cheap for markers that come in order, as a capture's do.
    int addMarker(const EventMarker& marker);
    const QVector<EventMarker>& markers() const { return list; }

    // Indices [first, last) of the markers whose onset or span reaches into
    // lower..upper seconds.
    void visible(double lower, double upper, int& first, int& last) const;
    // Markers drawn by the last repaint, as their indices, for tests and
    // diagnostics.
    const QVector<int>& drawn() const { return drawnIndices; }

protected:
    void applyDefaultAntialiasingHint(QCPPainter* painter) const override;
    QRect clipRect() const override;
    void draw(QCPPainter* painter) override;

private:
    QVector<EventMarker> list;
    double longest = 0; // the longest duration, to find spans that began before the view
    QVector<int> drawnIndices;
};
