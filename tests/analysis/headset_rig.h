// A Device in its own worker thread, wired like the main window wires it, talking
// to the simulated headset over a pseudo-terminal. Everything the device
// reports is collected in the test's (main) thread through queued signals.
#pragma once

#include <QObject>
#include <QStringList>
#include <QThread>
#include <QtTest>
#include <atomic>
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
            // Orders everything the worker did before finished() before the
            // deletes below, in a way ThreadSanitizer sees (QThread::wait
            // orders it inside Qt, where the sanitizer cannot look).
            while (!workerEnded.load(std::memory_order_acquire))
                QThread::yieldCurrentThread();
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
        connect(
            device, &Device::finished, device,
            [this] { workerEnded.store(true, std::memory_order_release); }, Qt::DirectConnection);
        receive(&Device::connection, [this](bool on) { connected = on; });
        receive(&Device::terminal, [this](const QString& line) { lines << line; });
        receive(&Device::changeCapture, [this](bool on) {
            capturing = on;
            ++captureChanges;
            if (on) {
                samples.clear();
                spectra.clear();
            }
        });
        receive(&Device::updateDataTime,
                [this](const QVector<structSample>& batch) { samples += batch; });
        receive(&Device::updateSkipSamples, [this](quint64 count) { skipSamples = count; });
        receive(&Device::updateDataFFT,
                [this](int channel, const QVector<double>& freq, const QVector<double>& data) {
                    spectra.append({channel, freq, data, samples.size()});
                });
        device->setPort(QString::fromStdString(headset.portPath()));
        thread->start();
        return QTest::qWaitFor([this] { return connected; }, timeoutMs);
    }

    // Receives a signal queued in this (the test's) thread. Qt hands the
    // arguments over inside its event queue, where ThreadSanitizer cannot see
    // the ordering; the counter states it: released in the worker as the
    // signal is emitted, acquired here before the arguments are read.
    template <typename Signal, typename Slot> void receive(Signal signal, Slot slot)
    {
        connect(
            device, signal, device,
            [this](auto&&...) { handOver.fetch_add(1, std::memory_order_release); },
            Qt::DirectConnection);
        connect(device, signal, this, [this, slot](auto&&... args) {
            handOver.load(std::memory_order_acquire);
            slot(args...);
        });
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
    std::atomic<bool> workerEnded{false};
    std::atomic<unsigned> handOver{0};

    bool connected = false;
    bool capturing = false;
    int captureChanges = 0;
    QStringList lines;
    QVector<structSample> samples;
    QVector<ReceivedSpectrum> spectra;
    quint64 skipSamples = 0;
};
