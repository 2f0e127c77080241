// The live capture: the one store of samples the window shows, filled from
// the device's batches and events, and the state around it: whether a capture
// runs, its starts and the numbering they bring, the link's loss and return,
// the operator's marks, and whether the store holds samples that are in no
// file (asked about before anything would discard them).
//
// While review shows a file, the store holds the file (showFile) and
// everything the device still sends is dropped until resumeLive.
//
// It owns no widget. It announces what changed and leaves the drawing to the
// window; every call runs in the GUI thread.
#pragma once

#include <QObject>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

#include "capture/capturestore.h"
#include "device/types.h"
#include "display/eventmarkers.h"
#include "exam/protocolrunner.h"
#include "recorder/recorder.h"

class Device;
class QWidget;

class LiveCapture : public QObject
{
    Q_OBJECT

public:
    // The answer to "save the capture first?" before it would be discarded.
    enum class UnsavedAnswer { Save, Discard, Cancel };
    // Answers that question instead of a box (tests set it, and clear it again).
    static inline std::function<UnsavedAnswer()> unsavedHook;

    // `device` tells where the worker stands (for marks); questions open over
    // `dialogParent`.
    LiveCapture(const Device* device, QWidget* dialogParent);

    const CaptureStore& store() const { return capture; }
    CaptureStore* storePointer() { return &capture; }
    bool isCapturing() const { return capturing; }
    // Capture starts confirmed so far.
    int captureStarts() const { return starts; }
    // The store holds a file under review.
    bool showsFile() const { return showingFile; }

    // Writes the store to a file the operator chooses: true when written.
    void setSaver(std::function<bool()> save) { saver = std::move(save); }
    // A running protocol's light train that the headset's light start confirms.
    void setTrainSource(std::function<exam::ProtocolRunner::Train()> take)
    {
        takeTrain = std::move(take);
    }

    // The device's reports.
    void connectionChanged(bool connected);
    void setCapturing(bool on);
    void append(const QVector<structSample>& batch);
    void captureStarted(quint16 period);
    void captureEvent(quint64 sample, const QString& text);

    // False when the operator cancels (or the save did not succeed): the
    // capture is neither saved nor being recorded, and would be discarded.
    bool mayDiscard();
    // Empties the store; samples that arrive later keep their capture times.
    void clear();
    // Start: the chosen period is the time base until the headset confirms.
    void prepareStart(quint16 period);
    // The sample the capture has reached at this moment (the worker's count,
    // not the end of the batches shown so far).
    quint64 sampleNow() const;
    // An operator's mark (or a protocol's) at a sample; none without a capture.
    void addMark(quint64 sample, const QString& text);
    // The electrode names onto the live capture's channels.
    void setElectrodeNames(const QStringList& names);

    // Review puts a file in the store, and later the live capture back.
    void showFile(CaptureStore&& file);
    void resumeLive(quint16 period);

    // The recording engine's state: recorded batches are in a file.
    void setRecorded(bool on) { recorded = on; }
    // What the store holds of a running capture, for recording switched on
    // during it (the store then counts as kept); none without such a capture.
    std::optional<RecorderBacklog> takeBacklog();
    // The recording ended early: the store is in no file for certain.
    void recordingFailed();
    void markSaved() { unsaved = false; }

signals:
    // Before the store is replaced or emptied (an analysis may still read it).
    void aboutToReplace();
    // A confirmed start began a fresh capture.
    void captureBegan(quint16 period);
    // The store was emptied (Clear, Start).
    void cleared();
    void samplesAppended();
    // An event of the live capture, to be shown.
    void eventAdded(const EventMarker& marker);
    // The window's own events (marks, trains) for the recording engine, at
    // the device's sample numbering.
    void eventForRecording(quint64 sample, double duration, const QString& text);

private:
    void addEvent(quint64 sample, const QString& text, double duration = -1,
                  bool toRecording = false);

    const Device* device;
    QWidget* dialogParent;
    std::function<bool()> saver;
    std::function<exam::ProtocolRunner::Train()> takeTrain;

    CaptureStore capture;
    bool capturing = false;
    bool showingFile = false;
    bool recorded = false;
    // The store holds samples that are in no file (cleared by Save).
    bool unsaved = false;
    // The link was lost during a capture; its return is an event of it.
    bool linkLost = false;
    // Capture starts confirmed so far (the recording engine counts the same).
    int starts = 0;
    // Added to the device's sample numbers after a start sent again during the
    // capture, which goes on in the same store.
    quint64 base = 0;
};
