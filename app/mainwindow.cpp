#include "app/mainwindow.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStringListModel>
#include <QThread>
#include <QTimer>
#include <qcustomplot.h>

#include "app/analysiswindow.h"
#include "app/conversions.h"
#include "app/examination.h"
#include "app/filedialog.h"
#include "device/device.h"
#include "device/ports.h"
#include "display/eventmarkers.h"
#include "display/plots.h"
#include "display/signalview.h"
#include "display/statusbar.h"
#include "exam/electrodes.h"
#include "recorder/recorder.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QCoreApplication::applicationName() + " v" +
                   QCoreApplication::applicationVersion());

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

    labelSpeed = addStatusCounter(ui->statusBar, speedText(0, 0), tr("Скорость обмена (байт/сек)"));
    labelSkips =
        addStatusCounter(ui->statusBar, skipsText(0), tr("Количество пропущенных пакетов"));

    connect(ui->plotTime, &QCustomPlot::mouseMove, this, &MainWindow::mouseMovePlotTime);
    connect(ui->plotFreq, &QCustomPlot::mouseMove, this, &MainWindow::mouseMovePlotFreq);
    connect(ui->plotTime, &QCustomPlot::mouseDoubleClick, this, &MainWindow::mouseDoubleClickTime);
    connect(ui->plotFreq, &QCustomPlot::mouseDoubleClick, this, &MainWindow::mouseDoubleClickFreq);
    connect(ui->plotTime, &QCustomPlot::mouseWheel, this, &MainWindow::mouseWheelTime);
    connect(ui->plotFreq, &QCustomPlot::mouseWheel, this, &MainWindow::mouseWheelFreq);

    setupPlots();
    setupReview();
    analysisWindow = std::make_unique<AnalysisWindow>(this, [this] {
        const QCPRange range = ui->plotTime->xAxis->range();
        return qMakePair(range.lower, range.upper);
    });

    device = new Device();
    thread = new QThread();
    device->moveToThread(thread);
    connect(thread, &QThread::started, device, &Device::start);
    connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(device, &Device::info, this, &MainWindow::deviceInfo, Qt::QueuedConnection);
    connect(device, &Device::terminal, this, &MainWindow::terminal, Qt::QueuedConnection);
    connect(device, &Device::connection, this, &MainWindow::deviceConnection, Qt::QueuedConnection);
    connect(device, &Device::changeCapture, this, &MainWindow::setCapture, Qt::QueuedConnection);
    connect(device, &Device::updateDataTime, this, &MainWindow::deviceDataTime);
    connect(device, &Device::updateDataFFT, this, &MainWindow::deviceDataFFT, Qt::QueuedConnection);
    connect(device, &Device::updateSpeed, this, &MainWindow::setSpeed, Qt::QueuedConnection);
    connect(device, &Device::updateSkipSamples, this, &MainWindow::setSkipSamples,
            Qt::QueuedConnection);
    connect(
        device, &Device::captureStarted, this, [this](quint16 period) { captureStarted(period); },
        Qt::QueuedConnection);
    connect(
        device, &Device::captureEvent, this,
        [this](quint64 sample, QString text) { captureEvent(sample, text); }, Qt::QueuedConnection);

    setupRecording();
    setupExamination();

    // The list is built once; a port plugged in later is found by the
    // automatic search but is not offered here until the next start.
    ui->comboBoxConnectionPort->clear();
    ui->comboBoxConnectionPort->addItem(tr("Авто"));
    ui->comboBoxConnectionPort->addItems(serialPortNames());

    loadSettings();
    // The annotation list belongs to a file, which no run starts with.
    dockAnnotations->hide();
    signalView->setViewSettings(view);
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
    recorderThread.reset();
    delete thread;
    delete device;
    delete ui;
}

void MainWindow::setupPlots()
{
    qRegisterMetaType<QVector<structSample>>("QVector<structSample>");

    setupSignalPlot(ui->plotTime);

    QCustomPlot* plot = ui->plotFreq;
    setupSpectrumAxes(plot);
    tickerLogX.reset(new QCPAxisTickerLog);
    tickerLogY.reset(new QCPAxisTickerLog);
    tickerLinearX = plot->xAxis->ticker();
    tickerLinearY = plot->yAxis->ticker();
    on_comboBoxSpectrumScaleX_currentIndexChanged(0);
    on_comboBoxSpectrumScaleY_currentIndexChanged(0);
    plot->xAxis->setRange(0, 250);
    plot->yAxis->setRange(0, 1);
    setupPlotInteractions(plot);

    createChannelGraphs(ui->plotTime, graphTime);
    createChannelGraphs(ui->plotFreq, graphFreq);
    signalView = new SignalView(ui->plotTime, graphTime, &capture, this);
    // The restored settings reach the plot through the same announcement.
    connect(this, &MainWindow::viewSettingsChanged, signalView, &SignalView::setViewSettings);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!mayDiscardCapture()) {
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

void MainWindow::deviceConnection(bool value)
{
    connected = value;
    if (!value)
        capturing = false;
    // The device marks the loss in the capture; its return is marked here.
    if (!value && capture.sampleCount() > 0)
        linkLost = true;
    else if (value && linkLost) {
        capture.addEvent(capture.firstSample() + quint64(capture.sampleCount()),
                         tr("Связь восстановлена"));
        linkLost = false;
    }
    ui->comboBoxConnectionPort->setEnabled(!value);
    ui->actionStart->setEnabled(value);
    ui->actionStop->setEnabled(false);
    QWidget* const controls[] = {
        ui->lineEditCmd,
        ui->pushButtonCmdSend,
        ui->doubleSpinBoxCapturePeriod,
        ui->doubleSpinBoxCaptureFreq,
        ui->horizontalSliderCaptureAdc,
        ui->comboBoxFFTcount,
        ui->comboBoxFFTwindow,
        ui->doubleSpinBoxLightBright,
        ui->doubleSpinBoxLightDuration,
        ui->doubleSpinBoxLightPause,
        ui->spinBoxLightCount,
        ui->spinBoxLightSeriesPause,
        ui->spinBoxLightSeriesCount,
        ui->pushButtonLightStart,
        ui->pushButtonLightStop,
        ui->doubleSpinBoxSoundVolume,
        ui->doubleSpinBoxSoundDuration,
        ui->doubleSpinBoxSoundPause,
        ui->spinBoxSoundCount,
        ui->spinBoxSoundSeriesPause,
        ui->spinBoxSoundSeriesCount,
        ui->doubleSpinBoxSoundTone,
        ui->pushButtonSoundStart,
        ui->pushButtonSoundStop,
    };
    for (QWidget* control : controls)
        control->setEnabled(value);
    applyReviewControls();
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
    capturing = value;
    exam->setCapturing(value && !reviewing);
    if (value)
        ui->actionStop->setEnabled(true);
    else
        ui->actionStart->setEnabled(true);
    ui->doubleSpinBoxCapturePeriod->setEnabled(!value);
    ui->doubleSpinBoxCaptureFreq->setEnabled(!value);
    ui->horizontalSliderCaptureAdc->setEnabled(!value);
    applyReviewControls();
}

void MainWindow::setSpeed(quint32 tx, quint32 rx)
{
    labelSpeed->setText(speedText(tx, rx));
}

void MainWindow::setSkipSamples(quint64 value)
{
    labelSkips->setText(skipsText(value));
}

// --- Plots -------------------------------------------------------------------

void MainWindow::deviceDataTime(QVector<structSample> data)
{
    if (data.isEmpty() || reviewing)
        return;
    capture.append(data);
    // With recording on, the engine writes the same batches to its file.
    if (!actionRecord->isChecked())
        captureUnsaved = true;
    signalView->samplesAppended();
    replotTime = true;
}

void MainWindow::captureStarted(quint16 period)
{
    ++captureStarts;
    if (reviewing)
        return;
    if (capturing && period == capture.period()) {
        // A start sent again during the capture (typed in the terminal): the
        // headset goes on at the same rate, and so do the store and the
        // recording; the device's note marks the moment.
        captureBase = capture.firstSample() + quint64(capture.sampleCount());
        return;
    }
    captureBase = 0;
    // Whoever asked for it (Start, or a command typed in the terminal), a
    // confirmed start begins a fresh capture at the confirmed period.
    analysisWindow->storeReplaced();
    capture.reset(period, QDateTime::currentDateTime());
    markers->setMarkers({});
    annotationRows->setStringList({});
    applyElectrodeNames();
    captureUnsaved = false;
    linkLost = false;
    signalView->restoreScrollWidth();
    signalView->storeChanged();
    clearGraphs(graphFreq);
    ui->plotFreq->replot();
    QSlider* slider = ui->horizontalSliderCaptureAdc;
    if (period >= slider->minimum() && period <= slider->maximum())
        slider->setValue(period);
    ui->actionStart->setEnabled(false);
    setCapture(true);
    replotTime = true;
}

void MainWindow::captureEvent(quint64 sample, const QString& text)
{
    if (reviewing)
        return;
    addCaptureEvent(sample + captureBase, text);
    // The headset confirms a light start of a running protocol: the train's
    // own annotation, with its length, sits at the same sample.
    if (text.startsWith(QStringLiteral("Свет ")) && text.size() > 5 && text[5].isDigit()) {
        const exam::ProtocolRunner::Train train = exam->takeLightTrain();
        if (train.active)
            addCaptureEvent(sample + captureBase, train.text, train.seconds, true);
    }
}

void MainWindow::deviceDataFFT(int channel, QVector<double> freq, QVector<double> data)
{
    if (reviewing)
        return;
    if (!setChannelSpectrum(graphFreq, channel, freq, data))
        return;
    if (ui->checkBoxSpectrumScale->isChecked()) {
        ui->plotFreq->yAxis->rescale(true);
        ui->plotFreq->xAxis->rescale(true);
    }
    replotFreq = true;
}

void MainWindow::plotUpdate()
{
    if (reviewSpectraDue)
        updateReviewSpectra();
    if (replotTime) {
        ui->plotTime->replot();
        replotTime = false;
    }
    if (replotFreq) {
        ui->plotFreq->replot();
        replotFreq = false;
    }
}

void MainWindow::mouseMovePlotTime(QMouseEvent* event)
{
    QPointF at = cursorCoordinates(ui->plotTime, event);
    ui->statusBar->showMessage(signalView->readout(at));
}

void MainWindow::mouseMovePlotFreq(QMouseEvent* event)
{
    // Spectra arriving while the operator pans would snap the view back.
    if (event->buttons() == Qt::LeftButton)
        ui->checkBoxSpectrumScale->setChecked(false);
    QPointF at = cursorCoordinates(ui->plotFreq, event);
    ui->statusBar->showMessage(spectrumReadout(at.x(), at.y()));
}

void MainWindow::mouseDoubleClickTime(QMouseEvent* event)
{
    Q_UNUSED(event);
    signalView->fitAll();
}

void MainWindow::mouseDoubleClickFreq(QMouseEvent* event)
{
    Q_UNUSED(event);
    ui->checkBoxSpectrumScale->setChecked(true);
    fitPlot(ui->plotFreq);
}

void MainWindow::plotWheel(QCustomPlot* plot, QWheelEvent* event)
{
    if (plot->interactions().testFlag(QCP::iRangeZoom))
        return; // the plot zooms by itself
    zoomPlotByWheel(plot, event);
}

void MainWindow::mouseWheelTime(QWheelEvent* event)
{
    plotWheel(ui->plotTime, event);
}

void MainWindow::mouseWheelFreq(QWheelEvent* event)
{
    ui->checkBoxSpectrumScale->setChecked(false);
    plotWheel(ui->plotFreq, event);
}

void MainWindow::on_actionClear_triggered()
{
    if (reviewing)
        return; // a file is closed, not cleared
    if (mayDiscardCapture())
        clearPlots();
}

void MainWindow::clearPlots()
{
    captureUnsaved = false;
    analysisWindow->storeReplaced(); // an analysis still reading the capture
    // Samples that arrive after a clear keep their times in the capture.
    capture.reset(capture.period(), capture.startTime(),
                  capture.firstSample() + quint64(capture.sampleCount()));
    markers->setMarkers({});
    annotationRows->setStringList({});
    applyElectrodeNames();
    signalView->storeChanged();
    clearGraphs(graphFreq);
    ui->plotTime->replot();
    ui->plotFreq->replot();
}

void MainWindow::on_actionZoom_triggered()
{
    signalView->fitAll();
    ui->plotFreq->rescaleAxes();
    ui->plotFreq->replot();
}

void MainWindow::on_checkBoxSpectrumLegend_toggled(bool checked)
{
    ui->plotTime->legend->setVisible(checked);
    ui->plotTime->replot();
    ui->plotFreq->legend->setVisible(checked);
    ui->plotFreq->replot();
}

void MainWindow::on_checkBoxSpectrumLegend_stateChanged(int arg1)
{
    Q_UNUSED(arg1); // the legend follows the toggled signal
}

void MainWindow::on_comboBoxSpectrumScaleX_currentIndexChanged(int index)
{
    setSpectrumAxisScale(ui->plotFreq, Qt::Horizontal, index, tickerLogX, tickerLinearX);
}

void MainWindow::on_comboBoxSpectrumScaleY_currentIndexChanged(int index)
{
    setSpectrumAxisScale(ui->plotFreq, Qt::Vertical, index, tickerLogY, tickerLinearY);
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
    if (reviewing) {
        if (!confirmCloseRecording())
            return;
        closeRecording();
    }
    if (!mayDiscardCapture())
        return;
    ui->actionStart->setEnabled(false);
    const quint16 period = static_cast<quint16>(ui->horizontalSliderCaptureAdc->value());
    // The capture's own start (captureStarted) resets the store again when the
    // headset confirms; until then the chosen period is the time base.
    analysisWindow->storeReplaced();
    capture.reset(period, QDateTime::currentDateTime());
    signalView->restoreScrollWidth();
    clearPlots();
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
    reviewSpectraDue = reviewing;
}

void MainWindow::on_comboBoxFFTwindow_currentIndexChanged(int index)
{
    device->setFFTWindow(fftWindowFromIndex(index));
    reviewSpectraDue = reviewing;
}

structLightParam MainWindow::lightParam() const
{
    return makeLightParam(
        ui->doubleSpinBoxLightBright->value(), ui->doubleSpinBoxLightDuration->value(),
        ui->doubleSpinBoxLightPause->value(), ui->spinBoxLightCount->value(),
        ui->spinBoxLightSeriesPause->value(), ui->spinBoxLightSeriesCount->value());
}

structSoundParam MainWindow::soundParam() const
{
    return makeSoundParam(ui->doubleSpinBoxSoundVolume->value(),
                          ui->doubleSpinBoxSoundDuration->value(),
                          ui->doubleSpinBoxSoundPause->value(), ui->spinBoxSoundCount->value(),
                          ui->doubleSpinBoxSoundTone->value(), ui->spinBoxSoundSeriesPause->value(),
                          ui->spinBoxSoundSeriesCount->value());
}

void MainWindow::on_pushButtonLightStart_clicked()
{
    device->setLightStart(lightParam());
}

void MainWindow::on_pushButtonLightStop_clicked()
{
    device->setLightStop();
}

void MainWindow::on_pushButtonSoundStart_clicked()
{
    device->setSoundStart(soundParam());
}

void MainWindow::on_pushButtonSoundStop_clicked()
{
    device->setSoundStop();
}

// --- Capture rate -----------------------------------------------------------------
// The slider holds the sample period in ticks of 125 ns; the two boxes show it
// as milliseconds and hertz. Each control sets the others, and the boxes round
// to their own precision, so the slider settles on the nearest period they can
// express.

void MainWindow::on_horizontalSliderCaptureAdc_valueChanged(int value)
{
    ui->doubleSpinBoxCapturePeriod->setValue(periodMsFromTicks(value));
    ui->doubleSpinBoxCaptureFreq->setValue(frequencyHzFromTicks(value));
    qDebug() << value;
}

void MainWindow::on_doubleSpinBoxCapturePeriod_valueChanged(double arg1)
{
    ui->horizontalSliderCaptureAdc->setValue(ticksFromPeriodMs(arg1));
}

void MainWindow::on_doubleSpinBoxCaptureFreq_valueChanged(double arg1)
{
    ui->horizontalSliderCaptureAdc->setValue(ticksFromFrequencyHz(arg1));
}

// --- Menus ------------------------------------------------------------------------

void MainWindow::on_actionExit_triggered()
{
    // Leaves without closing the window: no capture stop, no settings saved.
    // An open recording is finished as the window goes.
    if (mayDiscardCapture())
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

// --- Keeping captures ----------------------------------------------------------------

bool MainWindow::mayDiscardCapture()
{
    // A capture being recorded is recorded from its first stored sample
    // (setRecording hands the engine what came before), so only what is in no
    // file is asked about.
    if (!captureUnsaved || capture.sampleCount() == 0)
        return true;
    UnsavedAnswer answer = UnsavedAnswer::Cancel;
    if (unsavedHook) {
        answer = unsavedHook();
    } else {
        QMessageBox box(QMessageBox::Question, tr("Данные не сохранены"),
                        tr("Записанные данные не сохранены в файл. Сохранить их?"),
                        QMessageBox::NoButton, this);
        QPushButton* save = box.addButton(tr("Сохранить"), QMessageBox::AcceptRole);
        QPushButton* discard = box.addButton(tr("Не сохранять"), QMessageBox::DestructiveRole);
        QPushButton* cancel = box.addButton(tr("Отмена"), QMessageBox::RejectRole);
        box.setDefaultButton(save);
        box.setEscapeButton(cancel);
        box.exec();
        if (box.clickedButton() == save)
            answer = UnsavedAnswer::Save;
        else if (box.clickedButton() == discard)
            answer = UnsavedAnswer::Discard;
    }
    switch (answer) {
    case UnsavedAnswer::Save:
        return saveCapture();
    case UnsavedAnswer::Discard:
        return true;
    case UnsavedAnswer::Cancel:
        break;
    }
    return false;
}

// --- Continuous recording -------------------------------------------------------------

QString MainWindow::defaultRecordingFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("Neurask"));
}

void MainWindow::setupRecording()
{
    recordFolder = defaultRecordingFolder();
    recorderThread = std::make_unique<RecorderThread>();
    Recorder* recorder = recorderThread->recorder();
    // The engine gets the device's batches on its own thread, beside the plots.
    connectCapture(device, recorder);
    connect(recorder, &Recorder::progress, this,
            [this](QString path, double seconds, qint64 bytes) {
                recordingProgress(path, seconds, bytes);
            });
    connect(recorder, &Recorder::failed, this,
            [this](QString message) { recordingFailed(message); });
    connect(recorder, &Recorder::recordingChanged, this, [this](bool on) {
        const QSignalBlocker blocker(actionRecord);
        actionRecord->setChecked(on);
    });

    actionRecord = new QAction(QIcon(":/pic/record.png"), tr("Запись"), this);
    actionRecord->setObjectName("actionRecord");
    actionRecord->setCheckable(true);
    actionRecord->setShortcut(QKeySequence("Ctrl+R"));
    actionRecord->setToolTip(tr("Записывать каждый сбор данных в файл BDF+"));
    connect(actionRecord, &QAction::toggled, this, [this](bool on) { setRecording(on); });
    actionRecordFolder = new QAction(tr("Папка записи..."), this);
    actionRecordFolder->setObjectName("actionRecordFolder");
    actionRecordFolder->setToolTip(tr("Выбрать папку для файлов записи"));
    connect(actionRecordFolder, &QAction::triggered, this, [this] { chooseRecordingFolder(); });

    // After Save, in the File menu and on the tool bar.
    for (QWidget* bar : {static_cast<QWidget*>(ui->menu), static_cast<QWidget*>(ui->toolBar)}) {
        const QList<QAction*> actions = bar->actions();
        const int at = actions.indexOf(ui->actionSave) + 1;
        QAction* before = at > 0 && at < actions.size() ? actions[at] : nullptr;
        bar->insertAction(before, actionRecord);
        if (bar == ui->menu)
            bar->insertAction(before, actionRecordFolder);
    }

    labelRecording =
        addStatusCounter(ui->statusBar, QString(), tr("Файл записи: его длительность и размер"));
    labelRecording->hide();
}

void MainWindow::setRecording(bool on)
{
    Recorder* recorder = recorderThread->recorder();
    if (on) {
        if (recordFolder == defaultRecordingFolder())
            QDir().mkpath(recordFolder);
        QMetaObject::invokeMethod(recorder, "setTarget", Qt::QueuedConnection,
                                  Q_ARG(QString, recordFolder));
    }
    if (on && !reviewing && capturing && capture.sampleCount() > 0 && capture.period() > 0) {
        // Switched on with a capture in the store: it is recorded from its
        // first stored sample, then live; nothing captured stays unrecorded.
        RecorderBacklog backlog;
        backlog.serial = captureStarts;
        backlog.period = capture.period();
        backlog.start = capture.startTime();
        backlog.first = capture.firstSample();
        const qint64 n = capture.sampleCount();
        backlog.counts.resize(int(n * channelCount));
        qint32* out = backlog.counts.data();
        for (qint64 i = 0; i < n; ++i) {
            for (int c = 0; c < channelCount; ++c)
                *out++ = capture.count(c, i);
        }
        for (const CaptureEvent& e : capture.events())
            backlog.events.append({e.sample, e.text});
        QMetaObject::invokeMethod(recorder, "recordBacklog", Qt::QueuedConnection,
                                  Q_ARG(RecorderBacklog, backlog));
        captureUnsaved = false;
        return;
    }
    QMetaObject::invokeMethod(recorder, "setRecording", Qt::QueuedConnection, Q_ARG(bool, on));
    if (!on)
        labelRecording->hide();
}

void MainWindow::chooseRecordingFolder()
{
    const QString folder = FileDialog::getExistingDirectory(this, tr("Папка записи"), recordFolder);
    if (folder.isEmpty())
        return;
    recordFolder = folder;
    // The next file goes there; an open one is finished where it is.
    QMetaObject::invokeMethod(recorderThread->recorder(), "setTarget", Qt::QueuedConnection,
                              Q_ARG(QString, recordFolder));
}

void MainWindow::recordingProgress(const QString& path, double seconds, qint64 bytes)
{
    const qint64 whole = qint64(seconds);
    const QString length = QStringLiteral("%1:%2:%3")
                               .arg(whole / 3600, 2, 10, QLatin1Char('0'))
                               .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
                               .arg(whole % 60, 2, 10, QLatin1Char('0'));
    labelRecording->setText(tr("Запись: %1  %2  %3 МБ")
                                .arg(QFileInfo(path).fileName(), length)
                                .arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1));
    labelRecording->show();
}

void MainWindow::recordingFailed(const QString& message)
{
    // The capture and the plots go on; only the file has ended, and the record
    // it was filling with it: the store is in no file for certain.
    labelRecording->hide();
    if (capture.sampleCount() > 0 && !reviewing)
        captureUnsaved = true;
    ui->statusBar->showMessage(message);
    QMessageBox::warning(this, tr("Запись"), message, QMessageBox::Ok);
}

// --- Examination -----------------------------------------------------------------------

void MainWindow::setupExamination()
{
    exam = new Examination(this, ui->menu, ui->menuHelp->menuAction(), ui->dockWidgetStimulation);
    connect(ui->comboBoxViewMontage, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { setMontage(index); });
    connect(exam, &Examination::mark, this, &MainWindow::addMark);
    connect(exam, &Examination::electrodeNamesChanged, this, &MainWindow::applyElectrodeNames);
    // The recording engine takes names and details for the files it begins.
    Recorder* recorder = recorderThread->recorder();
    connect(exam, &Examination::electrodeNamesChanged, recorder, &Recorder::setElectrodes);
    connect(exam, &Examination::patientChanged, recorder, &Recorder::setPatient);
    exam->setSampleClock([this] { return sampleNow(); });
    exam->setCaptureStarter([this] {
        if (!ui->actionStart->isEnabled())
            return false;
        on_actionStart_triggered();
        return !ui->actionStart->isEnabled(); // disabled once a start went out
    });
    // The device's request slots are called from the GUI thread, as the buttons do.
    connect(exam, &Examination::lightStart, device, &Device::setLightStart, Qt::DirectConnection);
    connect(exam, &Examination::lightStop, device, &Device::setLightStop, Qt::DirectConnection);
    connect(exam, &Examination::soundStart, device, &Device::setSoundStart, Qt::DirectConnection);
    connect(exam, &Examination::soundStop, device, &Device::setSoundStop, Qt::DirectConnection);
}

quint64 MainWindow::sampleNow() const
{
    // Where the worker stands now, not where the batches shown so far end: a
    // batch may wait up to a tenth of a second, or longer behind a busy window.
    return device->capturedSamples() + captureBase;
}

void MainWindow::addMark(quint64 sample, const QString& text)
{
    if (reviewing || !capturing)
        return;
    addCaptureEvent(sample, text, -1, true);
}

void MainWindow::addCaptureEvent(quint64 sample, const QString& text, double duration,
                                 bool toRecording)
{
    const double per = capture.period() * CaptureStore::tickSeconds;
    if (duration > 0)
        capture.addEvent(double(sample) * per, duration, text);
    else
        capture.addEvent(sample, text);
    // The device's own events reach the recording engine from the device.
    if (toRecording)
        QMetaObject::invokeMethod(recorderThread->recorder(), "addTimedEvent", Qt::QueuedConnection,
                                  Q_ARG(quint64, sample > captureBase ? sample - captureBase : 0),
                                  Q_ARG(double, duration), Q_ARG(QString, text));
    const qint64 index = qint64(sample) - qint64(capture.firstSample());
    const EventMarker marker{capture.sampleTime(0, index), duration, text};
    const int row = markers->addMarker(marker);
    annotationRows->insertRows(row, 1);
    annotationRows->setData(annotationRows->index(row), eventRowText(marker));
    replotTime = true;
}

void MainWindow::applyElectrodeNames()
{
    const QStringList names = exam->electrodeNames();
    if (!reviewing)
        for (int c = 0; c < capture.channelCount() && c < names.size(); ++c)
            capture.setChannelLabel(c, names[c].isEmpty() ? QString::number(c + 1) : names[c]);
    for (int c = 0; c < channelCount; ++c)
        graphFreq[c]->setName(exam::displayName(c, names.value(c)));
    signalView->labelsChanged();
    replotTime = replotFreq = true;
}
