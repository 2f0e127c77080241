#include "linkdamage.h"

#include <algorithm>
#include <cmath>

namespace linktest
{

namespace
{

// A bijection on 48-bit numbers: multiply by an odd constant, then add one.
constexpr uint64_t mask48 = (uint64_t(1) << 48) - 1;
constexpr uint64_t scramble = 0x5DEECE66DULL;
constexpr uint64_t offset = 0x3A5F1C2B9D7EULL;

uint64_t inverseOf(uint64_t odd)
{
    // Newton's iteration for the inverse modulo 2^64 (then taken modulo 2^48).
    uint64_t x = odd;
    for (int i = 0; i < 6; ++i)
        x *= 2 - odd * x;
    return x;
}

uint64_t encode(uint64_t index)
{
    return (index * scramble + offset) & mask48;
}

uint64_t decode(uint64_t code)
{
    return ((code - offset) * inverseOf(scramble)) & mask48;
}

int32_t signExtend24(uint32_t v)
{
    v &= 0xFFFFFF;
    return v & 0x800000 ? int32_t(v) - 0x1000000 : int32_t(v);
}

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

void putHalf(std::vector<char>& out, uint64_t index, int half, uint16_t counter)
{
    const size_t at = out.size();
    out.resize(at + protocol::dataFrameSize);
    char* f = out.data() + at;
    f[0] = char(protocol::dataFrameSize);
    f[1] = 'D';
    f[2] = char(half);
    f[3] = char(counter & 0xFF);
    f[4] = char(counter >> 8);
    for (int k = 0; k < 6; ++k) {
        const uint32_t c = uint32_t(trueCount(index, half + 2 * k)) & 0xFFFFFF;
        f[5 + 3 * k] = char(c >> 16);
        f[6 + 3 * k] = char(c >> 8);
        f[7 + 3 * k] = char(c);
    }
}

} // namespace

const char* damageName(Damage kind)
{
    switch (kind) {
    case Damage::None:
        return "none";
    case Damage::Insert:
        return "byte inserted";
    case Damage::Omit:
        return "byte left out";
    case Damage::HeaderFlip:
        return "header bit flipped";
    case Damage::RepeatHalf:
        return "half repeated";
    case Damage::RepeatPair:
        return "pair repeated";
    case Damage::BothCounters:
        return "both counters wrong";
    case Damage::CounterRestart:
        return "counter restart";
    case Damage::Outage:
        return "outage";
    case Damage::Mix:
        return "mixed";
    }
    return "?";
}

int32_t trueCount(uint64_t index, int channel)
{
    const uint64_t code = encode(index);
    if (channel == 0)
        return signExtend24(uint32_t(code));
    if (channel == 1)
        return signExtend24(uint32_t(code >> 24));
    return signExtend24(uint32_t(mix(index * 16 + uint64_t(channel))));
}

uint64_t indexOfCounts(int32_t channel0, int32_t channel1)
{
    const uint64_t code =
        (uint64_t(uint32_t(channel0) & 0xFFFFFF)) | (uint64_t(uint32_t(channel1) & 0xFFFFFF) << 24);
    return decode(code);
}

int32_t countOfVolts(double volts)
{
    return int32_t(std::llround(volts / (256.0 / 255.0 / 2048.0 / 1000.0)));
}

LinkDamager::LinkDamager(const DamagePlan& p) : plan(p), random(p.seed)
{
    scheduleNext(plan.firstFault);
}

void LinkDamager::scheduleNext(uint64_t after)
{
    if (!plan.at.empty() || plan.kind == Damage::None || plan.faultsPerSecond <= 0) {
        nextFault = ~uint64_t(0);
        return;
    }
    const double mean = 1.0 / (plan.faultsPerSecond * plan.periodSeconds);
    // Spread around the mean, never closer than a few samples apart.
    const double spacing = mean * std::uniform_real_distribution<double>(0.5, 1.5)(random);
    nextFault = after + std::max<uint64_t>(8, uint64_t(spacing));
}

Damage LinkDamager::pickKind()
{
    if (plan.kind != Damage::Mix)
        return plan.kind;
    return everyDamage[std::uniform_int_distribution<int>(0, 7)(random)];
}

bool LinkDamager::next(std::vector<char>& out, double& arrival)
{
    out.clear();
    if (made >= plan.samples)
        return false;
    const unsigned burst =
        std::uniform_int_distribution<unsigned>(1, std::max(1u, plan.maxBurstPairs))(random);
    uint64_t sentUpTo = made;
    for (unsigned n = 0; n < burst && made < plan.samples; ++n) {
        const uint64_t index = made++;
        Damage kind = Damage::None;
        uint64_t length = plan.outage;
        if (!plan.at.empty()) {
            while (nextPlanned < plan.at.size() && plan.at[nextPlanned].first < index)
                ++nextPlanned; // planned inside an outage
            if (nextPlanned < plan.at.size() && plan.at[nextPlanned].first == index)
                kind = plan.at[nextPlanned++].second;
        } else if (index >= nextFault && index + plan.quietTail < plan.samples) {
            kind = pickKind();
            scheduleNext(index);
        }
        if (kind == Damage::Mix)
            kind = everyDamage[std::uniform_int_distribution<int>(0, 7)(random)];
        if (kind == Damage::Outage && plan.kind == Damage::Mix)
            length = std::uniform_int_distribution<uint64_t>(1, 500)(random);
        if (kind == Damage::CounterRestart) {
            // A restart to a counter just behind the expected one cannot be
            // told from a repeat, nor one just ahead of it from a loss: the
            // headset's restarts that the link can follow are the others.
            const uint16_t expected = uint16_t(index - restartAt);
            if (expected <= protocol::SampleStream::repeatWindow + 8 || expected >= 65536 - 400)
                kind = Damage::None;
        }
        if (kind == Damage::Outage) {
            if (index + length + plan.quietTail >= plan.samples || length == 0) {
                kind = Damage::None;
            } else {
                ++faultCount;
                outageTotal += length;
                hit += length;
                made += length - 1; // this sample and the rest of the outage are not sent
                if (plan.at.empty())
                    scheduleNext(made); // one fault at a time: none at the outage's end
                if (!out.empty())
                    break; // what came before the outage arrives before it
                continue;
            }
        }
        if (kind == Damage::CounterRestart)
            restartAt = index;
        const uint16_t counter = uint16_t(index - restartAt);
        const size_t pairAt = out.size();
        sentUpTo = index + 1;
        putHalf(out, index, 0, counter);
        putHalf(out, index, 1, counter);
        if (kind == Damage::None || kind == Damage::CounterRestart) {
            faultCount += kind == Damage::CounterRestart;
            continue;
        }
        ++faultCount;
        const int half = std::uniform_int_distribution<int>(0, 1)(random);
        const size_t halfAt = pairAt + size_t(half) * protocol::dataFrameSize;
        switch (kind) {
        case Damage::Insert: {
            const size_t at = halfAt + std::uniform_int_distribution<size_t>(1, 22)(random);
            out.insert(out.begin() + std::ptrdiff_t(at),
                       char(std::uniform_int_distribution<int>(0, 255)(random)));
            ++hit;
            break;
        }
        case Damage::Omit: {
            const size_t at = halfAt + std::uniform_int_distribution<size_t>(0, 22)(random);
            out.erase(out.begin() + std::ptrdiff_t(at));
            ++hit;
            break;
        }
        case Damage::HeaderFlip: {
            const size_t at = halfAt + std::uniform_int_distribution<size_t>(0, 4)(random);
            out[at] = char(out[at] ^ (1 << std::uniform_int_distribution<int>(0, 7)(random)));
            ++hit;
            break;
        }
        case Damage::RepeatHalf: {
            const std::vector<char> again(out.begin() + std::ptrdiff_t(halfAt),
                                          out.begin() +
                                              std::ptrdiff_t(halfAt + protocol::dataFrameSize));
            out.insert(out.begin() + std::ptrdiff_t(halfAt + protocol::dataFrameSize),
                       again.begin(), again.end());
            break;
        }
        case Damage::RepeatPair: {
            const std::vector<char> again(out.begin() + std::ptrdiff_t(pairAt), out.end());
            out.insert(out.end(), again.begin(), again.end());
            break;
        }
        case Damage::BothCounters: {
            const uint16_t mask = uint16_t(std::uniform_int_distribution<int>(1, 65535)(random));
            for (int h = 0; h < 2; ++h) {
                const size_t f = pairAt + size_t(h) * protocol::dataFrameSize;
                out[f + 3] = char(out[f + 3] ^ (mask & 0xFF));
                out[f + 4] = char(out[f + 4] ^ (mask >> 8));
            }
            ++hit;
            break;
        }
        default:
            break;
        }
    }
    // The burst arrives when its last pair has been made, a little later.
    const double made_at = double(sentUpTo) * plan.periodSeconds;
    const double delay = std::uniform_real_distribution<double>(0, plan.maxDelaySeconds)(random);
    arrival = std::max(lastArrival, made_at + delay);
    lastArrival = arrival;
    return true;
}

void LinkOracle::sample(const double* values, uint64_t index, uint64_t copiesBefore)
{
    if (index != delivered + copiesBefore)
        ++misplaced;
    if (copiesBefore > 0) {
        copies += copiesBefore;
        ++fills;
        largestFill = std::max(largestFill, copiesBefore);
    }
    delivered = index + 1;
    const uint64_t carried = indexOfCounts(countOfVolts(values[0]), countOfVolts(values[1]));
    bool whole = true;
    for (int c = 0; c < 12; ++c)
        whole = whole && countOfVolts(values[c]) == trueCount(carried, c);
    if (!whole)
        ++madeUp;
    else if (carried != index)
        ++shifted;
}

namespace
{

// What the worker's read loop does with arriving bytes, without the port.
class Reader
{
public:
    Reader(double periodSeconds, protocol::SampleStream::Listener& out) : out(out)
    {
        stream.start(0, periodSeconds);
    }
    void feed(const char* bytes, size_t size, double now)
    {
        buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(head));
        head = 0;
        buffer.insert(buffer.end(), bytes, bytes + size);
        scan(now, false);
    }
    // The line has been quiet for a read time-out.
    void pause(double now) { scan(now, true); }
    void finish() { stream.finish(out); }
    uint64_t frames = 0;
    uint64_t skipRuns = 0;

private:
    void scan(double now, bool quiet)
    {
        for (;;) {
            const int size = int(buffer.size() - head);
            const protocol::ScanResult r =
                protocol::scanFrame(buffer.data() + head, size, resyncing, quiet);
            if (r.skip > 0) {
                skipRuns += !resyncing;
                resyncing = true;
                stream.interrupted(out);
            }
            head += size_t(r.skip);
            if (r.status == protocol::Scan::NeedMore)
                return;
            const char* frame = buffer.data() + head;
            head += size_t(r.length);
            resyncing = false;
            ++frames;
            protocol::DataHalf half;
            if (protocol::frameType(frame, r.length) == protocol::typeData &&
                protocol::decodeDataFrame(frame, r.length, half) == protocol::DataError::None)
                stream.half(half, now, out);
        }
    }
    protocol::SampleStream::Listener& out;
    protocol::SampleStream stream;
    std::vector<char> buffer;
    size_t head = 0;
    bool resyncing = false;
};

constexpr double readTimeout = 0.1;

} // namespace

LinkResult runLink(const DamagePlan& plan)
{
    LinkResult result;
    LinkDamager damager(plan);
    Reader reader(plan.periodSeconds, result.oracle);
    std::vector<char> bytes;
    double arrival = 0;
    double last = 0;
    while (damager.next(bytes, arrival)) {
        if (arrival - last > readTimeout)
            reader.pause(last + readTimeout);
        reader.feed(bytes.data(), bytes.size(), arrival);
        last = arrival;
    }
    reader.pause(last + readTimeout);
    reader.finish();
    result.made = damager.samplesMade();
    result.faults = damager.faults();
    result.hit = damager.samplesHit();
    result.frames = reader.frames;
    result.skipRuns = reader.skipRuns;
    const uint64_t delivered = result.oracle.delivered;
    result.extra = delivered > result.made ? delivered - result.made : 0;
    result.missing = result.made > delivered ? result.made - delivered : 0;
    return result;
}

LinkOracle runPieces(const std::vector<Piece>& pieces, double periodSeconds)
{
    LinkOracle oracle;
    Reader reader(periodSeconds, oracle);
    double last = 0;
    for (const Piece& p : pieces) {
        if (p.arrival - last > readTimeout)
            reader.pause(last + readTimeout);
        reader.feed(p.bytes.data(), p.bytes.size(), p.arrival);
        last = p.arrival;
    }
    reader.pause(last + readTimeout);
    reader.finish();
    return oracle;
}

} // namespace linktest
