// The serial ports that the automatic search tries (and the window lists): the
// system's ports in the system's order, then those named in the environment
// variable NEURASK_EXTRA_PORTS, separated by the platform's path-list
// separator (':' on Linux, ';' on Windows). The extra list is how a simulated
// headset on a pseudo-terminal, which no system lists, is found.
#pragma once

#include <QStringList>
#include <functional>

QStringList serialPortNames();

// For tests: replaces the list with one of the caller's, so that no real port
// is ever probed. An empty function restores the system's list. Thread-safe.
void setSerialPortSource(std::function<QStringList()> source);
