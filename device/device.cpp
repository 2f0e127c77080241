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

// Every probe ends within this time, however the port answers, so that a
// chatty or slow port cannot keep the search from the others.
constexpr int probeDeadlineMs = 2000;
// More than an identification exchange ever needs: a port that sends this much
// without identifying itself is not a headset.
constexpr int probeBufferLimit = 4096;
// Skipped bytes shown in one terminal line, and the most skipped before a line
// is written even though no frame has been found yet.
constexpr int skippedShown = 64;
constexpr int skippedReportEvery = 1024;
// How long a request sent to the headset waits for its reply; a reply after
// that, or without a request, is not taken as one.
constexpr double replyWaitSeconds = 3.0;
// The least time between two capture stops sent for data nobody asked for.
constexpr double ownStopIntervalSeconds = 1.0;

constexpr qint32 baudRate = 2000000;

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
    if (task != taskNone) { // a terminate request goes before anything queued
        const int taken = task;
        task = taskNone;
        return taken;
    }
    if (requests.isEmpty())
        return taskNone;
    // The request's parameters become the ones commandFrame sends.
    const Request r = requests.takeFirst();
    capturePeriod = r.period;
    commandBytes = r.bytes;
    commandText = r.text;
    lightParam = r.light;
    soundParam = r.sound;
    return r.task;
}

void Device::request(Request r)
{
    QMutexLocker lock(&mutex);
    // Requests wait in turn, so that a stop never replaces a light stop made
    // just before it. A queue this long means the exchange is stuck: the
    // oldest requests go first.
    if (requests.size() >= maxRequests)
        requests.removeFirst();
    requests.append(std::move(r));
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
        {
            // Requests made before the headset was found are stale; one made
            // once the window knows of it is kept.
            QMutexLocker locker(&mutex);
            if (task != taskTerminate)
                task = taskNone;
            requests.clear();
        }
        emit connection(true);
        runExchange();
        // What arrived before the link was lost goes out before the loss is
        // reported.
        flushCaptureData();
        if (capturing) {
            capturing = false;
            emit captureEvent(captureSamples, tr("Связь потеряна"));
        }
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
    QElapsedTimer deadline;
    deadline.start();
    auto waitMs = [&] {
        return int(qBound<qint64>(0, probeDeadlineMs - deadline.elapsed(), probeWaitMs));
    };
    if (serialPort->write(txBuffer) <= 0) {
        emit terminal(tr("%1: ошибка записи").arg(name));
    } else {
        emit terminal(tr("%1 TX:%2").arg(name, protocol::hex(txBuffer)));
        if (!serialPort->waitForReadyRead(probeWaitMs)) {
            emit terminal(tr("%1: не отвечает").arg(name));
        } else {
            rxBuffer = serialPort->readAll();
            emit terminal(tr("%1 RX:%2").arg(name, protocol::hex(rxBuffer)));
            for (;;) {
                const protocol::IdentifyResult id =
                    protocol::scanIdentification(rxBuffer.constData(), rxBuffer.size());
                if (id.kind == protocol::Identified::Wired) {
                    // The answer is taken here; what came after it is the
                    // exchange's.
                    rxBuffer.remove(0, id.end);
                    emit info(tr("Устройство найдено на %1").arg(name));
                    emit terminal(tr("Устройство найдено на %1").arg(name));
                    return true;
                }
                if (id.kind == protocol::Identified::Wireless) {
                    rxBuffer.remove(0, id.end);
                    emit info(tr("Беспроводное устройство найдено на %1").arg(name));
                    emit terminal(tr("Беспроводное устройство найдено на %1").arg(name));
                    return true;
                }
                // The rest of the answer, within the probe's time.
                if (stopRequested() || rxBuffer.size() > probeBufferLimit || waitMs() <= 0 ||
                    !serialPort->waitForReadyRead(waitMs()))
                    break;
                rxBuffer += serialPort->readAll();
                if (id.receiverAnswered)
                    emit terminal(tr("RF RX:%2").arg(protocol::hex(rxBuffer)));
                else
                    emit terminal(tr("%1 RX:%2").arg(name, protocol::hex(rxBuffer)));
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

double Device::linkSeconds() const
{
    return double(linkClock.nsecsElapsed()) * 1e-9;
}

bool Device::pending(double since) const
{
    return since >= 0 && linkSeconds() - since <= replyWaitSeconds;
}

// Skipped bytes are shown once the stream is back in step (or the line has
// gone quiet), as one line for the whole run rather than a line per byte. A run
// that begins like a data frame is shown as a damaged one.
void Device::reportSkipped()
{
    if (skippedCount == 0)
        return;
    QString shown = protocol::hex(skipped);
    if (skippedCount > skipped.size())
        shown += QStringLiteral("…");
    const QString text =
        skipped.size() > 1 && skipped.at(1) == protocol::typeData
            ? tr("Повреждённый пакет данных RX[%1]:%2").arg(skippedCount).arg(shown)
            : tr("Неизвестный пакет RX[%1]:%2").arg(skippedCount).arg(shown);
    if (capturing) {
        // The bytes are what went wrong; a half they cut off from its partner
        // only follows from them.
        if (faultRunLoneHalf)
            faultRun.clear();
        noteFault(text);
    } else {
        emit terminal(text);
    }
    skipped.clear();
    skippedCount = 0;
}

// One taskRead step. Waits for input only when no complete frame is buffered,
// so that a burst of frames is parsed one per turn without a wait between
// them. Returns false when the port is gone.
bool Device::readStep()
{
    using protocol::Scan;
    protocol::ScanResult head =
        protocol::scanFrame(rxBuffer.constData() + rxHead, rxBuffer.size() - rxHead, resyncing);
    if (head.status == Scan::NeedMore) {
        bool quiet = false;
        if (serialPort->bytesAvailable() == 0) {
            // A part batch must not wait longer than its time; only a full
            // wait without input counts as a pause of the line.
            int waitMs = readWaitMs;
            if (!batch.isEmpty())
                waitMs = int(qBound(0.0, (batchSince + batchMaxSeconds - linkSeconds()) * 1000 + 1,
                                    double(readWaitMs)));
            quiet = !serialPort->waitForReadyRead(waitMs) && waitMs == readWaitMs;
        }
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
        head = protocol::scanFrame(rxBuffer.constData() + rxHead, rxBuffer.size() - rxHead,
                                   resyncing, quiet);
        if (quiet && head.status == Scan::NeedMore && head.skip == 0) {
            reportSkipped();
            endFaultRun();
        }
    }
    if (head.skip > 0) {
        const int keep = qMin(head.skip, skippedShown - skipped.size());
        if (keep > 0)
            skipped.append(rxBuffer.constData() + rxHead, keep);
        skippedCount += head.skip;
        rxHead += head.skip;
        resyncing = true;
        if (capturing)
            stream.interrupted(streamOutput);
        if (skippedCount >= skippedReportEvery)
            reportSkipped();
    }
    if (head.status == Scan::Frame) {
        resyncing = false;
        reportSkipped();
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
    linkClock.start();
    batch.clear();
    serialPort->clearError();
    capturing = false;
    startSent = stopSent = lightSent = lightStopSent = soundSent = soundStopSent = -1;
    ownStopDue = false;
    ownStopLast = -1;
    resyncing = false;
    skipped.clear();
    skippedCount = 0;
    counterFaults = 0;
    faultRun.clear();
    firstHalfKept = false;
    startBacklog.clear();
    startBacklogTimes.clear();
    backlogCounted = false;

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
        case taskSoundStop: {
            txBuffer = commandFrame(step);
            // A command that cannot be framed yields no frame: nothing is sent.
            if (txBuffer.isEmpty())
                break;
            if (!transmit())
                return;
            if (step == taskSendCommand) {
                QString typed;
                {
                    QMutexLocker locker(&mutex);
                    typed = commandText;
                }
                emit captureEvent(captureSamples, tr("Команда: %1").arg(typed));
            }
            noteSent(txBuffer);
            break;
        }
        default:
            break;
        }

        int next = takeTask();
        // The reset at the start of the exchange, or a later request, may have
        // replaced a terminate request; it still ends the worker.
        if (next == taskNone && stopRequested())
            next = taskTerminate;
        if (!batch.isEmpty() && linkSeconds() - batchSince >= batchMaxSeconds)
            flushBatch();
        checkReplyTimes();
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
        if (ownStopDue && pending(startSent))
            ownStopDue = false;
        if (ownStopDue && !pending(stopSent) &&
            (ownStopLast < 0 || linkSeconds() - ownStopLast >= ownStopIntervalSeconds)) {
            ownStopDue = false;
            txBuffer = captureStopFrame();
            if (!transmit())
                return;
            stopSent = ownStopLast = linkSeconds();
            stopOwn = true;
            emit terminal(tr("Приняты данные без запущенного сбора: отправлена остановка"));
        }
    }
}
