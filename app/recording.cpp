#include "app/recording.h"

#include "capture/capturestore.h"
#include "edf/edf.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace
{

constexpr int edfPlusType = 1;
constexpr double physicalRange = 5.0; // -5..5 mV
constexpr int digitalMaximum = 32767;
constexpr int digitalMinimum = -32768;

} // namespace

int recordingSamplesPerRecord(double rate)
{
    if (!(rate >= 0.0) || rate > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(std::lround(rate));
}

namespace
{

// The writing common to every source of samples: `points` per channel, and
// fill(channel, first, n, buffer) copying n values of a channel from index
// `first` into buffer.
template <typename Fill>
RecordingResult writeRecording(const QByteArray& path, qint64 points, double rate, Fill fill)
{
    RecordingResult result;
    result.rate = recordingSamplesPerRecord(rate);

    const QByteArray unit = QByteArray("mV");
    const int handle =
        edf_open_for_writing_with_params(path.constData(), edfPlusType, recordingChannelCount,
                                         result.rate, physicalRange, unit.constData());
    if (handle < 0) {
        result.error = RecordingError::Open;
        result.code = handle;
        return result;
    }

    auto fail = [&](RecordingError error, int code) {
        result.error = error;
        result.code = code;
        // Closing patches the record count, so what was written stays readable.
        edf_close(handle);
        return result;
    };

    for (int c = 0; c < recordingChannelCount; ++c) {
        int code = edf_set_digital_maximum(handle, c, digitalMaximum);
        if (code != 0)
            return fail(RecordingError::DigitalMaximum, code);
        code = edf_set_digital_minimum(handle, c, digitalMinimum);
        if (code != 0)
            return fail(RecordingError::DigitalMinimum, code);
    }

    const qint64 records = result.rate > 0 ? points / result.rate : 0;

    std::vector<double> buffer(static_cast<std::size_t>(std::max(result.rate, 1)));
    for (qint64 r = 0; r < records; ++r) {
        const qint64 base = r * result.rate;
        for (int c = 0; c < recordingChannelCount; ++c) {
            fill(c, base, result.rate, buffer.data());
            const int code = edfwrite_physical_samples(handle, buffer.data());
            if (code != 0)
                return fail(RecordingError::Write, code);
        }
        result.records = r + 1;
    }

    const int code = edf_close(handle);
    if (code != 0) {
        result.error = RecordingError::Close;
        result.code = code;
    }
    return result;
}

} // namespace

RecordingResult saveRecordingEdf(const QByteArray& path, const RecordingChannels& channels,
                                 double rate)
{
    // Every frame adds a point to every channel, so the channels normally hold
    // equally many; if one holds fewer, only the seconds all of them hold are
    // written rather than reading past its end.
    qint64 points = channels[0].count;
    for (const RecordingChannel& channel : channels)
        points = std::min(points, channel.count);
    return writeRecording(path, points, rate, [&](int c, qint64 first, int n, double* buffer) {
        const RecordingChannel& channel = channels[static_cast<std::size_t>(c)];
        for (int i = 0; i < n; ++i)
            buffer[i] = channel.at(first + i);
    });
}

RecordingResult saveRecordingEdf(const QByteArray& path, const CaptureStore& store, double rate)
{
    qint64 points = store.channelCount() >= recordingChannelCount ? store.sampleCount(0) : 0;
    for (int c = 0; c < recordingChannelCount && points > 0; ++c)
        points = std::min(points, store.sampleCount(c));
    return writeRecording(path, points, rate, [&](int c, qint64 first, int n, double* buffer) {
        for (int i = 0; i < n; ++i)
            buffer[i] = store.value(c, first + i);
    });
}
