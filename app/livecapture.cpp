#include "app/livecapture.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>

#include "device/device.h"

namespace
{

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

bool isLightStart(const QString& text)
{
    return text.startsWith(QStringLiteral("Свет ")) && text.size() > 5 && text[5].isDigit();
}

} // namespace

LiveCapture::LiveCapture(const Device* source, QWidget* parent)
    : QObject(parent), device(source), dialogParent(parent)
{
}

void LiveCapture::connectionChanged(bool connected)
{
    if (!connected)
        capturing = false;
    // The device marks the loss in the capture; its return is marked here,
    // where the capture's samples end. A file under review is no capture.
    if (!connected && capture.sampleCount() > 0 && !showingFile) {
        linkLost = true;
    } else if (connected && linkLost) {
        linkLost = false;
        addEvent(capture.firstSample() + quint64(capture.sampleCount()), tr("Связь восстановлена"));
    }
}

void LiveCapture::setCapturing(bool on)
{
    capturing = on;
}

void LiveCapture::append(const QVector<structSample>& batch)
{
    if (batch.isEmpty() || showingFile)
        return;
    capture.append(batch);
    // With recording on, the engine writes the same batches to its file.
    if (!recorded)
        unsaved = true;
    emit samplesAppended();
}

void LiveCapture::captureStarted(quint16 period)
{
    ++starts;
    if (showingFile)
        return;
    if (capturing && period == capture.period()) {
        // A start sent again during the capture (typed in the terminal): the
        // headset goes on at the same rate, and so do the store and the
        // recording; the device's note marks the moment.
        base = capture.firstSample() + quint64(capture.sampleCount());
        return;
    }
    base = 0;
    // Whoever asked for it (Start, or a command typed in the terminal), a
    // confirmed start begins a fresh capture at the confirmed period.
    emit aboutToReplace();
    capture.reset(period, QDateTime::currentDateTime());
    unsaved = false;
    linkLost = false;
    emit captureBegan(period);
}

void LiveCapture::captureEvent(quint64 sample, const QString& text)
{
    if (showingFile)
        return;
    addEvent(sample + base, text);
    // The headset confirms a light start of a running protocol: the train's
    // own annotation, with its length, sits at the same sample.
    if (isLightStart(text) && takeTrain) {
        const exam::ProtocolRunner::Train train = takeTrain();
        if (train.active)
            addEvent(sample + base, train.text, train.seconds, true);
    }
}

bool LiveCapture::mayDiscard()
{
    // A capture being recorded is recorded from its first stored sample (the
    // engine is handed what came before), so only what is in no file is
    // asked about.
    if (!unsaved || capture.sampleCount() == 0)
        return true;
    UnsavedAnswer answer = UnsavedAnswer::Cancel;
    if (unsavedHook) {
        answer = unsavedHook();
    } else {
        QMessageBox box(QMessageBox::Question, tr("Данные не сохранены"),
                        tr("Записанные данные не сохранены в файл. Сохранить их?"),
                        QMessageBox::NoButton, dialogParent);
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
        return saver && saver();
    case UnsavedAnswer::Discard:
        return true;
    case UnsavedAnswer::Cancel:
        break;
    }
    return false;
}

void LiveCapture::clear()
{
    unsaved = false;
    emit aboutToReplace();
    capture.reset(capture.period(), capture.startTime(),
                  capture.firstSample() + quint64(capture.sampleCount()));
    emit cleared();
}

void LiveCapture::prepareStart(quint16 period)
{
    // The capture's own start resets the store again when the headset
    // confirms.
    emit aboutToReplace();
    capture.reset(period, QDateTime::currentDateTime());
    clear();
}

quint64 LiveCapture::sampleNow() const
{
    // Where the worker stands now, not where the batches shown so far end: a
    // batch may wait up to a tenth of a second, or longer behind a busy window.
    return device->capturedSamples() + base;
}

void LiveCapture::addMark(quint64 sample, const QString& text)
{
    if (showingFile || !capturing)
        return;
    addEvent(sample, text, -1, true);
}

void LiveCapture::addEvent(quint64 sample, const QString& text, double duration, bool toRecording)
{
    const double per = capture.period() * CaptureStore::tickSeconds;
    if (duration > 0)
        capture.addEvent(double(sample) * per, duration, text);
    else
        capture.addEvent(sample, text);
    // The device's own events reach the recording engine from the device.
    if (toRecording)
        emit eventForRecording(sample > base ? sample - base : 0, duration, text);
    const qint64 index = qint64(sample) - qint64(capture.firstSample());
    emit eventAdded({capture.sampleTime(0, index), duration, text});
}

void LiveCapture::setElectrodeNames(const QStringList& names)
{
    if (showingFile)
        return;
    for (int c = 0; c < capture.channelCount() && c < names.size(); ++c)
        capture.setChannelLabel(c, names[c].isEmpty() ? QString::number(c + 1) : names[c]);
}

void LiveCapture::showFile(CaptureStore&& file)
{
    showingFile = true;
    emit aboutToReplace(); // an analysis begun before the file came in
    capture = std::move(file);
    unsaved = false;  // the store holds a file
    linkLost = false; // the capture it was lost in is gone
}

void LiveCapture::resumeLive(quint16 period)
{
    showingFile = false;
    emit aboutToReplace(); // an analysis of the file still running
    capture.reset(period, QDateTime::currentDateTime());
}

std::optional<RecorderBacklog> LiveCapture::takeBacklog()
{
    if (showingFile || !capturing || capture.sampleCount() == 0 || capture.period() == 0)
        return std::nullopt;
    // Switched on with a capture in the store: it is recorded from its first
    // stored sample, then live; nothing captured stays unrecorded.
    RecorderBacklog backlog;
    backlog.serial = starts;
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
    unsaved = false;
    return backlog;
}

void LiveCapture::recordingFailed()
{
    // The capture goes on; only the file has ended, and the record it was
    // filling with it.
    if (capture.sampleCount() > 0 && !showingFile)
        unsaved = true;
}
