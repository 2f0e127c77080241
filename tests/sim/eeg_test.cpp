// The EEG-like signal as a host receives it, measured with a plain DFT of the
// decoded samples: the alpha's strength, place, frequency and blocking, the
// mains, and the driven response to a light train.
#include "headset.h"
#include "ptyclient.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <gtest/gtest.h>
#include <numeric>

using namespace simtest;

namespace
{

constexpr uint16_t period = 8800; // 909 Hz
constexpr double rate = 8e6 / period;
enum { Fp1, Fp2, F3, F4, C3, C4, P3, P4, O1, O2, T3, T4 };

// A host that starts a capture and decodes the samples, noting after how many
// samples each reply came (the headset queues a reply between two samples).
struct Host {
    explicit Host(sim::Options options) : headset(options)
    {
        EXPECT_TRUE(headset.start());
        EXPECT_TRUE(client.open(headset.portPath()));
        EXPECT_TRUE(client.send(startFrame(period)));
    }

    bool readUntil(size_t samples)
    {
        auto end = Clock::now() + std::chrono::seconds(30);
        while (uv[0].size() < samples && Clock::now() < end) {
            if (!client.pump(5))
                return false;
            for (const Frame& f : client.takeFrames()) {
                if (f.type() != 'D') {
                    replies.emplace_back(f.type(), uv[0].size());
                    continue;
                }
                const int half = f.bytes[2];
                for (int k = 0; k < 6; ++k)
                    pending[half + 2 * k] = decodeVolts(&f.bytes[5 + 3 * k]) * 1e6;
                if (half == 1) {
                    EXPECT_EQ(dataCounter(f), uv[0].size() & 0xFFFF) << "no sample lost";
                    for (int c = 0; c < 12; ++c)
                        uv[c].push_back(pending[c]);
                }
            }
        }
        return uv[0].size() >= samples;
    }

    // Samples received before the first reply of this type; SIZE_MAX if none
    // came within 30 s of samples.
    size_t replyAt(uint8_t type)
    {
        for (size_t more = 0; more < 30; ++more) {
            for (const auto& r : replies)
                if (r.first == type)
                    return r.second;
            if (!readUntil(uv[0].size() + size_t(rate)))
                break;
        }
        return SIZE_MAX;
    }

    sim::Headset headset;
    PtyClient client;
    std::vector<double> uv[12];
    double pending[12] = {};
    std::vector<std::pair<uint8_t, size_t>> replies;
};

size_t at(double seconds)
{
    return static_cast<size_t>(seconds * rate);
}

// The DFT of x[from, from + n) at f Hz, as the amplitude of a sine.
double amplitudeAt(const std::vector<double>& x, size_t from, size_t n, double f)
{
    std::complex<double> sum;
    for (size_t i = 0; i < n; ++i)
        sum += x[from + i] * std::polar(1.0, -2 * M_PI * f * double(i) / rate);
    return 2 * std::abs(sum) / double(n);
}

// The power in [lo, hi] Hz of x[from, from + n), summed over its DFT bins and
// given as the amplitude of a sine of that power.
double bandAmplitude(const std::vector<double>& x, size_t from, size_t n, double lo, double hi)
{
    double power = 0;
    for (size_t k = size_t(std::ceil(lo * n / rate)); k <= size_t(hi * n / rate); ++k) {
        const double a = amplitudeAt(x, from, n, k * rate / double(n));
        power += a * a / 2;
    }
    return std::sqrt(2 * power);
}

// The frequency of the largest DFT amplitude in [lo, hi] Hz, in steps of `step`.
double peakIn(const std::vector<double>& x, size_t from, size_t n, double lo, double hi,
              double step)
{
    double best = 0, bestF = 0;
    for (double f = lo; f <= hi; f += step) {
        const double a = amplitudeAt(x, from, n, f);
        if (a > best) {
            best = a;
            bestF = f;
        }
    }
    return bestF;
}

TEST(HeadsetEeg, alphaIsPosteriorAtItsFrequencyAndOpenEyesBlockIt)
{
    sim::Options options;
    options.eeg = true;
    options.fast = true;
    options.alphaHz = 9;
    options.mainsHz = 60;
    options.eyesCycleSeconds = 10; // closed for 10 s, then open
    options.seed = 3;
    Host host(options);
    ASSERT_TRUE(host.readUntil(at(20)));
    const size_t n = at(9);
    const size_t closed = at(1), open = at(11); // past the changes of the eyes

    double alpha[12];
    for (int c = 0; c < 12; ++c)
        alpha[c] = bandAmplitude(host.uv[c], closed, n, 7, 11);
    for (int c : {O1, O2}) {
        SCOPED_TRACE(c);
        EXPECT_GE(alpha[c], 30);
        EXPECT_LE(alpha[c], 50);
        EXPECT_NEAR(peakIn(host.uv[c], closed, n, 2, 30, 0.05), 9.0, 0.3);
        EXPECT_LT(bandAmplitude(host.uv[c], open, n, 7, 11), 0.5 * alpha[c]);
    }
    const double back = (alpha[P3] + alpha[P4] + alpha[O1] + alpha[O2]) / 4;
    const double front =
        (alpha[Fp1] + alpha[Fp2] + alpha[F3] + alpha[F4] + alpha[C3] + alpha[C4]) / 6;
    EXPECT_GT(back, 2.5 * front);

    for (int c = 0; c < 12; ++c) {
        SCOPED_TRACE(c);
        const double mains = amplitudeAt(host.uv[c], closed, n, 60);
        EXPECT_GE(mains, 10);
        EXPECT_LE(mains, 30);
        EXPECT_LT(amplitudeAt(host.uv[c], closed, n, 50), 2);
    }
    const double beta = bandAmplitude(host.uv[C3], open, n, 15, 25);
    EXPECT_GE(beta, 4);
    EXPECT_LE(beta, 12);
}

TEST(HeadsetEeg, sameSeedSameSignal)
{
    sim::Options options;
    options.eeg = true;
    options.fast = true;
    Host a(options), b(options);
    options.seed = 2;
    Host c(options);
    const size_t n = 2000;
    ASSERT_TRUE(a.readUntil(n) && b.readUntil(n) && c.readUntil(n));
    for (int ch = 0; ch < 12; ++ch) {
        a.uv[ch].resize(n), b.uv[ch].resize(n), c.uv[ch].resize(n);
        EXPECT_EQ(a.uv[ch], b.uv[ch]);
        EXPECT_NE(a.uv[ch], c.uv[ch]);
    }
}

TEST(HeadsetEeg, lightTrainDrivesTheBackOfTheHeadAtTheFlashFrequency)
{
    sim::Options options;
    options.eeg = true;
    options.fast = true;
    options.seed = 5;
    Host host(options);
    ASSERT_TRUE(host.readUntil(at(5)));
    // Flashes of 10 ms every 62.5 ms (16 Hz), 400 of them: 25 s.
    ASSERT_TRUE(host.client.send({0x0D, 'F', 125, 0xC8, 0x00, 0x1A, 0x04, 0x90, 0x01, 0, 0, 1, 0}));
    const size_t lit = host.replyAt('F');
    ASSERT_NE(lit, SIZE_MAX);
    ASSERT_TRUE(host.readUntil(lit + at(6)));
    ASSERT_TRUE(host.client.send({0x02, 'G'}));
    const size_t dark = host.replyAt('G');
    ASSERT_NE(dark, SIZE_MAX);
    ASSERT_TRUE(host.readUntil(dark + at(5)));

    const size_t n = at(4);
    const size_t before = lit - n, during = lit + at(0.5), after = dark + at(1);
    for (int c : {O1, O2}) {
        SCOPED_TRACE(c);
        const auto& x = host.uv[c];
        const double driven = amplitudeAt(x, during, n, 16);
        EXPECT_GT(driven, 6);
        EXPECT_GT(driven, 4 * amplitudeAt(x, before, n, 16));
        EXPECT_GT(driven, 4 * amplitudeAt(x, after, n, 16));
        const double harmonic = amplitudeAt(x, during, n, 32);
        EXPECT_GT(harmonic, 3);
        EXPECT_GT(harmonic, 3 * amplitudeAt(x, before, n, 32));
        EXPECT_NEAR(peakIn(x, during, n, 13, 40, 0.05), 16.0, 0.25);
        EXPECT_LT(amplitudeAt(host.uv[Fp1], during, n, 16), 0.3 * driven);
    }
}

} // namespace
