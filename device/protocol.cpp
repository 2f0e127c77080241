#include "device/protocol.h"

#include <QCoreApplication>
#include <QStringList>

namespace protocol
{

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

QString captureFaultEvent(quint8 mask)
{
    QStringList adcs;
    for (int i = 0; i < 6; ++i) {
        if (mask & (1u << i))
            adcs << QString::number(i + 1);
    }
    if (adcs.isEmpty())
        return QCoreApplication::translate("Device", "Отказ запуска (%1)")
            .arg(QString::number(mask, 16).toUpper());
    return QCoreApplication::translate("Device", "АЦП %1: отказ запуска")
        .arg(adcs.join(QLatin1Char(',')));
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex().toUpper());
}

} // namespace protocol
