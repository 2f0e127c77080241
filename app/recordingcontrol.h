// Recording control: the File menu's Запись and Папка записи..., the status
// bar field of the open file, and the recording engine with its thread. The
// engine takes the device's batches on its own thread, beside the plots; this
// part only switches it, points it at a folder and reports what it says.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include "recorder/recorder.h"

class Device;
class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class QToolBar;
class QWidget;

class RecordingControl : public QObject
{
    Q_OBJECT

public:
    // The actions go after `save` in `menu` and on `toolBar`; the engine is
    // connected to the device's capture signals.
    RecordingControl(Device* device, QWidget* window, QMenu* menu, QToolBar* toolBar, QAction* save,
                     QStatusBar* statusBar);
    ~RecordingControl() override;

    // The default: "Neurask" in the user's documents.
    static QString defaultFolder();
    QString folder() const { return recordFolder; }
    void setFolder(const QString& folder) { recordFolder = folder; }
    bool isOn() const;
    void setOn(bool on);

    // What the front-end holds of a running capture, handed to the engine
    // when recording is switched on during it.
    void setBacklogSource(std::function<std::optional<RecorderBacklog>()> source)
    {
        backlogSource = std::move(source);
    }

    // The engine, for names and details of the files it begins.
    Recorder* recorder() const { return recorderThread->recorder(); }
    // The front-end's own events (marks, trains) for the engine.
    void addEvent(quint64 sample, double duration, const QString& text);

    // Finishes the open file and ends the engine's thread (the device must
    // send nothing more).
    void finish();

signals:
    // Запись as it stands now, switched by the operator or the engine.
    void switched(bool on);
    // The open file ended early; the message has been shown.
    void failed();

private:
    void setRecording(bool on);
    void chooseFolder();
    void progress(const QString& path, double seconds, qint64 bytes);
    void showFailure(const QString& message);

    QWidget* window;
    QStatusBar* statusBar;
    std::unique_ptr<RecorderThread> recorderThread;
    QAction* actionRecord = nullptr;
    QAction* actionFolder = nullptr;
    QLabel* labelRecording = nullptr;
    QString recordFolder;
    std::function<std::optional<RecorderBacklog>()> backlogSource;
};
