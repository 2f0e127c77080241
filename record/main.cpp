// neurask-record: records the headset to BDF+ files without a window, for
// unattended sessions. It finds the headset, starts a capture, writes it
// through the recording engine until the time is up or SIGINT/SIGTERM arrives,
// then stops the capture and closes the file.
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>

#include "device/device.h"
#include "exam/electrodes.h"
#include "exam/patient.h"
#include "exam/protocol.h"
#include "exam/protocolrunner.h"
#include "recorder/recorder.h"

#include <QFile>
#include <iostream>
#include <string>
#include <thread>

namespace
{

enum ExitCode {
    exitDone = 0,
    exitUsage = 2,
    exitNotFound = 3,
    exitRefused = 4,
    exitWriteFailed = 5,
    exitLost = 6,
};

const char usage[] =
    "Usage: neurask-record [options]\n"
    "Records the twelve-channel headset to BDF+ files until the duration has passed or\n"
    "SIGINT/SIGTERM arrives, then stops the capture and closes the file.\n"
    "\n"
    "  --port NAME        the headset's serial port (default: search every port, and the\n"
    "                     ports named in NEURASK_EXTRA_PORTS)\n"
    "  --rate HZ          sample rate, 122 to 909 (default 500)\n"
    "  --period TICKS     sample period in ticks of 125 ns, 8800 to 65535 (instead of --rate)\n"
    "  --output PATH      a folder for files named from their start time, or a file name\n"
    "                     ending in .bdf (default: the current folder); nothing is overwritten\n"
    "  --duration SECONDS stop this long after the first capture started, counting any\n"
    "                     reconnection in between (default: until SIGINT or SIGTERM)\n"
    "  --search SECONDS   give up when no headset is found within this time (default 30)\n"
    "  --labels NAMES     twelve electrode names, comma-separated (e.g. the 10-20 set\n"
    "                     Fp1,Fp2,F3,F4,C3,C4,P3,P4,O1,O2,T3,T4); an empty name keeps \"chan. N\"\n"
    "  --patient-code T, --patient-name T, --sex F|M, --birthdate YYYY-MM-DD,\n"
    "  --technician T     the patient's and the recording's details for the files\n"
    "  --protocol P       run a protocol during the capture: photic, hyperventilation,\n"
    "                     or a protocol file; without --duration the recording ends\n"
    "                     with the protocol\n"
    "  --quiet            no progress line\n"
    "  --verbose          also the link's diagnostic log (on standard error)\n"
    "  --help             show this text\n"
    "\n"
    "A progress line each second: recorded time, samples, lost samples, file size.\n"
    "Each line read on standard input becomes a mark in the recording at the moment it\n"
    "is read.\n"
    "When the link is lost the program searches again and starts a new capture (a new\n"
    "file) when the headset is back.\n"
    "\n"
    "Exit status:\n"
    "  0  recorded until the end; every file closed\n"
    "  2  bad options\n"
    "  3  no headset found in time, or SIGINT/SIGTERM before any capture started\n"
    "  4  the headset refused or did not confirm the capture start\n"
    "  5  the file could not be created or written (e.g. disk full), or its path no\n"
    "     longer leads to it (folder removed, drive unplugged); it keeps every\n"
    "     complete record that is still reachable\n"
    "  6  the link was lost and the headset did not come back within the search time\n";

std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal)
{
    stopSignal = signal;
}

void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        QTextStream(stderr) << text << '\n';
}

bool parseNumber(const QString& text, double min, double max, double* out)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !(v >= min && v <= max))
        return false;
    *out = v;
    return true;
}

QString sizeText(qint64 bytes)
{
    if (bytes < 10 * 1024 * 1024)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
}

// The session: drives the device and the recorder and decides the exit code.
class Session : public QObject
{
public:
    QString port;
    quint16 period = 16000;
    QString output;
    double duration = 0; // seconds, 0: until a signal
    int searchSeconds = 30;
    bool quiet = false;
    QStringList labels;
    exam::PatientDetails patient;
    bool hasProtocol = false;
    exam::Protocol protocol;

    int run();

private:
    void onConnection(bool connected);
    void onChangeCapture(bool value);
    void tick();
    void finish(int code);
    void say(const QString& line);
    void mark(quint64 sample, const QString& text);
    void readMarks();

    Device* device = nullptr;
    QThread deviceThread;
    RecorderThread recorderThread;

    bool connected = false;
    bool capturing = false;
    bool startSent = false;
    int startRetries = 0;
    bool stopping = false;
    int exitCode = exitDone;
    QElapsedTimer sinceStart;   // whole session
    QElapsedTimer waiting;      // search or start confirmation
    QElapsedTimer captureClock; // since the first capture started
    quint64 samples = 0;        // this session, all captures
    quint64 lost = 0;           // current capture
    quint64 lostBefore = 0;     // earlier captures
    qint64 fileBytes = 0;
    double fileSeconds = 0;
    QString file;
    qint64 lastLine = 0; // sinceStart at the last progress line
    exam::ProtocolRunner runner;
    bool protocolStarted = false;
};

void Session::mark(quint64 sample, const QString& text)
{
    if (!capturing || stopping || text.trimmed().isEmpty())
        return;
    QMetaObject::invokeMethod(recorderThread.recorder(), "addTimedEvent", Qt::QueuedConnection,
                              Q_ARG(quint64, sample), Q_ARG(double, -1.0),
                              Q_ARG(QString, text.trimmed()));
}

// Standard input, a line at a time, on a thread of its own (a blocking read
// works on every system); each line is a mark at the sample of its moment.
void Session::readMarks()
{
    std::thread([this] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const quint64 sample = device->capturedSamples();
            const QString text = QString::fromStdString(line);
            QMetaObject::invokeMethod(
                this, [this, sample, text] { mark(sample, text); }, Qt::QueuedConnection);
        }
    }).detach();
}

void Session::say(const QString& line)
{
    QTextStream(stdout) << line << '\n';
    std::fflush(stdout);
}

int Session::run()
{
    device = new Device;
    device->moveToThread(&deviceThread);
    connect(&deviceThread, &QThread::started, device, &Device::start);
    connect(device, &Device::finished, &deviceThread, &QThread::quit, Qt::DirectConnection);
    Recorder* recorder = recorderThread.recorder();
    connectCapture(device, recorder);

    connect(device, &Device::connection, this, &Session::onConnection);
    connect(device, &Device::changeCapture, this, &Session::onChangeCapture);
    connect(device, &Device::updateDataTime, this,
            [this](const QVector<structSample>& batch) { samples += quint64(batch.size()); });
    connect(device, &Device::updateSkipSamples, this, [this](quint64 n) { lost = n; });
    connect(device, &Device::info, this, [this](const QString& text) {
        if (!quiet && !connected)
            say(text);
    });
    connect(recorder, &Recorder::fileStarted, this, [this](const QString& path) {
        file = path;
        fileBytes = 0;
        fileSeconds = 0;
        say(QStringLiteral("recording to %1").arg(path));
    });
    connect(recorder, &Recorder::progress, this,
            [this](const QString&, double seconds, qint64 bytes) {
                fileSeconds = seconds;
                fileBytes = bytes;
            });
    connect(recorder, &Recorder::fileFinished, this,
            [this](const QString& path, quint64 n, bool ok) {
                say(QStringLiteral("%1: %2 samples, %3")
                        .arg(path)
                        .arg(n)
                        .arg(ok ? "closed" : "incomplete"));
            });
    connect(recorder, &Recorder::failed, this, [this](const QString& message) {
        QTextStream(stderr) << "neurask-record: " << message << '\n';
        finish(exitWriteFailed);
    });

    // The protocol's requests go to the device as the window's buttons do; its
    // marks and the annotation of each light train the headset confirms go to
    // the file.
    connect(&runner, &exam::ProtocolRunner::lightStart, device, &Device::setLightStart,
            Qt::DirectConnection);
    connect(&runner, &exam::ProtocolRunner::lightStop, device, &Device::setLightStop,
            Qt::DirectConnection);
    connect(&runner, &exam::ProtocolRunner::soundStart, device, &Device::setSoundStart,
            Qt::DirectConnection);
    connect(&runner, &exam::ProtocolRunner::soundStop, device, &Device::setSoundStop,
            Qt::DirectConnection);
    connect(&runner, &exam::ProtocolRunner::mark, this,
            [this](const QString& text) { mark(device->capturedSamples(), text); });
    connect(&runner, &exam::ProtocolRunner::waiting, this, [this](const QString& text) {
        if (!text.isEmpty()) {
            say(QStringLiteral("protocol: %1 (going on)").arg(text));
            runner.proceed(); // nobody to wait for
        }
    });
    connect(&runner, &exam::ProtocolRunner::finished, this, [this](bool aborted) {
        say(aborted ? QStringLiteral("protocol stopped") : QStringLiteral("protocol done"));
        if (!aborted && duration <= 0)
            finish(exitDone);
    });
    connect(device, &Device::captureEvent, this, [this](quint64 sample, const QString& text) {
        if (text.startsWith(QStringLiteral("Свет ")) && text.size() > 5 && text[5].isDigit()) {
            const exam::ProtocolRunner::Train train = runner.takeLightTrain();
            if (train.active)
                QMetaObject::invokeMethod(recorderThread.recorder(), "addTimedEvent",
                                          Qt::QueuedConnection, Q_ARG(quint64, sample),
                                          Q_ARG(double, train.seconds), Q_ARG(QString, train.text));
        }
    });

    QMetaObject::invokeMethod(recorder, "setElectrodes", Qt::QueuedConnection,
                              Q_ARG(QStringList, labels));
    QMetaObject::invokeMethod(recorder, "setPatient", Qt::QueuedConnection,
                              Q_ARG(exam::PatientDetails, patient));
    QMetaObject::invokeMethod(recorder, "setTarget", Qt::QueuedConnection, Q_ARG(QString, output));
    QMetaObject::invokeMethod(recorder, "setRecording", Qt::QueuedConnection, Q_ARG(bool, true));

    device->setPort(port);
    sinceStart.start();
    waiting.start();
    deviceThread.start();

    readMarks();
    QTimer timer;
    connect(&timer, &QTimer::timeout, this, &Session::tick);
    timer.start(100);
    QCoreApplication::exec();

    // The capture is stopped (or the link is gone): close the file, end the worker.
    recorderThread.finish();
    QCoreApplication::sendPostedEvents();
    device->terminate();
    deviceThread.wait();
    delete device;
    return exitCode;
}

void Session::onConnection(bool value)
{
    connected = value;
    if (stopping)
        return;
    if (value) {
        say(QStringLiteral("headset found; starting the capture (period %1)").arg(period));
        device->captureStart(period);
        startSent = true;
        startRetries = 0;
    } else {
        if (capturing) {
            lostBefore += lost;
            lost = 0;
        }
        capturing = false;
        startSent = false;
        say(QStringLiteral("link lost; searching again"));
    }
    waiting.restart();
}

void Session::onChangeCapture(bool value)
{
    if (value) {
        capturing = true;
        startSent = false;
        if (!captureClock.isValid())
            captureClock.start();
        if (hasProtocol && !protocolStarted) {
            protocolStarted = true;
            say(QStringLiteral("protocol: %1").arg(protocol.name));
            runner.start(protocol);
        }
        return;
    }
    if (stopping) {
        capturing = false;
        QCoreApplication::exit(0);
        return;
    }
    if (startSent) {
        QTextStream(stderr) << "neurask-record: the headset refused the capture start\n";
        finish(exitRefused);
        return;
    }
    if (capturing) {
        // Stopped by someone else (the headset); end as asked for.
        capturing = false;
        finish(exitDone);
    }
}

void Session::tick()
{
    if (stopSignal != 0 && !stopping) {
        say(QStringLiteral("signal %1: stopping").arg(int(stopSignal)));
        // Nothing was recorded: that is no success.
        finish(captureClock.isValid() ? exitDone : exitNotFound);
        return;
    }
    if (stopping) {
        // Give the headset two seconds to confirm the stop.
        if (waiting.elapsed() > 2000)
            QCoreApplication::exit(0);
        return;
    }
    if (duration > 0 && captureClock.isValid() &&
        captureClock.elapsed() >= qint64(duration * 1000)) {
        finish(exitDone);
        return;
    }
    if (!connected && waiting.elapsed() > qint64(searchSeconds) * 1000) {
        QTextStream(stderr) << "neurask-record: no headset found\n";
        finish(samples > 0 ? exitLost : exitNotFound);
        return;
    }
    // A request made as the exchange begins can be lost to the exchange's own
    // start, so an unconfirmed start is asked for again each second.
    if (startSent && waiting.elapsed() > 1000 * (startRetries + 1) && startRetries < 3) {
        ++startRetries;
        device->captureStart(period);
    }
    if (startSent && waiting.elapsed() > 4500) {
        QTextStream(stderr) << "neurask-record: the headset did not confirm the capture start\n";
        finish(exitRefused);
        return;
    }
    if (!quiet && capturing && sinceStart.elapsed() - lastLine >= 1000) {
        lastLine = sinceStart.elapsed();
        say(QStringLiteral("%1 s  samples %2  lost %3  file %4")
                .arg(fileSeconds, 0, 'f', 1)
                .arg(samples)
                .arg(lostBefore + lost)
                .arg(sizeText(fileBytes)));
    }
}

void Session::finish(int code)
{
    if (stopping)
        return;
    stopping = true;
    exitCode = code;
    waiting.restart();
    runner.stop(); // a light under way goes out before the capture stops
    if (capturing && connected)
        device->captureStop(); // the stop reply ends the event loop
    else
        QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ulvek"));
    QCoreApplication::setApplicationName(QStringLiteral("neurask-record"));

    Session session;
    bool verbose = false;
    const QStringList args = QCoreApplication::arguments();
    auto fail = [](const QString& text) {
        QTextStream(stderr) << "neurask-record: " << text << '\n' << usage;
        return int(exitUsage);
    };
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        auto value = [&](QString* out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        QString v;
        double n = 0;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return exitDone;
        } else if (arg == QLatin1String("--port")) {
            if (!value(&session.port))
                return fail(QStringLiteral("--port needs a name"));
        } else if (arg == QLatin1String("--rate")) {
            if (!value(&v) || !parseNumber(v, 122, 910, &n))
                return fail(QStringLiteral("--rate needs a rate from 122 to 909 Hz"));
            const double ticks = std::min(65535.0, std::max(8800.0, std::round(8e6 / n)));
            session.period = quint16(ticks);
        } else if (arg == QLatin1String("--period")) {
            if (!value(&v) || !parseNumber(v, 8800, 65535, &n) || n != std::floor(n))
                return fail(QStringLiteral("--period needs ticks from 8800 to 65535"));
            session.period = quint16(n);
        } else if (arg == QLatin1String("--output")) {
            if (!value(&session.output))
                return fail(QStringLiteral("--output needs a folder or a file name"));
        } else if (arg == QLatin1String("--duration")) {
            if (!value(&v) || !parseNumber(v, 0.001, 1e9, &n))
                return fail(QStringLiteral("--duration needs seconds"));
            session.duration = n;
        } else if (arg == QLatin1String("--search")) {
            if (!value(&v) || !parseNumber(v, 1, 1e6, &n))
                return fail(QStringLiteral("--search needs seconds"));
            session.searchSeconds = int(n);
        } else if (arg == QLatin1String("--labels")) {
            QString error;
            if (!value(&v) || !exam::parseLabels(v, session.labels, &error))
                return fail(QStringLiteral("--labels: ") + error);
        } else if (arg == QLatin1String("--patient-code")) {
            if (!value(&session.patient.code))
                return fail(QStringLiteral("--patient-code needs a text"));
        } else if (arg == QLatin1String("--patient-name")) {
            if (!value(&session.patient.name))
                return fail(QStringLiteral("--patient-name needs a text"));
        } else if (arg == QLatin1String("--technician")) {
            if (!value(&session.patient.technician))
                return fail(QStringLiteral("--technician needs a text"));
        } else if (arg == QLatin1String("--sex")) {
            QString error;
            if (!value(&v) || !exam::parseSex(v, session.patient.sex, &error))
                return fail(QStringLiteral("--sex: ") + error);
        } else if (arg == QLatin1String("--birthdate")) {
            QString error;
            if (!value(&v) || !exam::parseBirthDate(v, session.patient.birthDate, &error))
                return fail(QStringLiteral("--birthdate: ") + error);
        } else if (arg == QLatin1String("--protocol")) {
            if (!value(&v))
                return fail(QStringLiteral("--protocol needs photic, hyperventilation or a file"));
            session.hasProtocol = true;
            if (v == QLatin1String("photic")) {
                session.protocol = exam::photicPreset();
            } else if (v == QLatin1String("hyperventilation")) {
                session.protocol = exam::hyperventilationPreset();
            } else {
                QFile f(v);
                if (!f.open(QIODevice::ReadOnly) || f.size() > (1 << 20))
                    return fail(QStringLiteral("--protocol: cannot read %1").arg(v));
                QString error;
                if (!exam::protocolFromText(QString::fromUtf8(f.readAll()), session.protocol,
                                            &error))
                    return fail(QStringLiteral("--protocol: %1: %2").arg(v, error));
            }
        } else if (arg == QLatin1String("--quiet")) {
            session.quiet = true;
        } else if (arg == QLatin1String("--verbose")) {
            verbose = true;
        } else {
            return fail(QStringLiteral("unknown option ") + arg);
        }
    }
    if (!session.output.isEmpty() &&
        !session.output.endsWith(QLatin1String(".bdf"), Qt::CaseInsensitive) &&
        !QFileInfo(session.output).isDir())
        return fail(QStringLiteral("--output: no folder %1 (a file name must end in .bdf)")
                        .arg(session.output));

    if (!verbose)
        qInstallMessageHandler(quietDebug);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    return session.run();
}
