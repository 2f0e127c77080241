#include "device/commands.h"

#include "analysis/fftwindow.h"

namespace
{

QByteArray shortFrame(char type)
{
    QByteArray frame;
    frame.append(char(2));
    frame.append(type);
    return frame;
}

template <typename Record> QByteArray recordFrame(char type, const Record& record)
{
    QByteArray frame;
    frame.reserve(int(sizeof(Record)) + 2);
    frame.append(char(sizeof(Record) + 2));
    frame.append(type);
    frame.append(reinterpret_cast<const char*>(&record), int(sizeof(Record)));
    return frame;
}

} // namespace

QByteArray terminalTextToBytes(const QString& text)
{
    QByteArray bytes;
    int i = 0;
    while (i < text.size()) {
        const QChar unit = text.at(i);
        if (unit == QLatin1Char('\\')) {
            // toInt gives 0 for anything that is not a hexadecimal number.
            const int value = text.mid(i + 1, 2).toInt(nullptr, 16);
            bytes.append(char(value & 0xFF));
            i += 3;
        } else if (unit.isHighSurrogate() && i + 1 < text.size() &&
                   text.at(i + 1).isLowSurrogate()) {
            // A character outside the BMP is two units; alone, each half
            // would go out as "?".
            bytes.append(text.mid(i, 2).toUtf8());
            i += 2;
        } else {
            bytes.append(QString(unit).toUtf8());
            i += 1;
        }
    }
    return bytes;
}

QByteArray identificationFrame()
{
    return shortFrame('?');
}
QByteArray keepAliveFrame()
{
    return shortFrame('S');
}

QByteArray captureStartFrame(quint16 period)
{
    QByteArray frame;
    frame.append(char(4));
    frame.append('!');
    frame.append(char(period & 0xFF));
    frame.append(char(period >> 8));
    return frame;
}

QByteArray captureStopFrame()
{
    return shortFrame('#');
}
QByteArray lightStartFrame(const structLightParam& param)
{
    return recordFrame('F', param);
}
QByteArray lightStopFrame()
{
    return shortFrame('G');
}
QByteArray soundStartFrame(const structSoundParam& param)
{
    return recordFrame('T', param);
}
QByteArray soundStopFrame()
{
    return shortFrame('U');
}

QByteArray rawCommandFrame(const QByteArray& command)
{
    if (command.size() > maxCommandBytes)
        return QByteArray();
    QByteArray frame;
    frame.reserve(command.size() + 1);
    frame.append(char(command.size() + 1));
    frame.append(command);
    return frame;
}

void registerCommandMetaTypes()
{
    qRegisterMetaType<FFTWindow>("FFTWindow");
    qRegisterMetaType<structLightParam>("structLightParam");
    qRegisterMetaType<structSoundParam>("structSoundParam");
}
