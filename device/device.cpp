#include "device/device.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSerialPort>
#include <chrono>

#include "device/commands.h"
#include "device/ports.h"
#include "device/protocol.h"

namespace
{

// Pause between two failed searches.
constexpr int searchPauseMs = 3000;
// Waits for an answer to the identification request, and for each further
// chunk of a wireless receiver's relayed answer.
constexpr int probeWaitMs = 300;
// The longest the exchange blocks for input, and so the longest a request from
// the window waits to be taken when the line is quiet.
constexpr int readWaitMs = 100;
constexpr int writeWaitMs = 200;
// Speed reports and keep-alive frames.
constexpr int reportIntervalMs = 1000;

constexpr qint32 baudRate = 2000000;
constexpr double tickSeconds = 1.25e-7;
constexpr int batchSize = 64;

} // namespace

Device::Device(QObject* parent) : QObject(parent)
{
    task = taskNone;
    capturePeriod = 0;

    qRegisterMetaType<structSample>("structSample");
    qRegisterMetaType<structSample>("structData");
    qRegisterMetaType<QVector<structSample>>("QVector<structSample>");
    qRegisterMetaType<QVector<structSample>>("QVector<structData>");
    qRegisterMetaType<QVector<double>>("QVector<double>");
    registerCommandMetaTypes();

    time = 0;
    fftFill = 0;
    fftWindow = Rectangular;
    setFFTCount(256);
    txBytes = rxBytes = 0;
}

Device::~Device()
{
    // The owner deletes the device after waiting for its thread. Reading the
    // flag that start() sets last orders this destructor after everything the
    // worker did, in a way that race checkers can see (they cannot look inside
    // QThread::wait).
    (void)workerEnded.load(std::memory_order_acquire);
    releaseFFT();
}

void Device::terminate()
{
    {
        QMutexLocker locker(&mutex);
        task = taskTerminate;
    }
    {
        std::lock_guard<std::mutex> lock(pauseMutex);
        terminating = true;
    }
    pauseWake.notify_all();
}

void Device::setPort(QString port)
{
    {
        std::lock_guard<std::mutex> lock(portMutex);
        this->port = port;
    }
    qDebug() << "Device::setPort" << port;
}

int Device::takeTask()
{
    QMutexLocker locker(&mutex);
    const int taken = task;
    task = taskNone;
    return taken;
}

bool Device::stopRequested() const
{
    return terminating.load();
}

void Device::pause(int milliseconds)
{
    std::unique_lock<std::mutex> lock(pauseMutex);
    pauseWake.wait_for(lock, std::chrono::milliseconds(milliseconds),
                       [this] { return terminating.load(); });
}

void Device::start()
{
    serialPort = new QSerialPort;
    for (;;) {
        if (stopRequested()) {
            delete serialPort;
            serialPort = nullptr;
            workerEnded.store(true, std::memory_order_release);
            emit finished();
            return;
        }
        if (!searchDevice()) {
            pause(searchPauseMs);
            continue;
        }
        emit connection(true);
        runExchange();
        serialPort->close();
        qDebug().noquote() << serialPort->portName() + ": close";
        emit updateSpeed(0, 0);
        emit connection(false);
    }
}

bool Device::searchDevice()
{
    emit info(tr("Поиск устойства..."));
    emit terminal(tr("Поиск устойства..."));
    txBuffer = identificationFrame();

    QString chosen;
    {
        std::lock_guard<std::mutex> lock(portMutex);
        chosen = port;
    }
    if (!chosen.isEmpty()) {
        if (probePort(chosen))
            return true;
    } else {
        for (const QString& name : serialPortNames()) {
            if (stopRequested())
                return false;
            if (probePort(name))
                return true;
        }
    }
    emit info(tr("Устройство не найдено, проверьте подключение!"));
    emit terminal(tr("Устройство не найдено, проверьте подключение!"));
    return false;
}

bool Device::probePort(const QString& name)
{
    serialPort->setPortName(name);
    emit info(tr("Поиск на %1...").arg(name));
    emit terminal(tr("Поиск на %1...").arg(name));

    if (!serialPort->open(QIODevice::ReadWrite)) {
        qDebug().noquote() << name + ": open error";
        return false;
    }
    // A pseudo-terminal has no modem lines; the failure to clear them is
    // harmless and must not be mistaken for a lost port later.
    serialPort->setDataTerminalReady(false);
    serialPort->setRequestToSend(false);
    serialPort->setBaudRate(baudRate, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    serialPort->clearError();

    rxBuffer.clear();
    rxHead = 0;
    if (serialPort->write(txBuffer) <= 0) {
        emit terminal(tr("%1: ошибка записи").arg(name));
    } else {
        emit terminal(tr("%1 TX:%2").arg(name, protocol::hex(txBuffer)));
        if (!serialPort->waitForReadyRead(probeWaitMs)) {
            emit terminal(tr("%1: не отвечает").arg(name));
        } else {
            rxBuffer = serialPort->readAll();
            emit terminal(tr("%1 RX:%2").arg(name, protocol::hex(rxBuffer)));
            if (rxBuffer.contains(protocol::identification)) {
                emit info(tr("Устройство найдено на %1").arg(name));
                emit terminal(tr("Устройство найдено на %1").arg(name));
                return true;
            }
            // The first answer came from a wireless receiver; the headset's
            // own answer follows through it.
            while (!stopRequested() && serialPort->waitForReadyRead(probeWaitMs)) {
                rxBuffer += serialPort->readAll();
                emit terminal(tr("RF RX:%2").arg(protocol::hex(rxBuffer)));
                if (protocol::scanWirelessReply(rxBuffer)) {
                    emit info(tr("Беспроводное устройство найдено на %1").arg(name));
                    emit terminal(tr("Беспроводное устройство найдено на %1").arg(name));
                    return true;
                }
            }
        }
    }
    rxBuffer.clear();
    serialPort->close();
    qDebug().noquote() << name + ": close";
    return false;
}

bool Device::transmit()
{
    if (!serialPort->isOpen())
        return false;
    qDebug().noquote() << "TX:" + protocol::hex(txBuffer);
    if (serialPort->write(txBuffer) <= 0)
        return false;
    txBytes += quint32(txBuffer.size());
    return serialPort->waitForBytesWritten(writeWaitMs);
}

void Device::dropReceived()
{
    rxBuffer.clear();
    rxHead = 0;
}

// One taskRead step. Waits for input only when no complete frame is buffered,
// so that a burst of frames is parsed one per turn without a wait between
// them. Returns false when the port is gone.
bool Device::readStep()
{
    using protocol::Scan;
    protocol::ScanResult head =
        protocol::scanFrame(rxBuffer.constData() + rxHead, rxBuffer.size() - rxHead);
    if (head.status == Scan::NeedMore) {
        if (serialPort->bytesAvailable() == 0)
            serialPort->waitForReadyRead(readWaitMs);
        if (serialPort->error() == QSerialPort::ResourceError)
            return false; // unplugged: the read failed for good
        const qint64 available = serialPort->bytesAvailable();
        if (available > 0) {
            rxBuffer.remove(0, rxHead);
            rxHead = 0;
            const int old = rxBuffer.size();
            rxBuffer.resize(old + int(available));
            const qint64 got = serialPort->read(rxBuffer.data() + old, available);
            rxBuffer.resize(old + int(qMax<qint64>(got, 0)));
            rxBytes += quint32(qMax<qint64>(got, 0));
        }
        head = protocol::scanFrame(rxBuffer.constData() + rxHead, rxBuffer.size() - rxHead);
    }
    if (head.status == Scan::Invalid) {
        rxHead += head.length;
    } else if (head.status == Scan::Frame) {
        frameView.setRawData(rxBuffer.constData() + rxHead, uint(head.length));
        rxHead += head.length;
        dispatchFrame(frameView);
    }
    return true;
}

void Device::runExchange()
{
    QElapsedTimer speedTimer;
    QElapsedTimer keepAliveTimer;
    speedTimer.start();
    keepAliveTimer.start();
    batch.clear();
    {
        QMutexLocker locker(&mutex);
        task = taskNone;
    }
    serialPort->clearError();

    int step = taskRead;
    for (;;) {
        switch (step) {
        case taskRead:
            if (!readStep())
                return;
            break;
        case taskTerminate:
            qDebug() << "taskTerminate";
            {
                QMutexLocker locker(&mutex);
                task = taskTerminate;
            }
            txBuffer = captureStopFrame();
            transmit();
            return;
        case taskCaptureStart:
        case taskSendCommand:
        case taskCaptureStop:
        case taskLightStart:
        case taskLightStop:
        case taskSoundStart:
        case taskSoundStop:
            txBuffer = commandFrame(step);
            // A command that cannot be framed yields no frame: nothing is sent.
            if (!txBuffer.isEmpty() && !transmit())
                return;
            break;
        default:
            break;
        }

        int next = takeTask();
        // The reset at the start of the exchange, or a later request, may have
        // replaced a terminate request; it still ends the worker.
        if (next == taskNone && stopRequested())
            next = taskTerminate;
        if (speedTimer.elapsed() >= reportIntervalMs) {
            speedTimer.restart();
            emit updateSpeed(txBytes, rxBytes);
            txBytes = rxBytes = 0;
        }
        step = next == taskNone ? int(taskRead) : next;
        if (keepAliveTimer.elapsed() >= reportIntervalMs) {
            keepAliveTimer.restart();
            txBuffer = keepAliveFrame();
            if (!transmit())
                return;
        }
    }
}

void Device::dispatchFrame(const QByteArray& frame)
{
    const char* bytes = frame.constData();
    const int size = frame.size();
    switch (protocol::frameType(bytes, size)) {
    case protocol::typeCaptureStart: {
        const quint8 status = protocol::frameStatus(bytes, size);
        if (status == 0) {
            skipSamples = 0;
            packetCounter = 0;
            emit updateSkipSamples(0);
            fftFill = 0;
            time = 0;
            batch.clear();
            {
                QMutexLocker locker(&mutex);
                samplePeriod = capturePeriod;
            }
            updateFrequencies();
            emit terminal(tr("Запущен сбор данных"));
            emit changeCapture(true);
        } else {
            emit terminal(protocol::captureFaultText(status));
            emit changeCapture(false);
        }
        break;
    }
    case protocol::typeCaptureStop:
        emit terminal(tr("Остановлен сбор данных"));
        emit updateDataTime(batch);
        // Emitted samples must not go out again with the next batch.
        batch.clear();
        emit changeCapture(false);
        break;
    case protocol::typeData: {
        protocol::DataHalf half;
        if (protocol::decodeDataFrame(bytes, size, half) != protocol::DataError::None) {
            emit terminal(
                tr("Повреждённый пакет данных RX[%1]:%2").arg(size).arg(protocol::hex(frame)));
            break;
        }
        for (int k = 0; k < protocol::valuesPerHalf; ++k)
            currentSample.value[protocol::channelIndex(half.half, k)] = half.volts[k];
        if (half.half == 0)
            break;
        if (half.counter != packetCounter) {
            const quint16 lost = quint16(half.counter - packetCounter);
            packetCounter = half.counter;
            skipSamples += lost;
            emit updateSkipSamples(skipSamples);
            for (int i = 0; i < lost; ++i)
                deliverSample();
        }
        deliverSample();
        ++packetCounter;
        break;
    }
    case protocol::typeLightStart:
        if (protocol::frameStatus(bytes, size) != 0)
            emit terminal(tr("Стимуляция светом запущена"));
        else
            emit terminal(tr("Ошибка запуска cтимуляции светом, модуль отключен"));
        break;
    case protocol::typeLightStop:
        emit terminal(tr("Стимуляция светом остановлена"));
        break;
    case protocol::typeSoundStart:
        if (protocol::frameStatus(bytes, size) != 0)
            emit terminal(tr("Стимуляция звуком запущена"));
        else
            emit terminal(tr("Ошибка запуска cтимуляции звуком, модуль отключен"));
        break;
    case protocol::typeSoundStop:
        emit terminal(tr("Стимуляция звуком остановлена"));
        break;
    case protocol::typeKeepAlive:
        break;
    default:
        emit terminal(tr("Неизвестный пакет RX[%1]:%2").arg(size).arg(protocol::hex(frame)));
        // The stream is resynchronised on whatever arrives next.
        dropReceived();
        break;
    }
}

void Device::deliverSample()
{
    windowAndStore();
    time += samplePeriod * tickSeconds;
    currentSample.time = time;
    batch.append(currentSample);
    if (batch.size() >= batchSize) {
        emit updateDataTime(batch);
        batch.clear();
    }
    advanceAndTransform();
}
