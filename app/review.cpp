#include "app/review.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QDockWidget>
#include <QFileInfo>
#include <QLayout>
#include <QListView>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QStatusBar>
#include <QStringListModel>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

#include "analysis/fftwindow.h"
#include "app/filedialog.h"
#include "app/livecapture.h"
#include "app/spectrumpanel.h"
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

Review::Review(QMainWindow* parent, Ui::MainWindow* form, QCPGraph* const* graphs, SignalView* view,
               SpectrumPanel* spectrumPanel, LiveCapture* capture, std::function<quint16()> period)
    : QObject(parent), window(parent), ui(form), graphTime(graphs), signalView(view),
      spectra(spectrumPanel), live(capture), livePeriod(std::move(period))
{
    loader = new RecordingLoader(this);
    connect(loader, &RecordingLoader::finished, this,
            [this](QSharedPointer<LoadedRecording> r) { read(r); });
    connect(loader, &RecordingLoader::progress, this, [this](int percent) {
        if (progress)
            progress->setValue(percent);
    });

    markers = new EventMarkers(ui->plotTime);

    scroll = new QScrollBar(Qt::Horizontal, ui->widgetFrameTime);
    scroll->setObjectName("scrollBarTime");
    scroll->hide();
    ui->widgetFrameTime->layout()->addWidget(scroll);
    connect(scroll, &QScrollBar::valueChanged, this, [this](int value) {
        if (isReviewing())
            showRange(value / scrollUnitsPerSecond);
    });
    connect(ui->plotTime->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            [this] { rangeChanged(); });

    rows = new QStringListModel(this);
    list = new QListView;
    list->setObjectName("listViewAnnotations");
    list->setModel(rows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setUniformItemSizes(true);
    connect(list, &QListView::doubleClicked, this,
            [this](const QModelIndex& index) { jumpToAnnotation(index.row()); });
    dock = new QDockWidget(tr("Аннотации"), window);
    dock->setObjectName("dockWidgetAnnotations");
    dock->setWidget(list);
    window->addDockWidget(Qt::RightDockWidgetArea, dock);
    dock->hide();
    ui->menuView->addAction(dock->toggleViewAction());

    actionClose = new QAction(tr("Закрыть файл"), window);
    actionClose->setObjectName("actionCloseFile");
    actionClose->setToolTip(tr("Закрыть файл и вернуться к записи"));
    actionClose->setShortcut(QKeySequence(QKeySequence::Close));
    actionClose->setEnabled(false);
    ui->menu->insertAction(ui->actionExit, actionClose);
    connect(actionClose, &QAction::triggered, this, [this] { close(); });

    actionHome = new QAction(tr("В начало файла"), window);
    actionHome->setObjectName("actionFileHome");
    actionHome->setShortcut(QKeySequence(Qt::Key_Home));
    actionEnd = new QAction(tr("В конец файла"), window);
    actionEnd->setObjectName("actionFileEnd");
    actionEnd->setShortcut(QKeySequence(Qt::Key_End));
    for (QAction* action : {actionHome, actionEnd}) {
        action->setEnabled(false);
        window->addAction(action);
    }
    connect(actionHome, &QAction::triggered, this, [this] { showRange(0); });
    connect(actionEnd, &QAction::triggered, this,
            [this] { showRange(seconds - ui->plotTime->xAxis->range().size()); });
}

bool Review::isReviewing() const
{
    return live->showsFile();
}

void Review::spectrumSettingsChanged()
{
    spectraDue = isReviewing();
}

bool Review::isOpening() const
{
    return loader->isRunning();
}

void Review::hideAnnotations()
{
    dock->hide();
}

void Review::setTitle(const QString& text)
{
    QString caption =
        QCoreApplication::applicationName() + " v" + QCoreApplication::applicationVersion();
    if (!text.isEmpty())
        caption += " — " + text;
    window->setWindowTitle(caption);
}

// --- Open ------------------------------------------------------------------------

void Review::chooseAndOpen()
{
    const QString fileName = FileDialog::getOpenFileName(
        window, tr("Открыть"), QString(),
        tr("EDF/BDF файлы (*.edf *.bdf);;EDF файлы (*.edf);;BDF файлы (*.bdf);;Все файлы (*)"));
    if (fileName.isEmpty())
        return;
    // A file read replaces the capture: an unsaved one is offered for saving.
    if (!isReviewing() && !live->mayDiscard())
        return;
    open(fileName);
}

void Review::open(const QString& path)
{
    if (!loader->start(path))
        return;
    startsAtOpen = live->captureStarts();
    // One read at a time, and no Save of the store it is about to replace.
    ui->actionOpen->setEnabled(false);
    ui->actionSave->setEnabled(false);
    actionClose->setEnabled(false);
    ui->statusBar->showMessage(tr("Открытие файла %1…").arg(QFileInfo(path).fileName()));
    progress = new QProgressDialog(tr("Чтение файла %1…").arg(QFileInfo(path).fileName()),
                                   tr("Отмена"), 0, 100, window);
    progress->setWindowTitle(tr("Открытие файла"));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(400);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    connect(progress, &QProgressDialog::canceled, loader, &RecordingLoader::cancel);
}

void Review::read(QSharedPointer<LoadedRecording> recording)
{
    if (progress) {
        progress->deleteLater();
        progress = nullptr;
    }
    ui->actionOpen->setEnabled(true);
    ui->actionSave->setEnabled(true);
    actionClose->setEnabled(isReviewing());
    const QString name = QFileInfo(recording->path).fileName();
    if (!recording->ok()) {
        const QString reason = recordingReadErrorText(*recording);
        qDebug() << "Review::read" << recording->path << int(recording->status) << recording->code;
        if (reason.isEmpty()) {
            ui->statusBar->showMessage(tr("Открытие файла %1 отменено").arg(name));
            return;
        }
        ui->statusBar->clearMessage();
        QMessageBox::critical(window, tr("Открытие файла"),
                              tr("Ошибка открытия файла!") + "\n" + name + ": " + reason,
                              QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    // A capture started while the file was read is offered for saving too:
    // the operator's answer before the Open was about another one.
    if (live->captureStarts() != startsAtOpen && !isReviewing() && !live->mayDiscard()) {
        ui->statusBar->showMessage(tr("Открытие файла %1 отменено").arg(name));
        return;
    }
    showFile(*recording, name);
    recording.reset();
}

void Review::showFile(LoadedRecording& recording, const QString& name)
{
    live->showFile(std::move(recording.store));
    const CaptureStore& store = live->store();
    seconds = recording.durationSeconds;
    // The legend names the file's signals as the lanes do.
    for (int c = 0; c < channelCount; ++c)
        graphTime[c]->setName(signalView->laneName(c));

    // The list is filled in one go: a file may hold many thousands.
    QVector<EventMarker> events;
    QStringList texts;
    events.reserve(recording.annotations.size());
    texts.reserve(recording.annotations.size());
    for (const RecordingAnnotation& a : recording.annotations) {
        events.append({a.onset, a.duration, a.text});
        QString text = onsetText(a.onset) + "  " + a.text;
        if (a.duration > 0)
            text += QString(" (%1 с)").arg(a.duration);
        texts.append(text);
    }
    rows->setStringList(texts);
    markers->setMarkers(events);
    dock->setVisible(!events.isEmpty());

    title = QString("%1 — %2, %3")
                .arg(name, store.startTime().toString("dd.MM.yyyy hh:mm:ss"), clockText(seconds));
    if (!recording.patient.isEmpty())
        title += QString(" — %1").arg(recording.patient);
    setTitle(title);
    QString status = tr("Файл %1: %2 сигналов, %3 аннотаций")
                         .arg(name)
                         .arg(recording.signalsInFile)
                         .arg(events.size());
    if (recording.signalsInFile > store.channelCount())
        status += tr("; показаны первые %1 сигналов").arg(store.channelCount());
    ui->statusBar->showMessage(status);

    spectra->clear();
    signalView->storeChanged();
    signalView->showRange(0, seconds > 0 ? std::min(reviewPageSeconds, seconds) : reviewPageSeconds,
                          true);
    scroll->show();
    rangeChanged();
    actionHome->setEnabled(true);
    actionEnd->setEnabled(true);
    actionClose->setEnabled(true);
    emit fileShown();
}

// --- Back to live ------------------------------------------------------------------

bool Review::closeForCapture()
{
    if (!isReviewing())
        return true;
    if (QMessageBox::question(
            window, tr("Закрыть файл"), tr("Закрыть файл %1 и вернуться к записи?").arg(title),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) != QMessageBox::Ok)
        return false;
    close();
    return true;
}

void Review::close()
{
    if (!isReviewing())
        return;
    spectraDue = false;
    live->resumeLive(livePeriod());
    clearMarkers();
    dock->hide();
    scroll->hide();
    for (int c = 0; c < channelCount; ++c)
        graphTime[c]->setName(channelName(c));
    setTitle(QString());
    ui->statusBar->clearMessage();
    actionClose->setEnabled(false);
    actionHome->setEnabled(false);
    actionEnd->setEnabled(false);
    emit fileClosed();
    signalView->storeChanged();
    signalView->restoreScrollWidth();
    ui->plotTime->replot();
    spectra->clear();
}

// --- Markers ----------------------------------------------------------------------

void Review::addMarker(const EventMarker& marker)
{
    const int row = markers->addMarker(marker);
    rows->insertRows(row, 1);
    rows->setData(rows->index(row), eventRowText(marker));
}

void Review::clearMarkers()
{
    markers->setMarkers({});
    rows->setStringList({});
}

// --- Paging and spectra --------------------------------------------------------------

void Review::showRange(double lower)
{
    const double width = ui->plotTime->xAxis->range().size();
    const double upper = std::max(seconds, width);
    lower = std::max(0.0, std::min(lower, upper - width));
    signalView->showRange(lower, lower + width);
    emit replotNeeded();
}

void Review::rangeChanged()
{
    if (!isReviewing())
        return;
    const QCPRange range = ui->plotTime->xAxis->range();
    const QSignalBlocker block(scroll);
    scroll->setRange(0, int(std::max(0.0, seconds - range.size()) * scrollUnitsPerSecond));
    scroll->setPageStep(std::max(1, int(range.size() * scrollUnitsPerSecond)));
    scroll->setSingleStep(std::max(1, int(range.size() * scrollUnitsPerSecond / 10)));
    scroll->setValue(int(std::max(0.0, range.lower) * scrollUnitsPerSecond));
    spectraDue = true;
    emit replotNeeded();
}

void Review::jumpToAnnotation(int row)
{
    if (row < 0 || row >= markers->markers().size())
        return;
    // The rows are the markers, both in onset order.
    const double onset = markers->markers()[row].onset;
    // The onset a tenth of the way in, so what came just before shows too.
    showRange(onset - ui->plotTime->xAxis->range().size() / 10);
}

void Review::refresh()
{
    if (!spectraDue)
        return;
    spectraDue = false;
    const quint32 count = ui->comboBoxFFTcount->currentText().toUInt();
    const int kind = fftWindowFromIndex(ui->comboBoxFFTwindow->currentIndex());
    spectra->showBlocks(live->store(), ui->plotTime->xAxis->range().lower, count, kind);
}
