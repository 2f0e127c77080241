// The examination as the operator runs it: the electrodes' names, the patient's
// details, operator marks and protocols. A part of the window with its own
// menu entries and two docks ("Отметки", "Протокол"); it keeps its choices in
// the settings group "Exam".
//
// It speaks to the rest of the window through signals: names and details when
// they change, a mark to put into the capture, and the stimulation requests of
// a running protocol. The window tells it when a capture runs (marks and
// protocols need one) and asks it for the light train under way when the
// headset confirms a light start.
#pragma once

#include "device/types.h"
#include "exam/patient.h"
#include "exam/protocol.h"
#include "exam/protocolrunner.h"

#include <QObject>
#include <QStringList>

#include <functional>

class QAction;
class QComboBox;
class QDockWidget;
class QGridLayout;
class QLabel;
class QMainWindow;
class QMenu;
class QProgressBar;
class QPushButton;
class QSettings;
class QTimer;

class Examination : public QObject
{
    Q_OBJECT
public:
    // Adds its menu entries (Файл → Пациент…, Параметры → Электроды…) to `window`'s
    // menu bar before the entry `before`, and its docks to `window`, as tabs
    // beside `neighbour`.
    Examination(QMainWindow* window, QMenu* fileMenu, QAction* before, QDockWidget* neighbour);

    void loadSettings(QSettings& settings);
    void saveSettings(QSettings& settings) const;

    // Twelve names, empty for a plain channel.
    QStringList electrodeNames() const { return names; }
    void setElectrodeNames(const QStringList& names);
    const exam::PatientDetails& patient() const { return details; }
    void setPatient(const exam::PatientDetails& details);
    QStringList markTexts() const { return marks; }
    void setMarkTexts(const QStringList& texts);

    // A capture runs (marks and protocols may be used) or not (a running
    // protocol is stopped).
    void setCapturing(bool on);
    bool isProtocolRunning() const { return runner.isRunning(); }
    // The running protocol's light train that the headset has just confirmed
    // (once per train; inactive when none).
    exam::ProtocolRunner::Train takeLightTrain() { return runner.takeLightTrain(); }
    // How the window tells the capture's sample at this moment, and starts a
    // capture when a protocol asks for one (true when a start was requested).
    void setSampleClock(std::function<quint64()> now) { sampleNow = std::move(now); }
    void setCaptureStarter(std::function<bool()> start) { startCapture = std::move(start); }

    // Runs a protocol; false when one runs already or no capture runs.
    bool runProtocol(const exam::Protocol& protocol);
    void stopProtocol();
    exam::Protocol chosenProtocol() const;

    QDockWidget* marksDock() const { return dockMarks; }
    QDockWidget* protocolDock() const { return dockProtocol; }

signals:
    void electrodeNamesChanged(const QStringList& names);
    void patientChanged(const exam::PatientDetails& details);
    // A mark at a sample of the capture: that of the key press, or of the
    // protocol's step.
    void mark(quint64 sample, const QString& text);
    void lightStart(structLightParam param);
    void lightStop();
    void soundStart(structSoundParam param);
    void soundStop();

private:
    void buildMarksDock();
    void buildProtocolDock();
    void rebuildMarkButtons();
    void editElectrodes();
    void editPatient();
    void editMarks();
    void freeMark();
    void editProtocol();
    void openProtocol();
    void runOrStop();
    void protocolProgress(int step, int steps, double elapsed, double planned);
    void protocolWaiting(const QString& message);
    void protocolFinished(bool aborted);
    void updateEnabled();

    QMainWindow* window;
    QStringList names;
    exam::PatientDetails details;
    QStringList marks;
    QString protocolTexts[3]; // photic, hyperventilation, the operator's own
    bool capturing = false;
    bool runOnCapture = false; // a protocol waits for the capture it asked for
    QTimer* runOnCaptureTimeout = nullptr;
    std::function<quint64()> sampleNow;
    std::function<bool()> startCapture;
    exam::ProtocolRunner runner;

    QDockWidget* dockMarks = nullptr;
    QGridLayout* markGrid = nullptr;
    QList<QPushButton*> markButtons;
    QAction* markKeys[9] = {};
    QAction* actionFreeMark = nullptr;
    QDockWidget* dockProtocol = nullptr;
    QComboBox* protocolChoice = nullptr;
    QPushButton* protocolRun = nullptr;
    QPushButton* protocolGoOn = nullptr;
    QProgressBar* protocolBar = nullptr;
    QLabel* protocolStep = nullptr;
    QAction* actionStopProtocol = nullptr;
};
