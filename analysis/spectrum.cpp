#include "analysis/spectrum.h"

#include <cmath>
#include <mutex>

#include "analysis/fftwindow.h"

namespace
{
std::mutex& plannerMutex()
{
    static std::mutex mutex;
    return mutex;
}
} // namespace

fftw_plan spectrumMakePlan(int count, fftw_complex* in, fftw_complex* out)
{
    std::lock_guard<std::mutex> lock(plannerMutex());
    return fftw_plan_dft_1d(count, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
}

fftw_plan spectrumMakeRealPlan(int count, double* in, fftw_complex* out)
{
    std::lock_guard<std::mutex> lock(plannerMutex());
    return fftw_plan_dft_r2c_1d(count, in, out, FFTW_ESTIMATE);
}

void spectrumDestroyPlan(fftw_plan plan)
{
    if (!plan)
        return;
    std::lock_guard<std::mutex> lock(plannerMutex());
    fftw_destroy_plan(plan);
}

void spectrumFrequencies(QVector<double>& frequencies, quint16 period, quint32 count)
{
    const int lines = int(count / 2);
    frequencies.resize(lines);
    const double fs = 1 / (period * 1.25e-7);
    for (int k = 0; k < lines; ++k)
        frequencies[k] = fs * 0.5 * k / lines;
}

void spectrumAmplitudes(QVector<double>& spectrum, const fftw_complex* out, quint32 count)
{
    const int lines = int(count / 2);
    spectrum.resize(lines);
    double* amplitude = spectrum.data();
    const double scale = double(lines);
    for (int k = 0; k < lines; ++k)
        amplitude[k] = std::sqrt(out[k][0] * out[k][0] + out[k][1] * out[k][1]) / scale;
}

void spectrumWindowAndStore(fftw_complex* const* in, const double* values, int channels, int kind,
                            quint32 fill, quint32 count)
{
    for (int c = 0; c < channels; ++c) {
        in[c][fill][0] = windowValue(kind, fill, count) * values[c];
        in[c][fill][1] = 0;
    }
}

void spectrumFrequenciesAt(QVector<double>& frequencies, double samplesPerSecond, quint32 count)
{
    const int lines = int(count / 2);
    frequencies.resize(lines);
    for (int k = 0; k < lines; ++k)
        frequencies[k] = samplesPerSecond * 0.5 * k / lines;
}

void spectrumOfBlock(QVector<double>& spectrum, const double* values, quint32 count, int kind)
{
    spectrum.clear();
    if (count < 2)
        return;
    fftw_complex* in = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * count));
    fftw_complex* out = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * count));
    if (in && out) {
        const fftw_plan plan = spectrumMakePlan(int(count), in, out);
        if (plan) {
            for (quint32 i = 0; i < count; ++i)
                spectrumWindowAndStore(&in, values + i, 1, kind, i, count);
            fftw_execute(plan);
            spectrumAmplitudes(spectrum, out, count);
            spectrumDestroyPlan(plan);
        }
    }
    if (in)
        fftw_free(in);
    if (out)
        fftw_free(out);
}
