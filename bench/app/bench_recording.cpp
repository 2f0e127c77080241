// How long File > Save holds the window for a long capture: an hour at the
// highest rate (909 samples/s, twelve channels) written from (key, value)
// pairs laid out as the signal plot keeps them.
//
// Usage: bench_app_recording [seconds] [directory]   (defaults: 3600, the temp dir)

#include "app/recording.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <vector>

namespace
{
struct Point {
    double key;
    double value;
};
} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3600;
    const QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
    const int rate = 909;
    const qint64 points = qint64(seconds) * rate;

    std::vector<std::vector<Point>> graphs(recordingChannelCount);
    RecordingChannels channels;
    for (int c = 0; c < recordingChannelCount; ++c) {
        std::vector<Point>& graph = graphs[static_cast<std::size_t>(c)];
        graph.resize(static_cast<std::size_t>(points));
        for (qint64 i = 0; i < points; ++i)
            graph[static_cast<std::size_t>(i)] = {i / 909.091, 0.004 * std::sin(0.01 * i + c)};
        channels[static_cast<std::size_t>(c)] = {&graph[0].value, points, sizeof(Point)};
    }

    QTemporaryDir dir(base + "/neurask-bench-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a directory under %s\n", qPrintable(base));
        return 1;
    }
    const QString path = dir.filePath("hour.edf");

    QElapsedTimer timer;
    timer.start();
    const RecordingResult result = saveRecordingEdf(QFile::encodeName(path), channels, 909.091);
    const double elapsed = timer.nsecsElapsed() / 1e9;
    if (!result.ok()) {
        std::fprintf(stderr, "save failed: step %d, code %d\n", int(result.error), result.code);
        return 1;
    }
    const double megabytes = QFileInfo(path).size() / 1e6;
    std::printf("save of %d s at %d samples/s x 12 channels: %lld records, %.1f MB in %.3f s "
                "(%.0f MB/s)\n",
                seconds, rate, static_cast<long long>(result.records), megabytes, elapsed,
                megabytes / elapsed);
    return 0;
}
