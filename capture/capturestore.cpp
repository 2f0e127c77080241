#include "capture/capturestore.h"

#include <QThreadPool>

#include <algorithm>
#include <cmath>

namespace
{

qint32 countOf(double volts)
{
    // sampleCount limits to the 24-bit range; a value that is no number at all
    // is stored as 0 rather than converted.
    return std::isnan(volts) ? 0 : sampleCount(volts);
}

} // namespace

CaptureStore::CaptureStore()
{
    reset(16000, QDateTime());
}

void CaptureStore::reset(quint16 period, const QDateTime& startTime, quint64 firstSample)
{
    CaptureChannel live;
    live.unit = "V";
    live.samplesPerSecond = period > 0 ? 1.0 / (period * tickSeconds) : 0;
    live.gain = voltsPerCount;
    QVector<CaptureChannel> list;
    for (int c = 0; c < ::channelCount; ++c) {
        live.label = QString::number(c + 1);
        list << live;
    }
    reset(list, startTime);
    for (Channel& ch : channels)
        ch.secondsPerSample = period * tickSeconds; // exactly, not through the rate
    periodTicks = period;
    first = firstSample;
    origin = double(firstSample) + 1;
}

void CaptureStore::setChannelLabel(int c, const QString& label)
{
    if (c >= 0 && c < channelCount())
        channels[std::size_t(c)].info.label = label;
}

void CaptureStore::releaseChannels()
{
    // Giving back a night's samples (over a gigabyte) takes most of a
    // repaint's budget on the GUI thread: a pool thread does it. Nothing
    // refers to the old samples once they are out of the store.
    constexpr qint64 inlineBytes = qint64(64) << 20;
    if (memoryBytes() > inlineBytes) {
        auto* old = new std::vector<Channel>(std::move(channels));
        QThreadPool::globalInstance()->start([old] { delete old; });
    }
    channels.clear();
    channels.shrink_to_fit();
}

void CaptureStore::reset(const QVector<CaptureChannel>& list, const QDateTime& startTime)
{
    releaseChannels();
    channels.resize(std::size_t(list.size()));
    for (int c = 0; c < list.size(); ++c) {
        Channel& ch = channels[std::size_t(c)];
        ch.info = list[c];
        ch.secondsPerSample = list[c].samplesPerSecond > 0 ? 1.0 / list[c].samplesPerSecond : 0;
    }
    eventList.clear();
    eventList.squeeze();
    start = startTime;
    first = 0;
    origin = 0;
    periodTicks = 0;
    recordTicks = 0;
}

void CaptureStore::setScale(int c, double gain, double offset)
{
    if (c < 0 || c >= channelCount() || !(gain != 0) || !std::isfinite(gain))
        return;
    channels[std::size_t(c)].info.gain = gain;
    channels[std::size_t(c)].info.offset = offset;
}

void CaptureStore::append(const QVector<structSample>& batch)
{
    const int n = std::min(::channelCount, int(channels.size()));
    for (int c = 0; c < n; ++c) {
        Channel& ch = channels[std::size_t(c)];
        for (const structSample& sample : batch)
            ch.counts.append(countOf(sample.value[c]));
        extendPyramid(ch);
    }
}

void CaptureStore::appendCounts(int c, const qint32* counts, qint64 n)
{
    if (c < 0 || c >= channelCount())
        return;
    Channel& ch = channels[std::size_t(c)];
    for (qint64 i = 0; i < n; ++i)
        ch.counts.append(counts[i]);
    extendPyramid(ch);
}

void CaptureStore::addEvent(quint64 sample, const QString& text)
{
    const double per = channels.empty() ? 0 : channels[0].secondsPerSample;
    eventList.append({sample, text, double(sample) * per, -1});
}

void CaptureStore::addEvent(double onset, double duration, const QString& text)
{
    const double per = channels.empty() ? 0 : channels[0].secondsPerSample;
    const double at = per > 0 ? std::round(onset / per) : 0;
    eventList.append({quint64(std::max(0.0, at)), text, onset, duration});
}

CaptureStore& CaptureStore::operator=(CaptureStore&& other)
{
    if (this == &other)
        return *this;
    releaseChannels();
    channels = std::move(other.channels);
    eventList = std::move(other.eventList);
    start = other.start;
    first = other.first;
    origin = other.origin;
    periodTicks = other.periodTicks;
    recordTicks = other.recordTicks;
    return *this;
}

qint64 CaptureStore::sampleCount(int c) const
{
    return c >= 0 && c < channelCount() ? channels[std::size_t(c)].counts.size() : 0;
}

qint64 CaptureStore::firstIndexFrom(int c, double seconds) const
{
    const qint64 n = sampleCount(c);
    const double per = secondsPer(c);
    if (n == 0 || !(per > 0))
        return 0;
    const double estimate = std::ceil(seconds / per - origin);
    if (!(estimate > 0))
        return 0;
    if (estimate >= double(n))
        return n;
    // The estimate can be one off where a time falls on a sample; settle it
    // with the same arithmetic as sampleTime.
    qint64 i = qint64(estimate);
    while (i > 0 && sampleTime(c, i - 1) >= seconds)
        --i;
    while (i < n && sampleTime(c, i) < seconds)
        ++i;
    return i;
}

void CaptureStore::extendPyramid(Channel& ch)
{
    // Each level gains the blocks that the level below has completed.
    qint64 below = ch.counts.size();
    for (std::size_t level = 0;; ++level) {
        const int width = level == 0 ? baseFanout : fanout;
        const qint64 complete = below / width;
        if (complete == 0)
            return;
        if (level == ch.levels.size())
            ch.levels.emplace_back();
        Summary& summary = ch.levels[level];
        for (qint64 b = summary.size(); b < complete; ++b) {
            Extremes r;
            if (level == 0) {
                r.min = r.max = ch.counts[b * width];
                for (qint64 i = b * width + 1; i < (b + 1) * width; ++i) {
                    r.min = std::min(r.min, ch.counts[i]);
                    r.max = std::max(r.max, ch.counts[i]);
                }
            } else {
                const Summary& lower = ch.levels[level - 1];
                r = lower[b * width];
                for (qint64 i = b * width + 1; i < (b + 1) * width; ++i) {
                    r.min = std::min(r.min, lower[i].min);
                    r.max = std::max(r.max, lower[i].max);
                }
            }
            summary.append(r);
        }
        below = complete;
    }
}

// Extremes of items [from, to) of a level (level 0: the samples; level k: the
// k-th summary). Whole blocks are taken from the level above; only the ragged
// ends are visited here, less than a block at each end. A block never straddles
// two storage blocks, so those ends are contiguous runs.
CountRange CaptureStore::levelRange(const Channel& ch, int level, qint64 from, qint64 to) const
{
    CountRange r;
    if (from >= to)
        return r;
    const int width = level == 0 ? baseFanout : fanout;
    const bool above = std::size_t(level) < ch.levels.size();
    const qint64 firstWhole = (from + width - 1) / width;
    const qint64 endWhole = to / width;
    auto scan = [&](qint64 a, qint64 b) {
        // Runs longer than a block come only from a level without one above.
        while (a < b) {
            const qint64 blockEnd =
                (a | ((level == 0 ? Counts::blockSize : Summary::blockSize) - 1)) + 1;
            const qint64 end = std::min(b, blockEnd);
            const int n = int(end - a);
            qint32 lo, hi;
            if (level == 0) {
                const qint32* p = ch.counts.block(a);
                lo = hi = p[0];
                for (int k = 1; k < n; ++k) {
                    lo = std::min(lo, p[k]);
                    hi = std::max(hi, p[k]);
                }
            } else {
                const Extremes* p = ch.levels[std::size_t(level - 1)].block(a);
                lo = p[0].min;
                hi = p[0].max;
                for (int k = 1; k < n; ++k) {
                    lo = std::min(lo, p[k].min);
                    hi = std::max(hi, p[k].max);
                }
            }
            r.add(lo);
            r.add(hi);
            a = end;
        }
    };
    if (!above || firstWhole >= endWhole) {
        scan(from, to);
        return r;
    }
    scan(from, firstWhole * width);
    r.unite(levelRange(ch, level + 1, firstWhole, endWhole));
    scan(endWhole * width, to);
    return r;
}

CountRange CaptureStore::countRange(int c, qint64 from, qint64 to) const
{
    if (c < 0 || c >= channelCount())
        return {};
    const Channel& ch = channels[std::size_t(c)];
    from = std::max<qint64>(from, 0);
    to = std::min(to, ch.counts.size());
    return levelRange(ch, 0, from, to);
}

qint64 CaptureStore::memoryBytes() const
{
    qint64 bytes = 0;
    for (const Channel& ch : channels) {
        bytes += ch.counts.capacityBytes();
        for (const auto& level : ch.levels)
            bytes += level.capacityBytes();
    }
    return bytes;
}
