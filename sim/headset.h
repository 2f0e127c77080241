// The headset simulator: a stand-in for the twelve-channel headset (and its
// wireless receiver) that speaks the serial protocol over a pseudo-terminal.
//
// Development and test tooling only. The program never links it, and it
// shares no code with the program's frame decoder: samples are encoded here
// from the conversion formula on their own, so the decoder is never checked
// against itself.
//
// A Headset runs one serving thread that owns the master side of the pty. Every
// public member may be called from any thread while it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim
{

struct Options {
    bool wireless = false;      // answer "?" first as the receiver, then (<300 ms) as the headset
    bool fast = false;          // stream data as fast as the link allows (benchmarks)
    uint8_t adcFaultMask = 0;   // non-zero: refuse "!" with this mask
    bool lightModule = true;    // false: "F" answered with status 0
    bool soundModule = true;    // false: "T" answered with status 0
    bool deterministic = false; // exact, noise-free signal that sampleCounts() predicts
    double noiseMicrovolts = 0; // seeded gaussian noise amplitude (ignored when deterministic)
    uint32_t seed = 1;
    // An EEG-like signal instead of the test rhythms (ignored when deterministic):
    // rhythms placed as if the channels were Fp1, Fp2, F3, F4, C3, C4, P3, P4,
    // O1, O2, T3, T4, and a driven response to light trains.
    bool eeg = false;
    double alphaHz = 10;         // posterior alpha frequency
    double mainsHz = 50;         // mains pick-up; 0: none
    bool eyesOpen = false;       // open eyes block the alpha and blink more often
    double eyesCycleSeconds = 0; // non-zero: eyes closed this long, then open as long, ...

    std::string linkPath; // if set, keep a symlink here to the current slave pty
    size_t burstSize = 0; // 0: write each frame pair as produced; n: deliver in n-byte bursts

    // Line noise inside data frames: every so many milliseconds (0: never) one
    // byte of either half of the next sample pair, at a random position, is
    // damaged: a random byte inserted into it, one of its bytes left out, or
    // one bit of one of its bytes flipped.
    unsigned insertEveryMs = 0;
    unsigned omitEveryMs = 0;
    unsigned flipEveryMs = 0;
    // Not a headset at all: a device that ignores what it is sent and prints a
    // line of text every chattyIntervalMs while the port is open.
    bool chatty = false;
    unsigned chattyIntervalMs = 100;

    // Additions for the command-line program.
    unsigned dropEvery = 0; // non-zero: leave out one sample pair in every dropEvery
    // Non-negative: the second half of this sample pair of every capture (0 is
    // the first) carries its counter XORed with corruptMask.
    long long corruptPair = -1;
    uint16_t corruptMask = 0x0100;
    std::string logPath;  // if set, append every received frame to this file
    bool echoLog = false; // also write every received frame to stderr
};

// Frame types and fixed values of the link, as the headset sees them.
namespace frame
{
constexpr uint8_t identify = '?';
constexpr uint8_t captureStart = '!';
constexpr uint8_t captureStop = '#';
constexpr uint8_t keepAlive = 'S';
constexpr uint8_t data = 'D';
constexpr uint8_t lightStart = 'F';
constexpr uint8_t lightStop = 'G';
constexpr uint8_t soundStart = 'T';
constexpr uint8_t soundStop = 'U';
constexpr size_t dataLength = 23;
constexpr uint16_t minPeriod = 8800;        // ticks of 125 ns: 909 Hz
constexpr uint8_t periodRefusedMask = 0x80; // "!" refusal for a period out of range
constexpr const char* headsetId = "VolmaHeadsetRF";
constexpr const char* receiverId = "VolmaRadioRX"; // the receiver's own answer
} // namespace frame

class Headset
{
public:
    explicit Headset(Options options = {});
    ~Headset(); // stops the thread, closes the pty, removes the link
    Headset(const Headset&) = delete;
    Headset& operator=(const Headset&) = delete;

    bool start(std::string* error = nullptr); // opens the pty pair and starts serving
    void stop();
    std::string portPath() const; // linkPath if set, else the slave's /dev/pts/N

    // Faults, callable from any thread while running.
    void dropSamplePairs(unsigned n); // skip the next n sample pairs (counter jumps by n)
    void dropNextFirstHalf();         // omit the half-0 frame of the next pair
    void injectUnknownFrame();        // send a frame of an unknown type (05 58 ...)
    void injectBytes(const std::vector<uint8_t>& bytes); // raw bytes, e.g. garbage
    void injectZeroLengthFrame();                        // a frame whose length byte is 0
    void injectShortDataFrame();                         // a "D" frame with L < 23
    void injectBadHalfFrame();                           // a 23-byte "D" frame with half = 7
    // One-off line noise in either half of the next pair (see Options::insertEveryMs).
    void insertByteInNextFrame();
    void omitByteOfNextFrame();
    void flipBitInNextFrame();
    // The second half of the pair `pairsAhead` pairs from now (0: the next one
    // made) carries its counter XORed with `mask`.
    void corruptCounter(uint16_t mask, unsigned pairsAhead = 0);
    uint64_t bytesDamaged() const; // line-noise faults carried out so far
    void setBurstSize(size_t n);   // 0 = normal, 1 = one byte at a time
    void setSilent(bool silent);   // read but answer nothing, send no data
    void hangUp();                 // close the master side (unplug)
    void comeBack();               // open a new pty (the link, if any, is updated)
    void setAdcFaultMask(uint8_t mask);
    void setLightModule(bool on);
    void setSoundModule(bool on);
    void setEyesOpen(bool open); // the EEG-like signal's eyes from now on (ends a cycle)
    // The next `starts` capture starts and `stops` capture stops are carried
    // out, but their replies are lost on the way.
    void loseReplies(unsigned starts, unsigned stops);

    // Observation.
    struct Received {
        double seconds; // CLOCK_MONOTONIC (std::chrono::steady_clock) when the frame was taken
        std::vector<uint8_t> frame;
    };
    // Every frame received, in order (the latest 100000 at least, on a long run).
    std::vector<Received> received() const;
    void clearReceived();
    bool waitForReceived(uint8_t type, int timeoutMs); // a frame of this type arrived (since clear)
    bool capturing() const;
    uint16_t period() const;
    uint64_t pairsSent() const;    // sample pairs sent in this capture
    uint64_t firstCounter() const; // counter of the first pair of this capture (0)
    uint64_t pairsDropped() const; // pairs of this capture not sent (faults, closed port, silence)
    bool portOpenedByPeer() const; // someone has the slave side open right now

    // The deterministic signal: channel 1..12, sample index from 0 (the first pair of a
    // capture is index 0 and carries counter 0), sample period in 125 ns ticks. Returns the
    // 24-bit two's-complement count that is sent (in -8388608..8388607).
    static int32_t sampleCounts(int channel, uint64_t index, uint16_t period);
    // Volts for a count, from the headset's formula (1 count = 256/255 * 2^-11 * 1e-3 V).
    static double countsToVolts(int32_t counts);
    // The count nearest to a voltage, clamped to the 24-bit range.
    static int32_t voltsToCounts(double volts);

    class Impl;

private:
    std::unique_ptr<Impl> d;
};

} // namespace sim
