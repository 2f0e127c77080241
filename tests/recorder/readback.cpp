// Reads a recorded file with the module's reader and prints what the crash
// test compares with the other readers, as JSON: the record layout, every
// annotation, channel 1's digital values and, with --period, the samples whose
// values differ from the simulated headset's deterministic signal.
//
// usage: recorder_readback FILE [--period TICKS]
// Exit status 1 when the reader refuses the file or cannot read every sample.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "edf/edf.h"
#include "headset.h"

static std::string quoted(const char* text)
{
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        if (*p == '"' || *p == '\\')
            out += '\\';
        if (static_cast<unsigned char>(*p) < 32)
            out += ' ';
        else
            out += *p;
    }
    return out + "\"";
}

int main(int argc, char** argv)
{
    if (argc != 2 && !(argc == 4 && std::strcmp(argv[2], "--period") == 0)) {
        std::fprintf(stderr, "usage: recorder_readback FILE [--period TICKS]\n");
        return 2;
    }
    const int period = argc == 4 ? std::atoi(argv[3]) : 0;
    static edf_header_info hdr;
    if (edf_open_for_reading(argv[1], &hdr, 1) != 0) {
        std::fprintf(stderr, "reader refuses %s: %s\n", argv[1], edf_result_text(hdr.filetype));
        return 1;
    }
    const int spr = hdr.signal_info[0].samples_per_record;
    const int n = static_cast<int>(hdr.signal_info[0].samples_in_file);
    std::vector<std::vector<int>> digital(hdr.signal_count, std::vector<int>(n));
    for (int c = 0; c < hdr.signal_count; ++c)
        if (edfread_digital_samples(hdr.handle, c, n, digital[c].data()) != n) {
            std::fprintf(stderr, "cannot read the samples of signal %d\n", c + 1);
            return 1;
        }

    std::printf("{\"records\": %lld, \"samples_per_record\": %d, \"record_duration\": %.7f,\n",
                static_cast<long long>(hdr.record_count), spr, hdr.record_duration * 1e-7);
    std::printf(" \"annotations\": [");
    for (int i = 0; i < hdr.annotation_count; ++i) {
        edf_annotation_info a;
        if (edf_get_annotation(hdr.handle, i, &a) != 0)
            return 1;
        std::printf("%s[%.7f, %s]", i ? ", " : "", a.onset * 1e-7, quoted(a.text).c_str());
    }
    std::printf("],\n \"durations\": [");
    for (int i = 0; i < hdr.annotation_count; ++i) {
        edf_annotation_info a;
        if (edf_get_annotation(hdr.handle, i, &a) != 0)
            return 1;
        std::printf("%s%.7f", i ? ", " : "", a.duration < 0 ? -1.0 : a.duration * 1e-7);
    }
    std::printf("],\n \"chan1\": [");
    for (int i = 0; i < n; ++i)
        std::printf("%s%d", i ? "," : "", digital[0][i]);
    std::printf("],\n \"differ\": [");
    int shown = 0;
    for (int i = 0; period > 0 && i < n; ++i) {
        bool same = true;
        for (int c = 0; c < hdr.signal_count && same; ++c)
            same =
                digital[c][i] == sim::Headset::sampleCounts(c + 1, uint64_t(i), uint16_t(period));
        if (!same)
            std::printf("%s%d", shown++ ? "," : "", i);
    }
    std::printf("]}\n");
    edf_close(hdr.handle);
    return 0;
}
