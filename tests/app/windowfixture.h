// Shared by the tests that build the whole window: a private settings store,
// a port list that names no real port, a copy of the debug log, and a hand
// that answers the next message box.
#pragma once

#include "device/ports.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QMutex>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

// The store lives in a temporary directory for the whole test run; the user's
// own is never opened. Call once, from initTestCase.
inline bool useTemporarySettings(QTemporaryDir& dir)
{
    if (!dir.isValid())
        return false;
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    QCoreApplication::setApplicationVersion("0.4");
    // Tests close windows that were never shown; that must not end the run.
    QApplication::setQuitOnLastWindowClosed(false);
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.path());
    return QSettings().fileName().startsWith(dir.path());
}

// Two ports that cannot be opened. The window lists them after "Авто" (and
// after whatever ports the system has); the device's search is limited to them,
// so it fails without ever touching a real port.
inline const QStringList& fakePorts()
{
    static const QStringList ports{"/nonexistent/neurask-port-a", "/nonexistent/neurask-port-b"};
    return ports;
}

inline void useFakePorts()
{
    qputenv("NEURASK_EXTRA_PORTS", fakePorts().join(QDir::listSeparator()).toLocal8Bit());
    setSerialPortSource([] { return fakePorts(); });
}

// Keeps every debug line (the device logs from its own thread as well).
class DebugLog
{
public:
    DebugLog()
    {
        current() = this;
        previous = qInstallMessageHandler(&DebugLog::handle);
    }
    ~DebugLog()
    {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&mutex);
        return kept;
    }
    QStringList linesStartingWith(const QString& prefix) const
    {
        return lines().filter(QRegularExpression("^" + QRegularExpression::escape(prefix)));
    }

private:
    static DebugLog*& current()
    {
        static DebugLog* log = nullptr;
        return log;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (DebugLog* log = current()) {
            QMutexLocker lock(&log->mutex);
            log->kept << text;
        }
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }

    mutable QMutex mutex;
    QStringList kept;
    QtMessageHandler previous = nullptr;
};

// Answers every modal message box that opens while it exists, pressing Ok,
// and remembers what each one said.
class MessageBoxAnswerer
{
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        bool hasParent;
    };

    MessageBoxAnswerer()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }
    QVector<Box> boxes;

private:
    void answer()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        boxes.append(
            {box->windowTitle(), box->text(), box->icon(), box->parentWidget() != nullptr});
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }
    QTimer timer;
};
