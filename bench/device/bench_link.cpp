// Figures of the link under faults.
//
// On the byte-level path with a virtual clock (the test's stream damager and
// its oracle): every kind of damage at 4 faults a second for 60 s at 909
// samples/s, outages of 70,000 and 200,000 samples, and one repeated pair
// after 8 hours: samples lost per fault, made up, shifted, extra, missing.
//
// Through the simulated headset on a real pseudo-terminal and the device
// worker in its own thread, as in the program:
//
// - line noise: a byte inserted, left out or flipped in either half every
//   0.25 s (one kind per run), the output delivered in 100-byte bursts, at
//   909 samples/s: samples lost per fault, samples made up or shifted,
//   spurious capture state changes;
// - one corrupted counter (a high and a low bit flipped, in separate runs):
//   samples made up, and how far later samples are shifted in time;
// - a chatty port (a line of text every 100 ms) listed before the headset:
//   the time until the headset is found.
//
// Usage: bench_link [seconds of line noise, default 60]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QThread>
#include <cstdio>

#include "device/device.h"
#include "device/ports.h"
#include "sim/headset.h"
#include "tests/device/linkdamage.h"

namespace
{

constexpr quint16 period = 8800; // 909 samples/s

struct Run {
    QVector<structSample> samples;
    int captureChanges = 0;
    int starts = 0;
    quint64 skipped = 0;
    bool connected = false;
    qint64 connectedAfterMs = -1;
    QStringList terminal;
};

void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

template <typename Condition> bool pumpUntil(Condition condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Connects a worker to `port` (or searches the port list when empty), and runs
// `body` while it is connected.
template <typename Body> Run withDevice(const QString& port, Body body)
{
    Run run;
    auto* device = new Device;
    auto* thread = new QThread;
    QObject receiver;
    device->moveToThread(thread);
    QObject::connect(thread, &QThread::started, device, &Device::start);
    QObject::connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);
    QObject::connect(device, &Device::updateDataTime, &receiver,
                     [&](const QVector<structSample>& batch) { run.samples += batch; });
    QObject::connect(device, &Device::changeCapture, &receiver,
                     [&](bool) { ++run.captureChanges; });
    QObject::connect(device, &Device::captureStarted, &receiver, [&](quint16) { ++run.starts; });
    QObject::connect(device, &Device::updateSkipSamples, &receiver,
                     [&](quint64 n) { run.skipped = n; });
    QObject::connect(device, &Device::terminal, &receiver,
                     [&](const QString& line) { run.terminal << line; });
    QElapsedTimer clock;
    QObject::connect(device, &Device::connection, &receiver, [&](bool on) {
        if (on && !run.connected)
            run.connectedAfterMs = clock.elapsed();
        run.connected = run.connected || on;
    });
    device->setPort(port);
    clock.start();
    thread->start();
    if (pumpUntil([&] { return run.connected; }, 20000))
        body(device, run);
    device->terminate();
    thread->wait();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    delete thread;
    delete device;
    return run;
}

bool capture(Device* device, Run& run, int ms)
{
    device->captureStart(period);
    if (!pumpUntil([&] { return run.captureChanges > 0; }, 3000))
        return false;
    pump(ms);
    device->captureStop();
    return pumpUntil([&] { return run.captureChanges > 1; }, 3000);
}

QByteArray key(const structSample& s)
{
    return QByteArray(reinterpret_cast<const char*>(s.value), sizeof s.value);
}

// Where each delivered sample belongs: the index of the sent sample it carries
// (-1 for one that carries none, e.g. damaged by noise or a copy).
struct Placement {
    quint64 intact = 0;    // carries its own sample
    quint64 elsewhere = 0; // carries a sample sent at another place
    qint64 maxShift = 0;   // the largest distance of such a sample from its place
};

Placement place(const QVector<structSample>& samples, quint64 sent)
{
    QHash<QByteArray, qint64> index;
    structSample s{};
    for (quint64 i = 0; i < sent; ++i) {
        for (int c = 0; c < channelCount; ++c)
            s.value[c] = sim::Headset::countsToVolts(sim::Headset::sampleCounts(c + 1, i, period));
        index.insert(key(s), qint64(i));
    }
    Placement p;
    for (int i = 0; i < samples.size(); ++i) {
        const qint64 j = index.value(key(samples[i]), -1);
        if (j == i) {
            ++p.intact;
        } else if (j >= 0) {
            // A copy filling a loss carries the sample after the gap; only
            // count samples whose neighbours show they are not such copies.
            const bool copy = i + 1 < samples.size() && key(samples[i + 1]) == key(samples[i]);
            if (!copy) {
                ++p.elsewhere;
                p.maxShift = std::max(p.maxShift, std::abs(qint64(i) - j));
            }
        }
    }
    return p;
}

void lineNoise(int seconds, const char* kind, unsigned sim::Options::*every)
{
    sim::Options options;
    options.deterministic = true;
    options.burstSize = 100;
    options.*every = 250;
    sim::Headset headset(options);
    if (!headset.start())
        return;
    bool ok = false;
    Run run = withDevice(QString::fromStdString(headset.portPath()),
                         [&](Device* device, Run& r) { ok = capture(device, r, seconds * 1000); });
    if (!ok) {
        std::printf("line noise: capture did not run\n");
        return;
    }
    const quint64 sent = headset.pairsSent();
    const quint64 stray = headset.bytesDamaged();
    const Placement p = place(run.samples, sent);
    const quint64 delivered = quint64(run.samples.size());
    std::printf("line noise through the worker, %d s at 909/s, %s in either half every 0.25 s, "
                "100-byte bursts:\n"
                "  %llu pairs sent, %llu samples delivered, %llu damaged frames\n"
                "  samples lost or damaged: %llu = %.2f per fault (of them filled as lost: "
                "%llu)\n"
                "  extra samples: %lld; carried at a wrong place: %llu\n"
                "  capture state changes: %d (2 = start and stop); capture starts: %d\n"
                "  terminal lines about skipped bytes: %d\n",
                seconds, kind, (unsigned long long)sent, (unsigned long long)delivered,
                (unsigned long long)stray, (unsigned long long)(sent - p.intact),
                stray ? double(sent - p.intact) / double(stray) : 0.0,
                (unsigned long long)run.skipped, (long long)delivered - (long long)sent,
                (unsigned long long)p.elsewhere, run.captureChanges, run.starts,
                int(run.terminal.filter(QStringLiteral(" RX[")).size()));
}

void corruptedCounter(quint16 mask)
{
    sim::Options options;
    options.deterministic = true;
    options.corruptPair = 2000;
    options.corruptMask = mask;
    sim::Headset headset(options);
    if (!headset.start())
        return;
    bool ok = false;
    Run run = withDevice(QString::fromStdString(headset.portPath()),
                         [&](Device* device, Run& r) { ok = capture(device, r, 5000); });
    if (!ok) {
        std::printf("corrupted counter: capture did not run\n");
        return;
    }
    const quint64 sent = headset.pairsSent();
    const Placement p = place(run.samples, sent);
    std::printf("one corrupted counter (XOR %04X at pair 2000 of %llu): samples made up %lld, "
                "filled as lost %llu, later samples shifted by up to %lld, intact %llu\n",
                mask, (unsigned long long)sent, (long long)run.samples.size() - (long long)sent,
                (unsigned long long)run.skipped, (long long)p.maxShift,
                (unsigned long long)p.intact);
}

void chattyPort()
{
    sim::Options chattyOptions;
    chattyOptions.chatty = true;
    sim::Headset chatty(chattyOptions);
    sim::Headset good;
    if (!chatty.start() || !good.start())
        return;
    const QStringList ports = {QString::fromStdString(chatty.portPath()),
                               QString::fromStdString(good.portPath())};
    setSerialPortSource([ports] { return ports; });
    Run run = withDevice(QString(), [](Device*, Run&) {});
    setSerialPortSource({});
    if (run.connectedAfterMs < 0)
        std::printf("chatty port first: the headset was not found within 20 s\n");
    else
        std::printf("chatty port first: the headset was found after %.2f s\n",
                    run.connectedAfterMs / 1000.0);
}

// Every kind of damage on the byte-level path, on a virtual clock, checked
// sample by sample against the truth.
void damageTable()
{
    std::printf("damage on the byte-level path, 60 s at 909/s, 4 faults/s in either half, pairs "
                "in bursts of 1-8:\n"
                "  %-20s %7s %7s %8s %7s %5s %7s %7s %9s\n",
                "damage", "faults", "lost", "per fault", "made-up", "shift", "extra", "missing",
                "made");
    for (linktest::Damage kind : linktest::everyDamage) {
        if (kind == linktest::Damage::Outage)
            continue;
        linktest::DamagePlan plan;
        plan.samples = 60 * 909;
        plan.kind = kind;
        plan.maxBurstPairs = 8;
        plan.seed = uint32_t(kind) + 7;
        const linktest::LinkResult r = linktest::runLink(plan);
        std::printf(
            "  %-20s %7llu %7llu %8.2f %7llu %5llu %7llu %7llu %9llu\n", linktest::damageName(kind),
            (unsigned long long)r.faults, (unsigned long long)r.oracle.copies,
            r.faults ? double(r.oracle.copies) / double(r.faults) : 0.0,
            (unsigned long long)r.oracle.madeUp,
            (unsigned long long)(r.oracle.shifted + r.oracle.misplaced),
            (unsigned long long)r.extra, (unsigned long long)r.missing, (unsigned long long)r.made);
    }
    for (quint64 outage : {quint64(70000), quint64(200000)}) {
        linktest::DamagePlan plan;
        plan.samples = outage + 20000;
        plan.outage = outage;
        plan.at = {{10000, linktest::Damage::Outage}};
        const linktest::LinkResult r = linktest::runLink(plan);
        std::printf("  outage of %llu samples: filled %llu in %llu run(s); made-up %llu, shifted "
                    "%llu, extra %llu, missing %llu\n",
                    (unsigned long long)outage, (unsigned long long)r.oracle.copies,
                    (unsigned long long)r.oracle.fills, (unsigned long long)r.oracle.madeUp,
                    (unsigned long long)(r.oracle.shifted + r.oracle.misplaced),
                    (unsigned long long)r.extra, (unsigned long long)r.missing);
    }
    linktest::DamagePlan plan;
    plan.samples = quint64(8 * 3600 * 909.09);
    plan.at = {{plan.samples - 1000, linktest::Damage::RepeatPair}};
    const linktest::LinkResult r = linktest::runLink(plan);
    std::printf("  after 8 h at 909/s, one repeated pair: samples fabricated %llu (faults reported "
                "%llu), made-up %llu, shifted %llu\n",
                (unsigned long long)r.oracle.copies, (unsigned long long)r.oracle.faultsSeen,
                (unsigned long long)r.oracle.madeUp,
                (unsigned long long)(r.oracle.shifted + r.oracle.misplaced));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    damageTable();
    chattyPort();
    corruptedCounter(0x0100);
    corruptedCounter(0x0004);
    corruptedCounter(0x8000);
    lineNoise(seconds, "a byte inserted", &sim::Options::insertEveryMs);
    lineNoise(seconds, "a byte left out", &sim::Options::omitEveryMs);
    lineNoise(seconds, "a bit flipped", &sim::Options::flipEveryMs);
    return 0;
}
