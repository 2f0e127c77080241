// The samples on the line: their encoding against the host's decoding
// formula, the channel layout, and the signal itself.
#include "headset.h"
#include "ptyclient.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>

using namespace simtest;

namespace
{

int32_t count24(const uint8_t* b)
{
    int32_t v = (b[0] << 16) | (b[1] << 8) | b[2];
    return v >= 0x800000 ? v - 0x1000000 : v;
}

// Runs a capture and returns the data frames of the first `pairs` pairs.
std::vector<Frame> capture(sim::Options options, uint16_t period, size_t pairs)
{
    sim::Headset headset(options);
    EXPECT_TRUE(headset.start());
    PtyClient client;
    EXPECT_TRUE(client.open(headset.portPath()));
    EXPECT_TRUE(client.send(startFrame(period)));
    std::vector<Frame> data;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (data.size() < 2 * pairs && Clock::now() < end) {
        if (!client.pump(0))
            break;
        for (Frame& f : client.takeFrames())
            if (f.type() == 'D')
                data.push_back(std::move(f));
    }
    data.resize(std::min(data.size(), 2 * pairs));
    return data;
}

// Volts per channel (1..12) and sample, decoded as the host does.
std::map<int, std::vector<double>> decode(const std::vector<Frame>& data)
{
    std::map<int, std::vector<double>> volts;
    for (const Frame& f : data)
        for (int k = 0; k < 6; ++k)
            volts[f.bytes[2] + 2 * k + 1].push_back(decodeVolts(&f.bytes[5 + 3 * k]));
    return volts;
}

TEST(HeadsetSignal, samplesOnTheLineDecodeToTheDeterministicSignal)
{
    sim::Options options;
    options.deterministic = true;
    for (uint16_t period : {uint16_t(16000), uint16_t(65535)}) {
        SCOPED_TRACE(period);
        size_t pairs = period == 16000 ? 200 : 40;
        auto data = capture(options, period, pairs);
        ASSERT_EQ(data.size(), 2 * pairs);
        for (size_t i = 0; i < data.size(); ++i) {
            const Frame& f = data[i];
            ASSERT_EQ(f.bytes.size(), 23u);
            ASSERT_EQ(f.bytes[2], i % 2) << "halves alternate, half 0 first";
            uint16_t counter = dataCounter(f);
            ASSERT_EQ(counter, i / 2) << "the first pair of a capture carries counter 0";
            for (int k = 0; k < 6; ++k) {
                int channel = f.bytes[2] + 2 * k + 1; // 1,3,..,11 then 2,4,..,12
                const uint8_t* b = &f.bytes[5 + 3 * k];
                int32_t expected = sim::Headset::sampleCounts(channel, counter, period);
                EXPECT_EQ(count24(b), expected) << "channel " << channel;
                EXPECT_EQ(decodeVolts(b), sim::Headset::countsToVolts(expected));
            }
        }
    }
}

TEST(HeadsetSignal, countsAndVoltsFollowTheHeadsetScale)
{
    struct Case {
        uint8_t bytes[3];
        int32_t counts;
        double volts;
    };
    const double lsb = 256.0 / 255.0 * std::pow(2.0, -11) * 1e-3;
    const Case cases[] = {{{0x7F, 0xFF, 0xFF}, 8388607, 4.112},
                          {{0x80, 0x00, 0x00}, -8388608, -4.112},
                          {{0xFF, 0xFF, 0xFF}, -1, -lsb},
                          {{0x00, 0x00, 0x01}, 1, lsb},
                          {{0x00, 0x00, 0x00}, 0, 0.0}};
    for (const Case& c : cases) {
        EXPECT_EQ(count24(c.bytes), c.counts);
        EXPECT_EQ(sim::Headset::countsToVolts(c.counts), decodeVolts(c.bytes));
        EXPECT_NEAR(sim::Headset::countsToVolts(c.counts), c.volts, 5e-4);
    }
    EXPECT_NEAR(lsb, 0.49e-6, 0.01e-6);
    for (int32_t c = -8388608; c <= 8388607; c += 65521)
        EXPECT_EQ(sim::Headset::voltsToCounts(sim::Headset::countsToVolts(c)), c);
    EXPECT_EQ(sim::Headset::voltsToCounts(10.0), 8388607);
    EXPECT_EQ(sim::Headset::voltsToCounts(-10.0), -8388608);
    EXPECT_EQ(sim::Headset::voltsToCounts(std::nan("")), 0);
    EXPECT_EQ(sim::Headset::sampleCounts(0, 5, 16000), 0);
    EXPECT_EQ(sim::Headset::sampleCounts(13, 5, 16000), 0);
}

// Amplitude of the component at f Hz of a signal sampled at rate Hz.
double amplitudeAt(const std::vector<double>& x, double rate, double f)
{
    std::complex<double> sum;
    for (size_t n = 0; n < x.size(); ++n)
        sum += x[n] * std::polar(1.0, -2 * M_PI * f * static_cast<double>(n) / rate);
    return 2.0 * std::abs(sum) / static_cast<double>(x.size());
}

TEST(HeadsetSignal, eachChannelCarriesAlphaMainsAndARhythmOfItsOwn)
{
    const uint16_t period = 16000; // 500 Hz
    const double rate = 8e6 / period;
    std::set<double> ownPeaks;
    for (int channel = 1; channel <= 12; ++channel) {
        SCOPED_TRACE(channel);
        std::vector<double> x;
        for (uint64_t i = 0; i < 1000; ++i) // 2 s, 0.5 Hz resolution
            x.push_back(
                sim::Headset::countsToVolts(sim::Headset::sampleCounts(channel, i, period)));
        auto range = std::minmax_element(x.begin(), x.end());
        double peakToPeak = *range.second - *range.first;
        EXPECT_GT(peakToPeak, 50e-6);
        EXPECT_LT(peakToPeak, 10e-3);

        double mains = amplitudeAt(x, rate, 50.0);
        EXPECT_GT(mains, 100e-6);
        EXPECT_LT(mains, 5e-3);
        double alpha = 0;
        for (double f = 9.0; f <= 11.0; f += 0.1)
            alpha = std::max(alpha, amplitudeAt(x, rate, f));
        EXPECT_GT(alpha, 10e-6);
        EXPECT_LT(alpha, 200e-6);

        // The strongest component outside the alpha band and the mains.
        double best = 0, bestF = 0;
        for (double f = 1.0; f <= 45.0; f += 0.5) {
            if (f >= 9.4 && f <= 10.8)
                continue;
            double a = amplitudeAt(x, rate, f);
            if (a > best) {
                best = a;
                bestF = f;
            }
        }
        EXPECT_GT(best, 10e-6);
        ownPeaks.insert(bestF);
    }
    EXPECT_EQ(ownPeaks.size(), 12u) << "every channel has a rhythm of its own";
}

TEST(HeadsetSignal, noiseIsSeededAndAbsentInDeterministicMode)
{
    const uint16_t period = 8800;
    const size_t pairs = 150;
    sim::Options noisy;
    noisy.noiseMicrovolts = 20;
    noisy.seed = 7;
    auto a = decode(capture(noisy, period, pairs));
    auto b = decode(capture(noisy, period, pairs));
    noisy.seed = 8;
    auto c = decode(capture(noisy, period, pairs));
    sim::Options exact = noisy;
    exact.deterministic = true;
    auto d = decode(capture(exact, period, pairs));
    ASSERT_EQ(a.size(), 12u);
    EXPECT_EQ(a, b) << "the same seed gives the same noise";
    EXPECT_NE(a, c);

    double sumSquares = 0;
    size_t n = 0;
    for (int channel = 1; channel <= 12; ++channel) {
        ASSERT_EQ(a[channel].size(), pairs);
        ASSERT_EQ(d[channel].size(), pairs);
        for (size_t i = 0; i < pairs; ++i) {
            double clean =
                sim::Headset::countsToVolts(sim::Headset::sampleCounts(channel, i, period));
            EXPECT_EQ(d[channel][i], clean);
            sumSquares += (a[channel][i] - clean) * (a[channel][i] - clean);
            ++n;
        }
    }
    double rms = std::sqrt(sumSquares / static_cast<double>(n));
    EXPECT_GT(rms, 15e-6);
    EXPECT_LT(rms, 25e-6);
}

} // namespace
