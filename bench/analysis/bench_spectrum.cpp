// Cost of the two spectrum steps at the longest block (N = 16384, 12 channels):
// window-and-store per delivered sample, for each window kind, and the block's
// twelve transforms with their amplitudes.
#include <QVector>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "analysis/fftwindow.h"
#include "analysis/spectrum.h"
#include "device/types.h"

namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}
} // namespace

int main()
{
    const quint32 count = 16384;
    fftw_complex* in[channelCount];
    fftw_complex* out[channelCount];
    fftw_plan plan[channelCount];
    for (int c = 0; c < channelCount; ++c) {
        in[c] = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * count));
        out[c] = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * count));
        plan[c] = spectrumMakePlan(int(count), in[c], out[c]);
    }

    double values[channelCount];
    for (int c = 0; c < channelCount; ++c)
        values[c] = 1e-4 * (c + 1);

    std::printf("window-and-store, 12 channels, N = %u (ns per delivered sample)\n", count);
    const char* names[] = {"Rectangular",    "Gauss",   "Hamming",  "Hann",
                           "Triangular",     "Nuttall", "Blackman", "BlackmanNuttall",
                           "BlackmanHarris", "FlatTop", "Welch"};
    double checksum = 0;
    for (int kind = Rectangular; kind <= Welch; ++kind) {
        const int blocks = 20;
        const auto start = Clock::now();
        for (int b = 0; b < blocks; ++b)
            for (quint32 fill = 0; fill < count; ++fill)
                spectrumWindowAndStore(in, values, channelCount, kind, fill, count);
        const double seconds = secondsSince(start);
        checksum += in[channelCount - 1][count / 3][0];
        std::printf("  %-16s %8.1f\n", names[kind], seconds / (blocks * double(count)) * 1e9);
    }

    const int blocks = 50;
    QVector<double> spectrum;
    const auto start = Clock::now();
    for (int b = 0; b < blocks; ++b)
        for (int c = 0; c < channelCount; ++c) {
            fftw_execute(plan[c]);
            spectrumAmplitudes(spectrum, out[c], count);
            checksum += spectrum[1];
        }
    const double perBlock = secondsSince(start) / blocks;
    std::printf("12 transforms and amplitudes, N = %u: %.2f ms per block, %.1f ns per delivered "
                "sample\n",
                count, perBlock * 1e3, perBlock / count * 1e9);
    std::printf("(checksum %g)\n", checksum);

    for (int c = 0; c < channelCount; ++c) {
        spectrumDestroyPlan(plan[c]);
        fftw_free(in[c]);
        fftw_free(out[c]);
    }
    return 0;
}
