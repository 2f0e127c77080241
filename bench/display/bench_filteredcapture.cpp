// Cost of the display filters in the plot's data path at the fastest capture
// rate (909 samples/s, 12 channels, the 0.5 Hz high-pass, 45 Hz low-pass and
// 50 Hz notch all on). Prints:
//   - one 64-sample batch kept up in the filtered copy, early and late,
//   - refiltering the stored capture after a change of choice: the total,
//     per stored hour, and the longest slice the GUI thread spends on it,
//   - memory of the filtered copy per stored hour, beside the raw store's.
//
//   bench_filteredcapture [hours]     (default 1; times scale with the hours)
#include <QElapsedTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "capture/capturestore.h"
#include "display/filteredcapture.h"

namespace
{

constexpr int periodTicks = 8800; // 909.09 samples/s
constexpr double rate = 1.0 / (periodTicks * 1.25e-7);
constexpr int batchSize = 64;

QVector<structSample> makeBatch(qint64 first)
{
    QVector<structSample> batch(batchSize);
    for (int k = 0; k < batchSize; ++k) {
        const double t = (first + k) / rate;
        for (int c = 0; c < channelCount; ++c)
            batch[k].value[c] =
                0.01 * c + 40e-6 * std::sin(2 * M_PI * 10 * t) + 3e-3 * std::sin(2 * M_PI * 50 * t);
    }
    return batch;
}

// Best time in microseconds of keeping `batches` batches up, one at a time.
double batchCost(CaptureStore& store, FilteredCapture& filtered, int batches)
{
    double best = 1e18;
    for (int b = 0; b < batches; ++b) {
        const QVector<structSample> batch = makeBatch(store.sampleCount());
        store.append(batch);
        QElapsedTimer clock;
        clock.start();
        filtered.follow();
        best = std::min(best, clock.nsecsElapsed() / 1e3);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const double hours = argc > 1 ? std::atof(argv[1]) : 1.0;
    const qint64 batches = qint64(hours * 3600 * rate / batchSize);

    CaptureStore store;
    store.reset(periodTicks, QDateTime());
    FilteredCapture filtered(&store);
    filtered.setChoices(0.5, 45, 50);

    const double early = batchCost(store, filtered, 200);
    // The bulk of the capture: filtered as it arrives, timed as a whole.
    QElapsedTimer clock;
    clock.start();
    for (qint64 b = 200; b < batches - 200; ++b) {
        store.append(makeBatch(store.sampleCount()));
        filtered.follow();
    }
    const double late = batchCost(store, filtered, 200);
    const double stored = store.sampleCount() / rate / 3600;
    std::printf("capture of %.3f h at %.2f samples/s x %d channels\n", stored, rate, channelCount);
    std::printf("one batch into the filtered copy: %.1f us early, %.1f us late (best of 200)\n",
                early, late);

    // A change of choice: the copy is refiltered in slices of 20 ms.
    filtered.setChoices(1, 30, 50);
    double longest = 0;
    int slices = 0, longestAt = 0, over50 = 0;
    clock.start();
    for (;;) {
        QElapsedTimer slice;
        slice.start();
        const bool more = filtered.step(20);
        const double ms = slice.nsecsElapsed() / 1e6;
        if (ms > longest) {
            longest = ms;
            longestAt = slices;
        }
        over50 += ms > 50;
        ++slices;
        if (!more)
            break;
    }
    const double total = clock.nsecsElapsed() / 1e9;
    const double channelSamples = double(store.sampleCount()) * channelCount;
    std::printf("refiltering the stored capture: %.2f s (%.2f s per stored hour, %.1f ns per "
                "channel sample), %d slices, longest %.1f ms (slice %d), %d over 50 ms\n",
                total, total / stored, total / channelSamples * 1e9, slices, longest, longestAt,
                over50);
    std::printf("memory per stored hour: raw store %.1f MB, filtered copy %.1f MB\n",
                store.memoryBytes() / stored / 1e6,
                filtered.source()->memoryBytes() / stored / 1e6);
    return 0;
}
