// The reader: what valid files yield, how every broken header rule and malformed annotation is
// refused (and that a refusal leaves nothing open), the read positions, and round trips
// through the module's own writer.
#include "edf/edf.h"
#include "edf_raw_file.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using edftest::plainFile;
using edftest::plusFile;
using edftest::RawFile;
using edftest::RawSignal;
using edftest::tal;

namespace
{

class EdfReader : public ::testing::Test
{
protected:
    // The header record is large (640 signal entries); keep it off the stack.
    std::unique_ptr<edf_header_info> hdr{new edf_header_info};
    ScratchDir scratch;
    int fileNumber = 0;

    std::string write(const std::string& bytes)
    {
        const std::string path = scratch.path("f" + std::to_string(fileNumber++) + ".edf");
        EXPECT_TRUE(edftest::writeFile(path, bytes));
        return path;
    }

    // Opens the bytes as a file; returns 0 (handle in hdr) or the negative result code. A
    // refusal must leave nothing open.
    int open(const std::string& bytes, int mode = 2)
    {
        const int before = edf_open_file_count();
        const int r = edf_open_for_reading(write(bytes).c_str(), hdr.get(), mode);
        if (r != 0) {
            EXPECT_EQ(r, -1);
            EXPECT_LT(hdr->filetype, 0);
            EXPECT_EQ(edf_open_file_count(), before);
            return hdr->filetype;
        }
        return 0;
    }

    // Opens, checks the result, closes.
    int openAndClose(const std::string& bytes, int mode = 2)
    {
        const int r = open(bytes, mode);
        if (r == 0) {
            EXPECT_EQ(edf_close(hdr->handle), 0);
        }
        return r;
    }

    std::vector<int> readDigital(int signal, int n)
    {
        std::vector<int> v(n > 0 ? n : 1);
        const int got = edfread_digital_samples(hdr->handle, signal, n, v.data());
        v.resize(got > 0 ? got : 0);
        return v;
    }

    std::vector<edf_annotation_info> annotations()
    {
        std::vector<edf_annotation_info> list(static_cast<size_t>(hdr->annotation_count));
        for (size_t i = 0; i < list.size(); i++)
            EXPECT_EQ(edf_get_annotation(hdr->handle, static_cast<int>(i), &list[i]), 0);
        return list;
    }
};

// ---- Valid files ---------------------------------------------------------------------------

TEST_F(EdfReader, plainEdfOpensWithItsHeaderFieldsAndSamples)
{
    RawFile f = plainFile(false, 2, 8, 3);
    f.signals[1].samples = "5";
    f.signals[1].label = "Resp";
    f.signals[1].transducer = "belt";
    f.signals[1].prefilter = "HP:0.1Hz";
    f.signals[1].physicalMin = "-1.5E2";
    f.signals[1].physicalMax = "150";
    f.signals[1].digitalMin = "-2048";
    f.signals[1].digitalMax = "2047";
    f.sampleValue = [](int64_t r, int s, int i) {
        return static_cast<int32_t>(r * 100 + s * 10 + i);
    };
    ASSERT_EQ(open(f.bytes()), 0);

    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDF);
    EXPECT_EQ(hdr->signal_count, 2);
    EXPECT_EQ(hdr->record_count, 3);
    EXPECT_EQ(hdr->record_duration, 10000000);
    EXPECT_EQ(hdr->file_duration, 30000000);
    EXPECT_EQ(hdr->start_day, 1);
    EXPECT_EQ(hdr->start_month, 2);
    EXPECT_EQ(hdr->start_year, 2003);
    EXPECT_EQ(hdr->start_hour, 4);
    EXPECT_EQ(hdr->start_minute, 5);
    EXPECT_EQ(hdr->start_second, 6);
    EXPECT_EQ(std::string(hdr->patient), padded("patient 7", 80));
    EXPECT_EQ(std::string(hdr->recording), padded("morning session", 80));
    EXPECT_STREQ(hdr->patient_name, "");
    EXPECT_EQ(hdr->annotation_count, 0);

    const edf_signal_info& s = hdr->signal_info[1];
    EXPECT_EQ(std::string(s.label), padded("Resp", 16));
    EXPECT_EQ(std::string(s.transducer), padded("belt", 80));
    EXPECT_EQ(std::string(s.prefilter), padded("HP:0.1Hz", 80));
    EXPECT_EQ(std::string(s.physical_dimension), padded("uV", 8));
    EXPECT_EQ(s.samples_per_record, 5);
    EXPECT_EQ(s.samples_in_file, 15);
    EXPECT_DOUBLE_EQ(s.physical_min, -150.0);
    EXPECT_DOUBLE_EQ(s.physical_max, 150.0);
    EXPECT_EQ(s.digital_min, -2048);
    EXPECT_EQ(s.digital_max, 2047);

    // Signal 1 across its three records, then signal 0 is still at its own start.
    EXPECT_EQ(readDigital(1, 100), (std::vector<int>{10, 11, 12, 13, 14, 110, 111, 112, 113, 114,
                                                     210, 211, 212, 213, 214}));
    EXPECT_EQ(edf_tell(hdr->handle, 0), 0);
    EXPECT_EQ(readDigital(0, 3), (std::vector<int>{0, 1, 2}));
    double physical[2];
    ASSERT_EQ(edf_seek(hdr->handle, 1, 0, 0), 0);
    ASSERT_EQ(edfread_physical_samples(hdr->handle, 1, 2, physical), 2);
    const double step = 300.0 / 4095.0;
    EXPECT_NEAR(physical[0], -150.0 + (10 + 2048) * step, 1e-9);
    EXPECT_NEAR(physical[1], -150.0 + (11 + 2048) * step, 1e-9);
}

TEST_F(EdfReader, bdfSamplesAreSignExtendedFrom24Bits)
{
    RawFile f = plainFile(true, 1, 6, 1);
    f.reserved = "24BIT";
    const int32_t values[6] = {-8388608, 8388607, -1, 0, 32768, -32769};
    f.sampleValue = [&](int64_t, int, int i) { return values[i]; };
    ASSERT_EQ(open(f.bytes()), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_BDF);
    EXPECT_EQ(readDigital(0, 6), std::vector<int>(values, values + 6));
}

TEST_F(EdfReader, samplesOutsideTheDigitalRangeAreLimitedToIt)
{
    RawFile f = plainFile(false, 1, 4, 1);
    f.signals[0].digitalMin = "-100";
    f.signals[0].digitalMax = "100";
    const int32_t values[4] = {-32768, -101, 101, 32767};
    f.sampleValue = [&](int64_t, int, int i) { return values[i]; };
    ASSERT_EQ(open(f.bytes()), 0);
    EXPECT_EQ(readDigital(0, 4), (std::vector<int>{-100, -100, 100, 100}));
}

TEST_F(EdfReader, edfPlusSubfieldsAreSplitAndUnderscoresBecomeSpaces)
{
    RawFile f = plusFile(false, 1, 4, 1);
    f.patient = "P-0042 F 17-APR-1990 Ivanova_Anna likes_tea  and more";
    f.recording = "Startdate 01-FEB-2003 A_7 Petrov Neurask_0.4 eyes_closed, quiet";
    ASSERT_EQ(open(f.bytes()), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDFPLUS);
    EXPECT_STREQ(hdr->patient_code, "P-0042");
    EXPECT_STREQ(hdr->sex, "Female");
    EXPECT_STREQ(hdr->gender, "Female");
    EXPECT_STREQ(hdr->birth_date, "17 apr 1990");
    EXPECT_EQ(hdr->birth_day, 17);
    EXPECT_EQ(hdr->birth_month, 4);
    EXPECT_EQ(hdr->birth_year, 1990);
    EXPECT_STREQ(hdr->patient_name, "Ivanova Anna");
    EXPECT_STREQ(hdr->patient_additional, "likes_tea  and more");
    EXPECT_STREQ(hdr->admin_code, "A 7");
    EXPECT_STREQ(hdr->technician, "Petrov");
    EXPECT_STREQ(hdr->equipment, "Neurask 0.4");
    EXPECT_STREQ(hdr->recording_additional, "eyes closed, quiet");
    EXPECT_STREQ(hdr->patient, "");
    EXPECT_STREQ(hdr->recording, "");

    f.patient = "X M X X";
    f.recording = "Startdate X X X X";
    EXPECT_EQ(edf_close(hdr->handle), 0);
    ASSERT_EQ(open(f.bytes()), 0);
    EXPECT_STREQ(hdr->sex, "Male");
    EXPECT_STREQ(hdr->birth_date, "");
    EXPECT_EQ(hdr->birth_year, 0);
    EXPECT_STREQ(hdr->patient_additional, "");
}

TEST_F(EdfReader, twoYearDigitsAbove84AreThe1900s)
{
    const std::pair<const char*, int> years[] = {
        {"85", 1985}, {"99", 1999}, {"00", 2000}, {"84", 2084}};
    for (const auto& y : years) {
        RawFile f = plainFile(false, 1, 2, 1);
        f.startDate = std::string("31.12.") + y.first;
        ASSERT_EQ(open(f.bytes()), 0) << y.first;
        EXPECT_EQ(hdr->start_year, y.second) << y.first;
        EXPECT_EQ(edf_close(hdr->handle), 0);
    }
}

TEST_F(EdfReader, recordDurationIsTakenFromItsDigits)
{
    const std::pair<const char*, int64_t> durations[] = {
        {"0.5", 5000000},      {"0.001", 10000},   {"2.000001", 20000010},
        {".1234567", 1234567}, {"+10", 100000000}, {"5E-1", 5000000},
        {"1.5e1", 150000000},  {".25", 2500000},   {"60", 600000000},
    };
    for (const auto& d : durations) {
        RawFile f = plainFile(false, 1, 2, 2);
        f.duration = d.first;
        ASSERT_EQ(open(f.bytes()), 0) << d.first;
        EXPECT_EQ(hdr->record_duration, d.second) << d.first;
        EXPECT_EQ(hdr->file_duration, 2 * d.second) << d.first;
        EXPECT_EQ(edf_close(hdr->handle), 0);
    }
}

// ---- Header rules ----------------------------------------------------------------------------

struct BrokenHeader {
    const char* name;
    bool bdf;
    std::function<void(RawFile&)> breakIt;
};

TEST_F(EdfReader, everyBrokenHeaderRuleIsRefusedAsAFormatError)
{
    auto signal = [](RawFile& f) -> RawSignal& { return f.signals[0]; };
    const BrokenHeader cases[] = {
        {"version not 0", false, [](RawFile& f) { f.version = "1"; }},
        {"version with NUL", false, [](RawFile& f) { f.version = std::string("0\0      ", 8); }},
        {"BIOSEMI misspelt", true,
         [](RawFile& f) {
             f.version = "\xff"
                         "BIOSEMX";
         }},
        {"control byte in label", false, [&](RawFile& f) { signal(f).label = "EEG\t1"; }},
        {"control byte in transducer", false, [&](RawFile& f) { signal(f).transducer = "\x01"; }},
        {"NUL in the record count", false, [](RawFile& f) { f.records = std::string("2\0", 2); }},
        {"day 0", false, [](RawFile& f) { f.startDate = "00.01.03"; }},
        {"day 32", false, [](RawFile& f) { f.startDate = "32.01.03"; }},
        {"month 13", false, [](RawFile& f) { f.startDate = "01.13.03"; }},
        {"month 0", false, [](RawFile& f) { f.startDate = "01.00.03"; }},
        {"date with dashes", false, [](RawFile& f) { f.startDate = "01-02-03"; }},
        {"date with a blank", false, [](RawFile& f) { f.startDate = " 1.02.03"; }},
        {"hour 24", false, [](RawFile& f) { f.startTime = "24.00.00"; }},
        {"minute 60", false, [](RawFile& f) { f.startTime = "12.60.00"; }},
        {"second 60", false, [](RawFile& f) { f.startTime = "12.00.60"; }},
        {"time with colons", false, [](RawFile& f) { f.startTime = "12:00:00"; }},
        {"signal count 0", false, [](RawFile& f) { f.signalCount = "0"; }},
        {"signal count -1", false, [](RawFile& f) { f.signalCount = "-1"; }},
        {"signal count 9999", false, [](RawFile& f) { f.signalCount = "9999"; }},
        {"signal count 641", false, [](RawFile& f) { f.signalCount = "641"; }},
        {"signal count blank", false, [](RawFile& f) { f.signalCount = " "; }},
        {"header size off by 256", false, [](RawFile& f) { f.headerSize = "1024"; }},
        {"reserved field not EDF+ nor blank", false, [](RawFile& f) { f.reserved = "EDF+X"; }},
        {"EDF+C with text after it", false, [](RawFile& f) { f.reserved = "EDF+C extra"; }},
        {"records -1", false, [](RawFile& f) { f.records = "-1"; }},
        {"records 0", false, [](RawFile& f) { f.records = "0"; }},
        {"records +-3", false, [](RawFile& f) { f.records = "+-3"; }},
        {"records 1 2", false, [](RawFile& f) { f.records = "1 2"; }},
        {"duration NaN", false, [](RawFile& f) { f.duration = "NaN"; }},
        {"duration 1e400", false, [](RawFile& f) { f.duration = "1e400"; }},
        {"duration 0 with data signals", false, [](RawFile& f) { f.duration = "0"; }},
        {"duration negative", false, [](RawFile& f) { f.duration = "-0.5"; }},
        {"duration beyond 64 bits", false, [](RawFile& f) { f.duration = "9e12"; }},
        {"physical minimum NaN", false, [&](RawFile& f) { signal(f).physicalMin = "NaN"; }},
        {"physical maximum 1e400", false, [&](RawFile& f) { signal(f).physicalMax = "1e400"; }},
        {"physical maximum with blank", false, [&](RawFile& f) { signal(f).physicalMax = "1 0"; }},
        {"physical maximum +-3", false, [&](RawFile& f) { signal(f).physicalMax = "+-3"; }},
        {"physical maximum two points", false,
         [&](RawFile& f) { signal(f).physicalMax = "1.0.0"; }},
        {"physical minimum equals maximum", false,
         [&](RawFile& f) { signal(f).physicalMin = signal(f).physicalMax = "5"; }},
        {"physical range too wide for a step", false,
         [&](RawFile& f) {
             signal(f).physicalMin = "-1e308";
             signal(f).physicalMax = "1e308";
         }},
        {"digital minimum equals maximum", false,
         [&](RawFile& f) { signal(f).digitalMin = signal(f).digitalMax = "100"; }},
        {"digital maximum below minimum", false,
         [&](RawFile& f) {
             signal(f).digitalMin = "100";
             signal(f).digitalMax = "-100";
         }},
        {"digital minimum below 16 bits", false,
         [&](RawFile& f) { signal(f).digitalMin = "-32769"; }},
        {"digital maximum above 24 bits", true,
         [&](RawFile& f) { signal(f).digitalMax = "8388608"; }},
        {"digital minimum decimal", false, [&](RawFile& f) { signal(f).digitalMin = "-100.5"; }},
        {"samples per record 0", false, [&](RawFile& f) { signal(f).samples = "0"; }},
        {"samples per record -5", false, [&](RawFile& f) { signal(f).samples = "-5"; }},
        {"samples per record huge", false, [&](RawFile& f) { signal(f).samples = "99999999"; }},
        {"record just over 10 MiB", false,
         [&](RawFile& f) { signal(f).samples = std::to_string(10485760 / 2 + 1); }},
        {"samples per record with NUL", false,
         [&](RawFile& f) { signal(f).samples = std::string("1\0", 2); }},
    };
    for (const BrokenHeader& c : cases) {
        RawFile f = plainFile(c.bdf, 2, 4, 2);
        c.breakIt(f);
        EXPECT_EQ(openAndClose(f.bytes(2)), EDF_ERROR_FORMAT) << c.name;
    }
}

TEST_F(EdfReader, everyBrokenPlusRuleIsRefusedAsAFormatError)
{
    auto annotation = [](RawFile& f) -> RawSignal& { return f.signals.back(); };
    const BrokenHeader cases[] = {
        {"discontinuous without annotation signal", false,
         [](RawFile& f) {
             f.signals.pop_back();
             f.reserved = "EDF+D";
         }},
        {"annotation transducer", false, [&](RawFile& f) { annotation(f).transducer = "x"; }},
        {"annotation prefilter", false, [&](RawFile& f) { annotation(f).prefilter = "HP"; }},
        {"annotation digital range not full", false,
         [&](RawFile& f) { annotation(f).digitalMax = "32766"; }},
        {"BDF+ annotation with 16-bit range", true,
         [&](RawFile& f) {
             annotation(f).digitalMin = "-32768";
             annotation(f).digitalMax = "32767";
         }},
        {"Startdate other than the header's", false,
         [](RawFile& f) { f.recording = "Startdate 02-FEB-2003 X X X"; }},
        {"Startdate other century", false,
         [](RawFile& f) { f.recording = "Startdate 01-FEB-1903 X X X"; }},
        {"data signals with zero duration", false, [](RawFile& f) { f.duration = "0"; }},
    };
    for (const BrokenHeader& c : cases) {
        RawFile f = plusFile(c.bdf, 1, 4, 2);
        c.breakIt(f);
        EXPECT_EQ(openAndClose(f.bytes()), EDF_ERROR_FORMAT) << c.name;
    }
    // The valid forms of the same fields.
    RawFile f = plusFile(false, 1, 4, 2);
    f.recording = "Startdate 01-FEB-2003 X X X";
    EXPECT_EQ(openAndClose(f.bytes()), 0);
    f.signals.erase(f.signals.begin());
    f.duration = "0";
    f.annotationBlock = [](int64_t, int) { return tal("+0", {""}); };
    EXPECT_EQ(openAndClose(f.bytes()), 0) << "annotations only, zero duration";
}

// Shapes of real files from other writers that leave the data unambiguous.
TEST_F(EdfReader, benignDeviationsOfOtherWritersAreAccepted)
{
    auto expectSamples = [&](bool bdf, int signals, int records) {
        for (int s = 0; s < signals; s++) {
            const std::vector<int> got = readDigital(s, 4 * records);
            ASSERT_EQ(got.size(), static_cast<size_t>(4 * records));
            for (int r = 0; r < records; r++)
                for (int i = 0; i < 4; i++)
                    EXPECT_EQ(got[r * 4 + i], edftest::defaultSample(bdf, r, s, i)) << s;
        }
    };

    // A 24-bit amplifier's BDF: numbers aligned right, "24BIT" in the reserved field.
    RawFile biosemi = plainFile(true, 3, 4, 3);
    biosemi.records = "       3";
    biosemi.headerSize = "    1024";
    biosemi.reserved = "24BIT";
    biosemi.signalCount = "   3";
    for (RawSignal& s : biosemi.signals) {
        s.digitalMin = "-8388608";
        s.digitalMax = " 8388607";
        s.samples = "       4";
        s.physicalMin = " -262144";
    }
    ASSERT_EQ(open(biosemi.bytes()), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_BDF);
    EXPECT_EQ(hdr->record_count, 3);
    EXPECT_EQ(hdr->signal_info[2].physical_min, -262144);
    expectSamples(true, 3, 3);
    EXPECT_EQ(edf_close(hdr->handle), 0);

    // A plain EDF with a word in the reserved field, Latin-1 and NUL padding in its texts.
    RawFile plain = plainFile(false, 2, 4, 2);
    plain.reserved = "NEUROSCAN 4.3";
    plain.patient = "M\xfcller J\xf6rg";
    plain.duration = " 1";
    plain.signals[0].label = std::string("Fp1\0\0\0", 6);
    plain.signals[1].physicalMax = " 3276.7 ";
    ASSERT_EQ(open(plain.bytes()), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDF);
    EXPECT_EQ(std::string(hdr->patient).substr(0, 11), "Muller Jorg");
    EXPECT_EQ(std::string(hdr->signal_info[0].label, 4), "Fp1 ");
    EXPECT_EQ(hdr->record_duration, 10000000);
    expectSamples(false, 2, 2);
    EXPECT_EQ(edf_close(hdr->handle), 0);

    // "EDF+C" without an annotation signal, capitalised months and an unfilled birth date, as
    // biosig writes its EDF files: continuous, so read as such, with the patient field whole.
    RawFile converted = plusFile(false, 2, 4, 2);
    converted.signals.pop_back();
    converted.patient = "MCH-0234567 F %02d-Aug-%04Y X";
    converted.recording = "Startdate 01-Feb-2003 X NN b4c_3.0";
    ASSERT_EQ(open(converted.bytes()), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDFPLUS);
    EXPECT_EQ(hdr->annotation_count, 0);
    EXPECT_EQ(hdr->start_subsecond, 0);
    EXPECT_EQ(std::string(hdr->patient).substr(0, 29), "MCH-0234567 F %02d-Aug-%04Y X");
    EXPECT_STREQ(hdr->patient_code, "");
    EXPECT_STREQ(hdr->equipment, "b4c 3.0");
    expectSamples(false, 2, 2);
    EXPECT_EQ(edf_close(hdr->handle), 0);

    // Capitalised months in well-formed subfields read as the upper-case ones.
    RawFile months = plusFile(false, 1, 4, 2);
    months.patient = "P1 F 17-Apr-1990 Name";
    months.recording = "Startdate 01-feb-2003 A T E";
    ASSERT_EQ(open(months.bytes()), 0);
    EXPECT_STREQ(hdr->birth_date, "17 apr 1990");
    EXPECT_EQ(hdr->birth_month, 4);
    EXPECT_STREQ(hdr->equipment, "E");
    EXPECT_STREQ(hdr->patient, "");
    EXPECT_EQ(edf_close(hdr->handle), 0);
}

TEST_F(EdfReader, fileMustHoldItsCountedRecordsAndAtMostOneRecordMore)
{
    for (bool bdf : {false, true}) {
        const RawFile f = plainFile(bdf, 2, 5, 3);
        const std::string bytes = f.bytes();
        EXPECT_EQ(openAndClose(bytes), 0);
        // A writer stopped while appending: the counted records are read, the rest left out.
        for (const std::string& longer : {bytes + '\0', f.bytes(4)}) {
            ASSERT_EQ(open(longer), 0);
            EXPECT_EQ(hdr->record_count, 3);
            const std::vector<int> got = readDigital(1, 20);
            ASSERT_EQ(got.size(), 15u);
            EXPECT_EQ(got[14], edftest::defaultSample(bdf, 2, 1, 4));
            EXPECT_EQ(edf_close(hdr->handle), 0);
        }
        // A count one ahead of the data (a power cut that kept the count but not the whole
        // record it counts): the whole records are read.
        for (const std::string& shorter : {bytes.substr(0, bytes.size() - 1), f.bytes(2)}) {
            ASSERT_EQ(open(shorter), 0);
            EXPECT_EQ(hdr->record_count, 2);
            const std::vector<int> got = readDigital(1, 20);
            ASSERT_EQ(got.size(), 10u);
            EXPECT_EQ(got[9], edftest::defaultSample(bdf, 1, 1, 4));
            EXPECT_EQ(edf_close(hdr->handle), 0);
        }
        EXPECT_EQ(openAndClose(f.bytes(1)), EDF_ERROR_FORMAT) << "two records missing";
        EXPECT_EQ(openAndClose(f.bytes(5)), EDF_ERROR_FORMAT) << "two records too many";
        EXPECT_EQ(openAndClose(f.header()), EDF_ERROR_FORMAT) << "header alone";
        EXPECT_EQ(openAndClose(f.header().substr(0, 300)), EDF_ERROR_FORMAT) << "signal part cut";
    }
}

TEST_F(EdfReader, hugeCountsThatOverflowAreRefusedWithoutAllocating)
{
    // records x record size and records x duration beyond 64 bits; the file is small.
    RawFile f = plainFile(false, 1, 1, 1);
    f.records = "99999999";
    f.duration = "9e10";
    EXPECT_EQ(openAndClose(f.bytes(1)), EDF_ERROR_FORMAT);
    f.records = "11";
    EXPECT_EQ(openAndClose(f.bytes(11)), EDF_ERROR_FORMAT) << "file duration beyond 64 bits";
    f.duration = "8e10";
    EXPECT_EQ(openAndClose(f.bytes(11)), 0) << "the same within 64 bits";

    // 640 signals of the largest record the format allows, but only the header present.
    RawFile big = plainFile(true, 640, 8192, 1);
    big.records = "99999999";
    EXPECT_EQ(openAndClose(big.header()), EDF_ERROR_FORMAT);
}

TEST_F(EdfReader, openingFailuresReportTheirCodesInOrder)
{
    const std::string valid = write(plainFile(false, 1, 2, 1).bytes());
    EXPECT_EQ(edf_open_for_reading(valid.c_str(), hdr.get(), 3), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_ANNOTATION_MODE);
    EXPECT_EQ(edf_open_for_reading(valid.c_str(), hdr.get(), -1), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_ANNOTATION_MODE);
    EXPECT_EQ(edf_open_for_reading(scratch.path("missing.edf").c_str(), hdr.get(), 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_CANNOT_OPEN);
    EXPECT_EQ(edf_open_for_reading(nullptr, hdr.get(), 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_CANNOT_OPEN);
    EXPECT_EQ(edf_open_for_reading(valid.c_str(), nullptr, 0), -1);
    EXPECT_EQ(open(std::string(255, ' ')), EDF_ERROR_READ_HEADER);
    EXPECT_EQ(open(""), EDF_ERROR_READ_HEADER);

    ASSERT_EQ(edf_open_for_reading(valid.c_str(), hdr.get(), 0), 0);
    const int first = hdr->handle;
    EXPECT_EQ(first, 0);
    EXPECT_EQ(edf_open_for_reading(valid.c_str(), hdr.get(), 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_ALREADY_OPEN);
    EXPECT_EQ(edf_open_file_count(), 1);

    // Up to 64 files; the 65th is refused before the file is even looked at.
    std::vector<int> handles{first};
    for (int i = 1; i < EDF_MAX_FILES; i++) {
        ASSERT_EQ(
            edf_open_for_reading(write(plainFile(false, 1, 2, 1).bytes()).c_str(), hdr.get(), 0),
            0);
        EXPECT_EQ(hdr->handle, i);
        handles.push_back(hdr->handle);
    }
    EXPECT_EQ(edf_open_for_reading(scratch.path("missing.edf").c_str(), hdr.get(), 0), -1);
    EXPECT_EQ(hdr->filetype, EDF_ERROR_TOO_MANY_FILES);
    // A freed slot is reused: the lowest one.
    EXPECT_EQ(edf_close(handles[5]), 0);
    EXPECT_EQ(edf_open_for_reading(write(plainFile(false, 1, 2, 1).bytes()).c_str(), hdr.get(), 0),
              0);
    EXPECT_EQ(hdr->handle, 5);
    for (int h : handles)
        EXPECT_EQ(edf_close(h), 0);
    EXPECT_EQ(edf_open_file_count(), 0);
}

TEST_F(EdfReader, discontinuousFilesAreRefusedAfterTheirHeaderIsChecked)
{
    for (bool bdf : {false, true}) {
        RawFile f = plusFile(bdf, 1, 4, 2);
        f.reserved = bdf ? "BDF+D" : "EDF+D";
        EXPECT_EQ(openAndClose(f.bytes()), EDF_ERROR_DISCONTINUOUS);
        f.records = "5"; // and the length no longer matches: the format error comes first
        EXPECT_EQ(openAndClose(f.bytes(2)), EDF_ERROR_FORMAT);
    }
}

TEST_F(EdfReader, bdfReservedTextOtherThanBdfPlusIsPlainBdf)
{
    for (const char* reserved : {"", "24BIT", "BDF+Cx", "EDF+C"}) {
        RawFile f = plainFile(true, 1, 4, 1);
        f.reserved = reserved;
        ASSERT_EQ(open(f.bytes()), 0) << reserved;
        EXPECT_EQ(hdr->filetype, EDF_FILETYPE_BDF) << reserved;
        EXPECT_EQ(edf_close(hdr->handle), 0);
    }
    // In a plain file an annotation label is an ordinary data signal.
    RawFile f = plainFile(false, 1, 4, 1);
    f.signals[0].label = "EDF Annotations";
    ASSERT_EQ(open(f.bytes()), 0);
    EXPECT_EQ(hdr->signal_count, 1);
}

// ---- Annotations -----------------------------------------------------------------------------

TEST_F(EdfReader, annotationsAreCollectedFromEveryRecordAndSignal)
{
    RawFile f = plusFile(false, 1, 4, 3);
    f.duration = "0.5";
    f.signals.push_back(f.signals.back()); // a second annotation signal
    f.annotationBlock = [](int64_t r, int k) {
        if (k == 1)
            return r == 1 ? tal("+1.1", {"second signal"}) : std::string();
        if (r == 0)
            return tal("+0.25", {"", "with keeping"}) + tal("-2", {"before", "start"}, "1.5");
        if (r == 1)
            return tal("+0.75", {""});
        return tal("+1.25", {""}) + tal("+1.2345678912", {"fine"}, "0.00000001");
    };
    ASSERT_EQ(open(f.bytes(), 2), 0);
    EXPECT_EQ(hdr->start_subsecond, 2500000);
    const auto list = annotations();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_STREQ(list[0].text, "with keeping");
    EXPECT_EQ(list[0].onset, 0);
    EXPECT_EQ(list[0].duration, -10000000);
    EXPECT_STREQ(list[0].duration_text, "");
    EXPECT_STREQ(list[1].text, "before");
    EXPECT_STREQ(list[2].text, "start");
    EXPECT_EQ(list[2].onset, -22500000);
    EXPECT_EQ(list[2].duration, 15000000);
    EXPECT_STREQ(list[2].duration_text, "1.5");
    EXPECT_STREQ(list[3].text, "second signal");
    EXPECT_EQ(list[3].onset, 8500000);
    EXPECT_STREQ(list[4].text, "fine");
    EXPECT_EQ(list[4].onset, 12345678 - 2500000);
    EXPECT_EQ(list[4].duration, 0);
    EXPECT_STREQ(list[4].duration_text, "0.00000001");

    // Mode 0 keeps only the start subsecond.
    EXPECT_EQ(edf_close(hdr->handle), 0);
    ASSERT_EQ(open(f.bytes(), 0), 0);
    EXPECT_EQ(hdr->start_subsecond, 2500000);
    EXPECT_EQ(hdr->annotation_count, 0);
    edf_annotation_info a;
    memset(&a, 0x55, sizeof a);
    EXPECT_EQ(edf_get_annotation(hdr->handle, 0, &a), -1);
    EXPECT_EQ(a.onset, 0);
    EXPECT_EQ(a.text[0], 0);
}

TEST_F(EdfReader, recordingEndsEndsCollectionInModeOneWithASingleAnnotationSignal)
{
    RawFile f = plusFile(false, 1, 4, 2);
    f.annotationBlock = [](int64_t r, int) {
        return tal("+" + std::to_string(r), {""}) +
               tal("+" + std::to_string(r), {r == 0 ? "Recording ends" : "after"});
    };
    ASSERT_EQ(open(f.bytes(), 1), 0);
    EXPECT_EQ(hdr->annotation_count, 0);
    EXPECT_EQ(edf_close(hdr->handle), 0);
    ASSERT_EQ(open(f.bytes(), 2), 0);
    EXPECT_EQ(hdr->annotation_count, 2);
    EXPECT_EQ(edf_close(hdr->handle), 0);

    f.signals.push_back(f.signals.back());
    const auto single = f.annotationBlock;
    f.annotationBlock = [&](int64_t r, int k) { return k == 0 ? single(r, k) : std::string(); };
    ASSERT_EQ(open(f.bytes(), 1), 0);
    EXPECT_EQ(hdr->annotation_count, 2) << "two annotation signals: no special meaning";
}

TEST_F(EdfReader, longTextsAreCutOnACharacterBoundary)
{
    RawFile f = plusFile(false, 1, 4, 1);
    f.signals.back().samples = "400";
    // 511 ASCII bytes then a two-byte character that would straddle the 512-byte limit.
    const std::string text = std::string(511, 'a') + "\xd0\xb6" + "tail";
    const std::string slot = tal("+0", {""}) + tal("+0.5", {text}, "1234567.12345678901");
    f.annotationBlock = [&](int64_t, int) { return slot; };
    ASSERT_EQ(open(f.bytes()), 0);
    const auto list = annotations();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::string(list[0].text), std::string(511, 'a'));
    EXPECT_EQ(std::string(list[0].duration_text), "1234567.1234567");
}

TEST_F(EdfReader, aTalFillingItsWholeSlotIsRead)
{
    RawFile f = plusFile(false, 1, 4, 1);
    const std::string keeping = tal("+0", {""});
    const std::string text(120 - keeping.size() - 5, 'x');
    const std::string slot = keeping + tal("+1", {text});
    ASSERT_EQ(slot.size(), 120u);
    f.annotationBlock = [&](int64_t, int) { return slot; };
    ASSERT_EQ(open(f.bytes()), 0);
    ASSERT_EQ(hdr->annotation_count, 1);
    EXPECT_EQ(annotations()[0].text, text);
}

TEST_F(EdfReader, emptyAnnotationsClaimMemoryInProportionToTheFile)
{
    // Every empty text costs the file one byte (its 0x14); what the reader keeps for each must
    // stay within a small multiple of that, or a modest hostile file could exhaust memory.
    RawFile f = plusFile(false, 1, 4, 20);
    f.signals.back().samples = "4000";
    f.annotationBlock = [](int64_t r, int) {
        return tal("+" + std::to_string(r), std::vector<std::string>(7990, ""));
    };
    const std::string bytes = f.bytes();
    // In use from the heap plus what large blocks took straight from the system.
    // Only glibc reports it; elsewhere the bound is not measured.
    const auto inUse = []() -> size_t {
#ifdef __GLIBC__
        const struct mallinfo2 m = mallinfo2();
        return m.uordblks + m.hblkhd;
#else
        return 0;
#endif
    };
    const size_t before = inUse();
    ASSERT_EQ(open(bytes), 0);
    const size_t after = inUse();
    EXPECT_EQ(hdr->annotation_count, 20 * 7989);
    // Under a sanitizer the allocator keeps its own books and mallinfo2 sees nothing.
    EXPECT_LT(after > before ? after - before : 0, 40 * bytes.size() + (1u << 20));
    edf_annotation_info a;
    ASSERT_EQ(edf_get_annotation(hdr->handle, 20 * 7989 - 1, &a), 0);
    EXPECT_EQ(a.onset, 19 * 10000000LL);
    EXPECT_STREQ(a.text, "");
    EXPECT_STREQ(a.duration_text, "");
}

TEST_F(EdfReader, malformedAnnotationsAreRefusedAsAFormatError)
{
    struct Case {
        const char* name;
        std::string record0;
        bool alsoInModeZero; // the time-keeping TAL itself is broken
    };
    const std::string keeping = tal("+0", {""});
    const Case cases[] = {
        {"no time-keeping TAL", std::string(10, '\0'), true},
        {"onset without sign", tal("0", {""}), true},
        {"onset not numeric", tal("+zero", {""}), true},
        {"onset point without decimals", tal("+0.", {""}), true},
        {"onset too long", tal("+123456789012", {""}), true},
        {"start one second late", tal("+1", {""}), true},
        {"negative start", tal("-0.5", {""}), true},
        {"no 0x14 after onset", std::string("+0\0", 3), true},
        {"blank instead of 0x15", keeping + tal("+1 5", {"x"}), false},
        {"duration without digits", keeping + tal("+1", {"x"}, "."), false},
        {"duration with sign", keeping + tal("+1", {"x"}, "-2"), false},
        {"text not ended by 0x14", keeping + std::string("+1\x14text\0", 8), false},
        {"later onset without sign", keeping + tal("1", {"x"}), false},
        {"later onset not numeric", keeping + tal("+x", {"x"}), false},
        {"TAL without any text", keeping + std::string("+1\x14\0", 4), false},
        // 120 bytes of TAL with no terminating zero: the parser must stop at the slot's end.
        {"no terminating 0x00", keeping + "+1\x14" + std::string(120 - keeping.size() - 3, 'y'),
         false},
        {"text running to the end",
         keeping + "+1\x14" + std::string(120 - keeping.size() - 4, 'y') + "\x14", false},
    };
    for (const Case& c : cases) {
        RawFile f = plusFile(false, 1, 4, 2);
        f.annotationBlock = [&](int64_t r, int) {
            return r == 0 ? c.record0 : tal("+" + std::to_string(r), {""});
        };
        EXPECT_EQ(openAndClose(f.bytes(), 2), EDF_ERROR_FORMAT) << c.name;
        EXPECT_EQ(openAndClose(f.bytes(), 1), EDF_ERROR_FORMAT) << c.name;
        EXPECT_EQ(openAndClose(f.bytes(), 0), c.alsoInModeZero ? EDF_ERROR_FORMAT : 0) << c.name;
    }

    // Time-keeping of later records: each must follow the previous by the record duration.
    RawFile f = plusFile(false, 1, 4, 3);
    f.annotationBlock = [](int64_t r, int) {
        return tal(r == 2 ? "+3" : "+" + std::to_string(r), {""});
    };
    EXPECT_EQ(openAndClose(f.bytes(), 2), EDF_ERROR_FORMAT) << "gap in time-keeping";
    EXPECT_EQ(openAndClose(f.bytes(), 0), 0) << "mode 0 reads only the first record";
    f.annotationBlock = [](int64_t r, int) {
        return r == 1 ? std::string() : tal("+" + std::to_string(r), {""});
    };
    EXPECT_EQ(openAndClose(f.bytes(), 2), EDF_ERROR_FORMAT) << "record without time-keeping";
}

// ---- Reading positions -----------------------------------------------------------------------

TEST_F(EdfReader, readsFollowTheirSignalsPositionAcrossRecords)
{
    RawFile f = plusFile(true, 3, 7, 5);
    f.signals[1].samples = "3";
    f.sampleValue = [](int64_t r, int s, int i) {
        return static_cast<int32_t>((s + 1) * 100000 + r * 100 + i) * (s == 2 ? -1 : 1);
    };
    ASSERT_EQ(open(f.bytes()), 0);
    const int h = hdr->handle;
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_BDFPLUS);
    ASSERT_EQ(hdr->signal_count, 3);
    auto expected = [&](int s, int64_t pos) {
        const int spr = s == 1 ? 3 : 7;
        return f.sampleValue(pos / spr, s, static_cast<int>(pos % spr));
    };
    for (int s = 0; s < 3; s++) {
        const int64_t total = hdr->signal_info[s].samples_in_file;
        // Every start position and a few lengths, against the pattern written.
        for (int64_t start = 0; start <= total; start++) {
            for (int n : {1, 2, 5, 9, 40}) {
                ASSERT_EQ(edf_seek(h, s, start, 0), start);
                const auto got = readDigital(s, n);
                const int64_t want = std::min<int64_t>(n, total - start);
                ASSERT_EQ(static_cast<int64_t>(got.size()), want) << s << " " << start << " " << n;
                for (int64_t i = 0; i < want; i++)
                    ASSERT_EQ(got[i], expected(s, start + i)) << s << " " << start << " " << i;
                ASSERT_EQ(edf_tell(h, s), start + want);
            }
        }
    }
}

TEST_F(EdfReader, seekLimitsPositionsToTheSignal)
{
    ASSERT_EQ(open(plainFile(false, 2, 10, 3).bytes()), 0);
    const int h = hdr->handle;
    EXPECT_EQ(edf_seek(h, 0, 12, 0), 12);
    EXPECT_EQ(edf_seek(h, 0, 5, 1), 17);
    EXPECT_EQ(edf_seek(h, 0, -20, 1), 0);
    EXPECT_EQ(edf_seek(h, 0, -4, 2), 26);
    EXPECT_EQ(edf_seek(h, 0, 100, 0), 30);
    EXPECT_EQ(edf_seek(h, 0, INT64_MAX, 1), 30);
    EXPECT_EQ(edf_seek(h, 0, INT64_MIN, 1), 0);
    EXPECT_EQ(edf_seek(h, 0, INT64_MIN, 2), 0);
    EXPECT_EQ(edf_seek(h, 0, -1, 0), 0);
    EXPECT_EQ(edf_seek(h, 0, 1, 3), -1);
    EXPECT_EQ(edf_tell(h, 1), 0) << "signals keep their own positions";

    // Reading 10 samples four before the end returns 4, then nothing is left.
    EXPECT_EQ(edf_seek(h, 1, -4, 2), 26);
    EXPECT_EQ(readDigital(1, 10).size(), 4u);
    EXPECT_EQ(edf_tell(h, 1), 30);
    int buf[4];
    EXPECT_EQ(edfread_digital_samples(h, 1, 4, buf), 0);
    EXPECT_EQ(edf_rewind(h, 1), 0);
    EXPECT_EQ(edf_tell(h, 1), 0);
    EXPECT_EQ(edfread_digital_samples(h, 1, 0, buf), 0);
    EXPECT_EQ(edfread_digital_samples(h, 1, 0, nullptr), 0);
}

TEST_F(EdfReader, badArgumentsToReadingCallsFail)
{
    RawFile f = plusFile(false, 1, 4, 2);
    ASSERT_EQ(open(f.bytes()), 0);
    const int h = hdr->handle;
    int digital[4];
    double physical[4];
    EXPECT_EQ(edfread_digital_samples(h, 1, 4, digital), -1) << "annotation signal";
    EXPECT_EQ(edfread_digital_samples(h, -1, 4, digital), -1);
    EXPECT_EQ(edfread_digital_samples(h, 0, -1, digital), -1);
    EXPECT_EQ(edfread_digital_samples(h, 0, 4, nullptr), -1);
    EXPECT_EQ(edfread_physical_samples(h, 0, 4, nullptr), -1);
    EXPECT_EQ(edfread_physical_samples(h + 1, 0, 4, physical), -1);
    EXPECT_EQ(edfread_physical_samples(-1, 0, 4, physical), -1);
    EXPECT_EQ(edfread_physical_samples(64, 0, 4, physical), -1);
    EXPECT_EQ(edf_seek(h, 1, 0, 0), -1);
    EXPECT_EQ(edf_tell(h, 1), -1);
    EXPECT_EQ(edf_rewind(h, 1), -1);
    edf_annotation_info a;
    EXPECT_EQ(edf_get_annotation(h, -1, &a), -1);
    EXPECT_EQ(edf_get_annotation(h + 1, 0, &a), -1);
    EXPECT_EQ(edf_get_annotation(h, 0, nullptr), -1);
    EXPECT_EQ(edf_close(h), 0);
    EXPECT_EQ(edfread_digital_samples(h, 0, 4, digital), -1) << "closed handle";

    // Handles open for writing are not reading handles.
    const int w = edf_open_for_writing_with_params(scratch.path("w.edf").c_str(),
                                                   EDF_FILETYPE_EDFPLUS, 1, 4, 1.0, "V");
    ASSERT_GE(w, 0);
    EXPECT_EQ(edfread_digital_samples(w, 0, 4, digital), -1);
    EXPECT_EQ(edf_seek(w, 0, 0, 0), -1);
    EXPECT_EQ(edf_get_annotation(w, 0, &a), -1);
    EXPECT_EQ(edf_close(w), EDF_CLOSE_NO_RECORDS);
}

TEST_F(EdfReader, aFileShortenedWhileOpenFailsTheReadInsteadOfInventingSamples)
{
    // Large enough that the later records are not in the stream's buffer after opening.
    const std::string bytes = plainFile(false, 1, 1000, 20).bytes();
    const std::string path = write(bytes);
    ASSERT_EQ(edf_open_for_reading(path.c_str(), hdr.get(), 0), 0);
    ASSERT_TRUE(edftest::writeFile(path, bytes.substr(0, bytes.size() - 15)));
    ASSERT_EQ(edf_seek(hdr->handle, 0, 15000, 0), 15000);
    std::vector<int> buf(5000);
    EXPECT_EQ(edfread_digital_samples(hdr->handle, 0, 5000, buf.data()), -1);
    EXPECT_EQ(edf_tell(hdr->handle, 0), 15000) << "a failed read does not move the position";
    EXPECT_EQ(edfread_digital_samples(hdr->handle, 0, 4000, buf.data()), 4000);
}

// ---- Round trips through the writer ----------------------------------------------------------

struct RoundTrip {
    int type;
    double range;
};

TEST_F(EdfReader, writerFilesReadBackExactly)
{
    for (const RoundTrip rt :
         {RoundTrip{EDF_FILETYPE_EDFPLUS, 500.0}, RoundTrip{EDF_FILETYPE_BDFPLUS, 0.25}}) {
        const bool bdf = rt.type == EDF_FILETYPE_BDFPLUS;
        const int spr = 50, records = 4, signals = 12;
        const std::string path = scratch.path(bdf ? "rt.bdf" : "rt.edf");
        const int w =
            edf_open_for_writing_with_params(path.c_str(), rt.type, signals, spr, rt.range, "uV");
        ASSERT_GE(w, 0);
        ASSERT_EQ(edf_set_startdatetime(w, 1985, 7, 31, 23, 59, 58), 0);
        ASSERT_EQ(edf_set_patientname(w, "Ivanova Anna"), 0);
        ASSERT_EQ(edf_set_birthdate(w, 1990, 4, 17), 0);
        ASSERT_EQ(edf_set_sex(w, 1), 0);
        ASSERT_EQ(edf_set_equipment(w, "Neurask"), 0);
        ASSERT_EQ(edfwrite_annotation_utf8(w, 1500000, 250000, "Вспышка"), 0);
        ASSERT_EQ(edfwrite_annotation_utf8(w, 2000000, -1, "tone"), 0);
        std::vector<std::vector<int>> digital(signals);
        std::vector<std::vector<double>> physical(signals);
        std::vector<int> block(spr);
        const int dmax = bdf ? 8388607 : 32767;
        for (int r = 0; r < records; r++) {
            for (int s = 0; s < signals; s++) {
                for (int i = 0; i < spr; i++) {
                    // Odd signals write digital values up to both ends of the range, even ones
                    // physical values.
                    const int64_t k = (r * spr + i) * 7919LL + s * 104729LL;
                    block[i] = static_cast<int>(k % (2LL * dmax + 2)) - dmax - 1;
                }
                if (s % 2) {
                    ASSERT_EQ(edfwrite_digital_samples(w, block.data()), 0);
                    digital[s].insert(digital[s].end(), block.begin(), block.end());
                } else {
                    std::vector<double> v(spr);
                    for (int i = 0; i < spr; i++)
                        v[i] = rt.range * sin(0.37 * (r * spr + i) + s);
                    ASSERT_EQ(edfwrite_physical_samples(w, v.data()), 0);
                    physical[s].insert(physical[s].end(), v.begin(), v.end());
                }
            }
        }
        ASSERT_EQ(edf_close(w), 0);

        ASSERT_EQ(edf_open_for_reading(path.c_str(), hdr.get(), 1), 0);
        const int h = hdr->handle;
        EXPECT_EQ(hdr->filetype, rt.type);
        EXPECT_EQ(hdr->signal_count, signals) << "the annotation signal stays hidden";
        EXPECT_EQ(hdr->record_count, records);
        EXPECT_EQ(hdr->start_year, 1985);
        EXPECT_EQ(hdr->start_month, 7);
        EXPECT_EQ(hdr->start_day, 31);
        EXPECT_EQ(hdr->start_hour, 23);
        EXPECT_EQ(hdr->start_second, 58);
        EXPECT_STREQ(hdr->patient_name, "Ivanova Anna");
        EXPECT_STREQ(hdr->sex, "Male");
        EXPECT_STREQ(hdr->birth_date, "17 apr 1990");
        EXPECT_STREQ(hdr->equipment, "Neurask");
        EXPECT_EQ(std::string(hdr->signal_info[11].label), padded("chan. 12", 16));
        // The writer truncates toward zero, so a value read back may be up to one step off.
        const double step = 2.0 * rt.range / (2.0 * dmax + 1);
        for (int s = 0; s < signals; s++) {
            const edf_signal_info& info = hdr->signal_info[s];
            ASSERT_EQ(info.samples_in_file, spr * records);
            if (s % 2) {
                // Read in odd pieces from odd positions.
                ASSERT_EQ(edf_seek(h, s, 13, 0), 13);
                std::vector<int> got(spr * records);
                ASSERT_EQ(edfread_digital_samples(h, s, 37, got.data() + 13), 37);
                ASSERT_EQ(edfread_digital_samples(h, s, 1000, got.data() + 50), 150);
                ASSERT_EQ(edf_rewind(h, s), 0);
                ASSERT_EQ(edfread_digital_samples(h, s, 13, got.data()), 13);
                EXPECT_EQ(got, digital[s]) << "signal " << s;
            } else {
                std::vector<double> got(spr * records);
                ASSERT_EQ(edfread_physical_samples(h, s, 1000, got.data()), spr * records);
                for (size_t i = 0; i < got.size(); i++)
                    ASSERT_NEAR(got[i], physical[s][i], step * (1 + 1e-9))
                        << "signal " << s << " sample " << i;
            }
        }
        const auto list = annotations();
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].onset, 15000000);
        EXPECT_EQ(list[0].duration, 2500000);
        EXPECT_STREQ(list[0].text, "Вспышка");
        EXPECT_EQ(list[1].onset, 20000000);
        EXPECT_EQ(list[1].duration, -10000000);
        EXPECT_STREQ(list[1].text, "tone");
        EXPECT_EQ(edf_close(h), 0);
    }
}

TEST_F(EdfReader, anUnclosedWriterFileWithRecordCountMinusOneIsRefused)
{
    const std::string path = scratch.path("open.edf");
    const int w =
        edf_open_for_writing_with_params(path.c_str(), EDF_FILETYPE_EDFPLUS, 2, 10, 1.0, "V");
    ASSERT_GE(w, 0);
    std::vector<double> v(10, 0.5);
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(edfwrite_physical_samples(w, v.data()), 0);
    // Each record is flushed, so a copy now is what a crash would leave behind.
    const std::string bytes = edftest::readFile(path);
    ASSERT_EQ(bytes.substr(236, 8), "-1      ");
    EXPECT_EQ(openAndClose(bytes), EDF_ERROR_FORMAT);
    EXPECT_EQ(edf_close(w), 0);
    EXPECT_EQ(openAndClose(edftest::readFile(path)), 0);
}

} // namespace
