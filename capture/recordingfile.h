// Reading a recording file (EDF, EDF+, BDF, BDF+) into a capture store, for
// review: the file's ordinary signals with their own rates, labels, units and
// scaling, and its annotations. The counts are the file's digital values, so
// the store gives back the file's physical values exactly.
//
// readRecording runs in any one thread; RecordingLoader runs it in a thread
// of its own and hands the result back to the thread that owns the loader.
// The loader's handle is its own; other handles (the recording engine's, a
// Save) may be in use meanwhile. The window disables Open and Save while a
// loader runs, so that one read goes at a time.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

#include "capture/capturestore.h"

class QThread;

// One annotation of a file, in seconds from the start of the recording.
struct RecordingAnnotation {
    double onset = 0;
    double duration = -1; // < 0: none given
    QString text;
};

enum class RecordingReadStatus {
    Ok,
    OpenFailed, // the module refused the file; `code` says why
    ReadFailed, // samples could not be read (the file shrank, a read error)
    NoSignals,  // nothing but annotation signals
    Cancelled,
};

struct LoadedRecording {
    RecordingReadStatus status = RecordingReadStatus::Ok;
    int code = 0; // the module's result code when status is OpenFailed
    QString path;
    int fileType = 0;      // 0 EDF, 1 EDF+, 2 BDF, 3 BDF+
    int signalsInFile = 0; // ordinary signals of the file
    double durationSeconds = 0;
    qint64 fileBytes = 0;
    // Who and what was recorded, as the header says: the patient subfields
    // (code, sex, birth date, name, joined; "X" left out) of EDF+/BDF+ or the
    // whole field of EDF/BDF, and the technician.
    QString patient;
    QString technician;
    CaptureStore store;                       // at most maxSignals channels
    QVector<RecordingAnnotation> annotations; // by onset
    bool ok() const { return status == RecordingReadStatus::Ok; }
};

// Signals beyond this many are left out of the store.
constexpr int recordingMaxSignals = 64;

// Reads the file at `path` into `out` (its store is reset). `progress` is
// called now and then with the fraction read so far; when it returns false
// the read stops with Cancelled.
void readRecording(const QString& path, LoadedRecording& out,
                   const std::function<bool(double fraction)>& progress = {});

// Reads one file at a time in a worker thread.
class RecordingLoader : public QObject
{
    Q_OBJECT

public:
    explicit RecordingLoader(QObject* parent = nullptr);
    // Cancels a running read and waits for its thread.
    ~RecordingLoader() override;

    // Starts reading; false when a read is already running.
    bool start(const QString& path);
    void cancel();
    bool isRunning() const { return worker != nullptr; }

signals:
    // Percent read, 0..100, from the worker (delivered queued to the owner).
    void progress(int percent);
    // In the loader's thread once the worker has ended, for every start.
    void finished(QSharedPointer<LoadedRecording> recording);

private:
    void workerEnded();

    QThread* worker = nullptr;
    QSharedPointer<LoadedRecording> result;
    std::atomic<bool> cancelled{false};
};

Q_DECLARE_METATYPE(QSharedPointer<LoadedRecording>)
