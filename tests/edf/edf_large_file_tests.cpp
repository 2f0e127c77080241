// A file larger than 2 GiB: records, the patched record count and annotations placed past the
// 2 GiB mark must land at their 64-bit offsets.
#include "edf/edf.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/statvfs.h>
#endif

namespace
{

TEST(EdfLargeFile, RecordsAndAnnotationsPastTwoGibibytesLandAtTheirOffsets)
{
    ScratchDir dir;
    const std::string path = dir.path("large.edf");
    const long long samples = 5000000; // 10,000,120-byte records
    const int records = 216;
    const long long recordSize = samples * 2 + 120;
    const long long header = 512 + 256;
    const long long total = header + records * recordSize;
    ASSERT_GT(total, 2LL << 30);
#ifdef _WIN32
    ULARGE_INTEGER available;
    const bool known = GetDiskFreeSpaceExA(dir.path("").c_str(), &available, nullptr, nullptr);
    const long long space = static_cast<long long>(available.QuadPart);
#else
    struct statvfs fs;
    const bool known = statvfs(path.substr(0, path.rfind('/')).c_str(), &fs) == 0;
    const long long space = static_cast<long long>(fs.f_bavail) * fs.f_frsize;
#endif
    if (known && space < total + (512LL << 20))
        GTEST_SKIP() << "not enough free space for a " << total << "-byte file";

    int h = edf_open_for_writing(path.c_str(), EDF_FILETYPE_EDFPLUS, 1);
    ASSERT_GE(h, 0);
    ASSERT_EQ(edf_set_samples_per_record(h, 0, static_cast<int>(samples)), 0);
    ASSERT_EQ(edf_set_physical_maximum(h, 0, 1), 0);
    ASSERT_EQ(edf_set_physical_minimum(h, 0, -1), 0);
    ASSERT_EQ(edf_set_digital_maximum(h, 0, 32767), 0);
    ASSERT_EQ(edf_set_digital_minimum(h, 0, -32768), 0);
    for (int i = 0; i < records; i++)
        ASSERT_EQ(edfwrite_annotation_utf8(h, i * 1000000LL + 250000, -1, "tick"), 0);

    std::vector<short> data(samples);
    for (int r = 0; r < records; r++) {
        data[0] = static_cast<short>(r);
        data[samples - 1] = static_cast<short>(-r);
        ASSERT_EQ(edfwrite_block_digital_short_samples(h, data.data()), 0) << r;
    }
    ASSERT_EQ(edf_close(h), 0);

    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, 0, SEEK_END), 0);
    EXPECT_EQ(ftello(f), total);
    char count[9] = {};
    ASSERT_EQ(fseeko(f, 236, SEEK_SET), 0);
    ASSERT_EQ(fread(count, 1, 8, f), 8u);
    EXPECT_STREQ(count, "216     ");

    const int last = records - 1;
    const long long recordStart = header + last * recordSize;
    ASSERT_GT(recordStart, 2LL << 30);
    unsigned char first[2];
    ASSERT_EQ(fseeko(f, recordStart, SEEK_SET), 0);
    ASSERT_EQ(fread(first, 1, 2, f), 2u);
    EXPECT_EQ(first[0] | (first[1] << 8), last);

    char area[120];
    ASSERT_EQ(fseeko(f, recordStart + samples * 2, SEEK_SET), 0);
    ASSERT_EQ(fread(area, 1, 120, f), 120u);
    const std::string expected = "+215\x14\x14" + std::string(1, '\0') + "+215.250000\x14tick\x14";
    EXPECT_EQ(std::string(area, expected.size()), expected);
    fclose(f);
}

} // namespace
