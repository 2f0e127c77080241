// Cost of the signal plot over a long capture, fed as the device feeds it: 909
// samples/s on twelve channels in batches of 64, through the main window's
// sample slot. Prints, for the window as built (the capture store, drawing what
// is in view) and, in the same run, for the plain way of keeping every sample
// as a (key, value) point of twelve graphs with the value axis rescaled over
// all of them after each batch:
//   - resident memory per stored hour (and the whole program's after an hour),
//   - one batch at the start and with the capture stored,
//   - one repaint zoomed out over the whole capture and with a 10 s window,
//   - a pan by one screen (10 s and one hour wide),
//   - in lanes with display filters chosen: the refiltering of the stored
//     capture (and the longest turn of the event loop meanwhile), and the
//     repaints again.
// Times are the best and the median of repeated runs. The window's worker is
// given no ports and its settings go to a temporary place.
//
//   bench_signalplot [hours] [hours of the plain way]     (default 8 and 1)
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaMethod>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <qcustomplot.h>

#include "app/examination.h"
#include "app/mainwindow.h"
#include "device/ports.h"
#include "display/plots.h"
#include "display/signalview.h"
#include "exam/electrodes.h"

namespace
{

constexpr int periodTicks = 8800; // 909.09 samples/s
constexpr double period = periodTicks * 1.25e-7;
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

// EEG-like values within the headset's range, with the odd artifact.
QVector<structSample> makeBatch(quint64 first)
{
    QVector<structSample> batch(batchSize);
    for (int i = 0; i < batchSize; ++i) {
        quint64 n = first + i;
        batch[i].time = (n + 1) * period;
        for (int c = 0; c < channelCount; ++c)
            batch[i].value[c] = 50e-6 * std::sin(n * 0.05 * (c + 1)) + 1e-6 * ((n * 7919) % 13) +
                                (n % 100003 == 0 ? 2e-3 : 0);
    }
    return batch;
}

struct Times {
    double best = 0, median = 0;
};

// Runs `step` `count` times, each timed; milliseconds.
Times timed(int count, const std::function<void()>& step)
{
    QVector<double> ms;
    for (int k = 0; k < count; ++k) {
        QElapsedTimer timer;
        timer.start();
        step();
        ms << timer.nsecsElapsed() / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    return {ms.first(), ms[ms.size() / 2]};
}

void print(const char* what, const Times& ours, const Times& plain, const char* plainNote)
{
    std::printf("%-44s %9.3f ms (median %9.3f) | plain: %9.3f ms (median %9.3f)%s\n", what,
                ours.best, ours.median, plain.best, plain.median, plainNote);
}

// The plain way, on a bare plot of the same size: every sample a point of its
// channel's graph, the time axis moved and the value axis rescaled over all
// points after each batch.
struct PlainPlot {
    QCustomPlot plot;
    QCPGraph* graphs[channelCount];
    quint64 samples = 0;

    explicit PlainPlot(QSize size)
    {
        plot.resize(size);
        setupSignalPlot(&plot);
        createChannelGraphs(&plot, graphs);
    }
    // `rescale` false only to fill quickly between the timed batches.
    void append(const QVector<structSample>& batch, bool rescale = true)
    {
        for (const structSample& s : batch)
            for (int c = 0; c < channelCount; ++c)
                graphs[c]->addData(s.time, s.value[c]);
        samples += batch.size();
        plot.xAxis->setRange(batch.last().time, plot.xAxis->range().size(), Qt::AlignRight);
        if (rescale)
            plot.yAxis->rescale(true);
    }
};

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const double hours = argc > 1 ? std::atof(argv[1]) : 8;
    const double plainHours = argc > 2 ? std::atof(argv[2]) : 1;
    auto batchesIn = [](double h) {
        return std::max<quint64>(quint64(h * 3600 / period / batchSize), 400);
    };
    const int repeats = 10;

    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    QCoreApplication::setApplicationVersion("0.4");
    setSerialPortSource([] { return QStringList(); });
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    // --- the plain way -------------------------------------------------------------
    long start = residentKiB();
    std::unique_ptr<PlainPlot> plain(new PlainPlot(QSize(1000, 500)));
    plain->plot.replot();
    const quint64 plainBatches = batchesIn(plainHours);
    quint64 b = 0;
    Times plainFirst = timed(200, [&] { plain->append(makeBatch(b++ * batchSize)); });
    while (b + 20 < plainBatches)
        plain->append(makeBatch(b++ * batchSize), false);
    Times plainLast = timed(20, [&] { plain->append(makeBatch(b++ * batchSize)); });
    const double plainStored = plain->samples * period / 3600;
    const double plainPerHour = (residentKiB() - start) / 1024.0 / plainStored;
    QCustomPlot& pp = plain->plot;
    pp.rescaleAxes();
    Times plainOut = timed(repeats, [&] { pp.replot(); });
    const double plainEnd = plain->samples * period;
    // Drawn at the scale of the signal rather than of its largest artifact.
    pp.yAxis->setRange(-60e-6, 60e-6);
    Times plainOutScaled = timed(repeats, [&] { pp.replot(); });
    pp.xAxis->setRange(plainEnd - 10, plainEnd);
    pp.yAxis->rescale(true);
    Times plainWindow = timed(repeats, [&] { pp.replot(); });
    pp.xAxis->setRange(0, 10);
    Times plainPan = timed(repeats, [&] {
        pp.xAxis->moveRange(10);
        pp.replot();
    });
    const double plainHourWidth = std::min(3600.0, plainEnd / 2);
    pp.xAxis->setRange(0, plainHourWidth);
    int plainStep = 0;
    Times plainPanHour = timed(repeats, [&] {
        pp.xAxis->moveRange(plainStep++ % 2 ? -plainHourWidth : plainHourWidth);
        pp.replot();
    });
    plain.reset();

    // --- the window ----------------------------------------------------------------
    MainWindow window;
    window.resize(1400, 800);
    window.show();
    QCustomPlot& plot = *window.findChild<QCustomPlot*>("plotTime");
    const QMetaObject* meta = window.metaObject();
    QMetaMethod deviceDataTime =
        meta->method(meta->indexOfSlot("deviceDataTime(QVector<structSample>)"));
    auto feed = [&](quint64 batch) {
        deviceDataTime.invoke(&window, Qt::DirectConnection,
                              Q_ARG(QVector<structSample>, makeBatch(batch * batchSize)));
    };
    plot.replot();
    const long before = residentKiB();
    const quint64 batches = batchesIn(hours);
    const quint64 hourBatches = std::min(batches, batchesIn(1));
    b = 0;
    Times first = timed(200, [&] { feed(b++); });
    QElapsedTimer whole;
    whole.start();
    while (b < hourBatches)
        feed(b++);
    const long afterHour = residentKiB();
    const double hourStored = b * batchSize * period / 3600;
    while (b + 200 < batches)
        feed(b++);
    Times last = timed(200, [&] { feed(b++); });
    const double fillSeconds = whole.elapsed() / 1e3;
    const long after = residentKiB();
    const CaptureStore& store = window.captureStore();
    const double stored = store.sampleCount() * period / 3600;

    // Each repaint after a batch, as while capturing: the graphs are rebuilt.
    quint64 extra = b;
    QMetaObject::invokeMethod(&window, "on_actionZoom_triggered", Qt::DirectConnection);
    Times out = timed(repeats, [&] {
        feed(extra++);
        plot.replot();
    });
    Times outDrawing = timed(repeats, [&] { plot.replot(); }); // nothing to rebuild
    SignalView* view = window.findChild<SignalView*>();
    Times outBuilding = timed(repeats, [&] {
        view->storeChanged();
        view->rebuild();
    });
    const double end = store.sampleTime(0, store.sampleCount() - 1);
    plot.xAxis->setRange(end - 10, end);
    Times tenSeconds = timed(repeats, [&] {
        feed(extra++);
        plot.replot();
    });
    plot.xAxis->setRange(end / 3, end / 3 + 10);
    Times pan = timed(repeats, [&] {
        plot.xAxis->moveRange(10);
        plot.replot();
    });
    // Screens that stay within the capture: back and forth over its first hours.
    const double hourWidth = std::min(3600.0, end / 2);
    plot.xAxis->setRange(0, hourWidth);
    int step = 0;
    Times panHour = timed(repeats, [&] {
        plot.xAxis->moveRange(step++ % 2 ? -hourWidth : hourWidth);
        plot.replot();
    });

    std::printf("stored: %.2f h, %lld samples per channel; plain way: %.2f h\n", stored,
                static_cast<long long>(store.sampleCount()), plainStored);
    std::printf("filling took %.1f s (%.0f batches/s); drawing %d pixel columns\n", fillSeconds,
                (b - 200) / fillSeconds, plot.axisRect()->width());
    if (before >= 0 && afterHour >= 0)
        std::printf("resident memory per stored hour: %.0f MiB (program after 1 h: %.0f MiB; "
                    "after %.1f h: %.0f MiB) | plain: %.0f MiB per hour\n",
                    (afterHour - before) / 1024.0 / hourStored, afterHour / 1024.0, stored,
                    after / 1024.0, plainPerHour);
    char note[64];
    std::snprintf(note, sizeof note, " at %.2f h", plainStored);
    print("batch of 64, first", first, plainFirst, "");
    char what[64];
    std::snprintf(what, sizeof what, "batch of 64, with %.2f h stored", stored);
    print(what, last, plainLast, note);
    print("repaint after a batch, whole capture in view", out, plainOut, note);
    print("  the same, plain drawn at the signal's scale", out, plainOutScaled, note);
    print("  the same, drawing only (nothing to rebuild)", outDrawing, plainOut, note);
    print("  the same, rebuilding the graphs only", outBuilding, plainOut, note);
    print("repaint after a batch, 10 s window", tenSeconds, plainWindow, note);
    print("pan by one screen, 10 s window", pan, plainPan, note);
    print("pan by one screen, 1 h window", panHour, plainPanHour, " (plain: 30 min window)");

    // Lanes at 50 µV with the 0.5 Hz high-pass and the 50 Hz notch, chosen on
    // the tool bar: the stored capture is refiltered in slices between turns
    // of the event loop; the longest turn is what the operator may feel.
    window.findChild<QAction*>("actionViewLanes")->trigger();
    window.findChild<QComboBox*>("comboBoxViewSensitivity")->setCurrentIndex(2);
    QElapsedTimer refilter;
    refilter.start();
    window.findChild<QComboBox*>("comboBoxViewHighPass")->setCurrentIndex(2);
    window.findChild<QComboBox*>("comboBoxViewNotch")->setCurrentIndex(1);
    double longestTurn = refilter.nsecsElapsed() / 1e6;
    while (view->filters().busy()) {
        QElapsedTimer turn;
        turn.start();
        QCoreApplication::processEvents();
        longestTurn = std::max(longestTurn, turn.nsecsElapsed() / 1e6);
    }
    const double refilterSeconds = refilter.elapsed() / 1e3;
    QMetaObject::invokeMethod(&window, "on_actionZoom_triggered", Qt::DirectConnection);
    Times lanesOut = timed(repeats, [&] {
        feed(extra++);
        plot.replot();
    });
    plot.xAxis->setRange(end - 10, end);
    Times lanesTen = timed(repeats, [&] {
        feed(extra++);
        plot.replot();
    });
    std::printf("lanes and filters chosen: refiltered in %.1f s, longest event-loop turn %.1f ms; "
                "resident %.0f MiB\n",
                refilterSeconds, longestTurn, residentKiB() / 1024.0);
    print("lanes, filtered: repaint, whole capture", lanesOut, plainOut, note);
    print("lanes, filtered: repaint, 10 s window", lanesTen, plainWindow, note);

    // The same lanes as the longitudinal bipolar montage over the 10-20 names:
    // derived rows have no pyramid, so a zoomed-out repaint samples the view.
    window.examination()->setElectrodeNames(exam::tenTwentyNames());
    window.findChild<QComboBox*>("comboBoxViewMontage")->setCurrentIndex(2);
    QMetaObject::invokeMethod(&window, "on_actionZoom_triggered", Qt::DirectConnection);
    Times montageOut = timed(repeats, [&] {
        feed(extra++);
        plot.replot();
    });
    plot.xAxis->setRange(end - 10, end);
    Times montageTen = timed(repeats, [&] {
        feed(extra++);
        plot.replot();
    });
    print("lanes, filtered, bipolar montage: repaint, whole capture", montageOut, plainOut, note);
    print("lanes, filtered, bipolar montage: repaint, 10 s window", montageTen, plainWindow, note);
    // Clear gives back the whole capture (both copies); the GUI must not wait for it.
    MainWindow::unsavedHook = [] { return MainWindow::UnsavedAnswer::Discard; };
    QElapsedTimer clearTimer;
    clearTimer.start();
    QMetaObject::invokeMethod(&window, "on_actionClear_triggered", Qt::DirectConnection);
    std::printf("clear of %.2f h stored (raw and filtered copies): %.1f ms\n", stored,
                clearTimer.nsecsElapsed() / 1e6);
    setSerialPortSource(nullptr);
    return 0;
}
