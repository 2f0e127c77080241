#ifndef RECORDING_H
#define RECORDING_H

// Writing a capture store to an EDF+ or BDF+ file: the work behind File > Save,
// kept apart from the window so that it can be driven (and timed) without
// widgets. The store is read in place and must not change meanwhile (the GUI
// thread owns it).
//
// What the file holds:
// - The store's channels, with their labels and units; a channel in volts is
//   written in microvolts ("uV").
// - The time base of the capture: for a live capture the recording engine's
//   record layout (samples per record over record duration is the rate
//   exactly); for channels of their own rates the record duration closest to
//   a second in which every channel has a whole number of samples.
// - BDF+ (24-bit): each stored value is the count itself. A live capture uses
//   the engine's physical range, so the file matches its recordings exactly.
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

#include <QByteArray>
#include <QString>

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
    Write,          // writing a record (or the header before it)
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

// The annotation that marks the end of the stored samples in a completed last
// record.
QString recordingEndText();

// Writes the store to `path` (a file name in the local 8-bit encoding). On a
// failure after the file was opened, the file is still closed, so it keeps its
// header and every record completed before the failure, with the count
// patched. An empty store gives a file with the header alone.
// `patient`, when given, fills the identification fields.
RecordingResult saveRecording(const QByteArray& path, const CaptureStore& store,
                              RecordingFormat format,
                              const exam::PatientDetails* patient = nullptr);

// The format a chosen file name asks for: ".bdf" (case ignored) gives BDF+,
// ".edf" EDF+, any other name the format of the filter chosen in the dialog.
RecordingFormat recordingFormatFor(const QString& fileName, RecordingFormat chosen);

#endif // RECORDING_H
