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
// - Twelve signals "chan. 1".."chan. 12" in "uV". Each stored value is the
//   headset's 24-bit count itself; the physical range +-4112062 uV over the
//   digital range +-8388607 makes one step 0.49019605 uV, within 0.1 ppm of the
//   headset's 256/255 * 2^-11 mV, with no offset. The one count outside that
//   range, -8388608 (negative full scale), is stored as -8388607.
// - Records of about a second whose samples-to-duration ratio is the capture's
//   rate exactly (recordLayout).
// - The capture's events are EDF+ annotations in the record of the second
//   they happen.
// - After every record the header's record count and the annotations that
//   fall in it are on disk and synced: a killed recording keeps every record
//   but the one being filled.
// - The last record is completed with copies of the last sample; the
//   annotation "Конец данных" then marks where the captured samples end.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThread>
#include <QVector>

#include <vector>

#include "device/types.h"

// Samples per record and record duration (units of 10 us) for a sample period
// in ticks of 125 ns: samples / duration is the capture's rate exactly, and
// the duration is as close to one second as that allows.
struct RecordLayout {
    int samples = 0;
    int duration = 0; // units of 10 us
};
RecordLayout recordLayout(quint16 period);

// An event's text as an annotation carries it: UTF-8, cut at a character
// boundary to Recorder::annotationTextBytes.
QByteArray annotationUtf8(const QString& text);

class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(QObject* parent = nullptr);
    ~Recorder() override; // finishes an open file

    // Annotation texts are cut to this many bytes of UTF-8 (at a character
    // boundary).
    static constexpr int annotationTextBytes = 40;
    // Annotations each record can carry.
    static constexpr int annotationSignals = 2;
    static constexpr double physicalMaximum = 4112062.0; // uV at digital 8388607

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
    // Finishes the open file (if any) and leaves recording as it is; for a
    // front-end that is about to end. Call it blocking-queued from another
    // thread.
    void finish();

private:
    bool openFile();
    void closeFile(bool ok);
    void fail(const QString& message);
    void writeSample(const structSample& sample);
    bool writeRecord();
    void queueAnnotation(quint64 sample, const QString& text);
    QString nextPath();
    qint64 fileBytes() const;
    double fileSeconds() const;

    QString target;
    bool recording = false;

    // The capture as the device reports it.
    bool capturing = false;
    quint16 period = 0;
    QDateTime captureStart; // when the start was confirmed
    quint64 captureSamples = 0;
    bool connected = true;

    // The open file.
    int handle = -1;
    QString path;
    RecordLayout layout;
    quint64 firstSample = 0; // capture sample that is the file's sample 0
    quint64 records = 0;     // completed records
    int fill = 0;            // samples of the record being filled
    quint64 lastOnset = 0;   // latest annotation onset queued, microseconds
    quint64 annotations = 0; // annotations queued
    std::vector<unsigned char> record;
    structSample last{};
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
