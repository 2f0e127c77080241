// The analysis of one hour at 909 Hz on twelve channels (the longest a clinician
// asks of the Analysis menu in one go): wall time of the whole analysis with the
// default settings, and the memory it adds beyond the store (peak resident size
// during the analysis less the resident size before it).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <cstdio>
#include <thread>

#include "../../tests/analysis/synthetic_eeg.h"
#include "analysis/recordinganalysis.h"

namespace
{
qint64 residentBytes()
{
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * 4096 : 0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? atof(argv[1]) : 3600;
    CaptureStore store;
    fillSyntheticEeg(store, 8800, seconds, 1);
    AnalysisRequest request;
    request.annotations = {{600, 10, "Фотостимуляция 10 Гц"}, {1200, 10, "Фотостимуляция 20 Гц"}};
    printf("store: %.0f s at %.2f Hz x %d channels, %.1f MB\n", seconds,
           store.channel(0).samplesPerSecond, store.channelCount(),
           store.memoryBytes() / 1048576.0);

    for (int run = 0; run < 3; ++run) {
        const qint64 before = residentBytes();
        std::atomic<qint64> peak{before};
        std::atomic<bool> done{false};
        std::thread watch([&] {
            while (!done) {
                const qint64 now = residentBytes();
                if (now > peak)
                    peak = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        QElapsedTimer timer;
        timer.start();
        const AnalysisResult r = analyseStore(store, request);
        const qint64 ms = timer.elapsed();
        done = true;
        watch.join();
        printf("run %d: %lld ms, memory added %.1f MB (peak resident %.1f MB), %d channels, "
               "alpha %.2f Hz\n",
               run + 1, (long long)ms, (peak - before) / 1048576.0, peak / 1048576.0,
               r.channels.size(), r.channels[0].peakAlpha);
    }
    return 0;
}
