// The recording engine: writes every capture, as it arrives, to a BDF+ file
// that stays readable if the program is killed at any moment.
//
// Recorder is a worker object that lives in a thread of its own
// (RecorderThread sets that up). Every slot is meant to be called through a
// queued connection: the device's capture signals (connectCapture below), the
// front-end's events and the operator's start and stop of recording. It
// reports through signals only. Its file's handle is used in its thread only;
// other threads may use other handles of the module meanwhile.
//
// The files:
// - BDF+, one file per capture (or per span of a capture that was recorded),
//   named from the start time of its first sample, "2026-12-08_14-03-22.bdf"
//   in the chosen folder, or the name the front-end gave; an existing file is
//   never overwritten (a "_2", "_3", ... suffix is added instead).
// - Twelve signals "chan. 1".."chan. 12" (or their electrodes' names) in "uV"
//   as headsetChannel describes them: each stored value is the headset's
//   24-bit count itself. The one count outside the range, -8388608 (negative
//   full scale), is stored as -8388607. The file is written through
//   CaptureFile, as File > Save writes a capture.
// - Records of about a second whose samples-to-duration ratio is the capture's
//   rate exactly (recordLayout).
// - The capture's events are EDF+ annotations in the record they fall in
//   (one that arrives after its record was written goes into the next one).
//   Each record has annotationSignals slots; when a record's events would
//   not fit, its loss notes become one note with their sum ("Потери: N (K
//   раз)", lasting from the first to the last), and what still does not fit
//   waits for the next record. No record is ever added to make room.
// - After every record its samples and annotations are synced to the disk,
//   then the header's record count, then that is synced too: a killed
//   recording keeps every record but the one being filled, with its events.
// - The last record is completed with copies of the last sample; the
//   annotation "Конец данных" then marks where the captured samples end. The
//   data end within one record after the capture's end.
// - A start confirmed during a capture at the same period (a start sent
//   again) continues the file, with its note at its moment.
// - Every few seconds the engine checks that the file's path still leads to
//   the open file; a removed folder or an unplugged drive stops recording
//   with failed().
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <array>
#include <deque>
#include <vector>

#include "device/types.h"
#include "exam/patient.h"
#include "recorder/capturefile.h"

// An event of a capture as the engine gets it: the capture's samples before
// it, and its text.
struct RecordedEvent {
    quint64 sample = 0;
    QString text;
};

// What a front-end hands the engine when recording is switched on during a
// capture: the capture's samples it holds from `first` on (twelve counts a
// sample, channel after channel within a sample) and their events. The engine
// records them first, then goes on with the capture live.
struct RecorderBacklog {
    int serial = 0; // the front-end's count of capture starts, see captureSerial
    quint16 period = 0;
    QDateTime start; // of the capture
    quint64 first = 0;
    QVector<qint32> counts;
    QVector<RecordedEvent> events;
};
Q_DECLARE_METATYPE(RecorderBacklog)

// A loss note of the device ("Потеря отсчётов: N"): N, or -1 for any other
// text.
qint64 lossNoteCount(const QString& text);

class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(QObject* parent = nullptr);
    ~Recorder() override; // finishes an open file

    // Annotation texts are cut to this many bytes of UTF-8 (at a character
    // boundary).
    static constexpr int annotationTextBytes = ::annotationTextBytes;
    // Annotations each record can carry: a merged loss note and three more.
    static constexpr int annotationSignals = headsetAnnotationSignals;
    // The recent samples and events kept while not recording, so that a
    // backlog handed over a little late still joins the live capture.
    static constexpr double keptSeconds = 60;
    // How often the file's path is checked, milliseconds.
    static constexpr int pathCheckInterval = 2000;
    static constexpr double physicalMaximum = headsetPhysicalMaximum; // uV at digital 8388607

signals:
    void fileStarted(QString path);
    // About once a second while a file is open: its length in time and its
    // size on disk.
    void progress(QString path, double seconds, qint64 bytes);
    // A file was closed; `samples` captured samples are in it. `ok` is false
    // after a failure (the file keeps every complete record).
    void fileFinished(QString path, quint64 samples, bool ok);
    // Recording was switched on or off, by the operator or by a failure.
    void recordingChanged(bool on);
    // Recording stopped because the file could not be created or written.
    void failed(QString message);

public slots:
    // A folder for files named from their start time, or a file name ending
    // in ".bdf" (case ignored) for the next file; later files in that folder
    // take the same name with a suffix.
    void setTarget(QString path);
    // The operator's start and stop of recording. On during a capture starts
    // a file at the next sample; off finishes the open file.
    void setRecording(bool on);
    // Switches recording on with what the front-end holds of the capture:
    // recorded from its first sample, then live. Without a capture of the
    // same serial, the backlog is written as a file of its own.
    void recordBacklog(RecorderBacklog backlog);

    // The device's capture signals.
    void captureStarted(quint16 period);
    void updateDataTime(QVector<structSample> samples);
    void captureEvent(quint64 sample, QString text);
    void changeCapture(bool value);
    // The device reports a loss during a capture as a capture event; the
    // file stays open, and the link's return is added to it.
    void connection(bool connected);

    // An event from the front-end, placed after the last sample received.
    void addEvent(QString text);
    // An event from the front-end at a sample of the capture (counted as the
    // device counts them) with a length in seconds (<= 0: none).
    void addTimedEvent(quint64 sample, double duration, QString text);
    // Electrode names (empty: the plain channel label) and the patient's
    // details for the files begun from now on.
    void setElectrodes(QStringList names);
    void setPatient(exam::PatientDetails details);
    // Finishes the open file (if any) and leaves recording as it is; for a
    // front-end that is about to end. Call it blocking-queued from another
    // thread.
    void finish();

    // Capture starts counted so far (the front-end counts the same signals).
    int captureSerial() const { return serial; }

private:
    struct Pending {
        quint64 sample; // of the capture
        QString text;
        qint64 loss;          // samples lost, or -1: not a loss note
        qint64 duration = -1; // 100 ns units
    };
    using Counts = std::array<qint32, channelCount>;

    bool openFile(quint16 filePeriod, const QDateTime& start, quint64 first);
    void closeFile(bool ok);
    void fail(const QString& message);
    void take(const Counts& counts);
    void writeCounts(const Counts& counts);
    bool writeRecord();
    // Queues the events of the records up to `record` into the module, at
    // most annotationSignals of them.
    bool queueEvents(quint64 record, bool last);
    void addPending(quint64 sample, const QString& text);
    void checkPath();
    QString nextPath(const QDateTime& start);
    qint64 fileBytes() const;
    double fileSeconds() const;

    QString target;
    QStringList electrodeNames;
    exam::PatientDetails patientDetails;
    bool recording = false;

    // The capture as the device reports it.
    bool capturing = false;
    int serial = 0;
    quint16 period = 0;
    QDateTime captureStart; // when the start was confirmed
    quint64 captureSamples = 0;
    quint64 base = 0; // added to the device's sample numbers after a start sent again
    bool connected = true;
    // Kept while not recording: the last keptSeconds of samples (the first is
    // sample keptFirst) and the events from there on.
    std::deque<Counts> kept;
    quint64 keptFirst = 0;
    std::vector<RecordedEvent> keptEvents;
    // Live samples below this one are in a backlog already written.
    quint64 skipBelow = 0;

    // The open file.
    CaptureFile file;
    QString path;
    quint16 filePeriod = 0;
    RecordLayout layout;
    quint64 firstSample = 0;      // capture sample that is the file's sample 0
    quint64 records = 0;          // completed records
    int fill = 0;                 // samples of the record being filled
    std::vector<Pending> pending; // events not yet in the file, by arrival
    std::vector<unsigned char> record;
    Counts last{};
    QTimer* pathTimer = nullptr;
};

// Connects the device's capture signals to a recorder (queued: the two live in
// different threads). A template so that the engine does not link the device.
template <class Source> void connectCapture(Source* device, Recorder* recorder)
{
    QObject::connect(device, &Source::captureStarted, recorder, &Recorder::captureStarted);
    QObject::connect(device, &Source::updateDataTime, recorder, &Recorder::updateDataTime);
    QObject::connect(device, &Source::captureEvent, recorder, &Recorder::captureEvent);
    QObject::connect(device, &Source::changeCapture, recorder, &Recorder::changeCapture);
    QObject::connect(device, &Source::connection, recorder, &Recorder::connection);
}

// Owns a Recorder and the thread it runs in. The destructor finishes the
// open file and ends the thread.
class RecorderThread
{
public:
    RecorderThread();
    ~RecorderThread();
    RecorderThread(const RecorderThread&) = delete;
    RecorderThread& operator=(const RecorderThread&) = delete;

    Recorder* recorder() const { return worker; }
    // Finishes the open file and returns when it is closed.
    void finish();

private:
    QThread thread;
    Recorder* worker;
};
