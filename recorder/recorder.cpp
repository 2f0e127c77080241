#include "recorder/recorder.h"

#include "exam/electrodes.h"

#include "edf/edf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
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

qint64 lossNoteCount(const QString& text)
{
    // The device's text for a run of lost samples.
    static const QString prefix = QStringLiteral("Потеря отсчётов: ");
    if (!text.startsWith(prefix))
        return -1;
    bool ok = false;
    const qint64 n = text.midRef(prefix.size()).toLongLong(&ok);
    return ok && n >= 0 ? n : -1;
}

Recorder::Recorder(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<structSample>("structSample");
    qRegisterMetaType<QVector<structSample>>("QVector<structSample>");
    qRegisterMetaType<RecorderBacklog>("RecorderBacklog");
    qRegisterMetaType<exam::PatientDetails>("exam::PatientDetails");
    pathTimer = new QTimer(this);
    pathTimer->setInterval(pathCheckInterval);
    connect(pathTimer, &QTimer::timeout, this, [this] { checkPath(); });
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
    if (on && capturing && handle < 0) {
        if (openFile(period, captureStart, captureSamples))
            addPending(captureSamples, tr("Запись начата"));
    } else if (!on && handle >= 0) {
        closeFile(true);
    }
}

void Recorder::recordBacklog(RecorderBacklog b)
{
    if (handle >= 0 || b.period == 0) {
        setRecording(true);
        return;
    }
    if (!recording) {
        recording = true;
        emit recordingChanged(true);
    }
    const quint64 n = quint64(b.counts.size() / channelCount);
    const quint64 end = b.first + n;
    const bool live = capturing && b.serial == serial && b.period == period;
    if (n == 0 && live) {
        // Nothing held yet: the file starts with the next sample of the capture.
        skipBelow = 0;
        if (openFile(period, captureStart, captureSamples) && captureSamples > 0)
            addPending(captureSamples, tr("Запись начата"));
        return;
    }
    if (n == 0)
        return; // recording is on for the next capture
    if (!openFile(b.period, b.start, b.first))
        return;
    if (b.first > 0)
        addPending(b.first, tr("Запись начата"));
    for (const RecordedEvent& e : b.events) {
        if (!live || e.sample < end)
            addPending(e.sample, e.text);
    }
    Counts counts;
    for (quint64 i = 0; i < n && handle >= 0; ++i) {
        std::copy_n(b.counts.constData() + i * channelCount, channelCount, counts.begin());
        writeCounts(counts);
    }
    if (handle < 0)
        return;
    if (!live) {
        // The capture it came from has ended (or another began): a file of its own.
        closeFile(true);
        if (capturing && recording && openFile(period, captureStart, keptFirst)) {
            for (const RecordedEvent& e : keptEvents)
                addPending(e.sample, e.text);
            for (const Counts& c : kept) {
                if (handle >= 0)
                    writeCounts(c);
            }
        }
        kept.clear();
        keptEvents.clear();
        return;
    }
    // Join the live capture: what arrived past the backlog is kept, what will
    // arrive below its end is in the file already.
    for (const RecordedEvent& e : keptEvents) {
        if (e.sample >= end)
            addPending(e.sample, e.text);
    }
    if (captureSamples <= end) {
        skipBelow = end;
    } else if (keptFirst <= end) {
        for (quint64 i = end; i < captureSamples && handle >= 0; ++i)
            writeCounts(kept[std::size_t(i - keptFirst)]);
    } else {
        // The front-end fell further behind than what is kept: the file ends
        // where its samples do, and the next one starts with those kept.
        addPending(end, tr("Запись прервана: отсчёты до %1 с не переданы")
                            .arg(double(keptFirst) * period / 8e6, 0, 'f', 1));
        closeFile(true);
        if (openFile(period, captureStart, keptFirst)) {
            for (const Counts& c : kept) {
                if (handle >= 0)
                    writeCounts(c);
            }
        }
    }
    kept.clear();
    keptEvents.clear();
}

void Recorder::captureStarted(quint16 value)
{
    ++serial;
    if (capturing && value == period && handle >= 0) {
        // A start sent again while capturing: the headset goes on at the same
        // rate, and the file with it. Its sample numbers count on from here.
        base = captureSamples;
        return;
    }
    if (handle >= 0)
        closeFile(true);
    capturing = true;
    period = value;
    captureStart = QDateTime::currentDateTime();
    captureSamples = 0;
    base = 0;
    skipBelow = 0;
    kept.clear();
    keptFirst = 0;
    keptEvents.clear();
    if (recording)
        openFile(period, captureStart, 0);
}

void Recorder::updateDataTime(QVector<structSample> samples)
{
    if (!capturing)
        return;
    Counts counts;
    for (const structSample& sample : samples) {
        for (int c = 0; c < channelCount; ++c)
            counts[std::size_t(c)] = sampleCount(sample.value[c]);
        take(counts);
    }
}

void Recorder::take(const Counts& counts)
{
    const quint64 index = captureSamples++;
    if (handle >= 0) {
        if (index >= skipBelow)
            writeCounts(counts);
        return;
    }
    if (kept.empty())
        keptFirst = index;
    kept.push_back(counts);
    const std::size_t most = std::size_t(keptSeconds * 8e6 / std::max<int>(period, 1));
    while (kept.size() > most) {
        kept.pop_front();
        ++keptFirst;
    }
}

void Recorder::captureEvent(quint64 sample, QString text)
{
    // Outside a capture (a refused start after the link came back, a command)
    // the sample count is not this file's: the event goes after its last sample.
    const quint64 at = capturing ? sample + base : captureSamples;
    if (handle >= 0) {
        addPending(at, text);
    } else if (capturing) {
        keptEvents.push_back({at, text});
        while (!keptEvents.empty() && keptEvents.front().sample < keptFirst)
            keptEvents.erase(keptEvents.begin());
    }
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

void Recorder::setElectrodes(QStringList names)
{
    electrodeNames = names;
}

void Recorder::setPatient(exam::PatientDetails details)
{
    patientDetails = details;
}

void Recorder::addTimedEvent(quint64 sample, double duration, QString text)
{
    captureEvent(sample, text);
    // The event just queued (or kept) takes its length.
    const qint64 length = duration > 0 ? qint64(std::llround(duration * 1e7)) : -1;
    if (handle >= 0 && !pending.empty())
        pending.back().duration = length;
}

void Recorder::addEvent(QString text)
{
    if (handle >= 0)
        addPending(captureSamples, text);
}

void Recorder::finish()
{
    if (handle >= 0)
        closeFile(true);
}

void Recorder::addPending(quint64 sample, const QString& text)
{
    pending.push_back({std::max(sample, firstSample), text, lossNoteCount(text)});
}

QString Recorder::nextPath(const QDateTime& start)
{
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

bool Recorder::openFile(quint16 value, const QDateTime& captureBegan, quint64 first)
{
    filePeriod = value;
    layout = recordLayout(filePeriod);
    if (layout.samples <= 0)
        return false;
    const QDateTime start = (captureBegan.isValid() ? captureBegan : QDateTime::currentDateTime())
                                .addMSecs(qint64(first) * filePeriod / 8000);
    path = nextPath(start);
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

    firstSample = first;
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
    // The operator's details; their equipment, if given, replaces the program's name.
    ok |= exam::writePatientDetails(handle, patientDetails);
    for (int c = 0; c < channelCount; ++c) {
        const QByteArray label = exam::fileLabel(c, electrodeNames.value(c));
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
    pending.clear();
    record.assign(size_t(channelCount) * layout.samples * bytesPerSample, 0);
    pathTimer->start();
    emit fileStarted(path);
    emit progress(path, 0.0, fileBytes());
    return true;
}

void Recorder::writeCounts(const Counts& counts)
{
    for (int c = 0; c < channelCount; ++c) {
        qint32 count = counts[std::size_t(c)];
        if (count < -digitalMaximum)
            count = -digitalMaximum;
        unsigned char* at = &record[(size_t(c) * layout.samples + fill) * bytesPerSample];
        const quint32 bits = static_cast<quint32>(count);
        at[0] = static_cast<unsigned char>(bits);
        at[1] = static_cast<unsigned char>(bits >> 8);
        at[2] = static_cast<unsigned char>(bits >> 16);
    }
    last = counts;
    if (++fill == layout.samples && writeRecord())
        emit progress(path, fileSeconds(), fileBytes());
}

bool Recorder::queueEvents(quint64 upTo, bool last)
{
    // This record's events (and any that came too late for theirs), in the
    // order of their samples.
    std::vector<Pending> due;
    std::vector<Pending> later;
    for (Pending& p : pending) {
        const quint64 r = (p.sample - firstSample) / quint64(layout.samples);
        (last || r <= upTo ? due : later).push_back(std::move(p));
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Pending& a, const Pending& b) { return a.sample < b.sample; });
    const auto losses =
        std::count_if(due.begin(), due.end(), [](const Pending& p) { return p.loss >= 0; });
    if (int(due.size()) > annotationSignals && losses > 1) {
        // The loss notes become one, with their sum, lasting from the first
        // loss to the last.
        std::vector<Pending> merged;
        qint64 lost = 0;
        int notes = 0;
        quint64 firstLoss = 0, lastLoss = 0;
        for (Pending& p : due) {
            if (p.loss < 0) {
                merged.push_back(std::move(p));
                continue;
            }
            if (notes++ == 0)
                firstLoss = p.sample;
            lastLoss = p.sample;
            lost += p.loss;
        }
        if (notes > 0) {
            Pending sum{firstLoss, tr("Потери: %1 (%2 раз)").arg(lost).arg(notes), lost};
            sum.duration = qint64(lastLoss - firstLoss) * filePeriod * 5 / 4;
            const auto at = std::find_if(merged.begin(), merged.end(),
                                         [&](const Pending& p) { return p.sample > firstLoss; });
            merged.insert(at, sum);
        }
        due = std::move(merged);
    }
    // What still does not fit waits for the next record (at close: for the
    // free slots of the records before).
    if (!last && int(due.size()) > annotationSignals) {
        later.insert(later.begin(), std::make_move_iterator(due.begin() + annotationSignals),
                     std::make_move_iterator(due.end()));
        due.resize(annotationSignals);
    }
    pending = std::move(later);
    for (const Pending& p : due) {
        // Period ticks are 125 ns: the onset in the file's 100 ns units.
        const qint64 onset = qint64((p.sample - firstSample) * filePeriod * 5 / 4);
        const QByteArray bytes = annotationUtf8(p.text);
        if (edfwrite_annotation_utf8_100ns(handle, onset, p.duration, bytes.constData()) != 0)
            return false;
    }
    return true;
}

bool Recorder::writeRecord()
{
    fill = 0;
    int code = queueEvents(records, false) ? 0 : -1;
    if (code == 0)
        code = edfwrite_block_digital_3byte_samples(handle, record.data());
    if (code == 0) {
        ++records;
        code = edf_flush(handle);
    }
    if (code == 0 && edf_path_leads_to_file(handle) == 0) {
        fail(tr("Запись остановлена: файл %1 больше недоступен (папка удалена или диск отключён)")
                 .arg(path));
        return false;
    }
    if (code != 0) {
        const int error = errno;
        fail(tr("Запись остановлена: ошибка записи в %1 (%2)")
                 .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    return true;
}

void Recorder::checkPath()
{
    if (handle >= 0 && edf_path_leads_to_file(handle) == 0)
        fail(tr("Запись остановлена: файл %1 больше недоступен (папка удалена или диск отключён)")
                 .arg(path));
}

void Recorder::closeFile(bool ok)
{
    pathTimer->stop();
    const quint64 samples = records * quint64(layout.samples) + quint64(fill);
    if (ok && samples > 0) {
        // Annotations must lie inside a record: the last one, when partial, is
        // completed with copies of the last sample; when the samples end with
        // a record and events lie at or after their end, one record of copies
        // is added for them. Never more than one record.
        const quint64 end = firstSample + samples;
        bool after = false;
        for (const Pending& p : pending)
            after = after || p.sample >= end;
        if (fill > 0 || after) {
            addPending(end, tr("Конец данных"));
            const Counts copy = last;
            do {
                writeCounts(copy);
                if (handle < 0)
                    return; // the write failed, and the failure closed the file
            } while (fill != 0);
        }
        // Events that came too late for the last record go into free slots.
        if (!pending.empty())
            queueEvents(records, true);
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
    // The annotation slots are part of every record.
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
