#include "capture/recordingfile.h"

#include <QStringList>

#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <vector>

#include "edf/edf.h"

namespace
{

// Closes the module's handle on every way out.
class ReadHandle
{
public:
    explicit ReadHandle(int handle) : handle(handle) {}
    ~ReadHandle() { edf_close(handle); }
    ReadHandle(const ReadHandle&) = delete;
    ReadHandle& operator=(const ReadHandle&) = delete;

private:
    int handle;
};

QString trimmed(const char* text)
{
    return QString::fromLatin1(text).trimmed();
}

QDateTime startOf(const edf_header_info& hdr)
{
    const QDate date(hdr.start_year, hdr.start_month, hdr.start_day);
    const QTime time(hdr.start_hour, hdr.start_minute, hdr.start_second);
    return QDateTime(date, time).addMSecs(hdr.start_subsecond / 10000);
}

} // namespace

void readRecording(const QString& path, LoadedRecording& out,
                   const std::function<bool(double fraction)>& progress)
{
    out.path = path;
    out.annotations.clear();
    out.fileBytes = QFileInfo(path).size();

    // About 160 kB: on the heap, as the worker's stack may be small.
    std::unique_ptr<edf_header_info> hdr(new edf_header_info);
    const QByteArray name = QFile::encodeName(path);
    if (edf_open_for_reading(name.constData(), hdr.get(), 1) != 0) {
        out.status = RecordingReadStatus::OpenFailed;
        out.code = hdr->filetype;
        return;
    }
    ReadHandle closer(hdr->handle);
    out.fileType = hdr->filetype;
    out.signalsInFile = hdr->signal_count;
    out.durationSeconds = double(hdr->file_duration) / EDF_TIME_DIMENSION;
    QStringList who;
    for (const char* field : {hdr->patient_code, hdr->sex, hdr->birth_date, hdr->patient_name}) {
        const QString text = QString::fromLatin1(field).trimmed();
        if (!text.isEmpty() && text != QLatin1String("X"))
            who << text;
    }
    out.patient = who.isEmpty() ? QString::fromLatin1(hdr->patient).simplified() : who.join(' ');
    if (out.patient == QLatin1String("X X X X"))
        out.patient.clear();
    out.technician = QString::fromLatin1(hdr->technician).trimmed();
    if (hdr->signal_count < 1) {
        out.status = RecordingReadStatus::NoSignals;
        return;
    }

    const int shown = std::min(hdr->signal_count, recordingMaxSignals);
    const double recordSeconds = double(hdr->record_duration) / EDF_TIME_DIMENSION;
    QVector<CaptureChannel> channels;
    int widest = 1;
    for (int s = 0; s < shown; ++s) {
        const edf_signal_info& info = hdr->signal_info[s];
        CaptureChannel channel;
        channel.label = trimmed(info.label);
        channel.unit = trimmed(info.physical_dimension);
        channel.samplesPerSecond = info.samples_per_record / recordSeconds;
        // physical = gain * digital + offset, the line through the two corners.
        channel.gain = (info.physical_max - info.physical_min) /
                       double(qint64(info.digital_max) - info.digital_min);
        channel.offset = info.physical_max - channel.gain * info.digital_max;
        channel.countMin = info.digital_min;
        channel.countMax = info.digital_max;
        channels.append(channel);
        widest = std::max(widest, info.samples_per_record);
    }
    out.store.reset(channels, startOf(*hdr));
    out.store.setFileRecordDuration(hdr->record_duration);

    // Record by record, each signal's block in turn: the file is read front to
    // back, and a block at a time keeps the calls few.
    std::vector<int> digital(std::size_t(widest) * 16);
    std::vector<qint32> counts(digital.size());
    const qint64 records = hdr->record_count;
    const qint64 step = std::max<qint64>(1, std::min<qint64>(16, records / 100 + 1));
    for (qint64 r = 0; r < records; r += step) {
        const qint64 n = std::min(step, records - r);
        for (int s = 0; s < shown; ++s) {
            const int want = int(n * hdr->signal_info[s].samples_per_record);
            if (edf_seek(hdr->handle, s, r * hdr->signal_info[s].samples_per_record, 0) < 0 ||
                edfread_digital_samples(hdr->handle, s, want, digital.data()) != want) {
                out.status = RecordingReadStatus::ReadFailed;
                return;
            }
            std::copy(digital.begin(), digital.begin() + want, counts.begin());
            out.store.appendCounts(s, counts.data(), want);
        }
        if (progress && !progress(double(r + n) / double(records))) {
            out.status = RecordingReadStatus::Cancelled;
            return;
        }
    }

    const qint64 annotations = hdr->annotation_count;
    out.annotations.reserve(int(std::min<qint64>(annotations, 1 << 24)));
    edf_annotation_info annotation;
    for (qint64 i = 0; i < annotations && i <= INT_MAX; ++i) {
        if (edf_get_annotation(hdr->handle, int(i), &annotation) != 0)
            break;
        RecordingAnnotation a;
        a.onset = double(annotation.onset) / EDF_TIME_DIMENSION;
        a.duration =
            annotation.duration < 0 ? -1 : double(annotation.duration) / EDF_TIME_DIMENSION;
        a.text = QString::fromUtf8(annotation.text).trimmed();
        out.annotations.append(a);
    }
    // Also as the store's events, at their own times and with their
    // durations, so that whatever writes the store out again finds them where
    // the file has them.
    for (const RecordingAnnotation& a : out.annotations)
        out.store.addEvent(a.onset, a.duration, a.text);
    std::stable_sort(out.annotations.begin(), out.annotations.end(),
                     [](const RecordingAnnotation& a, const RecordingAnnotation& b) {
                         return a.onset < b.onset;
                     });
    out.status = RecordingReadStatus::Ok;
}

RecordingLoader::RecordingLoader(QObject* parent) : QObject(parent) {}

RecordingLoader::~RecordingLoader()
{
    if (worker) {
        cancelled = true;
        worker->wait();
        delete worker;
    }
}

bool RecordingLoader::start(const QString& path)
{
    if (worker)
        return false;
    cancelled = false;
    result.reset(new LoadedRecording);
    QSharedPointer<LoadedRecording> target = result;
    worker = QThread::create([this, path, target] {
        int shown = -1;
        readRecording(path, *target, [this, &shown](double fraction) {
            const int percent = int(fraction * 100);
            if (percent != shown) {
                shown = percent;
                emit progress(percent);
            }
            return !cancelled.load();
        });
    });
    connect(worker, &QThread::finished, this, &RecordingLoader::workerEnded);
    worker->start();
    return true;
}

void RecordingLoader::cancel()
{
    cancelled = true;
}

void RecordingLoader::workerEnded()
{
    worker->wait();
    delete worker;
    worker = nullptr;
    QSharedPointer<LoadedRecording> done;
    done.swap(result);
    emit finished(done);
}
