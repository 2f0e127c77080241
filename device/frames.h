// The receive path of the headset link as plain functions over bytes, with no
// Qt and no I/O: finding frames in a receive buffer (and finding them again
// after line noise), decoding "D" data half-frames, telling a wired headset's
// identification from one relayed by a wireless receiver, and making samples of
// the half-frames and placing each at its index in the capture.
//
// The device worker calls these; the unit tests and the fuzzer drive them
// directly. A frame is a length byte L counting the whole frame, a
// one-character type and L - 2 bytes of payload; there is no sync marker and
// no checksum, so the only defence against noise is what a frame may look like.
#pragma once

#include <cstdint>

namespace protocol
{

constexpr char typeIdentify = '?';
constexpr char typeCaptureStart = '!';
constexpr char typeCaptureStop = '#';
constexpr char typeData = 'D';
constexpr char typeLightStart = 'F';
constexpr char typeLightStop = 'G';
constexpr char typeKeepAlive = 'S';
constexpr char typeSoundStart = 'T';
constexpr char typeSoundStop = 'U';

// The string a headset puts in its reply to the identification request.
constexpr char identification[] = "VolmaHeadsetRF";
constexpr int identificationSize = sizeof(identification) - 1;

// Size of a "D" half-frame and the number of channel values it carries.
constexpr int dataFrameSize = 23;
constexpr int valuesPerHalf = 6;
// The headset's replies are a type and at most a status byte or two; the
// keep-alive reply's payload is ignored and is allowed a little more room.
constexpr int maxReplySize = 4;
constexpr int maxKeepAliveSize = 8;

enum class Scan {
    Frame,    // a frame of `length` bytes starts `skip` bytes into the data
    NeedMore, // after `skip` bytes that start no frame, the rest is incomplete
};

struct ScanResult {
    Scan status;
    int skip;   // bytes at the head that cannot start a frame the headset sends
    int length; // frame length for Frame, 0 otherwise
};

// Whether a frame of this type and length is one the headset sends during an
// exchange: a "D" half-frame of exactly 23 bytes with half 0 or 1, or a reply
// of a known type within its length bound. `size` bytes are available from
// `frame`; what is not there yet is not judged.
bool plausibleHead(const unsigned char* frame, int size);

// Finds the next frame at or after the head of `data`. Bytes that cannot start
// a frame are skipped one at a time, so noise costs only the frames it touches
// and the buffer is never dropped wholesale.
//
// A "D" half-frame is taken only when the bytes after its 23 bytes start a
// plausible frame too (or, when those are damaged, the half-frame after them
// does): a byte gained or lost inside a half-frame moves what follows it, so
// the damaged half-frame is refused whole instead of being read with shifted
// values. Until its successor has arrived a "D" frame waits (NeedMore); once
// the line is `quiet` (no input within the read time-out) one with nothing at
// all behind it is taken. Reply frames are checked against their successor only while
// `resyncing` or after skipped bytes, where a chance match in sample bytes is
// likely.
ScanResult scanFrame(const char* data, int size, bool resyncing = false, bool quiet = false);

// The type byte and the status byte of a frame; a byte the frame does not carry
// reads as 0.
char frameType(const char* frame, int size);
uint8_t frameStatus(const char* frame, int size);

// One decoded "D" half-frame.
struct DataHalf {
    int half;                    // 0: channels 1, 3, .., 11; 1: channels 2, 4, .., 12
    uint16_t counter;            // the headset's sample counter
    double volts[valuesPerHalf]; // in channel order within the half
};

enum class DataError {
    None,
    TooShort, // fewer than 23 bytes: the values would be read beyond the frame
    BadHalf,  // half is neither 0 nor 1
};

DataError decodeDataFrame(const char* frame, int size, DataHalf& out);

// Volts of one 24-bit big-endian two's-complement sample value.
double sampleVolts(uint8_t b0, uint8_t b1, uint8_t b2);

// Index in a sample's value array of value k (0..5) of a given half.
constexpr int channelIndex(int half, int k)
{
    return half + 2 * k;
}

// The identification search of a probe, over everything a port has answered so
// far. A headset answers with a "?" frame carrying the identification string. A
// wireless receiver first answers with a "?" frame of its own and then relays
// the headset's. The buffer is read frame by frame: frames the headset sends in
// an exchange (data of a headset that is still streaming, say) are passed over
// whole, so bytes inside them can neither hide the answer nor pose as the
// receiver's; bytes that start no frame are passed over one at a time, and a
// "?" frame without the string counts only when a plausible frame follows it.
enum class Identified { NotYet, Wired, Wireless };
struct IdentifyResult {
    Identified kind;
    int end;               // for Wired and Wireless: the offset just past the headset's frame
    bool receiverAnswered; // a "?" frame without the headset's string came first
                           // (for NotYet: one came, though nothing may follow it yet)
};
IdentifyResult scanIdentification(const char* data, int size);

// The samples of a capture, made of data half-frames and placed at their index.
//
// - A sample is a first half and the second half with the same counter, next
//   to each other. A half without its partner is dropped and reported; so is a
//   first half when bytes between the two were dropped (interrupted()).
// - The index of a sample is the value congruent to its counter modulo 65536
//   that best fits the headset's clock: the time since the capture started at
//   the capture's rate, with the headset's offset against our clock estimated
//   from the samples themselves. A sample can arrive late (buffering, bursts)
//   but never before it was made, so the least delay seen gives the offset
//   (let creep up only as fast as a headset clock may drift); an outage of any
//   length is placed exactly.
// - The next index in sequence is delivered at once. A counter at or shortly
//   behind it is a repeat (a relay that sends again): dropped. Any other
//   counter is held back until the next sample: if that one follows it, the two
//   are real; the gap before them is filled with copies when the clock says
//   the headset had time to make it, else (a counter restart) they go on in
//   sequence without a fill. If it does not follow, the held one had a
//   damaged counter and is dropped.
//
// Dropped halves and samples are faults, not losses: only indexes filled with
// copies count as lost. The allowance of the clock check is a few samples plus
// the drift over the outage itself; it does not grow with the capture.
class SampleStream
{
public:
    enum class Fault {
        LoneHalf,   // a half without its partner: dropped
        Repeat,     // a counter at or just behind the one expected: dropped
        BadCounter, // a held sample that the next one did not confirm: dropped
        Jump,       // counters that go on from a new value the clock cannot explain:
                    // followed in sequence, nothing filled
    };
    class Listener
    {
    public:
        virtual ~Listener() = default;
        // `copies` lost samples, at the indexes just before `index`, are
        // filled with copies of this one; then the sample itself at `index`.
        virtual void sample(const double* values, uint64_t index, uint64_t copies) = 0;
        // `expected` is the counter expected next, `received` the one that came
        // (for a lone half, its own counter).
        virtual void fault(Fault kind, uint16_t expected, uint16_t received) = 0;
    };
    static constexpr int channels = 2 * valuesPerHalf;

    // A capture starts: the first sample has index 0 and counter 0.
    // `startSeconds` is when the start was requested (the headset cannot have
    // started before), on the clock that later calls use.
    void start(double startSeconds, double periodSeconds);
    void half(const DataHalf& data, double nowSeconds, Listener& out);
    // Bytes between two frames were dropped: a first half waiting for its
    // partner is no longer next to it.
    void interrupted(Listener& out);
    // The capture ends: a first half or a held sample still waiting is dropped.
    void finish(Listener& out);

    uint64_t nextIndex() const { return next; }
    uint16_t expectedCounter() const { return uint16_t(next - shift); }
    bool holding() const { return held; }
    // The latest index the headset can have made by `nowSeconds`, by the clock
    // estimate.
    double latestIndex(double nowSeconds) const;

    // Headset clock drift tolerated (the estimate's offset may creep up by
    // this share of the time, and an outage is allowed as much), and a fixed
    // allowance: a few samples, and the time a link may hold samples back
    // beyond its least delay (the estimate knows only the least delay seen, so
    // a sample that comes sooner after an outage is ahead of it by that much).
    static constexpr double clockTolerance = 0.005;
    static constexpr double slackSamples = 20;
    static constexpr double bufferSeconds = 0.25;
    // How far behind the expected index a counter is still taken as a repeat.
    static constexpr uint64_t repeatWindow = 64;

private:
    void place(const double* values, uint16_t counter, double now, Listener& out);
    void deliver(const double* values, uint64_t index, uint64_t copies, double now, Listener& out);
    int64_t candidate(uint16_t counter, double now) const;

    double startTime = 0;
    double period = 1;
    uint64_t next = 0;
    uint16_t shift = 0; // index - counter, modulo 65536, of the sequence followed
    // The clock estimate: the least (arrival time - index * period) seen,
    // allowed to creep up by the drift tolerance since (a slow headset clock),
    // so that late samples, however many, never pull it up at once.
    bool clockSeen = false;
    double offset = 0;
    double lastArrival = 0;

    bool firstWaiting = false;
    uint16_t firstCounter = 0;
    double pair[channels] = {};

    bool held = false;
    uint16_t heldCounter = 0;
    int64_t heldIndex = 0;
    bool heldFits = false; // ahead, and the clock allows it
    double heldValues[channels] = {};
};

} // namespace protocol
