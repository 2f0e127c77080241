#include "display/signalview.h"

#include <QTimer>
#include <algorithm>
#include <cmath>
#include <qcustomplot.h>

#include "capture/capturestore.h"
#include "display/plots.h"

namespace
{

// Hertz as the View tool bar writes them: "0,5", "50".
QString hertz(double value)
{
    return QString::number(value).replace('.', ',');
}

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
    : QObject(parent), plot(plot), graphs(graphs, graphs + channelCount), store(store),
      filtered(store)
{
    scrollWidthSeconds = plot->xAxis->range().size();
    settings.window = scrollWidthSeconds;
    plainTicker = plot->yAxis->ticker();
    plainTicker2 = plot->yAxis2->ticker();
    laneTicker.reset(new QCPAxisTickerText);

    // Captions sit above the graphs and the grid, inside the axis rect.
    auto caption = [plot](Qt::Alignment alignment) {
        auto* text = new QCPItemText(plot);
        text->setLayer("legend");
        text->setPositionAlignment(alignment);
        text->setBrush(QColor(255, 255, 255, 210));
        text->setPadding(QMargins(4, 2, 4, 2));
        text->setVisible(false);
        return text;
    };
    filterText = caption(Qt::AlignLeft | Qt::AlignTop);
    filterText->position->setType(QCPItemPosition::ptAxisRectRatio);
    filterText->position->setCoords(0.005, 0.01);
    // The scale bar: one lane's height at the right edge of the top lane.
    scaleBar = new QCPItemLine(plot);
    scaleBar->setLayer("legend");
    scaleBar->setPen(QPen(Qt::black, 2));
    scaleBar->setHead(QCPLineEnding::esBar);
    scaleBar->setTail(QCPLineEnding::esBar);
    for (QCPItemPosition* end : {scaleBar->start, scaleBar->end}) {
        end->setTypeX(QCPItemPosition::ptAxisRectRatio);
        end->setTypeY(QCPItemPosition::ptPlotCoords);
    }
    scaleBar->setVisible(false);
    scaleText = caption(Qt::AlignRight | Qt::AlignVCenter);
    scaleText->position->setTypeX(QCPItemPosition::ptAxisRectRatio);
    scaleText->position->setTypeY(QCPItemPosition::ptPlotCoords);

    refilterTimer = new QTimer(this);
    refilterTimer->setSingleShot(true);
    refilterTimer->setInterval(0);
    connect(refilterTimer, &QTimer::timeout, this, &SignalView::refilterSlice);

    connect(plot, &QCustomPlot::beforeReplot, this, &SignalView::rebuild);
    connect(plot->yAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &SignalView::valueRangeChanged);
}

SignalView::~SignalView() = default;

void SignalView::valueRangeChanged()
{
    if (!adjusting)
        autoFit = false;
}

void SignalView::setViewSettings(const structViewSettings& next)
{
    const structViewSettings was = settings;
    settings = next;
    if (next.window != was.window && next.window > 0) {
        scrollWidthSeconds = next.window;
        Adjusting guard(adjusting);
        plot->xAxis->setRange(plot->xAxis->range().upper, scrollWidthSeconds, Qt::AlignRight);
    }
    if (next.mode != was.mode) {
        autoFit = true; // a new mode starts fitted
        applyMode();
    }
    filtered.setChoices(next.highPass, next.lowPass, next.notch);
    scheduleRefilter();
    if (next.montage != was.montage || next.mode != was.mode)
        updateMontage();
    dirty = true;
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void SignalView::samplesAppended()
{
    filtered.follow();
    scheduleRefilter();
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
    filtered.restart();
    scheduleRefilter();
    updateMontage();
    dirty = true;
}

void SignalView::labelsChanged()
{
    updateMontage();
    for (std::size_t c = 0; c < graphs.size(); ++c)
        graphs[c]->setName(laneName(int(c)));
    dirty = true;
}

bool SignalView::derivedLanes() const
{
    return settings.mode == ViewMode::Lanes && !derivations.isIdentity() &&
           !derivations.rows.isEmpty();
}

void SignalView::updateMontage()
{
    derivations = Montage();
    montageNote.clear();
    dirty = true;
    if (settings.montage == MontageKind::AsRecorded || settings.mode != ViewMode::Lanes)
        return;
    const int n = store->channelCount();
    bool alike = n >= 2;
    // Differences are taken of the values as stored: the channels must share
    // one voltage unit as well as one rate.
    for (int c = 0; c < n && alike; ++c)
        alike = store->channel(c).samplesPerSecond == store->channel(0).samplesPerSecond &&
                store->channel(c).unit == store->channel(0).unit &&
                FilteredCapture::microvoltsPer(store->channel(c).unit) > 0;
    if (!alike) {
        montageNote = tr("Монтаж: нужны каналы напряжения с одной частотой отсчётов и "
                         "одной единицей");
        return;
    }
    // Electrodes by their names: a file's "EEG Fp1" is the electrode Fp1.
    QStringList names;
    for (int c = 0; c < n; ++c) {
        QString name = laneName(c);
        if (name.startsWith(QLatin1String("EEG "), Qt::CaseInsensitive))
            name = name.mid(4).trimmed();
        names << name;
    }
    if (settings.montage == MontageKind::AverageReference) {
        derivations = averageReferenceMontage(names);
        montageNote = tr("Монтаж: средний референт");
        return;
    }
    QStringList missing;
    derivations = bipolarMontage(names, longitudinalChain(), &missing);
    if (derivations.rows.isEmpty()) {
        derivations = Montage();
        montageNote = tr("Монтаж: нет электродов 10–20 (Параметры → Электроды...)");
    } else {
        montageNote = tr("Монтаж: продольный биполярный");
        if (!missing.isEmpty())
            montageNote += tr(" (нет %1)").arg(missing.join(QStringLiteral(", ")));
    }
}

void SignalView::scheduleRefilter()
{
    if (filtered.busy() && !refilterTimer->isActive()) {
        sinceRefilterRepaint.start();
        refilterTimer->start();
    }
}

// One slice of refiltering per turn of the event loop, so that input and
// repaints go on between slices; the picture follows a few times a second.
void SignalView::refilterSlice()
{
    const bool more = filtered.step(refilterSliceMs);
    dirty = true;
    if (!more || sinceRefilterRepaint.elapsed() >= 250) {
        plot->replot(QCustomPlot::rpQueuedReplot);
        sinceRefilterRepaint.start();
    }
    if (more)
        refilterTimer->start();
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
    for (int c = 0; c < store->channelCount(); ++c) {
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

int SignalView::laneCount() const
{
    if (derivedLanes())
        return derivations.rows.size();
    return std::max(1, store->channelCount());
}

QString SignalView::laneName(int c) const
{
    // A live capture's channels are numbered unless the operator named their
    // electrodes; a recording's have their labels.
    if (derivedLanes())
        return c >= 0 && c < derivations.rows.size() ? derivations.rows[c].name : QString();
    return storeChannelName(*store, c);
}

QString SignalView::readout(const QPointF& at) const
{
    if (settings.mode != ViewMode::Lanes)
        return signalReadout(at.x(), at.y());
    const QString time = QString::number(at.x(), 'f', 3);
    const int c = laneCount() - 1 - int(std::floor(at.y()));
    const bool derived = derivedLanes();
    if (c < 0 || c >= (derived ? laneCount() : store->channelCount()))
        return tr("Время=%1сек").arg(time);
    const CaptureChannel& info = store->channel(derived ? derivations.rows[c].plus : c);
    const double microvolts = FilteredCapture::microvoltsPer(info.unit);
    QString value, unit;
    if (microvolts > 0) {
        // A tenth of a microvolt is finer than the headset's count.
        value = QString::number((at.y() - laneCentre(c)) * settings.sensitivity, 'f', 1);
        unit = tr("мкВ");
    } else {
        const LaneMap map = c < int(maps.size()) ? maps[std::size_t(c)] : LaneMap();
        value = QString::number(map.a != 0 ? (at.y() - map.b) / map.a : map.b, 'g', 6);
        unit = info.unit;
    }
    return tr("Время=%1сек; %2=%3%4").arg(time, laneName(c), value, unit);
}

QString SignalView::filterCaption() const
{
    if (!filtered.anyChosen())
        return QString();
    const struct {
        DisplayFilter::Stage stage;
        double hz;
        const char* name;
    } stages[] = {
        {DisplayFilter::HighPass, settings.highPass, "ФВЧ %1 Гц"},
        {DisplayFilter::LowPass, settings.lowPass, "ФНЧ %1 Гц"},
        {DisplayFilter::Notch, settings.notch, "Режектор %1 Гц"},
    };
    QStringList parts;
    for (const auto& s : stages) {
        if (!(s.hz > 0))
            continue;
        const QString name = tr(s.name).arg(hertz(s.hz));
        const QStringList skipped = filtered.droppedOn(s.stage);
        if (!skipped.isEmpty() && !filtered.isActive(s.stage))
            parts << tr("%1: не применяется при этой частоте отсчётов").arg(name);
        else if (!skipped.isEmpty())
            parts << tr("%1 (не применяется к %2: частота отсчётов)").arg(name, skipped.join(", "));
        else if (filtered.isActive(s.stage))
            parts << name;
    }
    QString text = parts.join("; ");
    if (filtered.busy())
        text += tr(" (пересчёт %1 %)").arg(int(filtered.progress() * 100));
    return text;
}

void SignalView::applyMode()
{
    const bool lanes = settings.mode == ViewMode::Lanes;
    plot->yAxis->setTicker(lanes ? QSharedPointer<QCPAxisTicker>(laneTicker) : plainTicker);
    plot->yAxis2->setTicker(lanes ? QSharedPointer<QCPAxisTicker>(laneTicker) : plainTicker2);
    tickedNames.clear();
    scaleBar->setVisible(lanes);
    scaleText->setVisible(lanes);
}

void SignalView::updateLaneAxis()
{
    const int n = laneCount();
    QStringList names;
    for (int c = 0; c < n; ++c)
        names << laneName(c);
    if (names != tickedNames) {
        laneTicker->clear();
        for (int c = 0; c < n; ++c)
            laneTicker->addTick(laneCentre(c), names[c]);
        tickedNames = names;
    }
    scaleBar->start->setCoords(0.992, n);
    scaleBar->end->setCoords(0.992, n - 1);
    scaleText->position->setCoords(0.985, n - 0.5);
    scaleText->setText(tr("%1 мкВ").arg(settings.sensitivity));
}

void SignalView::updateCaptions()
{
    QString caption = filterCaption();
    if (!montageNote.isEmpty())
        caption = caption.isEmpty() ? montageNote : caption + QLatin1Char('\n') + montageNote;
    filterText->setText(caption);
    filterText->setVisible(!caption.isEmpty());
}

void SignalView::ensureGraphs(int count)
{
    while (int(graphs.size()) < count) {
        const int c = int(graphs.size());
        auto* graph = new QCPGraph(plot->xAxis, plot->yAxis);
        QPen pen(channelColor(c));
        pen.setWidth(1);
        graph->setPen(pen);
        graph->setName(laneName(c));
        graphs.push_back(graph);
    }
    // Graphs beyond the store's channels stay empty and out of the legend.
    for (std::size_t c = channelCount; c < graphs.size(); ++c) {
        graphs[c]->setName(laneName(int(c)));
        if (int(c) < store->channelCount())
            graphs[c]->addToLegend();
        else
            graphs[c]->removeFromLegend();
    }
}

void SignalView::visibleSamples(const CaptureStore* source, int c, double lower, double upper,
                                qint64& from, qint64& to) const
{
    const qint64 n = source->sampleCount(c);
    from = source->firstIndexFrom(c, lower);
    to = source->firstIndexFrom(c, upper);
    while (to < n && source->sampleTime(c, to) <= upper)
        ++to;
}

void SignalView::rebuild()
{
    const CaptureStore* source = filtered.source();
    const QCPRange range = plot->xAxis->range();
    int columns = plot->axisRect()->width();
    if (columns <= 0)
        columns = std::max(1, plot->width());
    const bool lanes = settings.mode == ViewMode::Lanes;
    if (lanes)
        updateLaneAxis();
    updateCaptions();
    if (!dirty && range.lower == builtLower && range.upper == builtUpper && columns == builtColumns)
        return;
    ensureGraphs(store->channelCount());
    maps.assign(graphs.size(), LaneMap());
    if (derivedLanes()) {
        buildDerived(source, range.lower, range.upper, columns);
    } else {
        for (int c = 0; c < int(graphs.size()); ++c) {
            if (lanes && c < source->channelCount())
                mapChannel(source, c, range.lower, range.upper);
            buildChannel(source, c, range.lower, range.upper, columns);
        }
    }
    if (autoFit) {
        if (lanes) {
            Adjusting guard(adjusting);
            plot->yAxis->setRange(0, laneCount());
        } else {
            fitValues(source, range.lower, range.upper);
        }
    }
    dirty = false;
    builtLower = range.lower;
    builtUpper = range.upper;
    builtColumns = columns;
}

void SignalView::mapChannel(const CaptureStore* source, int c, double lower, double upper)
{
    LaneMap& map = maps[std::size_t(c)];
    const double centre = laneCentre(c);
    const double microvolts = FilteredCapture::microvoltsPer(source->channel(c).unit);
    if (microvolts > 0) {
        map.a = microvolts / settings.sensitivity;
        map.b = centre;
        return;
    }
    // No sensitivity applies to other units: what is in view fills most of
    // the lane.
    qint64 from, to;
    visibleSamples(source, c, lower, upper, from, to);
    const CountRange r = source->countRange(c, from, to);
    double low = r.empty ? 0 : source->physical(c, r.min);
    double high = r.empty ? 0 : source->physical(c, r.max);
    if (low > high)
        std::swap(low, high);
    map.a = high > low ? 0.8 / (high - low) : 0;
    map.b = high > low ? centre - (low + high) / 2 * map.a : low;
    if (map.a == 0) // a flat trace on the zero line; the read-out gives its value
        map.b = low;
}

void SignalView::buildChannel(const CaptureStore* source, int c, double lower, double upper,
                              int columns)
{
    QVector<QCPGraphData> points;
    const qint64 n = c < source->channelCount() ? source->sampleCount(c) : 0;
    const LaneMap map = maps[std::size_t(c)];
    const bool flat = settings.mode == ViewMode::Lanes && map.a == 0;
    auto y = [&](double physical) { return flat ? laneCentre(c) : map.a * physical + map.b; };
    if (n > 0) {
        qint64 from, to;
        visibleSamples(source, c, lower, upper, from, to);
        // The neighbours just outside the range carry the line to the edges.
        const qint64 before = std::max<qint64>(from - 1, 0);
        const qint64 after = std::min(to + 1, n);
        auto addSample = [&](qint64 i) {
            points.append({source->sampleTime(c, i), y(source->value(c, i))});
        };
        const bool everySample = to - from <= qint64(pointsPerColumn) * columns;
        // Smoothing the edges of a column's stroke adds nothing to the
        // picture and costs most of the drawing time of a zoomed-out view.
        graphs[std::size_t(c)]->setAntialiased(everySample);
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
                    j + 1 == columns ? to : source->firstIndexFrom(c, lower + (j + 1) * width);
                const CountRange r = source->countRange(c, start, end);
                if (!r.empty) {
                    // Alternating the order joins neighbours end to end (max to
                    // max, min to min) instead of by a stroke across the whole
                    // height: the same columns, half the ink to draw.
                    const double key = lower + (j + 0.5) * width;
                    const bool up = j % 2 == 0;
                    points.append({key, y(source->physical(c, up ? r.min : r.max))});
                    points.append({key, y(source->physical(c, up ? r.max : r.min))});
                }
                start = end;
            }
            if (to < after)
                addSample(to);
        }
    }
    graphs[std::size_t(c)]->data()->set(points, true);
}

void SignalView::buildDerived(const CaptureStore* source, double lower, double upper, int columns)
{
    // Every channel shares the first one's rate and start (updateMontage
    // checked), so one index range serves them all. Zoomed far out, every
    // stride-th sample stands for its neighbours: a derived row has no
    // pyramid of its own, and the cost of a repaint must stay bounded.
    const int channels = source->channelCount();
    qint64 n = source->sampleCount(0);
    for (int c = 1; c < channels; ++c)
        n = std::min(n, source->sampleCount(c));
    qint64 from = 0, to = 0;
    visibleSamples(source, 0, lower, upper, from, to);
    to = std::min(to, n);
    from = std::min(from, to);
    const qint64 before = std::max<qint64>(from - 1, 0);
    const qint64 after = std::min(to + 1, n);
    const qint64 budget = qint64(columns) * 64;
    const qint64 stride = after - before > budget ? (after - before + budget - 1) / budget : 1;
    const int count = int((after - before + stride - 1) / stride);

    gathered.resize(std::size_t(channels));
    derived.resize(std::size_t(derivations.rows.size()));
    gatheredTimes.resize(std::size_t(count));
    std::vector<const double*> in(static_cast<std::size_t>(channels));
    std::vector<double*> out(derived.size());
    for (int c = 0; c < channels; ++c) {
        std::vector<double>& v = gathered[std::size_t(c)];
        v.resize(std::size_t(count));
        for (int k = 0; k < count; ++k)
            v[std::size_t(k)] = source->value(c, before + k * stride);
        in[std::size_t(c)] = v.data();
    }
    for (int k = 0; k < count; ++k)
        gatheredTimes[std::size_t(k)] = source->sampleTime(0, before + k * stride);
    for (std::size_t r = 0; r < derived.size(); ++r) {
        derived[r].resize(std::size_t(count));
        out[r] = derived[r].data();
    }
    applyMontage(derivations, in.data(), channels, out.data(), count);

    const bool everySample = stride == 1 && to - from <= qint64(pointsPerColumn) * columns;
    const double width = (upper - lower) / columns;
    for (int r = 0; r < int(graphs.size()); ++r) {
        QVector<QCPGraphData> points;
        if (r < int(derived.size()) && count > 0) {
            const Derivation& d = derivations.rows[r];
            const double centre = laneCentre(r);
            const double a =
                FilteredCapture::microvoltsPer(source->channel(d.plus).unit) / settings.sensitivity;
            maps[std::size_t(r)] = {a, centre};
            const std::vector<double>& v = derived[std::size_t(r)];
            graphs[std::size_t(r)]->setAntialiased(everySample);
            if (everySample) {
                points.reserve(count);
                for (int k = 0; k < count; ++k)
                    points.append({gatheredTimes[std::size_t(k)], a * v[std::size_t(k)] + centre});
            } else {
                // Each column's extremes, joined end to end as buildChannel does.
                auto column = [&](int k) {
                    const double t = gatheredTimes[std::size_t(k)];
                    return std::clamp(int(std::floor((t - lower) / width)), 0, columns - 1);
                };
                points.reserve(2 * columns + 2);
                for (int k = 0; k < count;) {
                    const int j = column(k);
                    double lo = v[std::size_t(k)], hi = lo;
                    int m = k + 1;
                    for (; m < count && column(m) == j; ++m) {
                        lo = std::min(lo, v[std::size_t(m)]);
                        hi = std::max(hi, v[std::size_t(m)]);
                    }
                    const double key = lower + (j + 0.5) * width;
                    const bool up = j % 2 == 0;
                    points.append({key, a * (up ? lo : hi) + centre});
                    points.append({key, a * (up ? hi : lo) + centre});
                    k = m;
                }
            }
        }
        graphs[std::size_t(r)]->data()->set(points, true);
    }
}

void SignalView::fitValues(const CaptureStore* source, double lower, double upper)
{
    bool any = false;
    double low = 0, high = 0;
    for (int c = 0; c < int(graphs.size()) && c < source->channelCount(); ++c) {
        if (!graphs[std::size_t(c)]->visible())
            continue;
        qint64 from, to;
        visibleSamples(source, c, lower, upper, from, to);
        const CountRange r = source->countRange(c, from, to);
        if (r.empty)
            continue;
        double a = source->physical(c, r.min), b = source->physical(c, r.max);
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
