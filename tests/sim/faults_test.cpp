// The faults that the headset plays on demand, as the host sees them.
#include "headset.h"
#include "ptyclient.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace simtest;

namespace
{

class HeadsetFaults : public ::testing::Test
{
protected:
    void start(sim::Options options = {}, uint16_t period = 8800)
    {
        headset = std::make_unique<sim::Headset>(options);
        ASSERT_TRUE(headset->start());
        ASSERT_TRUE(client.open(headset->portPath()));
        ASSERT_TRUE(client.send(startFrame(period)));
        std::vector<Frame> seen;
        ASSERT_TRUE(client.waitFrame('!', 1000, &seen));
    }

    std::vector<Frame> data(int ms)
    {
        std::vector<Frame> d;
        for (Frame& f : collect(client, ms))
            if (f.type() == 'D')
                d.push_back(std::move(f));
        return d;
    }

    std::unique_ptr<sim::Headset> headset;
    PtyClient client;
};

// Counters of the second halves, in order of arrival.
std::vector<int> pairCounters(const std::vector<Frame>& frames)
{
    std::vector<int> counters;
    for (const Frame& f : frames)
        if (f.type() == 'D' && f.bytes.size() == 23 && f.bytes[2] == 1)
            counters.push_back(dataCounter(f));
    return counters;
}

// How often each counter step occurs.
std::vector<int> steps(const std::vector<int>& counters)
{
    std::vector<int> s;
    for (size_t i = 1; i < counters.size(); ++i)
        s.push_back((counters[i] - counters[i - 1]) & 0xFFFF);
    return s;
}

// Every data frame is whole and belongs to a complete pair, half 0 first.
void expectWholePairs(const std::vector<Frame>& frames)
{
    std::vector<const Frame*> d;
    for (const Frame& f : frames)
        if (f.type() == 'D' && (!d.empty() || f.bytes[2] == 0)) // from the first whole pair
            d.push_back(&f);
    for (size_t i = 0; i + 1 < d.size(); i += 2) {
        ASSERT_EQ(d[i]->bytes.size(), 23u);
        ASSERT_EQ(d[i]->bytes[2], 0) << "frame " << i;
        ASSERT_EQ(d[i + 1]->bytes[2], 1);
        ASSERT_EQ(dataCounter(*d[i]), dataCounter(*d[i + 1]));
    }
}

TEST_F(HeadsetFaults, droppedPairsMakeTheCounterJump)
{
    start();
    auto frames = data(100);
    headset->dropSamplePairs(3);
    auto more = data(200);
    frames.insert(frames.end(), more.begin(), more.end());
    auto s = steps(pairCounters(frames));
    ASSERT_GT(s.size(), 200u);
    EXPECT_EQ(std::count(s.begin(), s.end(), 4), 1);
    EXPECT_EQ(std::count(s.begin(), s.end(), 1), static_cast<long>(s.size()) - 1);
    EXPECT_EQ(headset->pairsDropped(), 3u);
    expectWholePairs(frames);
}

TEST_F(HeadsetFaults, droppedFirstHalfLeavesALoneSecondHalf)
{
    start();
    auto frames = data(50);
    headset->dropNextFirstHalf();
    auto more = data(100);
    frames.insert(frames.end(), more.begin(), more.end());
    int lone = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].bytes[2] != 1)
            continue;
        bool paired = i > 0 && frames[i - 1].bytes[2] == 0 &&
                      dataCounter(frames[i - 1]) == dataCounter(frames[i]);
        lone += paired ? 0 : 1;
    }
    EXPECT_EQ(lone, 1);
    auto s = steps(pairCounters(frames));
    EXPECT_EQ(std::count(s.begin(), s.end(), 1), static_cast<long>(s.size()))
        << "the counter goes on as if nothing happened";
}

TEST_F(HeadsetFaults, injectedFramesArriveWholeBetweenDataFrames)
{
    start();
    std::vector<Frame> frames = collect(client, 30);
    const std::vector<Bytes> expected = {
        {0x05, 'X', 0x01, 0x02, 0x03},
        {0x00},
        {0x0A, 'D', 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9A},
        {0x02, 0xEE},
    };
    for (int i = 0; i < 5; ++i) {
        switch (i) {
        case 0:
            headset->injectUnknownFrame();
            break;
        case 1:
            headset->injectZeroLengthFrame();
            break;
        case 2:
            headset->injectShortDataFrame();
            break;
        case 3:
            headset->injectBadHalfFrame();
            break;
        case 4:
            headset->injectBytes({0x02, 0xEE});
            break;
        }
        auto more = collect(client, 30);
        frames.insert(frames.end(), more.begin(), more.end());
    }
    std::vector<Bytes> odd;
    std::vector<Frame> regular;
    for (const Frame& f : frames) {
        bool dataFrame = f.type() == 'D' && f.bytes.size() == 23 && f.bytes[2] <= 1;
        if (dataFrame)
            regular.push_back(f);
        else
            odd.push_back(f.bytes);
        if (f.type() == 'D' && f.bytes.size() == 23 && f.bytes[2] == 7)
            odd.back() = {0x17, 'D', 0x07};
    }
    std::vector<Bytes> wanted = {
        expected[0], expected[1], expected[2], {0x17, 'D', 0x07}, expected[3]};
    EXPECT_EQ(odd, wanted);
    expectWholePairs(regular);
    auto s = steps(pairCounters(regular));
    EXPECT_EQ(std::count(s.begin(), s.end(), 1), static_cast<long>(s.size()))
        << "injections cost no data";
}

TEST_F(HeadsetFaults, burstsCutTheStreamAndKeepItIntact)
{
    // 122 Hz, so that even one byte at a time keeps up with the data.
    start({}, 65535);
    for (size_t burst : {size_t(7), size_t(1), size_t(0)}) {
        SCOPED_TRACE(burst);
        headset->setBurstSize(burst);
        collect(client, 50); // let the previous setting run out
        client.reads.clear();
        auto frames = collect(client, 400);
        ASSERT_GT(frames.size(), 60u);
        expectWholePairs(frames);
        auto s = steps(pairCounters(frames));
        EXPECT_EQ(std::count(s.begin(), s.end(), 1), static_cast<long>(s.size()));
        size_t small = 0;
        for (size_t n : client.reads)
            small += n <= (burst ? burst : 23) ? 1 : 0;
        if (burst) {
            EXPECT_GT(small * 2, client.reads.size()) << "most reads see a single burst";
        } else {
            EXPECT_LT(small * 2, client.reads.size()) << "unbroken, a pair comes in one piece";
        }
    }
}

TEST_F(HeadsetFaults, silentHeadsetAnswersNothingButStillListens)
{
    start();
    headset->setSilent(true);
    collect(client, 30);
    headset->clearReceived();
    ASSERT_TRUE(client.send({0x02, 0x3F}));
    auto frames = collect(client, 300);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(headset->waitForReceived('?', 100));
    EXPECT_TRUE(headset->capturing());

    headset->setSilent(false);
    auto data = this->data(100);
    ASSERT_FALSE(data.empty());
    EXPECT_GT(dataCounter(data.front()), 250) << "the capture ran on while silent";
}

TEST_F(HeadsetFaults, dropEveryOptionLeavesOutOnePairInN)
{
    sim::Options options;
    options.dropEvery = 5;
    start(options);
    auto counters = pairCounters(data(300));
    ASSERT_GT(counters.size(), 150u);
    for (size_t i = 0; i < counters.size(); ++i) {
        EXPECT_NE(counters[i] % 5, 4) << i;
        if (i > 0) {
            int step = counters[i] - counters[i - 1];
            EXPECT_EQ(step, counters[i] % 5 == 0 ? 2 : 1);
        }
    }
}

} // namespace

// The clean half-frame the deterministic headset sends for a sample.
Bytes cleanHalf(uint64_t index, int half, uint16_t period)
{
    Bytes f = {23, 'D', uint8_t(half), uint8_t(index & 0xFF), uint8_t((index >> 8) & 0xFF)};
    for (int k = 0; k < 6; ++k) {
        const uint32_t c = uint32_t(sim::Headset::sampleCounts(half + 2 * k + 1, index, period));
        f.push_back(uint8_t(c >> 16));
        f.push_back(uint8_t(c >> 8));
        f.push_back(uint8_t(c));
    }
    return f;
}

TEST(HeadsetLineNoise, insertedBytesHitEitherHalfAtRandomPlaces)
{
    // A byte inserted every 10 ms: walking the raw stream pair by pair, each
    // damaged pair has one half intact and the other one byte longer.
    sim::Options options;
    options.deterministic = true;
    options.insertEveryMs = 10;
    sim::Headset headset(options);
    ASSERT_TRUE(headset.start());
    PtyClient client;
    ASSERT_TRUE(client.open(headset.portPath()));
    ASSERT_TRUE(client.send(startFrame(8800)));
    client.pump(1000);
    const Bytes& raw = client.stream;
    ASSERT_GT(raw.size(), 3u);
    ASSERT_EQ(raw[1], '!');
    size_t pos = raw[0];
    int hits[2] = {0, 0};
    std::vector<size_t> places;
    for (uint64_t index = 0; pos + 47 <= raw.size(); ++index) {
        const Bytes first = cleanHalf(index, 0, 8800);
        const Bytes second = cleanHalf(index, 1, 8800);
        const bool firstIntact = std::equal(first.begin(), first.end(), raw.begin() + long(pos));
        if (firstIntact && std::equal(second.begin(), second.end(), raw.begin() + long(pos + 23))) {
            pos += 46;
            continue;
        }
        // Which half is damaged: the intact one is where it belongs.
        const bool secondIntact =
            std::equal(second.begin(), second.end(), raw.begin() + long(pos + 24));
        ASSERT_TRUE(firstIntact || secondIntact) << "pair " << index;
        if (firstIntact && secondIntact) { // a byte inserted next to its own copy
            pos += 47;
            continue;
        }
        const int half = firstIntact ? 1 : 0;
        ++hits[half];
        const size_t at = pos + size_t(half) * 23;
        size_t place = 0;
        while (place < 23 && raw[at + place] == (half ? second : first)[place])
            ++place;
        places.push_back(place);
        pos += 47;
    }
    EXPECT_GT(hits[0], 10);
    EXPECT_GT(hits[1], 10);
    std::sort(places.begin(), places.end());
    places.erase(std::unique(places.begin(), places.end()), places.end());
    EXPECT_GT(places.size(), 5u);
}
