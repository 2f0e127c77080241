// Writing EDF+ and BDF+ files: header layout, sample conversion, records, handles and failures.
#include "edf/edf.h"
#include "edf/edf_internal.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>

#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

namespace
{

// The signal part's fields of signal i in a header with ns signals in all.
struct SignalFields {
    std::string label, transducer, dimension, physMin, physMax, digMin, digMax, prefilter, samples,
        reserved;
};

SignalFields signalFields(const std::vector<unsigned char>& d, int ns, int i)
{
    const size_t b = 256;
    return {field(d, b + i * 16, 16),          field(d, b + ns * 16 + i * 80, 80),
            field(d, b + ns * 96 + i * 8, 8),  field(d, b + ns * 104 + i * 8, 8),
            field(d, b + ns * 112 + i * 8, 8), field(d, b + ns * 120 + i * 8, 8),
            field(d, b + ns * 128 + i * 8, 8), field(d, b + ns * 136 + i * 80, 80),
            field(d, b + ns * 216 + i * 8, 8), field(d, b + ns * 224 + i * 32, 32)};
}

int16_t sample16(const std::vector<unsigned char>& d, size_t at)
{
    return static_cast<int16_t>(d[at] | (d[at + 1] << 8));
}

int32_t sample24(const std::vector<unsigned char>& d, size_t at)
{
    int32_t v = d[at] | (d[at + 1] << 8) | (d[at + 2] << 16);
    return v >= 0x800000 ? v - 0x1000000 : v;
}

// An EDF+ or BDF+ file with fixed start and one signal of the given samples per record, the
// full digital range and the physical range -5..5.
int openSimple(const std::string& path, int type = EDF_FILETYPE_EDFPLUS, int signals = 1,
               int samples = 10)
{
    int h = edf_open_for_writing_with_params(path.c_str(), type, signals, samples, 5.0, "mV");
    if (h >= 0)
        edf_set_startdatetime(h, 2021, 3, 2, 10, 20, 30);
    return h;
}

int writeZeroRecords(int h, int signals, int samples, int records)
{
    std::vector<double> zeros(samples, 0.0);
    for (int r = 0; r < records; r++) {
        for (int s = 0; s < signals; s++) {
            int res = edfwrite_physical_samples(h, zeros.data());
            if (res != 0)
                return res;
        }
    }
    return 0;
}

off_t fileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// ---- Header --------------------------------------------------------------------------------

TEST(EdfHeader, TwelveSignalsOf500SamplesGiveThe3584ByteHeaderAnd12120ByteRecords)
{
    ScratchDir dir;
    const std::string path = dir.path("twelve.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 12, 500);
    ASSERT_GE(h, 0);
    ASSERT_EQ(writeZeroRecords(h, 12, 500, 2), 0);
    ASSERT_EQ(edf_close(h), 0);

    auto d = readFile(path);
    ASSERT_EQ(d.size(), 3584u + 2 * 12120u);
    EXPECT_EQ(field(d, 0, 8), "0       ");
    EXPECT_EQ(field(d, 8, 80), padded("X X X X", 80));
    EXPECT_EQ(field(d, 88, 80), padded("Startdate 02-MAR-2021 X X X", 80));
    EXPECT_EQ(field(d, 168, 8), "02.03.21");
    EXPECT_EQ(field(d, 176, 8), "10.20.30");
    EXPECT_EQ(field(d, 184, 8), "3584    ");
    EXPECT_EQ(field(d, 192, 44), padded("EDF+C", 44));
    EXPECT_EQ(field(d, 236, 8), "2       ");
    EXPECT_EQ(field(d, 244, 8), "1       ");
    EXPECT_EQ(field(d, 252, 4), "13  ");

    for (int i = 0; i < 12; i++) {
        SignalFields s = signalFields(d, 13, i);
        EXPECT_EQ(s.label, padded("chan. " + std::to_string(i + 1), 16));
        EXPECT_EQ(s.transducer, padded("", 80));
        EXPECT_EQ(s.dimension, "mV      ");
        EXPECT_EQ(s.physMin, "-5      ");
        EXPECT_EQ(s.physMax, "5       ");
        EXPECT_EQ(s.digMin, "-32768  ");
        EXPECT_EQ(s.digMax, "32767   ");
        EXPECT_EQ(s.prefilter, padded("", 80));
        EXPECT_EQ(s.samples, "500     ");
        EXPECT_EQ(s.reserved, padded("", 32));
    }
    SignalFields a = signalFields(d, 13, 12);
    EXPECT_EQ(a.label, "EDF Annotations ");
    EXPECT_EQ(a.transducer, padded("", 80));
    EXPECT_EQ(a.dimension, "        ");
    EXPECT_EQ(a.physMin, "-1      ");
    EXPECT_EQ(a.physMax, "1       ");
    EXPECT_EQ(a.digMin, "-32768  ");
    EXPECT_EQ(a.digMax, "32767   ");
    EXPECT_EQ(a.samples, "60      ");

    // Record 1: the time-keeping annotation follows the 12,000 data bytes.
    const size_t area = 3584 + 12120 + 12000;
    const std::string tal = "+1\x14\x14";
    EXPECT_EQ(field(d, area, 4), tal);
    EXPECT_EQ(std::vector<unsigned char>(d.begin() + area + 4, d.begin() + area + 120),
              std::vector<unsigned char>(116, 0));
}

TEST(EdfHeader, BdfPlusHasItsOwnVersionReservedFieldAnnotationSignalAnd24BitSamples)
{
    ScratchDir dir;
    const std::string path = dir.path("b.bdf");
    int h = openSimple(path, EDF_FILETYPE_BDFPLUS, 1, 4);
    ASSERT_GE(h, 0);
    int values[4] = {-8388608, 8388607, -1, 0x123456};
    ASSERT_EQ(edfwrite_digital_samples(h, values), 0);
    ASSERT_EQ(edf_close(h), 0);

    auto d = readFile(path);
    ASSERT_EQ(d.size(), 768u + 12 + 120);
    EXPECT_EQ(d[0], 0xFF);
    EXPECT_EQ(field(d, 1, 7), "BIOSEMI");
    EXPECT_EQ(field(d, 192, 44), padded("BDF+C", 44));
    SignalFields s = signalFields(d, 2, 0);
    EXPECT_EQ(s.digMin, "-8388608");
    EXPECT_EQ(s.digMax, "8388607 ");
    SignalFields a = signalFields(d, 2, 1);
    EXPECT_EQ(a.label, "BDF Annotations ");
    EXPECT_EQ(a.digMin, "-8388608");
    EXPECT_EQ(a.digMax, "8388607 ");
    EXPECT_EQ(a.samples, "40      ");
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(sample24(d, 768 + 3 * i), values[i]) << i;
    EXPECT_EQ(d[768 + 9], 0x56);
    EXPECT_EQ(d[768 + 10], 0x34);
    EXPECT_EQ(d[768 + 11], 0x12);
}

TEST(EdfHeader, RecordCountIsPatchedOverTheMinusOneAtClose)
{
    const struct {
        int records;
        const char* field;
    } cases[] = {{0, "0       "}, {7, "7       "}, {12, "12      "}};
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = dir.path("count.edf");
        int h = openSimple(path);
        ASSERT_GE(h, 0);
        ASSERT_EQ(writeZeroRecords(h, 1, 10, c.records), 0);
        // Before close the count on disk still reads "-1".
        if (c.records > 0) {
            EXPECT_EQ(field(readFile(path), 236, 8), "-1      ");
        }
        ASSERT_EQ(edf_close(h), c.records ? 0 : EDF_CLOSE_NO_RECORDS);
        auto d = readFile(path);
        EXPECT_EQ(field(d, 236, 8), c.field) << c.records;
        EXPECT_EQ(d.size(), 768u + c.records * 140u) << c.records;
    }
}

TEST(EdfHeader, DurationFieldAndTimeKeepingTextsFollowDurationAndStartSubsecond)
{
    const struct {
        const char* name;
        int (*configure)(int);
        const char* field;
        const char* texts[3];
    } cases[] = {
        {"default", [](int) { return 0; }, "1       ", {"+0", "+1", "+2"}},
        {"half second",
         [](int h) { return edf_set_datarecord_duration(h, 50000); },
         "0.5     ",
         {"+0.0000000", "+0.5000000", "+1.0000000"}},
        {"two seconds",
         [](int h) { return edf_set_datarecord_duration(h, 200000); },
         "2       ",
         {"+0", "+2", "+4"}},
        {"2500 microseconds",
         [](int h) { return edf_set_micro_datarecord_duration(h, 2500); },
         "0.0025  ",
         {"+0.0000000", "+0.0025000", "+0.0050000"}},
        {"one microsecond",
         [](int h) { return edf_set_micro_datarecord_duration(h, 1); },
         "0.000001",
         {"+0.0000000", "+0.0000010", "+0.0000020"}},
        {"odd 10 us steps",
         [](int h) { return edf_set_datarecord_duration(h, 1234567); },
         "12.34567",
         {"+0.0000000", "+12.3456700", "+24.6913400"}},
        {"start subsecond",
         [](int h) { return edf_set_subsecond_starttime(h, 1234567); },
         "1       ",
         {"+0.1234567", "+1.1234567", "+2.1234567"}},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = dir.path("dur.edf");
        int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 1, 3);
        ASSERT_GE(h, 0);
        ASSERT_EQ(c.configure(h), 0) << c.name;
        ASSERT_EQ(writeZeroRecords(h, 1, 3, 3), 0);
        ASSERT_EQ(edf_close(h), 0);
        auto d = readFile(path);
        EXPECT_EQ(field(d, 244, 8), c.field) << c.name;
        for (int k = 0; k < 3; k++) {
            std::string text = c.texts[k];
            size_t at = 768 + k * 126 + 6;
            EXPECT_EQ(field(d, at, text.size() + 3), text + "\x14\x14" + std::string(1, '\0'))
                << c.name << " record " << k;
        }
    }
}

TEST(EdfHeader, PhysicalLimitsAreRoundedToTheirEightCharacterText)
{
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {5.0, "5"},
        {-5.0, "-5"},
        {0.25, "0.25"},
        {-0.0, "0"},
        {-1234.56789, "-1234.57"},
        {0.3, "0.3"},
        {-0.262144, "-0.26214"},
        {0.262144, "0.262144"},
        {0.000390625, "0.000391"},
        {99999999.4, "99999999"},
        {-9999999.5, "-1000000"}, // rounds up to eight digits, which no longer fit with the sign
    };
    for (const auto& c : cases) {
        char text[16];
        double value;
        if (std::string(c.text) == "-1000000") {
            EXPECT_EQ(edf_physical_text(c.value, text, &value), -1);
            continue;
        }
        ASSERT_GT(edf_physical_text(c.value, text, &value), 0) << c.value;
        EXPECT_STREQ(text, c.text) << c.value;
        EXPECT_EQ(value, strtod(c.text, nullptr)) << c.value;
    }
}

TEST(EdfHeader, PatientIdentificationKeepsItsBudgets)
{
    const std::string c80(80, 'c'), n80(80, 'n'), a80(80, 'a');
    const struct {
        const char *code, *name, *additional;
        int sex; // -1 unset
        bool birth;
        std::string expected;
    } cases[] = {
        {"", "", "", -1, false, "X X X X"},
        {"MCH-0234567", "Haagse Harry", "", 1, true, "MCH-0234567 M 02-AUG-1951 Haagse_Harry"},
        {"ab c",
         "Ren\xe9"
         "e x",
         "extra  text", 0, false, "ab_c F X Renee_x extra  text"},
        {c80.c_str(), "Bob", "more", 1, false, std::string(72, 'c') + " M X X"},
        {"", n80.c_str(), "more", -1, false, "X X X " + std::string(72, 'n')},
        {"C", "N", a80.c_str(), -1, false, "C X X N " + std::string(69, 'a')},
        {"C", "N", a80.c_str(), -1, true, "C X 02-AUG-1951 N " + std::string(59, 'a')},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = dir.path("p.edf");
        int h = openSimple(path);
        ASSERT_GE(h, 0);
        ASSERT_EQ(edf_set_patientcode(h, c.code), 0);
        ASSERT_EQ(edf_set_patientname(h, c.name), 0);
        ASSERT_EQ(edf_set_patient_additional(h, c.additional), 0);
        if (c.sex >= 0) {
            ASSERT_EQ(edf_set_sex(h, c.sex), 0);
        }
        if (c.birth) {
            ASSERT_EQ(edf_set_birthdate(h, 1951, 8, 2), 0);
        }
        ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
        EXPECT_EQ(field(readFile(path), 8, 80), padded(c.expected, 80)) << c.expected;
    }
}

TEST(EdfHeader, RecordingIdentificationKeepsItsBudgets)
{
    const std::string a42(42, 'a'), a80(80, 'a'), t50(50, 't');
    const std::string start = "Startdate 02-MAR-2021 ";
    const struct {
        const char *admin, *technician, *equipment, *additional;
        std::string expected;
    } cases[] = {
        {"", "", "", "", start + "X X X"},
        {"PSG-1234/2002", "NN", "Telemetry03", "", start + "PSG-1234/2002 NN Telemetry03"},
        {a42.c_str(), "T", "E", "more", start + a42 + " X X"},
        {a80.c_str(), "T", "E", "more", start + a42 + " X X"},
        {"", t50.c_str(), "E", "more", start + "X " + std::string(41, 't') + " X"},
        {"A", "T b", "E", "hello world", start + "A T_b E hello world"},
        {"", "J\xe9r\xf4me", "", "", start + "X Jerome X"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = dir.path("r.edf");
        int h = openSimple(path);
        ASSERT_GE(h, 0);
        ASSERT_EQ(edf_set_admincode(h, c.admin), 0);
        ASSERT_EQ(edf_set_technician(h, c.technician), 0);
        ASSERT_EQ(edf_set_equipment(h, c.equipment), 0);
        ASSERT_EQ(edf_set_recording_additional(h, c.additional), 0);
        ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
        EXPECT_EQ(field(readFile(path), 88, 80), padded(c.expected, 80)) << c.expected;
    }
}

TEST(EdfHeader, SignalTextsAreCutTrimmedAndTransliterated)
{
    ScratchDir dir;
    const std::string path = dir.path("labels.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 3, 2);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_label(h, 0, "ABCDEFGHIJKLMNOPQRST"), 0);
    ASSERT_EQ(edf_set_label(h, 1, "  Fp1  "), 0);
    ASSERT_EQ(edf_set_label(h, 2, "caf\xe9\x01"), 0);
    ASSERT_EQ(edf_set_physical_dimension(h, 0, "microvolts"), 0);
    ASSERT_EQ(edf_set_transducer(h, 1, "AgCl \xb5V"), 0);
    ASSERT_EQ(edf_set_prefilter(h, 2, " HP:0.1Hz "), 0);
    ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);

    auto d = readFile(path);
    EXPECT_EQ(signalFields(d, 4, 0).label, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(signalFields(d, 4, 1).label, padded("Fp1", 16));
    EXPECT_EQ(signalFields(d, 4, 2).label, padded("cafe.", 16));
    EXPECT_EQ(signalFields(d, 4, 0).dimension, "microvol");
    EXPECT_EQ(signalFields(d, 4, 1).transducer, padded("AgCl uV", 80));
    EXPECT_EQ(signalFields(d, 4, 2).prefilter, padded("HP:0.1Hz", 80));
}

TEST(EdfHeader, TransliterationMapsEveryByteToPrintableAscii)
{
    const struct {
        unsigned char in;
        char out;
    } cases[] = {{0, '.'},   {31, '.'},  {32, ' '},  {'A', 'A'}, {126, '~'}, {127, '.'}, {128, 'E'},
                 {142, 'Z'}, {150, '-'}, {159, 'Y'}, {181, 'u'}, {191, '?'}, {196, 'A'}, {215, 'x'},
                 {223, 's'}, {233, 'e'}, {247, ':'}, {248, '0'}, {255, 'y'}};
    for (const auto& c : cases) {
        char b = static_cast<char>(c.in);
        edf_latin1_to_ascii(&b, 1);
        EXPECT_EQ(b, c.out) << int(c.in);
    }
    for (int i = 0; i < 256; i++) {
        char b = static_cast<char>(i);
        edf_latin1_to_ascii(&b, 1);
        EXPECT_TRUE(b >= 32 && b <= 126) << i;
    }
}

TEST(EdfHeader, PatientAndStartDateSettersStoreTheirTexts)
{
    ScratchDir dir;
    int h = openSimple(dir.path("s.edf"));
    ASSERT_GE(h, 0);
    edf_file_record* f = edf_record(h);
    ASSERT_EQ(edf_set_birthdate(h, 1999, 12, 31), 0);
    EXPECT_STREQ(f->birth_date, "31.12.1999");
    ASSERT_EQ(edf_set_gender(h, 1), 0);
    EXPECT_STREQ(f->sex, "M");
    ASSERT_EQ(edf_set_sex(h, 0), 0);
    EXPECT_STREQ(f->sex, "F");
    ASSERT_EQ(edf_set_patientname(h, std::string(100, 'x').c_str()), 0);
    EXPECT_EQ(strlen(f->patient_name), 80u);
    ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
}

TEST(EdfHeader, UnsetStartDateTakesTheLocalTimeWhenTheHeaderIsWritten)
{
    ScratchDir dir;
    const std::string path = dir.path("now.edf");
    auto localNow = [] {
        time_t t = time(nullptr);
        struct tm tm;
#ifdef _WIN32
        localtime_s(&tm, &t);
#else
        localtime_r(&t, &tm);
#endif
        char text[64];
        snprintf(text, sizeof(text), "%02d.%02d.%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
        return std::string(text);
    };
    const std::string before = localNow();
    int h = edf_open_for_writing_with_params(path.c_str(), 1, 1, 1, 1.0, "");
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
    const std::string after = localNow();
    auto d = readFile(path);
    const std::string date = field(d, 168, 8);
    EXPECT_TRUE(date == before || date == after) << date;
    const char months[] = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
    const int month = std::stoi(date.substr(3, 2));
    EXPECT_EQ(field(d, 88, 22), "Startdate " + date.substr(0, 2) + "-" +
                                    std::string(months + 3 * (month - 1), 3) + "-20" +
                                    date.substr(6, 2) + " ");
}

// ---- Samples -------------------------------------------------------------------------------

TEST(EdfSamples, PhysicalValuesAreTruncatedTowardZeroThenLimited)
{
    const double bit = 10.0 / 65535;
    const struct {
        double value;
        int digital;
    } cases[] = {
        {0.0, 0},          {5.0, 32767},        {-5.0, -32768},   {7.0, 32767},
        {-7.0, -32768},    {2.2 * bit, 1},      {-1.2 * bit, -1}, {NAN, 0},
        {INFINITY, 32767}, {-INFINITY, -32768}, {2.5, 16383},
    };
    const int n = sizeof(cases) / sizeof(cases[0]);
    ScratchDir dir;
    const std::string path = dir.path("phys.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 1, n);
    ASSERT_GE(h, 0);
    std::vector<double> values;
    for (const auto& c : cases)
        values.push_back(c.value);
    ASSERT_EQ(edfwrite_physical_samples(h, values.data()), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    for (int i = 0; i < n; i++)
        EXPECT_EQ(sample16(d, 768 + 2 * i), cases[i].digital) << cases[i].value;

    // The stored factors are those of the example range.
    h = openSimple(path);
    ASSERT_EQ(edfwrite_physical_samples(h, values.data()), 0);
    EXPECT_DOUBLE_EQ(edf_record(h)->signals[0].bit_value, bit);
    EXPECT_DOUBLE_EQ(edf_record(h)->signals[0].offset, 0.5);
    ASSERT_EQ(edf_close(h), 0);
}

TEST(EdfSamples, BdfPhysicalValuesUseTheWholeTwentyFourBitRange)
{
    ScratchDir dir;
    const std::string path = dir.path("phys.bdf");
    int h = openSimple(path, EDF_FILETYPE_BDFPLUS, 1, 5);
    ASSERT_GE(h, 0);
    const double values[5] = {-5.0, 5.0, 0.0, 9.0, -2.5};
    ASSERT_EQ(edfwrite_physical_samples(h, values), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    EXPECT_EQ(sample24(d, 768), -8388608);
    EXPECT_EQ(sample24(d, 771), 8388607);
    EXPECT_EQ(sample24(d, 774), 0);
    EXPECT_EQ(sample24(d, 777), 8388607);
    EXPECT_EQ(sample24(d, 780), -4194304);
}

TEST(EdfSamples, DigitalWritersLimitToTheSignalsRange)
{
    ScratchDir dir;
    const std::string path = dir.path("dig.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 2, 4);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_digital_maximum(h, 1, 100), 0);
    ASSERT_EQ(edf_set_digital_minimum(h, 1, -100), 0);

    int wide[4] = {40000, -40000, 123, -1};
    ASSERT_EQ(edfwrite_digital_samples(h, wide), 0);
    short narrow[4] = {32767, -32768, 100, -101};
    ASSERT_EQ(edfwrite_digital_short_samples(h, narrow), 0);
    // The 16-bit writer limits the caller's own array when the range is narrower.
    EXPECT_EQ(narrow[0], 100);
    EXPECT_EQ(narrow[1], -100);
    EXPECT_EQ(narrow[3], -100);

    // Full range: the 16-bit writer leaves the array alone.
    short full[4] = {32767, -32768, 5, -5};
    ASSERT_EQ(edfwrite_digital_short_samples(h, full), 0);
    EXPECT_EQ(full[0], 32767);
    short again[4] = {1000, -1000, 0, 0};
    ASSERT_EQ(edfwrite_digital_short_samples(h, again), 0);
    ASSERT_EQ(edf_close(h), 0);

    auto d = readFile(path);
    const int rec = 1024, size = 16 + 120;
    const int expected[2][2][4] = {{{32767, -32768, 123, -1}, {100, -100, 100, -100}},
                                   {{32767, -32768, 5, -5}, {100, -100, 0, 0}}};
    for (int r = 0; r < 2; r++)
        for (int s = 0; s < 2; s++)
            for (int i = 0; i < 4; i++)
                EXPECT_EQ(sample16(d, rec + r * size + s * 8 + i * 2), expected[r][s][i])
                    << r << s << i;
}

TEST(EdfSamples, BlockWritersProduceTheSameFileAsPerSignalWriters)
{
    ScratchDir dir;
    // Unequal sample counts: 3, 1 and 5 per record.
    const int counts[3] = {3, 1, 5};
    auto open = [&](const std::string& path, int type) {
        int h = edf_open_for_writing(path.c_str(), type, 3);
        const bool bdf = type == EDF_FILETYPE_BDFPLUS;
        for (int i = 0; i < 3; i++) {
            edf_set_samples_per_record(h, i, counts[i]);
            edf_set_physical_maximum(h, i, 100);
            edf_set_physical_minimum(h, i, -100);
            edf_set_digital_maximum(h, i, bdf ? 8388607 : 32767);
            edf_set_digital_minimum(h, i, bdf ? -8388608 : -32768);
        }
        edf_set_startdatetime(h, 2020, 1, 1, 0, 0, 0);
        return h;
    };
    double phys[9];
    int dig[9];
    short dig16[9];
    for (int i = 0; i < 9; i++) {
        phys[i] = i * 11.5 - 50;
        dig[i] = i * 1000 - 4000;
        dig16[i] = static_cast<short>(dig[i]);
    }
    for (int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
        const bool bdf = type == EDF_FILETYPE_BDFPLUS;
        const std::string a = dir.path("a"), b = dir.path("b");
        int ha = open(a, type), hb = open(b, type);
        ASSERT_GE(ha, 0);
        ASSERT_GE(hb, 0);
        ASSERT_EQ(edfwrite_block_physical_samples(ha, phys), 0);
        ASSERT_EQ(edfwrite_block_digital_samples(ha, dig), 0);
        const double* p = phys;
        const int* q = dig;
        for (int i = 0; i < 3; p += counts[i], i++)
            ASSERT_EQ(edfwrite_physical_samples(hb, p), 0);
        for (int i = 0; i < 3; q += counts[i], i++)
            ASSERT_EQ(edfwrite_digital_samples(hb, q), 0);
        if (!bdf) {
            ASSERT_EQ(edfwrite_block_digital_short_samples(ha, dig16), 0);
            const short* s = dig16;
            for (int i = 0; i < 3; s += counts[i], i++)
                ASSERT_EQ(edfwrite_digital_short_samples(hb, const_cast<short*>(s)), 0);
        } else {
            unsigned char raw[27];
            for (int i = 0; i < 9; i++) {
                raw[3 * i] = static_cast<unsigned char>(dig[i]);
                raw[3 * i + 1] = static_cast<unsigned char>(dig[i] >> 8);
                raw[3 * i + 2] = static_cast<unsigned char>(dig[i] >> 16);
            }
            ASSERT_EQ(edfwrite_block_digital_3byte_samples(ha, raw), 0);
            ASSERT_EQ(edfwrite_block_digital_samples(hb, dig), 0);
        }
        ASSERT_EQ(edf_close(ha), 0);
        ASSERT_EQ(edf_close(hb), 0);
        auto da = readFile(a), db = readFile(b);
        EXPECT_EQ(da.size(), 256u * 5 + 3 * (120 + 9 * (bdf ? 3 : 2)));
        EXPECT_TRUE(da == db) << type;
        EXPECT_EQ(field(da, 236, 8), "3       ");
    }
}

TEST(EdfSamples, WritersRefuseWrongFileTypesRecordStateAndSignalCount)
{
    ScratchDir dir;
    int e = openSimple(dir.path("e.edf"), EDF_FILETYPE_EDFPLUS, 2, 2);
    int b = openSimple(dir.path("b.bdf"), EDF_FILETYPE_BDFPLUS, 2, 2);
    int z = edf_open_for_writing(dir.path("z.edf").c_str(), EDF_FILETYPE_EDFPLUS, 0);
    ASSERT_GE(e, 0);
    ASSERT_GE(b, 0);
    ASSERT_GE(z, 0);
    short s[4] = {0, 0, 0, 0};
    int d[4] = {0, 0, 0, 0};
    double p[4] = {0, 0, 0, 0};
    unsigned char raw[12] = {};
    EXPECT_EQ(edfwrite_digital_short_samples(b, s), -1);
    EXPECT_EQ(edfwrite_block_digital_short_samples(b, s), -1);
    EXPECT_EQ(edfwrite_block_digital_3byte_samples(e, raw), -1);
    EXPECT_EQ(edfwrite_physical_samples(z, p), -1);
    EXPECT_EQ(edfwrite_block_physical_samples(z, p), -1);
    EXPECT_EQ(edfwrite_physical_samples(64, p), -1);
    EXPECT_EQ(edfwrite_physical_samples(-1, p), -1);
    EXPECT_EQ(edfwrite_physical_samples(e, nullptr), -1);
    // A whole-record writer needs an untouched record.
    ASSERT_EQ(edfwrite_digital_samples(e, d), 0);
    EXPECT_EQ(edfwrite_block_digital_samples(e, d), -1);
    EXPECT_EQ(edf_record(e)->next_signal, 1);
    ASSERT_EQ(edfwrite_digital_samples(e, d), 0);
    EXPECT_EQ(edfwrite_block_digital_samples(e, d), 0);
    EXPECT_EQ(edf_close(e), 0);
    EXPECT_EQ(edf_close(b), EDF_CLOSE_NO_RECORDS);
    EXPECT_EQ(edf_close(z), EDF_CLOSE_NO_RECORDS);
}

TEST(EdfSamples, PartlyWrittenRecordIsCutBackAtClose)
{
    ScratchDir dir;
    const std::string path = dir.path("part.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 2, 3);
    ASSERT_GE(h, 0);
    ASSERT_EQ(writeZeroRecords(h, 2, 3, 1), 0);
    const double one[3] = {1, 1, 1};
    ASSERT_EQ(edfwrite_physical_samples(h, one), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    EXPECT_EQ(field(d, 236, 8), "1       ");
    EXPECT_EQ(d.size(), 1024u + 132);
}

// ---- Handles -------------------------------------------------------------------------------

TEST(EdfHandles, SamePathTwiceAndSixtyFifthFileAreRefused)
{
    ScratchDir dir;
    const std::string path = dir.path("one.edf");
    int first = openSimple(path);
    ASSERT_EQ(first, 0);
    EXPECT_EQ(edf_open_for_writing(path.c_str(), EDF_FILETYPE_EDFPLUS, 1), EDF_ERROR_ALREADY_OPEN);
    EXPECT_EQ(edf_is_file_open(path.c_str()), 1);
    EXPECT_EQ(edf_is_file_open(dir.path("other.edf").c_str()), 0);

    std::vector<int> handles{first};
    for (int i = 1; i < 64; i++) {
        int h = edf_open_for_writing(dir.path("f" + std::to_string(i)).c_str(),
                                     EDF_FILETYPE_EDFPLUS, 1);
        ASSERT_EQ(h, i);
        handles.push_back(h);
    }
    EXPECT_EQ(edf_open_file_count(), 64);
    EXPECT_EQ(edf_open_for_writing(dir.path("f64").c_str(), EDF_FILETYPE_EDFPLUS, 1),
              EDF_ERROR_TOO_MANY_FILES);

    // Closing frees the slot; the lowest free slot is taken next.
    EXPECT_EQ(edf_close(5), EDF_HEADER_SAMPLES_PER_RECORD);
    EXPECT_EQ(edf_close(9), EDF_HEADER_SAMPLES_PER_RECORD);
    EXPECT_EQ(edf_open_file_count(), 62);
    EXPECT_EQ(edf_get_handle(4), 4);
    EXPECT_EQ(edf_get_handle(5), 6);
    EXPECT_EQ(edf_get_handle(61), 63);
    EXPECT_EQ(edf_get_handle(62), -1);
    EXPECT_EQ(edf_open_for_writing(dir.path("again").c_str(), EDF_FILETYPE_EDFPLUS, 1), 5);
    EXPECT_EQ(edf_close(5), EDF_HEADER_SAMPLES_PER_RECORD);
    EXPECT_EQ(edf_close(5), -1);
    EXPECT_EQ(edf_close(64), -1);
    for (int h : handles) {
        if (h != 5 && h != 9)
            edf_close(h);
    }
    EXPECT_EQ(edf_open_file_count(), 0);
    EXPECT_EQ(edf_get_handle(0), -1);
}

TEST(EdfHandles, OpeningChecksTypeSignalCountAndPath)
{
    ScratchDir dir;
    const std::string path = dir.path("x.edf");
    EXPECT_EQ(edf_open_for_writing(path.c_str(), 0, 1), EDF_ERROR_FILE_TYPE);
    EXPECT_EQ(edf_open_for_writing(path.c_str(), 2, 1), EDF_ERROR_FILE_TYPE);
    EXPECT_EQ(edf_open_for_writing(path.c_str(), 1, 641), EDF_ERROR_TOO_MANY_SIGNALS);
    // With its annotation signal the file would declare 641 signals, which no reader accepts.
    EXPECT_EQ(edf_open_for_writing(path.c_str(), 1, 640), EDF_ERROR_TOO_MANY_SIGNALS);
    EXPECT_EQ(edf_open_for_writing(path.c_str(), 1, -1), EDF_ERROR_TOO_MANY_SIGNALS);
    EXPECT_EQ(edf_open_for_writing(dir.path("no/such/dir.edf").c_str(), 1, 1),
              EDF_ERROR_CANNOT_OPEN);
    EXPECT_EQ(edf_open_for_writing(nullptr, 1, 1), EDF_ERROR_CANNOT_OPEN);
    EXPECT_EQ(edf_open_file_count(), 0);
    int h = edf_open_for_writing(path.c_str(), 3, 639);
    ASSERT_GE(h, 0);
    EXPECT_EQ(edf_set_number_of_annotation_signals(h, 2), -1);
    EXPECT_EQ(edf_set_number_of_annotation_signals(h, 1), 0);
    EXPECT_EQ(edf_close(h), EDF_HEADER_SAMPLES_PER_RECORD);
    EXPECT_EQ(edf_module_version(), 124);
}

TEST(EdfHandles, OpenWithParamsConfiguresEverySignalAndClosesOnFailure)
{
    ScratchDir dir;
    const std::string path = dir.path("p.edf");
    int h = edf_open_for_writing_with_params(path.c_str(), 3, 2, 7, 2.5, "uV");
    ASSERT_GE(h, 0);
    const edf_signal_param& s = edf_record(h)->signals[1];
    EXPECT_STREQ(s.label, "chan. 2");
    EXPECT_STREQ(s.physical_dimension, "uV");
    EXPECT_EQ(s.samples_per_record, 7);
    EXPECT_EQ(s.physical_max, 2.5);
    EXPECT_EQ(s.physical_min, -2.5);
    EXPECT_EQ(s.digital_max, 8388607);
    EXPECT_EQ(s.digital_min, -8388608);
    EXPECT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);

    // Zero samples per record fails on the first signal: the handle is closed again.
    EXPECT_EQ(edf_open_for_writing_with_params(path.c_str(), 1, 2, 0, 2.5, "uV"), -1);
    EXPECT_EQ(edf_open_file_count(), 0);
    // Zero signals: the plain open's result comes back unchanged.
    h = edf_open_for_writing_with_params(path.c_str(), 1, 0, 0, 2.5, "uV");
    EXPECT_GE(h, 0);
    EXPECT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
}

// ---- Setters and header errors --------------------------------------------------------------

TEST(EdfSetters, InvalidArgumentsAreRefusedAndStoreNothing)
{
    ScratchDir dir;
    int h = openSimple(dir.path("s.edf"), EDF_FILETYPE_EDFPLUS, 2, 4);
    int b = openSimple(dir.path("s.bdf"), EDF_FILETYPE_BDFPLUS, 1, 4);
    ASSERT_GE(h, 0);
    ASSERT_GE(b, 0);
    const edf_file_record before = *edf_record(h);
    const edf_signal_param sig0 = edf_record(h)->signals[0];
    const struct {
        const char* name;
        int result;
    } cases[] = {
        {"samples 0", edf_set_samples_per_record(h, 0, 0)},
        {"signal out of range", edf_set_samples_per_record(h, 2, 5)},
        {"negative signal", edf_set_label(h, -1, "x")},
        {"digital max above 16 bits", edf_set_digital_maximum(h, 0, 32768)},
        {"digital min below 16 bits", edf_set_digital_minimum(h, 0, -32769)},
        {"bdf digital max above 24 bits", edf_set_digital_maximum(b, 0, 8388608)},
        {"bdf digital min below 24 bits", edf_set_digital_minimum(b, 0, -8388609)},
        {"physical NaN", edf_set_physical_maximum(h, 0, NAN)},
        {"physical too wide for the field", edf_set_physical_maximum(h, 0, 123456789.0)},
        {"negative physical too wide", edf_set_physical_minimum(h, 0, -12345678.0)},
        {"physical lost in eight characters", edf_set_physical_maximum(h, 0, 1e-7)},
        {"physical 5% off in eight characters", edf_set_physical_minimum(h, 0, -0.00000095)},
        {"null label", edf_set_label(h, 0, nullptr)},
        {"sex 2", edf_set_sex(h, 2)},
        {"birth year 1799", edf_set_birthdate(h, 1799, 1, 1)},
        {"birth month 13", edf_set_birthdate(h, 1990, 13, 1)},
        {"birth day 32", edf_set_birthdate(h, 1990, 1, 32)},
        {"start year 1984", edf_set_startdatetime(h, 1984, 1, 1, 0, 0, 0)},
        {"start year 2085", edf_set_startdatetime(h, 2085, 1, 1, 0, 0, 0)},
        {"start hour 24", edf_set_startdatetime(h, 2000, 1, 1, 24, 0, 0)},
        {"start second 60", edf_set_startdatetime(h, 2000, 1, 1, 0, 0, 60)},
        {"subsecond 10^7", edf_set_subsecond_starttime(h, 10000000)},
        {"duration 99", edf_set_datarecord_duration(h, 99)},
        {"duration 6000001", edf_set_datarecord_duration(h, 6000001)},
        {"micro duration 0", edf_set_micro_datarecord_duration(h, 0)},
        {"micro duration 10000", edf_set_micro_datarecord_duration(h, 10000)},
        {"annotation signals 0", edf_set_number_of_annotation_signals(h, 0)},
        {"annotation signals 65", edf_set_number_of_annotation_signals(h, 65)},
        {"bad handle", edf_set_patientname(64, "x")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.result, -1) << c.name;
    const edf_file_record& after = *edf_record(h);
    EXPECT_EQ(memcmp(&after.signals[0], &sig0, sizeof(sig0)), 0);
    EXPECT_STREQ(after.sex, before.sex);
    EXPECT_STREQ(after.birth_date, before.birth_date);
    EXPECT_EQ(after.start_year, before.start_year);
    EXPECT_EQ(after.record_duration_ticks, before.record_duration_ticks);
    EXPECT_EQ(after.annotation_signal_count, 1);
    // Day 31 is accepted in every month.
    EXPECT_EQ(edf_set_startdatetime(h, 2084, 2, 31, 23, 59, 59), 0);
    EXPECT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
    EXPECT_EQ(edf_close(b), EDF_CLOSE_NO_RECORDS);
}

TEST(EdfSetters, SettersAreRefusedOnceARecordIsCompleted)
{
    ScratchDir dir;
    const std::string path = dir.path("late.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 1, 2);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_label(h, 0, "before"), 0);
    ASSERT_EQ(writeZeroRecords(h, 1, 2, 1), 0);
    const int results[] = {
        edf_set_label(h, 0, "after"),
        edf_set_samples_per_record(h, 0, 3),
        edf_set_physical_maximum(h, 0, 1),
        edf_set_digital_minimum(h, 0, -1),
        edf_set_patientname(h, "late"),
        edf_set_sex(h, 1),
        edf_set_startdatetime(h, 2000, 1, 1, 0, 0, 0),
        edf_set_datarecord_duration(h, 200),
        edf_set_number_of_annotation_signals(h, 2),
    };
    for (int r : results)
        EXPECT_EQ(r, -1);
    EXPECT_STREQ(edf_record(h)->signals[0].label, "before");
    EXPECT_EQ(edf_record(h)->signals[0].samples_per_record, 2);
    ASSERT_EQ(writeZeroRecords(h, 1, 2, 1), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    EXPECT_EQ(signalFields(d, 2, 0).label, padded("before", 16));
    EXPECT_EQ(d.size(), 768u + 2 * 124);
}

TEST(EdfSetters, SettersAreRefusedWhileTheFirstRecordIsUnderWay)
{
    ScratchDir dir;
    const std::string path = dir.path("midway.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 2, 2);
    ASSERT_GE(h, 0);
    const double zeros[4] = {0, 0, 0, 0};
    ASSERT_EQ(edfwrite_physical_samples(h, zeros), 0);
    // The header with 2 samples per record is on disk; 4 samples now would break the file.
    EXPECT_EQ(edf_set_samples_per_record(h, 1, 4), -1);
    EXPECT_EQ(edf_set_number_of_annotation_signals(h, 2), -1);
    EXPECT_EQ(edf_set_digital_maximum(h, 1, 100), -1);
    ASSERT_EQ(edfwrite_physical_samples(h, zeros), 0);
    ASSERT_EQ(edf_close(h), 0);
    auto d = readFile(path);
    EXPECT_EQ(d.size(), 1024u + 8 + 120);
    EXPECT_EQ(signalFields(d, 3, 1).samples, "2       ");
}

TEST(EdfSetters, HeaderErrorsWriteNothingAndLeaveTheHandleConfigurable)
{
    const struct {
        const char* name;
        void (*breakIt)(int h);
        void (*mendIt)(int h);
        int code;
    } cases[] = {
        {"641 signals", [](int h) { edf_record(h)->signal_count = 641; },
         [](int h) { edf_record(h)->signal_count = 2; }, EDF_HEADER_TOO_MANY_SIGNALS},
        {"no samples per record", [](int) {}, [](int h) { edf_set_samples_per_record(h, 1, 4); },
         EDF_HEADER_SAMPLES_PER_RECORD},
        {"digital min equal max",
         [](int h) {
             edf_set_digital_maximum(h, 1, 7);
             edf_set_digital_minimum(h, 1, 7);
         },
         [](int h) { edf_set_digital_minimum(h, 1, 0); }, EDF_HEADER_DIGITAL_EQUAL},
        {"digital max below min",
         [](int h) {
             edf_set_digital_maximum(h, 1, -7);
             edf_set_digital_minimum(h, 1, 7);
         },
         [](int h) { edf_set_digital_maximum(h, 1, 70); }, EDF_HEADER_DIGITAL_ORDER},
        {"physical min equal max", [](int h) { edf_set_physical_minimum(h, 1, 5.0); },
         [](int h) { edf_set_physical_minimum(h, 1, 0.0); }, EDF_HEADER_PHYSICAL_EQUAL},
        {"record too large",
         [](int h) { edf_set_samples_per_record(h, 1, (10485760 - 120 - 8) / 2 + 1); },
         [](int h) { edf_set_samples_per_record(h, 1, 4); }, EDF_HEADER_RECORD_SIZE},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string path = dir.path("err.edf");
        int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 2, 4);
        ASSERT_GE(h, 0);
        if (c.code == EDF_HEADER_SAMPLES_PER_RECORD)
            edf_record(h)->signals[1].samples_per_record = 0;
        c.breakIt(h);
        const double zeros[4] = {0, 0, 0, 0};
        EXPECT_EQ(edfwrite_physical_samples(h, zeros), c.code) << c.name;
        EXPECT_EQ(fileSize(path), 0) << c.name;
        EXPECT_EQ(edf_record(h)->next_signal, 0);
        c.mendIt(h);
        EXPECT_EQ(edfwrite_physical_samples(h, zeros), 0) << c.name;
        EXPECT_EQ(edfwrite_physical_samples(h, zeros), 0) << c.name;
        EXPECT_EQ(edf_close(h), 0) << c.name;
        EXPECT_EQ(fileSize(path), 1024 + 16 + 120) << c.name;
    }
    // At close, the header error is returned and the handle is released.
    ScratchDir dir;
    int h = openSimple(dir.path("c.edf"), EDF_FILETYPE_EDFPLUS, 1, 4);
    ASSERT_GE(h, 0);
    edf_set_physical_minimum(h, 0, 5.0);
    EXPECT_EQ(edf_close(h), EDF_HEADER_PHYSICAL_EQUAL);
    EXPECT_EQ(edf_open_file_count(), 0);
    // A negative signal count (not reachable through opening) is caught there as well; the
    // sample writers already refuse a file without signals.
    const std::string neg = dir.path("n.edf");
    h = openSimple(neg, EDF_FILETYPE_EDFPLUS, 1, 4);
    ASSERT_GE(h, 0);
    edf_record(h)->signal_count = -1;
    EXPECT_EQ(edf_close(h), EDF_HEADER_NEGATIVE_SIGNALS);
    EXPECT_EQ(fileSize(neg), 0);
}

TEST(EdfSetters, BdfRecordSizeLimitIsFifteenMebibytes)
{
    ScratchDir dir;
    int h = openSimple(dir.path("big.bdf"), EDF_FILETYPE_BDFPLUS, 1, (15728640 - 120) / 3);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_close(h), EDF_CLOSE_NO_RECORDS);
    h = openSimple(dir.path("big2.bdf"), EDF_FILETYPE_BDFPLUS, 1, (15728640 - 120) / 3 + 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(edf_close(h), EDF_HEADER_RECORD_SIZE);
}

// ---- Failed writes -------------------------------------------------------------------------

TEST(EdfFailures, FullDeviceIsReportedByTheWriterAndByClose)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not available";
    int h = edf_open_for_writing_with_params("/dev/full", EDF_FILETYPE_EDFPLUS, 12, 500, 5.0, "mV");
    ASSERT_GE(h, 0);
    std::vector<double> zeros(500, 0.0);
    int failure = 0;
    for (int i = 0; i < 24 && failure == 0; i++)
        failure = edfwrite_physical_samples(h, zeros.data());
    EXPECT_EQ(failure, -1);
    EXPECT_EQ(edf_record(h)->record_count, 0);
    // Once a write failed, nothing more is accepted as written.
    EXPECT_EQ(edfwrite_physical_samples(h, zeros.data()), -1);
    EXPECT_EQ(edf_close(h), -1);
    EXPECT_EQ(edf_open_file_count(), 0);

    // A file that only gets its header at close.
    h = edf_open_for_writing_with_params("/dev/full", EDF_FILETYPE_EDFPLUS, 1, 10, 5.0, "mV");
    ASSERT_GE(h, 0);
    EXPECT_EQ(edf_close(h), -1);
    EXPECT_EQ(edf_open_file_count(), 0);

    // Queued annotations cannot be placed either.
    h = edf_open_for_writing("/dev/full", EDF_FILETYPE_BDFPLUS, 0);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edfwrite_annotation_utf8(h, 0, -1, "lost"), 0);
    EXPECT_EQ(edf_close(h), -1);
}

TEST(EdfFailures, BrokenStreamFailsTheWriterAndCloseCannotClaimThePatchedCount)
{
    ScratchDir dir;
    const std::string path = dir.path("broken.edf");
    int h = openSimple(path, EDF_FILETYPE_EDFPLUS, 2, 3);
    ASSERT_GE(h, 0);
    ASSERT_EQ(writeZeroRecords(h, 2, 3, 2), 0);
    // The stream breaks: every further write to it fails.
    edf_file_record* f = edf_record(h);
    ASSERT_EQ(fclose(f->stream), 0);
    f->stream = fopen(path.c_str(), "rb");
    ASSERT_NE(f->stream, nullptr);
    const double zeros[3] = {0, 0, 0};
    int result = edfwrite_physical_samples(h, zeros);
    if (result == 0)
        result = edfwrite_physical_samples(h, zeros);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(f->record_count, 2);
    EXPECT_EQ(edfwrite_physical_samples(h, zeros), -1);
    EXPECT_EQ(edf_close(h), -1);
    EXPECT_EQ(edf_open_file_count(), 0);
    // The two records that reached the file are intact, the count was never patched.
    auto d = readFile(path);
    EXPECT_EQ(d.size(), 1024u + 2 * 132);
    EXPECT_EQ(field(d, 236, 8), "-1      ");
}

TEST(EdfFailures, EveryResultCodeHasItsOwnText)
{
    const int codes[] = {EDF_ERROR,
                         EDF_ERROR_CANNOT_OPEN,
                         EDF_ERROR_FORMAT,
                         EDF_ERROR_TOO_MANY_FILES,
                         EDF_ERROR_READ_HEADER,
                         EDF_ERROR_ALREADY_OPEN,
                         EDF_ERROR_FILE_TYPE,
                         EDF_ERROR_TOO_MANY_SIGNALS,
                         EDF_ERROR_DISCONTINUOUS,
                         EDF_ERROR_ANNOTATION_MODE,
                         EDF_HEADER_NEGATIVE_SIGNALS,
                         EDF_HEADER_TOO_MANY_SIGNALS,
                         EDF_HEADER_SAMPLES_PER_RECORD,
                         EDF_HEADER_DIGITAL_EQUAL,
                         EDF_HEADER_DIGITAL_ORDER,
                         EDF_HEADER_PHYSICAL_EQUAL,
                         EDF_HEADER_RECORD_SIZE,
                         EDF_CLOSE_ANNOTATIONS_LEFT,
                         EDF_CLOSE_NO_RECORDS};
    for (auto text : {edf_result_text, edf_result_text_ru}) {
        const std::string unknown = text(-99);
        std::vector<std::string> seen;
        for (int c : codes) {
            const std::string t = text(c);
            EXPECT_NE(t, unknown) << c;
            EXPECT_EQ(t.find(std::to_string(c)), std::string::npos) << "names its code: " << t;
            for (const auto& s : seen)
                EXPECT_NE(t, s) << c;
            seen.push_back(t);
        }
    }
    // The user's messages are Russian: every one holds Cyrillic letters (UTF-8 lead byte 0xD0
    // or 0xD1).
    for (int c : codes)
        EXPECT_NE(std::string(edf_result_text_ru(c)).find_first_of("\xd0\xd1"), std::string::npos)
            << c;
}

} // namespace
