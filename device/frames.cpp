#include "device/frames.h"

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

ScanResult scanFrame(const char* data, int size, bool resyncing)
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
        const int length = bytes[pos];
        const int available = size - pos;
        if (length < 2) {
            ++pos;
            continue;
        }
        if (available < 2)
            break;
        if (char(bytes[pos + 1]) != typeIdentify) {
            ++pos;
            continue;
        }
        if (available < length)
            break;
        const unsigned char* payload = bytes + pos + 2;
        const int payloadSize = length - 2;
        bool carriesId = false;
        for (int i = 0; !carriesId && i + identificationSize <= payloadSize; ++i)
            carriesId = std::memcmp(payload + i, identification, identificationSize) == 0;
        if (carriesId)
            return {receiverAnswered ? Identified::Wireless : Identified::Wired, pos + length,
                    receiverAnswered};
        // A "?" answer without the headset's string is the receiver's own.
        receiverAnswered = true;
        pos += length;
    }
    return {Identified::NotYet, 0, receiverAnswered};
}

void CounterCheck::start(double startSeconds, double periodSeconds)
{
    startTime = startSeconds;
    period = periodSeconds;
    index = 0;
    next = 0;
    firstValid = false;
    held = false;
}

void CounterCheck::firstHalf(uint16_t counter)
{
    firstValid = true;
    firstCounter = counter;
}

double CounterCheck::allowedIndex(double nowSeconds) const
{
    if (!(period > 0) || !(nowSeconds > startTime))
        return slackSamples;
    return (nowSeconds - startTime) / period * (1 + clockTolerance) + slackSamples;
}

bool CounterCheck::fillExplained(uint32_t copies, double nowSeconds) const
{
    return double(index) + double(copies) + 1 <= allowedIndex(nowSeconds);
}

void CounterCheck::deliver(Step& step, bool heldSample, uint32_t copies)
{
    step.delivery[step.count++] = {heldSample, copies};
    index += uint64_t(copies) + 1;
    ++next;
}

namespace
{
void noteFault(CounterCheck::Step& step, CounterCheck::Fault fault, uint16_t expected,
               uint16_t received)
{
    if (step.fault != CounterCheck::Fault::None)
        return;
    step.fault = fault;
    step.expected = expected;
    step.received = received;
}
} // namespace

CounterCheck::Step CounterCheck::secondHalf(uint16_t counter, double nowSeconds)
{
    Step step;
    const bool pairKnown = firstValid;
    const uint16_t first = firstCounter;
    firstValid = false;

    if (held) {
        held = false;
        if (counter == uint16_t(heldCounter + 1)) {
            // The held sample began a new sequence, and this one continues it.
            const uint16_t gap = uint16_t(heldCounter - next);
            if (!fillExplained(gap, heldTime)) {
                noteFault(step, Fault::Jumped, next, heldCounter);
                next = heldCounter;
                deliver(step, true, 0);
            } else {
                next = heldCounter;
                deliver(step, true, gap);
            }
            deliver(step, false, 0);
            return step;
        }
        noteFault(step, Fault::Corrupted, next, heldCounter);
        // The old sequence goes on where it stood: the held frame was no sample
        // of its own (a chance match in noise, or a repeat), and is dropped.
        // Otherwise it fitted neither sequence: a sample whose counter was
        // corrupted, delivered where it belongs.
        if (counter != next)
            deliver(step, true, 0);
    }

    if (counter == next) {
        deliver(step, false, 0);
    } else if (pairKnown && first == counter) {
        const uint16_t gap = uint16_t(counter - next);
        const bool explained = fillExplained(gap, nowSeconds);
        if (!explained)
            noteFault(step, Fault::Jumped, next, counter);
        next = counter;
        deliver(step, false, explained ? gap : 0);
    } else {
        held = true;
        heldCounter = counter;
        heldTime = nowSeconds;
        step.hold = true;
    }
    return step;
}

CounterCheck::Step CounterCheck::finish()
{
    Step step;
    firstValid = false;
    if (held) {
        held = false;
        deliver(step, true, 0);
    }
    return step;
}

} // namespace protocol
