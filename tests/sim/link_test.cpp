// The pty link itself: transparency, the symlink, unplugging and coming back,
// repeated opening by the host, and prompt shutdown.
#include "headset.h"
#include "ptyclient.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

using namespace simtest;
using std::chrono::milliseconds;

namespace
{

class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/neurask-sim-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

std::string linkTarget(const std::string& link)
{
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool answersIdentification(PtyClient& client)
{
    if (!client.send({0x02, 0x3F}))
        return false;
    std::vector<Frame> seen;
    return client.waitFrame('?', 500, &seen);
}

TEST(HeadsetLink, everyByteValuePassesUntranslatedBothWays)
{
    sim::Headset headset;
    ASSERT_TRUE(headset.start());
    PtyClient client;
    // The port must come raw: no echo, no line editing, no CR/LF mapping, no
    // XON/XOFF, no signal characters, no output processing.
    ASSERT_TRUE(client.open(headset.portPath(), true));
    termios t{};
    ASSERT_EQ(tcgetattr(client.fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    // Host to headset: two unknown frames whose payloads hold all 256 values,
    // among them CR, LF, XON, XOFF, ^C, ^D, ^Z and DEL.
    Bytes low = {130, 'X'}, high = {130, 'Y'};
    for (int v = 0; v < 128; ++v) {
        low.push_back(static_cast<uint8_t>(v));
        high.push_back(static_cast<uint8_t>(v + 128));
    }
    Bytes both = low;
    both.insert(both.end(), high.begin(), high.end());
    ASSERT_TRUE(client.send(both));
    ASSERT_TRUE(headset.waitForReceived('Y', 1000));
    auto log = headset.received();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].frame, low);
    EXPECT_EQ(log[1].frame, high);

    // Headset to host: every value, twice, in both orders.
    Bytes all;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<uint8_t>(v));
    for (int v = 255; v >= 0; --v)
        all.push_back(static_cast<uint8_t>(v));
    headset.injectBytes(all);
    ASSERT_TRUE(client.pump(1000, all.size()));
    client.pump(50);
    EXPECT_EQ(client.stream, all);
}

TEST(HeadsetLink, symlinkFollowsThePtyAcrossHangUpAndComeBack)
{
    TempDir dir;
    sim::Options options;
    options.linkPath = dir.path + "/headset";
    {
        sim::Headset headset(options);
        std::string error;
        ASSERT_TRUE(headset.start(&error)) << error;
        EXPECT_EQ(headset.portPath(), options.linkPath);
        std::string first = linkTarget(options.linkPath);
        EXPECT_EQ(first.rfind("/dev/pts/", 0), 0u) << first;

        PtyClient client;
        ASSERT_TRUE(client.open(options.linkPath));
        ASSERT_TRUE(client.send(startFrame(8800)));
        std::vector<Frame> seen;
        ASSERT_TRUE(client.waitFrame('D', 500, &seen));

        headset.hangUp();
        EXPECT_FALSE(headset.capturing());
        // The program sees the port vanish: reads fail and the device node is gone.
        bool alive = true;
        for (int i = 0; i < 50 && alive; ++i)
            alive = client.pump(10);
        EXPECT_FALSE(alive);
        client.close();
        PtyClient other;
        EXPECT_FALSE(other.open(options.linkPath));

        headset.comeBack();
        EXPECT_FALSE(linkTarget(options.linkPath).empty());
        ASSERT_TRUE(client.open(options.linkPath));
        EXPECT_TRUE(answersIdentification(client));
        EXPECT_FALSE(headset.capturing()) << "a headset that comes back starts idle";
    }
    struct stat st {
    };
    EXPECT_NE(lstat(options.linkPath.c_str(), &st), 0) << "the link goes with the headset";
}

TEST(HeadsetLink, portPathFollowsComeBackWithoutALink)
{
    sim::Headset headset;
    ASSERT_TRUE(headset.start());
    EXPECT_EQ(headset.portPath().rfind("/dev/pts/", 0), 0u);
    headset.hangUp();
    headset.comeBack();
    PtyClient client;
    ASSERT_TRUE(client.open(headset.portPath()));
    EXPECT_TRUE(answersIdentification(client));
}

TEST(HeadsetLink, startRefusesAWrongSetUp)
{
    TempDir dir;
    std::string file = dir.path + "/file";
    std::system(("touch '" + file + "'").c_str());
    sim::Options options;
    options.linkPath = file;
    sim::Headset onFile(options);
    std::string error;
    EXPECT_FALSE(onFile.start(&error));
    EXPECT_FALSE(error.empty());
    struct stat st {
    };
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "a file that is not a link is left alone";

    sim::Headset twice;
    ASSERT_TRUE(twice.start());
    EXPECT_FALSE(twice.start(&error));
    twice.stop();
    EXPECT_TRUE(twice.start(&error)) << "a stopped headset starts again";
}

TEST(HeadsetLink, hostOpeningAndClosingRepeatedlyIsAnsweredEveryTime)
{
    sim::Headset headset;
    ASSERT_TRUE(headset.start());
    for (int i = 0; i < 15; ++i) {
        PtyClient client;
        ASSERT_TRUE(client.open(headset.portPath()));
        double sent = nowSeconds();
        ASSERT_TRUE(answersIdentification(client)) << "round " << i;
        EXPECT_LT(client.lastRead - sent, 0.3);
        // Some rounds leave an unanswered request behind them.
        if (i % 3 == 0)
            client.send({0x02, 0x3F});
    }
}

TEST(HeadsetLink, nothingSentWhileThePortWasClosedReachesTheNextOpener)
{
    sim::Headset headset;
    ASSERT_TRUE(headset.start());
    PtyClient client;
    ASSERT_TRUE(client.open(headset.portPath()));
    ASSERT_TRUE(client.send(startFrame(8800)));
    std::vector<Frame> seen;
    ASSERT_TRUE(client.waitFrame('D', 500, &seen));
    // Close without reading what is in flight; the capture goes on meanwhile.
    client.close();
    std::this_thread::sleep_for(milliseconds(200));
    ASSERT_TRUE(client.open(headset.portPath()));
    ASSERT_TRUE(client.pump(500, 46 * 20));
    // The stream starts at a whole data frame and runs in pairs.
    auto frames = client.takeFrames();
    ASSERT_GE(frames.size(), 20u);
    ASSERT_EQ(frames[0].bytes[0], 23) << "stale or cut bytes at the start of the stream";
    for (size_t i = 0; i + 1 < frames.size(); i += 2) {
        ASSERT_EQ(frames[i].type(), 'D');
        ASSERT_EQ(frames[i].bytes.size(), 23u);
        EXPECT_EQ(frames[i].bytes[2], 0);
        EXPECT_EQ(frames[i + 1].bytes[2], 1);
        EXPECT_EQ(dataCounter(frames[i]), dataCounter(frames[i + 1]));
    }
    // Pairs due while nobody listened are counted as lost by the counter.
    EXPECT_GE(dataCounter(frames[0]), 150);
    EXPECT_GT(headset.pairsDropped(), 100u);
}

TEST(HeadsetLink, stopReturnsPromptlyWhateverTheHostDoes)
{
    for (int mode = 0; mode < 3; ++mode) {
        sim::Options options;
        options.fast = mode == 0;
        options.burstSize = mode == 2 ? 1 : 0;
        auto headset = std::make_unique<sim::Headset>(options);
        ASSERT_TRUE(headset->start());
        PtyClient client;
        ASSERT_TRUE(client.open(headset->portPath()));
        ASSERT_TRUE(client.send(startFrame(8800)));
        if (mode == 1)
            client.send(Bytes(4000, 0xEE)); // a half-read frame of junk
        // The host stops reading; the pty fills up.
        std::this_thread::sleep_for(milliseconds(300));
        auto begin = Clock::now();
        headset.reset();
        EXPECT_LT(Clock::now() - begin, milliseconds(500)) << "mode " << mode;
    }
}

} // namespace
