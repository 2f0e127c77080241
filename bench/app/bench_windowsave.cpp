// How long File > Save holds the window: the capture filled with an hour at
// 909 samples/s on all twelve channels through the window's sample slot, saved
// through the window's own handler (the file dialog answered in place).
//
// Usage: bench_app_windowsave [seconds] [directory]   (defaults: 3600, the temp dir)

#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "device/ports.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3600;
    const QString base = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath();

    // Neither the user's settings nor a real port.
    QTemporaryDir dir(base + "/neurask-bench-XXXXXX");
    if (!dir.isValid())
        return 1;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    setSerialPortSource([] { return QStringList{"/nonexistent/neurask-bench-port"}; });
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    MainWindow window;
    const int rate = 909;
    const int points = seconds * rate;
    QVector<structSample> batch(64);
    for (int first = 0; first < points; first += batch.size()) {
        batch.resize(std::min(64, points - first));
        for (int k = 0; k < batch.size(); ++k) {
            for (int c = 0; c < channelCount; ++c)
                batch[k].value[c] = 0.004 * std::sin(0.01 * (first + k) + c);
        }
        QMetaObject::invokeMethod(&window, "deviceDataTime", Qt::DirectConnection,
                                  Q_ARG(QVector<structSample>, batch));
    }
    window.findChild<QDoubleSpinBox*>("doubleSpinBoxCaptureFreq")->setValue(909.091);

    const QString path = dir.filePath("hour.edf");
    FileDialog::saveHook = [&](QWidget*, const QString&, const QString&, const QString&) {
        return path;
    };
    QElapsedTimer timer;
    timer.start();
    window.findChild<QAction*>("actionSave")->trigger();
    const double elapsed = timer.nsecsElapsed() / 1e9;
    FileDialog::saveHook = nullptr;

    const double megabytes = QFileInfo(path).size() / 1e6;
    std::printf("window Save of %d s at %d samples/s x 12 channels: %.1f MB in %.3f s\n", seconds,
                rate, megabytes, elapsed);
    setSerialPortSource(nullptr);
    return megabytes > 0 ? 0 : 1;
}
