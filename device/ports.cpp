#include "device/ports.h"

#include <QDir>
#include <QSerialPortInfo>
#include <mutex>

namespace
{
std::mutex sourceMutex;
std::function<QStringList()> sourceOverride;
} // namespace

QStringList serialPortNames()
{
    {
        std::lock_guard<std::mutex> lock(sourceMutex);
        if (sourceOverride)
            return sourceOverride();
    }
    QStringList names;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        names << info.portName();
    const QString extra = qEnvironmentVariable("NEURASK_EXTRA_PORTS");
    names << extra.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    return names;
}

void setSerialPortSource(std::function<QStringList()> source)
{
    std::lock_guard<std::mutex> lock(sourceMutex);
    sourceOverride = std::move(source);
}
