// The analysis of a capture store against closed-form signals: a sine of known
// amplitude has a known band power under every window, two sines share the
// total as their squares do, a sine's frequency is found as the peak, known
// stretches of flat or clipped signal and loss events are counted, a driven
// rhythm shows in the photic report; and a job reads a store that keeps
// growing meanwhile.
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <functional>

#include "analysis/analysisreport.h"
#include "analysis/recordinganalysis.h"
#include "synthetic_eeg.h"

namespace
{

constexpr quint16 period500 = 16000; // 500 Hz

// A live capture whose channel 0 holds f(t) microvolts (the others zero).
void fill(CaptureStore& store, double seconds, const std::function<double(double)>& f,
          quint16 period = period500)
{
    store.reset(period, QDateTime());
    const double fs = 1.0 / (period * CaptureStore::tickSeconds);
    QVector<structSample> batch;
    for (qint64 i = 0; i < qint64(seconds * fs); ++i) {
        structSample s{};
        s.value[0] = f(double(i) / fs) * 1e-6;
        batch.append(s);
        if (batch.size() == 64) {
            store.append(batch);
            batch.clear();
        }
    }
    store.append(batch);
}

double sine(double t, double hz, double amplitude)
{
    return amplitude * std::sin(2 * M_PI * hz * t + 0.3);
}

double noise(quint32& state)
{
    state = state * 1664525u + 1013904223u;
    return double(state >> 8) / double(1 << 24) - 0.5;
}

} // namespace

class TestAnalysis : public QObject
{
    Q_OBJECT

private slots:
    void sinePowerUnderEveryWindow();
    void relativePowerAndMains();
    void peakAlpha();
    void statistics();
    void photicDriving();
    void lightTrainsFromAnnotations();
    void protocolAndHeadsetStartsAreOneTrain();
    void bandsText();
    void jobReadsAGrowingStoreAndCancels();
};

void TestAnalysis::sinePowerUnderEveryWindow()
{
    // A sine of amplitude A carries A^2/2; on a line and between lines.
    for (double hz : {10.0, 10.3}) {
        CaptureStore store;
        fill(store, 60, [hz](double t) { return 40 + sine(t, hz, 20); });
        for (int window = Rectangular; window <= Welch; ++window) {
            // Off a line the rectangular window leaks beyond any band.
            if (window == Rectangular && hz != 10.0)
                continue;
            AnalysisRequest request;
            request.welch.window = window;
            const AnalysisResult r = analyseStore(store, request);
            const ChannelAnalysis& ch = r.channels[0];
            QVERIFY(ch.spectral);
            QCOMPARE(ch.unit, QString("uV"));
            QVERIFY2(
                std::fabs(ch.bandAbsolute[2] / 200 - 1) < 0.01,
                qPrintable(
                    QString("window %1 at %2 Hz: %3").arg(window).arg(hz).arg(ch.bandAbsolute[2])));
            // The DC is removed; little leaks (the Gauss window's side lobes the most).
            QVERIFY2(ch.bandAbsolute[0] < 0.2 && ch.bandAbsolute[4] < 0.2,
                     qPrintable(QString("window %1: %2 %3")
                                    .arg(window)
                                    .arg(ch.bandAbsolute[0])
                                    .arg(ch.bandAbsolute[4])));
        }
    }
}

void TestAnalysis::relativePowerAndMains()
{
    // 6 Hz at 30 uV, 20 Hz at 10 uV, 50 Hz at 20 uV: theta holds 450 of the 500 uV^2 in
    // 0.5-45 Hz; mains 200 of the 700 in 0.5-100 Hz.
    CaptureStore store;
    fill(store, 40, [](double t) { return sine(t, 6, 30) + sine(t, 20, 10) + sine(t, 50, 20); });
    const AnalysisResult r = analyseStore(store, AnalysisRequest());
    const ChannelAnalysis& ch = r.channels[0];
    QVERIFY(std::fabs(ch.bandRelative[1] - 90) < 0.5);
    QVERIFY(std::fabs(ch.bandRelative[3] - 10) < 0.5);
    QVERIFY(std::fabs(ch.mainsPercent - 100.0 * 200 / 700) < 0.5);
    // At 60 Hz there is no mains.
    AnalysisRequest sixty;
    sixty.mainsHz = 60;
    QVERIFY(analyseStore(store, sixty).channels[0].mainsPercent < 0.1);
    // A silent channel has no relative powers to give; nor has a dead one at a constant
    // offset, whose power is none at all (not the rounding left by removing its mean).
    QVERIFY(std::isnan(r.channels[1].bandRelative[0]));
    CaptureStore dead;
    fill(dead, 30, [](double) { return 123.456; });
    const ChannelAnalysis& flat = analyseStore(dead, AnalysisRequest()).channels[0];
    QVERIFY(flat.spectral && std::isnan(flat.peakAlpha) && std::isnan(flat.mainsPercent));
    for (int b = 0; b < 5; ++b)
        QVERIFY(flat.bandAbsolute[b] == 0 && std::isnan(flat.bandRelative[b]));
}

void TestAnalysis::peakAlpha()
{
    // The simulated EEG: alpha among theta, beta, mains, wander and noise, at 909 Hz.
    for (double hz : {8.7, 10.0, 11.3, 12.6}) {
        CaptureStore store;
        fillSyntheticEeg(store, 8800, 60, 3, hz);
        const AnalysisResult r = analyseStore(store, AnalysisRequest());
        for (const ChannelAnalysis& ch : r.channels)
            QVERIFY2(
                std::fabs(ch.peakAlpha - hz) < 0.25,
                qPrintable(QString("%1: %2 Hz for %3").arg(ch.label).arg(ch.peakAlpha).arg(hz)));
    }
    // No peak where the power only falls across the band.
    CaptureStore slope;
    quint32 state = 5;
    double level = 0;
    fill(slope, 60, [&](double) { return level = 0.995 * level + noise(state) * 50; });
    QVERIFY(std::isnan(analyseStore(slope, AnalysisRequest()).channels[0].peakAlpha));
}

void TestAnalysis::statistics()
{
    // 100 s at 500 Hz: 10 + 30 sin(3 Hz), then 1.5 s flat at 7 uV, 0.5 s flat (too short to
    // count), 0.25 s beyond the converter's range.
    CaptureStore store;
    fill(store, 100, [](double t) {
        if (t >= 40 && t < 41.5)
            return 7.0;
        if (t >= 60 && t < 60.5)
            return 3.0;
        if (t >= 80 && t < 80.25)
            return 1e7; // 10 V: clipped
        return 10 + 30 * std::sin(2 * M_PI * 3 * t);
    });
    AnalysisRequest request;
    request.from = 20;
    request.to = 90;
    request.annotations = {{30, -1, "Потеря отсчётов: 91"},
                           {95, -1, "Потеря отсчётов: 5"},
                           {31, -1, "Связь потеряна"}};
    const AnalysisResult r = analyseStore(store, request);
    const ChannelAnalysis& ch = r.channels[0];
    QCOMPARE(ch.samples, qint64(70 * 500));
    QVERIFY(std::fabs(ch.flatSeconds - 1.5) < 0.01);
    QVERIFY(std::fabs(ch.limitSeconds - 0.25) < 0.01);
    QCOMPARE(ch.lostSamples, qint64(91));
    QVERIFY(std::fabs(ch.lostPercent - 100.0 * 91 / 35000) < 1e-9);
    QVERIFY(std::fabs(ch.maximum - 8388607 * voltsPerCount * 1e6) < 1e-6);

    // Without the odd stretches: the sine's mean, SD, RMS and extremes.
    request.to = 39;
    const ChannelAnalysis& plain = analyseStore(store, request).channels[0];
    QVERIFY(std::fabs(plain.mean - 10) < 0.01);
    QVERIFY(std::fabs(plain.sd - 30 / std::sqrt(2.0)) < 0.01);
    QVERIFY(std::fabs(plain.rms - std::sqrt(100 + 450.0)) < 0.01);
    // The extremes to within one count of the headset (0.49 uV).
    const double count = voltsPerCount * 1e6;
    QVERIFY(std::fabs(plain.minimum + 20) < count && std::fabs(plain.maximum - 40) < count);
    QVERIFY(std::fabs(plain.peakToPeak - 60) < 2 * count);
    QCOMPARE(plain.flatSeconds, 0.0);
    QCOMPARE(plain.lostSamples, qint64(91));
}

void TestAnalysis::photicDriving()
{
    // Background alpha and noise; trains at 6 and 15 Hz drive a response at the flash
    // frequency (8 uV) and its double (4 uV) while they run.
    const QVector<LightTrain> trains = {{20, 10, 6, {}}, {45, 10, 15, {}}};
    CaptureStore store;
    quint32 state = 9;
    fill(store, 70, [&](double t) {
        double v = sine(t, 10, 15) + noise(state) * 20;
        for (const LightTrain& tr : trains)
            if (t >= tr.onset && t < tr.onset + tr.duration)
                v += sine(t, tr.frequency, 8) + sine(t, 2 * tr.frequency, 4);
        return v;
    });
    AnalysisRequest request;
    request.annotations = {{20, 10, "Фотостимуляция 6 Гц"},
                           {45, 10, "Фотостимуляция 15 Гц (14,98 Гц)"},
                           {62, -1, "Глаза закрыты"}};
    const AnalysisResult r = analyseStore(store, request);
    QCOMPARE(r.photic.size(), 2);
    for (int t = 0; t < 2; ++t) {
        const PhoticTrain& p = r.photic[t];
        // The frequency achieved, in brackets, stands for the one asked.
        QCOMPARE(p.train.frequency, t == 0 ? 6.0 : 14.98);
        QCOMPARE(p.restSeconds, 10.0);
        QVERIFY2(p.channels[0].drivenDb > 6 && p.channels[0].harmonicDb > 3,
                 qPrintable(QString("%1 Hz: %2 dB, %3 dB")
                                .arg(p.train.frequency)
                                .arg(p.channels[0].drivenDb)
                                .arg(p.channels[0].harmonicDb)));
    }
    // 0.4 s trains (0.4 s segments, lines 2.5 Hz apart): at 15 Hz the flash frequency and
    // its double lie apart and are measured; at 4 Hz they share lines and are not.
    request.annotations = {{20, 0.4, "Фотостимуляция 15 Гц"}, {45, 0.4, "Фотостимуляция 4 Гц"}};
    const AnalysisResult brief = analyseStore(store, request);
    QCOMPARE(brief.photic.size(), 2);
    QVERIFY(std::isfinite(brief.photic[0].channels[0].drivenDb));
    QVERIFY(std::isnan(brief.photic[1].channels[0].trainPower) &&
            std::isnan(brief.photic[1].channels[0].drivenDb) &&
            photicTable(brief).rows[channelCount][5].isEmpty());
    // A train outside the range is left out.
    request.annotations = {{20, 10, "Фотостимуляция 6 Гц"}, {45, 10, "Фотостимуляция 15 Гц"}};
    request.to = 50;
    QCOMPARE(analyseStore(store, request).photic.size(), 1);
    const AnalysisTable table = photicTable(r);
    QCOMPARE(table.rows.size(), 2 * channelCount);
}

void TestAnalysis::lightTrainsFromAnnotations()
{
    const QVector<LightTrain> trains = findLightTrains({
        {100, -1, "Свет 100% 50/50мс x10 1000мс x1"}, // 10 Hz, 10 flashes: 1 s
        {50, -1, "Свет 40% 25/75мс x20 500мс x3"},    // 10 Hz, 3 x 2 s + 2 x 0.5 s
        {200, -1, "Фотостимуляция 8 Гц"},             // until the stop
        {204, -1, "Свет: стоп"},
        {300, 20, "Фотостимуляция 12.5 Гц"}, // cut short
        {305, -1, "Фотостимуляция прервана"},
        {400, -1, "Фотостимуляция 3 Гц"}, // no end: left out
        {401, -1, "Свет: модуль отключен"},
    });
    QCOMPARE(trains.size(), 4);
    QCOMPARE(trains[0].onset, 50.0);
    QCOMPARE(trains[0].duration, 7.0);
    QCOMPARE(trains[1].duration, 1.0);
    QCOMPARE(trains[1].frequency, 10.0);
    QCOMPARE(trains[2].frequency, 8.0);
    QCOMPARE(trains[2].duration, 4.0);
    QCOMPARE(trains[3].frequency, 12.5);
    QCOMPARE(trains[3].duration, 5.0);
    // A protocol's train where the headset confirmed it: its annotation and the light start.
    const QVector<LightTrain> twins = findLightTrains({
        {20, -1, "Свет 100% 10/40мс x500 0мс x1"},
        {20, 10, "Фотостимуляция 20 Гц"},
    });
    QCOMPARE(twins.size(), 1);
    QCOMPARE(twins[0].text, QString("Фотостимуляция 20 Гц"));
    QCOMPARE(twins[0].duration, 10.0);
    QCOMPARE(lostSamplesOf("Потеря отсчётов: 1234"), qint64(1234));
}

void TestAnalysis::protocolAndHeadsetStartsAreOneTrain()
{
    // Trains of 10 s at 10 Hz from 30 s and at 20 Hz from 60 s, each noted by the protocol
    // and by the headset's light start, in either order, together or a little apart, with
    // or without the protocol's duration: two trains of 10 s, each with its 10 s of rest.
    CaptureStore store;
    quint32 state = 3;
    fill(store, 80, [&](double) { return noise(state) * 20; });
    const QString light10 = "Свет 100% 10/90мс x100 0мс x1",
                  light20 = "Свет 100% 10/40мс x200 0мс x1";
    const QVector<QVector<AnalysisAnnotation>> notes = {
        {{30, -1, "Фотостимуляция 10 Гц"},
         {30, -1, light10},
         {60, -1, "Фотостимуляция 20 Гц"},
         {60, -1, light20}},
        {{30, -1, light10},
         {30.02, -1, "Фотостимуляция 10 Гц"},
         {60, -1, light20},
         {60.02, -1, "Фотостимуляция 20 Гц"}},
        {{30.03, -1, light10},
         {30, 10, "Фотостимуляция 10 Гц"},
         {60.03, -1, light20},
         {60, 10, "Фотостимуляция 20 Гц"}},
        // A headset's start within a train the protocol announced.
        {{30, 10, "Фотостимуляция 10 Гц"},
         {30.5, -1, light10},
         {60, 10, "Фотостимуляция 20 Гц"},
         {60.5, -1, light20}},
    };
    for (int v = 0; v < notes.size(); ++v) {
        AnalysisRequest request;
        request.annotations = notes[v];
        const AnalysisResult r = analyseStore(store, request);
        const QString what = QString("variant %1: %2 trains").arg(v).arg(r.photic.size());
        QVERIFY2(r.photic.size() == 2, qPrintable(what));
        for (int t = 0; t < 2; ++t) {
            const PhoticTrain& p = r.photic[t];
            QVERIFY2(std::fabs(p.train.onset - (30 + 30 * t)) < 0.05 &&
                         std::fabs(p.train.duration - 10) < 1e-9 &&
                         p.train.frequency == 10.0 * (t + 1) &&
                         p.train.text.startsWith("Фотостимуляция") &&
                         std::fabs(p.restSeconds - 10) < 1e-9,
                     qPrintable(QString("%1, #%2 at %3 s for %4 s, %5 Hz, rest %6 s")
                                    .arg(what)
                                    .arg(t)
                                    .arg(p.train.onset)
                                    .arg(p.train.duration)
                                    .arg(p.train.frequency)
                                    .arg(p.restSeconds)));
        }
    }
}

void TestAnalysis::bandsText()
{
    QVector<FrequencyBand> bands;
    QVERIFY(parseBands(formatBands(defaultBands()), bands));
    QCOMPARE(bands.size(), 5);
    QCOMPARE(bands[4].name, QString("gamma"));
    QVERIFY(parseBands("1-4, mu : 8.5-12", bands));
    QCOMPARE(bands[0].name, QString("1-4"));
    QCOMPARE(bands[1].low, 8.5);
    for (const char* bad : {"", "alpha", "alpha:13-8", "a:1-2,,b:3-4", "x:1-1"})
        QVERIFY2(!parseBands(bad, bands), bad);
    QCOMPARE(bands.size(), 2); // a failed parse leaves them

    // A band holds its lower edge and not its upper: 10 Hz lies in 10-11, not in 9-10.
    CaptureStore store;
    fill(store, 20, [](double t) { return sine(t, 10, 10); });
    AnalysisRequest request;
    request.welch.window = Rectangular;
    parseBands("below:9-10,from:10-11", request.bands);
    const AnalysisResult r = analyseStore(store, request);
    QVERIFY(r.channels[0].bandAbsolute[0] < 1e-6);
    QVERIFY(std::fabs(r.channels[0].bandAbsolute[1] - 50) < 0.1);
    // CSV: the exact header, labels without trailing spaces, a quoted comma.
    AnalysisResult labelled = r;
    labelled.channels[0].label = "Fp1, left";
    const QByteArray csv = tableCsv(bandTable(labelled));
    QVERIFY(csv.startsWith("channel,band,low_hz,high_hz,absolute_uv2,relative_percent\n"
                           "\"Fp1, left\",below,9,10,"));
}

void TestAnalysis::jobReadsAGrowingStoreAndCancels()
{
    // The job reads the first 200 s while the owner appends 200 s more (the store's block
    // table grows meanwhile); its figures are those of the first 200 s.
    CaptureStore store;
    fillSyntheticEeg(store, 8800, 200, 11);
    AnalysisRequest request;
    const AnalysisResult alone = analyseStore(store, request);

    CaptureStore growing;
    fillSyntheticEeg(growing, 8800, 200, 11);
    AnalysisJob job;
    QSignalSpy finished(&job, &AnalysisJob::finished);
    QVERIFY(job.start(growing, request));
    QVERIFY(!job.start(growing, request));
    QVector<structSample> batch(64);
    for (int i = 0; i < 200 * 909 / 64; ++i) {
        for (structSample& s : batch)
            s.value[0] = 1e-4 * (i % 7);
        growing.append(batch);
    }
    QVERIFY(finished.wait(20000));
    const auto result = finished.first().first().value<QSharedPointer<AnalysisResult>>();
    QVERIFY(!result->cancelled);
    for (int c = 0; c < channelCount; ++c)
        for (int b = 0; b < 5; ++b)
            QCOMPARE(result->channels[c].bandAbsolute[b], alone.channels[c].bandAbsolute[b]);

    // A cancel ends the work early.
    QVERIFY(job.start(growing, request));
    job.cancel();
    QVERIFY(finished.wait(20000));
    QVERIFY(finished.last().first().value<QSharedPointer<AnalysisResult>>()->cancelled);
}

QTEST_GUILESS_MAIN(TestAnalysis)
#include "tst_analysis.moc"
