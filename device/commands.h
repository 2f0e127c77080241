// Command frames sent to the headset, and the conversion of what the user types
// into the terminal into bytes. Pure functions over bytes: the device worker
// calls them when it runs a request, the tests call them directly.
//
// Every frame starts with its own length (this byte included), then the type
// character and the payload. Multi-byte fields are little-endian.
#pragma once

#include <QByteArray>
#include <QString>

#include "device/types.h"

// The longest raw command whose frame length still fits the length byte.
constexpr int maxCommandBytes = 254;

// Terminal text to bytes. A backslash takes the next two characters (fewer at
// the end of the text) as a hexadecimal byte, 0 when they are not a number;
// every other character is sent as its UTF-8 bytes.
QByteArray terminalTextToBytes(const QString& text);

QByteArray identificationFrame();                          // 02 3F
QByteArray keepAliveFrame();                               // 02 53
QByteArray captureStartFrame(quint16 period);              // 04 21 period (LE)
QByteArray captureStopFrame();                             // 02 23
QByteArray lightStartFrame(const structLightParam& param); // 0D 46 + 11 bytes
QByteArray lightStopFrame();                               // 02 47
QByteArray soundStartFrame(const structSoundParam& param); // 0F 54 + 13 bytes
QByteArray soundStopFrame();                               // 02 55

// The raw command with its length in front. A command longer than
// maxCommandBytes cannot be framed (its length byte would wrap and the headset
// would cut the stream in the wrong place): the result is then empty, and
// nothing must be sent.
QByteArray rawCommandFrame(const QByteArray& command);

// Registers the records that cross threads in queued calls and signals under
// their own names: FFTWindow, structLightParam, structSoundParam.
void registerCommandMetaTypes();
