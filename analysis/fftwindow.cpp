#include "analysis/fftwindow.h"

#include <cmath>

namespace
{
// Written out rather than derived from M_PI so that every build weighs alike.
constexpr double twoPi = 6.283185307179586;
constexpr double fourPi = 12.566370614359172;
constexpr double sixPi = 18.84955592153876;
} // namespace

double windowValue(int kind, double n, double N)
{
    const double M = N - 1;
    const double x = n / M;
    switch (kind) {
    case Gauss: {
        const double t = (n - M / 2) / (0.5 * M / 2);
        return std::exp(-0.5 * t * t);
    }
    case Hamming:
        return 0.54 - 0.46 * std::cos(twoPi * x);
    case Hann:
        return 0.5 * (1 - std::cos(twoPi * x));
    case Triangular:
        return 1 - 2 * std::fabs(n - M / 2) / M;
    case Nuttall:
        return 0.355768 - 0.487396 * std::cos(twoPi * x) + 0.144232 * std::cos(fourPi * x) -
               0.012604 * std::cos(sixPi * x);
    case Blackman:
        return 0.42323 - 0.49755 * std::cos(twoPi * x) + 0.07922 * std::cos(fourPi * x);
    case BlackmanNuttall:
        return 0.3635819 - 0.4891775 * std::cos(twoPi * x) + 0.1365995 * std::cos(fourPi * x) -
               0.0106411 * std::cos(sixPi * x);
    case BlackmanHarris:
        return 0.35875 - 0.48829 * std::cos(twoPi * x) + 0.14128 * std::cos(fourPi * x) -
               0.01168 * std::cos(sixPi * x);
    case FlatTop:
        return 0.2810639 - 0.5208972 * std::cos(twoPi * x) + 0.1980399 * std::cos(fourPi * x);
    case Welch: {
        const double t = (n - M / 2) / (M / 2);
        return 1 - t * t;
    }
    case Rectangular:
    default:
        return 1;
    }
}

FFTWindow fftWindowFromIndex(int index)
{
    if (index >= Gauss && index <= Welch)
        return FFTWindow(index);
    return Rectangular;
}
