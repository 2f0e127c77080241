// Save of a capture store, read back by our reader: the counts and the time
// base of a live capture, the 16-bit range of each channel, channels of their
// own rates, the events, and how failures of the disk are reported.

#include "capture/capturestore.h"
#include "capture/recordingfile.h"
#include "edf/edf.h"
#include "recorder/capturefile.h"
#include "recorder/recorder.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace
{

// A file opened by our reader, closed with the object.
struct ReadBack {
    edf_header_info hdr{};
    bool ok = false;
    explicit ReadBack(const QString& path)
    {
        ok = edf_open_for_reading(QFile::encodeName(path).constData(), &hdr, 1) == 0;
    }
    ~ReadBack()
    {
        if (ok)
            edf_close(hdr.handle);
    }
    std::vector<int> digital(int signal)
    {
        std::vector<int> v(std::size_t(hdr.signal_info[signal].samples_in_file));
        edf_rewind(hdr.handle, signal);
        const int n = edfread_digital_samples(hdr.handle, signal, int(v.size()), v.data());
        v.resize(std::size_t(std::max(n, 0)));
        return v;
    }
    std::vector<double> physical(int signal)
    {
        std::vector<double> v(std::size_t(hdr.signal_info[signal].samples_in_file));
        edf_rewind(hdr.handle, signal);
        const int n = edfread_physical_samples(hdr.handle, signal, int(v.size()), v.data());
        v.resize(std::size_t(std::max(n, 0)));
        return v;
    }
    QVector<QPair<qint64, QString>> annotations()
    {
        QVector<QPair<qint64, QString>> list;
        for (int i = 0; i < hdr.annotation_count; ++i) {
            edf_annotation_info a{};
            if (edf_get_annotation(hdr.handle, i, &a) == 0)
                list << qMakePair(qint64(a.onset), QString::fromUtf8(a.text));
        }
        return list;
    }
};

// A live capture of `n` samples at `period` ticks, random counts over the
// whole 24-bit range on every channel.
std::unique_ptr<CaptureStore> randomLiveStore(quint16 period, qint64 n, quint64 firstSample,
                                              quint32 seed)
{
    auto store = std::make_unique<CaptureStore>();
    store->reset(period, QDateTime(QDate(2026, 12, 8), QTime(14, 3, 22, 400)), firstSample);
    QRandomGenerator random(seed);
    QVector<structSample> batch;
    for (qint64 i = 0; i < n; ++i) {
        structSample s{};
        for (int c = 0; c < channelCount; ++c) {
            const qint32 count =
                i == 0 && c == 0 ? countMinimum : qint32(random.bounded(-8388608, 8388608));
            s.value[c] = count * voltsPerCount;
        }
        batch << s;
    }
    store->append(batch);
    return store;
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString pathOf(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // BDF+: every count as it is, the engine's layout and range, the start
    // of the first stored sample, the events at their samples' times, and a
    // last record completed with copies and marked.
    void bdfKeepsEveryCountTheTimeBaseAndTheEvents()
    {
        const quint16 period = 8800; // 909.091 Hz
        const RecordLayout layout = recordLayout(period);
        const qint64 n = 2 * layout.samples + 100;
        const quint64 first = 5000; // the plots were cleared after 5000 samples
        auto store = randomLiveStore(period, n, first, 1);
        store->addEvent(first + 10, "Свет: старт");
        store->addEvent(first + quint64(n), "Остановка сбора");
        const QString path = pathOf("live.bdf");
        const RecordingResult result =
            saveRecording(QFile::encodeName(path), *store, RecordingFormat::Bdf);
        QVERIFY(result.ok());
        QCOMPARE(result.records, qint64(3));

        ReadBack file(path);
        QVERIFY(file.ok);
        QCOMPARE(file.hdr.filetype, int(EDF_FILETYPE_BDFPLUS));
        QCOMPARE(file.hdr.signal_count, 12);
        QCOMPARE(file.hdr.record_duration, qint64(layout.duration) * 100);
        // 5000 samples of 1.1 ms after 14:03:22.4 is 14:03:27.9: whole seconds.
        QCOMPARE(file.hdr.start_hour * 3600 + file.hdr.start_minute * 60 + file.hdr.start_second,
                 14 * 3600 + 3 * 60 + 27);
        for (int c = 0; c < 12; ++c) {
            const edf_signal_info& info = file.hdr.signal_info[c];
            QCOMPARE(QString(info.label).trimmed(), QString("chan. %1").arg(c + 1));
            QCOMPARE(QString(info.physical_dimension).trimmed(), QString("uV"));
            QCOMPARE(info.physical_max, Recorder::physicalMaximum);
            QCOMPARE(info.samples_per_record, layout.samples);
            const std::vector<int> values = file.digital(c);
            QCOMPARE(qint64(values.size()), 3 * qint64(layout.samples));
            for (qint64 i = 0; i < qint64(values.size()); ++i) {
                const qint32 stored = store->count(c, std::min(i, n - 1));
                QCOMPARE(values[std::size_t(i)], std::max(stored, -8388607));
            }
        }
        const auto notes = file.annotations();
        QCOMPARE(notes.size(), 3);
        QCOMPARE(notes[0].second, QString("Свет: старт"));
        QCOMPARE(notes[0].first, qint64(10 * 11000)); // 100 ns units
        QCOMPARE(notes[1].second, QString("Остановка сбора"));
        QCOMPARE(notes[1].first, n * 11000);
        QCOMPARE(notes[2].second, recordingEndText());
        QCOMPARE(notes[2].first, n * 11000);
    }

    // EDF+: each channel's range is that of its data, so every value comes
    // back within half of that channel's own step, whatever its size.
    void edfValuesAreWithinHalfAStepOfTheirChannel()
    {
        auto store = std::make_unique<CaptureStore>();
        store->reset(16000, QDateTime::currentDateTime());
        QRandomGenerator random(7);
        const double amplitudes[12] = {20e-6, 1e-6, 300e-6, 4.1, 0,    2e-3,
                                       50e-6, 5e-7, 1e-4,   1.0, 7e-6, 0.2};
        QVector<structSample> batch;
        for (int i = 0; i < 1700; ++i) {
            structSample s{};
            for (int c = 0; c < 12; ++c)
                s.value[c] =
                    amplitudes[c] * (random.generateDouble() * 2 - 1) + (c == 4 ? 1e-3 : 0);
            batch << s;
        }
        store->append(batch);
        const QString path = pathOf("ranges.edf");
        QVERIFY(saveRecording(QFile::encodeName(path), *store, RecordingFormat::Edf).ok());

        ReadBack file(path);
        QVERIFY(file.ok);
        QCOMPARE(file.hdr.filetype, int(EDF_FILETYPE_EDFPLUS));
        for (int c = 0; c < 12; ++c) {
            const edf_signal_info& info = file.hdr.signal_info[c];
            const double step = (info.physical_max - info.physical_min) / 65535.0;
            const CountRange range = store->countRange(c, 0, 1700);
            const double span = (range.max - range.min) * voltsPerCount * 1e6;
            // The step is that of the channel's own span (the 8-character
            // header widens it a little at most).
            QVERIFY2(span == 0 || step <= span / 65535.0 * 1.01 + 1e-7,
                     qPrintable(QString("channel %1 step %2 span %3").arg(c).arg(step).arg(span)));
            const std::vector<double> values = file.physical(c);
            QVERIFY(values.size() >= 1700);
            for (int i = 0; i < 1700; ++i) {
                const double expected = store->value(c, i) * 1e6;
                QVERIFY2(std::fabs(values[std::size_t(i)] - expected) <= step / 2 * 1.000001,
                         qPrintable(QString("channel %1 sample %2").arg(c).arg(i)));
            }
        }
    }

    // A store of channels with their own labels, units and rates (a file read
    // back): a record duration in which each has whole samples; rates that
    // allow none are refused.
    void channelsOfTheirOwnRatesKeepThem()
    {
        QVector<CaptureChannel> channels(2);
        channels[0] = {"Fp1", "uV", 200, 0.5, -3};
        channels[1] = {"Resp", "mV", 0.5, 0.01, 0};
        CaptureStore store;
        store.reset(channels, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)));
        std::vector<qint32> a(1000), b(3);
        for (int i = 0; i < 1000; ++i)
            a[std::size_t(i)] = i * 37 % 2001 - 1000;
        b = {5, -7, 9};
        store.appendCounts(0, a.data(), qint64(a.size()));
        store.appendCounts(1, b.data(), qint64(b.size()));
        for (RecordingFormat format : {RecordingFormat::Bdf, RecordingFormat::Edf}) {
            const QString path = pathOf(format == RecordingFormat::Bdf ? "own.bdf" : "own.edf");
            const RecordingResult result = saveRecording(QFile::encodeName(path), store, format);
            QVERIFY(result.ok());
            QCOMPARE(result.duration, 200000); // 2 s: 400 and 1 samples
            ReadBack file(path);
            QVERIFY(file.ok);
            QCOMPARE(file.hdr.signal_count, 2);
            QCOMPARE(QString(file.hdr.signal_info[0].label).trimmed(), QString("Fp1"));
            QCOMPARE(QString(file.hdr.signal_info[1].physical_dimension).trimmed(), QString("mV"));
            QCOMPARE(file.hdr.signal_info[0].samples_per_record, 400);
            QCOMPARE(file.hdr.signal_info[1].samples_per_record, 1);
            QCOMPARE(file.hdr.start_year, 2026);
            QCOMPARE(file.hdr.start_second, 5);
            const std::vector<double> fp1 = file.physical(0), resp = file.physical(1);
            const double tolerance = format == RecordingFormat::Bdf ? 1e-6 : 1000 / 65535.0;
            for (int i = 0; i < 1000; ++i)
                QVERIFY(std::fabs(fp1[std::size_t(i)] - store.value(0, i)) <= tolerance);
            for (int i = 0; i < 3; ++i)
                QVERIFY(std::fabs(resp[std::size_t(i)] - store.value(1, i)) <= 0.16 / 65535 + 1e-9);
        }
        channels[1].samplesPerSecond = 100 * std::sqrt(2.0);
        store.reset(channels, QDateTime::currentDateTime());
        const QString refused = pathOf("refused.edf");
        QCOMPARE(saveRecording(QFile::encodeName(refused), store, RecordingFormat::Edf).error,
                 RecordingError::Layout);
        QVERIFY(!QFile::exists(refused));
    }

    // A file of another writer, read and saved again: every annotation keeps
    // its onset to the file's 100 ns and its duration, and the copy has the
    // file's length, though its first signal is 1 Hz and an annotation lies a
    // millisecond before its end.
    void aReadFileSavedAgainKeepsItsAnnotationsAndLength()
    {
        const QString original = pathOf("other-writer.edf");
        {
            const QByteArray name = QFile::encodeName(original);
            const int h = edf_open_for_writing(name.constData(), EDF_FILETYPE_EDFPLUS, 2);
            QVERIFY(h >= 0);
            const int rates[2] = {1, 10};
            for (int s = 0; s < 2; ++s) {
                QCOMPARE(edf_set_samples_per_record(h, s, rates[s]), 0);
                QCOMPARE(edf_set_physical_maximum(h, s, 100), 0);
                QCOMPARE(edf_set_physical_minimum(h, s, -100), 0);
                QCOMPARE(edf_set_digital_maximum(h, s, 32767), 0);
                QCOMPARE(edf_set_digital_minimum(h, s, -32768), 0);
                QCOMPARE(edf_set_physical_dimension(h, s, "uV"), 0);
            }
            QCOMPARE(edf_set_number_of_annotation_signals(h, 2), 0);
            QCOMPARE(edfwrite_annotation_utf8_100ns(h, 102500000, 25000000, "Eyes closed"), 0);
            QCOMPARE(edfwrite_annotation_utf8_100ns(h, 207000001, -1, "Spike"), 0);
            QCOMPARE(edfwrite_annotation_utf8_100ns(h, 599990000, 0, "Last"), 0);
            std::vector<int> samples(11);
            for (int r = 0; r < 60; ++r) {
                for (int i = 0; i < 11; ++i)
                    samples[std::size_t(i)] = (r * 11 + i) * 40 - 13000;
                QCOMPARE(edfwrite_block_digital_samples(h, samples.data()), 0);
            }
            QCOMPARE(edf_close(h), 0);
        }
        LoadedRecording shown;
        readRecording(original, shown);
        QVERIFY(shown.ok());
        for (RecordingFormat format : {RecordingFormat::Edf, RecordingFormat::Bdf}) {
            const QString copy = pathOf(format == RecordingFormat::Edf ? "again.edf" : "again.bdf");
            QVERIFY(saveRecording(QFile::encodeName(copy), shown.store, format).ok());
            ReadBack file(copy);
            QVERIFY(file.ok);
            QCOMPARE(file.hdr.file_duration, qint64(60) * EDF_TIME_DIMENSION);
            QCOMPARE(file.hdr.signal_info[0].samples_in_file, qint64(60));
            QMap<QString, QPair<qint64, qint64>> got;
            for (int i = 0; i < file.hdr.annotation_count; ++i) {
                edf_annotation_info a{};
                QCOMPARE(edf_get_annotation(file.hdr.handle, i, &a), 0);
                got[QString::fromUtf8(a.text)] = {a.onset, a.duration};
            }
            QCOMPARE(got.size(), 3);
            QCOMPARE(got["Eyes closed"], qMakePair(qint64(102500000), qint64(25000000)));
            QCOMPARE(got["Spike"], qMakePair(qint64(207000001), -EDF_TIME_DIMENSION));
            QCOMPARE(got["Last"], qMakePair(qint64(599990000), qint64(0)));
        }
    }

    // A 20 uV 10 Hz sine saved and read back by MNE-Python: within half of
    // the file's step and below 0.5 uV in EDF+, the counts themselves in BDF+.
    void mneReadsATwentyMicrovoltSine()
    {
        QString python;
        for (const QString& candidate : {QString("/usr/bin/python3"), QString("python3")}) {
            QProcess probe;
            probe.start(candidate, {"-c", "import mne"});
            if (probe.waitForFinished(60000) && probe.exitCode() == 0) {
                python = candidate;
                break;
            }
        }
        if (python.isEmpty())
            QSKIP("MNE-Python is not installed (scripts/install-deps installs it)");

        const quint16 period = 8800;
        CaptureStore store;
        store.reset(period, QDateTime::currentDateTime());
        QVector<structSample> batch;
        const int n = 9000; // 9.9 s, the last record partial
        for (int i = 0; i < n; ++i) {
            structSample s{};
            const double t = (i + 1) * period * 1.25e-7;
            for (int c = 0; c < channelCount; ++c)
                s.value[c] = 20e-6 * std::sin(2 * M_PI * 10 * t + c);
            batch << s;
        }
        store.append(batch);
        const char* script = R"(
import sys, mne
read = mne.io.read_raw_bdf if sys.argv[1].endswith('.bdf') else mne.io.read_raw_edf
raw = read(sys.argv[1], preload=True, verbose='error')
print(repr(float(raw.info['sfreq'])))
print(' '.join(repr(float(v)) for v in raw.get_data()[0]))
)";
        for (RecordingFormat format : {RecordingFormat::Edf, RecordingFormat::Bdf}) {
            const bool bdf = format == RecordingFormat::Bdf;
            const QString path = pathOf(bdf ? "sine.bdf" : "sine.edf");
            QVERIFY(saveRecording(QFile::encodeName(path), store, format).ok());
            double step = 0;
            {
                ReadBack file(path);
                QVERIFY(file.ok);
                const edf_signal_info& info = file.hdr.signal_info[0];
                step = (info.physical_max - info.physical_min) /
                       double(info.digital_max - info.digital_min);
            }
            QProcess reader;
            reader.start(python, {"-c", script, path});
            QVERIFY(reader.waitForFinished(120000));
            QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
            const QList<QByteArray> lines = reader.readAllStandardOutput().trimmed().split('\n');
            QCOMPARE(lines.size(), 2);
            QVERIFY(std::fabs(lines[0].toDouble() - 8e6 / period) < 1e-6);
            const QList<QByteArray> values = lines[1].split(' ');
            QVERIFY(values.size() >= n);
            double worst = 0;
            for (int i = 0; i < n; ++i) {
                const double microvolts = values[i].toDouble() * 1e6;
                worst = std::max(worst, std::fabs(microvolts - store.value(0, i) * 1e6));
                if (bdf)
                    QCOMPARE(qint32(std::lround(microvolts / step)), store.count(0, i));
            }
            qInfo("%s: 20 uV 10 Hz sine read back by MNE: step %.6g uV, worst error %.3g uV",
                  bdf ? "BDF+" : "EDF+", step, worst);
            if (bdf) {
                QVERIFY(worst < 1e-5); // the count's value, to the 0.1 ppm of the header's range
            } else {
                QVERIFY(worst <= step / 2 * 1.0001);
                QVERIFY(worst < 0.5);
            }
        }
    }

    void emptyStoreWritesTheHeaderAlone()
    {
        CaptureStore store;
        const QString path = pathOf("empty.edf");
        const RecordingResult result =
            saveRecording(QFile::encodeName(path), store, RecordingFormat::Edf);
        QVERIFY(result.ok());
        QCOMPARE(result.records, qint64(0));
        QCOMPARE(QFileInfo(path).size(), qint64(256 * 14));
    }

    void reportsFilesThatCannotBeWritten()
    {
        auto store = randomLiveStore(16000, 1200, 0, 3);
        const QString missing = pathOf("no-such-dir/rec.edf");
        RecordingResult result =
            saveRecording(QFile::encodeName(missing), *store, RecordingFormat::Edf);
        QCOMPARE(result.error, RecordingError::Open);
        QVERIFY(!QFile::exists(missing));
        if (!QFile::exists("/dev/full"))
            QSKIP("no /dev/full here");
        for (qint64 n : {qint64(0), qint64(1200)}) {
            auto part = randomLiveStore(16000, n, 0, 4);
            result = saveRecording("/dev/full", *part, RecordingFormat::Bdf);
            QVERIFY(!result.ok());
            QCOMPARE(result.records, qint64(0));
        }
    }

    void keepsTheCompletedRecordsWhenTheDiskFillsUp()
    {
        // Let the file grow to 2.5 records only: the third record's write
        // fails, the first two stay, and the count is patched to 2.
        const int recordBytes = 12 * 500 * 3 + 120;
        const rlim_t limit = 256 * 14 + 2 * recordBytes + recordBytes / 2;
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < limit)
            QSKIP("file size limit already below the test's");
        auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = limit;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);

        auto store = randomLiveStore(16000, 5 * 500, 0, 5);
        const QString path = pathOf("filled.bdf");
        const RecordingResult result =
            saveRecording(QFile::encodeName(path), *store, RecordingFormat::Bdf);

        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QCOMPARE(result.error, RecordingError::Write);
        QCOMPARE(result.records, qint64(2));
        ReadBack file(path);
        QVERIFY(file.ok);
        QCOMPARE(file.hdr.record_count, qint64(2));
        QCOMPARE(file.digital(11)[999], store->count(11, 999));
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "tst_capturefile.moc"
