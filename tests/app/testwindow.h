// Shared set-up of the window tests: a settings store of their own and a port
// list of their own, in place before the window exists, so that no test reads
// or writes the user's settings or probes a real serial port.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <vector>

#include "device/ports.h"

inline QString isolateWindow(const QStringList& ports)
{
    static QTemporaryDir store;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, store.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, store.path());
    QCoreApplication::setOrganizationName("Ulvek");
    QCoreApplication::setApplicationName("Neurask");
    QCoreApplication::setApplicationVersion("0.4");
    setSerialPortSource([ports] { return ports; });
    return store.path();
}

// Runs `trigger`, which is expected to open a modal message box, and answers
// the box with its default button. Returns the box's title, text and icon.
struct BoxSeen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    bool shown = false;
};

inline BoxSeen answerNextBox(const std::function<void()>& trigger)
{
    BoxSeen seen;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->isVisible()) {
                seen.title = box->windowTitle();
                seen.text = box->text();
                seen.icon = box->icon();
                seen.buttons = box->standardButtons();
                seen.parent = box->parentWidget();
                seen.shown = true;
                box->done(QMessageBox::Ok);
                poll.stop();
                return;
            }
        }
    });
    poll.start();
    QTimer::singleShot(5000, &poll, &QTimer::stop); // never hang on a missing box
    trigger();
    return seen;
}

// Bytes as the headset's frames are logged: "0D 46 FA ...".
inline QByteArray hex(const std::vector<uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()))
        .toHex(' ')
        .toUpper();
}
