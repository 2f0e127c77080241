// An EEG-like live capture for the analysis tests and benchmark: per channel a
// DC offset, theta, alpha and beta rhythms, mains, a slow wander and white
// noise, all in microvolts, appended as the worker's batches are.
#pragma once

#include <QRandomGenerator>
#include <QVector>

#include <cmath>

#include "capture/capturestore.h"

struct SyntheticRhythm {
    double hz;
    double microvolts; // amplitude
};

inline void fillSyntheticEeg(CaptureStore& store, quint16 period, double seconds, quint32 seed = 1,
                             double alphaHz = 10)
{
    store.reset(period, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)));
    const double fs = 1.0 / (period * CaptureStore::tickSeconds);
    const qint64 n = qint64(seconds * fs);
    QRandomGenerator random(seed);
    double wander[channelCount] = {};
    QVector<structSample> batch;
    batch.reserve(64);
    for (qint64 i = 0; i < n; ++i) {
        const double t = double(i) / fs;
        structSample s{};
        for (int c = 0; c < channelCount; ++c) {
            const SyntheticRhythm rhythms[] = {
                {6, 8.0 + c}, {alphaHz, 10.0 + 3 * c}, {21.5, 4}, {50, 5}, {37.3, 2}};
            double uv = 100.0 * (c - 6);
            for (const SyntheticRhythm& r : rhythms)
                uv += r.microvolts * std::sin(2 * M_PI * r.hz * t + c);
            // Leaky integrated noise: power falling with frequency.
            wander[c] = 0.995 * wander[c] + (random.generateDouble() - 0.5) * 6;
            uv += wander[c] + (random.generateDouble() - 0.5) * 10;
            s.value[c] = uv * 1e-6;
        }
        s.time = t;
        batch.append(s);
        if (batch.size() == 64) {
            store.append(batch);
            batch.clear();
        }
    }
    if (!batch.isEmpty())
        store.append(batch);
}
