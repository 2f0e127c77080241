#include "device/protocol.h"

namespace protocol
{

const QByteArray identification = QByteArrayLiteral("VolmaHeadsetRF");

ScanResult scanFrame(const char* data, int size)
{
    if (size <= 0)
        return {Scan::NeedMore, 0};
    const int length = quint8(data[0]);
    if (length == 0)
        return {Scan::Invalid, 1};
    if (length > size)
        return {Scan::NeedMore, 0};
    return {Scan::Frame, length};
}

char frameType(const char* frame, int size)
{
    return size > 1 ? frame[1] : 0;
}

quint8 frameStatus(const char* frame, int size)
{
    return size > 2 ? quint8(frame[2]) : 0;
}

double sampleVolts(quint8 b0, quint8 b1, quint8 b2)
{
    // The 24-bit count sits in the upper three bytes of a signed 32-bit word;
    // one step of that word is 1/255 * 2^-11 mV.
    const qint32 v = qint32(quint32(b0) << 24 | quint32(b1) << 16 | quint32(b2) << 8);
    return double(v) / 255.0 * (1.0 / 2048.0) / 1000.0;
}

DataError decodeDataFrame(const char* frame, int size, DataHalf& out)
{
    if (size < dataFrameSize)
        return DataError::TooShort;
    const auto* bytes = reinterpret_cast<const quint8*>(frame);
    if (bytes[2] > 1)
        return DataError::BadHalf;
    out.half = bytes[2];
    out.counter = quint16(bytes[3] | bytes[4] << 8);
    for (int k = 0; k < valuesPerHalf; ++k) {
        const quint8* v = bytes + 5 + 3 * k;
        out.volts[k] = sampleVolts(v[0], v[1], v[2]);
    }
    return DataError::None;
}

QString captureFaultText(quint8 mask)
{
    QString text = QStringLiteral("Ошибка запуска сбора данных! (");
    for (int i = 0; i < 6; ++i) {
        if (mask & (1u << i))
            text += QStringLiteral(" АЦП[%1]").arg(i + 1);
    }
    text += QStringLiteral(" )");
    return text;
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

bool scanWirelessReply(QByteArray& buffer)
{
    for (;;) {
        const ScanResult head = scanFrame(buffer.constData(), buffer.size());
        if (head.status == Scan::NeedMore)
            return false;
        if (head.status == Scan::Frame &&
            frameType(buffer.constData(), head.length) == typeIdentify &&
            buffer.contains(identification)) {
            buffer.remove(0, head.length);
            return true;
        }
        buffer.remove(0, head.length);
    }
}

} // namespace protocol
