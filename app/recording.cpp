#include "app/recording.h"

#include "exam/electrodes.h"
#include "exam/patient.h"

#include "capture/capturestore.h"
#include "edf/edf.h"
#include "recorder/recorder.h"

#include <QCoreApplication>
#include <QFileInfo>

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

// One channel as it goes into the file.
struct Signal {
    QByteArray label;
    QByteArray unit;
    double scale = 1;  // file unit per store unit
    int samples = 0;   // per record
    qint64 stored = 0; // samples in the store
    double physicalMin = 0;
    double physicalMax = 0;
    int digitalMin = 0;
    int digitalMax = 0;
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

QString recordingEndText()
{
    return QCoreApplication::translate("Recorder", "Конец данных");
}

RecordingFormat recordingFormatFor(const QString& fileName, RecordingFormat chosen)
{
    const QString suffix = QFileInfo(fileName).suffix();
    if (suffix.compare(QLatin1String("bdf"), Qt::CaseInsensitive) == 0)
        return RecordingFormat::Bdf;
    if (suffix.compare(QLatin1String("edf"), Qt::CaseInsensitive) == 0)
        return RecordingFormat::Edf;
    return chosen;
}

RecordingResult saveRecording(const QByteArray& path, const CaptureStore& store,
                              RecordingFormat format, const exam::PatientDetails* patient)
{
    RecordingResult result;
    const bool bdf = format == RecordingFormat::Bdf;
    const int channels = store.channelCount();
    const bool live = store.period() > 0;

    // The time base.
    if (live) {
        const RecordLayout layout = recordLayout(store.period());
        result.duration = layout.duration;
        result.samplesPerRecord = layout.samples;
    } else {
        QVector<double> rates;
        for (int c = 0; c < channels; ++c)
            rates << store.channel(c).samplesPerSecond;
        // A shown file keeps its own records, so that its copy has its length.
        const qint64 own = store.fileRecordDuration();
        if (own > 0 && own % 100 == 0 && own / 100 <= maximumDuration &&
            fitsDuration(rates, int(own / 100)))
            result.duration = int(own / 100);
        else
            result.duration = channels > 0 ? commonDuration(rates) : oneSecond;
    }
    if (result.duration <= 0 || channels > EDF_MAX_SIGNALS - Recorder::annotationSignals) {
        result.error = RecordingError::Layout;
        return result;
    }

    std::vector<Signal> outputs(static_cast<std::size_t>(channels));
    qint64 records = 0;
    for (int c = 0; c < channels; ++c) {
        Signal& s = outputs[std::size_t(c)];
        const CaptureChannel& info = store.channel(c);
        s.label = info.label.toLatin1();
        // A live channel is its electrode when the operator named it, else its number.
        if (live)
            s.label =
                exam::fileLabel(c, info.label == QString::number(c + 1) ? QString() : info.label);
        s.unit = info.unit.toLatin1();
        if (info.unit == QLatin1String("V")) {
            s.unit = "uV";
            s.scale = 1e6;
        }
        s.samples = live ? result.samplesPerRecord
                         : int(std::lround(info.samplesPerSecond * result.duration / oneSecond));
        s.stored = store.sampleCount(c);
        records = std::max(records, (s.stored + s.samples - 1) / s.samples);

        if (bdf) {
            // The count is the digital value.
            int top = bdfDigitalMaximum;
            if (live && info.gain == voltsPerCount && info.offset == 0) {
                // The engine's range: its files and this one read the same.
                s.physicalMax = Recorder::physicalMaximum;
                s.physicalMin = -Recorder::physicalMaximum;
            } else {
                // A digital range whose physical ends the header holds
                // exactly keeps the channel's own gain and offset.
                const CountRange range = store.countRange(c, 0, s.stored);
                const qint32 needed =
                    range.empty ? 0 : std::max(std::abs(range.min), std::abs(range.max));
                const int exact = exactDigitalMaximum(store, c, s.scale, needed);
                top = exact > 0 ? exact : bdfDigitalMaximum;
                s.physicalMax = store.physical(c, top) * s.scale;
                s.physicalMin = store.physical(c, -top) * s.scale;
                if (s.physicalMin > s.physicalMax)
                    std::swap(s.physicalMin, s.physicalMax); // a negative gain
            }
            s.digitalMax = top;
            s.digitalMin = -top;
        } else {
            // The channel's own extremes span the 16 bits.
            const CountRange range = store.countRange(c, 0, s.stored);
            double lo = range.empty ? 0 : store.physical(c, range.min) * s.scale;
            double hi = range.empty ? 0 : store.physical(c, range.max) * s.scale;
            if (lo > hi)
                std::swap(lo, hi); // a negative gain
            s.physicalMin = outward(lo, false);
            s.physicalMax = outward(hi, true);
            if (s.physicalMax <= s.physicalMin) // a flat channel still needs a range
                s.physicalMax = outward(s.physicalMin + std::max(1.0, std::fabs(lo) * 1e-6), true);
            s.digitalMax = edfDigitalMaximum;
            s.digitalMin = edfDigitalMinimum;
        }
    }
    if (!live && channels > 0)
        result.samplesPerRecord = outputs[0].samples;

    // Annotations: the events at their own times (100 ns, as the file keeps
    // them) with their durations, and the end of the samples when the last
    // record is completed with copies. No record is added for an event: one
    // past the samples goes into the last record. Every record can carry as
    // many as fall in its busiest one.
    const double secondsPerSample = channels > 0 ? store.secondsPer(0) : 0;
    struct Note {
        qint64 onset;    // 100 ns units from the file's start
        qint64 duration; // 100 ns units, -1: none
        QByteArray text;
    };
    std::vector<Note> notes;
    const quint64 first = store.firstSample();
    const double firstSeconds = double(first) * secondsPerSample;
    auto ticks = [](double seconds) { return qint64(std::llround(seconds * 1e7)); };
    for (const CaptureEvent& event : store.events()) {
        notes.push_back({std::max<qint64>(0, ticks(event.onset - firstSeconds)),
                         event.duration < 0 ? -1 : ticks(event.duration),
                         annotationUtf8(event.text)});
    }
    const double recordTicks = result.duration * 100.0;
    auto recordOf = [&](qint64 onset) { return qint64(double(onset) / recordTicks); };
    if (channels == 0)
        records = 0; // nothing to put in records; the module keeps the annotations
    bool partial = false;
    for (const Signal& s : outputs)
        partial = partial || s.stored < records * s.samples;
    if (partial) {
        notes.push_back({ticks(double(outputs[0].stored) * secondsPerSample), -1,
                         annotationUtf8(recordingEndText())});
    }
    std::vector<int> perRecord(std::size_t(std::max<qint64>(records, 1)), 0);
    int busiest = 1;
    for (const Note& note : notes) {
        const std::size_t r =
            std::size_t(std::max<qint64>(0, std::min(recordOf(note.onset), records - 1)));
        busiest = std::max(busiest, ++perRecord[r]);
    }
    const int annotationSignals = std::min(busiest, int(EDF_MAX_ANNOTATION_SIGNALS));

    const int handle = edf_open_for_writing(
        path.constData(), bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, channels);
    if (handle < 0) {
        result.error = RecordingError::Open;
        result.code = handle;
        return result;
    }
    auto fail = [&](RecordingError error, int code) {
        result.error = error;
        result.code = code;
        // Closing patches the record count, so what was written stays readable.
        edf_close(handle);
        return result;
    };

    const QDateTime start = store.startTime().isValid()
                                ? store.startTime().addMSecs(
                                      qint64(std::llround(double(first) * secondsPerSample * 1e3)))
                                : QDateTime();
    if (start.isValid()) {
        const QDate date = start.date();
        const QTime time = start.time();
        // Outside the years the format can hold the module takes the current time.
        edf_set_startdatetime(handle, date.year(), date.month(), date.day(), time.hour(),
                              time.minute(), time.second());
    }
    int code = edf_set_datarecord_duration(handle, result.duration);
    code |= edf_set_number_of_annotation_signals(handle, annotationSignals);
    code |= edf_set_equipment(handle, "Neurask");
    if (patient)
        code |= exam::writePatientDetails(handle, *patient);
    if (code != 0)
        return fail(RecordingError::Setup, code);
    for (int c = 0; c < channels; ++c) {
        const Signal& s = outputs[std::size_t(c)];
        code = edf_set_label(handle, c, s.label.constData());
        code |= edf_set_physical_dimension(handle, c, s.unit.constData());
        code |= edf_set_samples_per_record(handle, c, s.samples);
        code |= edf_set_physical_maximum(handle, c, s.physicalMax);
        code |= edf_set_physical_minimum(handle, c, s.physicalMin);
        if (code != 0)
            return fail(RecordingError::Setup, code);
        code = edf_set_digital_maximum(handle, c, s.digitalMax);
        if (code != 0)
            return fail(RecordingError::DigitalMaximum, code);
        code = edf_set_digital_minimum(handle, c, s.digitalMin);
        if (code != 0)
            return fail(RecordingError::DigitalMinimum, code);
    }
    for (const Note& note : notes) {
        code = edfwrite_annotation_utf8_100ns(handle, note.onset, note.duration,
                                              note.text.constData());
        if (code != 0)
            return fail(RecordingError::Write, code);
    }

    std::vector<int> buffer;
    for (qint64 r = 0; r < records; ++r) {
        for (int c = 0; c < channels; ++c) {
            const Signal& s = outputs[std::size_t(c)];
            buffer.resize(std::size_t(s.samples));
            const qint64 base = r * s.samples;
            // Past the end: the channel's last sample (0 for an empty one).
            const qint32 lastCount = s.stored > 0 ? store.count(c, s.stored - 1) : 0;
            const double step = (s.physicalMax - s.physicalMin) / (s.digitalMax - s.digitalMin);
            for (int i = 0; i < s.samples; ++i) {
                const qint64 at = base + i;
                const qint32 count = at < s.stored ? store.count(c, at) : lastCount;
                int digital;
                if (bdf) {
                    digital = std::clamp(count, s.digitalMin, s.digitalMax);
                } else {
                    const double value = store.physical(c, count) * s.scale;
                    const double d = std::nearbyint((value - s.physicalMin) / step) + s.digitalMin;
                    digital = int(std::clamp(d, double(s.digitalMin), double(s.digitalMax)));
                }
                buffer[std::size_t(i)] = digital;
            }
            code = edfwrite_digital_samples(handle, buffer.data());
            if (code != 0)
                return fail(RecordingError::Write, code);
        }
        result.records = r + 1;
    }

    code = edf_close(handle);
    // A file of the header alone is what an empty store gives.
    if (code != 0 && !(code == EDF_CLOSE_NO_RECORDS && records == 0)) {
        result.error = RecordingError::Close;
        result.code = code;
    }
    return result;
}
