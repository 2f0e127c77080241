// The one window of the program. It owns the form, the two plots' graphs, the
// status bar counters, the device worker and the thread the worker runs in, and
// is the only place where the operator's actions become device requests and the
// device's reports become screen updates. Every slot runs in the GUI thread.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSharedPointer>
#include <QVector>

#include <functional>
#include <memory>

#include "capture/capturestore.h"
#include "capture/recordingfile.h"
#include "device/types.h"
#include "display/viewsettings.h"

class AnalysisWindow;
class Device;
class EventMarkers;
class Examination;
class QAction;
class QDockWidget;
class QListView;
class QStringListModel;
class QProgressDialog;
class QScrollBar;
class QCPAxisTicker;
class QCPAxisTickerLog;
class QCPGraph;
class QCustomPlot;
class QLabel;
class QMouseEvent;
class QThread;
class QTimer;
class QWheelEvent;
class RecorderThread;
class SignalView;

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

    // The samples of the capture since the last Start or Clear.
    const CaptureStore& captureStore() const { return capture; }
    // The view choices as the controls show them.
    const structViewSettings& viewSettings() const { return view; }
    // The folder new recordings go to.
    QString recordingFolder() const { return recordFolder; }
    // The default: "Neurask" in the user's documents.
    static QString defaultRecordingFolder();

    // The answer to "save the capture first?" before it would be discarded.
    enum class UnsavedAnswer { Save, Discard, Cancel };
    // Answers that question instead of a box (tests set it, and clear it again).
    static inline std::function<UnsavedAnswer()> unsavedHook;

    // Review of a recording file (review.cpp). Open reads the file in the
    // background; once read it replaces what the plots show, and live capture
    // waits until the file is closed.
    void openRecording(const QString& path);
    bool isOpeningRecording() const;
    bool isReviewing() const { return reviewing; }
    // Electrode names, patient details, marks and protocols.
    Examination* examination() const { return exam; }
    const EventMarkers* eventMarkers() const { return markers; }

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
    void setupPlots();
    // The device's capture start and capture events, into the store (not
    // slots: connected through lambdas, so the window's slot table is fixed).
    void captureStarted(quint16 period);
    void captureEvent(quint64 sample, const QString& text);
    structLightParam lightParam() const;
    structSoundParam soundParam() const;
    void setViewSettings(const structViewSettings& settings);
    // Empties the plots; samples that arrive later keep their capture times.
    void clearPlots();
    // Before a capture that is neither saved nor being recorded is discarded:
    // asks whether to save it first. False when the operator cancels (or the
    // save did not succeed).
    bool mayDiscardCapture();
    // File > Save: true when the file was written.
    bool saveCapture();
    void setupRecording();
    void setRecording(bool on);
    void chooseRecordingFolder();
    void recordingProgress(const QString& path, double seconds, qint64 bytes);
    void recordingFailed(const QString& message);
    void setupExamination();
    // Not a slot: the window's slot table stays as the form binds it.
    void setMontage(int index);
    // The sample the capture has reached at this moment, and an operator's mark at a sample.
    quint64 sampleNow() const;
    void addMark(quint64 sample, const QString& text);
    // The electrode names onto the live capture's channels and the spectrum legend.
    void applyElectrodeNames();
    // A live capture's event (at a sample of the store) on the plot and in the
    // Аннотации list at once; the window's own (marks, trains) to the recording too.
    void addCaptureEvent(quint64 sample, const QString& text, double duration = -1,
                         bool toRecording = false);

    // Review (review.cpp).
    void setupReview();
    void recordingRead(QSharedPointer<LoadedRecording> recording);
    void closeRecording();
    // Live controls that make no sense while a file is shown are turned off
    // (after the connection or capture state has set them).
    void applyReviewControls();
    void reviewRangeChanged();
    void showReviewRange(double lower);
    void updateReviewSpectra();
    void jumpToAnnotation(int row);
    bool confirmCloseRecording();

    Ui::MainWindow* ui;
    QLabel* labelSkips;
    QLabel* labelSpeed;
    Device* device;
    QThread* thread;
    QCPGraph* graphTime[channelCount];
    QCPGraph* graphFreq[channelCount];
    QSharedPointer<QCPAxisTickerLog> tickerLogX, tickerLogY;
    QSharedPointer<QCPAxisTicker> tickerLinearX, tickerLinearY;
    QTimer* timerPlot;
    bool replotTime = false;
    bool replotFreq = false;
    // The one store of the capture's samples; the signal graphs only show
    // what of it is in view.
    CaptureStore capture;
    SignalView* signalView = nullptr;
    structViewSettings view;
    // The store holds samples that are in no file (cleared by Save).
    bool captureUnsaved = false;
    // The link was lost during a capture; its return is an event of it.
    bool linkLost = false;
    // Capture starts confirmed so far (the recording engine counts the same).
    int captureStarts = 0;
    // Added to the device's sample numbers after a start sent again during the
    // capture, which goes on in the same store.
    quint64 captureBase = 0;
    // Continuous recording: the engine on its own thread, the actions that
    // drive it and the status bar field it reports to.
    std::unique_ptr<RecorderThread> recorderThread;
    QAction* actionRecord = nullptr;
    QAction* actionRecordFolder = nullptr;
    QLabel* labelRecording = nullptr;
    QString recordFolder;
    Examination* exam = nullptr;

    bool connected = false;
    bool capturing = false;
    // A recording file is shown: live batches and spectra are not taken, the
    // spectra are those of the block at the left edge of the view.
    bool reviewing = false;
    bool reviewSpectraDue = false;
    QString reviewTitle;
    double reviewSeconds = 0;
    RecordingLoader* loader = nullptr;
    QProgressDialog* loadProgress = nullptr;
    EventMarkers* markers = nullptr;
    QDockWidget* dockAnnotations = nullptr;
    QListView* listAnnotations = nullptr;
    QStringListModel* annotationRows = nullptr;
    QScrollBar* scrollTime = nullptr;
    QAction* actionCloseFile = nullptr;
    QAction* actionHome = nullptr;
    QAction* actionEnd = nullptr;
    // The Analysis menu's dialog; it reads `capture`, so it goes first.
    std::unique_ptr<AnalysisWindow> analysisWindow;
};
