// What recording costs the GUI thread: the window's batch slot and its 100 ms
// repaint, timed while the recording engine writes the same batches on its own
// thread and while it does not, in alternating rounds of one run. Batches of 64
// samples at 909 samples/s are fed `speed` times faster than real time (the
// engine is fed as the device feeds it: queued, from the same batches).
//
// Usage: bench_app_windowrecording [seconds per round] [speed]   (defaults: 20, 10)

#include "app/mainwindow.h"
#include "device/ports.h"
#include "recorder/recorder.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

// Sends what the device sends to the engine.
class Feed : public QObject
{
    Q_OBJECT
signals:
    void captureStarted(quint16 period);
    void updateDataTime(QVector<structSample> samples);
    void captureEvent(quint64 sample, QString text);
    void changeCapture(bool value);
    void connection(bool connected);
};

namespace
{

struct Stats {
    std::vector<double> batch, repaint; // microseconds
    static double at(std::vector<double> v, double q)
    {
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        return v[std::size_t(q * double(v.size() - 1))];
    }
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const double speed = argc > 2 ? std::atof(argv[2]) : 10;

    QTemporaryDir dir(QDir::tempPath() + "/neurask-bench-XXXXXX");
    if (!dir.isValid())
        return 1;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    setSerialPortSource([] { return QStringList{"/nonexistent/neurask-bench-port"}; });
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    MainWindow window;
    window.resize(1200, 800);
    window.show();
    Feed feed;
    RecorderThread engine;
    connectCapture(&feed, engine.recorder());
    QMetaObject::invokeMethod(engine.recorder(), "setTarget", Qt::QueuedConnection,
                              Q_ARG(QString, dir.path()));

    const quint16 period = 8800;
    const double batchSeconds = 64 * period * 1.25e-7;
    const qint64 batchNs = qint64(batchSeconds * 1e9 / speed);
    const int rounds = 4;
    const int batchesPerRound = std::max(10, int(seconds / batchSeconds));
    Stats stats[2]; // off, on
    QVector<structSample> batch(64);
    qint64 n = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 due = 0;
    double sinceRepaint = 0;
    emit feed.captureStarted(period);
    for (int round = 0; round < rounds; ++round) {
        const bool on = round % 2 == 1;
        QMetaObject::invokeMethod(engine.recorder(), "setRecording", Qt::QueuedConnection,
                                  Q_ARG(bool, on));
        for (int b = 0; b < batchesPerRound; ++b, n += 64) {
            for (int k = 0; k < 64; ++k) {
                batch[k].time = double(n + k + 1) * period * 1.25e-7;
                for (int c = 0; c < channelCount; ++c)
                    batch[k].value[c] = 50e-6 * std::sin(0.05 * double(n + k) * (c + 1));
            }
            emit feed.updateDataTime(batch);
            QElapsedTimer t;
            t.start();
            QMetaObject::invokeMethod(&window, "deviceDataTime", Qt::DirectConnection,
                                      Q_ARG(QVector<structSample>, batch));
            stats[on].batch.push_back(t.nsecsElapsed() / 1e3);
            sinceRepaint += batchSeconds;
            if (sinceRepaint >= 0.1) {
                sinceRepaint = 0;
                t.restart();
                QMetaObject::invokeMethod(&window, "plotUpdate", Qt::DirectConnection);
                stats[on].repaint.push_back(t.nsecsElapsed() / 1e3);
            }
            due += batchNs;
            while (clock.nsecsElapsed() < due) {
                QCoreApplication::processEvents();
                QThread::usleep(200);
            }
        }
    }
    engine.finish();
    qint64 bytes = 0;
    for (const QFileInfo& file : QDir(dir.path()).entryInfoList({"*.bdf"}, QDir::Files))
        bytes += file.size();
    for (int on = 0; on < 2; ++on) {
        std::printf("recording %-3s: batch median %.1f us, p99 %.1f us; repaint median %.0f us, "
                    "p99 %.0f us (%zu batches)\n",
                    on ? "on" : "off", Stats::at(stats[on].batch, 0.5),
                    Stats::at(stats[on].batch, 0.99), Stats::at(stats[on].repaint, 0.5),
                    Stats::at(stats[on].repaint, 0.99), stats[on].batch.size());
    }
    std::printf("engine wrote %.1f MB in the recorded rounds\n", bytes / 1e6);
    setSerialPortSource(nullptr);
    return bytes > 0 ? 0 : 1;
}

#include "bench_windowrecording.moc"
