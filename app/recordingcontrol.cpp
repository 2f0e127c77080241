#include "app/recordingcontrol.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolBar>

#include "app/filedialog.h"
#include "device/device.h"
#include "display/statusbar.h"

RecordingControl::RecordingControl(Device* device, QWidget* parent, QMenu* menu, QToolBar* toolBar,
                                   QAction* save, QStatusBar* bar)
    : QObject(parent), window(parent), statusBar(bar), recordFolder(defaultFolder())
{
    recorderThread = std::make_unique<RecorderThread>();
    Recorder* recorder = recorderThread->recorder();
    // The engine gets the device's batches on its own thread, beside the plots.
    connectCapture(device, recorder);
    connect(recorder, &Recorder::progress, this,
            [this](QString path, double seconds, qint64 bytes) { progress(path, seconds, bytes); });
    connect(recorder, &Recorder::failed, this, [this](QString message) { showFailure(message); });
    connect(recorder, &Recorder::recordingChanged, this, [this](bool on) {
        {
            const QSignalBlocker blocker(actionRecord);
            actionRecord->setChecked(on);
        }
        emit switched(on);
    });

    actionRecord = new QAction(QIcon(":/pic/record.png"), tr("Запись"), window);
    actionRecord->setObjectName("actionRecord");
    actionRecord->setCheckable(true);
    actionRecord->setShortcut(QKeySequence("Ctrl+R"));
    actionRecord->setToolTip(tr("Записывать каждый сбор данных в файл BDF+"));
    connect(actionRecord, &QAction::toggled, this, [this](bool on) {
        emit switched(on);
        setRecording(on);
    });
    actionFolder = new QAction(tr("Папка записи..."), window);
    actionFolder->setObjectName("actionRecordFolder");
    actionFolder->setToolTip(tr("Выбрать папку для файлов записи"));
    connect(actionFolder, &QAction::triggered, this, [this] { chooseFolder(); });

    // After Save, in the File menu and on the tool bar.
    for (QWidget* bar : {static_cast<QWidget*>(menu), static_cast<QWidget*>(toolBar)}) {
        const QList<QAction*> actions = bar->actions();
        const int at = actions.indexOf(save) + 1;
        QAction* before = at > 0 && at < actions.size() ? actions[at] : nullptr;
        bar->insertAction(before, actionRecord);
        if (bar == menu)
            bar->insertAction(before, actionFolder);
    }

    labelRecording =
        addStatusCounter(statusBar, QString(), tr("Файл записи: его длительность и размер"));
    labelRecording->hide();
}

RecordingControl::~RecordingControl() = default;

QString RecordingControl::defaultFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("Neurask"));
}

bool RecordingControl::isOn() const
{
    return actionRecord->isChecked();
}

void RecordingControl::setOn(bool on)
{
    actionRecord->setChecked(on);
}

void RecordingControl::finish()
{
    recorderThread.reset();
}

void RecordingControl::addEvent(quint64 sample, double duration, const QString& text)
{
    QMetaObject::invokeMethod(recorderThread->recorder(), "addTimedEvent", Qt::QueuedConnection,
                              Q_ARG(quint64, sample), Q_ARG(double, duration),
                              Q_ARG(QString, text));
}

void RecordingControl::setRecording(bool on)
{
    Recorder* recorder = recorderThread->recorder();
    if (on) {
        if (recordFolder == defaultFolder())
            QDir().mkpath(recordFolder);
        QMetaObject::invokeMethod(recorder, "setTarget", Qt::QueuedConnection,
                                  Q_ARG(QString, recordFolder));
        // Switched on with a capture in the store: it is recorded from its
        // first stored sample, then live.
        if (std::optional<RecorderBacklog> backlog =
                backlogSource ? backlogSource() : std::nullopt) {
            QMetaObject::invokeMethod(recorder, "recordBacklog", Qt::QueuedConnection,
                                      Q_ARG(RecorderBacklog, *backlog));
            return;
        }
    }
    QMetaObject::invokeMethod(recorder, "setRecording", Qt::QueuedConnection, Q_ARG(bool, on));
    if (!on)
        labelRecording->hide();
}

void RecordingControl::chooseFolder()
{
    const QString folder =
        FileDialog::getExistingDirectory(window, tr("Папка записи"), recordFolder);
    if (folder.isEmpty())
        return;
    recordFolder = folder;
    // The next file goes there; an open one is finished where it is.
    QMetaObject::invokeMethod(recorderThread->recorder(), "setTarget", Qt::QueuedConnection,
                              Q_ARG(QString, recordFolder));
}

void RecordingControl::progress(const QString& path, double seconds, qint64 bytes)
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

void RecordingControl::showFailure(const QString& message)
{
    // The capture and the plots go on; only the file has ended.
    labelRecording->hide();
    emit failed();
    statusBar->showMessage(message);
    QMessageBox::warning(window, tr("Запись"), message, QMessageBox::Ok);
}
