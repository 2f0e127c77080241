// The worker thread's share of one core during a capture at the fastest rate
// (period 8800, 909 samples/s) with the longest spectrum block (N = 16384),
// against the simulated headset. Arguments: seconds of capture (default 40,
// which covers two blocks) and the window kind (default 8, Blackman-Harris,
// one of the dearest).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <pthread.h>

#include "device/device.h"
#include "sim/headset.h"

namespace
{

void runEventsFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool waitFor(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        runEventsFor(20);
    }
    return true;
}

double threadSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

double wallSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 40;
    const int kind = argc > 2 ? atoi(argv[2]) : BlackmanHarris;

    sim::Headset headset;
    std::string error;
    if (!headset.start(&error)) {
        std::fprintf(stderr, "headset: %s\n", error.c_str());
        return 1;
    }

    auto* device = new Device;
    device->setFFTCount(16384);
    device->setFFTWindow(FFTWindow(kind));
    auto* thread = new QThread;
    device->moveToThread(thread);

    // Runs in the worker thread before the device's start().
    std::atomic<bool> haveClock{false};
    clockid_t workerClock{};
    QObject::connect(
        thread, &QThread::started, thread,
        [&] {
            pthread_getcpuclockid(pthread_self(), &workerClock);
            haveClock = true;
        },
        Qt::DirectConnection);
    QObject::connect(thread, &QThread::started, device, &Device::start);
    QObject::connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);

    bool connected = false, capturing = false;
    long samples = 0, spectra = 0;
    QObject::connect(device, &Device::connection, &app, [&](bool on) { connected = on; });
    QObject::connect(device, &Device::changeCapture, &app, [&](bool on) { capturing = on; });
    QObject::connect(device, &Device::updateDataTime, &app,
                     [&](const QVector<structSample>& batch) { samples += batch.size(); });
    QObject::connect(device, &Device::updateDataFFT, &app,
                     [&](int, const QVector<double>&, const QVector<double>&) { ++spectra; });

    device->setPort(QString::fromStdString(headset.portPath()));
    thread->start();
    if (!waitFor([&] { return connected && haveClock; }, 10000)) {
        std::fprintf(stderr, "the device did not find the headset\n");
        return 1;
    }

    // Connected but idle: the keep-alive and the waits for input.
    double cpu0 = threadSeconds(workerClock), wall0 = wallSeconds();
    runEventsFor(3000);
    const double idleShare = (threadSeconds(workerClock) - cpu0) / (wallSeconds() - wall0);

    device->captureStart(8800);
    if (!waitFor([&] { return capturing; }, 5000)) {
        std::fprintf(stderr, "the capture did not start\n");
        return 1;
    }
    cpu0 = threadSeconds(workerClock);
    wall0 = wallSeconds();
    const long samples0 = samples;
    runEventsFor(seconds * 1000);
    const double cpu = threadSeconds(workerClock) - cpu0;
    const double wall = wallSeconds() - wall0;
    const long delivered = samples - samples0;
    device->captureStop();
    waitFor([&] { return !capturing; }, 5000);

    std::printf("window kind %d, N = 16384, period 8800 (909 samples/s)\n", kind);
    std::printf("idle (connected, no capture): %.2f %% of one core\n", idleShare * 100);
    std::printf("capture: %.1f s, %ld samples (%.1f/s), %ld spectra (%ld blocks)\n", wall,
                delivered, delivered / wall, spectra, spectra / 12);
    std::printf("worker thread: %.3f s CPU, %.2f %% of one core, %.1f us per sample\n", cpu,
                cpu / wall * 100, delivered ? cpu / delivered * 1e6 : 0.0);

    device->terminate();
    thread->wait();
    delete device;
    delete thread;
    headset.stop();
    return 0;
}
