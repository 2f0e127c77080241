// Spectrum of every channel over consecutive blocks of fftCount samples.
//
// The worker owns the buffers, plans and counters and touches them without a
// lock. Once the device lives in its worker, setFFTCount and setFFTWindow (GUI
// thread) therefore do not change them: they leave the new length or window
// under `mutex`, and the worker takes it before it stores the next sample.
// Plans are made and destroyed only through the spectrum helpers, which
// serialise FFTW's planner.
#include "device/device.h"

#include <QDebug>
#include <QMutexLocker>
#include <QThread>
#include <climits>

#include "analysis/spectrum.h"

namespace
{
void freeBuffer(fftw_complex* buffer)
{
    if (buffer)
        fftw_free(buffer);
}
} // namespace

void Device::setFFTCount(uint count)
{
    qDebug() << "Device::setFFTCount" << count;
    if (count < 2)
        return; // no block and no spectrum line to speak of
    if (ownThread()) {
        resizeFFT(count);
        return;
    }
    QMutexLocker lock(&mutex);
    fftPendingCount = count;
    fftChangePending.store(true, std::memory_order_release);
}

void Device::setFFTWindow(FFTWindow value)
{
    if (ownThread()) {
        fftWindow = value;
        fftFill = 0;
        return;
    }
    QMutexLocker lock(&mutex);
    fftPendingWindow = value;
    fftPendingWindowSet = true;
    fftChangePending.store(true, std::memory_order_release);
}

// Before the device is moved to its worker (the constructor's setFFTCount) no
// other thread uses the spectrum state, and a change can be made at once.
bool Device::ownThread() const
{
    return thread() == QThread::currentThread();
}

double Device::windowValue(int kind, double n, double N)
{
    return ::windowValue(kind, n, N);
}

// The axis follows the period of the samples, which is the one the headset
// confirmed last, not a newer request that it may yet refuse.
void Device::updateFrequencies()
{
    spectrumFrequencies(frequencies, samplePeriod, fftCount);
}

void Device::windowAndStore(const double* values)
{
    if (fftChangePending.load(std::memory_order_acquire))
        applyFFTChanges();
    if (!fftIn[0])
        return;
    spectrumWindowAndStore(fftIn, values, channelCount, fftWindow, fftFill, fftCount);
}

void Device::advanceAndTransform()
{
    if (!fftPlan[0])
        return;
    fftFill = fftFill + 1;
    if (fftFill < fftCount)
        return;
    // The samples a spectrum is made of reach the window before it, whatever
    // part of a batch they are.
    flushBatch();
    for (int c = 0; c < channelCount; ++c) {
        fftw_execute(fftPlan[c]);
        spectrumAmplitudes(spectrum, fftOut[c], fftCount);
        emit updateDataFFT(c, frequencies, spectrum);
    }
    fftFill = 0;
}

void Device::applyFFTChanges()
{
    quint32 count;
    bool windowSet;
    int window;
    {
        QMutexLocker lock(&mutex);
        count = fftPendingCount;
        windowSet = fftPendingWindowSet;
        window = fftPendingWindow;
        fftPendingCount = 0;
        fftPendingWindowSet = false;
        fftChangePending.store(false, std::memory_order_relaxed);
    }
    if (count)
        resizeFFT(count);
    if (windowSet) {
        fftWindow = window;
        fftFill = 0;
    }
}

void Device::resizeFFT(quint32 count)
{
    if (count != fftCount || !fftPlan[0]) {
        // Build the new set completely before giving up the old one, so that a
        // length the memory cannot hold leaves the spectrum as it was.
        fftw_plan plan[channelCount] = {};
        fftw_complex* in[channelCount] = {};
        fftw_complex* out[channelCount] = {};
        bool made = count <= quint32(INT_MAX);
        for (int c = 0; made && c < channelCount; ++c) {
            in[c] = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * count));
            out[c] = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * count));
            if (in[c] && out[c])
                plan[c] = spectrumMakePlan(int(count), in[c], out[c]);
            made = plan[c] != nullptr;
        }
        if (!made) {
            qDebug() << "Device::setFFTCount" << count << "out of memory";
            for (int c = 0; c < channelCount; ++c) {
                spectrumDestroyPlan(plan[c]);
                freeBuffer(in[c]);
                freeBuffer(out[c]);
            }
            return;
        }
        releaseFFT();
        for (int c = 0; c < channelCount; ++c) {
            fftPlan[c] = plan[c];
            fftIn[c] = in[c];
            fftOut[c] = out[c];
        }
    }
    fftCount = count;
    fftFill = 0;
    spectrum.resize(int(count / 2));
    updateFrequencies();
}

void Device::releaseFFT()
{
    for (int c = 0; c < channelCount; ++c) {
        spectrumDestroyPlan(fftPlan[c]);
        freeBuffer(fftIn[c]);
        freeBuffer(fftOut[c]);
        fftPlan[c] = nullptr;
        fftIn[c] = nullptr;
        fftOut[c] = nullptr;
    }
}
