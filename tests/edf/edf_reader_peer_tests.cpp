// The reader against an independent one: biosig's save2gdf converts our writer's files to EDF
// and BDF and prints the samples it reads (-CSV); our reader must see the same samples in the
// same files. Skipped when save2gdf is not installed.
#include "edf/edf.h"
#include "edf_raw_file.h"
#include "edf_test_util.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const char* save2gdf = NEURASK_SAVE2GDF;

class EdfReaderPeer : public ::testing::Test
{
protected:
    std::unique_ptr<edf_header_info> hdr{new edf_header_info};
    ScratchDir scratch;

    void SetUp() override
    {
        if (!save2gdf[0])
            GTEST_SKIP() << "save2gdf (biosig-tools) not installed";
    }

    bool run(const std::string& args)
    {
        const std::string command =
            std::string("timeout 120 ") + save2gdf + " " + args + " >/dev/null 2>&1";
        return system(command.c_str()) == 0;
    }

    // Our writer's file: three signals of 100 samples per record, three records.
    std::string writeOurFile(int type, const std::string& name)
    {
        const std::string path = scratch.path(name);
        const int h = edf_open_for_writing_with_params(path.c_str(), type, 3, 100, 400.0, "uV");
        EXPECT_GE(h, 0);
        EXPECT_EQ(edf_set_startdatetime(h, 2026, 12, 8, 1, 2, 3), 0);
        std::vector<double> v(100);
        for (int r = 0; r < 3; r++) {
            for (int s = 0; s < 3; s++) {
                for (int i = 0; i < 100; i++)
                    v[i] = 390.0 * sin(0.05 * (r * 100 + i) + s) + 3.0 * s;
                EXPECT_EQ(edfwrite_physical_samples(h, v.data()), 0);
            }
        }
        EXPECT_EQ(edf_close(h), 0);
        return path;
    }

    // What biosig reads from a file: one row per sample time, one column per signal.
    std::vector<std::vector<double>> biosigSamples(const std::string& path)
    {
        const std::string csv = path + ".csv";
        EXPECT_TRUE(run("-CSV " + path + " " + csv)) << "save2gdf -CSV " << path;
        std::ifstream in(csv);
        std::string line;
        std::getline(in, line); // column names
        std::vector<std::vector<double>> rows;
        while (std::getline(in, line)) {
            std::vector<double> row;
            std::stringstream cells(line);
            std::string cell;
            while (std::getline(cells, cell, ','))
                row.push_back(strtod(cell.c_str(), nullptr));
            rows.push_back(row);
        }
        return rows;
    }

    // Our reader's physical samples of every signal of an open file, compared with biosig's;
    // biosig prints six significant digits.
    void expectSameSamples(const std::vector<std::vector<double>>& biosig)
    {
        ASSERT_GT(hdr->signal_count, 0);
        for (int s = 0; s < hdr->signal_count; s++) {
            const int64_t n = hdr->signal_info[s].samples_in_file;
            ASSERT_EQ(static_cast<int64_t>(biosig.size()), n) << "signal " << s;
            std::vector<double> ours(static_cast<size_t>(n));
            ASSERT_EQ(edfread_physical_samples(hdr->handle, s, static_cast<int>(n), ours.data()),
                      n);
            for (int64_t i = 0; i < n; i++) {
                ASSERT_EQ(biosig[i].size(), static_cast<size_t>(hdr->signal_count));
                ASSERT_NEAR(ours[i], biosig[i][s], 1e-5 * fabs(ours[i]) + 1e-4)
                    << "signal " << s << " sample " << i;
            }
        }
    }
};

TEST_F(EdfReaderPeer, biosigAndWeReadTheSameSamplesFromOurFiles)
{
    for (int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
        const std::string path =
            writeOurFile(type, type == EDF_FILETYPE_BDFPLUS ? "ours.bdf" : "ours.edf");
        const auto biosig = biosigSamples(path);
        ASSERT_EQ(edf_open_for_reading(path.c_str(), hdr.get(), 2), 0);
        expectSameSamples(biosig);
        EXPECT_EQ(edf_close(hdr->handle), 0);
    }
}

TEST_F(EdfReaderPeer, biosigBdfConversionsOfOurFilesReadWithBiosigsSamples)
{
    for (int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
        const std::string source =
            writeOurFile(type, type == EDF_FILETYPE_BDFPLUS ? "src.bdf" : "src.edf");
        const std::string converted = scratch.path("converted.bdf");
        ASSERT_TRUE(run("-f=BDF " + source + " " + converted));
        ASSERT_EQ(edf_open_for_reading(converted.c_str(), hdr.get(), 2), 0);
        // biosig writes "EDF+C" into the reserved field of its BDF files: plain BDF by our rules.
        EXPECT_EQ(hdr->filetype, EDF_FILETYPE_BDF);
        EXPECT_EQ(hdr->signal_count, 3);
        expectSameSamples(biosigSamples(converted));
        EXPECT_EQ(edf_close(hdr->handle), 0);
    }
}

TEST_F(EdfReaderPeer, biosigEdfConversionsOpenAsContinuousFilesWithBiosigsSamples)
{
    // save2gdf -f=EDF marks its files "EDF+C" but gives them no annotation signal, writes month
    // names in mixed case and leaves its birth date format unfilled; the data is unambiguous.
    const std::string source = writeOurFile(EDF_FILETYPE_EDFPLUS, "src.edf");
    const std::string converted = scratch.path("converted.edf");
    ASSERT_TRUE(run("-f=EDF " + source + " " + converted));
    ASSERT_EQ(edftest::readFile(converted).substr(192, 5), "EDF+C");
    ASSERT_EQ(edf_open_for_reading(converted.c_str(), hdr.get(), 2), 0);
    EXPECT_EQ(hdr->filetype, EDF_FILETYPE_EDFPLUS);
    EXPECT_EQ(hdr->signal_count, 3);
    EXPECT_EQ(hdr->annotation_count, 0);
    expectSameSamples(biosigSamples(converted));
    EXPECT_EQ(edf_close(hdr->handle), 0);
}

} // namespace
