// The headset's answers to every command frame, through a real pty.
#include "headset.h"
#include "ptyclient.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace simtest;

namespace
{

const std::string id = "VolmaHeadsetRF";

bool contains(const Bytes& b, const std::string& s)
{
    return std::search(b.begin(), b.end(), s.begin(), s.end()) != b.end();
}

class HeadsetProtocol : public ::testing::Test
{
protected:
    void start(sim::Options options = {})
    {
        headset = std::make_unique<sim::Headset>(options);
        std::string error;
        ASSERT_TRUE(headset->start(&error)) << error;
        ASSERT_TRUE(client.open(headset->portPath()));
    }

    // Sends a frame and returns the first frame of the wanted type that comes back.
    Bytes ask(const Bytes& request, uint8_t replyType)
    {
        EXPECT_TRUE(client.send(request));
        std::vector<Frame> seen;
        Frame reply{};
        if (!client.waitFrame(replyType, 1000, &seen, &reply))
            return {};
        return reply.bytes;
    }

    // Everything that arrives within ms.
    Bytes quietFor(int ms)
    {
        client.pump(ms);
        Bytes b = client.stream;
        client.stream.clear();
        return b;
    }

    std::unique_ptr<sim::Headset> headset;
    PtyClient client;
};

TEST_F(HeadsetProtocol, wiredHeadsetAnswersIdentificationWithItsStringAlone)
{
    start();
    double sent = nowSeconds();
    ASSERT_TRUE(client.send({0x02, 0x3F}));
    ASSERT_TRUE(client.pump(300, 16));
    EXPECT_LT(client.lastRead - sent, 0.3);
    Bytes expected = {0x10, '?'};
    expected.insert(expected.end(), id.begin(), id.end());
    EXPECT_EQ(client.stream, expected);
    client.stream.clear();
    EXPECT_TRUE(quietFor(150).empty());
}

TEST_F(HeadsetProtocol, wirelessReceiverAnswersFirstWithoutTheStringThenRelaysTheHeadset)
{
    sim::Options options;
    options.wireless = true;
    start(options);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(client.send({0x02, 0x3F}));
        ASSERT_TRUE(client.pump(300, 1));
        ASSERT_FALSE(client.stream.empty());
        double first = client.lastRead;
        Bytes receiver = client.stream;
        EXPECT_FALSE(contains(receiver, id));
        ASSERT_GE(receiver.size(), 2u);
        EXPECT_EQ(receiver[0], receiver.size()) << "the receiver's answer is one whole frame";
        client.stream.clear();

        ASSERT_TRUE(client.pump(400, 16));
        EXPECT_GT(client.lastRead - first, 0.01) << "the headset's answer comes as a later chunk";
        EXPECT_LT(client.lastRead - first, 0.3);
        Bytes expected = {0x10, '?'};
        expected.insert(expected.end(), id.begin(), id.end());
        EXPECT_EQ(client.stream, expected);
        client.stream.clear();
    }
}

TEST_F(HeadsetProtocol, captureStartsWithStatusZeroAndStopsWithHashAndNoDataAfterIt)
{
    start();
    EXPECT_EQ(ask(startFrame(8800), '!'), (Bytes{0x03, 0x21, 0x00}));
    std::vector<Frame> seen;
    ASSERT_TRUE(client.waitFrame('D', 500, &seen));
    EXPECT_TRUE(headset->capturing());
    EXPECT_EQ(headset->period(), 8800);

    ASSERT_TRUE(client.send({0x02, 0x23}));
    seen.clear();
    Frame stop{};
    ASSERT_TRUE(client.waitFrame('#', 1000, &seen, &stop));
    EXPECT_EQ(stop.bytes, (Bytes{0x02, 0x23}));
    // Frames read together with the reply must not include data after it.
    auto hash =
        std::find_if(seen.begin(), seen.end(), [](const Frame& f) { return f.type() == '#'; });
    EXPECT_EQ(hash + 1, seen.end());
    EXPECT_TRUE(quietFor(100).empty());
    EXPECT_FALSE(headset->capturing());

    // A stop while idle is still answered.
    EXPECT_EQ(ask({0x02, 0x23}, '#'), (Bytes{0x02, 0x23}));
}

TEST_F(HeadsetProtocol, captureStartIsRefusedWithAFaultMaskAndNoData)
{
    start();
    struct Case {
        Bytes request;
        uint8_t mask;
    };
    const Case periodCases[] = {{startFrame(8799), 0x80},
                                {startFrame(0), 0x80},
                                {{0x02, 0x21}, 0x80},
                                {{0x03, 0x21, 0x60}, 0x80}};
    for (const Case& c : periodCases) {
        EXPECT_EQ(ask(c.request, '!'), (Bytes{0x03, 0x21, c.mask}));
        EXPECT_TRUE(quietFor(60).empty());
        EXPECT_FALSE(headset->capturing());
    }
    headset->setAdcFaultMask(0x05);
    EXPECT_EQ(ask(startFrame(16000), '!'), (Bytes{0x03, 0x21, 0x05}));
    headset->setAdcFaultMask(0x40);
    EXPECT_EQ(ask(startFrame(16000), '!'), (Bytes{0x03, 0x21, 0x40}));
    EXPECT_TRUE(quietFor(60).empty());
    headset->setAdcFaultMask(0);
    EXPECT_EQ(ask(startFrame(65535), '!'), (Bytes{0x03, 0x21, 0x00}));
    EXPECT_TRUE(headset->capturing());
    EXPECT_EQ(headset->period(), 65535);
}

TEST_F(HeadsetProtocol, adcFaultOptionRefusesEveryStart)
{
    sim::Options options;
    options.adcFaultMask = 0x21;
    start(options);
    EXPECT_EQ(ask(startFrame(8800), '!'), (Bytes{0x03, 0x21, 0x21}));
    EXPECT_TRUE(quietFor(60).empty());
}

TEST_F(HeadsetProtocol, stimulationRepliesFollowTheModules)
{
    sim::Options options;
    options.soundModule = false;
    start(options);
    Bytes light = {0x0D, 0x46, 0x0D, 0xD0, 0x07, 0xD0, 0x07, 0x0A, 0x00, 0xF4, 0x01, 0x03, 0x00};
    Bytes sound = {0x0F, 0x54, 0xFA, 0x01, 0x00, 0x01, 0x00, 0x01,
                   0x00, 0xE8, 0x03, 0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(ask(light, 'F'), (Bytes{0x03, 0x46, 0x01}));
    EXPECT_EQ(ask(sound, 'T'), (Bytes{0x03, 0x54, 0x00}));
    EXPECT_EQ(ask({0x02, 0x47}, 'G'), (Bytes{0x02, 0x47}));
    EXPECT_EQ(ask({0x02, 0x55}, 'U'), (Bytes{0x02, 0x55}));

    headset->setLightModule(false);
    headset->setSoundModule(true);
    EXPECT_EQ(ask(light, 'F'), (Bytes{0x03, 0x46, 0x00}));
    EXPECT_EQ(ask(sound, 'T'), (Bytes{0x03, 0x54, 0x01}));
}

TEST_F(HeadsetProtocol, keepAliveIsAnsweredAndUnknownFramesAreOnlyLogged)
{
    start();
    EXPECT_EQ(ask({0x02, 0x53}, 'S'), (Bytes{0x02, 0x53}));
    headset->clearReceived();
    ASSERT_TRUE(client.send({0x04, 'Z', 0x01, 0x02}));
    EXPECT_TRUE(headset->waitForReceived('Z', 1000));
    EXPECT_TRUE(quietFor(150).empty());
    auto log = headset->received();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].frame, (Bytes{0x04, 'Z', 0x01, 0x02}));
}

TEST_F(HeadsetProtocol, receivedLogHoldsEveryFrameInOrderWithTimeStamps)
{
    start();
    // Several frames in one write, a zero length byte, a lone length byte and a
    // frame cut in two writes.
    Bytes burst = {0x02, 0x53, 0x00, 0x01, 0x04, 0x21, 0x60, 0x22, 0x02, 0x23, 0x05, 'X', 1};
    double before = nowSeconds();
    ASSERT_TRUE(client.send(burst));
    ASSERT_TRUE(headset->waitForReceived('#', 1000));
    double middle = nowSeconds();
    ASSERT_TRUE(client.send({2, 3}));
    ASSERT_TRUE(headset->waitForReceived('X', 1000));
    double after = nowSeconds();
    auto log = headset->received();
    std::vector<Bytes> frames;
    for (const auto& r : log)
        frames.push_back(r.frame);
    std::vector<Bytes> expected = {
        {0x02, 0x53}, {0x00}, {0x01}, {0x04, 0x21, 0x60, 0x22}, {0x02, 0x23}, {0x05, 'X', 1, 2, 3}};
    EXPECT_EQ(frames, expected);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_GE(log[i].seconds, before);
        EXPECT_LE(log[i].seconds, after);
        if (i > 0) {
            EXPECT_GE(log[i].seconds, log[i - 1].seconds);
        }
    }
    ASSERT_EQ(log.size(), 6u);
    EXPECT_LE(log[4].seconds, middle);
    EXPECT_GE(log[5].seconds, middle) << "a frame is stamped when its last byte arrives";

    headset->clearReceived();
    EXPECT_TRUE(headset->received().empty());
    EXPECT_FALSE(headset->waitForReceived('S', 50));
}

TEST_F(HeadsetProtocol, garbageFromTheHostNeverStopsTheHeadset)
{
    start();
    // A stray byte that announces a long frame is given up after a while, so
    // the next identification request still gets its answer.
    ASSERT_TRUE(client.send({0x50}));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(ask({0x02, 0x3F}, '?').empty());

    uint32_t x = 12345;
    Bytes junk(64 * 1024);
    for (auto& b : junk) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    ASSERT_TRUE(client.send(junk));
    // Let a frame cut off at the end of the junk expire, then stop whatever the
    // junk may have started.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(client.send({0x02, 0x23}));
    client.pump(300);
    EXPECT_FALSE(headset->capturing());
    client.stream.clear();
    EXPECT_FALSE(ask({0x02, 0x3F}, '?').empty());
}

} // namespace
