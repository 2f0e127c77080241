#include "app/ports.h"

#include <QDir>
#include <QSerialPortInfo>

QStringList portChoices()
{
    QStringList names;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        names << info.portName();
    QString extra = qEnvironmentVariable("NEURASK_EXTRA_PORTS");
    names << extra.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    return names;
}
