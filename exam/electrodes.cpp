#include "exam/electrodes.h"

#include <QCoreApplication>

namespace exam
{

QStringList tenTwentyNames()
{
    return {QStringLiteral("Fp1"), QStringLiteral("Fp2"), QStringLiteral("F3"),
            QStringLiteral("F4"),  QStringLiteral("C3"),  QStringLiteral("C4"),
            QStringLiteral("P3"),  QStringLiteral("P4"),  QStringLiteral("O1"),
            QStringLiteral("O2"),  QStringLiteral("T3"),  QStringLiteral("T4")};
}

QStringList plainNames()
{
    QStringList names;
    for (int i = 0; i < electrodeCount; ++i)
        names.append(QString());
    return names;
}

QStringList normalizedNames(const QStringList& names)
{
    QStringList out;
    for (int i = 0; i < electrodeCount; ++i)
        out.append(i < names.size() ? names[i].simplified() : QString());
    return out;
}

QString displayName(int channel, const QString& name)
{
    const QString trimmed = name.simplified();
    if (!trimmed.isEmpty())
        return trimmed;
    return QCoreApplication::translate("exam", "Канал %1").arg(channel + 1);
}

QByteArray fileLabel(int channel, const QString& name)
{
    const QString trimmed = name.simplified();
    QString text = trimmed.isEmpty() ? QStringLiteral("chan. %1").arg(channel + 1)
                                     : QStringLiteral("EEG ") + trimmed;
    QByteArray label;
    for (const QChar c : text.left(16))
        label.append(c.unicode() >= 0x20 && c.unicode() < 0x7f ? char(c.unicode()) : '?');
    return label;
}

} // namespace exam
