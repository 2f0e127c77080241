// The one window of the program, composed of parts that each own their state
// and widgets; every slot runs in the GUI thread.
//
// - MainWindow builds the form, owns the device worker and its thread, and
//   wires the parts together. It keeps its fixed table of slots (the form's
//   handlers bound by name, the device's and the plots' reports), most of
//   which forward to a part, whether the headset is connected, and the
//   settings (settings.cpp).
// - CaptureControls: the headset's controls on the form (Start/Stop, rate,
//   stimulators, terminal) and what of them is enabled, and the link's
//   counters in the status bar.
// - LiveCapture: the store of samples, the device's batches and events, the
//   capture's starts, the link's loss and return, marks, the "unsaved" state
//   and the question before a capture is discarded.
// - Review: Open and Закрыть файл, the loader, the Аннотации dock and the
//   markers (a live capture's events too), the scroll bar, Home/End, the
//   spectra of the view's left edge. It puts the file into LiveCapture.
// - RecordingControl: Запись, Папка записи..., the recording engine's thread,
//   its status field and failures. It asks LiveCapture for a running
//   capture's backlog; its announcements tell LiveCapture whether batches
//   are being recorded and when a file ended early.
// - SpectrumPanel: the spectra plot. SignalView (display/) draws the signals
//   from LiveCapture's store as ViewControls' record asks.
// - Examination (electrode names, patient, marks, protocols), AnalysisWindow
//   (the Analysis menu) and saveCaptureAs (File > Save) are parts of their own.
#pragma once

#include <QMainWindow>
#include <QVector>

#include <memory>

#include "app/livecapture.h"
#include "app/recordingcontrol.h"
#include "app/review.h"
#include "app/viewcontrols.h"
#include "capture/capturestore.h"
#include "device/types.h"
#include "display/viewsettings.h"

class AnalysisWindow;
class CaptureControls;
class Device;
class EventMarkers;
class Examination;
class QCPGraph;
class QCustomPlot;
class QMouseEvent;
class QThread;
class QTimer;
class QWheelEvent;
class SignalView;
class SpectrumPanel;

namespace Ui
{
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The samples of the capture since the last Start or Clear (or the file shown).
    const CaptureStore& captureStore() const { return live->store(); }
    // The view choices as the controls show them.
    const structViewSettings& viewSettings() const { return view->settings(); }
    // The folder new recordings go to.
    QString recordingFolder() const { return recording->folder(); }
    // The default: "Neurask" in the user's documents.
    static QString defaultRecordingFolder() { return RecordingControl::defaultFolder(); }

    using UnsavedAnswer = LiveCapture::UnsavedAnswer;
    // Answers "save the capture first?" instead of a box (tests set it, and
    // clear it again).
    static inline std::function<UnsavedAnswer()>& unsavedHook = LiveCapture::unsavedHook;

    // Review of a recording file: read in the background; once read it
    // replaces what the plots show, and live capture waits until it is closed.
    void openRecording(const QString& path) { review->open(path); }
    bool isOpeningRecording() const { return review->isOpening(); }
    bool isReviewing() const { return review->isReviewing(); }
    // Electrode names, patient details, marks and protocols.
    Examination* examination() const { return exam; }
    const EventMarkers* eventMarkers() const { return review->eventMarkers(); }

signals:
    // Sent whenever a view choice changes, by the operator or the restored
    // settings.
    void viewSettingsChanged(const structViewSettings& settings);

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void deviceInfo(QString text);
    void terminal(QString text);
    void deviceConnection(bool value);
    void on_comboBoxConnectionPort_currentIndexChanged(QString arg1);
    void setCapture(bool value);
    void deviceDataTime(QVector<structSample> data);
    void deviceDataFFT(int channel, QVector<double> freq, QVector<double> data);
    void plotUpdate();
    void setSpeed(quint32 tx, quint32 rx);
    void setSkipSamples(quint64 value);
    void mouseMovePlotTime(QMouseEvent* event);
    void mouseMovePlotFreq(QMouseEvent* event);
    void mouseDoubleClickTime(QMouseEvent* event);
    void mouseDoubleClickFreq(QMouseEvent* event);
    void plotWheel(QCustomPlot* plot, QWheelEvent* event);
    void mouseWheelTime(QWheelEvent* event);
    void mouseWheelFreq(QWheelEvent* event);
    void on_pushButtonCmdSend_clicked();
    void on_actionAbout_triggered();
    void on_actionStart_triggered();
    void on_actionStop_triggered();
    void on_actionClear_triggered();
    void on_actionZoom_triggered();
    void on_comboBoxFFTcount_currentIndexChanged(QString arg1);
    void on_checkBoxSpectrumLegend_toggled(bool checked);
    void on_comboBoxSpectrumScaleX_currentIndexChanged(int index);
    void on_comboBoxSpectrumScaleY_currentIndexChanged(int index);
    void on_comboBoxFFTwindow_currentIndexChanged(int index);
    void on_checkBoxSpectrumScale_toggled(bool checked);
    void on_checkBoxSpectrumLegend_stateChanged(int arg1);
    void on_pushButtonLightStart_clicked();
    void on_pushButtonLightStop_clicked();
    void on_pushButtonSoundStart_clicked();
    void on_pushButtonSoundStop_clicked();
    void on_horizontalSliderCaptureAdc_valueChanged(int value);
    void on_doubleSpinBoxCapturePeriod_valueChanged(double arg1);
    void on_doubleSpinBoxCaptureFreq_valueChanged(double arg1);
    void on_actionSave_triggered();
    void on_actionOpen_triggered();
    void on_actionExit_triggered();
    void on_actionAnalysisFourier_triggered();
    void on_actionAnalysisStatistics_triggered();
    void on_actionAnalysisSendVARN_triggered();
    void on_actionViewLanes_toggled(bool checked);
    void on_comboBoxViewSensitivity_currentIndexChanged(int index);
    void on_comboBoxViewWindow_currentIndexChanged(int index);
    void on_comboBoxViewHighPass_currentIndexChanged(int index);
    void on_comboBoxViewLowPass_currentIndexChanged(int index);
    void on_comboBoxViewNotch_currentIndexChanged(int index);

private:
    void loadSettings();
    void saveSettings();
    void setupDocks();
    void setupParts();
    void connectDevice();
    void connectParts();
    void setupExamination();
    // A confirmed start, and the emptied store, on the screen.
    void captureBegan(quint16 period);
    void storeCleared();
    // The electrode names onto the live capture's channels, the lanes and the
    // spectrum legend.
    void applyElectrodeNames();
    // File > Save: true when the file was written.
    bool saveCapture();

    Ui::MainWindow* ui;
    Device* device;
    QThread* thread;
    QCPGraph* graphTime[channelCount];
    QTimer* timerPlot;
    bool replotTime = false;
    bool connected = false;

    CaptureControls* controls = nullptr;
    LiveCapture* live = nullptr;
    SpectrumPanel* spectra = nullptr;
    SignalView* signalView = nullptr;
    ViewControls* view = nullptr;
    Review* review = nullptr;
    RecordingControl* recording = nullptr;
    Examination* exam = nullptr;
    // The Analysis menu's dialog; it reads the store, so it goes first.
    std::unique_ptr<AnalysisWindow> analysisWindow;
};
