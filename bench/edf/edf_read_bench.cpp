// Read throughput of the recording-file module for an hour of the headset's data (12 channels
// at 500 samples/s in one-second records, 43.6 MB, written by our writer with a few
// annotations): opening with every annotation collected, then every signal read to its end as
// physical values. MNE-Python reads the same file in the same run (read_raw_edf with preload,
// then get_data), and the ratio of the two is printed. Last, the time to refuse a hostile
// header that claims far more than the file holds.
//
// usage: edf_read_bench [DIR]   (default: /tmp; set NEURASK_PYTHON to the Python with MNE,
//                                default /usr/bin/python3)
// Best of 5 runs each; MB are 10^6 bytes of file, samples are data samples of all signals.
#include "edf/edf.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace
{

const int channels = 12, rate = 500, seconds = 3600;
const int runs = 5;

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool writeHour(const std::string& path)
{
    const int h = edf_open_for_writing_with_params(path.c_str(), EDF_FILETYPE_EDFPLUS, channels,
                                                   rate, 5.0, "mV");
    if (h < 0)
        return false;
    std::vector<double> v(rate);
    bool ok = true;
    for (int s = 0; ok && s < seconds; s++) {
        if (s % 60 == 0)
            ok = edfwrite_annotation_utf8(h, s * 1000000LL + 250000, -1, "minute mark") == 0;
        for (int c = 0; ok && c < channels; c++) {
            for (int i = 0; i < rate; i++)
                v[i] = 4.0 * sin(0.05 * (s * rate + i) + c);
            ok = edfwrite_physical_samples(h, v.data()) == 0;
        }
    }
    return edf_close(h) == 0 && ok;
}

// Seconds to open the file and read every signal to its end; the sum of the samples keeps the
// reads from being optimised away.
double readHour(const std::string& path, edf_header_info* hdr, int64_t* samples, double* sum)
{
    std::vector<double> buf(60 * rate);
    const double t0 = now();
    if (edf_open_for_reading(path.c_str(), hdr, 1) != 0)
        return -1;
    *samples = 0;
    for (int s = 0; s < hdr->signal_count; s++) {
        int n;
        while ((n = edfread_physical_samples(hdr->handle, s, static_cast<int>(buf.size()),
                                             buf.data())) > 0) {
            *samples += n;
            *sum += buf[0] + buf[n - 1];
        }
        if (n < 0)
            return -1;
    }
    const double t = now() - t0;
    edf_close(hdr->handle);
    return t;
}

// MNE's best time for the same work, from a Python in the same run; -1 when unavailable.
double mneSeconds(const std::string& path, long* samples)
{
    const char* python = getenv("NEURASK_PYTHON");
    const std::string script =
        "import sys, time\n"
        "import mne\n"
        "best = None\n"
        "for _ in range(" +
        std::to_string(runs) +
        "):\n"
        "    t = time.perf_counter()\n"
        "    raw = mne.io.read_raw_edf(sys.argv[1], preload=True, verbose='error')\n"
        "    data = raw.get_data()\n"
        "    t = time.perf_counter() - t\n"
        "    best = t if best is None or t < best else best\n"
        "print(best, data.size)\n";
    const std::string scriptPath = path + ".py";
    if (FILE* f = fopen(scriptPath.c_str(), "w")) {
        fputs(script.c_str(), f);
        fclose(f);
    } else {
        return -1;
    }
    const std::string command = std::string("timeout 600 ") +
                                (python && *python ? python : "/usr/bin/python3") + " " +
                                scriptPath + " " + path + " 2>/dev/null";
    double t = -1;
    if (FILE* p = popen(command.c_str(), "r")) {
        if (fscanf(p, "%lf %ld", &t, samples) != 2)
            t = -1;
        pclose(p);
    }
    unlink(scriptPath.c_str());
    return t;
}

// A header that claims 640 signals of the largest records the format allows and 99,999,999 of
// them (about 1.5 PB), in a file that holds the header alone.
std::string hostileHeader()
{
    const int ns = 640;
    std::string h = "0       ";
    auto put = [&h](const std::string& text, size_t width) {
        std::string field = text.substr(0, width);
        field.resize(width, ' ');
        h += field;
    };
    put("X X X X", 80);
    put("Startdate X X X X", 80);
    put("01.01.26", 8);
    put("00.00.00", 8);
    put(std::to_string(256 * (ns + 1)), 8);
    put("", 44);
    put("99999999", 8);
    put("1", 8);
    put(std::to_string(ns), 4);
    const std::pair<std::string, size_t> fields[] = {
        {"EEG", 16},   {"", 80},     {"uV", 8}, {"-3276.8", 8}, {"3276.7", 8},
        {"-32768", 8}, {"32767", 8}, {"", 80},  {"8192", 8},    {"", 32}};
    for (const auto& f : fields) {
        for (int i = 0; i < ns; i++)
            put(f.first, f.second);
    }
    return h;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string path = dir + "/neurask-read-bench-" + std::to_string(getpid()) + ".edf";
    if (!writeHour(path)) {
        fprintf(stderr, "edf_read_bench: cannot write %s\n", path.c_str());
        return 1;
    }
    FILE* f = fopen(path.c_str(), "rb");
    fseek(f, 0, SEEK_END);
    const double bytes = static_cast<double>(ftell(f));
    fclose(f);

    std::unique_ptr<edf_header_info> hdr(new edf_header_info);
    double best = -1, sum = 0;
    int64_t samples = 0;
    for (int i = 0; i < runs; i++) {
        const double t = readHour(path, hdr.get(), &samples, &sum);
        if (t < 0) {
            fprintf(stderr, "edf_read_bench: reading failed\n");
            unlink(path.c_str());
            return 1;
        }
        if (best < 0 || t < best)
            best = t;
    }
    printf("file: %s, %.1f MB, %d channels x %d samples/s x %d s, %lld annotations\n", path.c_str(),
           bytes / 1e6, channels, rate, seconds, static_cast<long long>(hdr->annotation_count));
    printf("neurask reader: %.3f s, %.1f MB/s, %.1f Msamples/s (checksum %.3f)\n", best,
           bytes / best / 1e6, samples / best / 1e6, sum);

    long mneSamples = 0;
    const double mne = mneSeconds(path, &mneSamples);
    if (mne > 0) {
        printf("MNE-Python read_raw_edf + get_data: %.3f s, %.1f MB/s, %.1f Msamples/s\n", mne,
               bytes / mne / 1e6, mneSamples / mne / 1e6);
        printf("ratio (neurask throughput / MNE throughput): %.2f\n", mne / best);
    } else {
        printf("MNE-Python not available: no ratio\n");
    }
    unlink(path.c_str());

    // Refusing a hostile header: the claim is checked against the file's length before
    // anything is allocated or read beyond the header.
    const std::string hostile = dir + "/neurask-read-bench-hostile-" + std::to_string(getpid());
    if (FILE* hf = fopen(hostile.c_str(), "wb")) {
        const std::string h = hostileHeader();
        fwrite(h.data(), 1, h.size(), hf);
        fclose(hf);
        const int repeats = 2000;
        double hostileBest = -1;
        int code = 0;
        for (int r = 0; r < runs; r++) {
            const double t0 = now();
            for (int i = 0; i < repeats; i++) {
                edf_open_for_reading(hostile.c_str(), hdr.get(), 2);
                code = hdr->filetype;
            }
            const double t = (now() - t0) / repeats;
            if (hostileBest < 0 || t < hostileBest)
                hostileBest = t;
        }
        printf("hostile header (%zu bytes, claims 640 signals x 99999999 records): refused with "
               "%d in %.1f us\n",
               h.size(), code, hostileBest * 1e6);
        unlink(hostile.c_str());
    }
    return 0;
}
