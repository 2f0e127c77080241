// Plain records that cross the worker/window boundary: one decoded sample,
// the two stimulation parameter sets and the worker's request codes.
// Shared by the device worker, the main window and the tests.
#pragma once

#include <QMetaType>
#include <QVector>
#include <QtGlobal>

#include <cmath>

constexpr int channelCount = 12;

// The headset's 24-bit count and the volts a sample carries: one count is
// 256/255 * 2^-11 mV (the count sits in the upper three bytes of a 32-bit word,
// and the headset divides by 255). Samples travel in volts; the store and the
// files keep the count, which the volts give back exactly.
constexpr double voltsPerCount = 256.0 / 255.0 / 2048.0 / 1000.0;
constexpr qint32 countMaximum = 8388607;
constexpr qint32 countMinimum = -8388608;
inline qint32 sampleCount(double volts)
{
    const double c = std::nearbyint(volts / voltsPerCount);
    return c > countMaximum ? countMaximum : c < countMinimum ? countMinimum : qint32(c);
}

// One twelve-channel sample: volts per channel (element 0 is channel 1) and the
// capture time in seconds.
struct structSample {
    double value[channelCount];
    double time;
};

// Stimulation series, copied byte for byte into the command frames. Packed and
// little-endian on every platform we build for (x86, ARM little-endian); the
// static_asserts keep the layout honest.
#pragma pack(push, 1)
struct structLightParam {
    quint8 bright;       // 0..250 for 0..100 %
    quint16 duration;    // flash duration, 0.05 ms units
    quint16 pause;       // pause between flashes, 0.05 ms units
    quint16 count;       // flashes in a burst
    quint16 seriesPause; // pause between bursts, ms
    quint16 seriesCount; // number of bursts
};
struct structSoundParam {
    quint8 volume;       // 0..250 for 0..100 %
    quint16 duration;    // signal duration, 0.05 ms units
    quint16 pause;       // pause between signals, 0.05 ms units
    quint16 count;       // signals in a series
    quint16 tone;        // tone period, microseconds
    quint16 seriesPause; // pause between series, ms
    quint16 seriesCount; // number of series
};
#pragma pack(pop)
static_assert(sizeof(structLightParam) == 11, "light frame payload is 11 bytes");
static_assert(sizeof(structSoundParam) == 13, "sound frame payload is 13 bytes");
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "parameter records are sent as laid out in memory");

// The one pending request of the worker, and the exchange loop's next step.
enum DeviceTask {
    taskNone = 0,
    taskTerminate = 1,
    taskCaptureStart = 2,
    taskRead = 3,
    taskSendCommand = 4,
    taskCaptureStop = 5,
    taskLightStart = 6,
    taskLightStop = 7,
    taskSoundStart = 8,
    taskSoundStop = 9,
};

Q_DECLARE_METATYPE(structSample)
Q_DECLARE_METATYPE(structLightParam)
Q_DECLARE_METATYPE(structSoundParam)
