// The capture store: counts that give the volts back, sample times from the
// period, extremes from the pyramid equal to a search of every sample, and
// storage that grows in blocks.
#include <QtTest>
#include <random>

#include "capture/capturestore.h"

namespace
{

CountRange searched(const CaptureStore& store, int c, qint64 from, qint64 to)
{
    CountRange r;
    for (qint64 i = std::max<qint64>(from, 0); i < std::min(to, store.sampleCount(c)); ++i)
        r.add(store.count(c, i));
    return r;
}

} // namespace

class CaptureStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void batchesKeepTheHeadsetsCountsAndGiveTheVoltsBack()
    {
        CaptureStore store;
        const QDateTime start = QDateTime::currentDateTime();
        store.reset(8800, start);
        QCOMPARE(store.startTime(), start);
        QCOMPARE(store.channelCount(), 12);
        QCOMPARE(store.channel(3).unit, QString("V"));
        QVERIFY(qAbs(store.channel(0).samplesPerSecond - 909.0909) < 1e-3);

        std::mt19937 random(3);
        std::uniform_int_distribution<qint32> counts(countMinimum, countMaximum);
        QVector<structSample> batch(64);
        QVector<qint32> sent;
        for (structSample& s : batch) {
            for (int c = 0; c < channelCount; ++c) {
                sent << counts(random);
                s.value[c] = sent.last() * voltsPerCount;
            }
        }
        // The device's range ends, beyond them, and a value that is no number.
        batch[5].value[0] = 100.0;
        batch[6].value[0] = -100.0;
        batch[7].value[0] = std::nan("");
        store.append(batch);
        store.append({});
        QCOMPARE(store.sampleCount(), qint64(64));
        for (int i = 0; i < 64; ++i) {
            for (int c = 0; c < channelCount; ++c) {
                if (c == 0 && i >= 5 && i <= 7)
                    continue;
                QCOMPARE(store.count(c, i), sent[i * channelCount + c]);
                QCOMPARE(store.value(c, i), batch[i].value[c]); // exactly
            }
        }
        QCOMPARE(store.count(0, 5), countMaximum);
        QCOMPARE(store.count(0, 6), countMinimum);
        QCOMPARE(store.count(0, 7), 0);
    }

    void sampleTimesFollowThePeriodAndTheCapturesCount()
    {
        CaptureStore store;
        store.reset(16000, QDateTime());
        store.append(QVector<structSample>(1000));
        QCOMPARE(store.sampleTime(0, 0), 0.002); // one period after the start
        QVERIFY(qAbs(store.sampleTime(7, 999) - 2.0) < 1e-12);
        // Stored after 5000 samples of the capture had been cleared away.
        store.reset(16000, QDateTime(), 5000);
        store.append(QVector<structSample>(10));
        QVERIFY(qAbs(store.sampleTime(0, 0) - 5001 * 0.002) < 1e-12);

        // firstIndexFrom agrees with sampleTime everywhere, on and between samples.
        store.reset(8801, QDateTime(), 17);
        store.append(QVector<structSample>(3000));
        std::mt19937 random(5);
        std::uniform_real_distribution<double> seconds(-1.0, 4.0);
        for (int k = 0; k < 2000; ++k) {
            const double t = k % 2 ? seconds(random) : store.sampleTime(0, k);
            const qint64 i = store.firstIndexFrom(0, t);
            QVERIFY(i >= 0 && i <= store.sampleCount());
            QVERIFY(i == store.sampleCount() || store.sampleTime(0, i) >= t);
            QVERIFY(i == 0 || store.sampleTime(0, i - 1) < t);
        }
    }

    // Ranges of every size and place, over stores grown in uneven pieces, are
    // answered exactly as a search of every sample would answer them.
    void extremesEqualASearchOfEverySample()
    {
        std::mt19937 random(11);
        CaptureChannel a{"Fp1", "uV", 256, 0.5, -3};
        CaptureChannel b{"Resp", "mV", 10, 1, 0};
        CaptureStore store;
        store.reset({a, b}, QDateTime());
        std::uniform_int_distribution<qint32> value(-1000, 1000);
        std::uniform_int_distribution<int> piece(1, 5000);
        while (store.sampleCount(0) < 300000) {
            QVector<qint32> counts(piece(random));
            for (qint32& v : counts)
                v = value(random) + (random() % 997 == 0 ? 5000000 : 0); // rare spikes
            store.appendCounts(0, counts.constData(), counts.size());
            store.appendCounts(1, counts.constData(), counts.size() / 7);
        }
        QCOMPARE(store.physical(0, 10), 2.0);
        for (int c = 0; c < 2; ++c) {
            const qint64 n = store.sampleCount(c);
            std::uniform_int_distribution<qint64> at(-10, n + 10);
            for (int k = 0; k < 300; ++k) {
                qint64 from = at(random), to = at(random);
                if (k % 3 == 0)
                    to = from + k; // short ranges too
                const CountRange ours = store.countRange(c, from, to);
                const CountRange all = searched(store, c, from, to);
                QCOMPARE(ours.empty, all.empty);
                if (!all.empty) {
                    QCOMPARE(ours.min, all.min);
                    QCOMPARE(ours.max, all.max);
                }
            }
        }
        QVERIFY(store.countRange(0, 0, store.sampleCount()).max >= 5000000 - 1000);
        QVERIFY(store.countRange(5, 0, 10).empty); // no such channel
    }

    void resetEmptiesSamplesAndEventsAndEventsKeepTheirOrder()
    {
        CaptureStore store;
        store.reset(16000, QDateTime());
        store.append(QVector<structSample>(100));
        store.addEvent(0, "Старт");
        store.addEvent(64, "Пропуск 3");
        QCOMPARE(store.events().size(), 2);
        QCOMPARE(store.events()[1].sample, quint64(64));
        QCOMPARE(store.events()[1].text, QString("Пропуск 3"));
        store.reset(9000, QDateTime());
        QCOMPARE(store.sampleCount(), qint64(0));
        QVERIFY(store.events().isEmpty());
        QVERIFY(store.countRange(0, 0, 100).empty);
        QCOMPARE(store.period(), quint16(9000));
    }

    // Four bytes a sample and a small summary: growing in blocks, never a copy
    // of the whole capture.
    void storageStaysNearFourBytesASample()
    {
        CaptureStore store;
        store.reset(8800, QDateTime());
        QVector<structSample> batch(64);
        for (int k = 0; k < 20000; ++k) // 1.28 M samples a channel, 23.5 min
            store.append(batch);
        const double perSample = double(store.memoryBytes()) / (store.sampleCount() * 12.0);
        QVERIFY2(perSample < 4.3, qPrintable(QString::number(perSample)));
    }
};

QTEST_GUILESS_MAIN(CaptureStoreTest)
#include "tst_capturestore.moc"
