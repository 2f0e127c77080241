// The worker's spectra during a capture from the simulated headset: when they
// come, which samples they are made of, and that the window thread may change
// the length and the window at any time.
#include <QtTest>

#include <cmath>

#include "analysis/fftwindow.h"
#include "headset_rig.h"

namespace
{

const double pi = 3.141592653589793;

// Amplitudes of lines 0..lines-1 of samples [first, first + N) of one channel,
// by the plain definition of the discrete Fourier transform.
QVector<double> referenceSpectrum(const QVector<structSample>& samples, int first, int N,
                                  int channel, int kind, int lines)
{
    QVector<double> cosines(N), sines(N);
    for (int j = 0; j < N; ++j) {
        cosines[j] = std::cos(2 * pi * j / N);
        sines[j] = std::sin(2 * pi * j / N);
    }
    QVector<double> amplitudes(lines);
    for (int k = 0; k < lines; ++k) {
        double re = 0, im = 0;
        for (int n = 0; n < N; ++n) {
            const double x = windowValue(kind, n, N) * samples[first + n].value[channel];
            const int j = int((qint64(k) * n) % N);
            re += x * cosines[j];
            im -= x * sines[j];
        }
        amplitudes[k] = std::sqrt(re * re + im * im) / (N / 2);
    }
    return amplitudes;
}

double largestValue(const QVector<structSample>& samples, int first, int N, int channel)
{
    double largest = 0;
    for (int n = first; n < first + N; ++n)
        largest = std::max(largest, std::fabs(samples[n].value[channel]));
    return largest;
}

// Whether a received spectrum is that of samples [first, first + N).
bool spectrumMatches(const ReceivedSpectrum& received, const QVector<structSample>& samples,
                     int first, int N, int kind, int lines)
{
    if (first < 0 || first + N > samples.size() || received.data.size() != N / 2)
        return false;
    const auto expected = referenceSpectrum(samples, first, N, received.channel, kind, lines);
    const double tolerance = 1e-9 * largestValue(samples, first, N, received.channel) + 1e-15;
    for (int k = 0; k < lines; ++k)
        if (std::fabs(received.data[k] - expected[k]) > tolerance)
            return false;
    return true;
}

// The signal must vary, or a block taken from the wrong samples would pass.
bool signalVaries(const QVector<structSample>& samples, int channel)
{
    for (int n = 1; n < samples.size(); ++n)
        if (samples[n].value[channel] != samples[0].value[channel])
            return true;
    return false;
}

} // namespace

class DeviceSpectrum : public QObject
{
    Q_OBJECT
private slots:
    void firstSpectraComeAtTheNthSampleAndTheNextAt2N();
    void windowChangeMidBlockRestartsTheBlock();
    void lostSampleCopiesCountAsBlockSamples();
    void lengthBelowTwoChangesNothing();
    void lengthAndWindowMayChangeDuringCapture();
};

void DeviceSpectrum::firstSpectraComeAtTheNthSampleAndTheNextAt2N()
{
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    const int N = 1024;
    rig.device->setFFTCount(N);
    QVERIFY(rig.startCapture(8800));
    QVERIFY(QTest::qWaitFor([&] { return rig.spectra.size() >= 24; }, 10000));
    QVERIFY(rig.stopCapture());

    for (int c = 0; c < channelCount; ++c)
        QVERIFY(signalVaries(rig.samples, c));
    for (int i = 0; i < 24; ++i) {
        const ReceivedSpectrum& s = rig.spectra[i];
        const int block = i / channelCount;
        QCOMPARE(s.channel, i % channelCount);
        // N is a multiple of the batch of 64: the batch that ends with the
        // block's last sample is out just before its spectra.
        QCOMPARE(s.samplesBefore, (block + 1) * N);
        QVERIFY2(spectrumMatches(s, rig.samples, block * N, N, Rectangular, N / 2),
                 qPrintable(QString("block %1 channel %2").arg(block).arg(s.channel)));

        QCOMPARE(s.freq.size(), N / 2);
        QCOMPARE(s.freq[0], 0.0);
        QVERIFY(std::fabs(s.freq[1] - 0.8878) < 1e-4);
        QVERIFY(std::fabs(s.freq[N / 2 - 1] - 453.66) < 1e-2);
    }
}

void DeviceSpectrum::windowChangeMidBlockRestartsTheBlock()
{
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    const int N = 1024;
    rig.device->setFFTCount(N);
    QVERIFY(rig.startCapture(8800));
    QVERIFY(QTest::qWaitFor([&] { return rig.samples.size() >= N + N / 2; }, 10000));
    QCOMPARE(rig.spectra.size(), channelCount);

    // The worker has delivered at least this many samples when the change is
    // made, so the new block cannot start earlier.
    const int delivered = rig.samples.size();
    rig.device->setFFTWindow(Hann);
    QVERIFY(QTest::qWaitFor([&] { return rig.spectra.size() >= 2 * channelCount; }, 10000));
    QVERIFY(rig.stopCapture());

    // Find where the block behind the next spectra began: a few lines suffice
    // to tell the candidates apart, then every line must agree.
    const ReceivedSpectrum& next = rig.spectra[channelCount];
    int first = -1;
    for (int candidate = delivered; candidate + N <= rig.samples.size(); ++candidate)
        if (spectrumMatches(next, rig.samples, candidate, N, Hann, 3)) {
            first = candidate;
            break;
        }
    QVERIFY2(first >= 0, "no block of the samples after the change gives the spectrum");
    QVERIFY(first > N); // not the block that was running at the change
    for (int i = channelCount; i < 2 * channelCount; ++i)
        QVERIFY(spectrumMatches(rig.spectra[i], rig.samples, first, N, Hann, N / 2));
}

void DeviceSpectrum::lostSampleCopiesCountAsBlockSamples()
{
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    const int N = 1024;
    rig.device->setFFTCount(N);
    QVERIFY(rig.startCapture(8800));
    QVERIFY(QTest::qWaitFor([&] { return rig.samples.size() >= 256; }, 10000));
    rig.headset.dropSamplePairs(5);
    QVERIFY(QTest::qWaitFor([&] { return rig.spectra.size() >= 2 * channelCount; }, 10000));
    QVERIFY(rig.stopCapture());

    QCOMPARE(rig.skipSamples, quint64(5));
    // The copies are among the delivered samples, and the blocks are made of
    // the delivered samples: copies included, nothing shifted.
    for (int i = 0; i < 2 * channelCount; ++i) {
        const int block = i / channelCount;
        QVERIFY2(spectrumMatches(rig.spectra[i], rig.samples, block * N, N, Rectangular, N / 2),
                 qPrintable(QString("block %1 channel %2").arg(block).arg(i % channelCount)));
    }
}

void DeviceSpectrum::lengthBelowTwoChangesNothing()
{
    // The length stays the one the device was made with, 256; the axis
    // follows the confirmed period, here 16000 ticks (500 Hz).
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    QVERIFY(rig.startCapture(16000));
    QVERIFY(QTest::qWaitFor([&] { return rig.samples.size() >= 128; }, 10000));
    rig.device->setFFTCount(1);
    rig.device->setFFTCount(0);
    QVERIFY(QTest::qWaitFor([&] { return rig.spectra.size() >= channelCount; }, 10000));
    QVERIFY(rig.stopCapture());

    const ReceivedSpectrum& first = rig.spectra[0];
    QCOMPARE(first.samplesBefore, 256);
    QVERIFY(spectrumMatches(first, rig.samples, 0, 256, Rectangular, 128));
    QCOMPARE(first.freq.size(), 128);
    QVERIFY(std::fabs(first.freq[1] - 500.0 / 256) < 1e-9);
}

void DeviceSpectrum::lengthAndWindowMayChangeDuringCapture()
{
    // Under ThreadSanitizer this shows any buffer, plan or counter that the
    // window thread changes under the worker.
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    rig.device->setFFTCount(32);
    QVERIFY(rig.startCapture(8800));

    const uint lengths[] = {32, 64, 128, 33, 256, 1, 0, 2};
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; timer.elapsed() < 3000; ++i) {
        rig.device->setFFTCount(lengths[i % 8]);
        rig.device->setFFTWindow(FFTWindow(i % 12));
        QTest::qWait(i % 3 == 0 ? 0 : 7);
    }

    rig.device->setFFTWindow(Rectangular);
    rig.device->setFFTCount(64);
    const int before = rig.spectra.size();
    // Spectra of the earlier lengths may still be on their way.
    QVERIFY(QTest::qWaitFor(
        [&] { return rig.spectra.size() > before && rig.spectra.last().data.size() == 32; }, 5000));
    const int settled = rig.spectra.size();
    QVERIFY(QTest::qWaitFor([&] { return rig.spectra.size() >= settled + channelCount; }, 5000));
    QVERIFY(rig.stopCapture());

    QVERIFY(before > 0);
    for (int i = 0; i < rig.spectra.size(); ++i) {
        const ReceivedSpectrum& s = rig.spectra[i];
        // Every block gives all twelve channels in order, whatever changed.
        QCOMPARE(s.channel, i % channelCount);
        QCOMPARE(s.freq.size(), s.data.size());
        QVERIFY(s.data.size() == 1 || s.data.size() == 16 || s.data.size() == 32 ||
                s.data.size() == 64 || s.data.size() == 128);
    }
    for (int i = settled; i < rig.spectra.size(); ++i)
        QCOMPARE(rig.spectra[i].data.size(), 32);
}

QTEST_GUILESS_MAIN(DeviceSpectrum)
#include "tst_device_spectrum.moc"
