// The writer never leaves a file that reads back differently from what it reported as written:
// failed and unfinished writes, rounded limits, far and sub-second onsets, the widest header,
// carried annotations, crash-safe files cut off at any instant or killed, one writer per file.
#include "edf/edf.h"
#include "edf/edf_internal.h"
#include "edf_integrity_cases.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <memory>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#endif

namespace
{

using edfcase::Annotation;
using edfcase::Expected;

const int64_t second = EDF_TIME_DIMENSION;

// Opens a case with our reader and compares everything with what was written. Empty when it
// matches, else the first difference.
std::string readBack(const std::string& path, const Expected& e)
{
    std::unique_ptr<edf_header_info> hdr(new edf_header_info);
    const int r = edf_open_for_reading(path.c_str(), hdr.get(), 2);
    if (e.counted == 0)
        return r == -1 && hdr->filetype == EDF_ERROR_FORMAT ? "" : "opened without a record";
    if (r != 0)
        return "refused: " + std::to_string(hdr->filetype);
    std::string diff;
    const int h = hdr->handle;
    if (hdr->record_count != e.counted)
        diff = "records " + std::to_string(hdr->record_count);
    else if (hdr->start_subsecond != e.startSubsecond)
        diff = "start subsecond " + std::to_string(hdr->start_subsecond);

    std::vector<double> got(e.values.size() + 1);
    const int n = edfread_physical_samples(h, 0, static_cast<int>(got.size()), got.data());
    const size_t want = static_cast<size_t>(e.counted * e.samples);
    if (diff.empty() && n != static_cast<int>(want))
        diff = "samples " + std::to_string(n);
    for (size_t i = 0; diff.empty() && i < want; i++) {
        // Truncation toward zero puts a value within one step of what was written.
        if (fabs(got[i] - e.values[i]) > e.step * 1.000001)
            diff = "sample " + std::to_string(i) + ": " + std::to_string(got[i]) +
                   " != " + std::to_string(e.values[i]);
    }

    std::vector<Annotation> read;
    for (int i = 0; i < hdr->annotation_count; i++) {
        edf_annotation_info a;
        edf_get_annotation(h, i, &a);
        read.push_back({a.onset, a.duration == -second ? -1 : a.duration, a.text});
    }
    auto byText = [](const Annotation& a, const Annotation& b) { return a.text < b.text; };
    std::vector<Annotation> want_list = e.annotations;
    std::sort(read.begin(), read.end(), byText);
    std::sort(want_list.begin(), want_list.end(), byText);
    if (diff.empty() && read.size() != want_list.size())
        diff = std::to_string(read.size()) + " annotations";
    for (size_t i = 0; diff.empty() && i < read.size(); i++) {
        if (read[i].text != want_list[i].text || read[i].onset != want_list[i].onset ||
            read[i].duration != want_list[i].duration)
            diff = "annotation " + read[i].text + " at " + std::to_string(read[i].onset) +
                   " lasting " + std::to_string(read[i].duration);
    }
    if (edf_close(h) != 0 && diff.empty())
        diff = "close failed";
    return diff;
}

TEST(EdfIntegrity, everyAwkwardFileReadsBackAsWritten)
{
    ScratchDir dir;
    std::vector<Expected> cases;
    std::string error;
    ASSERT_TRUE(edfcase::writeCases(dir.path(""), cases, error)) << error;
    ASSERT_GT(cases.size(), 1000u);
    int crashStates = 0;
    for (const Expected& e : cases) {
        EXPECT_EQ(readBack(dir.path(e.name), e), "") << e.name;
        crashStates += e.name.compare(0, 6, "crash-") == 0;
    }
    EXPECT_GT(crashStates, 1500);
    EXPECT_EQ(edf_open_file_count(), 0);
}

TEST(EdfIntegrity, boundsAreRefusedWhenQueuedOrSet)
{
    ScratchDir dir;
    const int h = edf_open_for_writing_with_params(dir.path("b.edf").c_str(), EDF_FILETYPE_EDFPLUS,
                                                   1, 2, 1.0, "V");
    ASSERT_GE(h, 0);
    const int64_t limit = EDF_MAX_ANNOTATION_SECONDS * 1000000;
    EXPECT_EQ(edfwrite_annotation_utf8(h, limit - 1, limit - 1, "last"), 0);
    EXPECT_EQ(edfwrite_annotation_utf8(h, limit, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_latin1(h, 0, limit, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_utf8_100us(h, limit / 100, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_utf8(h, 1700000000000000000LL, -1, "x"), -1);
    EXPECT_EQ(edf_record(h)->annotation_count, 1);

    // The record count field holds 8 digits: the record after 99,999,999 is never started.
    int samples[2] = {0, 0};
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    edf_record(h)->record_count = 99999999;
    EXPECT_EQ(edfwrite_digital_samples(h, samples), -1);
    EXPECT_EQ(edf_record(h)->next_signal, 0);
    edf_record(h)->record_count = 1;
    EXPECT_EQ(edf_close(h), 0);
}

TEST(EdfIntegrity, crashSafeModeAndFlushTakeOnlyWritingHandlesBeforeTheirFirstSample)
{
    ScratchDir dir;
    const int h = edf_open_for_writing_with_params(dir.path("c.edf").c_str(), EDF_FILETYPE_BDFPLUS,
                                                   2, 3, 1.0, "V");
    ASSERT_GE(h, 0);
    EXPECT_EQ(edf_flush(h), 0) << "nothing written yet";
    EXPECT_EQ(edf_set_crash_safe(h, 1), 0);
    EXPECT_EQ(edf_set_crash_safe(h + 1, 1), -1);
    EXPECT_EQ(edf_flush(h + 1), -1);
    EXPECT_EQ(edf_flush(-1), -1);
    const double zeros[3] = {0, 0, 0};
    ASSERT_EQ(edfwrite_physical_samples(h, zeros), 0);
    EXPECT_EQ(edf_set_crash_safe(h, 0), -1) << "a sample is written";
    ASSERT_EQ(edfwrite_physical_samples(h, zeros), 0);
    EXPECT_EQ(edf_flush(h), 0);
    // The count is up to date after every record, before close.
    EXPECT_EQ(field(readFile(dir.path("c.edf")), 236, 8), "1       ");
    EXPECT_EQ(edf_close(h), 0);

    edf_header_info* hdr = new edf_header_info;
    ASSERT_EQ(edf_open_for_reading(dir.path("c.edf").c_str(), hdr, 0), 0);
    EXPECT_EQ(edf_set_crash_safe(hdr->handle, 1), -1);
    EXPECT_EQ(edf_flush(hdr->handle), -1);
    edf_close(hdr->handle);
    delete hdr;
}

TEST(EdfIntegrity, pathsOfOneFileAreOneFileHoweverSpelled)
{
    ScratchDir dir;
    const std::string path = dir.path("a.edf");
    const int h =
        edf_open_for_writing_with_params(path.c_str(), EDF_FILETYPE_EDFPLUS, 1, 2, 1.0, "V");
    ASSERT_GE(h, 0);
    int samples[2] = {1, 2};
    ASSERT_EQ(edfwrite_digital_samples(h, samples), 0);
    const size_t slash = path.find_last_of("/\\");
    const std::string base = path.substr(0, slash);
    const std::string dirName = base.substr(base.find_last_of("/\\") + 1);
    std::vector<std::string> aliases = {base + "/./a.edf", base + "//a.edf",
                                        base + "/../" + dirName + "/a.edf"};
#ifdef _WIN32
    aliases.push_back(base + "\\A.EDF");
#else
    ASSERT_EQ(link(path.c_str(), dir.path("hard.edf").c_str()), 0);
    ASSERT_EQ(symlink(path.c_str(), dir.path("soft.edf").c_str()), 0);
    aliases.push_back(dir.path("hard.edf"));
    aliases.push_back(dir.path("soft.edf"));
#endif
    std::unique_ptr<edf_header_info> hdr(new edf_header_info);
    for (const std::string& alias : aliases) {
        EXPECT_EQ(edf_is_file_open(alias.c_str()), 1) << alias;
        EXPECT_EQ(edf_open_for_writing(alias.c_str(), EDF_FILETYPE_EDFPLUS, 1),
                  EDF_ERROR_ALREADY_OPEN)
            << alias;
        EXPECT_EQ(edf_open_for_reading(alias.c_str(), hdr.get(), 0), -1) << alias;
        EXPECT_EQ(hdr->filetype, EDF_ERROR_ALREADY_OPEN) << alias;
    }
    // The refused opens left the first writer's file alone.
    ASSERT_EQ(edf_close(h), 0);
    ASSERT_EQ(edf_open_for_reading(aliases.back().c_str(), hdr.get(), 0), 0);
    EXPECT_EQ(hdr->record_count, 1);
    EXPECT_EQ(edf_open_for_reading(path.c_str(), hdr.get(), 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_ALREADY_OPEN);
    EXPECT_EQ(edf_close(edf_get_handle(0)), 0);
}

#ifndef _WIN32
// A crash-safe writer killed at random moments: every file it leaves opens with all its counted
// records, each with its samples and its annotation.
TEST(EdfIntegrity, killedCrashSafeWriterLeavesAFileThatOpens)
{
    ScratchDir dir;
    const int samples = 64;
    unsigned seed = 12345;
    int opened = 0;
    for (int round = 0; round < 24; round++) {
        const std::string path = dir.path("kill" + std::to_string(round) + ".bdf");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int h = edf_open_for_writing_with_params(path.c_str(), EDF_FILETYPE_BDFPLUS, 3,
                                                           samples, 100.0, "uV");
            if (h < 0 || edf_set_crash_safe(h, 1) != 0)
                _exit(2);
            std::vector<int> data(3 * samples);
            for (int r = 0;; r++) {
                if (r == 5000) // values stay inside 24 bits; wait for the kill
                    for (;;)
                        pause();
                for (int i = 0; i < 3 * samples; i++)
                    data[i] = r * 1000 + i;
                edfwrite_annotation_utf8(h, r * 1000000LL + 500000, -1,
                                         ("r" + std::to_string(r)).c_str());
                if (edfwrite_block_digital_samples(h, data.data()) != 0)
                    _exit(3);
            }
        }
        seed = seed * 1103515245 + 12345;
        // 1..400 ms: every record is synced before it is counted, which takes its time (more
        // so under a sanitizer), and some kills must come after the first count.
        const long delay = 1000000 + static_cast<long>((seed >> 8) % 16000000) * 25;
        struct timespec ts = {0, delay};
        nanosleep(&ts, nullptr);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own: " << status;

        std::unique_ptr<edf_header_info> hdr(new edf_header_info);
        if (edf_open_for_reading(path.c_str(), hdr.get(), 2) != 0) {
            // Only before its first record is counted.
            const auto d = readFile(path);
            EXPECT_TRUE(d.size() < 1280 || field(d, 236, 8) == "-1      ") << path;
            continue;
        }
        opened++;
        const int h = hdr->handle;
        EXPECT_EQ(hdr->annotation_count, hdr->record_count) << path;
        for (int64_t r = 0; r < hdr->record_count; r++) {
            edf_annotation_info a;
            ASSERT_EQ(edf_get_annotation(h, static_cast<int>(r), &a), 0);
            EXPECT_EQ(std::string(a.text), "r" + std::to_string(r));
            EXPECT_EQ(a.onset, r * second + second / 2);
            for (int s = 0; s < 3; s++) {
                int got[samples];
                ASSERT_EQ(edfread_digital_samples(h, s, samples, got), samples);
                EXPECT_EQ(got[0], r * 1000 + s * samples) << path;
                EXPECT_EQ(got[samples - 1], r * 1000 + s * samples + samples - 1) << path;
            }
        }
        edf_close(h);
    }
    EXPECT_GT(opened, 0);
}
#endif

} // namespace
