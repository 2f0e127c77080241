// The request slots for capture, stimulation and raw commands, and the frames
// the exchange sends for them. The slots run in the GUI thread and only queue
// their request; commandFrame runs in the worker when it takes the request.
#include "device/device.h"

#include <QDebug>
#include <QMutexLocker>

#include "device/commands.h"

void Device::captureStart(ushort value)
{
    qDebug() << "Device::conversionStart" << value;
    Request r;
    r.task = taskCaptureStart;
    r.period = value;
    request(r);
}

void Device::captureStop()
{
    qDebug() << "Device::conversionStop";
    Request r;
    r.task = taskCaptureStop;
    request(r);
}

void Device::sendCommand(QString cmd)
{
    qDebug() << "Device::sendCommand" << cmd;
    Request r;
    r.task = taskSendCommand;
    r.bytes = terminalTextToBytes(cmd);
    r.text = cmd;
    request(r);
}

void Device::setLightStart(structLightParam param)
{
    qDebug() << "Device::setLightStart";
    Request r;
    r.task = taskLightStart;
    r.light = param;
    request(r);
}

void Device::setLightStop()
{
    qDebug() << "Device::setLightStop";
    Request r;
    r.task = taskLightStop;
    request(r);
}

void Device::setSoundStart(structSoundParam param)
{
    qDebug() << "Device::setSoundStart";
    Request r;
    r.task = taskSoundStart;
    r.sound = param;
    request(r);
}

void Device::setSoundStop()
{
    qDebug() << "Device::setSoundStop";
    Request r;
    r.task = taskSoundStop;
    request(r);
}

QByteArray Device::commandFrame(int step)
{
    QMutexLocker lock(&mutex);
    switch (step) {
    case taskCaptureStart:
        return captureStartFrame(capturePeriod);
    case taskCaptureStop:
    case taskTerminate:
        return captureStopFrame();
    case taskLightStart:
        return lightStartFrame(lightParam);
    case taskLightStop:
        return lightStopFrame();
    case taskSoundStart:
        return soundStartFrame(soundParam);
    case taskSoundStop:
        return soundStopFrame();
    case taskSendCommand: {
        const QByteArray bytes = commandBytes;
        lock.unlock();
        const QByteArray frame = rawCommandFrame(bytes);
        if (frame.isEmpty())
            emit terminal(tr("Команда не отправлена: %1 байт не помещаются в один пакет "
                             "(не больше %2)")
                              .arg(bytes.size())
                              .arg(maxCommandBytes));
        return frame;
    }
    default:
        return QByteArray();
    }
}
