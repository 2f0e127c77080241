// Names of the headset's twelve electrodes, as the operator sets them. The
// default is no name: the channels are then called as they always were
// ("Канал N" on screen, "chan. N" in files), and nothing is labelled with a
// position the user did not choose.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace exam
{

constexpr int electrodeCount = 12;

// The 12-electrode subset of the 10-20 system, in channel order.
QStringList tenTwentyNames();
// Twelve empty names: the plain channel names.
QStringList plainNames();

// Twelve names, trimmed; a list of another length is cut or padded with empty names.
QStringList normalizedNames(const QStringList& names);

// What the window calls channel `channel` (0-based): its name, or "Канал N".
QString displayName(int channel, const QString& name);
// The signal label in an EDF+/BDF+ file (16 ASCII characters at most): "EEG Fp1"
// for a named electrode, as readers that place electrodes expect; "chan. N"
// otherwise. Characters outside printable ASCII become '?'.
QByteArray fileLabel(int channel, const QString& name);

} // namespace exam
