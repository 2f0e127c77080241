// What continuous recording costs: the writer thread's CPU time per second of
// capture at the highest rate (909 samples/s, twelve channels), and the bytes a
// recorded hour takes on disk. The samples go to the engine as the device
// sends them (batches of 64, queued into its thread), with a record synced to
// disk every second as in a real recording.
//
// Usage: bench_recorder [seconds] [directory]   (defaults: 3600, the temp dir)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>

#include "recorder/recorder.h"

class Source : public QObject
{
    Q_OBJECT
signals:
    void captureStarted(quint16 period);
    void updateDataTime(QVector<structSample>);
    void captureEvent(quint64 sample, QString text);
    void changeCapture(bool value);
    void connection(bool);
};

static double seconds(const timeval& t)
{
    return t.tv_sec + t.tv_usec * 1e-6;
}

static double threadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int length = argc > 1 ? std::atoi(argv[1]) : 3600;
    QTemporaryDir dir(QDir(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath())
                          .filePath(QStringLiteral("neurask-bench-XXXXXX")));
    const quint16 period = 8800;
    const double rate = 8e6 / period;
    const qint64 total = qint64(length * rate);

    // One minute of batches, reused: generating samples is not the writer's cost.
    QVector<QVector<structSample>> minute;
    for (qint64 i = 0; i < qint64(60 * rate); i += 64) {
        QVector<structSample> batch(64);
        for (int k = 0; k < 64; ++k)
            for (int c = 0; c < channelCount; ++c)
                batch[k].value[c] = 50e-6 * std::sin(0.07 * double(i + k) * (c + 1));
        minute << batch;
    }

    RecorderThread engine;
    Source source;
    connectCapture(&source, engine.recorder());
    double recorded = 0;
    QString path;
    QObject::connect(engine.recorder(), &Recorder::progress, &app,
                     [&](const QString& p, double s, qint64) {
                         path = p;
                         recorded = s;
                     });
    QMetaObject::invokeMethod(engine.recorder(), "setTarget", Q_ARG(QString, dir.path()));
    QMetaObject::invokeMethod(engine.recorder(), "setRecording", Q_ARG(bool, true));

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const double mainBefore = threadCpu();
    QElapsedTimer wall;
    wall.start();
    emit source.captureStarted(period);
    qint64 sent = 0;
    int next = 0;
    while (sent < total) {
        // Ten seconds at a time, then wait for the writer to catch up.
        for (int b = 0; b < 142 && sent < total; ++b, sent += 64)
            emit source.updateDataTime(minute[next++ % minute.size()]);
        while (recorded + 12 < sent / rate)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    emit source.changeCapture(false);
    engine.finish();
    QCoreApplication::processEvents();
    const double mainCpu = threadCpu() - mainBefore;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double cpu = seconds(after.ru_utime) + seconds(after.ru_stime) -
                       seconds(before.ru_utime) - seconds(before.ru_stime) - mainCpu;
    const double captured = total / rate;
    const qint64 bytes = QFileInfo(path).size();
    std::printf("recorded %.0f s at %.3f samples/s in %.1f s\n", captured, rate,
                wall.elapsed() / 1000.0);
    std::printf("writer CPU %.3f s: %.4f %% of one core while recording\n", cpu,
                100.0 * cpu / captured);
    std::printf("file %lld bytes: %.1f MB per hour\n", static_cast<long long>(bytes),
                bytes * 3600.0 / captured / 1e6);
    return bytes > 0 ? 0 : 1;
}

#include "bench_recorder.moc"
