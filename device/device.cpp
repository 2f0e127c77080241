#include "device/device.h"

#include <QCoreApplication>
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
                    // The reply stays in the buffer: it is the exchange's first frame.
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
    if (skipped.size() > 1 && skipped.at(1) == protocol::typeData)
        emit terminal(tr("Повреждённый пакет данных RX[%1]:%2").arg(skippedCount).arg(shown));
    else
        emit terminal(tr("Неизвестный пакет RX[%1]:%2").arg(skippedCount).arg(shown));
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
        if (serialPort->bytesAvailable() == 0)
            quiet = !serialPort->waitForReadyRead(readWaitMs);
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
        head =
            protocol::scanFrame(rxBuffer.constData() + rxHead, rxBuffer.size() - rxHead, resyncing);
        if (quiet && head.status == Scan::NeedMore && head.skip == 0)
            reportSkipped();
    }
    if (head.skip > 0) {
        const int keep = qMin(head.skip, skippedShown - skipped.size());
        if (keep > 0)
            skipped.append(rxBuffer.constData() + rxHead, keep);
        skippedCount += head.skip;
        rxHead += head.skip;
        resyncing = true;
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
    {
        QMutexLocker locker(&mutex);
        task = taskNone;
    }
    serialPort->clearError();
    capturing = false;
    startSent = stopSent = lightSent = lightStopSent = soundSent = soundStopSent = -1;
    ownStopDue = false;
    ownStopLast = -1;
    resyncing = false;
    skipped.clear();
    skippedCount = 0;
    counterFaults = 0;

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

namespace
{

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

quint16 field(const char* bytes, int offset)
{
    return quint16(quint8(bytes[offset]) | quint8(bytes[offset + 1]) << 8);
}

// The series of a light or sound start frame, for the capture's event list:
// level in per cent, durations in milliseconds (the tone in microseconds),
// counts. The frame's payload is the parameter record as it is sent.
QString lightSeries(const char* p)
{
    return QCoreApplication::translate("Device", "Свет %1% %2/%3мс x%4 %5мс x%6")
        .arg(number(quint8(p[0]) * 100.0 / 250.0))
        .arg(number(field(p, 1) * 0.05))
        .arg(number(field(p, 3) * 0.05))
        .arg(field(p, 5))
        .arg(field(p, 7))
        .arg(field(p, 9));
}

QString soundSeries(const char* p)
{
    return QCoreApplication::translate("Device", "Звук %1% %2мкс %3/%4мс x%5 %6мс x%7")
        .arg(number(quint8(p[0]) * 100.0 / 250.0))
        .arg(field(p, 7))
        .arg(number(field(p, 1) * 0.05))
        .arg(number(field(p, 3) * 0.05))
        .arg(field(p, 5))
        .arg(field(p, 9))
        .arg(field(p, 11));
}

} // namespace

// A frame has gone out: the reply it asks for is now expected. Frames typed in
// the terminal count like those of the buttons, so a typed capture start sets
// the period of the samples that follow from its own payload.
void Device::noteSent(const QByteArray& frame)
{
    if (frame.size() < 2)
        return;
    const char* bytes = frame.constData();
    const double now = linkSeconds();
    switch (frame.at(1)) {
    case protocol::typeCaptureStart:
        startSent = now;
        if (frame.size() >= 4) {
            startPeriod = field(bytes, 2);
        } else {
            QMutexLocker locker(&mutex);
            startPeriod = capturePeriod;
        }
        break;
    case protocol::typeCaptureStop:
        stopSent = now;
        stopOwn = false;
        break;
    case protocol::typeLightStart:
        lightSent = now;
        lightText = frame.size() >= 2 + int(sizeof(structLightParam)) ? lightSeries(bytes + 2)
                                                                      : tr("Свет: запуск");
        break;
    case protocol::typeLightStop:
        lightStopSent = now;
        break;
    case protocol::typeSoundStart:
        soundSent = now;
        soundText = frame.size() >= 2 + int(sizeof(structSoundParam)) ? soundSeries(bytes + 2)
                                                                      : tr("Звук: запуск");
        break;
    case protocol::typeSoundStop:
        soundStopSent = now;
        break;
    default:
        break;
    }
}

// The end of a capture's data (stop, restart, lost link): a sample still held
// for its counter goes out, then the part batch.
void Device::flushCaptureData()
{
    if (capturing)
        applyCounterStep(counterCheck.finish());
    if (!batch.isEmpty()) {
        emit updateDataTime(batch);
        batch.clear();
    }
}

void Device::dispatchFrame(const QByteArray& frame)
{
    const char* bytes = frame.constData();
    const int size = frame.size();
    switch (protocol::frameType(bytes, size)) {
    case protocol::typeCaptureStart: {
        if (!pending(startSent)) {
            emit terminal(tr("Ответ без запроса RX[%1]:%2").arg(size).arg(protocol::hex(frame)));
            break;
        }
        const double sentAt = startSent;
        startSent = -1;
        const quint8 status = protocol::frameStatus(bytes, size);
        if (status != 0 && capturing) {
            // A start refused during a capture: the headset goes on with the one it runs.
            emit terminal(protocol::captureFaultText(status));
            emit captureEvent(captureSamples, protocol::captureFaultEvent(status));
            break;
        }
        // A capture still running ends here; its last samples go out first.
        flushCaptureData();
        if (status == 0) {
            skipSamples = 0;
            packetCounter = 0;
            emit updateSkipSamples(0);
            fftFill = 0;
            time = 0;
            batch.clear();
            captureSamples = 0;
            samplePeriod = startPeriod;
            counterCheck.start(sentAt, samplePeriod * tickSeconds);
            updateFrequencies();
            capturing = true;
            ownStopDue = false;
            emit terminal(tr("Запущен сбор данных"));
            emit captureStarted(samplePeriod);
            emit changeCapture(true);
            emit captureEvent(
                0,
                tr("Запуск сбора %1 Гц").arg(samplePeriod ? 8e6 / samplePeriod : 0.0, 0, 'f', 2));
        } else {
            capturing = false;
            emit terminal(protocol::captureFaultText(status));
            emit captureEvent(0, protocol::captureFaultEvent(status));
            emit changeCapture(false);
        }
        break;
    }
    case protocol::typeCaptureStop: {
        if (!pending(stopSent)) {
            emit terminal(tr("Ответ без запроса RX[%1]:%2").arg(size).arg(protocol::hex(frame)));
            break;
        }
        stopSent = -1;
        const bool wasCapturing = capturing;
        emit terminal(tr("Остановлен сбор данных"));
        if (stopOwn && !wasCapturing)
            break; // the reply to the worker's own stop: nothing was running
        if (capturing)
            applyCounterStep(counterCheck.finish());
        capturing = false;
        emit updateDataTime(batch);
        // Emitted samples must not go out again with the next batch.
        batch.clear();
        if (wasCapturing)
            emit captureEvent(captureSamples, tr("Остановка сбора"));
        emit changeCapture(false);
        break;
    }
    case protocol::typeData:
        dataFrame(bytes, size);
        break;
    case protocol::typeLightStart: {
        const bool on = protocol::frameStatus(bytes, size) != 0;
        if (on)
            emit terminal(tr("Стимуляция светом запущена"));
        else
            emit terminal(tr("Ошибка запуска cтимуляции светом, модуль отключен"));
        if (pending(lightSent))
            emit captureEvent(captureSamples, on ? lightText : tr("Свет: модуль отключен"));
        lightSent = -1;
        break;
    }
    case protocol::typeLightStop:
        emit terminal(tr("Стимуляция светом остановлена"));
        if (pending(lightStopSent))
            emit captureEvent(captureSamples, tr("Свет: стоп"));
        lightStopSent = -1;
        break;
    case protocol::typeSoundStart: {
        const bool on = protocol::frameStatus(bytes, size) != 0;
        if (on)
            emit terminal(tr("Стимуляция звуком запущена"));
        else
            emit terminal(tr("Ошибка запуска cтимуляции звуком, модуль отключен"));
        if (pending(soundSent))
            emit captureEvent(captureSamples, on ? soundText : tr("Звук: модуль отключен"));
        soundSent = -1;
        break;
    }
    case protocol::typeSoundStop:
        emit terminal(tr("Стимуляция звуком остановлена"));
        if (pending(soundStopSent))
            emit captureEvent(captureSamples, tr("Звук: стоп"));
        soundStopSent = -1;
        break;
    case protocol::typeKeepAlive:
        break;
    default:
        // The scanner passes only frames of the types above.
        emit terminal(tr("Неизвестный пакет RX[%1]:%2").arg(size).arg(protocol::hex(frame)));
        break;
    }
}

void Device::dataFrame(const char* bytes, int size)
{
    if (!capturing) {
        // A headset still streaming (from a run of a program that ended without
        // stopping it, or after a stop that did not reach it): its samples
        // belong to no capture of ours. Stop it, unless a start is on its way.
        ownStopDue = !pending(startSent);
        return;
    }
    protocol::DataHalf half;
    if (protocol::decodeDataFrame(bytes, size, half) != protocol::DataError::None) {
        emit terminal(tr("Повреждённый пакет данных RX[%1]:%2")
                          .arg(size)
                          .arg(protocol::hex(QByteArray(bytes, size))));
        return;
    }
    for (int k = 0; k < protocol::valuesPerHalf; ++k)
        currentSample.value[protocol::channelIndex(half.half, k)] = half.volts[k];
    if (half.half == 0) {
        counterCheck.firstHalf(half.counter);
        return;
    }
    applyCounterStep(counterCheck.secondHalf(half.counter, linkSeconds()));
}

void Device::applyCounterStep(const protocol::CounterCheck::Step& step)
{
    for (int i = 0; i < step.count; ++i) {
        const protocol::CounterCheck::Delivery& d = step.delivery[i];
        const structSample& sample = d.held ? heldSample : currentSample;
        if (d.copies > 0) {
            // The lost samples are replaced by copies of the one that arrived
            // after them.
            skipSamples += d.copies;
            emit updateSkipSamples(skipSamples);
            emit captureEvent(captureSamples, tr("Потеря отсчётов: %1").arg(d.copies));
            for (quint32 c = 0; c < d.copies; ++c)
                deliverSample(sample);
        }
        deliverSample(sample);
    }
    if (step.hold)
        heldSample = currentSample;
    packetCounter = counterCheck.expected();
    if (step.fault == protocol::CounterCheck::Fault::None)
        return;
    ++counterFaults;
    if (step.fault == protocol::CounterCheck::Fault::Corrupted)
        emit terminal(tr("Повреждённый счётчик отсчёта: %1 вместо %2 (сбоев: %3)")
                          .arg(step.received)
                          .arg(step.expected)
                          .arg(counterFaults));
    else
        emit terminal(tr("Скачок счётчика отсчётов: %1 вместо %2, без заполнения (сбоев: %3)")
                          .arg(step.received)
                          .arg(step.expected)
                          .arg(counterFaults));
}

void Device::deliverSample(const structSample& sample)
{
    windowAndStore(sample.value);
    time += samplePeriod * tickSeconds;
    batch.append(sample);
    batch.last().time = time;
    ++captureSamples;
    if (batch.size() >= batchSize) {
        emit updateDataTime(batch);
        batch.clear();
    }
    advanceAndTransform();
}
