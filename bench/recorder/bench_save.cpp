// How long File > Save holds the window for a long capture: an hour at the
// highest rate (909 samples/s, twelve channels) written from the capture
// store, as EDF+ and as BDF+.
//
// Usage: bench_save [seconds] [directory]   (defaults: 3600, the temp dir)

#include "capture/capturestore.h"
#include "recorder/capturefile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3600;
    const QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
    const quint16 period = 8800; // 909.091 samples/s
    const qint64 points = qint64(seconds) * 8000000 / period;

    CaptureStore store;
    store.reset(period, QDateTime::currentDateTime());
    QVector<structSample> batch(64);
    for (qint64 first = 0; first < points; first += batch.size()) {
        batch.resize(int(std::min<qint64>(64, points - first)));
        for (int k = 0; k < batch.size(); ++k)
            for (int c = 0; c < channelCount; ++c)
                batch[k].value[c] = 0.004 * std::sin(0.01 * double(first + k) + c);
        store.append(batch);
    }

    QTemporaryDir dir(base + "/neurask-bench-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a directory under %s\n", qPrintable(base));
        return 1;
    }
    for (RecordingFormat format : {RecordingFormat::Edf, RecordingFormat::Bdf}) {
        const bool bdf = format == RecordingFormat::Bdf;
        const QString path = dir.filePath(bdf ? "hour.bdf" : "hour.edf");
        QElapsedTimer timer;
        timer.start();
        const RecordingResult result = saveRecording(QFile::encodeName(path), store, format);
        const double elapsed = timer.nsecsElapsed() / 1e9;
        if (!result.ok()) {
            std::fprintf(stderr, "save failed: step %d, code %d\n", int(result.error), result.code);
            return 1;
        }
        const double megabytes = QFileInfo(path).size() / 1e6;
        std::printf("save %s of %d s at 909.091 samples/s x 12 channels: %lld records, %.1f MB "
                    "in %.3f s (%.0f MB/s)\n",
                    bdf ? "BDF+" : "EDF+", seconds, static_cast<long long>(result.records),
                    megabytes, elapsed, megabytes / elapsed);
    }
    return 0;
}
