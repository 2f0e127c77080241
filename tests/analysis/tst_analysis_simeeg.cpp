// The analysis on the simulator's EEG: the peak alpha frequency of the
// posterior channels is the simulated one, and light trains started with the
// headset's own light parameters show as driving at their flash frequencies
// (the events carry the worker's text for a light start).
#include <QtTest>

#include <cmath>
#include <cstring>

#include "analysis/recordinganalysis.h"
#include "eeg.h"

namespace
{

struct Train {
    double onset;      // seconds
    quint16 halfTicks; // flash and pause, 0.05 ms each
    quint16 flashes;
};

// 90 s at 500 Hz of the simulated EEG with the given trains; the light starts
// become events as the worker writes them.
void simulate(CaptureStore& store, double alphaHz, quint32 seed, const QVector<Train>& trains)
{
    sim::Options options;
    options.eeg = true;
    options.alphaHz = alphaHz;
    options.seed = seed;
    sim::EegSignal eeg(options);
    const quint16 period = 16000;
    const double dt = period * CaptureStore::tickSeconds;
    store.reset(period, QDateTime());
    QVector<structSample> batch;
    int next = 0;
    for (qint64 i = 0; i < qint64(90 / dt); ++i) {
        if (next < trains.size() && i * dt >= trains[next].onset) {
            const Train& t = trains[next++];
            structLightParam p{250, t.halfTicks, t.halfTicks, t.flashes, 0, 1};
            uint8_t bytes[sizeof(structLightParam)];
            std::memcpy(bytes, &p, sizeof bytes);
            eeg.lightStart(bytes, 0);
            store.addEvent(quint64(i), QStringLiteral("Свет 100% %1/%1мс x%2 0мс x1")
                                           .arg(t.halfTicks * 0.05)
                                           .arg(t.flashes));
        }
        structSample s{};
        double uv[sim::EegSignal::channels];
        eeg.next(i * dt, dt, uv);
        for (int c = 0; c < channelCount; ++c)
            s.value[c] = uv[c] * 1e-6;
        batch.append(s);
        if (batch.size() == 64) {
            store.append(batch);
            batch.clear();
        }
    }
    store.append(batch);
}

QVector<AnalysisAnnotation> annotationsOf(const CaptureStore& store)
{
    QVector<AnalysisAnnotation> list;
    for (const CaptureEvent& e : store.events())
        list.append({store.sampleTime(0, qint64(e.sample)), -1, e.text});
    return list;
}

// The posterior channels as the simulator places them: P3, P4, O1, O2.
constexpr int posterior[] = {6, 7, 8, 9};

} // namespace

class TestAnalysisSimEeg : public QObject
{
    Q_OBJECT

private slots:
    void peakAlphaIsTheSimulatedOne()
    {
        for (double alpha : {8.6, 10.0, 11.7}) {
            CaptureStore store;
            simulate(store, alpha, 3, {});
            const AnalysisResult r = analyseStore(store, AnalysisRequest());
            for (int c : posterior)
                QVERIFY2(std::fabs(r.channels[c].peakAlpha - alpha) < 0.25,
                         qPrintable(QString("channel %1: %2 Hz for %3 Hz")
                                        .arg(c + 1)
                                        .arg(r.channels[c].peakAlpha)
                                        .arg(alpha)));
        }
    }

    void photicDrivingAtTheFlashFrequencies()
    {
        // 6 Hz (83.3 ms flash and pause) from 20 s and 17 Hz (29.4 ms) from 50 s, 10 s each.
        CaptureStore store;
        simulate(store, 10, 5, {{20, 1667, 60}, {50, 588, 170}});
        AnalysisRequest request;
        request.annotations = annotationsOf(store);
        const AnalysisResult r = analyseStore(store, request);
        QCOMPARE(r.photic.size(), 2);
        const double hz[] = {6, 17};
        for (int t = 0; t < 2; ++t) {
            const PhoticTrain& p = r.photic[t];
            QVERIFY(std::fabs(p.train.frequency - hz[t]) < 0.01);
            QVERIFY(std::fabs(p.train.duration - 10) < 0.01);
            for (int c : {8, 9}) // O1, O2
                QVERIFY2(p.channels[c].drivenDb > 6, qPrintable(QString("%1 Hz, channel %2: %3 dB")
                                                                    .arg(hz[t])
                                                                    .arg(c + 1)
                                                                    .arg(p.channels[c].drivenDb)));
            // Frontal poles hardly follow.
            QVERIFY(p.channels[0].drivenDb < p.channels[8].drivenDb - 6);
        }
    }
};

QTEST_GUILESS_MAIN(TestAnalysisSimEeg)
#include "tst_analysis_simeeg.moc"
