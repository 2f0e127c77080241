#include "edf_integrity_cases.h"

#include "edf/edf.h"

#include <math.h>
#include <stdio.h>

#include <functional>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace edfcase
{
namespace
{

const int64_t second = 10000000; // 100 ns units

struct Failure {
    std::string what;
};

void check(bool ok, const std::string& what)
{
    if (!ok)
        throw Failure{what};
}

std::string readAll(const std::string& path)
{
    std::string data;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            data.append(buf, n);
        fclose(f);
    }
    return data;
}

void writeAll(const std::string& path, const std::string& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    check(f && fwrite(data.data(), 1, data.size(), f) == data.size() && fclose(f) == 0,
          "cannot write " + path);
}

// A file with `signals` data signals alike: physical range min..max, samples per record.
struct Plan {
    std::string name;
    bool bdf = false;
    int signals = 1;
    int samples = 4;
    double physMin = -1, physMax = 1;
    std::string dimension = "V";
    int subsecond = 0;
    int annotationSignals = 1;
    bool crashSafe = false;
};

int open(const std::string& dir, const Plan& p)
{
    const std::string path = dir + "/" + p.name;
    const int h = edf_open_for_writing(
        path.c_str(), p.bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS, p.signals);
    check(h >= 0, p.name + ": open " + std::to_string(h));
    bool ok = edf_set_startdatetime(h, 2025, 6, 30, 23, 59, 58) == 0 &&
              edf_set_subsecond_starttime(h, p.subsecond) == 0 &&
              edf_set_number_of_annotation_signals(h, p.annotationSignals) == 0 &&
              edf_set_crash_safe(h, p.crashSafe) == 0;
    for (int i = 0; i < p.signals && ok; i++) {
        ok = edf_set_samples_per_record(h, i, p.samples) == 0 &&
             edf_set_physical_minimum(h, i, p.physMin) == 0 &&
             edf_set_physical_maximum(h, i, p.physMax) == 0 &&
             edf_set_digital_minimum(h, i, p.bdf ? -8388608 : -32768) == 0 &&
             edf_set_digital_maximum(h, i, p.bdf ? 8388607 : 32767) == 0 &&
             edf_set_physical_dimension(h, i, p.dimension.c_str()) == 0 &&
             edf_set_label(h, i, ("S" + std::to_string(i)).c_str()) == 0;
    }
    check(ok, p.name + ": setters");
    return h;
}

Expected expectation(const Plan& p)
{
    Expected e;
    e.name = p.name;
    e.bdf = p.bdf;
    e.samples = p.samples;
    e.dimension = p.dimension;
    e.startSubsecond = p.subsecond;
    const double digitalSpan = p.bdf ? 16777215.0 : 65535.0;
    e.step = (p.physMax - p.physMin) / digitalSpan;
    return e;
}

// Physical value k of signal 0: a sweep over the whole range that passes through 0 and both
// limits, different in every record.
double sweep(const Plan& p, int64_t k)
{
    const int64_t period = 37;
    const int64_t i = k % period;
    if (i == 0)
        return 0.0;
    if (i == 1)
        return p.physMin;
    if (i == 2)
        return p.physMax;
    return p.physMin + (p.physMax - p.physMin) * static_cast<double>(i) / period;
}

// Writes one record: signal 0 physical from the sweep, the others digital. Returns the first
// failing writer's result, or 0.
int writeRecord(int h, const Plan& p, int64_t record, Expected* e, int stopAfterSignal = -1)
{
    std::vector<double> phys(p.samples);
    for (int i = 0; i < p.samples; i++)
        phys[i] = sweep(p, record * p.samples + i);
    int r = edfwrite_physical_samples(h, phys.data());
    if (r != 0)
        return r;
    if (stopAfterSignal == 0)
        return 0;
    std::vector<int> dig(p.samples);
    for (int s = 1; s < p.signals; s++) {
        for (int i = 0; i < p.samples; i++)
            dig[i] = static_cast<int>((record * 131 + s * 17 + i * 7) % 2001) - 1000;
        r = edfwrite_digital_samples(h, dig.data());
        if (r != 0 || s == stopAfterSignal)
            return r;
    }
    if (e)
        e->values.insert(e->values.end(), phys.begin(), phys.end());
    return 0;
}

void queue(int h, const Annotation& a)
{
    check(edfwrite_annotation_utf8(h, a.onset / 10, a.duration < 0 ? -1 : a.duration / 10,
                                   a.text.c_str()) == 0,
          "queue " + a.text);
}

Expected limits(const std::string& dir, bool bdf)
{
    Plan p;
    p.bdf = bdf;
    p.name = bdf ? "limits.bdf" : "limits.edf";
    // Neither range has an exact 8-character text for both limits.
    p.physMin = bdf ? -0.262144 : -0.000390625;
    p.physMax = -p.physMin;
    p.samples = 37;
    p.signals = 2;
    const int h = open(dir, p);
    Expected e = expectation(p);
    for (int r = 0; r < 2; r++)
        check(writeRecord(h, p, r, &e) == 0, p.name + ": write");
    check(edf_close(h) == 0, p.name + ": close");
    e.counted = e.complete = 2;
    // The header's limits, which are what the readers scale with: rounded outward, so that no
    // value at the caller's limit is clipped.
    const double low = bdf ? -0.26215 : -0.0004, high = bdf ? 0.262144 : 0.0004;
    e.step = (high - low) / (bdf ? 16777215.0 : 65535.0);
    for (double& v : e.values)
        v = v < low ? low : v > high ? high : v;
    return e;
}

Expected onsets(const std::string& dir, const std::string& name, int subsecond,
                const std::vector<Annotation>& list)
{
    Plan p;
    p.name = name;
    p.subsecond = subsecond;
    p.annotationSignals = 2;
    const int h = open(dir, p);
    Expected e = expectation(p);
    for (const Annotation& a : list)
        queue(h, a);
    for (int r = 0; r < 3; r++)
        check(writeRecord(h, p, r, &e) == 0, p.name + ": write");
    check(edf_close(h) == 0, p.name + ": close");
    e.counted = e.complete = 3;
    e.annotations = list;
    return e;
}

Expected wide(const std::string& dir)
{
    Plan p;
    p.name = "wide.edf";
    p.signals = 639; // with the annotation signal, the 640 a header may declare
    p.samples = 1;
    const int h = open(dir, p);
    Expected e = expectation(p);
    for (int r = 0; r < 2; r++)
        check(writeRecord(h, p, r, &e) == 0, p.name + ": write");
    check(edf_close(h) == 0, p.name + ": close");
    e.counted = e.complete = 2;
    return e;
}

Expected partial(const std::string& dir)
{
    Plan p;
    p.name = "partial.edf";
    p.signals = 3;
    const int h = open(dir, p);
    Expected e = expectation(p);
    for (int r = 0; r < 3; r++)
        check(writeRecord(h, p, r, &e) == 0, p.name + ": write");
    check(writeRecord(h, p, 3, nullptr, 1) == 0, p.name + ": half a record");
    check(edf_close(h) == 0, p.name + ": close");
    e.counted = e.complete = 3;
    return e;
}

// Annotations queued faster than one record can carry go into the following records.
Expected carried(const std::string& dir)
{
    Plan p;
    p.name = "carried.edf";
    p.crashSafe = true;
    const int h = open(dir, p);
    Expected e = expectation(p);
    const std::vector<Annotation> burst = {{1 * second / 10, -1, "first"},
                                           {2 * second / 10, -1, "second"},
                                           {3 * second / 10, 0, "third"}};
    for (const Annotation& a : burst)
        queue(h, a);
    for (int r = 0; r < 4; r++) {
        if (r == 3) {
            const Annotation late{3 * second + second / 2, second, "late"};
            queue(h, late);
            e.annotations.push_back(late);
        }
        check(writeRecord(h, p, r, &e) == 0, p.name + ": write");
    }
    check(edf_close(h) == 0, p.name + ": close");
    e.counted = e.complete = 4;
    e.annotations.insert(e.annotations.begin(), burst.begin(), burst.end());
    return e;
}

#ifndef _WIN32
// A write that fails part-way through a record: the file size limit stands in for a full disk.
Expected failed(const std::string& dir)
{
    Plan p;
    p.name = "failed.edf";
    p.signals = 2;
    p.samples = 50;
    const int64_t header = 256 * 4, record = 2 * 50 * 2 + 120;
    const int h = open(dir, p);
    Expected e = expectation(p);

    struct rlimit saved;
    check(getrlimit(RLIMIT_FSIZE, &saved) == 0, "getrlimit");
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(header + 3 * record + record / 2);
    check(setrlimit(RLIMIT_FSIZE, &limit) == 0, "setrlimit");
    int r = 0, written = 0;
    for (; written < 10 && r == 0; written++)
        r = writeRecord(h, p, written, written < 3 ? &e : nullptr);
    const int laterWrite = writeRecord(h, p, written, nullptr);
    const int closed = edf_close(h);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    check(r == -1 && written == 4, p.name + ": the fourth record's write must fail");
    check(laterWrite == -1, p.name + ": a write after a failure must fail");
    check(closed == -1, p.name + ": close must report the failed write");
    e.counted = e.complete = 3;
    return e;
}
#endif

// A crash-safe file and its state at every instant of its writing: the bytes written so far,
// with the header's count as it stood then.
void crashStates(const std::string& dir, std::vector<Expected>& cases)
{
    Plan p;
    p.name = "crash-final.edf";
    p.signals = 2;
    p.samples = 4;
    p.annotationSignals = 2;
    p.subsecond = 2500000;
    p.crashSafe = true;
    const int h = open(dir, p);
    Expected e = expectation(p);
    const int64_t header = 256 * 5, record = 2 * 4 * 2 + 240;

    // Queued before each record, and the record each lands in: two slots a record, the third
    // of a burst waits for the next record, one far ahead waits for the close.
    struct Queued {
        int before;
        Annotation a;
        int lands; // record, or -1: placed at close
    };
    const std::vector<Queued> plan = {
        {0, {second / 10, -1, "A0"}, 0},      {1, {15 * second / 10, second / 2, "A1"}, 1},
        {2, {20 * second / 10, -1, "B1"}, 2}, {2, {23 * second / 10, 0, "B2"}, 2},
        {2, {29 * second / 10, -1, "B3"}, 3}, {3, {37 * second / 10, -1, "A3"}, 3},
        {4, {10 * second, -1, "A4"}, -1},     {5, {5 * second, 1234560, "A5"}, 5},
    };
    const int records = 6;
    for (int r = 0; r < records; r++) {
        for (const Queued& q : plan) {
            if (q.before == r)
                queue(h, q.a);
        }
        check(writeRecord(h, p, r, &e) == 0, "crash: write");
    }
    const std::string before = readAll(dir + "/" + p.name);
    check(static_cast<int64_t>(before.size()) == header + records * record, "crash: size");
    check(edf_close(h) == 0, "crash: close");

    auto landed = [&](int64_t counted, bool atClose) {
        std::vector<Annotation> list;
        for (const Queued& q : plan) {
            if ((q.lands >= 0 && q.lands < counted) || (q.lands < 0 && atClose))
                list.push_back(q.a);
        }
        return list;
    };
    Expected closed = e;
    closed.counted = closed.complete = records;
    closed.annotations = landed(records, true);
    cases.push_back(closed);

    auto state = [&](int64_t length, int64_t counted, bool forPeers) {
        Expected s = e;
        s.name = "crash-" + std::to_string(length) + "-" + std::to_string(counted) + ".edf";
        s.complete = (length - header) / record;
        if (counted > s.complete) {
            s.countAhead = counted;
            counted = s.complete;
        }
        s.counted = counted;
        s.values.resize(static_cast<size_t>(s.complete * p.samples));
        s.annotations = landed(counted, false);
        // With the count ahead, the annotation area of the record it promises may be partly
        // on disk: a reader that believes the count may find the annotations written there.
        for (const Annotation& a : landed(s.countAhead ? s.complete + 1 : s.complete, false)) {
            bool counted_already = false;
            for (const Annotation& b : s.annotations)
                counted_already = counted_already || b.text == a.text;
            if (!counted_already)
                s.uncounted.push_back(a);
        }
        s.forPeers = forPeers && s.complete > 0;
        std::string bytes = before.substr(0, static_cast<size_t>(length));
        char count[9];
        snprintf(count, sizeof count, "%-8lld",
                 s.countAhead  ? static_cast<long long>(s.countAhead)
                 : counted > 0 ? static_cast<long long>(counted)
                               : -1LL);
        bytes.replace(236, 8, count, 8);
        writeAll(dir + "/" + s.name, bytes);
        cases.push_back(s);
    };
    for (int64_t length = header; length <= header + records * record; length++) {
        const int64_t whole = (length - header) / record;
        const bool boundary = (length - header) % record == 0;
        const bool peers = length % 61 == 0 || boundary;
        state(length, whole, peers);
        // On a record's last byte the count has not been brought up yet.
        if (boundary && whole > 0)
            state(length, whole - 1, peers);
        // A power cut on a disk that kept the count but not all of the record it counts.
        if (whole > 0 && whole < records)
            state(length, whole + 1, peers);
    }
}

} // namespace

bool writeCases(const std::string& dir, std::vector<Expected>& cases, std::string& error)
{
    try {
        cases.push_back(limits(dir, true));
        cases.push_back(limits(dir, false));
        // 100 ns apart from whole microseconds, on a start 0.1234567 s into its second.
        cases.push_back(onsets(dir, "subsecond.edf", 1234567,
                               {{0, -1, "at zero"},
                                {second, -1, "at one second"},
                                {2 * second + 10, 5 * second / 10, "2.000001"},
                                {second * 25 / 10 + 1234560, 0, "odd"}}));
        // The farthest onset and duration a TAL can carry.
        cases.push_back(onsets(dir, "far.edf", 9999999,
                               {{(EDF_MAX_ANNOTATION_SECONDS - 1) * second, -1, "far"},
                                {second, (EDF_MAX_ANNOTATION_SECONDS - 1) * second, "long"}}));
        cases.push_back(wide(dir));
        cases.push_back(partial(dir));
        cases.push_back(carried(dir));
#ifndef _WIN32
        cases.push_back(failed(dir));
#endif
        crashStates(dir, cases);
    } catch (const Failure& f) {
        error = f.what;
        return false;
    }
    return true;
}

} // namespace edfcase
