#include "display/filteredcapture.h"

#include <QElapsedTimer>
#include <QRunnable>
#include <QThreadPool>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <limits>

#include "capture/capturestore.h"

namespace
{

// Samples of one channel taken at a time: small enough to check the clock
// often, large enough that the check costs nothing.
constexpr qint64 chunk = 4096;

// The scale of a filtered channel. Its values are not the file's: a
// high-pass puts a signal that sits far from zero (a 25 uV window around
// 175,933 uV) at zero, which the file's own scale may not reach within 32
// bits. So the copy counts from zero, in steps that cover four times the
// largest value any 24-bit count of the channel can stand for (room for the
// filters' overshoot): finer than the file's own step unless the offset is
// over 63 times the half-range of the channel's counts, and fine enough to
// draw even then (a 25 uV window at 175,933 uV keeps 75,000 steps).
double filteredGain(const CaptureChannel& info)
{
    constexpr double fullScale = 8388608.0; // 2^23
    const double largest = std::max(std::fabs(info.offset - info.gain * fullScale),
                                    std::fabs(info.offset + info.gain * fullScale));
    const double gain = 4 * largest / double(std::numeric_limits<qint32>::max());
    return gain > 0 && std::isfinite(gain) ? gain : info.gain;
}

qint32 countFrom(double physical, const CaptureChannel& info)
{
    const double c = std::nearbyint((physical - info.offset) / info.gain);
    if (!(c == c))
        return 0;
    if (c >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (c <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(c);
}

} // namespace

struct FilteredCapture::Pass {
    CaptureStore store;
    // One filter per channel, for its own rate; null where the channel is
    // copied as it is.
    std::vector<std::unique_ptr<DisplayFilter>> filters;
    bool filtering = false; // some stage runs on some channel
    std::vector<double> values;
    std::vector<qint32> counts;
};

FilteredCapture::FilteredCapture(const CaptureStore* raw) : raw(raw) {}

FilteredCapture::~FilteredCapture()
{
    retire(current);
    retire(pending);
}

void FilteredCapture::retire(std::unique_ptr<Pass>& slot)
{
    // Giving back the memory of a long capture's copy (a gigabyte after a
    // night) takes longer than a repaint: a pool thread does it. Nothing else
    // refers to a retired copy.
    class Release : public QRunnable
    {
    public:
        explicit Release(Pass* pass) : pass(pass) {}
        void run() override { delete pass; }

    private:
        Pass* pass;
    };
    constexpr qint64 inlineBytes = qint64(16) << 20;
    if (slot && slot->store.memoryBytes() > inlineBytes)
        QThreadPool::globalInstance()->start(new Release(slot.release()));
    slot.reset();
}

double FilteredCapture::microvoltsPer(const QString& unit)
{
    const QString u = unit.trimmed();
    if (u == "V")
        return 1e6;
    if (u == "mV")
        return 1e3;
    if (u == "uV" || u == QString::fromUtf8("µV") || u == QString::fromUtf8("μV") ||
        u == QString::fromUtf8("мкВ"))
        return 1;
    if (u == "nV")
        return 1e-3;
    return 0;
}

std::unique_ptr<FilteredCapture::Pass> FilteredCapture::makePass() const
{
    auto pass = std::make_unique<Pass>();
    // The copy keeps the raw store's time base, so that both give a sample the
    // same time.
    if (raw->period() > 0) {
        pass->store.reset(raw->period(), raw->startTime(), raw->firstSample());
    } else {
        QVector<CaptureChannel> list;
        for (int c = 0; c < raw->channelCount(); ++c)
            list << raw->channel(c);
        pass->store.reset(list, raw->startTime());
    }
    for (int c = 0; c < raw->channelCount(); ++c) {
        const CaptureChannel& info = raw->channel(c);
        std::unique_ptr<DisplayFilter> filter;
        if (microvoltsPer(info.unit) > 0 && std::isfinite(info.gain) && info.gain != 0 &&
            info.samplesPerSecond > 0) {
            filter = std::make_unique<DisplayFilter>(1);
            filter->setRate(info.samplesPerSecond);
            filter->setChoices(choice[0], choice[1], choice[2]);
            pass->filtering = pass->filtering || !filter->isPassThrough();
            if (!filter->isPassThrough())
                pass->store.setScale(c, filteredGain(info), 0);
        }
        pass->filters.push_back(std::move(filter));
    }
    return pass;
}

bool FilteredCapture::stale(const Pass& pass) const
{
    if (pass.store.channelCount() != raw->channelCount() || pass.store.period() != raw->period() ||
        pass.store.firstSample() != raw->firstSample())
        return true;
    for (int c = 0; c < raw->channelCount(); ++c)
        if (pass.store.sampleCount(c) > raw->sampleCount(c) ||
            pass.store.secondsPer(c) != raw->secondsPer(c))
            return true;
    return false;
}

qint64 FilteredCapture::backlog(const Pass& pass) const
{
    if (!pass.filtering)
        return 0;
    qint64 left = 0;
    for (int c = 0; c < raw->channelCount(); ++c)
        left += raw->sampleCount(c) - pass.store.sampleCount(c);
    return left;
}

void FilteredCapture::advance(Pass& pass, double budgetMs)
{
    if (!pass.filtering)
        return;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        bool any = false;
        for (int c = 0; c < raw->channelCount(); ++c) {
            const qint64 from = pass.store.sampleCount(c);
            const qint64 to = std::min(raw->sampleCount(c), from + chunk);
            if (from >= to)
                continue;
            any = true;
            const std::size_t n = std::size_t(to - from);
            pass.counts.resize(n);
            DisplayFilter* filter = pass.filters[std::size_t(c)].get();
            if (!filter || filter->isPassThrough()) {
                for (std::size_t i = 0; i < n; ++i)
                    pass.counts[i] = raw->count(c, from + qint64(i));
            } else {
                pass.values.resize(n);
                for (std::size_t i = 0; i < n; ++i)
                    pass.values[i] = raw->value(c, from + qint64(i));
                filter->process(0, pass.values.data(), n);
                const CaptureChannel& info = pass.store.channel(c);
                for (std::size_t i = 0; i < n; ++i)
                    pass.counts[i] = countFrom(pass.values[i], info);
            }
            pass.store.appendCounts(c, pass.counts.data(), qint64(n));
        }
        if (!any || (budgetMs >= 0 && clock.nsecsElapsed() >= budgetMs * 1e6))
            return;
    }
}

void FilteredCapture::setChoices(double highPassHz, double lowPassHz, double notchHz)
{
    if (highPassHz == choice[0] && lowPassHz == choice[1] && notchHz == choice[2])
        return;
    choice[0] = highPassHz;
    choice[1] = lowPassHz;
    choice[2] = notchHz;
    retire(pending);
    if (!anyChosen()) {
        retire(current);
        return;
    }
    // The copy drawn so far stays until the new one has caught up.
    pending = makePass();
    pendingTotal = backlog(*pending);
    if (pendingTotal <= immediateLimit) {
        advance(*pending, -1);
        retire(current);
        current = std::move(pending);
    }
}

void FilteredCapture::restart()
{
    retire(current);
    retire(pending);
    if (!anyChosen())
        return;
    pending = makePass();
    pendingTotal = backlog(*pending);
    if (pendingTotal <= immediateLimit) {
        advance(*pending, -1);
        current = std::move(pending);
    }
}

void FilteredCapture::checkStale()
{
    if ((current && stale(*current)) || (pending && stale(*pending)))
        restart();
}

void FilteredCapture::follow()
{
    checkStale();
    if (current && backlog(*current) <= immediateLimit)
        advance(*current, -1);
}

bool FilteredCapture::step(double budgetMs)
{
    checkStale();
    Pass* pass = pending ? pending.get() : current.get();
    if (pass)
        advance(*pass, budgetMs);
    if (pending && backlog(*pending) == 0) {
        retire(current);
        current = std::move(pending);
    }
    return busy();
}

bool FilteredCapture::busy() const
{
    return pending || (current && backlog(*current) > 0);
}

double FilteredCapture::progress() const
{
    if (pending) {
        const qint64 left = backlog(*pending);
        const qint64 total = std::max(pendingTotal, left);
        return total > 0 ? 1.0 - double(left) / double(total) : 1.0;
    }
    if (current) {
        qint64 total = 0;
        for (int c = 0; c < raw->channelCount(); ++c)
            total += raw->sampleCount(c);
        return total > 0 ? 1.0 - double(backlog(*current)) / double(total) : 1.0;
    }
    return 1.0;
}

const CaptureStore* FilteredCapture::source() const
{
    if (current && current->filtering && !stale(*current))
        return &current->store;
    return raw;
}

bool FilteredCapture::isActive(DisplayFilter::Stage stage) const
{
    const Pass* pass = pending ? pending.get() : current.get();
    if (pass)
        for (const auto& filter : pass->filters)
            if (filter && filter->isActive(stage))
                return true;
    return false;
}

QStringList FilteredCapture::droppedOn(DisplayFilter::Stage stage) const
{
    QStringList names;
    const Pass* pass = pending ? pending.get() : current.get();
    if (!pass)
        return names;
    for (std::size_t c = 0; c < pass->filters.size(); ++c) {
        const auto& filter = pass->filters[c];
        if (filter && filter->isDropped(stage) && int(c) < raw->channelCount())
            names << raw->channel(int(c)).label;
    }
    return names;
}

bool FilteredCapture::isDropped(DisplayFilter::Stage stage) const
{
    const Pass* pass = pending ? pending.get() : current.get();
    if (pass)
        for (const auto& filter : pass->filters)
            if (filter && filter->isDropped(stage))
                return true;
    return false;
}
