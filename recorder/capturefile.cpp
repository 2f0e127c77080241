#include "recorder/capturefile.h"

#include "exam/electrodes.h"
#include "exam/patient.h"

#include "capture/capturestore.h"
#include "edf/edf.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace
{

constexpr int edfDigitalMaximum = 32767;
constexpr int edfDigitalMinimum = -32768;
constexpr int bdfDigitalMaximum = 8388607;
constexpr int maximumDuration = 6000000; // units of 10 us: the module's limit, 60 s
constexpr int oneSecond = 100000;        // units of 10 us

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

// A channel of the store as it goes into the file.
struct Output {
    FileChannel file;
    double scale = 1;  // file unit per store unit
    qint64 stored = 0; // samples in the store
};

// The shortest decimal text of at most 8 characters at or beyond `v` in the
// given direction: the header keeps 8 characters, and a range rounded inwards
// would clip the channel's extremes.
double outward(double v, bool up)
{
    for (int decimals = 7; decimals >= 0; --decimals) {
        const double p = std::pow(10.0, decimals);
        const double r = (up ? std::ceil(v * p - 1e-9) : std::floor(v * p + 1e-9)) / p;
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, r);
        // Trailing zeros of the fraction are not written.
        int len = int(std::strlen(text));
        if (decimals > 0) {
            while (text[len - 1] == '0')
                --len;
            if (text[len - 1] == '.')
                --len;
        }
        if (len <= 8)
            return r;
    }
    return v; // beyond 8 digits: the module refuses it
}

// Whether the header's 8 characters hold `v` exactly.
bool exactIn8(double v)
{
    const double tolerance = 1e-12 * std::max(1.0, std::fabs(v));
    return std::fabs(outward(v, true) - v) <= tolerance &&
           std::fabs(outward(v, false) - v) <= tolerance;
}

// The largest digital maximum D (at least `needed`) for which the physical
// values of +-D are written exactly, so that the reader's mapping is the
// store's own; 0 when none is found near the top of the 24 bits.
int exactDigitalMaximum(const CaptureStore& store, int c, double scale, qint32 needed)
{
    const int lowest = std::max(int(needed), bdfDigitalMaximum - 1000000);
    for (int d = bdfDigitalMaximum; d >= lowest && d > 0; --d) {
        if (exactIn8(store.physical(c, d) * scale) && exactIn8(store.physical(c, -d) * scale))
            return d;
    }
    return 0;
}

// Whether every channel has a whole number of samples in a record of
// `duration` (units of 10 us).
bool fitsDuration(const QVector<double>& rates, int duration)
{
    for (double rate : rates) {
        const double n = rate * duration / oneSecond;
        if (n < 0.5 || std::fabs(n - std::round(n)) > 1e-9 * n)
            return false;
    }
    return true;
}

// The record duration (units of 10 us) closest to one second in which every
// channel has a whole number of samples, or 0.
int commonDuration(const QVector<double>& rates)
{
    auto fits = [&](int duration) { return fitsDuration(rates, duration); };
    for (int d = 0; d < maximumDuration; ++d) {
        if (oneSecond - d >= 1 && fits(oneSecond - d))
            return oneSecond - d;
        if (d > 0 && oneSecond + d <= maximumDuration && fits(oneSecond + d))
            return oneSecond + d;
    }
    return 0;
}

} // namespace

QByteArray annotationUtf8(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.size() <= annotationTextBytes)
        return bytes;
    int end = annotationTextBytes;
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

FileChannel headsetChannel(int channel, const QString& electrode, quint16 period)
{
    FileChannel c;
    c.label = exam::fileLabel(channel, electrode);
    c.unit = "uV";
    c.samples = recordLayout(period).samples;
    c.physicalMax = headsetPhysicalMaximum;
    c.physicalMin = -headsetPhysicalMaximum;
    c.digitalMax = headsetDigitalMaximum;
    c.digitalMin = -headsetDigitalMaximum;
    return c;
}

CaptureFile::~CaptureFile()
{
    if (handle >= 0)
        edf_close(handle);
}

bool CaptureFile::check(int code, RecordingError step)
{
    if (code == 0)
        return true;
    failedStep = step;
    failedCode = code;
    return false;
}

bool CaptureFile::open(const QByteArray& path, const FileHeader& header)
{
    failedStep = RecordingError::None;
    failedCode = 0;
    const int channels = int(header.channels.size());
    const int opened = edf_open_for_writing(
        path.constData(),
        header.format == RecordingFormat::Bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS,
        channels);
    if (!check(opened < 0 ? opened : 0, RecordingError::Open))
        return false;
    handle = opened;
    auto refuse = [&](int code, RecordingError step) {
        check(code, step);
        edf_close(handle);
        handle = -1;
        return false;
    };

    if (header.start.isValid()) {
        const QDate date = header.start.date();
        const QTime time = header.start.time();
        // Outside the years the format can hold the module takes the current time.
        // No sub-second start: readers disagree on whether annotation onsets count
        // from it (MNE) or from the whole second (biosig).
        edf_set_startdatetime(handle, date.year(), date.month(), date.day(), time.hour(),
                              time.minute(), time.second());
    }
    int code = edf_set_datarecord_duration(handle, header.duration);
    code |= edf_set_number_of_annotation_signals(handle, header.annotationSignals);
    code |= edf_set_equipment(handle, "Neurask");
    if (header.patient)
        code |= exam::writePatientDetails(handle, *header.patient);
    if (code != 0)
        return refuse(code, RecordingError::Setup);
    for (int c = 0; c < channels; ++c) {
        const FileChannel& s = header.channels[std::size_t(c)];
        code = edf_set_label(handle, c, s.label.constData());
        code |= edf_set_physical_dimension(handle, c, s.unit.constData());
        code |= edf_set_samples_per_record(handle, c, s.samples);
        code |= edf_set_physical_maximum(handle, c, s.physicalMax);
        code |= edf_set_physical_minimum(handle, c, s.physicalMin);
        if (code != 0)
            return refuse(code, RecordingError::Setup);
        code = edf_set_digital_maximum(handle, c, s.digitalMax);
        if (code != 0)
            return refuse(code, RecordingError::DigitalMaximum);
        code = edf_set_digital_minimum(handle, c, s.digitalMin);
        if (code != 0)
            return refuse(code, RecordingError::DigitalMinimum);
    }
    if (header.crashSafe) {
        code = edf_set_crash_safe(handle, 1);
        if (code != 0)
            return refuse(code, RecordingError::Setup);
    }
    return true;
}

bool CaptureFile::annotate(qint64 onset, qint64 duration, const QString& text)
{
    const QByteArray bytes = annotationUtf8(text);
    return check(edfwrite_annotation_utf8_100ns(handle, onset, duration, bytes.constData()),
                 RecordingError::Write);
}

bool CaptureFile::writeSamples(const int* digital)
{
    return check(edfwrite_digital_samples(handle, digital), RecordingError::Write);
}

bool CaptureFile::writeRecord(const unsigned char* block)
{
    return check(edfwrite_block_digital_3byte_samples(handle, block), RecordingError::Write);
}

bool CaptureFile::flush()
{
    return check(edf_flush(handle), RecordingError::Write);
}

bool CaptureFile::pathLeadsToFile() const
{
    return edf_path_leads_to_file(handle) != 0;
}

bool CaptureFile::close()
{
    const int code = edf_close(handle);
    handle = -1;
    return check(code, RecordingError::Close);
}

QString recordingEndText()
{
    return QCoreApplication::translate("Recorder", "Конец данных");
}

namespace
{

// The record duration of a saved store (units of 10 us), 0 when none fits:
// a live capture's layout; a shown file's own records, so that its copy has
// its length; else the duration closest to a second that every rate fits.
int savedRecordDuration(const CaptureStore& store)
{
    if (store.period() > 0)
        return recordLayout(store.period()).duration;
    const int channels = store.channelCount();
    QVector<double> rates;
    for (int c = 0; c < channels; ++c)
        rates << store.channel(c).samplesPerSecond;
    const qint64 own = store.fileRecordDuration();
    if (own > 0 && own % 100 == 0 && own / 100 <= maximumDuration &&
        fitsDuration(rates, int(own / 100)))
        return int(own / 100);
    return channels > 0 ? commonDuration(rates) : oneSecond;
}

// Channel `c` of the store as it goes into the file.
Output savedChannel(const CaptureStore& store, int c, bool bdf, int duration)
{
    const bool live = store.period() > 0;
    Output o;
    FileChannel& s = o.file;
    const CaptureChannel& info = store.channel(c);
    if (live) {
        // The engine's channel: the electrode when the operator named it,
        // else its number; the record layout and range of its files.
        s = headsetChannel(c, info.label == QString::number(c + 1) ? QString() : info.label,
                           store.period());
    } else {
        s.label = info.label.toLatin1();
        s.samples = int(std::lround(info.samplesPerSecond * duration / oneSecond));
    }
    s.unit = info.unit.toLatin1();
    if (info.unit == QLatin1String("V")) {
        s.unit = "uV";
        o.scale = 1e6;
    }
    o.stored = store.sampleCount(c);

    if (bdf) {
        // The count is the digital value. A live channel at the headset's
        // gain keeps the engine's range: its files and this one read the same.
        if (!(live && info.gain == voltsPerCount && info.offset == 0)) {
            // A digital range whose physical ends the header holds
            // exactly keeps the channel's own gain and offset.
            const CountRange range = store.countRange(c, 0, o.stored);
            const qint32 needed =
                range.empty ? 0 : std::max(std::abs(range.min), std::abs(range.max));
            const int exact = exactDigitalMaximum(store, c, o.scale, needed);
            const int top = exact > 0 ? exact : bdfDigitalMaximum;
            s.physicalMax = store.physical(c, top) * o.scale;
            s.physicalMin = store.physical(c, -top) * o.scale;
            if (s.physicalMin > s.physicalMax)
                std::swap(s.physicalMin, s.physicalMax); // a negative gain
            s.digitalMax = top;
            s.digitalMin = -top;
        }
    } else {
        // The channel's own extremes span the 16 bits.
        const CountRange range = store.countRange(c, 0, o.stored);
        double lo = range.empty ? 0 : store.physical(c, range.min) * o.scale;
        double hi = range.empty ? 0 : store.physical(c, range.max) * o.scale;
        if (lo > hi)
            std::swap(lo, hi); // a negative gain
        s.physicalMin = outward(lo, false);
        s.physicalMax = outward(hi, true);
        if (s.physicalMax <= s.physicalMin) // a flat channel still needs a range
            s.physicalMax = outward(s.physicalMin + std::max(1.0, std::fabs(lo) * 1e-6), true);
        s.digitalMax = edfDigitalMaximum;
        s.digitalMin = edfDigitalMinimum;
    }
    return o;
}

struct Note {
    qint64 onset;    // 100 ns units from the file's start
    qint64 duration; // 100 ns units, -1: none
    QString text;
};

// Annotations: the events at their own times (100 ns, as the file keeps
// them) with their durations, and the end of the samples when the last
// record is completed with copies. No record is added for an event: one
// past the samples goes into the last record. `busiest` is the most that
// fall in one record, which every record can then carry.
std::vector<Note> savedNotes(const CaptureStore& store, const std::vector<Output>& outputs,
                             qint64 records, int duration, int& busiest)
{
    const double secondsPerSample = outputs.empty() ? 0 : store.secondsPer(0);
    std::vector<Note> notes;
    const double firstSeconds = double(store.firstSample()) * secondsPerSample;
    auto ticks = [](double seconds) { return qint64(std::llround(seconds * 1e7)); };
    for (const CaptureEvent& event : store.events()) {
        notes.push_back({std::max<qint64>(0, ticks(event.onset - firstSeconds)),
                         event.duration < 0 ? -1 : ticks(event.duration), event.text});
    }
    const double recordTicks = duration * 100.0;
    auto recordOf = [&](qint64 onset) { return qint64(double(onset) / recordTicks); };
    bool partial = false;
    for (const Output& o : outputs)
        partial = partial || o.stored < records * o.file.samples;
    if (partial)
        notes.push_back(
            {ticks(double(outputs[0].stored) * secondsPerSample), -1, recordingEndText()});
    std::vector<int> perRecord(std::size_t(std::max<qint64>(records, 1)), 0);
    busiest = 1;
    for (const Note& note : notes) {
        const std::size_t r =
            std::size_t(std::max<qint64>(0, std::min(recordOf(note.onset), records - 1)));
        busiest = std::max(busiest, ++perRecord[r]);
    }
    return notes;
}

// Record `r` of channel `c` as digital values; past the end of the stored
// samples, the channel's last one (0 for an empty channel).
void savedRecord(const CaptureStore& store, int c, const Output& o, qint64 r, bool bdf,
                 std::vector<int>& buffer)
{
    const FileChannel& s = o.file;
    buffer.resize(std::size_t(s.samples));
    const qint64 base = r * s.samples;
    const qint32 lastCount = o.stored > 0 ? store.count(c, o.stored - 1) : 0;
    const double step = (s.physicalMax - s.physicalMin) / (s.digitalMax - s.digitalMin);
    for (int i = 0; i < s.samples; ++i) {
        const qint64 at = base + i;
        const qint32 count = at < o.stored ? store.count(c, at) : lastCount;
        int digital;
        if (bdf) {
            digital = std::clamp(count, s.digitalMin, s.digitalMax);
        } else {
            const double value = store.physical(c, count) * o.scale;
            const double d = std::nearbyint((value - s.physicalMin) / step) + s.digitalMin;
            digital = int(std::clamp(d, double(s.digitalMin), double(s.digitalMax)));
        }
        buffer[std::size_t(i)] = digital;
    }
}

} // namespace

RecordingResult saveRecording(const QByteArray& path, const CaptureStore& store,
                              RecordingFormat format, const exam::PatientDetails* patient)
{
    RecordingResult result;
    const bool bdf = format == RecordingFormat::Bdf;
    const int channels = store.channelCount();
    result.duration = savedRecordDuration(store);
    if (store.period() > 0)
        result.samplesPerRecord = recordLayout(store.period()).samples;
    if (result.duration <= 0 || channels > EDF_MAX_SIGNALS - headsetAnnotationSignals) {
        result.error = RecordingError::Layout;
        return result;
    }

    std::vector<Output> outputs;
    qint64 records = 0;
    for (int c = 0; c < channels; ++c) {
        outputs.push_back(savedChannel(store, c, bdf, result.duration));
        const Output& o = outputs.back();
        records = std::max(records, (o.stored + o.file.samples - 1) / o.file.samples);
    }
    if (store.period() == 0 && channels > 0)
        result.samplesPerRecord = outputs[0].file.samples;
    if (channels == 0)
        records = 0; // nothing to put in records; the module keeps the annotations
    int busiest = 1;
    const std::vector<Note> notes = savedNotes(store, outputs, records, result.duration, busiest);

    FileHeader header;
    header.format = format;
    const double secondsPerSample = channels > 0 ? store.secondsPer(0) : 0;
    if (store.startTime().isValid())
        header.start = store.startTime().addMSecs(
            qint64(std::llround(double(store.firstSample()) * secondsPerSample * 1e3)));
    header.duration = result.duration;
    header.annotationSignals = std::min(busiest, int(EDF_MAX_ANNOTATION_SIGNALS));
    header.patient = patient;
    for (const Output& o : outputs)
        header.channels.push_back(o.file);

    CaptureFile file;
    // A failure after the file was opened closes it: closing patches the
    // record count, so what was written stays readable.
    auto failed = [&] {
        result.error = file.error();
        result.code = file.code();
        if (file.isOpen())
            file.close();
        return result;
    };
    if (!file.open(path, header))
        return failed();
    for (const Note& note : notes) {
        if (!file.annotate(note.onset, note.duration, note.text))
            return failed();
    }
    std::vector<int> buffer;
    for (qint64 r = 0; r < records; ++r) {
        for (int c = 0; c < channels; ++c) {
            savedRecord(store, c, outputs[std::size_t(c)], r, bdf, buffer);
            if (!file.writeSamples(buffer.data()))
                return failed();
        }
        result.records = r + 1;
    }

    // A file of the header alone is what an empty store gives.
    if (!file.close() && !(file.code() == EDF_CLOSE_NO_RECORDS && records == 0)) {
        result.error = RecordingError::Close;
        result.code = file.code();
    }
    return result;
}
