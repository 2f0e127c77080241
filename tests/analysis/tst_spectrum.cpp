// Amplitude spectra and the frequency axis from the spectrum helpers, on
// signals whose spectrum is known exactly.
#include <QtTest>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>

#include "analysis/fftwindow.h"
#include "analysis/spectrum.h"

namespace
{

// One channel's block with its plan, made and destroyed through the helpers.
struct Block {
    explicit Block(int n) : count(n)
    {
        in = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n));
        out = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n));
        plan = spectrumMakePlan(n, in, out);
    }
    ~Block()
    {
        spectrumDestroyPlan(plan);
        fftw_free(in);
        fftw_free(out);
    }
    // Stores samples through the window, as the worker does, then transforms.
    QVector<double> amplitudes(const std::function<double(int)>& signal, int kind = Rectangular)
    {
        for (int n = 0; n < count; ++n) {
            const double value = signal(n);
            spectrumWindowAndStore(&in, &value, 1, kind, quint32(n), quint32(count));
        }
        fftw_execute(plan);
        QVector<double> spectrum;
        spectrumAmplitudes(spectrum, out, quint32(count));
        return spectrum;
    }
    int count;
    fftw_complex* in;
    fftw_complex* out;
    fftw_plan plan;
};

const double pi = 3.141592653589793;

} // namespace

class Spectrum : public QObject
{
    Q_OBJECT
private slots:
    void sineOnALineGivesItsAmplitude();
    void constantGivesTwiceItsValueAtLineZero();
    void windowWeighsEachStoredSample();
    void frequencyAxisFollowsPeriodAndLength();
    void plansMayBeMadeFromSeveralThreadsAtOnce();
};

void Spectrum::sineOnALineGivesItsAmplitude()
{
    Block block(1024);
    const double amplitude = 3.5e-5;
    const int line = 37;
    const auto spectrum = block.amplitudes(
        [&](int n) { return amplitude * std::sin(2 * pi * line * n / 1024.0 + 0.3); });
    QCOMPARE(spectrum.size(), 512);
    for (int k = 0; k < spectrum.size(); ++k) {
        const double expected = k == line ? amplitude : 0.0;
        QVERIFY2(std::fabs(spectrum[k] - expected) < 1e-12 * amplitude * 1e3,
                 qPrintable(QString("line %1: %2").arg(k).arg(spectrum[k])));
    }
}

void Spectrum::constantGivesTwiceItsValueAtLineZero()
{
    Block block(256);
    const auto spectrum = block.amplitudes([](int) { return -0.25; });
    QCOMPARE(spectrum.size(), 128);
    QVERIFY(std::fabs(spectrum[0] - 0.5) < 1e-12);
    for (int k = 1; k < spectrum.size(); ++k)
        QVERIFY(spectrum[k] < 1e-12);
}

void Spectrum::windowWeighsEachStoredSample()
{
    // Line 0 of a windowed constant is twice the constant times the window's mean.
    Block block(64);
    double sum = 0;
    for (int n = 0; n < 64; ++n)
        sum += windowValue(Hann, n, 64);
    const auto spectrum = block.amplitudes([](int) { return 2.0; }, Hann);
    QVERIFY(std::fabs(spectrum[0] - 2 * 2.0 * sum / 64) < 1e-12);
    for (int n = 0; n < 64; ++n)
        QCOMPARE(block.in[n][1], 0.0);
}

void Spectrum::frequencyAxisFollowsPeriodAndLength()
{
    QVector<double> frequencies;
    spectrumFrequencies(frequencies, 8800, 1024);
    QCOMPARE(frequencies.size(), 512);
    const double fs = 8e6 / 8800; // 909.0909... Hz
    QCOMPARE(frequencies[0], 0.0);
    QVERIFY(std::fabs(frequencies[1] - 0.8878) < 1e-4);
    QVERIFY(std::fabs(frequencies[1] - fs / 1024) < 1e-9);
    QVERIFY(std::fabs(frequencies[511] - 453.66) < 1e-2);
    QVERIFY(std::fabs(frequencies[511] - (fs / 2 - fs / 1024)) < 1e-9);

    // A new length replaces the whole axis.
    spectrumFrequencies(frequencies, 16000, 32);
    QCOMPARE(frequencies.size(), 16);
    QVERIFY(std::fabs(frequencies[15] - 15 * 500.0 / 32) < 1e-9);
}

void Spectrum::plansMayBeMadeFromSeveralThreadsAtOnce()
{
    // The planner is not thread-safe by itself; under ThreadSanitizer this
    // shows any plan that is made or destroyed outside the lock.
    std::atomic<int> wrong{0};
    auto churn = [&wrong] {
        for (int i = 0; i < 20; ++i) {
            Block block(64 << (i % 4));
            const auto spectrum = block.amplitudes([](int) { return 1.0; });
            if (std::fabs(spectrum[0] - 2.0) > 1e-12)
                ++wrong;
        }
    };
    std::unique_ptr<QThread> other(QThread::create(churn));
    other->start();
    churn();
    QVERIFY(other->wait(60000));
    QCOMPARE(wrong.load(), 0);
}

QTEST_APPLESS_MAIN(Spectrum)
#include "tst_spectrum.moc"
