// A damaged headset stream and the truth about it, for tests, the fuzzer and
// the bench: standard C++ only, and independent of the simulator's timer.
//
// LinkDamager makes the byte stream a headset sends for a capture, sample by
// sample on a virtual clock (sample i is made (i + 1) periods after the start),
// and damages it as planned: one kind of damage at chosen or random samples,
// in either half, at a random position. It hands the bytes out in pieces with
// the time each piece arrives (pairs can be held back and arrive in bursts, as
// buffering links deliver them).
//
// Every sample carries its own index in its values, through a bijection the
// decoder knows nothing of, so LinkOracle can tell from any delivered sample
// which true sample it is: the right one at its index, a counted copy, a
// sample at the wrong index (shifted) or one that was never sent (made up).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "device/frames.h"

namespace linktest
{

enum class Damage {
    None,
    Insert,         // a random byte inserted inside a half-frame
    Omit,           // a byte of a half-frame left out
    HeaderFlip,     // a bit flipped in the length, type, half or counter bytes
    RepeatHalf,     // a half-frame sent twice
    RepeatPair,     // a sample pair sent twice
    BothCounters,   // both halves carry the same wrong counter
    CounterRestart, // the counter starts again from 0, the clock runs on
    Outage,         // `outage` samples are not sent, the clock runs on
    Mix,            // each fault of a random kind (outages of up to 500 samples)
};
const char* damageName(Damage kind);
constexpr Damage everyDamage[] = {Damage::Insert,         Damage::Omit,       Damage::HeaderFlip,
                                  Damage::RepeatHalf,     Damage::RepeatPair, Damage::BothCounters,
                                  Damage::CounterRestart, Damage::Outage};

// The counts the headset sends for sample `index`, channel 0..11.
int32_t trueCount(uint64_t index, int channel);
// The sample whose channels 0 and 1 carry these counts.
uint64_t indexOfCounts(int32_t channel0, int32_t channel1);
// The 24-bit count a decoded voltage stands for: one count is
// 256/255 * 2^-11 mV.
int32_t countOfVolts(double volts);

struct DamagePlan {
    double periodSeconds = 8800 * 1.25e-7;
    uint64_t samples = 0; // samples made, outages included
    Damage kind = Damage::None;
    double faultsPerSecond = 4;
    uint64_t outage = 0;        // samples per outage (Damage::Outage)
    uint64_t firstFault = 100;  // no fault before this sample
    uint64_t quietTail = 16;    // nor within this many samples of the end
    unsigned maxBurstPairs = 1; // pairs arrive in bursts of 1..this many
    double maxDelaySeconds = 0.002;
    uint32_t seed = 1;
    // Explicit faults (sample index, kind) instead of the rate; sorted.
    std::vector<std::pair<uint64_t, Damage>> at;
};

class LinkDamager
{
public:
    explicit LinkDamager(const DamagePlan& plan);
    // The next piece of the stream and when it arrives; false at the end.
    bool next(std::vector<char>& bytes, double& arrival);
    double startSeconds() const { return 0; }

    uint64_t faults() const { return faultCount; }
    uint64_t samplesMade() const { return made; }
    uint64_t outageSamples() const { return outageTotal; }
    // Samples whose frames were damaged or not sent: the most that may be lost.
    uint64_t samplesHit() const { return hit; }

private:
    Damage pickKind();
    void scheduleNext(uint64_t after);
    void appendPair(std::vector<char>& out, uint64_t index);

    DamagePlan plan;
    std::mt19937_64 random;
    uint64_t made = 0;
    uint64_t nextFault = 0;
    size_t nextPlanned = 0;
    uint64_t faultCount = 0;
    uint64_t outageTotal = 0;
    uint64_t hit = 0;
    uint64_t restartAt = 0; // counter = index - restartAt
    double lastArrival = 0;
};

// Checks every delivered sample against the truth.
class LinkOracle : public protocol::SampleStream::Listener
{
public:
    void sample(const double* values, uint64_t index, uint64_t copies) override;
    void fault(protocol::SampleStream::Fault, uint16_t, uint16_t) override { ++faultsSeen; }

    uint64_t delivered = 0; // indexes delivered, copies included
    uint64_t copies = 0;    // indexes filled with copies (counted losses)
    uint64_t fills = 0;     // runs of copies
    uint64_t largestFill = 0;
    uint64_t madeUp = 0;    // values no sample carried
    uint64_t shifted = 0;   // a true sample at another index
    uint64_t misplaced = 0; // an index out of sequence
    uint64_t faultsSeen = 0;
};

// The receive path as the device worker drives it: pieces into a buffer,
// frames found (a pause of the line lets a waiting data frame be judged), data
// frames decoded and made into samples. Returns the oracle's findings; `extra`
// and `missing` compare the indexes delivered with the samples made.
struct LinkResult {
    LinkOracle oracle;
    uint64_t made = 0;
    uint64_t faults = 0;
    uint64_t hit = 0;
    uint64_t extra = 0;
    uint64_t missing = 0;
    uint64_t frames = 0;
    uint64_t skipRuns = 0; // runs of bytes that started no frame
};
LinkResult runLink(const DamagePlan& plan);
// The same for a plain byte stream with arrival times (the fuzzer's raw input):
// only the stream's own consistency is checked.
struct Piece {
    std::vector<char> bytes;
    double arrival;
};
LinkOracle runPieces(const std::vector<Piece>& pieces, double periodSeconds);

} // namespace linktest
