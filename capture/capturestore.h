// The samples of one capture, kept compactly, and what the plots, Save and the
// recorder ask of them. This is the single owner of a capture's samples: the
// window appends the worker's batches, the signal plot draws from it, Save
// writes it.
//
// Each channel holds integer counts (4 bytes a sample) in fixed-size blocks,
// with its own rate, label, unit and count-to-physical gain and offset. A live
// capture is twelve channels at one period, gain voltsPerCount, offset 0, unit
// "V"; a recording read back from a file may have other channels and rates.
// Beside the counts each channel keeps a min/max pyramid, extended as samples
// arrive, so that the extremes of any index range cost the same however long
// the capture is.
//
// Not thread-safe: owned and used by one thread (the GUI thread in the program).
#pragma once

#include <QDateTime>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <vector>

#include "capture/chunkedarray.h"
#include "device/types.h"

struct CaptureChannel {
    QString label;
    QString unit;
    double samplesPerSecond = 0; // > 0
    double gain = 1;             // physical = count * gain + offset
    double offset = 0;
    // The converter's (or the file's digital) range: counts at either end are clipped.
    qint32 countMin = countMinimum;
    qint32 countMax = countMaximum;
};

// An event keeps its time in seconds, to the precision it came with (a file's
// annotation to its 100 ns), and its duration.
struct CaptureEvent {
    quint64 sample = 0; // samples of the capture before it happened (channel 0's, rounded)
    QString text;
    double onset = 0;     // seconds from the capture's sample 0 (sample x period when live)
    double duration = -1; // seconds; < 0: none
};

// Smallest and largest count of a range; empty when the range held no sample.
struct CountRange {
    qint32 min = 0;
    qint32 max = 0;
    bool empty = true;
    void add(qint32 v)
    {
        if (empty) {
            min = max = v;
            empty = false;
        } else {
            min = v < min ? v : min;
            max = v > max ? v : max;
        }
    }
    void unite(const CountRange& other)
    {
        if (!other.empty) {
            add(other.min);
            add(other.max);
        }
    }
};

class CaptureStore
{
public:
    // The sample period of a live capture, in ticks of 125 ns.
    static constexpr double tickSeconds = 1.25e-7;

    // An empty live capture at the default period of 16000 ticks (500 Hz).
    CaptureStore();
    CaptureStore(CaptureStore&&) = default;
    // The samples this store held are given back on a pool thread when they
    // are many (as by reset), so that moving a read file in costs the GUI
    // thread nothing.
    CaptureStore& operator=(CaptureStore&& other);

    // Empties the store for a live capture: twelve channels at `period` ticks.
    // `firstSample` is the number of samples of the capture that came before
    // the first one stored (non-zero when the plots were cleared mid-capture),
    // so that the times stay those of the capture.
    void reset(quint16 period, const QDateTime& start, quint64 firstSample = 0);
    // Empties the store for channels of their own (a recording read back).
    // The first sample of each channel lies at time 0.
    void reset(const QVector<CaptureChannel>& channels, const QDateTime& start);

    // Gives an empty channel a scale of its own (physical = count * gain +
    // offset), e.g. for values derived from the samples.
    void setScale(int c, double gain, double offset);

    // Appends a batch from the worker, every channel of a live capture. Volts
    // are kept as the headset's counts, which give them back exactly.
    void append(const QVector<structSample>& batch);
    // Appends counts to one channel.
    void appendCounts(int channel, const qint32* counts, qint64 n);
    // Appends an event of the capture (its sample number counts from the
    // capture's start, as the device reports it).
    void addEvent(quint64 sample, const QString& text);
    // Appends an event at its own time (a recording read back).
    void addEvent(double onset, double duration, const QString& text);

    // Renames a channel (a live capture's electrode, set by the operator).
    void setChannelLabel(int c, const QString& label);

    int channelCount() const { return int(channels.size()); }
    const CaptureChannel& channel(int c) const { return channels[std::size_t(c)].info; }
    quint16 period() const { return periodTicks; } // 0 unless a live capture
    QDateTime startTime() const { return start; }
    quint64 firstSample() const { return first; }
    const QVector<CaptureEvent>& events() const { return eventList; }
    // The record duration of the file the store was read from (100 ns units),
    // 0 for a capture: a Save of a shown file keeps its length.
    qint64 fileRecordDuration() const { return recordTicks; }
    void setFileRecordDuration(qint64 ticks) { recordTicks = ticks; }

    // Samples stored on a channel (on channel 0 by default: for a live capture
    // all channels hold equally many).
    qint64 sampleCount(int c = 0) const;
    qint32 count(int c, qint64 i) const { return channels[std::size_t(c)].counts[i]; }
    // Counts i.. of channel c up to the end of their block of countsBlockSize
    // lie contiguous here. Blocks never move while the store grows, so another
    // thread may read samples stored before it was given the pointer while
    // this one appends (not across a reset).
    const qint32* countsAt(int c, qint64 i) const
    {
        return channels[std::size_t(c)].counts.block(i);
    }
    static constexpr qint64 countsBlockSize = qint64(1) << 16;
    double value(int c, qint64 i) const { return physical(c, count(c, i)); }
    double physical(int c, qint32 count) const
    {
        const CaptureChannel& info = channel(c);
        return count * info.gain + info.offset;
    }

    // Seconds from the capture's start to sample i of channel c. In a live
    // capture the first sample lies one period after the start.
    double sampleTime(int c, qint64 i) const { return (double(i) + origin) * secondsPer(c); }
    double secondsPer(int c) const { return channels[std::size_t(c)].secondsPerSample; }
    // The first index whose time is at or after `seconds` (0..sampleCount).
    qint64 firstIndexFrom(int c, double seconds) const;

    // Extremes of samples [from, to) of channel c, from the pyramid: the cost
    // does not grow with the number of samples stored.
    CountRange countRange(int c, qint64 from, qint64 to) const;

    // Bytes held by samples and pyramids (not the events).
    qint64 memoryBytes() const;

private:
    // Level 1 summarises blocks of `baseFanout` samples, each further level
    // `fanout` blocks of the one below.
    static constexpr int baseFanout = 64;
    static constexpr int fanout = 16;

    // A whole block's extremes (never empty).
    struct Extremes {
        qint32 min;
        qint32 max;
    };
    using Counts = ChunkedArray<qint32, 16>;
    static_assert(Counts::blockSize == countsBlockSize, "one block size");
    using Summary = ChunkedArray<Extremes, 10>;
    struct Channel {
        CaptureChannel info;
        double secondsPerSample = 0;
        Counts counts;
        std::vector<Summary> levels;
    };

    void extendPyramid(Channel& ch);
    void releaseChannels();
    CountRange levelRange(const Channel& ch, int level, qint64 from, qint64 to) const;

    std::vector<Channel> channels;
    QVector<CaptureEvent> eventList;
    QDateTime start;
    quint64 first = 0;
    double origin = 1; // time of sample i is (i + origin) sample periods
    quint16 periodTicks = 0;
    qint64 recordTicks = 0;
};
