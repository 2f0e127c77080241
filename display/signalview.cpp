#include "display/signalview.h"

#include <algorithm>
#include <cmath>
#include <qcustomplot.h>

#include "capture/capturestore.h"

namespace
{

// Sets an axis range from inside the view without it counting as the user's.
class Adjusting
{
public:
    explicit Adjusting(bool& flag) : flag(flag), was(flag) { flag = true; }
    ~Adjusting() { flag = was; }

private:
    bool& flag;
    bool was;
};

} // namespace

SignalView::SignalView(QCustomPlot* plot, QCPGraph* const graphs[channelCount],
                       const CaptureStore* store, QObject* parent)
    : QObject(parent), plot(plot), store(store)
{
    std::copy(graphs, graphs + channelCount, this->graphs);
    scrollWidthSeconds = plot->xAxis->range().size();
    connect(plot, &QCustomPlot::beforeReplot, this, &SignalView::rebuild);
    connect(plot->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &SignalView::timeRangeChanged);
    connect(plot->yAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &SignalView::valueRangeChanged);
}

void SignalView::timeRangeChanged(const QCPRange& range)
{
    // A width the user gives (wheel, or a range set from outside) becomes the
    // scrolling width; moves, fits and drags that keep the width do not.
    if (!adjusting && std::abs(range.size() - scrollWidthSeconds) > 1e-9 * range.size())
        scrollWidthSeconds = range.size();
}

void SignalView::valueRangeChanged()
{
    if (!adjusting)
        autoFit = false;
}

void SignalView::samplesAppended()
{
    dirty = true;
    const qint64 n = store->sampleCount();
    if (n == 0)
        return;
    Adjusting guard(adjusting);
    QCPAxis* axis = plot->xAxis;
    axis->setRange(store->sampleTime(0, n - 1), axis->range().size(), Qt::AlignRight);
}

void SignalView::storeChanged()
{
    dirty = true;
}

void SignalView::restoreScrollWidth()
{
    Adjusting guard(adjusting);
    plot->xAxis->setRange(0, scrollWidthSeconds, Qt::AlignRight);
    dirty = true;
}

void SignalView::showRange(double lower, double upper, bool refitValues)
{
    if (refitValues) {
        autoFit = true;
        dirty = true;
    }
    Adjusting guard(adjusting);
    plot->xAxis->setRange(lower, upper);
}

void SignalView::fitAll()
{
    double first = 0, last = 0;
    bool any = false;
    for (int c = 0; c < store->channelCount() && c < channelCount; ++c) {
        const qint64 n = store->sampleCount(c);
        if (n == 0)
            continue;
        const double a = store->sampleTime(c, 0), b = store->sampleTime(c, n - 1);
        first = any ? std::min(first, a) : a;
        last = any ? std::max(last, b) : b;
        any = true;
    }
    autoFit = true;
    dirty = true;
    if (any) {
        Adjusting guard(adjusting);
        QCPRange range(first, last);
        if (!QCPRange::validRange(range)) // one sample: keep the width, centre on it
            range = QCPRange(first - plot->xAxis->range().size() / 2,
                             first + plot->xAxis->range().size() / 2);
        plot->xAxis->setRange(range);
    }
    plot->replot();
}

void SignalView::visibleSamples(int c, double lower, double upper, qint64& from, qint64& to) const
{
    const qint64 n = store->sampleCount(c);
    from = store->firstIndexFrom(c, lower);
    to = store->firstIndexFrom(c, upper);
    while (to < n && store->sampleTime(c, to) <= upper)
        ++to;
}

void SignalView::rebuild()
{
    const QCPRange range = plot->xAxis->range();
    int columns = plot->axisRect()->width();
    if (columns <= 0)
        columns = std::max(1, plot->width());
    if (!dirty && range.lower == builtLower && range.upper == builtUpper && columns == builtColumns)
        return;
    for (int c = 0; c < channelCount; ++c)
        buildChannel(c, range.lower, range.upper, columns);
    if (autoFit)
        fitValues(range.lower, range.upper);
    dirty = false;
    builtLower = range.lower;
    builtUpper = range.upper;
    builtColumns = columns;
}

void SignalView::buildChannel(int c, double lower, double upper, int columns)
{
    QVector<QCPGraphData> points;
    const qint64 n = c < store->channelCount() ? store->sampleCount(c) : 0;
    if (n > 0) {
        qint64 from, to;
        visibleSamples(c, lower, upper, from, to);
        // The neighbours just outside the range carry the line to the edges.
        const qint64 before = std::max<qint64>(from - 1, 0);
        const qint64 after = std::min(to + 1, n);
        auto addSample = [&](qint64 i) {
            points.append({store->sampleTime(c, i), store->value(c, i)});
        };
        const bool everySample = to - from <= qint64(pointsPerColumn) * columns;
        // Smoothing the edges of a column's stroke adds nothing to the
        // picture and costs most of the drawing time of a zoomed-out view.
        graphs[c]->setAntialiased(everySample);
        if (everySample) {
            points.reserve(int(after - before));
            for (qint64 i = before; i < after; ++i)
                addSample(i);
        } else {
            points.reserve(2 * columns + 2);
            if (before < from)
                addSample(before);
            const double width = (upper - lower) / columns;
            qint64 start = from;
            for (int j = 0; j < columns; ++j) {
                const qint64 end =
                    j + 1 == columns ? to : store->firstIndexFrom(c, lower + (j + 1) * width);
                const CountRange r = store->countRange(c, start, end);
                if (!r.empty) {
                    // Alternating the order joins neighbours end to end (max to
                    // max, min to min) instead of by a stroke across the whole
                    // height: the same columns, half the ink to draw.
                    const double key = lower + (j + 0.5) * width;
                    const bool up = j % 2 == 0;
                    points.append({key, store->physical(c, up ? r.min : r.max)});
                    points.append({key, store->physical(c, up ? r.max : r.min)});
                }
                start = end;
            }
            if (to < after)
                addSample(to);
        }
    }
    graphs[c]->data()->set(points, true);
}

void SignalView::fitValues(double lower, double upper)
{
    bool any = false;
    double low = 0, high = 0;
    for (int c = 0; c < channelCount && c < store->channelCount(); ++c) {
        if (!graphs[c]->visible())
            continue;
        qint64 from, to;
        visibleSamples(c, lower, upper, from, to);
        const CountRange r = store->countRange(c, from, to);
        if (r.empty)
            continue;
        double a = store->physical(c, r.min), b = store->physical(c, r.max);
        if (a > b)
            std::swap(a, b); // a negative gain
        low = any ? std::min(low, a) : a;
        high = any ? std::max(high, b) : b;
        any = true;
    }
    if (!any)
        return;
    QCPAxis* axis = plot->yAxis;
    QCPRange range(low, high);
    if (!QCPRange::validRange(range)) {
        // Every value the same: keep the axis width and centre on it.
        const double size = axis->range().size();
        range = QCPRange(low - size / 2, low + size / 2);
    }
    Adjusting guard(adjusting);
    axis->setRange(range);
}
