// The headset's frames as the worker reports them: the frame path itself
// (frames.h, free of Qt so that it can be fuzzed on its own) and the texts the
// terminal shows for frames.
#pragma once

#include <QByteArray>
#include <QString>

#include "device/frames.h"

namespace protocol
{

// The terminal text for a refused capture start: the ADCs named by bits 0..5
// of the fault mask, in rising order.
QString captureFaultText(quint8 mask);

// A short form of the same for the capture's event list, the ADC numbers first
// ("АЦП 1,3: отказ запуска").
QString captureFaultEvent(quint8 mask);

// Upper-case hexadecimal without separators, as the terminal shows frames.
QString hex(const QByteArray& bytes);

} // namespace protocol
