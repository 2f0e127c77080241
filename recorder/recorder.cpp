#include "recorder/recorder.h"

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

constexpr int bytesPerSample = 3;

} // namespace

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
    if (file.isOpen())
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
    if (on && capturing && !file.isOpen()) {
        if (openFile(period, captureStart, captureSamples))
            addPending(captureSamples, tr("Запись начата"));
    } else if (!on && file.isOpen()) {
        closeFile(true);
    }
}

void Recorder::recordBacklog(RecorderBacklog b)
{
    if (file.isOpen() || b.period == 0) {
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
    for (quint64 i = 0; i < n && file.isOpen(); ++i) {
        std::copy_n(b.counts.constData() + i * channelCount, channelCount, counts.begin());
        writeCounts(counts);
    }
    if (!file.isOpen())
        return;
    if (!live) {
        // The capture it came from has ended (or another began): a file of its own.
        closeFile(true);
        if (capturing && recording && openFile(period, captureStart, keptFirst)) {
            for (const RecordedEvent& e : keptEvents)
                addPending(e.sample, e.text);
            for (const Counts& c : kept) {
                if (file.isOpen())
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
        for (quint64 i = end; i < captureSamples && file.isOpen(); ++i)
            writeCounts(kept[std::size_t(i - keptFirst)]);
    } else {
        // The front-end fell further behind than what is kept: the file ends
        // where its samples do, and the next one starts with those kept.
        addPending(end, tr("Запись прервана: отсчёты до %1 с не переданы")
                            .arg(double(keptFirst) * period / 8e6, 0, 'f', 1));
        closeFile(true);
        if (openFile(period, captureStart, keptFirst)) {
            for (const Counts& c : kept) {
                if (file.isOpen())
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
    if (capturing && value == period && file.isOpen()) {
        // A start sent again while capturing: the headset goes on at the same
        // rate, and the file with it. Its sample numbers count on from here.
        base = captureSamples;
        return;
    }
    if (file.isOpen())
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
    if (file.isOpen()) {
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
    if (file.isOpen()) {
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
    if (file.isOpen())
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
    if (file.isOpen() && !pending.empty())
        pending.back().duration = length;
}

void Recorder::addEvent(QString text)
{
    if (file.isOpen())
        addPending(captureSamples, text);
}

void Recorder::finish()
{
    if (file.isOpen())
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
    // The start to the whole second (the start is known only to the latency of
    // the confirmation anyway), the operator's details (their equipment, if
    // given, replaces the program's name), the headset's channels.
    FileHeader header;
    header.format = RecordingFormat::Bdf;
    header.start = start;
    header.duration = layout.duration;
    header.annotationSignals = annotationSignals;
    header.patient = &patientDetails;
    for (int c = 0; c < channelCount; ++c)
        header.channels.push_back(headsetChannel(c, electrodeNames.value(c), filePeriod));
    header.crashSafe = true;
    if (!file.open(QFile::encodeName(path), header)) {
        // A refused file or header: the file reserved for it goes too.
        QFile::remove(path);
        fail(tr("Запись остановлена: не удалось создать файл %1").arg(path));
        return false;
    }

    firstSample = first;

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
        if (count < -headsetDigitalMaximum)
            count = -headsetDigitalMaximum;
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
        if (!file.annotate(onset, p.duration, p.text))
            return false;
    }
    return true;
}

bool Recorder::writeRecord()
{
    fill = 0;
    int code = queueEvents(records, false) ? 0 : -1;
    if (code == 0)
        code = file.writeRecord(record.data()) ? 0 : -1;
    if (code == 0) {
        ++records;
        code = file.flush() ? 0 : -1;
    }
    if (code == 0 && !file.pathLeadsToFile()) {
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
    if (file.isOpen() && !file.pathLeadsToFile())
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
            addPending(end, recordingEndText());
            const Counts copy = last;
            do {
                writeCounts(copy);
                if (!file.isOpen())
                    return; // the write failed, and the failure closed the file
            } while (fill != 0);
        }
        // Events that came too late for the last record go into free slots.
        if (!pending.empty())
            queueEvents(records, true);
    }
    const bool finished = file.close();
    const QString closed = path;
    if (samples == 0) {
        // Nothing was captured into it: leave no empty file behind.
        QFile::remove(closed);
        emit fileFinished(closed, 0, ok);
        return;
    }
    if (ok && !finished) {
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
    if (file.isOpen())
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
