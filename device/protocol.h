// The headset's frame format as plain functions over bytes: finding frame
// boundaries in a receive buffer, decoding "D" data half-frames, and scanning a
// wireless receiver's reply for the headset's identification. No I/O and no
// signals; the device worker calls these and the unit tests drive them
// directly.
//
// A frame is a length byte L counting the whole frame, a one-character type and
// L - 2 bytes of payload; there is no sync marker and no checksum.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace protocol
{

constexpr char typeIdentify = '?';
constexpr char typeCaptureStart = '!';
constexpr char typeCaptureStop = '#';
constexpr char typeData = 'D';
constexpr char typeLightStart = 'F';
constexpr char typeLightStop = 'G';
constexpr char typeKeepAlive = 'S';
constexpr char typeSoundStart = 'T';
constexpr char typeSoundStop = 'U';

// The string a headset puts in its reply to the identification request.
extern const QByteArray identification;

// Size of a "D" half-frame and the number of channel values it carries.
constexpr int dataFrameSize = 23;
constexpr int valuesPerHalf = 6;

enum class Scan {
    Frame,    // a whole frame of `length` bytes is at the head
    NeedMore, // the head frame is incomplete (or the buffer is empty)
    Invalid,  // the head cannot start a frame; drop `length` bytes and rescan
};

struct ScanResult {
    Scan status;
    int length; // frame length for Frame, bytes to drop for Invalid, 0 otherwise
};

// Looks at the frame at the head of `data`. A length byte of 0 describes no
// frame at all: it is reported Invalid with one byte to drop, so that the
// stream resynchronises instead of stalling on it.
ScanResult scanFrame(const char* data, int size);

// The type byte and the status byte of a frame; a byte the frame does not carry
// reads as 0.
char frameType(const char* frame, int size);
quint8 frameStatus(const char* frame, int size);

// One decoded "D" half-frame.
struct DataHalf {
    int half;                    // 0: channels 1, 3, .., 11; 1: channels 2, 4, .., 12
    quint16 counter;             // the headset's sample counter
    double volts[valuesPerHalf]; // in channel order within the half
};

enum class DataError {
    None,
    TooShort, // fewer than 23 bytes: the values would be read beyond the frame
    BadHalf,  // half is neither 0 nor 1
};

DataError decodeDataFrame(const char* frame, int size, DataHalf& out);

// Volts of one 24-bit big-endian two's-complement sample value.
double sampleVolts(quint8 b0, quint8 b1, quint8 b2);

// Index in a sample's value array of value k (0..5) of a given half.
constexpr int channelIndex(int half, int k)
{
    return half + 2 * k;
}

// The terminal text for a refused capture start: the ADCs named by bits 0..5
// of the fault mask, in rising order.
QString captureFaultText(quint8 mask);

// Upper-case hexadecimal without separators, as the terminal shows frames.
QString hex(const QByteArray& bytes);

// The wireless search: scans `buffer` frame by frame from its start, dropping
// frames that are not identification replies (and bytes that cannot start a
// frame), until it finds an identification reply while the headset's
// identification string is somewhere in the buffer. Returns true then, with
// that frame removed. An identification reply at the head while the string is
// not in the buffer is the receiver's own and is dropped. Returns false when
// the buffer is empty or ends in an incomplete frame (more input is needed).
bool scanWirelessReply(QByteArray& buffer);

} // namespace protocol
