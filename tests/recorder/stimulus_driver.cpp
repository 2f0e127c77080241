// Records from a headset while running a light and a sound stimulation series,
// until it is killed: the end-to-end crash test's recorder. It prints
// "recording PATH" when the file is open and "light SAMPLE" / "sound SAMPLE"
// with the samples received when each series was requested.
//
// usage: recorder_stimulus_driver PORT PERIOD FOLDER
#include <QCoreApplication>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include "device/device.h"
#include "recorder/recorder.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (argc != 4)
        return 2;
    const quint16 period = quint16(QString(argv[2]).toUInt());

    Device* device = new Device;
    QThread deviceThread;
    device->moveToThread(&deviceThread);
    QObject::connect(&deviceThread, &QThread::started, device, &Device::start);
    RecorderThread engine;
    connectCapture(device, engine.recorder());
    QMetaObject::invokeMethod(engine.recorder(), "setTarget", Q_ARG(QString, argv[3]));
    QMetaObject::invokeMethod(engine.recorder(), "setRecording", Q_ARG(bool, true));

    quint64 samples = 0;
    auto say = [](const QString& line) { QTextStream(stdout) << line << Qt::endl; };
    QObject::connect(device, &Device::updateDataTime, &app,
                     [&](const QVector<structSample>& batch) { samples += quint64(batch.size()); });
    QObject::connect(engine.recorder(), &Recorder::fileStarted, &app,
                     [&](const QString& path) { say("recording " + path); });
    // Asked for until confirmed: a request made as the exchange begins can be lost.
    QTimer startAgain;
    QObject::connect(&startAgain, &QTimer::timeout, &app, [&] { device->captureStart(period); });
    QObject::connect(device, &Device::connection, &app, [&](bool on) {
        if (on)
            startAgain.start(500);
    });
    QObject::connect(device, &Device::changeCapture, &app, [&](bool on) {
        if (!on)
            return;
        startAgain.stop();
        QTimer::singleShot(800, &app, [&] {
            structLightParam light{125, 200, 1800, 5, 100, 2};
            device->setLightStart(light);
            say(QStringLiteral("light %1").arg(samples));
        });
        QTimer::singleShot(1600, &app, [&] {
            structSoundParam sound{100, 400, 1600, 3, 1000, 100, 2};
            device->setSoundStart(sound);
            say(QStringLiteral("sound %1").arg(samples));
        });
    });
    device->setPort(QString::fromLocal8Bit(argv[1]));
    deviceThread.start();
    return QCoreApplication::exec(); // until killed
}
