#include "analysis/displayfilter.h"

#include <liquid/liquid.h>

#include <cmath>
#include <limits>

namespace
{

constexpr unsigned highPassOrder = 2;
constexpr unsigned lowPassOrder = 4;
// Half the notch's -3 dB width: narrow enough to leave 45 Hz untouched, wide
// enough to hold mains that wanders by a few tenths of a hertz.
constexpr double notchHalfWidthHz = 1.0;
// Pass-band ripple and stop-band attenuation: the design takes them, a
// Butterworth filter does not use them.
constexpr float rippleDb = 1.0f;
constexpr float stopDb = 60.0f;

// Finite, with a leading feedback coefficient, and poles inside the unit circle
// (the stability triangle of a second-order section).
bool sectionIsSound(const float* b, const float* a)
{
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(b[i]) || !std::isfinite(a[i]))
            return false;
    if (a[0] == 0.0f)
        return false;
    const double a1 = double(a[1]) / a[0];
    const double a2 = double(a[2]) / a[0];
    return std::fabs(a2) < 1.0 && std::fabs(a1) < 1.0 + a2;
}

} // namespace

DisplayFilter::DisplayFilter(int channels)
    : channelTotal(channels > 0 ? channels : 0), baseline(std::size_t(channelTotal), 0.0),
      primed(std::size_t(channelTotal), false)
{
}

DisplayFilter::~DisplayFilter()
{
    release();
}

void DisplayFilter::setRate(double samplesPerSecond)
{
    if (samplesPerSecond == rate)
        return;
    rate = samplesPerSecond;
    design();
}

void DisplayFilter::setChoices(double highPassHz, double lowPassHz, double notchHz)
{
    if (highPassHz == choice[HighPass] && lowPassHz == choice[LowPass] && notchHz == choice[Notch])
        return;
    choice[HighPass] = highPassHz;
    choice[LowPass] = lowPassHz;
    choice[Notch] = notchHz;
    design();
}

void DisplayFilter::reset()
{
    for (iirfiltsos_rrrf section : sections)
        iirfiltsos_rrrf_reset(section);
    for (std::size_t c = 0; c < primed.size(); ++c) {
        primed[c] = false;
        baseline[c] = 0.0;
    }
}

void DisplayFilter::release()
{
    for (iirfiltsos_rrrf section : sections)
        iirfiltsos_rrrf_destroy(section);
    sections.clear();
    perChannel = 0;
}

void DisplayFilter::design()
{
    release();
    coefficients.clear();
    const double nyquist = rate / 2;

    // lowest and highest: the band the stage reaches, which must lie inside
    // (0, nyquist) for the design to hold.
    auto add = [&](Stage stage, liquid_iirdes_bandtype band, unsigned order, double cutoff,
                   double centre, double lowest, double highest) {
        active[stage] = false;
        dropped[stage] = false;
        if (!(choice[stage] > 0))
            return;
        if (!(rate > 0) || !std::isfinite(rate) || !(lowest > 0) || !(highest < nyquist)) {
            dropped[stage] = true;
            return;
        }
        // A band-stop doubles the prototype's order; sections hold two poles.
        const unsigned poles = band == LIQUID_IIRDES_BANDSTOP ? 2 * order : order;
        const unsigned count = (poles + 1) / 2;
        std::vector<float> b(3 * count, std::numeric_limits<float>::quiet_NaN());
        std::vector<float> a(b);
        liquid_iirdes(LIQUID_IIRDES_BUTTER, band, LIQUID_IIRDES_SOS, order, float(cutoff / rate),
                      float(centre / rate), rippleDb, stopDb, b.data(), a.data());
        for (unsigned s = 0; s < count; ++s)
            if (!sectionIsSound(&b[3 * s], &a[3 * s])) {
                dropped[stage] = true;
                return;
            }
        for (unsigned s = 0; s < count; ++s) {
            coefficients.insert(coefficients.end(), &b[3 * s], &b[3 * s] + 3);
            coefficients.insert(coefficients.end(), &a[3 * s], &a[3 * s] + 3);
        }
        active[stage] = true;
    };

    const double hp = choice[HighPass];
    const double lp = choice[LowPass];
    const double notch = choice[Notch];
    add(HighPass, LIQUID_IIRDES_HIGHPASS, highPassOrder, hp, 0, hp, hp);
    add(Notch, LIQUID_IIRDES_BANDSTOP, 1, notch - notchHalfWidthHz, notch, notch - notchHalfWidthHz,
        notch + notchHalfWidthHz);
    add(LowPass, LIQUID_IIRDES_LOWPASS, lowPassOrder, lp, 0, lp, lp);

    perChannel = int(coefficients.size() / 6);
    sections.reserve(std::size_t(perChannel) * std::size_t(channelTotal));
    for (int c = 0; c < channelTotal; ++c)
        for (int s = 0; s < perChannel; ++s) {
            float* b = &coefficients[std::size_t(s) * 6];
            sections.push_back(iirfiltsos_rrrf_create(b, b + 3));
        }
    reset();
}

template <typename T> void DisplayFilter::run(int channel, T* samples, std::size_t count)
{
    if (perChannel == 0 || channel < 0 || channel >= channelTotal)
        return;
    iirfiltsos_rrrf* const chain = sections.data() + std::size_t(channel) * perChannel;
    const std::size_t c = std::size_t(channel);
    // Without a high-pass the level is part of the picture: put it back.
    const bool keepLevel = !active[HighPass];
    for (std::size_t i = 0; i < count; ++i) {
        const double x = samples[i];
        if (!std::isfinite(x))
            continue;
        if (!primed[c]) {
            baseline[c] = x;
            primed[c] = true;
        }
        float v = float(x - baseline[c]);
        if (!std::isfinite(v))
            continue;
        for (int s = 0; s < perChannel; ++s)
            iirfiltsos_rrrf_execute_df1(chain[s], v, &v);
        samples[i] = T(keepLevel ? v + baseline[c] : double(v));
    }
}

void DisplayFilter::process(int channel, double* samples, std::size_t count)
{
    run(channel, samples, count);
}

void DisplayFilter::process(int channel, float* samples, std::size_t count)
{
    run(channel, samples, count);
}
