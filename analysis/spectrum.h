// Spectrum arithmetic used by the device worker: FFTW plan life-cycle behind a
// process-wide planner lock, the frequency axis and the amplitude of each line.
#pragma once

#include <QVector>
#include <QtGlobal>
#include <fftw3.h>

// FFTW's planner is not thread-safe; every plan is made and destroyed through
// these, which serialise the planner across threads. fftw_execute on distinct
// plans may run concurrently without them.
fftw_plan spectrumMakePlan(int count, fftw_complex* in, fftw_complex* out);
void spectrumDestroyPlan(fftw_plan plan);
// A real-to-complex forward plan of `count` points (count / 2 + 1 outputs).
fftw_plan spectrumMakeRealPlan(int count, double* in, fftw_complex* out);

// frequencies[k] = k * fs / N for k = 0 .. N/2 - 1, fs = 1 / (period * 1.25e-7) Hz.
void spectrumFrequencies(QVector<double>& frequencies, quint16 period, quint32 count);

// spectrum[k] = |out[k]| / (N/2) for k = 0 .. N/2 - 1.
void spectrumAmplitudes(QVector<double>& spectrum, const fftw_complex* out, quint32 count);

// Stores one sample in every channel's block: in[c][fill] = (weight * values[c], 0),
// the weight being windowValue(kind, fill, count), evaluated afresh each time.
void spectrumWindowAndStore(fftw_complex* const* in, const double* values, int channels, int kind,
                            quint32 fill, quint32 count);

// frequencies[k] = k * fs / N for k = 0 .. N/2 - 1, for any rate fs in Hz.
void spectrumFrequenciesAt(QVector<double>& frequencies, double samplesPerSecond, quint32 count);

// The spectrum of one block of `count` values, windowed and scaled as the
// worker's are (for a recording under review, where no worker computes them).
// Makes and destroys its own plan.
void spectrumOfBlock(QVector<double>& spectrum, const double* values, quint32 count, int kind);
