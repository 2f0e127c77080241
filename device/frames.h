// The receive path of the headset link as plain functions over bytes, with no
// Qt and no I/O: finding frames in a receive buffer (and finding them again
// after line noise), decoding "D" data half-frames, telling a wired headset's
// identification from one relayed by a wireless receiver, and deciding what a
// sample counter means (in sequence, a real loss to fill, or corruption).
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
// and the buffer is never dropped wholesale. While `resyncing` (and always for a
// frame found after skipped bytes), a frame whose successor is already in the
// buffer is taken only if that successor starts plausibly too: a chance match
// inside sample bytes is then rarely mistaken for a frame.
ScanResult scanFrame(const char* data, int size, bool resyncing = false);

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
// the headset's. The kind is therefore decided by the frames, not by how the
// bytes were chunked on their way in.
enum class Identified { NotYet, Wired, Wireless };
struct IdentifyResult {
    Identified kind;
    int end;               // for Wired and Wireless: the offset just past the headset's frame
    bool receiverAnswered; // a "?" frame without the headset's string came first
};
IdentifyResult scanIdentification(const char* data, int size);

// The sample counter of a capture, checked against the time the capture has
// run. Only the second half of a pair completes a sample; its counter is
// compared with the one expected next.
//
// - In sequence: the sample is delivered.
// - The halves agree on a later counter: samples were lost. They are filled
//   with copies only if the time since the capture started can explain them
//   (the headset cannot have sent sample k before k periods had passed, plus a
//   margin for clock drift); otherwise the counter is corrupt or jumped back,
//   nothing is filled and the stream follows the new counter.
// - A lone second half, or one that disagrees with its first half, with an
//   unexpected counter is held back until the next
//   sample shows which it was: the next counter confirms it (then as above) or
//   continues the old sequence (then the held one was corrupt and is delivered
//   in sequence, or, if the old sequence goes on exactly where it stood, it was
//   no sample at all and is dropped). One corrupted counter thus neither
//   invents nor shifts samples.
class CounterCheck
{
public:
    // What happened to the counter, for the terminal.
    enum class Fault {
        None,
        Corrupted, // a counter that fits neither sequence; delivered in sequence
        Jumped,    // a new sequence the elapsed time cannot explain; followed, no fill
    };
    struct Delivery {
        bool held;       // the sample held back earlier, else the one just completed
        uint32_t copies; // lost samples to fill with copies of it, delivered first
    };
    struct Step {
        Delivery delivery[2];
        int count = 0;     // deliveries, in order
        bool hold = false; // keep the sample just completed back
        Fault fault = Fault::None;
        uint16_t expected = 0; // with a fault: the counter expected
        uint16_t received = 0; // and the one that came
    };

    // A capture starts: the first counter expected is 0. `startSeconds` is when
    // the start was requested (the headset cannot have started before), on the
    // clock that later calls use; `periodSeconds` is the sample period.
    void start(double startSeconds, double periodSeconds);
    void firstHalf(uint16_t counter);
    Step secondHalf(uint16_t counter, double nowSeconds);
    // The capture ends or the link is lost: a held sample is delivered in
    // sequence, without a fill.
    Step finish();

    // Samples of this capture delivered so far, copies included.
    uint64_t delivered() const { return index; }
    bool holding() const { return held; }
    uint16_t expected() const { return next; }
    // The largest number of samples (copies included) the capture may have
    // delivered by `nowSeconds`: what the fill check allows.
    double allowedIndex(double nowSeconds) const;

    // Drift of the headset's clock against ours, and a fixed allowance for the
    // timing of the start itself, that the fill check tolerates.
    static constexpr double clockTolerance = 0.005;
    static constexpr double slackSamples = 64;

private:
    void deliver(Step& step, bool heldSample, uint32_t copies);
    bool fillExplained(uint32_t copies, double nowSeconds) const;

    double startTime = 0;
    double period = 0;
    uint64_t index = 0; // samples delivered, copies included
    uint16_t next = 0;  // counter expected next
    bool firstValid = false;
    uint16_t firstCounter = 0;
    bool held = false;
    uint16_t heldCounter = 0;
    double heldTime = 0;
};

} // namespace protocol
