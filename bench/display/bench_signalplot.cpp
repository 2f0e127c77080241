// Cost of the signal plot over a long capture: an hour of 909 samples/s fed to
// the main window's sample slot in batches of 64, as the device delivers them.
// Prints the cost of one batch (append, fit of the voltage axis, flag) at the
// start and at the end, the cost of one repaint of the signal plot with the
// hour stored, and the memory the hour takes. The window's worker is given no
// ports to search and its settings go to a temporary place.
//
//   bench_signalplot [minutes]     (default 60)
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaMethod>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <qcustomplot.h>

#include "app/mainwindow.h"
#include "device/ports.h"

namespace
{

constexpr double period = 8800 * 1.25e-7; // 909.09 samples/s
constexpr int batchSize = 64;

long residentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

QVector<structSample> makeBatch(quint64 first)
{
    QVector<structSample> batch(batchSize);
    for (int i = 0; i < batchSize; ++i) {
        quint64 n = first + i;
        batch[i].time = n * period;
        for (int c = 0; c < channelCount; ++c)
            batch[i].value[c] = 50e-6 * std::sin(n * 0.05 * (c + 1)) + 1e-6 * ((n * 7919) % 13);
    }
    return batch;
}

double median(QVector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    double minutes = argc > 1 ? std::atof(argv[1]) : 60;
    quint64 batches = static_cast<quint64>(minutes * 60 / period / batchSize);

    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir store;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, store.path());
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    QCoreApplication::setApplicationVersion("0.4");
    setSerialPortSource([] { return QStringList(); });

    MainWindow window;
    window.show();
    QCustomPlot& plot = *window.findChild<QCustomPlot*>("plotTime");
    const QMetaObject* meta = window.metaObject();
    QMetaMethod deviceDataTime =
        meta->method(meta->indexOfSlot("deviceDataTime(QVector<structSample>)"));
    auto feed = [&](const QVector<structSample>& batch) {
        deviceDataTime.invoke(&window, Qt::DirectConnection, Q_ARG(QVector<structSample>, batch));
    };
    QCPGraph* graphs[channelCount];
    for (int c = 0; c < channelCount; ++c)
        graphs[c] = plot.graph(c);

    // One batch through the window's slot, timed over a run of batches.
    auto timeBatches = [&](quint64 from, int count) {
        QVector<double> costs;
        for (int k = 0; k < count; ++k) {
            QVector<structSample> batch = makeBatch((from + k) * batchSize);
            QElapsedTimer timer;
            timer.start();
            feed(batch);
            costs << timer.nsecsElapsed() / 1e3;
        }
        return median(costs);
    };

    long before = residentKiB();
    double startCost = timeBatches(0, 200);
    QElapsedTimer whole;
    whole.start();
    for (quint64 b = 200; b + 200 < batches; ++b) {
        feed(makeBatch(b * batchSize));
    }
    double fillSeconds = whole.elapsed() / 1e3;
    double endCost = timeBatches(batches - 200, 200);
    long after = residentKiB();

    QVector<double> replots;
    for (int k = 0; k < 20; ++k) {
        QElapsedTimer timer;
        timer.start();
        plot.replot();
        replots << timer.nsecsElapsed() / 1e6;
    }

    // For comparison: the full search over every stored point that a plain
    // rescale of the voltage axis does.
    QVector<double> fullScans;
    for (int k = 0; k < 5; ++k) {
        QElapsedTimer timer;
        timer.start();
        plot.yAxis->rescale(true);
        fullScans << timer.nsecsElapsed() / 1e6;
    }

    quint64 points = static_cast<quint64>(graphs[0]->dataCount()) * channelCount;
    double hours = graphs[0]->dataCount() * period / 3600;
    std::printf("stored: %.2f min, %d samples per channel, %llu points\n", hours * 60,
                graphs[0]->dataCount(), static_cast<unsigned long long>(points));
    std::printf("batch of %d (append, fit, flag): %.1f us at start, %.1f us at end\n", batchSize,
                startCost, endCost);
    std::printf("filling took %.2f s for %.1f s of capture\n", fillSeconds, hours * 3600);
    std::printf("replot of the signal plot with it stored: %.2f ms (median of 20)\n",
                median(replots));
    std::printf("full rescale over every stored point (what each batch would cost): %.1f ms\n",
                median(fullScans));
    if (before >= 0 && after >= 0 && hours > 0)
        std::printf("resident memory: %.0f MiB for the capture, %.0f MiB per stored hour\n",
                    (after - before) / 1024.0, (after - before) / 1024.0 / hours);
    return 0;
}
