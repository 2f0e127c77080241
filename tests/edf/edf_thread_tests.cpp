// Different handles used from different threads at once: each thread writes its own BDF+ file,
// with annotations, and reads it back, while the others open, write, read and close theirs.
// Run under ThreadSanitizer in the sanitizer build; here it also checks that no thread ever gets
// another's handle or data.
#include "edf/edf.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr int signals = 3;
constexpr int samplesPerRecord = 50;
constexpr int records = 8;

int sampleValue(int thread, int round, int signal, int i)
{
    return ((thread * 7919 + round * 131 + signal * 17 + i) % 16000000) - 8000000;
}

// Writes one file and reads it back; returns an empty string or what went wrong.
std::string writeAndRead(const std::string& path, int thread, int round)
{
    const int h = edf_open_for_writing(path.c_str(), EDF_FILETYPE_BDFPLUS, signals);
    if (h < 0)
        return "open for writing: " + std::to_string(h);
    for (int s = 0; s < signals; ++s) {
        if (edf_set_samples_per_record(h, s, samplesPerRecord) ||
            edf_set_digital_maximum(h, s, 8388607) || edf_set_digital_minimum(h, s, -8388608) ||
            edf_set_physical_maximum(h, s, 8388607) || edf_set_physical_minimum(h, s, -8388608))
            return "signal setup";
    }
    std::vector<int> buf(samplesPerRecord);
    for (int r = 0; r < records; ++r) {
        for (int s = 0; s < signals; ++s) {
            for (int i = 0; i < samplesPerRecord; ++i)
                buf[i] = sampleValue(thread, round, s, r * samplesPerRecord + i);
            if (edfwrite_digital_samples(h, buf.data()) != 0)
                return "write";
        }
        const std::string text = "t" + std::to_string(thread) + " r" + std::to_string(r);
        if (edfwrite_annotation_utf8(h, int64_t(r) * 1000000, -1, text.c_str()) != 0)
            return "annotation";
    }
    if (edf_close(h) != 0)
        return "close";

    edf_header_info hdr;
    if (edf_open_for_reading(path.c_str(), &hdr, 1) != 0)
        return "open for reading: " + std::to_string(hdr.filetype);
    std::string error;
    if (hdr.signal_count != signals || hdr.record_count != records ||
        hdr.annotation_count != records)
        error = "header";
    std::vector<int> back(samplesPerRecord * records);
    for (int s = 0; s < signals && error.empty(); ++s) {
        if (edfread_digital_samples(hdr.handle, s, int(back.size()), back.data()) !=
            int(back.size()))
            error = "read";
        for (size_t i = 0; i < back.size() && error.empty(); ++i) {
            if (back[i] != sampleValue(thread, round, s, int(i)))
                error = "sample " + std::to_string(i) + " of signal " + std::to_string(s);
        }
    }
    for (int r = 0; r < records && error.empty(); ++r) {
        edf_annotation_info a;
        const std::string text = "t" + std::to_string(thread) + " r" + std::to_string(r);
        if (edf_get_annotation(hdr.handle, r, &a) != 0 || a.onset != int64_t(r) * 10000000 ||
            text != a.text)
            error = "annotation " + std::to_string(r);
    }
    if (edf_close(hdr.handle) != 0 && error.empty())
        error = "close after reading";
    return error;
}

TEST(EdfThreads, HandlesOfDifferentThreadsDoNotInterfere)
{
    ScratchDir dir;
    constexpr int threads = 6;
    constexpr int rounds = 15;
    std::vector<std::string> errors(threads);
    std::atomic<int> go{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            go.fetch_add(1);
            while (go.load() < threads) {
            }
            for (int round = 0; round < rounds && errors[t].empty(); ++round) {
                // Every thread also asks about the table while the others change it.
                (void)edf_open_file_count();
                (void)edf_is_file_open(dir.path("t0.bdf").c_str());
                const std::string error =
                    writeAndRead(dir.path("t" + std::to_string(t) + ".bdf"), t, round);
                if (!error.empty())
                    errors[t] = "round " + std::to_string(round) + ": " + error;
            }
        });
    }
    for (std::thread& th : pool)
        th.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(errors[t], "") << "thread " << t;
    EXPECT_EQ(edf_open_file_count(), 0);
}

// Two threads opening the same path at once: exactly one gets it.
TEST(EdfThreads, OnePathIsOpenedByOneThreadOnly)
{
    ScratchDir dir;
    const std::string path = dir.path("same.bdf");
    for (int round = 0; round < 50; ++round) {
        int handles[2] = {-1, -1};
        std::thread a(
            [&] { handles[0] = edf_open_for_writing(path.c_str(), EDF_FILETYPE_BDFPLUS, 1); });
        std::thread b(
            [&] { handles[1] = edf_open_for_writing(path.c_str(), EDF_FILETYPE_BDFPLUS, 1); });
        a.join();
        b.join();
        ASSERT_EQ((handles[0] >= 0) + (handles[1] >= 0), 1) << "round " << round;
        for (int h : handles) {
            if (h >= 0)
                edf_close(h);
        }
    }
}

} // namespace
