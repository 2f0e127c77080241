#include "eeg.h"

#include <algorithm>
#include <cmath>

namespace sim
{

namespace
{

constexpr double twoPi = 6.283185307179586;

// Channel order: Fp1, Fp2, F3, F4, C3, C4, P3, P4, O1, O2, T3, T4.
// Alpha: peak microvolts with eyes closed and a phase lag from the back forward.
constexpr double alphaUv[12] = {4, 4, 6, 6.5, 10, 11, 24, 26, 38, 40, 14, 15};
constexpr double alphaLag[12] = {-1.0, -1.0, -0.8, -0.8, -0.5, -0.5, -0.2, -0.2, 0, 0, 0.2, 0.2};
// Beta: rms microvolts, strongest over the front and centre.
constexpr double betaUv[12] = {4.5, 4.5, 5.5, 5.5, 5.5, 5.5, 4.5, 4.5, 3.5, 3.5, 4.5, 4.5};
// Blinks: share of the eye's deflection, which falls off quickly from the brow.
constexpr double blinkShare[12] = {1.0, 1.0, 0.35, 0.35, 0.12, 0.12, 0.04, 0.04, 0, 0, 0.1, 0.1};
// Photic driving: share of the occipital response.
constexpr double drivingShare[12] = {0, 0, 0.05, 0.05, 0.12, 0.12, 0.6, 0.6, 1.0, 1.0, 0.25, 0.25};

constexpr double backgroundRmsUv = 10;
// Corners of the background's one-pole filters: driven by one noise, each to
// unit variance, their sum has a 1/f spectrum from about 0.4 to 30 Hz (within
// 15 %), falling faster above.
constexpr double pinkCornersHz[] = {0.4, 1.2, 3.6, 10.8, 32.4};
constexpr double betaHz = 20;
constexpr double betaBandwidthHz = 6;
constexpr double alphaWanderHz = 0.1; // rms of the alpha frequency's wander
constexpr double alphaDepth = 0.2;    // rms of the alpha amplitude's waxing and waning
constexpr double eyesOpenAlpha = 0.2; // what is left of the alpha with the eyes open
constexpr double eyesSeconds = 0.3;   // time constant of the alpha's block and return
constexpr double blinkPeakSeconds = 0.12;
constexpr double blinkSeconds = 0.6;
constexpr double blinkEveryClosed = 15; // mean seconds between blinks
constexpr double blinkEveryOpen = 4;
constexpr double drivingPeakUv = 25; // occipital response to flashes at the alpha frequency
constexpr double drivingRise = 0.2;  // seconds
constexpr double drivingFall = 0.15;

} // namespace

EegSignal::EegSignal(const Options& options) : opt(options), rng(options.seed * 2654435761u + 17u)
{
    std::uniform_real_distribution<double> mains(12.0, 28.0);
    for (double& uv : mainsUv)
        uv = opt.mainsHz > 0 ? mains(rng) : 0.0;
    alphaPhase = twoPi * std::uniform_real_distribution<double>(0, 1)(rng);
    for (int c = 0; c < channels; ++c) {
        lagCos[c] = std::cos(alphaLag[c]);
        lagSin[c] = std::sin(alphaLag[c]);
    }
}

void EegSignal::prepare(double dt)
{
    preparedDt = dt;
    for (int k = 0; k < pinkPoles; ++k) {
        pinkA[k] = std::exp(-twoPi * pinkCornersHz[k] * dt);
        pinkB[k] = std::sqrt(1 - pinkA[k] * pinkA[k]);
    }
    // The poles share their input, so the sum's variance has cross terms.
    double variance = 0;
    for (int i = 0; i < pinkPoles; ++i)
        for (int k = 0; k < pinkPoles; ++k)
            variance += pinkB[i] * pinkB[k] / (1 - pinkA[i] * pinkA[k]);
    pinkScale = backgroundRmsUv / std::sqrt(variance);
    // Beta as noise through a two-pole resonator y = p1 y[-1] + p2 y[-2] + x,
    // driven so that its variance is one.
    const double r = std::exp(-M_PI * betaBandwidthHz * dt);
    betaP1 = 2 * r * std::cos(twoPi * betaHz * dt);
    betaP2 = -r * r;
    betaDrive =
        std::sqrt((1 + betaP2) * ((1 - betaP2) * (1 - betaP2) - betaP1 * betaP1) / (1 - betaP2));
    slowA = std::exp(-twoPi * 0.2 * dt);
    slowB = std::sqrt(1 - slowA * slowA);
    slowerA = std::exp(-twoPi * 0.1 * dt);
    slowerB = std::sqrt(1 - slowerA * slowerA);
    eyesStep = 1 - std::exp(-dt / eyesSeconds);
}

bool EegSignal::eyesOpenAt(double captureSeconds) const
{
    const int forced = eyesOverride.load(std::memory_order_relaxed);
    if (forced >= 0)
        return forced == 1;
    if (opt.eyesCycleSeconds > 0)
        return static_cast<long long>(captureSeconds / opt.eyesCycleSeconds) % 2 == 1;
    return opt.eyesOpen;
}

void EegSignal::next(double captureSeconds, double dt, double* uv)
{
    if (dt != preparedDt)
        prepare(dt);

    const bool open = eyesOpenAt(captureSeconds);
    alphaGain += ((open ? eyesOpenAlpha : 1.0) - alphaGain) * eyesStep;
    alphaWander = slowerA * alphaWander + slowerB * gauss(rng);
    alphaEnvelope = slowA * alphaEnvelope + slowB * gauss(rng);
    const double hz = opt.alphaHz + alphaWanderHz * std::clamp(alphaWander, -2.0, 2.0);
    alphaPhase = std::fmod(alphaPhase + twoPi * hz * dt, twoPi);
    const double alpha = alphaGain * std::clamp(1 + alphaDepth * alphaEnvelope, 0.5, 1.5);
    const double alphaSin = std::sin(alphaPhase);
    const double alphaCos = std::cos(alphaPhase);
    const double mains = opt.mainsHz > 0 ? std::sin(twoPi * opt.mainsHz * made) : 0.0;

    // A blink now and then; a new one waits for the last to end.
    if (clock - blinkStart > blinkSeconds) {
        const double every = open ? blinkEveryOpen : blinkEveryClosed;
        if (std::uniform_real_distribution<double>(0, 1)(rng) < dt / every) {
            blinkStart = clock;
            blinkUv = std::uniform_real_distribution<double>(80, 200)(rng);
        }
    }
    double blink = 0;
    const double sinceBlink = clock - blinkStart;
    if (sinceBlink >= 0 && sinceBlink < blinkSeconds) {
        const double x = sinceBlink / blinkPeakSeconds;
        blink = blinkUv * x * x * std::exp(2 * (1 - x));
    }
    const double driven = driving();

    for (int c = 0; c < channels; ++c) {
        const double white = gauss(rng);
        double background = 0;
        for (int k = 0; k < pinkPoles; ++k) {
            pink[c][k] = pinkA[k] * pink[c][k] + pinkB[k] * white;
            background += pink[c][k];
        }
        const double b = betaP1 * beta[c][0] + betaP2 * beta[c][1] + betaDrive * gauss(rng);
        beta[c][1] = beta[c][0];
        beta[c][0] = b;
        // sin(phase + lag) without a sine per channel.
        const double a = alphaSin * lagCos[c] + alphaCos * lagSin[c];
        uv[c] = pinkScale * background + betaUv[c] * beta[c][0] + alphaUv[c] * alpha * a +
                mainsUv[c] * mains + blinkShare[c] * blink + drivingShare[c] * driven;
    }
    clock += dt;
    made += dt;
}

void EegSignal::skip(double seconds)
{
    if (seconds > 0)
        clock += seconds;
}

void EegSignal::lightStart(const uint8_t* p, double after)
{
    auto u16 = [&](int at) { return unsigned(p[at] | (p[at + 1] << 8)); };
    const unsigned bright = p[0];
    const unsigned flashTicks = u16(1) + u16(3); // flash and pause, 0.05 ms each
    train = Train{};
    train.flashes = u16(5);
    train.bursts = u16(9);
    if (bright == 0 || flashTicks == 0 || train.flashes == 0 || train.bursts == 0)
        return; // nothing flashes
    train.on = true;
    train.start = clock + std::max(after, 0.0);
    train.period = flashTicks * 50e-6;
    train.cycle = train.flashes * train.period + u16(7) * 1e-3;
    // The cortex follows best near its own alpha frequency and hardly at all
    // far above it.
    const double f = 1 / train.period;
    const double near = std::exp(-std::pow((f - opt.alphaHz) / 5, 2));
    const double high = f > 25 ? std::exp(-std::pow((f - 25) / 15, 2)) : 1.0;
    train.fundamental = drivingPeakUv * (0.5 + 0.5 * near) * high;
}

void EegSignal::lightStop(double after)
{
    if (train.on)
        train.stop = std::min(train.stop, clock + std::max(after, 0.0));
}

// The occipital response to the light train at the current clock: the flash
// frequency and its harmonic, phase-locked to the latest flash, rising over a
// burst and dying away after its last flash.
double EegSignal::driving()
{
    if (!train.on)
        return 0;
    const double s = clock - train.start;
    const double stopped = train.stop - train.start;
    if (s < 0 || stopped <= 0)
        return 0;
    // The latest flash at or before now (and before a stop).
    const double t = std::min(s, std::nextafter(stopped, 0.0));
    const double burst = std::min(std::floor(t / train.cycle), double(train.bursts - 1));
    const double inBurst = t - burst * train.cycle;
    const double flash = std::min(std::floor(inBurst / train.period), double(train.flashes - 1));
    const double onset = burst * train.cycle + flash * train.period;
    const double burstStart = burst * train.cycle;
    const double activeUntil = std::min(onset + train.period, stopped);
    double envelope;
    if (s <= activeUntil) {
        envelope = 1 - std::exp(-(s - burstStart) / drivingRise);
    } else {
        if (s - activeUntil > 20 * drivingFall && (s >= stopped || burst + 1 >= train.bursts)) {
            train.on = false; // the last flash has died away
            return 0;
        }
        envelope = (1 - std::exp(-(activeUntil - burstStart) / drivingRise)) *
                   std::exp(-(s - activeUntil) / drivingFall);
    }
    const double phase = twoPi * (s - onset) / train.period;
    return envelope * train.fundamental * (std::sin(phase) + 0.5 * std::sin(2 * phase + 0.7));
}

} // namespace sim
