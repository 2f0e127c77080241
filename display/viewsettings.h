// How the signal plot shows the capture: the operator's view choices as the
// main window keeps them (from the Вид menu and tool bar, restored from the
// settings) and hands them to the drawing. No dependencies, so any layer may
// include it.
#pragma once

#include <cmath>
#include <cstddef>

enum class ViewMode {
    Overlay, // every channel on one axis, in volts
    Lanes,   // each channel in its own horizontal lane, scaled by the sensitivity
};

// What the lanes show: the channels as recorded, each against the average of
// all, or the longitudinal bipolar chain over the electrodes' names.
enum class MontageKind { AsRecorded, AverageReference, Longitudinal };

struct structViewSettings {
    ViewMode mode = ViewMode::Overlay;
    double sensitivity = 100; // µV that one lane's height spans
    double window = 2;        // seconds visible while capturing
    double highPass = 0;      // display filter cut-offs and notch, Hz; 0 is off
    double lowPass = 0;
    double notch = 0;
    MontageKind montage = MontageKind::AsRecorded; // in lanes only

    bool operator==(const structViewSettings& o) const
    {
        return mode == o.mode && sensitivity == o.sensitivity && window == o.window &&
               highPass == o.highPass && lowPass == o.lowPass && notch == o.notch &&
               montage == o.montage;
    }
    bool operator!=(const structViewSettings& o) const { return !(*this == o); }
};

// The steps each control offers, in the order of its items.
inline constexpr double viewSensitivities[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000};
inline constexpr double viewWindows[] = {1, 2, 5, 10, 20, 30, 60};
inline constexpr double viewHighPasses[] = {0, 0.1, 0.5, 1, 5};
inline constexpr double viewLowPasses[] = {0, 15, 30, 45, 70, 100};
inline constexpr double viewNotches[] = {0, 50, 60};

// The position of value among the steps, or -1 when it is not one of them
// (a stored number may come back with its last digit changed).
template <std::size_t N> int viewStepIndex(const double (&steps)[N], double value)
{
    for (std::size_t i = 0; i < N; ++i)
        if (std::fabs(steps[i] - value) <= 1e-9 * std::fabs(steps[i]))
            return int(i);
    return -1;
}
