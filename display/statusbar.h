// The status bar's counters: exchange speed and skipped samples. The counters
// are numbers, not prose, so their texts are not translated.
#pragma once

#include <QString>
#include <QtGlobal>

class QLabel;
class QStatusBar;

QString speedText(quint32 tx, quint32 rx);
QString skipsText(quint64 skipped);

// Adds a permanent label at the right-hand end of the status bar, out of the
// way of messages.
QLabel* addStatusCounter(QStatusBar* statusBar, const QString& text, const QString& statusTip);
