// libFuzzer target for the receive path of the headset link. The input is cut
// into chunks, each arriving after a time step of its own, and goes through
// what the worker does with received bytes: frame scanning with
// resynchronisation, "D" decoding, the counter check of the samples, and (over
// the whole input) the identification search of a probe.
//
// Besides the sanitizers' findings, a broken promise stops the run: a scan
// result outside the buffer or a frame the headset could not have sent, a data
// frame the scanner passed but the decoder refuses, a sample delivered twice or
// more samples delivered than second halves received plus the fill that the
// time since the capture started allows.
#include "device/frames.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace
{

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "frame path: %s\n", what);
        std::abort();
    }
}

void checkIdentification(const char* data, int size)
{
    // The input itself is exactly sized by the fuzzer.
    const protocol::IdentifyResult id = protocol::scanIdentification(data, size);
    if (id.kind == protocol::Identified::NotYet)
        return;
    check(id.end >= 2 && id.end <= size, "identification frame outside the buffer");
    // The frame that ends at `end` is a "?" frame carrying the string.
    bool found = false;
    for (int start = 0; start + 2 <= id.end && !found; ++start) {
        const int length = static_cast<unsigned char>(data[start]);
        if (start + length != id.end || data[start + 1] != protocol::typeIdentify)
            continue;
        for (int i = start + 2; i + protocol::identificationSize <= id.end && !found; ++i)
            found =
                std::memcmp(data + i, protocol::identification, protocol::identificationSize) == 0;
    }
    check(found, "identified without the headset's string in a \"?\" frame");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    if (inputSize < 2)
        return 0;
    checkIdentification(reinterpret_cast<const char*>(input), int(inputSize));

    // The first byte picks the sample period, 122 to 909 samples per second.
    const double period = (8800 + 222.0 * input[0]) * 1.25e-7;
    protocol::CounterCheck counter;
    double now = 0.5;
    counter.start(now, period);
    const double startTime = now;

    std::vector<char> buffer;
    size_t head = 0;
    bool resyncing = false;
    uint64_t secondHalves = 0;
    uint64_t delivered = 0;
    size_t at = 1;
    while (at < inputSize) {
        // A chunk: a length byte, a time step byte (0..255 ms, squared so that
        // long gaps are reachable), then up to that many bytes.
        const size_t want = input[at++];
        const double step = at < inputSize ? input[at++] : 0;
        now += step * step * 1e-3 / 16;
        const size_t take = want < inputSize - at ? want : inputSize - at;
        buffer.insert(buffer.end(), input + at, input + at + take);
        at += take;

        for (;;) {
            // An allocation of exactly the unparsed bytes, so that any read
            // beyond them is one past a heap block, which the sanitizer sees.
            const int size = int(buffer.size() - head);
            std::unique_ptr<char[]> exact(new char[size_t(size) + (size == 0)]);
            if (size > 0)
                std::memcpy(exact.get(), buffer.data() + head, size_t(size));
            const char* data = exact.get();
            const protocol::ScanResult r = protocol::scanFrame(data, size, resyncing);
            check(r.skip >= 0 && r.skip <= size, "skip outside the buffer");
            if (r.skip > 0)
                resyncing = true;
            if (r.status == protocol::Scan::NeedMore) {
                check(r.length == 0, "length without a frame");
                head += size_t(r.skip);
                break;
            }
            check(r.length >= 2 && r.skip + r.length <= size, "frame outside the buffer");
            const char* frame = data + r.skip;
            check(protocol::plausibleHead(reinterpret_cast<const unsigned char*>(frame), r.length),
                  "a frame the headset does not send");
            check(static_cast<unsigned char>(frame[0]) == r.length, "length byte disagrees");
            head += size_t(r.skip + r.length);
            resyncing = false;
            if (protocol::frameType(frame, r.length) != protocol::typeData)
                continue;

            protocol::DataHalf half;
            check(protocol::decodeDataFrame(frame, r.length, half) == protocol::DataError::None,
                  "scanner passed a data frame the decoder refuses");
            if (half.half == 0) {
                counter.firstHalf(half.counter);
                continue;
            }
            ++secondHalves;
            const protocol::CounterCheck::Step s = counter.secondHalf(half.counter, now);
            check(s.count >= 0 && s.count <= 2, "too many deliveries");
            for (int i = 0; i < s.count; ++i)
                delivered += uint64_t(s.delivery[i].copies) + 1;
            check(delivered == counter.delivered(), "delivery count disagrees");
            const double allowed =
                (now - startTime) / period * (1 + protocol::CounterCheck::clockTolerance) +
                protocol::CounterCheck::slackSamples;
            check(double(delivered) <= double(secondHalves) + allowed,
                  "more samples than received plus the fill time allows");
        }
        // Keep the buffer small, as the worker does when it reads more.
        if (head > 4096) {
            buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(head));
            head = 0;
        }
    }
    const protocol::CounterCheck::Step last = counter.finish();
    for (int i = 0; i < last.count; ++i) {
        check(last.delivery[i].copies == 0, "fill at the end of a capture");
        ++delivered;
    }
    check(delivered <=
              secondHalves + uint64_t(std::ceil((now - startTime) / period *
                                                    (1 + protocol::CounterCheck::clockTolerance) +
                                                protocol::CounterCheck::slackSamples)),
          "more samples than received plus the fill time allows");
    return 0;
}
