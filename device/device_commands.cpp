// The request slots for capture, stimulation and raw commands, and the frames
// the exchange sends for them. The slots run in the GUI thread and only store;
// commandFrame runs in the worker when it takes the request.
#include "device/device.h"

#include <QDebug>
#include <QMutexLocker>

#include "device/commands.h"

void Device::captureStart(ushort value)
{
    qDebug() << "Device::conversionStart" << value;
    QMutexLocker lock(&mutex);
    capturePeriod = value;
    task = taskCaptureStart;
}

void Device::captureStop()
{
    qDebug() << "Device::conversionStop";
    QMutexLocker lock(&mutex);
    task = taskCaptureStop;
}

void Device::sendCommand(QString cmd)
{
    qDebug() << "Device::sendCommand" << cmd;
    QMutexLocker lock(&mutex);
    commandBytes = terminalTextToBytes(cmd);
    commandText = cmd;
    task = taskSendCommand;
}

void Device::setLightStart(structLightParam param)
{
    qDebug() << "Device::setLightStart";
    QMutexLocker lock(&mutex);
    lightParam = param;
    task = taskLightStart;
}

void Device::setLightStop()
{
    qDebug() << "Device::setLightStop";
    QMutexLocker lock(&mutex);
    task = taskLightStop;
}

void Device::setSoundStart(structSoundParam param)
{
    qDebug() << "Device::setSoundStart";
    QMutexLocker lock(&mutex);
    soundParam = param;
    task = taskSoundStart;
}

void Device::setSoundStop()
{
    qDebug() << "Device::setSoundStop";
    QMutexLocker lock(&mutex);
    task = taskSoundStop;
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
