// Conversions between the values the operator sets in the window and the units
// the headset works in. Rounding is half away from zero throughout (2.5 -> 3),
// and a stimulation field keeps the rounded value truncated to its width.
#pragma once

#include "device/types.h"

// Capture rate: the sample period in ticks of 125 ns, as milliseconds and hertz.
double periodMsFromTicks(int ticks);
double frequencyHzFromTicks(int ticks);
int ticksFromPeriodMs(double milliseconds);
int ticksFromFrequencyHz(double hertz);

// Stimulation series: percentages become 0..250, durations and pauses units of
// 0.05 ms; counts and series values pass unchanged.
structLightParam makeLightParam(double brightPercent, double durationMs, double pauseMs, int count,
                                int seriesPauseMs, int seriesCount);
structSoundParam makeSoundParam(double volumePercent, double durationMs, double pauseMs, int count,
                                double toneUs, int seriesPauseMs, int seriesCount);
