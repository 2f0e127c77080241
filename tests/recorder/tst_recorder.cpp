// The recording engine, driven as the device drives it (its capture signals,
// queued into the engine's thread), with every file read back by the module's
// reader.
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include "edf/edf.h"
#include "recorder/recorder.h"

// Stands in for the device: the same signals, emitted from the test's thread.
class Source : public QObject
{
    Q_OBJECT
signals:
    void captureStarted(quint16 period);
    void updateDataTime(QVector<structSample>);
    void captureEvent(quint64 sample, QString text);
    void changeCapture(bool value);
    void connection(bool);
};

struct ReadBack {
    bool ok = false;
    int handle = -1;
    edf_header_info hdr{};
    QVector<QVector<int>> digital;
    QVector<edf_annotation_info> annotations;
};

static ReadBack readBack(const QString& path)
{
    ReadBack r;
    const QByteArray name = QFile::encodeName(path);
    if (edf_open_for_reading(name.constData(), &r.hdr, 1) != 0)
        return r;
    for (int c = 0; c < r.hdr.signal_count; ++c) {
        QVector<int> values(int(r.hdr.signal_info[c].samples_in_file));
        if (edfread_digital_samples(r.hdr.handle, c, values.size(), values.data()) != values.size())
            return r;
        r.digital << values;
    }
    for (int i = 0; i < r.hdr.annotation_count; ++i) {
        edf_annotation_info a;
        edf_get_annotation(r.hdr.handle, i, &a);
        r.annotations << a;
    }
    edf_close(r.hdr.handle);
    r.ok = true;
    return r;
}

static structSample sampleOf(const qint32* counts)
{
    structSample s{};
    for (int c = 0; c < channelCount; ++c)
        s.value[c] = counts[c] * voltsPerCount;
    return s;
}

static bool waitFor(const std::function<bool()>& condition, int ms = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

class TestRecorder : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<RecorderThread> engine;
    std::unique_ptr<Source> source;
    QStringList finished, failures;
    QList<bool> finishedOk;
    double progressSeconds = 0;

    Recorder* recorder() { return engine->recorder(); }
    void call(const char* slot, QGenericArgument a = QGenericArgument())
    {
        QMetaObject::invokeMethod(recorder(), slot, Qt::QueuedConnection, a);
    }
    void sendSamples(const QVector<structSample>& all, int from, int to)
    {
        for (int i = from; i < to; i += 64)
            emit source->updateDataTime(all.mid(i, qMin(64, to - i)));
    }

private slots:
    void init()
    {
        QCoreApplication::processEvents(); // what an earlier test's engine said last
        scratch = std::make_unique<QTemporaryDir>();
        QTemporaryDir& dir = *scratch;
        engine = std::make_unique<RecorderThread>();
        source = std::make_unique<Source>();
        connectCapture(source.get(), recorder());
        finished.clear();
        finishedOk.clear();
        failures.clear();
        progressSeconds = 0;
        connect(recorder(), &Recorder::fileFinished, this,
                [this](const QString& path, quint64, bool ok) {
                    finished << path;
                    finishedOk << ok;
                });
        connect(recorder(), &Recorder::failed, this,
                [this](const QString& message) { failures << message; });
        connect(recorder(), &Recorder::progress, this,
                [this](const QString&, double seconds) { progressSeconds = seconds; });
        call("setTarget", Q_ARG(QString, dir.path()));
    }
    void cleanup()
    {
        engine.reset();
        source.reset();
        scratch.reset();
    }

    void recordLayoutKeepsTheRateExactly()
    {
        for (int period = 8800; period <= 65535; ++period) {
            const RecordLayout l = recordLayout(quint16(period));
            // samples / (duration * 10 us) == 8e6 / period, in integers.
            QCOMPARE(qint64(l.samples) * period, qint64(l.duration) * 80);
            QVERIFY2(l.duration >= 60000 && l.duration <= 140000,
                     qPrintable(QString::number(period)));
        }
        QCOMPARE(recordLayout(8800).samples, 909);
    }

    // Every count comes back exactly (negative full scale excepted, see the
    // engine's header), in records whose rate is the capture's, with the last
    // record completed by copies of the last sample, every event at its
    // sample, and physical values within 1 ppm of the headset's microvolts.
    void capturesComeBackExactly_data()
    {
        QTest::addColumn<int>("period");
        QTest::newRow("909 Hz") << 8800;
        QTest::newRow("500 Hz") << 16000;
        QTest::newRow("odd period") << 12345;
        QTest::newRow("122 Hz") << 65535;
    }
    void capturesComeBackExactly()
    {
        QFETCH(int, period);
        const RecordLayout layout = recordLayout(quint16(period));
        const int n = layout.samples * 2 + layout.samples / 3;
        QRandomGenerator rng{quint32(period)};
        QVector<QVector<qint32>> counts(n, QVector<qint32>(channelCount));
        QVector<structSample> samples;
        for (int i = 0; i < n; ++i) {
            for (int c = 0; c < channelCount; ++c)
                counts[i][c] = i < 2 ? (i == 0 ? countMinimum : countMaximum)
                                     : qint32(rng.bounded(1 << 24)) - (1 << 23);
            samples << sampleOf(counts[i].constData());
        }
        struct Event {
            quint64 sample;
            QString text;
        };
        const QVector<Event> events = {
            {0, "start"},
            {quint64(layout.samples - 1), "light"},
            {quint64(layout.samples), "sound"},
            {quint64(n - 5), QString::fromUtf8("Ошибка запуска сбора данных! ( АЦП[1] )")},
        };

        call("setRecording", Q_ARG(bool, true));
        emit source->captureStarted(quint16(period));
        for (const Event& e : events)
            emit source->captureEvent(e.sample, e.text);
        sendSamples(samples, 0, n);
        emit source->changeCapture(false);
        QVERIFY(waitFor([&] { return !finished.isEmpty(); }));
        QVERIFY(finishedOk.first());
        QVERIFY(
            QFileInfo(finished.first())
                .fileName()
                .contains(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.bdf$")));

        const ReadBack r = readBack(finished.first());
        QVERIFY(r.ok);
        QCOMPARE(r.hdr.filetype, int(EDF_FILETYPE_BDFPLUS));
        QCOMPARE(r.hdr.signal_count, channelCount);
        const int spr = r.hdr.signal_info[0].samples_per_record;
        QCOMPARE(qint64(spr) * period * 5, r.hdr.record_duration * 4); // rate exact
        QCOMPARE(r.hdr.record_count, qint64(3));
        QCOMPARE(QByteArray(r.hdr.signal_info[0].physical_dimension).trimmed(), QByteArray("uV"));
        for (int c = 0; c < channelCount; ++c) {
            QCOMPARE(r.digital[c].size(), 3 * spr);
            for (int i = 0; i < 3 * spr; ++i) {
                const qint32 want = qMax(counts[qMin(i, n - 1)][c], -8388607);
                if (r.digital[c][i] != want)
                    QFAIL(qPrintable(QString("chan %1 sample %2: %3 != %4")
                                         .arg(c + 1)
                                         .arg(i)
                                         .arg(r.digital[c][i])
                                         .arg(want)));
            }
        }
        // Physical values as a reader computes them from the header.
        const edf_signal_info& s = r.hdr.signal_info[0];
        const double bit = (s.physical_max - s.physical_min) / (s.digital_max - s.digital_min);
        const double offset = s.physical_max / bit - s.digital_max;
        for (int i = 1; i < n; ++i) {
            const double uv = bit * (offset + counts[i][0]);
            const double want = counts[i][0] * voltsPerCount * 1e6;
            QVERIFY2(qAbs(uv - want) <= 1e-6 * qAbs(want) + 1e-9, qPrintable(QString::number(i)));
        }

        // Texts cut to 40 bytes at a character boundary; onsets within 1 us.
        QMap<QByteArray, qint64> onsets;
        for (const edf_annotation_info& a : r.annotations)
            onsets[a.text] = a.onset;
        QCOMPARE(onsets.size(), events.size() + 1);
        for (Event e : events + QVector<Event>{{quint64(n), "Конец данных"}}) {
            while (e.text.toUtf8().size() > 40)
                e.text.chop(1);
            QVERIFY2(onsets.contains(e.text.toUtf8()), qPrintable(e.text));
            QVERIFY(qAbs(onsets[e.text.toUtf8()] - qint64(e.sample * period * 1.25)) <= 10);
        }
    }

    // After each record the file on disk is a complete file: a copy taken at
    // any progress report (as a kill would leave it) reads back with every
    // record so far and the events in them.
    void fileOnDiskIsCompleteAfterEveryRecord()
    {
        QTemporaryDir& dir = *scratch;
        const quint16 period = 16000;
        const int spr = recordLayout(period).samples;
        QVector<structSample> samples;
        QVector<int> want;
        for (int i = 0; i < 4 * spr; ++i) {
            qint32 counts[channelCount];
            std::fill(counts, counts + channelCount, i);
            samples << sampleOf(counts);
            want << i;
        }
        QString path;
        connect(recorder(), &Recorder::fileStarted, this, [&](const QString& p) { path = p; });
        call("setRecording", Q_ARG(bool, true));
        emit source->captureStarted(period);
        for (int record = 0; record < 4; ++record) {
            emit source->captureEvent(quint64(record * spr + 10),
                                      QStringLiteral("event %1").arg(record));
            sendSamples(samples, record * spr, (record + 1) * spr);
            QVERIFY(waitFor([&] { return progressSeconds >= record + 1; }));
            const QString copy = dir.filePath(QStringLiteral("copy.bdf"));
            QFile::remove(copy);
            QVERIFY(QFile::copy(path, copy));
            const ReadBack r = readBack(copy);
            QVERIFY(r.ok);
            QCOMPARE(r.hdr.record_count, qint64(record + 1));
            QCOMPARE(r.digital[5], want.mid(0, (record + 1) * spr));
            QCOMPARE(r.annotations.size(), record + 1);
            QCOMPARE(QByteArray(r.annotations.last().text),
                     QStringLiteral("event %1").arg(record).toUtf8());
        }
        emit source->changeCapture(false);
        QVERIFY(waitFor([&] { return !finished.isEmpty(); }));
    }

    // Switched on with a backlog (what the window holds of the capture), the
    // file holds the capture from the backlog's first sample on, exactly once
    // each, whether the window is behind the engine or ahead of it; the
    // capture's events before the switch are in it too.
    void aBacklogJoinsTheLiveCaptureWithoutGapOrRepeat_data()
    {
        QTest::addColumn<int>("held");   // samples in the backlog
        QTest::addColumn<int>("engine"); // samples the engine had seen when it arrived
        QTest::newRow("window behind") << 300 << 700;
        QTest::newRow("window ahead") << 700 << 300;
        QTest::newRow("even") << 500 << 500;
    }
    void aBacklogJoinsTheLiveCaptureWithoutGapOrRepeat()
    {
        QFETCH(int, held);
        QFETCH(int, engine);
        const quint16 period = 8800;
        const int n = 3000, first = 40;
        QVector<structSample> samples;
        RecorderBacklog backlog;
        backlog.serial = 1;
        backlog.period = period;
        backlog.start = QDateTime::currentDateTime();
        backlog.first = first;
        for (int i = 0; i < n; ++i) {
            qint32 counts[channelCount];
            std::fill(counts, counts + channelCount, i * 3);
            samples << sampleOf(counts);
            if (i >= first && i < first + held)
                backlog.counts += QVector<qint32>(counts, counts + channelCount);
        }
        backlog.events = {{10, "before the store"}, {100, "held"}};
        emit source->captureStarted(period);
        emit source->captureEvent(quint64(engine - 1), QStringLiteral("seen by the engine"));
        sendSamples(samples, 0, engine);
        call("recordBacklog", Q_ARG(RecorderBacklog, backlog));
        sendSamples(samples, engine, n);
        emit source->captureEvent(quint64(n - 1), QStringLiteral("live"));
        emit source->changeCapture(false);
        QVERIFY(waitFor([&] { return !finished.isEmpty(); }));
        QCOMPARE(finished.size(), 1);
        const ReadBack r = readBack(finished.first());
        QVERIFY(r.ok);
        for (int i = 0; i < n - first; ++i)
            QCOMPARE(r.digital[7][i], (first + i) * 3);
        QStringList texts;
        for (const edf_annotation_info& a : r.annotations)
            texts << QString::fromUtf8(a.text);
        for (const char* t : {"Запись начата", "held", "live"})
            QVERIFY2(texts.contains(t), qPrintable(texts.join("|")));
        QCOMPARE(texts.contains("seen by the engine"), engine - 1 >= first + held);
    }

    // A start confirmed again at the same rate during a capture goes on in the
    // same file, its events counted on; a new rate starts a new file.
    void aStartSentAgainContinuesTheFile()
    {
        const quint16 period = 16000;
        QVector<structSample> samples;
        for (int i = 0; i < 1500; ++i) {
            qint32 counts[channelCount];
            std::fill(counts, counts + channelCount, i);
            samples << sampleOf(counts);
        }
        call("setRecording", Q_ARG(bool, true));
        emit source->captureStarted(period);
        sendSamples(samples, 0, 600);
        emit source->captureStarted(period);
        emit source->changeCapture(true);
        emit source->captureEvent(0, QStringLiteral("again"));
        sendSamples(samples, 600, 1500);
        emit source->captureStarted(8800);
        sendSamples(samples, 0, 100);
        emit source->changeCapture(false);
        QVERIFY(waitFor([&] { return finished.size() == 2; }));
        const ReadBack r = readBack(finished.first());
        QVERIFY(r.ok);
        for (int i = 0; i < 1500; ++i)
            QCOMPARE(r.digital[0][i], i);
        bool found = false;
        for (const edf_annotation_info& a : r.annotations)
            found = found || (QByteArray(a.text) == "again" && a.onset == 600 * 20000);
        QVERIFY(found);
    }

    // Switched on during a capture, a file starts at the next sample; an
    // explicit name that exists is never overwritten; a missing folder stops
    // recording. (A full disk: crash_test.py.)
    void recordingSwitchedOnMidCaptureStartsAtTheNextSample()
    {
        QTemporaryDir& dir = *scratch;
        const quint16 period = 16000;
        const QString name = dir.filePath("session.bdf");
        QFile existing(name);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("keep me");
        existing.close();
        call("setTarget", Q_ARG(QString, name));

        QVector<structSample> samples;
        qint32 counts[channelCount] = {};
        for (int i = 0; i < 1000; ++i) {
            counts[0] = i;
            samples << sampleOf(counts);
        }
        emit source->captureStarted(period);
        sendSamples(samples, 0, 300);
        call("setRecording", Q_ARG(bool, true));
        sendSamples(samples, 300, 1000);
        emit source->captureEvent(700, QStringLiteral("light"));
        emit source->captureEvent(1000, QStringLiteral("Связь потеряна"));
        emit source->connection(false);
        emit source->captureEvent(0, QStringLiteral("refused"));
        emit source->connection(true);
        call("setRecording", Q_ARG(bool, false));
        QVERIFY(waitFor([&] { return !finished.isEmpty(); }));

        QCOMPARE(finished.first(), dir.filePath("session_2.bdf"));
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("keep me"));
        const ReadBack r = readBack(finished.first());
        QVERIFY(r.ok);
        QCOMPARE(r.digital[0].first(), 300);
        QCOMPARE(r.digital[0][699], 999);
        QStringList texts;
        for (const edf_annotation_info& a : r.annotations)
            texts << QString::fromUtf8(a.text) + "@" + QString::number(a.onset / 10000);
        // Onsets in ms from the file's first sample (2 ms per sample); the
        // order in the file is the order in which records had room.
        QStringList want({"Запись начата@0", "light@800", "Связь потеряна@1400", "refused@1400",
                          "Связь восстановлена@1400", "Конец данных@1400"});
        texts.sort();
        want.sort();
        QCOMPARE(texts, want);

        // A folder that does not exist: recording stops with a message.
        call("setTarget", Q_ARG(QString, dir.filePath("missing/folder")));
        call("setRecording", Q_ARG(bool, true));
        emit source->captureStarted(period);
        QVERIFY(waitFor([&] { return !failures.isEmpty(); }));
        QVERIFY(failures.first().contains("missing/folder"));
    }
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
