// A Device in its own worker thread, wired like the main window wires it, talking
// to the simulated headset over a pseudo-terminal. Everything the device
// reports is collected in the test's (main) thread through queued signals.
#pragma once

#include <QObject>
#include <QStringList>
#include <QThread>
#include <QtTest>
#include <memory>

#include "device/device.h"
#include "sim/headset.h"

struct ReceivedSpectrum {
    int channel;
    QVector<double> freq;
    QVector<double> data;
    int samplesBefore; // samples received through updateDataTime when it arrived
};

class HeadsetRig : public QObject
{
public:
    explicit HeadsetRig(const sim::Options& options = deterministicOptions()) : headset(options) {}
    ~HeadsetRig() override
    {
        if (device) {
            device->terminate();
            thread->wait();
        }
        delete device;
        delete thread;
        headset.stop();
    }

    static sim::Options deterministicOptions()
    {
        sim::Options options;
        options.deterministic = true;
        return options;
    }

    // Starts the headset and the worker, and waits until the headset is found.
    bool connectDevice(int timeoutMs = 10000)
    {
        std::string error;
        if (!headset.start(&error)) {
            qWarning() << "headset:" << error.c_str();
            return false;
        }
        device = new Device;
        thread = new QThread;
        device->moveToThread(thread);
        connect(thread, &QThread::started, device, &Device::start);
        connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);
        connect(device, &Device::connection, this, [this](bool on) { connected = on; });
        connect(device, &Device::terminal, this, [this](const QString& line) { lines << line; });
        connect(device, &Device::changeCapture, this, [this](bool on) {
            capturing = on;
            ++captureChanges;
            if (on) {
                samples.clear();
                spectra.clear();
            }
        });
        connect(device, &Device::updateDataTime, this,
                [this](const QVector<structSample>& batch) { samples += batch; });
        connect(device, &Device::updateSkipSamples, this,
                [this](quint64 count) { skipSamples = count; });
        connect(device, &Device::updateDataFFT, this,
                [this](int channel, const QVector<double>& freq, const QVector<double>& data) {
                    spectra.append({channel, freq, data, samples.size()});
                });
        device->setPort(QString::fromStdString(headset.portPath()));
        thread->start();
        return QTest::qWaitFor([this] { return connected; }, timeoutMs);
    }

    bool startCapture(ushort period = 8800)
    {
        const int changes = captureChanges;
        device->captureStart(period);
        return QTest::qWaitFor([&] { return captureChanges > changes; }, 5000) && capturing;
    }

    // Stops the capture; the stop reply also brings the samples of the last,
    // partial batch.
    bool stopCapture()
    {
        const int changes = captureChanges;
        device->captureStop();
        return QTest::qWaitFor([&] { return captureChanges > changes; }, 5000) && !capturing;
    }

    bool waitForLine(const QString& line, int timeoutMs = 3000)
    {
        return QTest::qWaitFor([&] { return lines.contains(line); }, timeoutMs);
    }

    sim::Headset headset;
    Device* device = nullptr;
    QThread* thread = nullptr;

    bool connected = false;
    bool capturing = false;
    int captureChanges = 0;
    QStringList lines;
    QVector<structSample> samples;
    QVector<ReceivedSpectrum> spectra;
    quint64 skipSamples = 0;
};
