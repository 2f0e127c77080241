// The display filters, measured as the plot uses them: sines riding on an
// electrode's standing offset, fed through the running filter in the batches
// the device delivers, their amplitude read back after the filter settles.

#include "analysis/displayfilter.h"

#include <QtTest>

#include <cmath>
#include <random>
#include <vector>

namespace
{

constexpr double pi = 3.14159265358979323846;
constexpr double offsetVolts = 0.3; // a large but ordinary electrode offset
constexpr double amplitude = 50e-6; // an alpha rhythm's size
constexpr std::size_t batch = 64;   // samples per delivered batch

// Butterworth magnitude of the designed filters: the bilinear transform maps
// f to tan(pi f / fs), so the response is exact at the cut-off.
double warp(double f, double fs)
{
    return std::tan(pi * f / fs);
}
double butterLowPass(double f, double fc, double fs, int order)
{
    return 1 / std::sqrt(1 + std::pow(warp(f, fs) / warp(fc, fs), 2 * order));
}
double butterHighPass(double f, double fc, double fs, int order)
{
    return 1 / std::sqrt(1 + std::pow(warp(fc, fs) / warp(f, fs), 2 * order));
}

// Feeds offset + sine through channel 0 in batches and returns the sine's
// amplitude at the output from its spread over whole periods after `settle`
// seconds.
double measuredGain(DisplayFilter& filter, double fs, double f, double settle, double periods)
{
    filter.reset();
    const std::size_t first = std::size_t(settle * fs);
    const std::size_t span = std::size_t(std::lround(periods * fs / f));
    std::vector<double> x(first + span);
    for (std::size_t n = 0; n < x.size(); ++n)
        x[n] = offsetVolts + amplitude * std::sin(2 * pi * f * double(n) / fs);
    for (std::size_t n = 0; n < x.size(); n += batch)
        filter.process(0, x.data() + n, std::min(batch, x.size() - n));
    double sum = 0, squares = 0;
    for (std::size_t n = first; n < x.size(); ++n)
        sum += x[n];
    const double mean = sum / double(span);
    for (std::size_t n = first; n < x.size(); ++n)
        squares += (x[n] - mean) * (x[n] - mean);
    return std::sqrt(2 * squares / double(span)) / amplitude;
}

} // namespace

class DisplayFilterTest : public QObject
{
    Q_OBJECT

private slots:
    void responsesFollowTheirDesign_data();
    void responsesFollowTheirDesign();
    void slowestHighPassSettlesAndStaysBoundedOverAnHour();
    void choicesTheRateCannotCarryAreDroppedAndFlagged();
    void stateIsPerChannelCarriedAcrossBatchesAndClearedByReset();
};

void DisplayFilterTest::responsesFollowTheirDesign_data()
{
    QTest::addColumn<double>("fs");
    QTest::addColumn<double>("highPass");
    QTest::addColumn<double>("lowPass");
    QTest::addColumn<double>("notch");
    const double rates[] = {909.091, 500.0, 250.0};
    for (double fs : rates) {
        const QByteArray r = QByteArray::number(fs);
        QTest::newRow(r + " Hz, high-pass 0.1") << fs << 0.1 << 0.0 << 0.0;
        QTest::newRow(r + " Hz, high-pass 5") << fs << 5.0 << 0.0 << 0.0;
        QTest::newRow(r + " Hz, low-pass 15") << fs << 0.0 << 15.0 << 0.0;
        QTest::newRow(r + " Hz, low-pass 100") << fs << 0.0 << 100.0 << 0.0;
        QTest::newRow(r + " Hz, notch 50") << fs << 0.0 << 0.0 << 50.0;
        QTest::newRow(r + " Hz, notch 60") << fs << 0.0 << 0.0 << 60.0;
        QTest::newRow(r + " Hz, all three") << fs << 0.5 << 45.0 << 50.0;
    }
}

// The gain at frequencies around each cut-off against the Butterworth design,
// and the notch's depth at the mains frequency and its flatness away from it.
void DisplayFilterTest::responsesFollowTheirDesign()
{
    QFETCH(double, fs);
    QFETCH(double, highPass);
    QFETCH(double, lowPass);
    QFETCH(double, notch);
    DisplayFilter filter(1);
    filter.setRate(fs);
    filter.setChoices(highPass, lowPass, notch);
    QCOMPARE(filter.isActive(DisplayFilter::HighPass), highPass > 0);
    QCOMPARE(filter.isActive(DisplayFilter::LowPass), lowPass > 0);
    QCOMPARE(filter.isActive(DisplayFilter::Notch), notch > 0);

    std::vector<double> probes = {10.0}; // the alpha band passes every choice
    for (double fc : {highPass, lowPass})
        if (fc > 0)
            for (double k : {0.25, 0.5, 1.0, 2.0, 4.0})
                if (fc * k < fs * 0.45)
                    probes.push_back(fc * k);
    if (notch > 0)
        probes.insert(probes.end(), {notch - 5, notch - 0.2, notch, notch + 0.2, notch + 5});

    for (double f : probes) {
        double expected = 1;
        if (highPass > 0)
            expected *= butterHighPass(f, highPass, fs, 2);
        if (lowPass > 0)
            expected *= butterLowPass(f, lowPass, fs, 4);
        // Settle for ten periods of the slowest pole.
        const double settle = 10 / (highPass > 0 ? highPass : std::min(f, 1.0));
        const double gain = measuredGain(filter, fs, f, settle, std::ceil(4 * f) + 2);
        const QByteArray where = "at " + QByteArray::number(f) + " Hz: gain " +
                                 QByteArray::number(gain) + ", design " +
                                 QByteArray::number(expected);
        if (notch > 0 && f == notch)
            QVERIFY2(gain < 0.01, where); // at least 40 dB down
        else if (notch > 0 && std::fabs(f - notch) < 1)
            QVERIFY2(gain < 0.25, where); // mains a little off its nominal
        else if (notch > 0 && std::fabs(f - notch) < 10)
            QVERIFY2(gain > 0.9 * expected && gain < 1.01 * expected, where);
        else
            QVERIFY2(std::fabs(gain - expected) < 0.01 + 0.02 * expected, where);
    }
}

// A step of the electrode's level and an hour of noise on a drifting offset:
// the 0.1 Hz high-pass must return to zero after the step and pass the noise
// at its size, without the rounding of its near-unit poles building up.
void DisplayFilterTest::slowestHighPassSettlesAndStaysBoundedOverAnHour()
{
    const double fs = 909.091;
    DisplayFilter filter(1);
    filter.setRate(fs);
    filter.setChoices(0.1, 0.0, 0.0);

    std::vector<double> x(std::size_t(120 * fs));
    for (std::size_t n = 0; n < x.size(); ++n)
        x[n] = offsetVolts + (n >= std::size_t(10 * fs) ? 1e-3 : 0.0);
    for (std::size_t n = 0; n < x.size(); n += batch)
        filter.process(0, x.data() + n, std::min(batch, x.size() - n));
    QVERIFY2(std::fabs(x[std::size_t(10 * fs)] - 1e-3) < 1e-5, "the step passes at once");
    double tail = 0;
    for (std::size_t n = std::size_t(80 * fs); n < x.size(); ++n)
        tail = std::max(tail, std::fabs(x[n]));
    QVERIFY2(tail < 1e-7, QByteArray::number(tail));

    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 20e-6);
    const std::size_t hour = std::size_t(3600 * fs);
    std::vector<double> block(batch);
    double sumIn = 0, sumOut = 0, peak = 0;
    std::size_t counted = 0;
    for (std::size_t n = 0; n < hour; n += batch) {
        double in[batch];
        for (std::size_t i = 0; i < batch; ++i) {
            const double t = double(n + i) / fs;
            in[i] = noise(random);
            // 50 mV of slow drift over the hour, on the standing offset.
            block[i] = offsetVolts + 0.05 * t / 3600 + in[i];
        }
        filter.process(0, block.data(), batch);
        if (n > std::size_t(60 * fs))
            for (std::size_t i = 0; i < batch; ++i) {
                QVERIFY(std::isfinite(block[i]));
                sumIn += in[i] * in[i];
                sumOut += block[i] * block[i];
                peak = std::max(peak, std::fabs(block[i]));
                ++counted;
            }
    }
    const double rmsIn = std::sqrt(sumIn / double(counted));
    const double rmsOut = std::sqrt(sumOut / double(counted));
    QVERIFY2(std::fabs(rmsOut / rmsIn - 1) < 0.02, QByteArray::number(rmsOut / rmsIn));
    QVERIFY2(peak < 8 * rmsIn, QByteArray::number(peak));
}

void DisplayFilterTest::choicesTheRateCannotCarryAreDroppedAndFlagged()
{
    // 125 Hz carries up to 62.5 Hz: the 70 and 100 Hz low-passes are left
    // out, the 60 Hz notch (59 .. 61 Hz) still fits.
    DisplayFilter filter(2);
    filter.setRate(125.0);
    filter.setChoices(0.0, 100.0, 60.0);
    QVERIFY(filter.isDropped(DisplayFilter::LowPass) && !filter.isActive(DisplayFilter::LowPass));
    QVERIFY(filter.isActive(DisplayFilter::Notch));
    filter.setChoices(0.0, 70.0, 0.0);
    QVERIFY(filter.isDropped(DisplayFilter::LowPass));
    QVERIFY(filter.isPassThrough());
    std::vector<double> x(1000);
    for (std::size_t n = 0; n < x.size(); ++n)
        x[n] = std::sin(double(n));
    const std::vector<double> original = x;
    filter.process(0, x.data(), x.size());
    QVERIFY(x == original);

    // Exactly half the rate is not carried either; a faster rate takes it.
    filter.setRate(140.0);
    QVERIFY(filter.isDropped(DisplayFilter::LowPass));
    filter.setRate(909.091);
    QVERIFY(filter.isActive(DisplayFilter::LowPass) && !filter.isDropped(DisplayFilter::LowPass));

    // Without a rate nothing runs, and nothing turns into NaN.
    for (double rate : {0.0, -5.0, std::nan("")}) {
        DisplayFilter none(1);
        none.setRate(rate);
        none.setChoices(0.5, 45.0, 50.0);
        QVERIFY(none.isDropped(DisplayFilter::HighPass) && none.isDropped(DisplayFilter::Notch));
        QVERIFY(none.isPassThrough());
        std::vector<double> y = original;
        none.process(0, y.data(), y.size());
        QVERIFY(y == original);
    }
}

void DisplayFilterTest::stateIsPerChannelCarriedAcrossBatchesAndClearedByReset()
{
    const double fs = 500.0;
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 30e-6);
    std::vector<double> input(5000);
    for (double& v : input)
        v = -0.12 + noise(random);

    DisplayFilter filter(3);
    filter.setRate(fs);
    filter.setChoices(1.0, 30.0, 50.0);

    // Channel 1 in one call; channel 2 gets the same samples in batches of
    // random sizes, between which channel 0 runs something else. All three
    // must agree where they saw the same input.
    std::vector<double> whole = input;
    filter.process(1, whole.data(), whole.size());
    std::vector<double> pieces = input;
    std::vector<double> other(64, 1.0);
    std::uniform_int_distribution<std::size_t> size(1, 200);
    for (std::size_t n = 0; n < pieces.size();) {
        const std::size_t k = std::min(size(random), pieces.size() - n);
        filter.process(2, pieces.data() + n, k);
        filter.process(0, other.data(), other.size());
        n += k;
    }
    QVERIFY(whole == pieces);

    // After a reset the same input gives the same output again; without one,
    // the history shows.
    std::vector<double> again = input;
    filter.process(1, again.data(), again.size());
    QVERIFY(again != whole);
    filter.reset();
    again = input;
    filter.process(1, again.data(), again.size());
    QVERIFY(again == whole);

    // Samples that are not numbers pass as they are and leave the history
    // alone: the rest comes out as if they had not been there.
    filter.reset();
    std::vector<double> holed = input;
    holed.insert(holed.begin() + 100, std::nan(""));
    holed.insert(holed.begin() + 200, INFINITY);
    filter.process(1, holed.data(), holed.size());
    QVERIFY(std::isnan(holed[100]) && std::isinf(holed[200]));
    holed.erase(holed.begin() + 200);
    holed.erase(holed.begin() + 100);
    QVERIFY(holed == whole);

    // Single precision samples run through the same filters.
    filter.reset();
    std::vector<float> single(input.begin(), input.end());
    filter.process(1, single.data(), single.size());
    for (std::size_t n = 0; n < single.size(); ++n)
        QVERIFY(std::fabs(single[n] - whole[n]) < 1e-6);
}

QTEST_APPLESS_MAIN(DisplayFilterTest)
#include "tst_displayfilter.moc"
