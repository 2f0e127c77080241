// Welch's power spectral density and the arithmetic on it: frequency bands,
// their power, and the peak of a band.
//
// The estimate: the series is cut into segments of `segment` samples, each
// `step` after the one before (the last segment ends at or before the end);
// each segment has its mean removed, is weighted by the window and
// transformed; the squared magnitudes are averaged over the segments and
// scaled to a one-sided density: psd[k] = c * mean|X_k|^2 / (fs * sum w^2),
// c = 2 except for the line at 0 and, for an even segment, the one at fs/2.
// Line k lies at k * fs / segment. Summed over the lines and multiplied by the
// line spacing, the density gives back the series' variance.
#pragma once

#include <QString>
#include <QVector>

#include <functional>
#include <vector>

#include "analysis/fftwindow.h"

struct WelchSettings {
    double segmentSeconds = 2;
    double overlapPercent = 50; // 0 .. 95
    int window = Hann;          // one of the eleven FFTWindow kinds
};

// Segment and step in samples for a rate: the segment is the nearest whole
// number of samples to segmentSeconds (at least 2), the overlap the nearest
// whole number to its share of the segment (less than the segment).
struct WelchLayout {
    int segment = 0;
    int step = 0;
};
WelchLayout welchLayout(const WelchSettings& settings, double samplesPerSecond);

// Accumulates segments of one length and window, one at a time.
class WelchEstimator
{
public:
    WelchEstimator(int segment, int window);
    ~WelchEstimator();
    WelchEstimator(const WelchEstimator&) = delete;
    WelchEstimator& operator=(const WelchEstimator&) = delete;

    int segment() const { return length; }
    // The buffer the next segment is written to (segment() values).
    double* input() { return in; }
    // Removes the mean of input(), weights it and adds its spectrum.
    void addSegment();
    int segments() const { return count; }
    // The density at rate fs from the segments added so far (segment/2 + 1
    // lines); empty when no segment was added.
    std::vector<double> density(double samplesPerSecond) const;
    void reset();

private:
    int length;
    int count = 0;
    double windowPower = 0;
    std::vector<double> weights;
    std::vector<double> sums;
    double* in = nullptr;
    void* out = nullptr;
    void* plan = nullptr;
};

// The density of a whole series (empty when it is shorter than one segment).
std::vector<double> welchDensity(const double* values, qint64 n, double samplesPerSecond,
                                 const WelchSettings& settings);

// A frequency band: it holds its lower edge and not its upper.
struct FrequencyBand {
    QString name;
    double low = 0;
    double high = 0;
};

// delta 0.5-4, theta 4-8, alpha 8-13, beta 13-30, gamma 30-45 Hz.
QVector<FrequencyBand> defaultBands();
// "name:low-high,name:low-high,..." (a name may be left out: "0.5-4,4-8");
// false, with `error` saying why, when the text is no such list or a band is
// empty or reversed.
bool parseBands(const QString& text, QVector<FrequencyBand>& bands, QString* error = nullptr);
QString formatBands(const QVector<FrequencyBand>& bands);

// Power of the lines of `psd` (spacing binHz) with low <= f < high: the sum of
// their densities times the spacing.
double bandPower(const std::vector<double>& psd, double binHz, double low, double high);
// The same with both edges included.
double bandPowerClosed(const std::vector<double>& psd, double binHz, double low, double high);

// The frequency of the largest line in low..high, refined between its
// neighbours by a parabola through their logarithms; NaN when the largest line
// is at either edge of the band (a slope, not a peak) or the band holds fewer
// than three lines.
double peakFrequency(const std::vector<double>& psd, double binHz, double low, double high);
