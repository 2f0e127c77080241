// What the worker does with the frames it receives: the headset's replies,
// which start and stop captures and report stimulation, and the data frames,
// which the sample stream (frames.h) makes into samples at their index; the
// batches of samples for the window, and the terminal lines about faults.
#include "device/device.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <cmath>
#include <cstring>

#include "device/commands.h"
#include "device/protocol.h"

namespace
{

// Data received while a capture start awaits its reply start the capture when
// they have come at the requested rate, within this share, for this long.
constexpr double backlogRateTolerance = 0.1;
constexpr double backlogSeconds = 0.5;

} // namespace

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

// The end of a capture's data (stop, restart, lost link): a half or a sample
// still waiting for its partner or its confirmation is dropped (and reported),
// then the part batch goes out.
void Device::flushCaptureData()
{
    if (capturing)
        stream.finish(streamOutput);
    endFaultRun();
    flushBatch();
}

void Device::flushBatch()
{
    if (!batch.isEmpty()) {
        emit updateDataTime(batch);
        batch.clear();
    }
}

// A capture starts, confirmed by the headset's reply or by its data.
void Device::beginCapture(double sentAt)
{
    startSent = -1;
    startBacklog.clear();
    startBacklogTimes.clear();
    backlogCounted = false;
    skipSamples = 0;
    packetCounter = 0;
    emit updateSkipSamples(0);
    fftFill = 0;
    time = 0;
    batch.clear();
    captureSamples = 0;
    samplesSoFar.store(0, std::memory_order_relaxed);
    samplePeriod = startPeriod;
    stream.start(sentAt, samplePeriod * tickSeconds);
    firstHalfKept = false;
    updateFrequencies();
    capturing = true;
    ownStopDue = false;
    emit terminal(tr("Запущен сбор данных"));
    emit captureStarted(samplePeriod);
    emit changeCapture(true);
    emit captureEvent(
        0, tr("Запуск сбора %1 Гц").arg(samplePeriod ? 8e6 / samplePeriod : 0.0, 0, 'f', 2));
}

// The capture ends: its last samples go out, then the stop.
void Device::endCapture()
{
    const bool wasCapturing = capturing;
    if (capturing)
        stream.finish(streamOutput);
    endFaultRun();
    capturing = false;
    emit updateDataTime(batch);
    // Emitted samples must not go out again with the next batch.
    batch.clear();
    if (wasCapturing)
        emit captureEvent(captureSamples, tr("Остановка сбора"));
    emit changeCapture(false);
}

// A start or stop whose reply has not come in time: the window must not wait
// for it for ever.
void Device::checkReplyTimes()
{
    if (startSent >= 0 && !pending(startSent)) {
        startSent = -1;
        startBacklog.clear();
        startBacklogTimes.clear();
        backlogCounted = false;
        emit terminal(tr("Нет ответа на запуск сбора"));
        if (!capturing)
            emit changeCapture(false);
    }
    if (stopSent >= 0 && !pending(stopSent)) {
        stopSent = -1;
        if (!stopOwn) {
            emit terminal(tr("Нет ответа на остановку сбора"));
            endCapture();
        }
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
        startBacklog.clear();
        startBacklogTimes.clear();
        backlogCounted = false;
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
            beginCapture(sentAt);
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
        emit terminal(tr("Остановлен сбор данных"));
        if (stopOwn && !capturing)
            break; // the reply to the worker's own stop: nothing was running
        endCapture();
        break;
    }
    case protocol::typeData:
        dataFrame(bytes, size, linkSeconds());
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

void Device::dataFrame(const char* bytes, int size, double now)
{
    if (!capturing) {
        if (startFromData(bytes, size, now))
            return;
        // A headset still streaming (from a run of a program that ended without
        // stopping it, or after a stop that did not reach it): its samples
        // belong to no capture of ours. Stop it, unless a start is on its way.
        ownStopDue = !pending(startSent);
        return;
    }
    protocol::DataHalf half;
    if (protocol::decodeDataFrame(bytes, size, half) != protocol::DataError::None) {
        noteFault(tr("Повреждённый пакет данных RX[%1]:%2")
                      .arg(size)
                      .arg(protocol::hex(QByteArray(bytes, size))));
        stream.interrupted(streamOutput);
        return;
    }
    frameView.setRawData(bytes, uint(size));
    stream.half(half, now, streamOutput);
    packetCounter = stream.expectedCounter();
    if (half.half == 0) {
        std::memcpy(firstHalfBytes, bytes, sizeof firstHalfBytes);
        firstHalfKept = true;
    }
}

// Data while a capture start awaits its reply: kept, and if they come at the
// requested rate the headset has started (its reply was lost), so the capture
// starts with them. Returns whether the frame was kept.
bool Device::startFromData(const char* bytes, int size, double now)
{
    if (!pending(startSent) || size != protocol::dataFrameSize)
        return false;
    startBacklog.append(bytes, size);
    startBacklogTimes.append(now);
    protocol::DataHalf half;
    if (protocol::decodeDataFrame(bytes, size, half) != protocol::DataError::None || half.half != 1)
        return true;
    if (!backlogCounted || half.counter != quint16(backlogLastCounter + 1)) {
        // A run of counters starts here (the data before it were the end of
        // an earlier capture): the backlog begins with this pair.
        const int frames = startBacklogTimes.size();
        const bool withFirst =
            frames >= 2 && startBacklog.at((frames - 2) * protocol::dataFrameSize + 2) == 0;
        const int keep = withFirst ? 2 : 1;
        startBacklog.remove(0, (frames - keep) * protocol::dataFrameSize);
        startBacklogTimes.remove(0, frames - keep);
        backlogCounted = true;
        backlogFirstCounter = backlogLastCounter = half.counter;
        backlogFirstTime = now;
        return true;
    }
    backlogLastCounter = half.counter;
    const double span = now - backlogFirstTime;
    if (span < backlogSeconds || startPeriod == 0)
        return true;
    const double rate = quint16(half.counter - backlogFirstCounter) / span;
    const double requested = 1.0 / (startPeriod * tickSeconds);
    if (std::fabs(rate / requested - 1) > backlogRateTolerance)
        return true;
    emit terminal(tr("Нет ответа на запуск сбора, но данные идут: сбор запущен"));
    const QByteArray frames = startBacklog;
    const QVector<double> times = startBacklogTimes;
    beginCapture(startSent);
    for (int i = 0; i < times.size(); ++i)
        dataFrame(frames.constData() + i * protocol::dataFrameSize, protocol::dataFrameSize,
                  times[i]);
    return true;
}

void Device::streamSample(const double* values, quint64 index, quint64 copies)
{
    Q_UNUSED(index);
    if (copies > 0) {
        // The lost samples are replaced by copies of the one that arrived
        // after them.
        skipSamples += copies;
        emit updateSkipSamples(skipSamples);
        emit captureEvent(captureSamples, tr("Потеря отсчётов: %1").arg(copies));
        for (quint64 c = 0; c < copies; ++c)
            deliverSample(values);
    } else if (!stream.holding()) {
        endFaultRun();
    }
    deliverSample(values);
}

void Device::streamFault(protocol::SampleStream::Fault kind, quint16 expected, quint16 received)
{
    using Fault = protocol::SampleStream::Fault;
    switch (kind) {
    case Fault::LoneHalf: {
        // The half dropped is the first half kept last, or the one just read.
        const bool kept = firstHalfKept && quint16(quint8(firstHalfBytes[3]) |
                                                   quint8(firstHalfBytes[4]) << 8) == received;
        const QByteArray frame = kept ? QByteArray(firstHalfBytes, sizeof firstHalfBytes)
                                      : QByteArray(frameView.constData(), frameView.size());
        const bool startsRun = faultRun.isEmpty();
        noteFault(
            tr("Повреждённый пакет данных RX[%1]:%2").arg(frame.size()).arg(protocol::hex(frame)));
        if (startsRun)
            faultRunLoneHalf = true;
        break;
    }
    case Fault::Repeat:
    case Fault::BadCounter:
        noteFault(tr("Повреждённый счётчик отсчёта: %1 вместо %2 (сбоев: %3)")
                      .arg(received)
                      .arg(expected)
                      .arg(counterFaults + 1));
        break;
    case Fault::Jump:
        noteFault(tr("Скачок счётчика отсчётов: %1 вместо %2, без заполнения (сбоев: %3)")
                      .arg(received)
                      .arg(expected)
                      .arg(counterFaults + 1));
        break;
    }
}

void Device::noteFault(const QString& text)
{
    ++counterFaults;
    if (faultRun.isEmpty()) {
        faultRun = text;
        faultRunLoneHalf = false;
    }
}

void Device::endFaultRun()
{
    if (faultRun.isEmpty())
        return;
    emit terminal(faultRun);
    faultRun.clear();
}

void Device::deliverSample(const double* values)
{
    windowAndStore(values);
    time += samplePeriod * tickSeconds;
    if (batch.isEmpty())
        batchSince = linkSeconds();
    structSample sample;
    std::memcpy(sample.value, values, sizeof sample.value);
    sample.time = time;
    batch.append(sample);
    ++captureSamples;
    samplesSoFar.store(captureSamples, std::memory_order_relaxed);
    if (batch.size() >= batchSize) {
        emit updateDataTime(batch);
        batch.clear();
    }
    advanceAndTransform();
}
