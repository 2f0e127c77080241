// The serial ports offered to the operator: the system's ports in the system's
// order, then those named in NEURASK_EXTRA_PORTS (separated by ':' on Linux and
// ';' on Windows), which is how ports the system does not list, such as a
// pseudo-terminal, are reached.
#pragma once

#include <QStringList>

QStringList portChoices();
