#include "recorder/recorder.h"

#include "edf/edf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr int bdfPlus = 3;
constexpr int digitalMaximum = 8388607;
constexpr int bytesPerSample = 3;
// Ticks of 125 ns per 10 us: the unit of the record duration.
constexpr int ticksPer10us = 80;

int gcd(int a, int b)
{
    while (b != 0) {
        const int t = a % b;
        a = b;
        b = t;
    }
    return a;
}

} // namespace

QByteArray annotationUtf8(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= Recorder::annotationTextBytes)
        return bytes;
    int end = Recorder::annotationTextBytes;
    while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80)
        --end;
    bytes.truncate(end);
    return bytes;
}

RecordLayout recordLayout(quint16 period)
{
    RecordLayout layout;
    if (period == 0)
        return layout;
    // samples * period must be a multiple of 80 for the duration to be whole
    // units of 10 us; `step` is the smallest sample count for which it is.
    const int step = ticksPer10us / gcd(period, ticksPer10us);
    const double perSecond = 8e6 / period / step; // steps per second
    int k = static_cast<int>(perSecond + 0.5);
    if (k < 1)
        k = 1;
    layout.samples = k * step;
    layout.duration = static_cast<int>(qint64(layout.samples) * period / ticksPer10us);
    return layout;
}

Recorder::Recorder(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<structSample>("structSample");
    qRegisterMetaType<QVector<structSample>>("QVector<structSample>");
}

Recorder::~Recorder()
{
    if (handle >= 0)
        closeFile(true);
}

void Recorder::setTarget(QString value)
{
    target = value;
}

void Recorder::setRecording(bool on)
{
    if (on == recording)
        return;
    recording = on;
    emit recordingChanged(on);
    if (on && capturing && handle < 0)
        openFile();
    else if (!on && handle >= 0)
        closeFile(true);
}

void Recorder::captureStarted(quint16 value)
{
    if (handle >= 0)
        closeFile(true);
    capturing = true;
    period = value;
    captureStart = QDateTime::currentDateTime();
    captureSamples = 0;
    if (recording)
        openFile();
}

void Recorder::updateDataTime(QVector<structSample> samples)
{
    if (!capturing)
        return;
    for (const structSample& sample : samples) {
        ++captureSamples;
        if (handle >= 0)
            writeSample(sample);
    }
}

void Recorder::captureEvent(quint64 sample, QString text)
{
    // Outside a capture (a refused start after the link came back, a command)
    // the sample count is not this file's: the event goes after its last sample.
    if (handle >= 0)
        queueAnnotation(capturing ? sample : captureSamples, text);
}

void Recorder::changeCapture(bool value)
{
    if (value)
        return; // a start is reported by captureStarted, with its period
    capturing = false;
    if (handle >= 0)
        closeFile(true);
}

void Recorder::connection(bool value)
{
    // The loss is placed in the sample stream by the device itself; the file
    // stays open so that the return of the link is recorded too.
    if (value && !connected)
        addEvent(tr("Связь восстановлена"));
    connected = value;
    if (!value)
        capturing = false; // no capture outlives the link
}

void Recorder::addEvent(QString text)
{
    if (handle >= 0)
        queueAnnotation(captureSamples, text);
}

void Recorder::finish()
{
    if (handle >= 0)
        closeFile(true);
}

QString Recorder::nextPath()
{
    const QDateTime start = captureStart.addMSecs(qint64(captureSamples) * period / 8000);
    QString base;
    if (target.endsWith(QLatin1String(".bdf"), Qt::CaseInsensitive)) {
        base = target.left(target.size() - 4);
    } else {
        const QString folder = target.isEmpty() ? QDir::currentPath() : target;
        base = QDir(folder).filePath(start.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")));
    }
    const QString suffix = target.endsWith(QLatin1String(".bdf"), Qt::CaseInsensitive)
                               ? target.right(4)
                               : QStringLiteral(".bdf");
    // Reserve the name by creating the file exclusively, so that neither an
    // older recording nor another recorder's file is ever overwritten.
    for (int n = 1; n < 1000; ++n) {
        const QString name = n == 1 ? base + suffix : base + QStringLiteral("_%1").arg(n) + suffix;
        QFile file(name);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return name;
        if (!file.exists())
            return QString(); // the folder is missing or not writable
    }
    return QString();
}

bool Recorder::openFile()
{
    layout = recordLayout(period);
    if (layout.samples <= 0)
        return false;
    path = nextPath();
    if (path.isEmpty()) {
        const QString where = target.isEmpty() ? QDir::currentPath() : target;
        fail(tr("Запись остановлена: не удалось создать файл в %1").arg(where));
        return false;
    }
    const QByteArray name = QFile::encodeName(path);
    handle = edf_open_for_writing(name.constData(), bdfPlus, channelCount);
    if (handle < 0) {
        handle = -1;
        QFile::remove(path);
        fail(tr("Запись остановлена: не удалось создать файл %1").arg(path));
        return false;
    }

    firstSample = captureSamples;
    const QDateTime start = captureStart.addMSecs(qint64(firstSample) * period / 8000);
    const QDate date = start.date();
    const QTime time = start.time();
    // Outside the years the format can hold the module takes the current time.
    // No sub-second start: readers disagree on whether annotation onsets count
    // from it (MNE) or from the whole second (biosig), and the start is known
    // only to the latency of the confirmation anyway.
    edf_set_startdatetime(handle, date.year(), date.month(), date.day(), time.hour(), time.minute(),
                          time.second());
    int ok = edf_set_datarecord_duration(handle, layout.duration);
    ok |= edf_set_number_of_annotation_signals(handle, annotationSignals);
    ok |= edf_set_equipment(handle, "Neurask");
    for (int c = 0; c < channelCount; ++c) {
        const QByteArray label = QStringLiteral("chan. %1").arg(c + 1).toLatin1();
        ok |= edf_set_label(handle, c, label.constData());
        ok |= edf_set_physical_dimension(handle, c, "uV");
        ok |= edf_set_samples_per_record(handle, c, layout.samples);
        ok |= edf_set_physical_maximum(handle, c, physicalMaximum);
        ok |= edf_set_physical_minimum(handle, c, -physicalMaximum);
        ok |= edf_set_digital_maximum(handle, c, digitalMaximum);
        ok |= edf_set_digital_minimum(handle, c, -digitalMaximum);
    }
    ok |= edf_set_crash_safe(handle, 1);
    if (ok != 0) {
        edf_close(handle);
        handle = -1;
        QFile::remove(path);
        fail(tr("Запись остановлена: не удалось создать файл %1").arg(path));
        return false;
    }

    records = 0;
    fill = 0;
    lastOnset = 0;
    annotations = 0;
    record.assign(size_t(channelCount) * layout.samples * bytesPerSample, 0);
    emit fileStarted(path);
    if (firstSample > 0)
        queueAnnotation(firstSample, tr("Запись начата"));
    emit progress(path, 0.0, fileBytes());
    return true;
}

void Recorder::writeSample(const structSample& sample)
{
    for (int c = 0; c < channelCount; ++c) {
        qint32 count = sampleCount(sample.value[c]);
        if (count < -digitalMaximum)
            count = -digitalMaximum;
        unsigned char* at = &record[(size_t(c) * layout.samples + fill) * bytesPerSample];
        const quint32 bits = static_cast<quint32>(count);
        at[0] = static_cast<unsigned char>(bits);
        at[1] = static_cast<unsigned char>(bits >> 8);
        at[2] = static_cast<unsigned char>(bits >> 16);
    }
    last = sample;
    if (++fill == layout.samples && writeRecord())
        emit progress(path, fileSeconds(), fileBytes());
}

bool Recorder::writeRecord()
{
    fill = 0;
    int code = edfwrite_block_digital_3byte_samples(handle, record.data());
    if (code == 0) {
        ++records;
        code = edf_flush(handle);
    }
    if (code != 0) {
        const int error = errno;
        fail(tr("Запись остановлена: ошибка записи в %1 (%2)")
                 .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    return true;
}

void Recorder::queueAnnotation(quint64 sample, const QString& text)
{
    const quint64 at = sample > firstSample ? sample - firstSample : 0;
    // Period ticks are 1/8 us; the onset is the sample's time, cut to whole us.
    const quint64 onset = at * period / 8;
    const QByteArray bytes = annotationUtf8(text);
    if (edfwrite_annotation_utf8(handle, qint64(onset), -1, bytes.constData()) == 0) {
        ++annotations;
        if (onset > lastOnset)
            lastOnset = onset;
    }
}

void Recorder::closeFile(bool ok)
{
    const quint64 samples = records * quint64(layout.samples) + quint64(fill);
    if (ok && samples > 0) {
        // Annotations must lie inside a record: complete the last one with
        // copies of the last sample when it is partial, or add one when an
        // annotation falls at or after the end of the samples, or while the
        // records have fewer annotation slots than there are annotations.
        const quint64 end = records * quint64(layout.duration) * 10; // us
        if (fill > 0 || (annotations > 0 && lastOnset >= end) ||
            annotations > records * annotationSignals) {
            queueAnnotation(firstSample + samples, tr("Конец данных"));
            const structSample copy = last;
            do {
                writeSample(copy);
                if (handle < 0)
                    return; // the write failed, and the failure closed the file
            } while (fill != 0 || annotations > records * annotationSignals);
        }
    }
    const int code = edf_close(handle);
    handle = -1;
    const QString closed = path;
    if (samples == 0) {
        // Nothing was captured into it: leave no empty file behind.
        QFile::remove(closed);
        emit fileFinished(closed, 0, ok);
        return;
    }
    if (ok && code != 0) {
        emit fileFinished(closed, samples, false);
        if (recording) {
            recording = false;
            emit recordingChanged(false);
        }
        emit failed(tr("Запись остановлена: ошибка при закрытии %1").arg(closed));
        return;
    }
    emit progress(closed, fileSeconds(), fileBytes());
    emit fileFinished(closed, samples, ok);
}

void Recorder::fail(const QString& message)
{
    if (handle >= 0)
        closeFile(false);
    if (recording) {
        recording = false;
        emit recordingChanged(false);
    }
    emit failed(message);
}

qint64 Recorder::fileBytes() const
{
    const qint64 header = 256 * (channelCount + annotationSignals + 1);
    const qint64 recordBytes =
        qint64(channelCount) * layout.samples * bytesPerSample + 120 * annotationSignals;
    return header + qint64(records) * recordBytes;
}

double Recorder::fileSeconds() const
{
    return double(records) * layout.duration / 1e5;
}

RecorderThread::RecorderThread() : worker(new Recorder)
{
    thread.setObjectName(QStringLiteral("recorder"));
    worker->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    thread.start();
}

RecorderThread::~RecorderThread()
{
    finish();
    thread.quit();
    thread.wait();
}

void RecorderThread::finish()
{
    if (thread.isRunning())
        QMetaObject::invokeMethod(worker, "finish", Qt::BlockingQueuedConnection);
}
