// Open and review of recording files: the File menu's Open, the annotation
// list, paging through the file and the spectra of the block at the left edge
// of the view. The file is read by a RecordingLoader in its own thread into a
// new store; only a complete read replaces what the plots show, so a failure
// or a cancel leaves them as they were.
//
// While a file is shown no capture runs: Start asks to close the file first,
// and batches or spectra that still arrive from the device (a capture stopped
// by the Open) are dropped, so nothing of the headset mixes into the file.
// The headset stays connected and the worker keeps it alive meanwhile.
#include "app/review.h"

#include <QAction>
#include <QCoreApplication>
#include <QDockWidget>
#include <QFileInfo>
#include <QLayout>
#include <QListView>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QStatusBar>
#include <QStringListModel>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

#include "analysis/fftwindow.h"
#include "analysis/spectrum.h"
#include "app/analysiswindow.h"
#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "device/device.h"
#include "display/eventmarkers.h"
#include "display/plots.h"
#include "display/signalview.h"
#include "edf/edf.h"
#include "ui_mainwindow.h"

namespace
{

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

// Seconds shown when a file is opened (or all of a shorter file).
constexpr double reviewPageSeconds = 10;
// The scroll bar counts milliseconds.
constexpr double scrollUnitsPerSecond = 1000;

QString clockText(double seconds)
{
    const qint64 s = qint64(std::floor(seconds));
    return QString("%1:%2:%3")
        .arg(s / 3600, 2, 10, QChar('0'))
        .arg(s / 60 % 60, 2, 10, QChar('0'))
        .arg(s % 60, 2, 10, QChar('0'));
}

QString onsetText(double seconds)
{
    const double fraction = seconds - std::floor(seconds);
    return clockText(seconds) + QString(".%1").arg(int(fraction * 1000), 3, 10, QChar('0'));
}

} // namespace

QString recordingOpenErrorText(int code)
{
    // The module names each of its results itself.
    return QString::fromUtf8(edf_result_text_ru(code));
}

QString recordingReadErrorText(const LoadedRecording& recording)
{
    switch (recording.status) {
    case RecordingReadStatus::Ok:
    case RecordingReadStatus::Cancelled:
        return QString();
    case RecordingReadStatus::OpenFailed:
        return recordingOpenErrorText(recording.code);
    case RecordingReadStatus::ReadFailed:
        return tr("файл повреждён: отсчёты сигналов не читаются");
    case RecordingReadStatus::NoSignals:
        return tr("в файле нет сигналов, только аннотации");
    }
    return QString();
}

// --- Set-up ----------------------------------------------------------------------

void MainWindow::setupReview()
{
    loader = new RecordingLoader(this);
    connect(loader, &RecordingLoader::finished, this,
            [this](QSharedPointer<LoadedRecording> r) { recordingRead(r); });
    connect(loader, &RecordingLoader::progress, this, [this](int percent) {
        if (loadProgress)
            loadProgress->setValue(percent);
    });

    markers = new EventMarkers(ui->plotTime);

    scrollTime = new QScrollBar(Qt::Horizontal, ui->widgetFrameTime);
    scrollTime->setObjectName("scrollBarTime");
    scrollTime->hide();
    ui->widgetFrameTime->layout()->addWidget(scrollTime);
    connect(scrollTime, &QScrollBar::valueChanged, this, [this](int value) {
        if (reviewing)
            showReviewRange(value / scrollUnitsPerSecond);
    });
    connect(ui->plotTime->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this] { reviewRangeChanged(); });

    annotationRows = new QStringListModel(this);
    listAnnotations = new QListView;
    listAnnotations->setObjectName("listViewAnnotations");
    listAnnotations->setModel(annotationRows);
    listAnnotations->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listAnnotations->setUniformItemSizes(true);
    connect(listAnnotations, &QListView::doubleClicked, this,
            [this](const QModelIndex& index) { jumpToAnnotation(index.row()); });
    dockAnnotations = new QDockWidget(tr("Аннотации"), this);
    dockAnnotations->setObjectName("dockWidgetAnnotations");
    dockAnnotations->setWidget(listAnnotations);
    addDockWidget(Qt::RightDockWidgetArea, dockAnnotations);
    dockAnnotations->hide();
    ui->menuView->addAction(dockAnnotations->toggleViewAction());

    actionCloseFile = new QAction(tr("Закрыть файл"), this);
    actionCloseFile->setObjectName("actionCloseFile");
    actionCloseFile->setToolTip(tr("Закрыть файл и вернуться к записи"));
    actionCloseFile->setShortcut(QKeySequence(QKeySequence::Close));
    actionCloseFile->setEnabled(false);
    ui->menu->insertAction(ui->actionExit, actionCloseFile);
    connect(actionCloseFile, &QAction::triggered, this, [this] { closeRecording(); });

    actionHome = new QAction(tr("В начало файла"), this);
    actionHome->setObjectName("actionFileHome");
    actionHome->setShortcut(QKeySequence(Qt::Key_Home));
    actionEnd = new QAction(tr("В конец файла"), this);
    actionEnd->setObjectName("actionFileEnd");
    actionEnd->setShortcut(QKeySequence(Qt::Key_End));
    for (QAction* action : {actionHome, actionEnd}) {
        action->setEnabled(false);
        addAction(action);
    }
    connect(actionHome, &QAction::triggered, this, [this] { showReviewRange(0); });
    connect(actionEnd, &QAction::triggered, this,
            [this] { showReviewRange(reviewSeconds - ui->plotTime->xAxis->range().size()); });
}

bool MainWindow::isOpeningRecording() const
{
    return loader->isRunning();
}

// --- Open ------------------------------------------------------------------------

void MainWindow::on_actionOpen_triggered()
{
    const QString fileName = FileDialog::getOpenFileName(
        this, tr("Открыть"), QString(),
        tr("EDF/BDF файлы (*.edf *.bdf);;EDF файлы (*.edf);;BDF файлы (*.bdf);;Все файлы (*)"));
    if (fileName.isEmpty())
        return;
    // A file read replaces the capture: an unsaved one is offered for saving.
    if (!reviewing && !mayDiscardCapture())
        return;
    openRecording(fileName);
}

void MainWindow::openRecording(const QString& path)
{
    if (!loader->start(path))
        return;
    // One read at a time, and no Save of the store it is about to replace.
    ui->actionOpen->setEnabled(false);
    ui->actionSave->setEnabled(false);
    actionCloseFile->setEnabled(false);
    ui->statusBar->showMessage(tr("Открытие файла %1…").arg(QFileInfo(path).fileName()));
    loadProgress = new QProgressDialog(tr("Чтение файла %1…").arg(QFileInfo(path).fileName()),
                                       tr("Отмена"), 0, 100, this);
    loadProgress->setWindowTitle(tr("Открытие файла"));
    loadProgress->setWindowModality(Qt::WindowModal);
    loadProgress->setMinimumDuration(400);
    loadProgress->setAutoClose(false);
    loadProgress->setAutoReset(false);
    connect(loadProgress, &QProgressDialog::canceled, loader, &RecordingLoader::cancel);
}

void MainWindow::recordingRead(QSharedPointer<LoadedRecording> recording)
{
    if (loadProgress) {
        loadProgress->deleteLater();
        loadProgress = nullptr;
    }
    ui->actionOpen->setEnabled(true);
    ui->actionSave->setEnabled(true);
    actionCloseFile->setEnabled(reviewing);
    const QString name = QFileInfo(recording->path).fileName();
    if (!recording->ok()) {
        const QString reason = recordingReadErrorText(*recording);
        qDebug() << "MainWindow::recordingRead" << recording->path << int(recording->status)
                 << recording->code;
        if (reason.isEmpty()) {
            ui->statusBar->showMessage(tr("Открытие файла %1 отменено").arg(name));
            return;
        }
        ui->statusBar->clearMessage();
        QMessageBox::critical(this, tr("Открытие файла"),
                              tr("Ошибка открытия файла!") + "\n" + name + ": " + reason,
                              QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    // A capture that runs is stopped; what it still sends is dropped.
    if (capturing)
        device->captureStop();
    reviewing = true;
    analysisWindow->storeReplaced(); // an analysis begun before the file came in
    capture = std::move(recording->store);
    captureUnsaved = false; // the store holds a file
    reviewSeconds = recording->durationSeconds;
    // The legend names the file's signals as the lanes do.
    for (int c = 0; c < channelCount; ++c)
        graphTime[c]->setName(signalView->laneName(c));

    // The list is filled in one go: a file may hold many thousands.
    QVector<EventMarker> events;
    QStringList rows;
    events.reserve(recording->annotations.size());
    rows.reserve(recording->annotations.size());
    for (const RecordingAnnotation& a : recording->annotations) {
        events.append({a.onset, a.duration, a.text});
        QString text = onsetText(a.onset) + "  " + a.text;
        if (a.duration > 0)
            text += QString(" (%1 с)").arg(a.duration);
        rows.append(text);
    }
    annotationRows->setStringList(rows);
    markers->setMarkers(events);
    dockAnnotations->setVisible(!events.isEmpty());

    const QDateTime start = capture.startTime();
    reviewTitle = QString("%1 — %2, %3")
                      .arg(name, start.toString("dd.MM.yyyy hh:mm:ss"), clockText(reviewSeconds));
    if (!recording->patient.isEmpty())
        reviewTitle += QString(" — %1").arg(recording->patient);
    setWindowTitle(QCoreApplication::applicationName() + " v" +
                   QCoreApplication::applicationVersion() + " — " + reviewTitle);
    QString status = tr("Файл %1: %2 сигналов, %3 аннотаций")
                         .arg(name)
                         .arg(recording->signalsInFile)
                         .arg(events.size());
    if (recording->signalsInFile > capture.channelCount())
        status += tr("; показаны первые %1 сигналов").arg(capture.channelCount());
    ui->statusBar->showMessage(status);

    clearGraphs(graphFreq);
    signalView->storeChanged();
    signalView->showRange(
        0, reviewSeconds > 0 ? std::min(reviewPageSeconds, reviewSeconds) : reviewPageSeconds,
        true);
    scrollTime->show();
    reviewRangeChanged();
    applyReviewControls();
    actionCloseFile->setEnabled(true);
    recording.reset();
}

// --- Back to live ------------------------------------------------------------------

bool MainWindow::confirmCloseRecording()
{
    if (!reviewing)
        return true;
    return QMessageBox::question(this, tr("Закрыть файл"),
                                 tr("Закрыть файл %1 и вернуться к записи?").arg(reviewTitle),
                                 QMessageBox::Ok | QMessageBox::Cancel,
                                 QMessageBox::Ok) == QMessageBox::Ok;
}

void MainWindow::closeRecording()
{
    if (!reviewing)
        return;
    reviewing = false;
    reviewSpectraDue = false;
    const quint16 period = static_cast<quint16>(ui->horizontalSliderCaptureAdc->value());
    analysisWindow->storeReplaced(); // an analysis of the file still running
    capture.reset(period, QDateTime::currentDateTime());
    markers->setMarkers({});
    annotationRows->setStringList({});
    dockAnnotations->hide();
    scrollTime->hide();
    for (int c = 0; c < channelCount; ++c)
        graphTime[c]->setName(channelName(c));
    setWindowTitle(QCoreApplication::applicationName() + " v" +
                   QCoreApplication::applicationVersion());
    ui->statusBar->clearMessage();
    actionCloseFile->setEnabled(false);
    // The live controls as the headset's state has them (a capture that the
    // Open stopped may not have confirmed its stop yet).
    deviceConnection(connected);
    if (connected && capturing) {
        ui->actionStart->setEnabled(false);
        ui->actionStop->setEnabled(true);
        ui->doubleSpinBoxCapturePeriod->setEnabled(false);
        ui->doubleSpinBoxCaptureFreq->setEnabled(false);
        ui->horizontalSliderCaptureAdc->setEnabled(false);
    }
    signalView->storeChanged();
    signalView->restoreScrollWidth();
    clearGraphs(graphFreq);
    ui->plotTime->replot();
    ui->plotFreq->replot();
}

void MainWindow::applyReviewControls()
{
    actionHome->setEnabled(reviewing);
    actionEnd->setEnabled(reviewing);
    ui->actionClear->setEnabled(!reviewing); // a file is closed, not cleared
    if (!reviewing)
        return;
    // Start stays (when a headset is there): it asks to close the file.
    ui->actionStop->setEnabled(false);
    ui->doubleSpinBoxCapturePeriod->setEnabled(false);
    ui->doubleSpinBoxCaptureFreq->setEnabled(false);
    ui->horizontalSliderCaptureAdc->setEnabled(false);
    // The file's spectra follow the same controls.
    ui->comboBoxFFTcount->setEnabled(true);
    ui->comboBoxFFTwindow->setEnabled(true);
}

// --- Paging and spectra --------------------------------------------------------------

void MainWindow::showReviewRange(double lower)
{
    const double width = ui->plotTime->xAxis->range().size();
    const double upper = std::max(reviewSeconds, width);
    lower = std::max(0.0, std::min(lower, upper - width));
    signalView->showRange(lower, lower + width);
    replotTime = true;
}

void MainWindow::reviewRangeChanged()
{
    if (!reviewing)
        return;
    const QCPRange range = ui->plotTime->xAxis->range();
    const QSignalBlocker block(scrollTime);
    scrollTime->setRange(0,
                         int(std::max(0.0, reviewSeconds - range.size()) * scrollUnitsPerSecond));
    scrollTime->setPageStep(std::max(1, int(range.size() * scrollUnitsPerSecond)));
    scrollTime->setSingleStep(std::max(1, int(range.size() * scrollUnitsPerSecond / 10)));
    scrollTime->setValue(int(std::max(0.0, range.lower) * scrollUnitsPerSecond));
    reviewSpectraDue = true;
    replotTime = true;
}

void MainWindow::jumpToAnnotation(int row)
{
    if (row < 0 || row >= markers->markers().size())
        return;
    // The rows are the markers, both in onset order.
    const double onset = markers->markers()[row].onset;
    // The onset a tenth of the way in, so what came just before shows too.
    showReviewRange(onset - ui->plotTime->xAxis->range().size() / 10);
}

void MainWindow::updateReviewSpectra()
{
    reviewSpectraDue = false;
    const quint32 count = ui->comboBoxFFTcount->currentText().toUInt();
    const int kind = fftWindowFromIndex(ui->comboBoxFFTwindow->currentIndex());
    const double left = ui->plotTime->xAxis->range().lower;
    QVector<double> values, frequencies, spectrum;
    for (int c = 0; c < channelCount; ++c) {
        const qint64 n = c < capture.channelCount() ? capture.sampleCount(c) : 0;
        if (count < 2 || n < qint64(count)) {
            graphFreq[c]->data()->clear();
            continue;
        }
        const qint64 first = std::min(capture.firstIndexFrom(c, left), n - qint64(count));
        values.resize(int(count));
        for (quint32 i = 0; i < count; ++i)
            values[int(i)] = capture.value(c, first + i);
        spectrumOfBlock(spectrum, values.constData(), count, kind);
        spectrumFrequenciesAt(frequencies, capture.channel(c).samplesPerSecond, count);
        setChannelSpectrum(graphFreq, c, frequencies, spectrum);
    }
    if (ui->checkBoxSpectrumScale->isChecked()) {
        ui->plotFreq->yAxis->rescale(true);
        ui->plotFreq->xAxis->rescale(true);
    }
    replotFreq = true;
}
