#include "analysis/welch.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/spectrum.h"

namespace
{
// Lines whose frequency lies within this of a band edge count as on it, so
// that k * fs / n computed either way falls on the same side.
constexpr double edgeTolerance = 1e-9;

// Index range [first, last) of the lines with low <= f < high (or <= high).
void lineRange(std::size_t lines, double binHz, double low, double high, bool closed,
               std::size_t& first, std::size_t& last)
{
    first = lines;
    last = 0;
    if (binHz <= 0 || lines == 0)
        return;
    double a = std::ceil(low / binHz - edgeTolerance);
    a = std::max(0.0, a);
    double b = closed ? std::floor(high / binHz + edgeTolerance) + 1
                      : std::ceil(high / binHz - edgeTolerance);
    b = std::min(double(lines), b);
    if (b <= a)
        return;
    first = std::size_t(a);
    last = std::size_t(b);
}
} // namespace

WelchLayout welchLayout(const WelchSettings& settings, double samplesPerSecond)
{
    WelchLayout layout;
    if (!(samplesPerSecond > 0) || !(settings.segmentSeconds > 0))
        return layout;
    const double segment = std::round(settings.segmentSeconds * samplesPerSecond);
    if (segment < 2 || segment > 1e8)
        return layout;
    layout.segment = int(segment);
    const double share = std::min(95.0, std::max(0.0, settings.overlapPercent)) / 100;
    const int overlap = std::min(layout.segment - 1, int(std::round(segment * share)));
    layout.step = layout.segment - overlap;
    return layout;
}

WelchEstimator::WelchEstimator(int segment, int window) : length(std::max(2, segment))
{
    weights.resize(std::size_t(length));
    for (int i = 0; i < length; ++i) {
        weights[std::size_t(i)] = windowValue(window, i, length);
        windowPower += weights[std::size_t(i)] * weights[std::size_t(i)];
    }
    sums.assign(std::size_t(length / 2 + 1), 0.0);
    in = static_cast<double*>(fftw_malloc(sizeof(double) * std::size_t(length)));
    out = fftw_malloc(sizeof(fftw_complex) * std::size_t(length / 2 + 1));
    std::fill(in, in + length, 0.0);
    plan = spectrumMakeRealPlan(length, in, static_cast<fftw_complex*>(out));
}

WelchEstimator::~WelchEstimator()
{
    spectrumDestroyPlan(static_cast<fftw_plan>(plan));
    fftw_free(in);
    fftw_free(out);
}

void WelchEstimator::addSegment()
{
    double mean = 0;
    for (int i = 0; i < length; ++i)
        mean += in[i];
    mean /= length;
    for (int i = 0; i < length; ++i)
        in[i] = (in[i] - mean) * weights[std::size_t(i)];
    fftw_execute(static_cast<fftw_plan>(plan));
    const fftw_complex* x = static_cast<const fftw_complex*>(out);
    for (std::size_t k = 0; k < sums.size(); ++k)
        sums[k] += x[k][0] * x[k][0] + x[k][1] * x[k][1];
    ++count;
}

std::vector<double> WelchEstimator::density(double samplesPerSecond) const
{
    std::vector<double> psd;
    if (count == 0 || !(windowPower > 0) || !(samplesPerSecond > 0))
        return psd;
    psd.resize(sums.size());
    const double scale = 1.0 / (double(count) * samplesPerSecond * windowPower);
    for (std::size_t k = 0; k < sums.size(); ++k) {
        const bool single = k == 0 || (length % 2 == 0 && k == std::size_t(length / 2));
        psd[k] = sums[k] * scale * (single ? 1 : 2);
    }
    return psd;
}

void WelchEstimator::reset()
{
    std::fill(sums.begin(), sums.end(), 0.0);
    count = 0;
}

std::vector<double> welchDensity(const double* values, qint64 n, double samplesPerSecond,
                                 const WelchSettings& settings)
{
    const WelchLayout layout = welchLayout(settings, samplesPerSecond);
    if (layout.segment < 2 || n < layout.segment)
        return {};
    WelchEstimator estimator(layout.segment, settings.window);
    for (qint64 at = 0; at + layout.segment <= n; at += layout.step) {
        std::copy(values + at, values + at + layout.segment, estimator.input());
        estimator.addSegment();
    }
    return estimator.density(samplesPerSecond);
}

QVector<FrequencyBand> defaultBands()
{
    return {
        {"delta", 0.5, 4}, {"theta", 4, 8}, {"alpha", 8, 13}, {"beta", 13, 30}, {"gamma", 30, 45}};
}

bool parseBands(const QString& text, QVector<FrequencyBand>& bands, QString* error)
{
    static const QRegularExpression item(
        R"(^\s*(?:([^:,]*\S)\s*:)?\s*([0-9]+(?:\.[0-9]*)?)\s*-\s*([0-9]+(?:\.[0-9]*)?)\s*$)");
    QVector<FrequencyBand> parsed;
    const QStringList parts = text.split(',');
    for (const QString& part : parts) {
        const QRegularExpressionMatch m = item.match(part);
        if (!m.hasMatch()) {
            if (error)
                *error = QStringLiteral("not a band: \"%1\"").arg(part.trimmed());
            return false;
        }
        FrequencyBand band;
        band.low = m.captured(2).toDouble();
        band.high = m.captured(3).toDouble();
        band.name = m.captured(1).trimmed();
        if (band.name.isEmpty())
            band.name = QStringLiteral("%1-%2").arg(m.captured(2), m.captured(3));
        if (!(band.high > band.low)) {
            if (error)
                *error = QStringLiteral("empty band: \"%1\"").arg(part.trimmed());
            return false;
        }
        parsed.append(band);
    }
    bands = parsed;
    return true;
}

QString formatBands(const QVector<FrequencyBand>& bands)
{
    QStringList parts;
    for (const FrequencyBand& b : bands)
        parts << QStringLiteral("%1:%2-%3").arg(b.name).arg(b.low).arg(b.high);
    return parts.join(',');
}

double bandPower(const std::vector<double>& psd, double binHz, double low, double high)
{
    std::size_t first, last;
    lineRange(psd.size(), binHz, low, high, false, first, last);
    double sum = 0;
    for (std::size_t k = first; k < last; ++k)
        sum += psd[k];
    return sum * binHz;
}

double bandPowerClosed(const std::vector<double>& psd, double binHz, double low, double high)
{
    std::size_t first, last;
    lineRange(psd.size(), binHz, low, high, true, first, last);
    double sum = 0;
    for (std::size_t k = first; k < last; ++k)
        sum += psd[k];
    return sum * binHz;
}

double peakFrequency(const std::vector<double>& psd, double binHz, double low, double high)
{
    const double none = std::numeric_limits<double>::quiet_NaN();
    std::size_t first, last;
    lineRange(psd.size(), binHz, low, high, true, first, last);
    if (last < first + 3)
        return none;
    std::size_t best = first;
    for (std::size_t k = first; k < last; ++k)
        if (psd[k] > psd[best])
            best = k;
    if (best == first || best + 1 == last || !(psd[best] > 0))
        return none;
    const double a = std::log(std::max(psd[best - 1], 1e-300));
    const double b = std::log(psd[best]);
    const double c = std::log(std::max(psd[best + 1], 1e-300));
    const double curve = a - 2 * b + c;
    const double shift = curve < 0 ? 0.5 * (a - c) / curve : 0;
    return (double(best) + std::max(-0.5, std::min(0.5, shift))) * binHz;
}
