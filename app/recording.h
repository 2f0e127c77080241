#ifndef RECORDING_H
#define RECORDING_H

// Writing a capture to an EDF+ file: the work behind File > Save, kept apart
// from the window so that it can be driven (and timed) without widgets.
// Called from the GUI thread only; the recording-file module is not guarded.

#include <QByteArray>
#include <QVector>

#include <array>
#include <cstddef>

class CaptureStore;

// A read-only view of one channel's values, in point order. The values need
// not be contiguous: a plot graph stores (key, value) pairs, so its values are
// read in place with a stride of one pair instead of being copied.
struct RecordingChannel {
    const double* first = nullptr; // value of point 0
    qint64 count = 0;              // number of points
    std::ptrdiff_t strideBytes = sizeof(double);

    double at(qint64 i) const
    {
        return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(first) +
                                                i * strideBytes);
    }

    static RecordingChannel fromVector(const QVector<double>& values)
    {
        RecordingChannel channel;
        channel.first = values.constData();
        channel.count = values.size();
        return channel;
    }
};

constexpr int recordingChannelCount = 12;
using RecordingChannels = std::array<RecordingChannel, recordingChannelCount>;

// The step that failed; each has its own message in the window.
enum class RecordingError {
    None,
    Open,           // the module refused to open (create) the file
    DigitalMaximum, // setting a channel's digital maximum
    DigitalMinimum, // setting a channel's digital minimum
    Write,          // writing a channel's second of samples (or the header before it)
    Close,          // finishing the file: the record count or the final flush
};

struct RecordingResult {
    RecordingError error = RecordingError::None;
    int code = 0;       // the module's result for the failed step
    qint64 records = 0; // one-second records completed in the file
    int rate = 0;       // samples per record, per channel
    bool ok() const { return error == RecordingError::None; }
};

// Samples per second as written: the rate rounded to the nearest integer,
// halves away from zero (500.5 -> 501, 909.091 -> 909).
int recordingSamplesPerRecord(double rate);

// Writes the twelve channels as an EDF+C file of one-second records: labels
// "chan. 1".."chan. 12", unit "mV", physical -5..5 on digital -32768..32767
// (values beyond are limited). Only whole seconds held by every channel are
// written; a shorter channel is never read past its end. On a failure after
// the file was opened, the file is still closed, so it keeps its header and
// every record completed before the failure, with the count patched.
// `path` is the file name in the local 8-bit encoding.
RecordingResult saveRecordingEdf(const QByteArray& path, const RecordingChannels& channels,
                                 double rate);
// The same from the first twelve channels of a capture store, in physical
// values (volts for a live capture).
RecordingResult saveRecordingEdf(const QByteArray& path, const CaptureStore& store, double rate);

#endif // RECORDING_H
