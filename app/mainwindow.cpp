#include "app/mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <qcustomplot.h>

#include "app/analysiswindow.h"
#include "app/capturecontrols.h"
#include "app/examination.h"
#include "app/recordingcontrol.h"
#include "app/review.h"
#include "app/savecapture.h"
#include "app/spectrumpanel.h"
#include "app/viewcontrols.h"
#include "device/device.h"
#include "device/ports.h"
#include "display/plots.h"
#include "display/signalview.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QCoreApplication::applicationName() + " v" +
                   QCoreApplication::applicationVersion());
    setupDocks();

    device = new Device();
    thread = new QThread();
    setupParts();
    connectDevice();
    connectParts();
    setupExamination();

    // The list is built once; a port plugged in later is found by the
    // automatic search but is not offered here until the next start.
    ui->comboBoxConnectionPort->clear();
    ui->comboBoxConnectionPort->addItem(tr("Авто"));
    ui->comboBoxConnectionPort->addItems(serialPortNames());

    loadSettings();
    review->hideAnnotations();
    signalView->setViewSettings(view->settings());
    deviceConnection(false);
    thread->start();

    timerPlot = new QTimer(this);
    connect(timerPlot, &QTimer::timeout, this, &MainWindow::plotUpdate);
    timerPlot->start(100);
}

MainWindow::~MainWindow()
{
    device->terminate();
    thread->wait();
    // The device sends nothing more: the open recording ends with the last
    // sample it sent.
    recording->finish();
    delete thread;
    delete device;
    delete ui;
}

void MainWindow::setupDocks()
{
    ui->toolBar->addSeparator();
    const struct {
        QDockWidget* dock;
        const char* icon;
        const char* shortcut;
    } docks[] = {
        {ui->dockWidgetSettings, ":/pic/settings.png", "F7"},
        {ui->dockWidgetTerminal, ":/pic/terminal.png", "F8"},
        {ui->dockWidgetStimulation, ":/pic/cpu.png", "F9"},
    };
    for (const auto& entry : docks) {
        QAction* toggle = entry.dock->toggleViewAction();
        toggle->setIcon(QIcon(entry.icon));
        toggle->setShortcut(QKeySequence(entry.shortcut));
        ui->toolBar->addAction(toggle);
        ui->menuView->addAction(toggle);
    }
}

void MainWindow::setupParts()
{
    qRegisterMetaType<QVector<structSample>>("QVector<structSample>");
    controls = new CaptureControls(ui, this);
    live = new LiveCapture(device, this);
    live->setSaver([this] { return saveCapture(); });

    setupSignalPlot(ui->plotTime);
    spectra = new SpectrumPanel(ui->plotFreq, ui->checkBoxSpectrumScale, this);
    createChannelGraphs(ui->plotTime, graphTime);
    signalView = new SignalView(ui->plotTime, graphTime, live->storePointer(), this);
    view = new ViewControls(this);
    // The restored settings reach the plot through the same announcement.
    connect(view, &ViewControls::changed, this, &MainWindow::viewSettingsChanged);
    connect(this, &MainWindow::viewSettingsChanged, signalView, &SignalView::setViewSettings);
    connect(ui->comboBoxViewMontage, QOverload<int>::of(&QComboBox::currentIndexChanged), view,
            &ViewControls::setMontage);

    review = new Review(this, ui, graphTime, signalView, spectra, live,
                        [this] { return controls->period(); });
    analysisWindow = std::make_unique<AnalysisWindow>(this, [this] {
        const QCPRange range = ui->plotTime->xAxis->range();
        return qMakePair(range.lower, range.upper);
    });
    recording =
        new RecordingControl(device, this, ui->menu, ui->toolBar, ui->actionSave, ui->statusBar);
    recording->setBacklogSource([this] { return live->takeBacklog(); });
}

void MainWindow::connectDevice()
{
    connect(ui->plotTime, &QCustomPlot::mouseMove, this, &MainWindow::mouseMovePlotTime);
    connect(ui->plotFreq, &QCustomPlot::mouseMove, this, &MainWindow::mouseMovePlotFreq);
    connect(ui->plotTime, &QCustomPlot::mouseDoubleClick, this, &MainWindow::mouseDoubleClickTime);
    connect(ui->plotFreq, &QCustomPlot::mouseDoubleClick, this, &MainWindow::mouseDoubleClickFreq);
    connect(ui->plotTime, &QCustomPlot::mouseWheel, this, &MainWindow::mouseWheelTime);
    connect(ui->plotFreq, &QCustomPlot::mouseWheel, this, &MainWindow::mouseWheelFreq);

    device->moveToThread(thread);
    connect(thread, &QThread::started, device, &Device::start);
    connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);
    const auto queued = Qt::QueuedConnection;
    connect(device, &Device::info, this, &MainWindow::deviceInfo, queued);
    connect(device, &Device::terminal, this, &MainWindow::terminal, queued);
    connect(device, &Device::connection, this, &MainWindow::deviceConnection, queued);
    connect(device, &Device::changeCapture, this, &MainWindow::setCapture, queued);
    connect(device, &Device::updateDataTime, this, &MainWindow::deviceDataTime);
    connect(device, &Device::updateDataFFT, this, &MainWindow::deviceDataFFT, queued);
    connect(device, &Device::updateSpeed, this, &MainWindow::setSpeed, queued);
    connect(device, &Device::updateSkipSamples, this, &MainWindow::setSkipSamples, queued);
    connect(device, &Device::captureStarted, live, &LiveCapture::captureStarted, queued);
    connect(device, &Device::captureEvent, live, &LiveCapture::captureEvent, queued);
}

void MainWindow::connectParts()
{
    connect(live, &LiveCapture::aboutToReplace, this, [this] { analysisWindow->storeReplaced(); });
    connect(live, &LiveCapture::captureBegan, this, &MainWindow::captureBegan);
    connect(live, &LiveCapture::cleared, this, &MainWindow::storeCleared);
    connect(live, &LiveCapture::samplesAppended, this, [this] {
        signalView->samplesAppended();
        replotTime = true;
    });
    connect(live, &LiveCapture::eventAdded, this, [this](const EventMarker& marker) {
        review->addMarker(marker);
        replotTime = true;
    });
    connect(live, &LiveCapture::eventForRecording, recording, &RecordingControl::addEvent);
    connect(recording, &RecordingControl::switched, live, &LiveCapture::setRecorded);
    connect(recording, &RecordingControl::failed, live, &LiveCapture::recordingFailed);
    connect(review, &Review::replotNeeded, this, [this] { replotTime = true; });
    connect(review, &Review::fileShown, this, [this] {
        // A capture that runs is stopped; what it still sends is dropped.
        if (live->isCapturing())
            device->captureStop();
        controls->reviewChanged(connected, live->isCapturing(), true);
    });
    connect(review, &Review::fileClosed, this, [this] {
        deviceConnection(connected);
        controls->reviewChanged(connected, live->isCapturing(), false);
    });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!live->mayDiscard()) {
        event->ignore();
        return;
    }
    exam->stopProtocol();
    device->captureStop();
    saveSettings();
    event->accept();
}

// --- Device reports ---------------------------------------------------------

void MainWindow::deviceInfo(QString text)
{
    ui->statusBar->showMessage(text);
}

void MainWindow::terminal(QString text)
{
    ui->plainTextEditLog->appendPlainText(text);
}

void MainWindow::deviceDataTime(QVector<structSample> data)
{
    live->append(data);
}

void MainWindow::deviceDataFFT(int channel, QVector<double> freq, QVector<double> data)
{
    if (!review->isReviewing())
        spectra->showSpectrum(channel, freq, data);
}

void MainWindow::setSpeed(quint32 tx, quint32 rx)
{
    controls->setSpeed(tx, rx);
}

void MainWindow::setSkipSamples(quint64 value)
{
    controls->setSkipped(value);
}

void MainWindow::deviceConnection(bool value)
{
    connected = value;
    live->connectionChanged(value);
    controls->connectionChanged(value, review->isReviewing());
}

void MainWindow::on_comboBoxConnectionPort_currentIndexChanged(QString arg1)
{
    Q_UNUSED(arg1);
    QComboBox* combo = ui->comboBoxConnectionPort;
    device->setPort(combo->currentIndex() < 1 ? QString() : combo->currentText());
}

void MainWindow::setCapture(bool value)
{
    qDebug() << "MainWindow::setCapture" << value;
    live->setCapturing(value);
    exam->setCapturing(value && !review->isReviewing());
    controls->captureChanged(value, review->isReviewing());
}

// --- The capture on the screen --------------------------------------------------

void MainWindow::captureBegan(quint16 period)
{
    review->clearMarkers();
    applyElectrodeNames();
    signalView->restoreScrollWidth();
    signalView->storeChanged();
    spectra->clear();
    controls->showPeriod(period);
    controls->startSent();
    setCapture(true);
    replotTime = true;
}

void MainWindow::storeCleared()
{
    review->clearMarkers();
    applyElectrodeNames();
    signalView->storeChanged();
    spectra->clear();
    ui->plotTime->replot();
}

void MainWindow::applyElectrodeNames()
{
    const QStringList names = exam->electrodeNames();
    live->setElectrodeNames(names);
    spectra->setNames(names);
    signalView->labelsChanged();
    replotTime = true;
}

void MainWindow::plotUpdate()
{
    review->refresh();
    if (replotTime) {
        ui->plotTime->replot();
        replotTime = false;
    }
    spectra->replotIfDue();
}

void MainWindow::mouseMovePlotTime(QMouseEvent* event)
{
    ui->statusBar->showMessage(signalView->readout(cursorCoordinates(ui->plotTime, event)));
}

void MainWindow::mouseMovePlotFreq(QMouseEvent* event)
{
    ui->statusBar->showMessage(spectra->mouseMoved(event));
}

void MainWindow::mouseDoubleClickTime(QMouseEvent*)
{
    signalView->fitAll();
}

void MainWindow::mouseDoubleClickFreq(QMouseEvent*)
{
    spectra->doubleClicked();
}

void MainWindow::plotWheel(QCustomPlot* plot, QWheelEvent* event)
{
    zoomByWheel(plot, event);
}

void MainWindow::mouseWheelTime(QWheelEvent* event)
{
    zoomByWheel(ui->plotTime, event);
}

void MainWindow::mouseWheelFreq(QWheelEvent* event)
{
    spectra->wheeled(event);
}

void MainWindow::on_actionClear_triggered()
{
    // A file is closed, not cleared.
    if (!review->isReviewing() && live->mayDiscard())
        live->clear();
}

void MainWindow::on_actionZoom_triggered()
{
    signalView->fitAll();
    spectra->fitAll();
}

void MainWindow::on_checkBoxSpectrumLegend_toggled(bool checked)
{
    for (QCustomPlot* plot : {ui->plotTime, ui->plotFreq}) {
        plot->legend->setVisible(checked);
        plot->replot();
    }
}

// The legend follows the toggled signal.
void MainWindow::on_checkBoxSpectrumLegend_stateChanged(int) {}
void MainWindow::on_comboBoxSpectrumScaleX_currentIndexChanged(int index)
{
    spectra->setScale(Qt::Horizontal, index);
}
void MainWindow::on_comboBoxSpectrumScaleY_currentIndexChanged(int index)
{
    spectra->setScale(Qt::Vertical, index);
}
void MainWindow::on_checkBoxSpectrumScale_toggled(bool checked)
{
    if (checked)
        fitPlot(ui->plotFreq);
}

// --- Commands to the device -----------------------------------------------------

void MainWindow::on_pushButtonCmdSend_clicked()
{
    device->sendCommand(ui->lineEditCmd->text());
}

void MainWindow::on_actionStart_triggered()
{
    if (!review->closeForCapture() || !live->mayDiscard())
        return;
    controls->startSent();
    const quint16 period = controls->period();
    signalView->restoreScrollWidth();
    live->prepareStart(period);
    device->captureStart(period);
}

void MainWindow::on_actionStop_triggered()
{
    // A protocol's light goes out at once, before the capture ends.
    exam->stopProtocol();
    ui->actionStop->setEnabled(false);
    device->captureStop();
}

void MainWindow::on_comboBoxFFTcount_currentIndexChanged(QString arg1)
{
    device->setFFTCount(arg1.toUInt(nullptr, 10));
    review->spectrumSettingsChanged();
}

void MainWindow::on_comboBoxFFTwindow_currentIndexChanged(int index)
{
    device->setFFTWindow(fftWindowFromIndex(index));
    review->spectrumSettingsChanged();
}

void MainWindow::on_pushButtonLightStart_clicked()
{
    device->setLightStart(controls->light());
}
void MainWindow::on_pushButtonSoundStart_clicked()
{
    device->setSoundStart(controls->sound());
}
void MainWindow::on_pushButtonLightStop_clicked()
{
    device->setLightStop();
}
void MainWindow::on_pushButtonSoundStop_clicked()
{
    device->setSoundStop();
}

// --- Capture rate -----------------------------------------------------------------

void MainWindow::on_horizontalSliderCaptureAdc_valueChanged(int value)
{
    controls->periodTicksChanged(value);
}

void MainWindow::on_doubleSpinBoxCapturePeriod_valueChanged(double arg1)
{
    controls->periodMsChanged(arg1);
}

void MainWindow::on_doubleSpinBoxCaptureFreq_valueChanged(double arg1)
{
    controls->frequencyChanged(arg1);
}

// --- Menus ------------------------------------------------------------------------

void MainWindow::on_actionSave_triggered()
{
    saveCapture();
}
void MainWindow::on_actionOpen_triggered()
{
    review->chooseAndOpen();
}

bool MainWindow::saveCapture()
{
    const bool reviewing = review->isReviewing();
    if (!saveCaptureAs(this, live->store(), reviewing ? nullptr : &exam->patient()))
        return false;
    live->markSaved();
    return true;
}

void MainWindow::on_actionExit_triggered()
{
    // Leaves without closing the window: no capture stop, no settings saved.
    // An open recording is finished as the window goes.
    if (live->mayDiscard())
        QCoreApplication::exit(0);
}

void MainWindow::on_actionAbout_triggered()
{
    QString text = QCoreApplication::applicationName() + " v" +
                   QCoreApplication::applicationVersion() + "\r\n\r\n" +
                   tr("Ulvek. Программа записи сигналов нейрогарнитуры.");
    QMessageBox::information(this, tr("О программе..."), text, QMessageBox::Ok);
}

void MainWindow::on_actionAnalysisFourier_triggered()
{
    analysisWindow->analyse(AnalysisWindow::Spectra);
}

void MainWindow::on_actionAnalysisStatistics_triggered()
{
    analysisWindow->analyse(AnalysisWindow::Statistics);
}

void MainWindow::on_actionAnalysisSendVARN_triggered()
{
    QMessageBox::warning(this, tr("Отправить в VARN"), tr("Загрузите исходные данные!"),
                         QMessageBox::Ok);
}

void MainWindow::on_actionViewLanes_toggled(bool checked)
{
    view->setLanes(checked);
}
void MainWindow::on_comboBoxViewSensitivity_currentIndexChanged(int i)
{
    view->setSensitivity(i);
}
void MainWindow::on_comboBoxViewWindow_currentIndexChanged(int i)
{
    view->setWindow(i);
}
void MainWindow::on_comboBoxViewHighPass_currentIndexChanged(int i)
{
    view->setHighPass(i);
}
void MainWindow::on_comboBoxViewLowPass_currentIndexChanged(int i)
{
    view->setLowPass(i);
}
void MainWindow::on_comboBoxViewNotch_currentIndexChanged(int i)
{
    view->setNotch(i);
}

// --- Examination -----------------------------------------------------------------------

void MainWindow::setupExamination()
{
    exam = new Examination(this, ui->menu, ui->menuHelp->menuAction(), ui->dockWidgetStimulation);
    connect(exam, &Examination::mark, live, &LiveCapture::addMark);
    connect(exam, &Examination::electrodeNamesChanged, this, &MainWindow::applyElectrodeNames);
    live->setTrainSource([this] { return exam->takeLightTrain(); });
    // The recording engine takes names and details for the files it begins.
    Recorder* recorder = recording->recorder();
    connect(exam, &Examination::electrodeNamesChanged, recorder, &Recorder::setElectrodes);
    connect(exam, &Examination::patientChanged, recorder, &Recorder::setPatient);
    exam->setSampleClock([this] { return live->sampleNow(); });
    exam->setCaptureStarter([this] {
        if (!controls->startEnabled())
            return false;
        on_actionStart_triggered();
        return !controls->startEnabled(); // disabled once a start went out
    });
    // The device's request slots are called from the GUI thread, as the buttons do.
    connect(exam, &Examination::lightStart, device, &Device::setLightStart, Qt::DirectConnection);
    connect(exam, &Examination::lightStop, device, &Device::setLightStop, Qt::DirectConnection);
    connect(exam, &Examination::soundStart, device, &Device::setSoundStart, Qt::DirectConnection);
    connect(exam, &Examination::soundStop, device, &Device::setSoundStop, Qt::DirectConnection);
}
