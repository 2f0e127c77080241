// Opening a long recording for review: a 12-channel, 500 samples/s EDF+ file
// of the given length with an annotation every 10 s, opened through the
// window (read in the background, then shown). Prints the open time to the
// first repaint, the longest stall of the GUI thread meanwhile, and the peak
// resident memory it took beside the file's size; then the module's read
// throughput and, where biosig-tools is installed, save2gdf's on the same file
// in the same run (the file is in the page cache for both).
//
// Usage: bench_app_review [hours] [directory]   (defaults: 1, the temp dir)

#include "app/mainwindow.h"
#include "device/ports.h"
#include "edf/edf.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <qcustomplot.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{

constexpr int rate = 500;
constexpr int signalCount = 12;

// Kilobytes of a line of /proc/self/status ("VmRSS", "VmHWM").
long statusKb(const char* key)
{
    QFile file("/proc/self/status");
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').value(0).toLong();
    return -1;
}

bool writeFile(const QString& path, int seconds)
{
    const int h = edf_open_for_writing_with_params(
        QFile::encodeName(path).constData(), EDF_FILETYPE_EDFPLUS, signalCount, rate, 500.0, "uV");
    if (h < 0)
        return false;
    std::vector<int> block(std::size_t(rate) * signalCount);
    for (int r = 0; r < seconds; ++r) {
        for (int s = 0; s < signalCount; ++s)
            for (int i = 0; i < rate; ++i)
                block[std::size_t(s * rate + i)] =
                    int(20000 * std::sin(0.01 * (r * rate + i) * (s + 1)) + (i * 7919 % 997));
        if (edfwrite_block_digital_samples(h, block.data()) != 0)
            return false;
        if (r % 10 == 5)
            edfwrite_annotation_utf8(h, qint64(r) * 1000000, 200000, "Stim");
    }
    return edf_close(h) == 0;
}

// The module reading every sample of the file, as the window's reader does.
double moduleSeconds(const QString& path)
{
    std::unique_ptr<edf_header_info> hdr(new edf_header_info);
    QElapsedTimer timer;
    timer.start();
    if (edf_open_for_reading(QFile::encodeName(path).constData(), hdr.get(), 1) != 0)
        return -1;
    std::vector<int> buf(std::size_t(rate) * 16);
    for (qint64 r = 0; r < hdr->record_count; r += 16) {
        const int n = int(std::min<qint64>(16, hdr->record_count - r)) * rate;
        for (int s = 0; s < hdr->signal_count; ++s)
            if (edfread_digital_samples(hdr->handle, s, n, buf.data()) != n)
                return -1;
    }
    edf_close(hdr->handle);
    return timer.nsecsElapsed() * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    const double hours = argc > 1 ? std::atof(argv[1]) : 1;
    const QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();
    const int seconds = std::max(1, int(hours * 3600));

    QTemporaryDir dir(base + "/neurask-bench-XXXXXX");
    if (!dir.isValid())
        return 1;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    setSerialPortSource([] { return QStringList{"/nonexistent/neurask-bench-port"}; });
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    const QString path = dir.filePath("long.edf");
    if (!writeFile(path, seconds)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    const double fileMB = QFileInfo(path).size() / 1e6;
    std::printf("file: %d s, %d signals at %d/s, %.1f MB\n", seconds, signalCount, rate, fileMB);
    moduleSeconds(path); // into the page cache

    {
        MainWindow window;
        window.resize(1280, 800);
        window.show();
        app.processEvents();
        // The peak from here on (Linux: 5 into clear_refs resets it).
        QFile clear("/proc/self/clear_refs");
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        clear.close();
        const long before = statusKb("VmRSS:");

        // The longest gap between turns of the event loop while the file opens.
        QElapsedTimer gap, timer;
        qint64 longestGap = 0;
        QTimer tick;
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, gap.nsecsElapsed());
            gap.restart();
        });

        timer.start();
        gap.start();
        tick.start();
        window.openRecording(path);
        while (window.isOpeningRecording())
            app.processEvents(QEventLoop::WaitForMoreEvents);
        app.processEvents();
        window.findChild<QCustomPlot*>("plotTime")->replot();
        const double openSeconds = timer.nsecsElapsed() * 1e-9;
        tick.stop();
        const long peak = statusKb("VmHWM:");
        std::printf("window open to first repaint: %.3f s (%s), longest GUI stall %.1f ms\n",
                    openSeconds, window.isReviewing() ? "shown" : "NOT shown", longestGap * 1e-6);
        std::printf("peak resident memory while opening: +%.1f MB over %.1f MB before "
                    "(%.2f x the file)\n",
                    (peak - before) / 1024.0, before / 1024.0, (peak - before) / 1024.0 / fileMB);

        // The same file again: the store it replaces (as long as the file) is
        // given back meanwhile, off the GUI thread.
        longestGap = 0;
        gap.restart();
        tick.start();
        window.openRecording(path);
        while (window.isOpeningRecording())
            app.processEvents(QEventLoop::WaitForMoreEvents);
        app.processEvents();
        tick.stop();
        std::printf("open over a shown store as long: longest GUI stall %.1f ms\n",
                    longestGap * 1e-6);
    }

    const double ours = moduleSeconds(path);
    std::printf("module read: %.3f s, %.0f MB/s\n", ours, fileMB / ours);
    const QString save2gdf = QStandardPaths::findExecutable("save2gdf");
    if (!save2gdf.isEmpty()) {
        QElapsedTimer timer;
        timer.start();
        const int code = QProcess::execute(save2gdf, {"-f=GDF", path, dir.filePath("long.gdf")});
        const double theirs = timer.nsecsElapsed() * 1e-9;
        std::printf("biosig save2gdf -f=GDF: %.3f s, %.0f MB/s (exit %d); module/biosig %.1f x\n",
                    theirs, fileMB / theirs, code, theirs / ours);
    } else {
        std::printf("biosig save2gdf not installed\n");
    }
    return 0;
}
