#include "app/conversions.h"

#include <cmath>

namespace
{

qint64 roundHalfAway(double value)
{
    return std::llround(value);
}
quint8 toByte(double value)
{
    return static_cast<quint8>(roundHalfAway(value));
}
quint16 toWord(double value)
{
    return static_cast<quint16>(roundHalfAway(value));
}

constexpr double tick = 1.25e-7; // seconds

} // namespace

double periodMsFromTicks(int ticks)
{
    return ticks * 0.000125;
}

double frequencyHzFromTicks(int ticks)
{
    return 1 / (ticks * tick);
}

int ticksFromPeriodMs(double milliseconds)
{
    return static_cast<int>(roundHalfAway(milliseconds / tick / 1000));
}

int ticksFromFrequencyHz(double hertz)
{
    return static_cast<int>(roundHalfAway(1 / hertz / tick));
}

structLightParam makeLightParam(double brightPercent, double durationMs, double pauseMs, int count,
                                int seriesPauseMs, int seriesCount)
{
    structLightParam param{};
    param.bright = toByte(brightPercent * 250 / 100);
    param.duration = toWord(durationMs / 0.05);
    param.pause = toWord(pauseMs / 0.05);
    param.count = static_cast<quint16>(count);
    param.seriesPause = static_cast<quint16>(seriesPauseMs);
    param.seriesCount = static_cast<quint16>(seriesCount);
    return param;
}

structSoundParam makeSoundParam(double volumePercent, double durationMs, double pauseMs, int count,
                                double toneUs, int seriesPauseMs, int seriesCount)
{
    structSoundParam param{};
    param.volume = toByte(volumePercent * 250 / 100);
    param.duration = toWord(durationMs / 0.05);
    param.pause = toWord(pauseMs / 0.05);
    param.count = static_cast<quint16>(count);
    param.tone = toWord(toneUs);
    param.seriesPause = static_cast<quint16>(seriesPauseMs);
    param.seriesCount = static_cast<quint16>(seriesCount);
    return param;
}
