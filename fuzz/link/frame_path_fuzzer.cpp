// libFuzzer target for the receive path of the headset link.
//
// The first byte chooses what the rest is:
// - even: a damage plan. A clean capture is damaged as the input says (which
//   kind of damage at which samples, an outage's length, bursts, delays, the
//   rate) and read through the frame scan, the data decoding and the sample
//   stream on a virtual clock. The oracle must find every delivered sample the
//   true one at its index or a counted copy: nothing made up, shifted, extra
//   or missing.
// - odd: raw bytes, cut into pieces with arrival times of their own, through
//   the same path and the identification search of a probe. Scan results must
//   stay inside the buffer, frames must be ones the headset sends, and the
//   indexes the stream delivers must follow each other.
#include "tests/device/linkdamage.h"

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
    const protocol::IdentifyResult id = protocol::scanIdentification(data, size);
    if (id.kind == protocol::Identified::NotYet)
        return;
    check(id.end >= 2 && id.end <= size, "identification frame outside the buffer");
    // The frame that ends at `end` is a "?" frame carrying the string.
    bool found = false;
    for (int from = 0; from + 2 <= id.end && !found; ++from) {
        const int length = static_cast<unsigned char>(data[from]);
        if (from + length != id.end || data[from + 1] != protocol::typeIdentify)
            continue;
        for (int i = from + 2; i + protocol::identificationSize <= id.end && !found; ++i)
            found =
                std::memcmp(data + i, protocol::identification, protocol::identificationSize) == 0;
    }
    check(found, "identified without the headset's string in a \"?\" frame");
}

void checkScan(const std::vector<char>& buffer, size_t head, bool resyncing, bool quiet)
{
    // An allocation of exactly the unparsed bytes, so that any read beyond them
    // is one past a heap block, which the sanitizer sees.
    const int size = int(buffer.size() - head);
    std::unique_ptr<char[]> exact(new char[size_t(size) + (size == 0)]);
    if (size > 0)
        std::memcpy(exact.get(), buffer.data() + head, size_t(size));
    const protocol::ScanResult r = protocol::scanFrame(exact.get(), size, resyncing, quiet);
    check(r.skip >= 0 && r.skip <= size, "skip outside the buffer");
    if (r.status == protocol::Scan::NeedMore) {
        check(r.length == 0, "length without a frame");
        return;
    }
    check(r.length >= 2 && r.skip + r.length <= size, "frame outside the buffer");
    const char* frame = exact.get() + r.skip;
    check(protocol::plausibleHead(reinterpret_cast<const unsigned char*>(frame), r.length),
          "a frame the headset does not send");
    check(static_cast<unsigned char>(frame[0]) == r.length, "length byte disagrees");
    protocol::DataHalf half;
    if (protocol::frameType(frame, r.length) == protocol::typeData)
        check(protocol::decodeDataFrame(frame, r.length, half) == protocol::DataError::None,
              "scanner passed a data frame the decoder refuses");
}

void rawBytes(const uint8_t* input, size_t size)
{
    checkIdentification(reinterpret_cast<const char*>(input), int(size));
    const double period = (8800 + 222.0 * input[0]) * 1.25e-7;
    std::vector<linktest::Piece> pieces;
    std::vector<char> all;
    double now = 0;
    size_t at = 1;
    while (at < size) {
        // A piece: a length byte, a time step byte (0..255 ms, squared so that
        // long gaps are reachable), then up to that many bytes.
        const size_t want = input[at++];
        const double step = at < size ? input[at++] : 0;
        now += step * step * 1e-3 / 16;
        const size_t take = want < size - at ? want : size - at;
        pieces.push_back({std::vector<char>(input + at, input + at + take), now});
        all.insert(all.end(), input + at, input + at + take);
        for (size_t head = 0; head <= all.size() && head < 4; ++head)
            checkScan(all, head, head % 2 == 1, head >= 2);
        at += take;
    }
    const linktest::LinkOracle oracle = linktest::runPieces(pieces, period);
    check(oracle.misplaced == 0, "indexes out of sequence");
}

void damagePlan(const uint8_t* input, size_t size)
{
    // Byte 1: rate; 2: bursts; 3: delay; 4-5: outage length; 6: seed; then
    // pairs of (gap, kind) for the faults.
    if (size < 7)
        return;
    linktest::DamagePlan plan;
    plan.periodSeconds = (8800 + 222.0 * input[1]) * 1.25e-7;
    plan.maxBurstPairs = 1 + input[2] % 128;
    plan.maxDelaySeconds = input[3] * 0.0004;
    plan.outage = 1 + (size_t(input[4]) | size_t(input[5]) << 8) * 3;
    plan.seed = input[6];
    uint64_t index = 20;
    // At most 48 faults, so that a run stays short.
    for (size_t at = 7; at + 1 < size && at < 7 + 2 * 48; at += 2) {
        // One fault at a time: the next comes at least a few samples after
        // the last one (and after an outage's end).
        index += 8 + input[at];
        const int kind = 1 + input[at + 1] % 8;
        plan.at.push_back({index, linktest::Damage(kind)});
        if (linktest::Damage(kind) == linktest::Damage::Outage)
            index += plan.outage;
    }
    plan.samples = index + 64;
    const linktest::LinkResult r = linktest::runLink(plan);
    if (r.oracle.madeUp || r.oracle.shifted || r.oracle.misplaced || r.extra || r.missing)
        std::fprintf(stderr,
                     "made %llu delivered %llu copies %llu made-up %llu shifted %llu misplaced "
                     "%llu extra %llu missing %llu\n",
                     (unsigned long long)r.made, (unsigned long long)r.oracle.delivered,
                     (unsigned long long)r.oracle.copies, (unsigned long long)r.oracle.madeUp,
                     (unsigned long long)r.oracle.shifted, (unsigned long long)r.oracle.misplaced,
                     (unsigned long long)r.extra, (unsigned long long)r.missing);
    check(r.oracle.madeUp == 0, "a made-up sample");
    check(r.oracle.shifted == 0, "a sample at another index");
    check(r.oracle.misplaced == 0, "indexes out of sequence");
    check(r.extra == 0 && r.missing == 0, "more or fewer samples than were made");
    check(r.oracle.copies <= r.hit + r.faults, "more copies than damaged samples");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 2)
        return 0;
    if (input[0] % 2 == 0)
        damagePlan(input, size);
    else
        rawBytes(input + 1, size - 1);
    return 0;
}
