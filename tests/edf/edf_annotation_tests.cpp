// User annotations of files written by the module: the queue, text conversion and the placement
// into the records' annotation slots at close.
#include "edf/edf.h"
#include "edf/edf_internal.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>

#include <string.h>

namespace
{

const std::string TK = "\x14\x14";

// An EDF+ file with one signal of `samples` per record and a fixed start.
int openFile(const std::string& path, int samples = 10)
{
    int h =
        edf_open_for_writing_with_params(path.c_str(), EDF_FILETYPE_EDFPLUS, 1, samples, 5.0, "mV");
    if (h >= 0)
        edf_set_startdatetime(h, 2021, 3, 2, 10, 20, 30);
    return h;
}

void writeRecords(int h, int samples, int records)
{
    std::vector<double> zeros(samples, 0.0);
    for (int r = 0; r < records; r++)
        ASSERT_EQ(edfwrite_physical_samples(h, zeros.data()), 0);
}

// A 120-byte annotation slot holding these bytes, then zeros.
std::string slot(const std::string& content)
{
    std::string s = content;
    s.resize(120, '\0');
    return s;
}

// The text an annotation got in the queue.
std::string queuedText(int h, int n)
{
    return edf_table.queued_annotations[h][n].text;
}

TEST(EdfAnnotations, OnsetTwoAndAHalfSecondsLandsAfterTheTimeKeepingText)
{
    ScratchDir dir;
    const std::string path = dir.path("a.edf");
    int h = openFile(path);
    ASSERT_GE(h, 0);
    writeRecords(h, 10, 1);
    ASSERT_EQ(edfwrite_annotation_utf8(h, 2500000, -1, "A"), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    ASSERT_EQ(d.size(), 768u + 20 + 120);
    EXPECT_EQ(field(d, 768 + 20, 120), slot("+0" + TK + std::string(1, '\0') +
                                            "+2.500000\x14"
                                            "A\x14"));
}

TEST(EdfAnnotations, DurationsAndHundredMicrosecondForms)
{
    const struct {
        const char* name;
        int (*queue)(int h);
        std::string tal;
    } cases[] = {
        {"100 us onset 15, duration 0",
         [](int h) { return edfwrite_annotation_utf8_100us(h, 15, 0, "z"); },
         "+0.001500\x15"
         "0\x14z\x14"},
        {"100 us positive duration scaled",
         [](int h) { return edfwrite_annotation_latin1_100us(h, 20000, 5000, "d"); },
         "+2\x15"
         "0.500000\x14"
         "d\x14"},
        {"100 us negative duration kept",
         [](int h) { return edfwrite_annotation_utf8_100us(h, 1, -1, "n"); }, "+0.000100\x14n\x14"},
        {"whole seconds both",
         [](int h) { return edfwrite_annotation_utf8(h, 3000000, 12000000, "w"); },
         "+3\x15"
         "12\x14w\x14"},
        {"fractional duration", [](int h) { return edfwrite_annotation_utf8(h, 0, 1, "f"); },
         "+0\x15"
         "0.000001\x14"
         "f\x14"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = dir.path("d.edf");
        int h = openFile(path);
        ASSERT_GE(h, 0);
        ASSERT_EQ(c.queue(h), 0) << c.name;
        writeRecords(h, 10, 1);
        ASSERT_EQ(edf_close(h), 0);
        EXPECT_EQ(field(readFile(path), 768 + 20, 120),
                  slot("+0" + TK + std::string(1, '\0') + c.tal))
            << c.name;
    }
}

TEST(EdfAnnotations, QueueFillsSlotsRecordByRecordAndCloseReportsTheRest)
{
    ScratchDir dir;
    const std::string path = dir.path("o.edf");
    int h = openFile(path, 2);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_number_of_annotation_signals(h, 2), 0);
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(edfwrite_annotation_utf8(h, i * 100000, -1, ("n" + std::to_string(i)).c_str()),
                  0);
    writeRecords(h, 2, 2);
    ASSERT_EQ(edf_close(h), EDF_CLOSE_ANNOTATIONS_LEFT);

    auto d = readFile(path);
    const size_t header = 256 * 4, record = 4 + 240;
    ASSERT_EQ(d.size(), header + 2 * record);
    EXPECT_EQ(field(d, 252, 4), "3   ");
    const std::string z(1, '\0');
    EXPECT_EQ(field(d, header + 4, 120), slot("+0" + TK + z + "+0\x14n0\x14"));
    EXPECT_EQ(field(d, header + 124, 120), slot("+0.100000\x14n1\x14"));
    EXPECT_EQ(field(d, header + record + 4, 120), slot("+1" + TK + z + "+0.200000\x14n2\x14"));
    EXPECT_EQ(field(d, header + record + 124, 120), slot("+0.300000\x14n3\x14"));
}

TEST(EdfAnnotations, OnsetIsMadeRelativeToTheWholeStartSecond)
{
    ScratchDir dir;
    const std::string path = dir.path("s.edf");
    int h = openFile(path);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_subsecond_starttime(h, 1234567), 0);
    ASSERT_EQ(edfwrite_annotation_utf8(h, 1000000, -1, "x"), 0);
    writeRecords(h, 10, 1);
    ASSERT_EQ(edf_close(h), 0);
    EXPECT_EQ(field(readFile(path), 768 + 20, 120),
              slot("+0.1234567" + TK + std::string(1, '\0') + "+1.1234567\x14x\x14"));
}

TEST(EdfAnnotations, TextsAreCutCleanedAndConvertedToUtf8)
{
    ScratchDir dir;
    int h = openFile(dir.path("t.edf"));
    ASSERT_GE(h, 0);
    const std::string a39(39, 'a');
    const struct {
        bool latin1;
        std::string in, queued;
    } cases[] = {
        {false, "tab\there\x14", "tab.here."},
        {false, std::string(50, 'x'), std::string(40, 'x')},
        // A UTF-8 character cut at byte 40 is dropped whole.
        {false, a39 + "\xc3\xa9", a39},
        {false, a39.substr(1) + "\xc3\xa9", a39.substr(1) + "\xc3\xa9"},
        {false, a39 + "\xe2\x82\xac", a39},
        {true, "caf\xe9", "caf\xc3\xa9"},
        {true, "\x01\x7f\x80\x9f\xa0\xff", "....\xc2\xa0\xc3\xbf"},
        {true, std::string(40, '\xe9'),
         [] {
             std::string s;
             for (int i = 0; i < 20; i++)
                 s += "\xc3\xa9";
             return s;
         }()},
        // No room for a second byte: the character becomes a space.
        {true, a39 + "\xe9", a39 + " "},
    };
    int n = 0;
    for (const auto& c : cases) {
        int r = c.latin1 ? edfwrite_annotation_latin1(h, 0, -1, c.in.c_str())
                         : edfwrite_annotation_utf8(h, 0, -1, c.in.c_str());
        ASSERT_EQ(r, 0);
        EXPECT_EQ(queuedText(h, n), c.queued) << n;
        n++;
    }
    EXPECT_EQ(edf_record(h)->annotation_count, n);
    EXPECT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
}

TEST(EdfAnnotations, RefusedAnnotationsQueueNothing)
{
    ScratchDir dir;
    int h = openFile(dir.path("r.edf"));
    ASSERT_GE(h, 0);
    EXPECT_EQ(edfwrite_annotation_utf8(h, -1, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_latin1(h, -1, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_utf8_100us(h, -1, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_utf8(h, 0, -1, nullptr), -1);
    EXPECT_EQ(edfwrite_annotation_utf8(64, 0, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_utf8(h + 1, 0, -1, "x"), -1);
    // Values that would overflow when scaled or placed.
    EXPECT_EQ(edfwrite_annotation_utf8_100us(h, INT64_MAX / 10, -1, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_latin1_100us(h, 0, INT64_MAX / 10, "x"), -1);
    EXPECT_EQ(edfwrite_annotation_utf8(h, INT64_MAX, -1, "x"), -1);
    EXPECT_EQ(edf_record(h)->annotation_count, 0);
    // Annotations are accepted after the first record, unlike the setters.
    writeRecords(h, 10, 1);
    EXPECT_EQ(edfwrite_annotation_utf8(h, 0, -1, "late"), 0);
    EXPECT_EQ(edf_close(h), 0);
}

TEST(EdfAnnotations, FileWithoutDataSignalsGetsOneRecordPerAnnotation)
{
    ScratchDir dir;
    const std::string path = dir.path("only.edf");
    int h = edf_open_for_writing(path.c_str(), EDF_FILETYPE_EDFPLUS, 0);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_startdatetime(h, 2021, 3, 2, 10, 20, 30), 0);
    ASSERT_EQ(edfwrite_annotation_utf8(h, 500000, -1, "first"), 0);
    ASSERT_EQ(edfwrite_annotation_latin1(h, 7000000, 250000, "second"), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    ASSERT_EQ(d.size(), 512u + 2 * 120);
    EXPECT_EQ(field(d, 236, 8), "2       ");
    EXPECT_EQ(field(d, 252, 4), "1   ");
    const std::string z(1, '\0');
    EXPECT_EQ(field(d, 512, 120), slot("+0" + TK + z + "+0.500000\x14" + "first\x14"));
    EXPECT_EQ(field(d, 632, 120), slot("+1" + TK + z + "+7\x15" + "0.250000\x14second\x14"));
}

TEST(EdfAnnotations, FileWithDataSignalsButNoRecordKeepsTheHeaderOnlyAndSaysSo)
{
    ScratchDir dir;
    const std::string path = dir.path("none.edf");
    int h = openFile(path);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edfwrite_annotation_utf8(h, 0, -1, "nowhere to go"), 0);
    ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
    auto d = readFile(path);
    EXPECT_EQ(d.size(), 768u);
    EXPECT_EQ(field(d, 236, 8), "0       ");
}

TEST(EdfAnnotations, QueueGrowsPastItsFirstThousandEntries)
{
    ScratchDir dir;
    const std::string path = dir.path("many.edf");
    int h = openFile(path, 1);
    ASSERT_GE(h, 0);
    const int n = 2500;
    for (int i = 0; i < n; i++)
        ASSERT_EQ(edfwrite_annotation_utf8(h, i * 1000000LL, -1, std::to_string(i).c_str()), 0);
    EXPECT_EQ(edf_record(h)->annotation_capacity, 3000);
    writeRecords(h, 1, n);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    const size_t last = 768 + (n - 1) * 122 + 2;
    EXPECT_EQ(field(d, last, 120),
              slot("+2499" + TK + std::string(1, '\0') + "+2499\x14" + "2499\x14"));
}

TEST(EdfAnnotations, Latin1ToUtf8StaysWithinTheGivenRoom)
{
    const struct {
        std::string in;
        int room;
        std::string out;
    } cases[] = {
        {"abc", 3, "abc"},           {"\xe9", 1, " "},
        {"\xe9", 2, "\xc3\xa9"},     {"a\xe9", 2, "a "},
        {"\xe9\xe9", 2, "\xc3\xa9"}, {"\x1f\x7f\x9f\xa0", 5, "..." + std::string("\xc2\xa0")},
    };
    for (const auto& c : cases) {
        char buf[64] = {};
        memcpy(buf, c.in.data(), c.in.size());
        int len = edf_latin1_to_utf8(buf, c.room);
        EXPECT_EQ(std::string(buf, len), c.out) << c.in;
    }
}

} // namespace
