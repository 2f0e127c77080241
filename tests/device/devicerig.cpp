#include "devicerig.h"

DeviceRig::DeviceRig()
{
    device->moveToThread(thread);
    connect(thread, &QThread::started, device, &Device::start);
    connect(device, &Device::finished, thread, &QThread::quit, Qt::DirectConnection);

    connect(device, &Device::connection, this, &DeviceRig::connection);
    connect(device, &Device::finished, this, &DeviceRig::finished);
    connect(device, &Device::info, this, &DeviceRig::info);
    connect(device, &Device::terminal, this, &DeviceRig::terminal);
    connect(device, &Device::changeCapture, this, &DeviceRig::changeCapture);
    connect(device, &Device::updateDataTime, this, &DeviceRig::updateDataTime);
    connect(device, &Device::updateSpeed, this, &DeviceRig::updateSpeed);
    connect(device, &Device::updateSkipSamples, this, &DeviceRig::updateSkipSamples);
    connect(device, &Device::captureStarted, this, &DeviceRig::captureStarted);
    connect(device, &Device::captureEvent, this, &DeviceRig::captureEvent);

    connect(this, &DeviceRig::connection, this,
            [this](bool on) { order << QStringLiteral("connection %1").arg(on); });
    connect(this, &DeviceRig::changeCapture, this,
            [this](bool on) { order << QStringLiteral("capture %1").arg(on); });
    connect(this, &DeviceRig::captureStarted, this,
            [this](quint16 period) { order << QStringLiteral("started %1").arg(period); });
    connect(this, &DeviceRig::captureEvent, this, [this](quint64 sample, const QString& text) {
        order << QStringLiteral("event %1 %2").arg(sample).arg(text);
    });
    connect(this, &DeviceRig::updateDataTime, this, [this](const QVector<structSample>& batch) {
        order << QStringLiteral("data %1").arg(batch.size());
    });
}

DeviceRig::~DeviceRig()
{
    if (thread->isRunning())
        stop();
    delete thread;
    delete device;
    setSerialPortSource({});
}

qint64 DeviceRig::stop(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    device->terminate();
    if (!thread->wait(timeoutMs))
        return -1;
    const qint64 took = clock.elapsed();
    // Deliver what the worker emitted last.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    return took;
}

QStringList DeviceRig::terminalLines() const
{
    QStringList lines;
    for (const QList<QVariant>& args : terminalSpy)
        lines << args.at(0).toString();
    return lines;
}

QStringList DeviceRig::infoLines() const
{
    QStringList lines;
    for (const QList<QVariant>& args : infoSpy)
        lines << args.at(0).toString();
    return lines;
}

bool DeviceRig::waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(5);
    }
    return true;
}

bool DeviceRig::waitForConnection(bool value, int timeoutMs)
{
    return waitUntil(
        [&] {
            for (const QList<QVariant>& args : connectionSpy)
                if (args.at(0).toBool() == value)
                    return true;
            return false;
        },
        timeoutMs);
}

QVector<structSample> DeviceRig::samples() const
{
    QVector<structSample> all;
    for (const QList<QVariant>& args : dataSpy)
        all += args.at(0).value<QVector<structSample>>();
    return all;
}

QList<int> DeviceRig::batchSizes() const
{
    QList<int> sizes;
    for (const QList<QVariant>& args : dataSpy)
        sizes << args.at(0).value<QVector<structSample>>().size();
    return sizes;
}

quint64 DeviceRig::lastSkip() const
{
    return skipSpy.isEmpty() ? 0 : skipSpy.last().at(0).value<quint64>();
}

SimPort::SimPort(sim::Options options)
{
    path = dir.path() + QStringLiteral("/headset");
    options.linkPath = path.toStdString();
    headset = std::make_unique<sim::Headset>(options);
    std::string error;
    ok = headset->start(&error);
    if (!ok)
        qWarning("simulated headset: %s", error.c_str());
}

std::vector<sim::Headset::Received> receivedOfType(const sim::Headset& headset, char type)
{
    std::vector<sim::Headset::Received> frames;
    for (const sim::Headset::Received& r : headset.received())
        if (r.frame.size() > 1 && char(r.frame[1]) == type)
            frames.push_back(r);
    return frames;
}
