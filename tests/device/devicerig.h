// Runs a Device in a thread of its own, wired as the main window wires it, and
// records what it reports. The recording signals are re-emitted by the rig in
// the test's thread (the Device's signals reach it queued, as they reach the
// window), so QSignalSpy on the rig never races with the worker.
#pragma once

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <functional>
#include <memory>

#include "device/device.h"
#include "device/ports.h"
#include "sim/headset.h"

class DeviceRig : public QObject
{
    Q_OBJECT
public:
    DeviceRig();
    ~DeviceRig() override;

    // Made first: its constructor registers the types the spies need.
    Device* device = new Device;
    QThread* thread = new QThread;

    QSignalSpy connectionSpy{this, &DeviceRig::connection};
    QSignalSpy finishedSpy{this, &DeviceRig::finished};
    QSignalSpy infoSpy{this, &DeviceRig::info};
    QSignalSpy terminalSpy{this, &DeviceRig::terminal};
    QSignalSpy changeCaptureSpy{this, &DeviceRig::changeCapture};
    QSignalSpy dataSpy{this, &DeviceRig::updateDataTime};
    QSignalSpy speedSpy{this, &DeviceRig::updateSpeed};
    QSignalSpy skipSpy{this, &DeviceRig::updateSkipSamples};
    QSignalSpy startedSpy{this, &DeviceRig::captureStarted};
    QSignalSpy eventSpy{this, &DeviceRig::captureEvent};
    // The order in which the signals arrived: "connection", "capture", "started",
    // "event" and "data" (with the batch's size), as a receiver sees them.
    QStringList order;

    void start() { thread->start(); }
    // Asks the worker to end and waits for its thread, as the window's
    // destructor does (with a limit, so that a hang fails the test instead of
    // blocking it). Returns the time it took, or -1 on a time-out.
    qint64 stop(int timeoutMs = 5000);

    QStringList terminalLines() const;
    QStringList infoLines() const;
    bool hasTerminal(const QString& line) const { return terminalLines().contains(line); }
    // Processes events until the condition holds or the time is up.
    static bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
    bool waitForTerminal(const QString& line, int timeoutMs)
    {
        return waitUntil([&] { return hasTerminal(line); }, timeoutMs);
    }
    bool waitForConnection(bool value, int timeoutMs);

    // Every sample received so far, in order, over all batches.
    QVector<structSample> samples() const;
    QList<int> batchSizes() const;
    quint64 lastSkip() const;

signals:
    void connection(bool);
    void finished();
    void info(QString);
    void terminal(QString);
    void changeCapture(bool value);
    void updateDataTime(QVector<structSample>);
    void updateSpeed(quint32 TX, quint32 RX);
    void updateSkipSamples(quint64);
    void captureStarted(quint16 period);
    void captureEvent(quint64 sample, QString text);

private:
    bool stopped = false;
};

// A simulated headset whose port keeps one path across unplugging and
// returning, in a scratch directory of its own.
struct SimPort {
    explicit SimPort(sim::Options options = {});
    QTemporaryDir dir;
    std::unique_ptr<sim::Headset> headset;
    QString path;
    bool ok = false;
};

// Frames of one type that the headset received, in order.
std::vector<sim::Headset::Received> receivedOfType(const sim::Headset& headset, char type);
