// An EEG-like signal for the simulated headset: a 1/f background, posterior
// alpha that open eyes block, beta, mains pick-up, frontal blinks and the
// driven response to a light train, placed as if the twelve channels were
// Fp1, Fp2, F3, F4, C3, C4, P3, P4, O1, O2, T3, T4.
//
// The serving thread owns it: every member but setEyes is called from there
// only. The cost of a sample is fixed and nothing is allocated per sample.
#pragma once

#include "headset.h"

#include <atomic>
#include <cstdint>
#include <random>

namespace sim
{

class EegSignal
{
public:
    static constexpr int channels = 12;

    explicit EegSignal(const Options& options);

    // Microvolts of channels 1..12 (uv[0] is channel 1) for the next sample of
    // a capture: `captureSeconds` is its time from the capture's first sample,
    // `dt` the sample period in seconds.
    void next(double captureSeconds, double dt, double* uv);

    // Time that passed without samples (between captures), so that a light
    // train keeps its own clock across them.
    void skip(double seconds);

    // A light start frame's parameters (the 11 bytes after its type) took
    // effect `after` seconds after the next sample.
    void lightStart(const uint8_t* param, double after);
    void lightStop(double after);

    // Overrides the eyes of the options (and their cycle) from now on.
    void setEyes(bool open) { eyesOverride = open ? 1 : 0; }

private:
    void prepare(double dt);
    bool eyesOpenAt(double captureSeconds) const;
    double driving();

    const Options opt;
    std::mt19937 rng;
    std::normal_distribution<double> gauss{0.0, 1.0};
    std::atomic<int> eyesOverride{-1}; // -1: as the options say, 0 closed, 1 open

    // Coefficients for the sample period they were made for.
    static constexpr int pinkPoles = 5;
    double preparedDt = 0;
    double pinkA[pinkPoles] = {};
    double pinkB[pinkPoles] = {};
    double pinkScale = 0;
    double betaP1 = 0, betaP2 = 0, betaDrive = 0;
    double slowA = 0, slowB = 0, slowerA = 0, slowerB = 0;
    double eyesStep = 0;

    // State, advanced once per sample.
    double clock = 0; // seconds of signal made so far, idle gaps included
    double made = 0;  // the same without the gaps, so that the signal is the seed's alone
    double pink[channels][pinkPoles] = {};
    double beta[channels][2] = {}; // the resonator's last two outputs
    double mainsUv[channels] = {};
    double lagCos[channels] = {}, lagSin[channels] = {}; // of each channel's alpha phase lag
    double alphaPhase = 0;
    double alphaWander = 0;   // slow unit-variance noise that moves the alpha frequency
    double alphaEnvelope = 0; // slow unit-variance noise that waxes and wanes the alpha
    double alphaGain = 1;     // 1 with eyes closed, lower with eyes open (smoothed)
    double blinkStart = -1e9;
    double blinkUv = 0;

    struct Train {
        bool on = false;
        double start = 0;     // clock of the first flash
        double stop = 1e300;  // clock of a light stop
        double period = 0;    // seconds from one flash to the next
        double cycle = 0;     // seconds from one burst to the next
        unsigned flashes = 0; // per burst
        unsigned bursts = 0;
        double fundamental = 0; // microvolts over the occipital channels
    } train;
};

} // namespace sim
