// Decode throughput of the device worker, and the cost of parsing one frame.
//
// Throughput: the worker runs in its own thread as in the program, its samples
// reach a receiver in the main thread through queued signals, and the
// simulated headset streams as fast as the link allows through a real
// pseudo-terminal, in 4 KiB bursts and then one byte per write. A last run
// feeds pre-built frames one byte per write() from a thread of this program,
// without the simulator's pacing between bursts. Each run reports the samples
// decoded per second (and as a multiple of the headset's 909 samples/s), the
// samples lost, and the backlog (sent but not yet decoded) at the start and the
// end of the measured interval.
//
// Usage: bench_device [seconds per run, default 3]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "device/device.h"
#include "device/protocol.h"
#include "sim/headset.h"

namespace
{

constexpr double headsetMaximum = 8000000.0 / 8800.0; // samples per second

QByteArray dataPair(quint16 counter)
{
    QByteArray pair;
    for (int half = 0; half < 2; ++half) {
        QByteArray f(protocol::dataFrameSize, '\0');
        f[0] = char(protocol::dataFrameSize);
        f[1] = 'D';
        f[2] = char(half);
        f[3] = char(counter & 0xFF);
        f[4] = char(counter >> 8);
        for (int k = 0; k < 18; ++k)
            f[5 + k] = char((counter * 7 + k * 13 + half) & 0xFF);
        pair += f;
    }
    return pair;
}

void parseCost()
{
    constexpr int pairs = 100000;
    QByteArray stream;
    stream.reserve(pairs * 46);
    for (int i = 0; i < pairs; ++i)
        stream += dataPair(quint16(i));

    structSample sample{};
    double checksum = 0;
    QElapsedTimer clock;
    constexpr int rounds = 20;
    clock.start();
    for (int round = 0; round < rounds; ++round) {
        int at = 0;
        for (;;) {
            const protocol::ScanResult head =
                protocol::scanFrame(stream.constData() + at, stream.size() - at);
            if (head.status != protocol::Scan::Frame)
                break;
            protocol::DataHalf half;
            if (protocol::decodeDataFrame(stream.constData() + at, head.length, half) ==
                protocol::DataError::None) {
                for (int k = 0; k < protocol::valuesPerHalf; ++k)
                    sample.value[protocol::channelIndex(half.half, k)] = half.volts[k];
                checksum += sample.value[half.half];
            }
            at += head.length;
        }
    }
    const double ns = double(clock.nsecsElapsed()) / (double(rounds) * pairs * 2);
    std::printf("parse: %.1f ns per frame (frame boundary and \"D\" decoding; checksum %g)\n", ns,
                checksum);

    // The whole byte-level path of a sample: both frames found and decoded,
    // paired, and the sample placed at its index by counter and clock.
    struct Sum : protocol::SampleStream::Listener {
        double checksum = 0;
        quint64 samples = 0;
        void sample(const double* values, uint64_t, uint64_t) override
        {
            checksum += values[0];
            ++samples;
        }
        void fault(protocol::SampleStream::Fault, uint16_t, uint16_t) override {}
    } sum;
    constexpr double period = 8800 * 1.25e-7;
    clock.restart();
    for (int round = 0; round < rounds; ++round) {
        protocol::SampleStream samples;
        samples.start(0, period);
        int at = 0;
        int frame = 0;
        for (;;) {
            const protocol::ScanResult head =
                protocol::scanFrame(stream.constData() + at, stream.size() - at, false, true);
            if (head.status != protocol::Scan::Frame)
                break;
            protocol::DataHalf half;
            if (protocol::decodeDataFrame(stream.constData() + at, head.length, half) ==
                protocol::DataError::None)
                samples.half(half, (frame / 2 + 1) * period, sum);
            at += head.length;
            ++frame;
        }
    }
    std::printf("decode path: %.1f ns per sample (frames, halves paired, index by counter and "
                "clock; %llu samples, checksum %g)\n",
                double(clock.nsecsElapsed()) / (double(rounds) * pairs),
                (unsigned long long)sum.samples, sum.checksum);
}

// Counts what the worker reports, in the main thread.
struct Receiver : QObject {
    quint64 samples = 0;
    quint64 skipped = 0;
    bool capturing = false;
};

// Writes a continuous stream of sample pairs to a pty master one byte per
// write(), as fast as the reader takes them.
class ByteFeeder
{
public:
    bool open()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return false;
        path = QString::fromLocal8Bit(::ptsname(master));
        return true;
    }
    void start()
    {
        worker = std::thread([this] {
            // Answer the identification request, then stream once asked to.
            char in[64];
            quint16 counter = 0;
            bool streaming = false;
            QByteArray pending;
            int at = 0;
            while (!stopping) {
                if (!streaming) {
                    const ssize_t n = ::read(master, in, sizeof in);
                    if (n <= 0)
                        continue;
                    const QByteArray got(in, int(n));
                    if (got.contains('?'))
                        writeAll(QByteArray("\x10?VolmaHeadsetRF", 16));
                    if (got.contains('!')) {
                        writeAll(QByteArray("\x03!\x00", 3));
                        streaming = true;
                    }
                    continue;
                }
                if (at == pending.size()) {
                    pending = dataPair(counter++);
                    at = 0;
                }
                if (::write(master, pending.constData() + at, 1) == 1) {
                    ++at;
                    if (at == pending.size())
                        ++pairs;
                }
            }
        });
    }
    void stop()
    {
        stopping = true;
        if (worker.joinable())
            worker.join();
        ::close(master);
    }
    QString path;
    std::atomic<quint64> pairs{0};

private:
    void writeAll(const QByteArray& bytes)
    {
        for (char b : bytes)
            while (::write(master, &b, 1) != 1 && !stopping) {
            }
    }
    int master = -1;
    std::thread worker;
    std::atomic<bool> stopping{false};
};

// The same one-byte writes read by a bare read() loop: what the link itself
// carries when fed this way, whoever reads it.
void byteWriteBaseline(int seconds)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return;
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    std::atomic<bool> stopping{false};
    std::thread reader([&] {
        char buffer[65536];
        while (!stopping)
            (void)::read(slave, buffer, sizeof buffer);
    });
    const char byte = 'D';
    quint64 written = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000)
        written += ::write(master, &byte, 1) == 1;
    const double elapsed = clock.nsecsElapsed() / 1e9;
    stopping = true;
    (void)::write(master, &byte, 1);
    reader.join();
    ::close(slave);
    ::close(master);
    const double rate = written / elapsed / 46.0;
    std::printf("baseline, one byte per write() read by a bare read() loop: %.0f samples/s = "
                "%.1f x 909/s\n",
                rate, rate / headsetMaximum);
}

void throughput(const char* name, const QString& port, const std::function<quint64()>& sent,
                int seconds)
{
    Device* device = new Device;
    QThread* thread = new QThread;
    Receiver receiver;
    device->moveToThread(thread);
    QObject::connect(thread, &QThread::started, device, &Device::start);
    QObject::connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);
    QObject::connect(device, &Device::updateDataTime, &receiver,
                     [&](const QVector<structSample>& batch) { receiver.samples += batch.size(); });
    QObject::connect(device, &Device::updateSkipSamples, &receiver,
                     [&](quint64 skipped) { receiver.skipped = skipped; });
    QObject::connect(device, &Device::changeCapture, &receiver,
                     [&](bool on) { receiver.capturing = on; });
    device->setPort(port);
    thread->start();

    auto runFor = [](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    QElapsedTimer waited;
    waited.start();
    while (!receiver.capturing && waited.elapsed() < 5000) {
        device->captureStart(8800);
        runFor(300);
    }
    if (!receiver.capturing) {
        std::printf("%s: capture did not start\n", name);
    } else {
        runFor(1000); // warm-up
        const quint64 decoded0 = receiver.samples;
        const quint64 sent0 = sent();
        QElapsedTimer clock;
        clock.start();
        runFor(seconds * 1000);
        const double elapsed = clock.nsecsElapsed() / 1e9;
        const quint64 decoded1 = receiver.samples;
        const quint64 sent1 = sent();
        const double rate = double(decoded1 - decoded0) / elapsed;
        std::printf("%s: %.0f samples/s decoded = %.1f x 909/s; lost %llu; backlog %lld -> %lld "
                    "samples\n",
                    name, rate, rate / headsetMaximum, (unsigned long long)receiver.skipped,
                    (long long)(sent0 - decoded0), (long long)(sent1 - decoded1));
    }
    device->terminate();
    thread->wait();
    delete thread;
    delete device;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    qSetMessagePattern("");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    parseCost();

    for (size_t burst : {size_t(4096), size_t(1)}) {
        sim::Options options;
        options.fast = true;
        options.burstSize = burst;
        sim::Headset headset(options);
        std::string error;
        if (!headset.start(&error)) {
            std::printf("simulator: %s\n", error.c_str());
            return 1;
        }
        const QByteArray name = burst == 1 ? "simulator, byte by byte" : "simulator, 4 KiB bursts";
        throughput(
            name.constData(), QString::fromStdString(headset.portPath()),
            [&] { return quint64(headset.pairsSent()); }, seconds);
        headset.stop();
    }

    byteWriteBaseline(seconds);
    ByteFeeder feeder;
    if (feeder.open()) {
        feeder.start();
        throughput(
            "own feeder, one byte per write()", feeder.path, [&] { return feeder.pairs.load(); },
            seconds);
        feeder.stop();
    }
    return 0;
}
