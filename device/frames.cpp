#include "device/frames.h"

#include <cmath>
#include <cstring>

namespace protocol
{

namespace
{

bool possibleLength(unsigned length)
{
    return (length >= 2 && length <= unsigned(maxKeepAliveSize)) || length == dataFrameSize;
}

const unsigned char* bytesOf(const char* data)
{
    return reinterpret_cast<const unsigned char*>(data);
}

} // namespace

bool plausibleHead(const unsigned char* frame, int size)
{
    if (size < 1)
        return false;
    const unsigned length = frame[0];
    if (size < 2)
        return possibleLength(length);
    switch (char(frame[1])) {
    case typeData:
        return length == dataFrameSize && (size < 3 || frame[2] <= 1);
    case typeCaptureStart:
    case typeCaptureStop:
    case typeLightStart:
    case typeLightStop:
    case typeSoundStart:
    case typeSoundStop:
        return length >= 2 && length <= unsigned(maxReplySize);
    case typeKeepAlive:
        return length >= 2 && length <= unsigned(maxKeepAliveSize);
    default:
        return false;
    }
}

namespace
{

bool dataHead(const unsigned char* frame, int size)
{
    return size >= 3 && frame[0] == dataFrameSize && char(frame[1]) == typeData && frame[2] <= 1;
}

enum class Verdict { Take, Refuse, Wait };

// Whether the "D" frame at `head` (23 bytes of it available, `available` in all)
// is followed as an undamaged one is.
Verdict judgeData(const unsigned char* head, int available, bool quiet)
{
    const unsigned char* after = head + dataFrameSize;
    const int rest = available - dataFrameSize;
    if (rest < 3) {
        // A whole two-byte reply behind it is as good as a head.
        if (rest == 2 && after[0] == 2 && plausibleHead(after, 2))
            return Verdict::Take;
        // At a pause with nothing behind it, it is taken as it is. A byte or
        // two behind it are the start of more (or its own last byte, if a byte
        // was inserted into it): it waits for them.
        return quiet && rest == 0 ? Verdict::Take : Verdict::Wait;
    }
    if (plausibleHead(after, 3))
        return Verdict::Take;
    // The frame after it may be the damaged one: then the half-frame after
    // that is where an undamaged successor ends.
    if (rest < dataFrameSize + 3)
        return quiet ? Verdict::Refuse : Verdict::Wait;
    return dataHead(after + dataFrameSize, 3) ? Verdict::Take : Verdict::Refuse;
}

} // namespace

ScanResult scanFrame(const char* data, int size, bool resyncing, bool quiet)
{
    const unsigned char* bytes = bytesOf(data);
    int pos = 0;
    while (pos < size) {
        const unsigned char* head = bytes + pos;
        const int available = size - pos;
        if (!plausibleHead(head, available)) {
            ++pos;
            continue;
        }
        const int length = head[0];
        if (available < 2 || available < length)
            return {Scan::NeedMore, pos, 0};
        if (char(head[1]) == typeData) {
            const Verdict v = judgeData(head, available, quiet);
            if (v == Verdict::Wait)
                return {Scan::NeedMore, pos, 0};
            if (v == Verdict::Refuse) {
                ++pos;
                continue;
            }
            return {Scan::Frame, pos, length};
        }
        if ((resyncing || pos > 0) && available > length &&
            !plausibleHead(head + length, available - length)) {
            ++pos;
            continue;
        }
        return {Scan::Frame, pos, length};
    }
    return {Scan::NeedMore, size > 0 ? size : 0, 0};
}

char frameType(const char* frame, int size)
{
    return size > 1 ? frame[1] : 0;
}

uint8_t frameStatus(const char* frame, int size)
{
    return size > 2 ? uint8_t(frame[2]) : 0;
}

double sampleVolts(uint8_t b0, uint8_t b1, uint8_t b2)
{
    // The 24-bit count sits in the upper three bytes of a signed 32-bit word;
    // one step of that word is 1/255 * 2^-11 mV.
    const int32_t v = int32_t(uint32_t(b0) << 24 | uint32_t(b1) << 16 | uint32_t(b2) << 8);
    return double(v) / 255.0 * (1.0 / 2048.0) / 1000.0;
}

DataError decodeDataFrame(const char* frame, int size, DataHalf& out)
{
    if (size < dataFrameSize)
        return DataError::TooShort;
    const unsigned char* bytes = bytesOf(frame);
    if (bytes[2] > 1)
        return DataError::BadHalf;
    out.half = bytes[2];
    out.counter = uint16_t(bytes[3] | bytes[4] << 8);
    for (int k = 0; k < valuesPerHalf; ++k) {
        const unsigned char* v = bytes + 5 + 3 * k;
        out.volts[k] = sampleVolts(v[0], v[1], v[2]);
    }
    return DataError::None;
}

IdentifyResult scanIdentification(const char* data, int size)
{
    const unsigned char* bytes = bytesOf(data);
    bool receiverAnswered = false;
    int pos = 0;
    while (pos < size) {
        const unsigned char* head = bytes + pos;
        const int length = head[0];
        const int available = size - pos;
        if (available < 2)
            break;
        if (char(head[1]) == typeIdentify && length >= 2) {
            if (available < length)
                break;
            bool carriesId = false;
            for (int i = 2; !carriesId && i + identificationSize <= length; ++i)
                carriesId = std::memcmp(head + i, identification, identificationSize) == 0;
            if (carriesId)
                return {receiverAnswered ? Identified::Wireless : Identified::Wired, pos + length,
                        receiverAnswered};
            // A "?" answer without the headset's string is the receiver's own,
            // if a frame follows it; by chance in noise it would not be one.
            const unsigned char* after = head + length;
            const int rest = available - length;
            if (rest < 2) {
                // The last thing received so far: the receiver's, as far as
                // can be told yet (more input decides).
                receiverAnswered = true;
                break;
            }
            const bool followed = (char(after[1]) == typeIdentify && after[0] >= 2) ||
                                  plausibleHead(after, rest < 3 ? rest : 3);
            if (followed) {
                receiverAnswered = true;
                pos += length;
            } else {
                ++pos;
            }
            continue;
        }
        if (plausibleHead(head, available)) {
            // A frame of the exchange (a headset still streaming, a reply):
            // passed over whole, if it is one.
            if (available < length)
                break;
            if (char(head[1]) == typeData) {
                const Verdict v = judgeData(head, available, false);
                if (v == Verdict::Wait) {
                    // Nothing after it yet: it cannot hide anything.
                    pos += length;
                    continue;
                }
                if (v == Verdict::Refuse) {
                    ++pos;
                    continue;
                }
            }
            pos += length;
            continue;
        }
        ++pos;
    }
    return {Identified::NotYet, 0, receiverAnswered};
}

void SampleStream::start(double startSeconds, double periodSeconds)
{
    startTime = startSeconds;
    period = periodSeconds > 0 ? periodSeconds : 1;
    next = 0;
    shift = 0;
    clockSeen = false;
    firstWaiting = false;
    held = false;
}

double SampleStream::latestIndex(double nowSeconds) const
{
    return (nowSeconds - (clockSeen ? offset : startTime)) / period;
}

int64_t SampleStream::candidate(uint16_t counter, double now) const
{
    // The index congruent to the counter (in the sequence followed) nearest to
    // where the clock says the headset is.
    const uint16_t ahead = uint16_t(counter + shift - uint16_t(next));
    const int64_t base = int64_t(next) + ahead;
    const double wraps = std::floor((latestIndex(now) - double(base)) / 65536.0 + 0.5);
    int64_t index = base + int64_t(wraps) * 65536;
    while (index < 0)
        index += 65536;
    return index;
}

void SampleStream::deliver(const double* values, uint64_t index, uint64_t copies, double now,
                           Listener& out)
{
    next = index + 1;
    // The clock estimate: a sample is never received before it was made.
    const double seen = now - double(index) * period;
    const double crept = clockSeen ? offset + clockTolerance * (now - lastArrival) : startTime;
    offset = seen < crept ? seen : crept;
    clockSeen = true;
    lastArrival = now;
    out.sample(values, index, copies);
}

void SampleStream::place(const double* values, uint16_t counter, double now, Listener& out)
{
    if (held) {
        held = false;
        if (counter == uint16_t(heldCounter + 1)) {
            if (heldFits) {
                const uint64_t index = uint64_t(heldIndex);
                deliver(heldValues, index, index - next, now, out);
            } else {
                // Two samples agree on a new sequence that the clock cannot
                // explain (the headset's counter restarted): it is followed
                // from here, with nothing filled.
                out.fault(Fault::Jump, expectedCounter(), heldCounter);
                shift = uint16_t(next - heldCounter);
                deliver(heldValues, next, 0, now, out);
            }
            deliver(values, next, 0, now, out);
            return;
        }
        out.fault(Fault::BadCounter, expectedCounter(), heldCounter);
    }
    if (counter == expectedCounter() && latestIndex(now) < double(next) + 32768) {
        deliver(values, next, 0, now, out);
        return;
    }
    const int64_t index = candidate(counter, now);
    if (index < int64_t(next) && int64_t(next) - index <= int64_t(repeatWindow)) {
        out.fault(Fault::Repeat, expectedCounter(), counter);
        return;
    }
    held = true;
    heldCounter = counter;
    heldIndex = index;
    const double gap = clockSeen ? (now - lastArrival) / period : latestIndex(now);
    heldFits = index > int64_t(next) && double(index) <= latestIndex(now) + slackSamples +
                                                             bufferSeconds / period +
                                                             clockTolerance * gap;
    std::memcpy(heldValues, values, sizeof heldValues);
}

void SampleStream::half(const DataHalf& data, double nowSeconds, Listener& out)
{
    if (data.half == 0) {
        if (firstWaiting)
            out.fault(Fault::LoneHalf, expectedCounter(), firstCounter);
        firstWaiting = true;
        firstCounter = data.counter;
        for (int k = 0; k < valuesPerHalf; ++k)
            pair[channelIndex(0, k)] = data.volts[k];
        return;
    }
    if (!firstWaiting || firstCounter != data.counter) {
        if (firstWaiting)
            out.fault(Fault::LoneHalf, expectedCounter(), firstCounter);
        firstWaiting = false;
        out.fault(Fault::LoneHalf, expectedCounter(), data.counter);
        return;
    }
    firstWaiting = false;
    for (int k = 0; k < valuesPerHalf; ++k)
        pair[channelIndex(1, k)] = data.volts[k];
    place(pair, data.counter, nowSeconds, out);
}

void SampleStream::interrupted(Listener& out)
{
    if (firstWaiting)
        out.fault(Fault::LoneHalf, expectedCounter(), firstCounter);
    firstWaiting = false;
}

void SampleStream::finish(Listener& out)
{
    interrupted(out);
    if (held)
        out.fault(Fault::BadCounter, expectedCounter(), heldCounter);
    held = false;
}

} // namespace protocol
