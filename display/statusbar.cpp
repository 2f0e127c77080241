#include "display/statusbar.h"

#include <QLabel>
#include <QStatusBar>

QString speedText(quint32 tx, quint32 rx)
{
    return QStringLiteral("TX:%1, RX:%2").arg(tx).arg(rx);
}

QString skipsText(quint64 skipped)
{
    return QStringLiteral("Пропуски:%1").arg(skipped);
}

QLabel* addStatusCounter(QStatusBar* statusBar, const QString& text, const QString& statusTip)
{
    auto* label = new QLabel(text, statusBar);
    label->setStatusTip(statusTip);
    statusBar->addPermanentWidget(label, 0);
    return label;
}
