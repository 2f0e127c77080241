// Write throughput of the recording-file module for an hour of the headset's data: 12 channels
// at 500 samples/s in one-second records (3600 records, 43.6 MB), written the way Save writes
// it (one edfwrite_physical_samples call per channel and second) and through the block writers,
// also in crash-safe mode (the header's count brought up to date after every record).
//
// usage: edf_write_bench [DIR...]   (default: /dev/shm and /tmp)
// Prints MB/s (10^6 bytes) for each writer and directory, best of 5 runs; "+fsync" includes
// forcing the file to the device after closing it.
#include "edf/edf.h"

#include <chrono>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

const int channels = 12, rate = 500, seconds = 3600;

enum class Writer { PerSignalPhysical, BlockPhysical, BlockDigital16, BlockPhysicalCrashSafe };

const char* writerName(Writer w)
{
    switch (w) {
    case Writer::PerSignalPhysical:
        return "edfwrite_physical_samples";
    case Writer::BlockPhysical:
        return "edfwrite_block_physical_samples";
    case Writer::BlockPhysicalCrashSafe:
        return "block physical, crash-safe";
    default:
        return "edfwrite_block_digital_short_samples";
    }
}

// Seconds to write and close the file, and to force it to the device afterwards.
bool writeHour(const std::string& path, Writer w, double* writeSecs, double* syncSecs)
{
    std::vector<double> phys(channels * rate);
    std::vector<short> dig(channels * rate);
    for (int c = 0; c < channels; c++) {
        for (int i = 0; i < rate; i++) {
            phys[c * rate + i] = 4.0 * sin(0.05 * i + c);
            dig[c * rate + i] = static_cast<short>(phys[c * rate + i] * 6553.4);
        }
    }
    auto t0 = std::chrono::steady_clock::now();
    int h = edf_open_for_writing_with_params(path.c_str(), EDF_FILETYPE_EDFPLUS, channels, rate,
                                             5.0, "mV");
    if (h < 0 || (w == Writer::BlockPhysicalCrashSafe && edf_set_crash_safe(h, 1) != 0))
        return false;
    for (int s = 0; s < seconds; s++) {
        int r = 0;
        if (w == Writer::PerSignalPhysical) {
            for (int c = 0; c < channels && r == 0; c++)
                r = edfwrite_physical_samples(h, &phys[c * rate]);
        } else if (w == Writer::BlockPhysical || w == Writer::BlockPhysicalCrashSafe) {
            r = edfwrite_block_physical_samples(h, phys.data());
        } else {
            r = edfwrite_block_digital_short_samples(h, dig.data());
        }
        if (r != 0) {
            edf_close(h);
            return false;
        }
    }
    if (edf_close(h) != 0)
        return false;
    auto t1 = std::chrono::steady_clock::now();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    auto t2 = std::chrono::steady_clock::now();
    *writeSecs = std::chrono::duration<double>(t1 - t0).count();
    *syncSecs = std::chrono::duration<double>(t2 - t0).count();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; i++)
        dirs.push_back(argv[i]);
    if (dirs.empty())
        dirs = {"/dev/shm", "/tmp"};
    const double bytes = 256.0 * (channels + 2) + seconds * (channels * rate * 2.0 + 120);
    printf("an hour of %d channels at %d samples/s: %.1f MB per file\n", channels, rate,
           bytes / 1e6);
    for (const std::string& dir : dirs) {
        const std::string path = dir + "/neurask-edf-bench-" + std::to_string(getpid()) + ".edf";
        for (Writer w : {Writer::PerSignalPhysical, Writer::BlockPhysical, Writer::BlockDigital16,
                         Writer::BlockPhysicalCrashSafe}) {
            double best = 1e30, bestSync = 1e30;
            for (int run = 0; run < 5; run++) {
                double secs, sync;
                if (!writeHour(path, w, &secs, &sync)) {
                    fprintf(stderr, "%s: writing failed\n", path.c_str());
                    unlink(path.c_str());
                    return 1;
                }
                best = secs < best ? secs : best;
                bestSync = sync < bestSync ? sync : bestSync;
            }
            unlink(path.c_str());
            printf("%-10s %-38s %8.1f MB/s %8.1f MB/s +fsync  (%.3f s)\n", dir.c_str(),
                   writerName(w), bytes / 1e6 / best, bytes / 1e6 / bestSync, best);
        }
    }
    return 0;
}
