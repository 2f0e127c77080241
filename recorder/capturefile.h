// Writing captures to EDF+ and BDF+ files: one open file of the recording-file
// module with its header, annotations and records (CaptureFile), the headset's
// channels as every file of a live capture describes them, and the whole of a
// capture store written at once (saveRecording, the work behind File > Save).
// Qt Core only: the recording engine, the window's Save, the tests and the
// benchmarks share it without widgets.
//
// What saveRecording's file holds:
// - The store's channels, with their labels and units; a channel in volts is
//   written in microvolts ("uV").
// - The time base of the capture: for a live capture the recording engine's
//   record layout (samples per record over record duration is the rate
//   exactly); for channels of their own rates the record duration closest to
//   a second in which every channel has a whole number of samples.
// - BDF+ (24-bit): each stored value is the count itself. A live capture uses
//   the engine's physical range (headsetChannel), so the file matches its
//   recordings exactly.
// - EDF+ (16-bit): each channel's physical range is that of its own data, so
//   the step is as fine as the channel allows; each value is within half a
//   step of the stored one.
// - Start date and time: those of the capture's first stored sample (whole
//   seconds, as the engine writes them).
// - The capture's events as annotations at their own times (a file's to its
//   100 ns) with their durations; none adds a record. A shown file keeps its
//   record duration, so its copy has its length.
// - The last record, when the samples do not fill it, is completed with copies
//   of each channel's last sample, and the annotation "Конец данных" marks
//   where the stored samples end (as the engine does).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

class CaptureStore;
namespace exam
{
struct PatientDetails;
}

enum class RecordingFormat {
    Edf, // EDF+, 16-bit
    Bdf, // BDF+, 24-bit
};

// The step that failed; each has its own message in the window.
enum class RecordingError {
    None,
    Layout,         // the channels' rates allow no record duration the format can hold
    Open,           // the module refused to open (create) the file
    Setup,          // setting the header: a label, unit, physical range, record layout
    DigitalMaximum, // setting a channel's digital maximum
    DigitalMinimum, // setting a channel's digital minimum
    Write,          // writing a record (or the header before it), an annotation, a flush
    Close,          // finishing the file: the record count or the final flush
};

struct RecordingResult {
    RecordingError error = RecordingError::None;
    int code = 0;             // the module's result for the failed step
    qint64 records = 0;       // records completed in the file
    int samplesPerRecord = 0; // of channel 0
    int duration = 0;         // record duration, units of 10 us
    bool ok() const { return error == RecordingError::None; }
};

// Annotation texts are cut to this many bytes of UTF-8 (at a character
// boundary).
constexpr int annotationTextBytes = 40;
// An event's text as an annotation carries it: UTF-8, cut at a character
// boundary to annotationTextBytes.
QByteArray annotationUtf8(const QString& text);

// Samples per record and record duration (units of 10 us) for a sample period
// in ticks of 125 ns: samples / duration is the capture's rate exactly, and
// the duration is as close to one second as that allows.
struct RecordLayout {
    int samples = 0;
    int duration = 0; // units of 10 us
};
RecordLayout recordLayout(quint16 period);

// Annotation slots in each record of the engine's files: a merged loss note
// and three more.
constexpr int headsetAnnotationSignals = 4;

// One signal as the header describes it.
struct FileChannel {
    QByteArray label;
    QByteArray unit;
    int samples = 0; // per record
    double physicalMin = 0;
    double physicalMax = 0;
    int digitalMin = 0;
    int digitalMax = 0;
};

// The headset's channels in a file: each stored value is the headset's 24-bit
// count itself; the physical range +-headsetPhysicalMaximum uV over the digital
// range +-headsetDigitalMaximum makes one step 0.49019605 uV, within 0.1 ppm of
// the headset's 256/255 * 2^-11 mV, with no offset.
constexpr double headsetPhysicalMaximum = 4112062.0; // uV at digital headsetDigitalMaximum
constexpr int headsetDigitalMaximum = 8388607;
// Channel `channel` (from 0) of a live capture at `period` ticks of 125 ns: its
// electrode's name when the operator gave one (else the plain channel label),
// "uV", the range above, the samples of recordLayout(period) per record.
FileChannel headsetChannel(int channel, const QString& electrode, quint16 period);

// What a file is opened with.
struct FileHeader {
    RecordingFormat format = RecordingFormat::Bdf;
    // Written to the whole second; invalid: the module's (the current time).
    QDateTime start;
    int duration = 0; // record duration, units of 10 us
    int annotationSignals = 1;
    // Fills the identification fields (their equipment, if given, replaces the
    // program's name); none: they stay unknown.
    const exam::PatientDetails* patient = nullptr;
    std::vector<FileChannel> channels;
    // Every completed record is on the disk with its annotations and the
    // record count at once (see edf_set_crash_safe).
    bool crashSafe = false;
};

// One file being written through the recording-file module. Every step
// reports failure with false; error() and code() then tell which step failed
// and the module's result for it. The destructor closes an open file.
class CaptureFile
{
public:
    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates `path` (a file name in the local 8-bit encoding) and sets its
    // header. On a failure of the header (Setup, DigitalMaximum,
    // DigitalMinimum) the file is closed again; nothing is removed.
    bool open(const QByteArray& path, const FileHeader& header);
    bool isOpen() const { return handle >= 0; }

    // Queues an annotation: onset and duration (-1: none) in 100 ns units
    // from the file's start, the text cut by annotationUtf8.
    bool annotate(qint64 onset, qint64 duration, const QString& text);
    // The next signal's samples of the record being written, as digital
    // values (samples per record of that signal).
    bool writeSamples(const int* digital);
    // A whole record of a BDF+ file: every signal's samples in signal order,
    // 3 bytes each, little-endian.
    bool writeRecord(const unsigned char* block);
    // Hands everything written so far to the disk (flush, then fsync).
    bool flush();
    // Whether the path the file was opened under still leads to it (a removed
    // folder or an unplugged drive: no).
    bool pathLeadsToFile() const;
    // Finishes the file (the record count, the queued annotations) and
    // releases it, failed or not. On a failure code() may be
    // EDF_CLOSE_NO_RECORDS: the header alone was written.
    bool close();

    RecordingError error() const { return failedStep; }
    int code() const { return failedCode; }

private:
    bool check(int code, RecordingError step);

    int handle = -1;
    RecordingError failedStep = RecordingError::None;
    int failedCode = 0;
};

// The annotation that marks the end of the stored samples in a completed last
// record.
QString recordingEndText();

// Writes the store to `path` (a file name in the local 8-bit encoding). On a
// failure after the file was opened, the file is still closed, so it keeps its
// header and every record completed before the failure, with the count
// patched. An empty store gives a file with the header alone. The store is
// read in place and must not change meanwhile.
// `patient`, when given, fills the identification fields.
RecordingResult saveRecording(const QByteArray& path, const CaptureStore& store,
                              RecordingFormat format,
                              const exam::PatientDetails* patient = nullptr);
