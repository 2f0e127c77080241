// Analysis of a capture store over a time range: per channel the Welch power
// spectral density, band powers and the peak alpha frequency (channels in
// volts, reported in microvolts), summary statistics, and the photic driving
// report for the light trains that the annotations describe.
//
// The store belongs to one thread. takeSnapshot runs there and notes where
// each channel's samples of the range lie; analyseSnapshot then reads them in
// any thread while the owner keeps appending (the store's blocks never move),
// provided the owner does not reset the store meanwhile. AnalysisJob does
// that in a thread of its own with progress and cancel.
#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <limits>
#include <vector>

#include "analysis/welch.h"
#include "capture/capturestore.h"

class QThread;

// An event of the recording in seconds on the store's time axis.
struct AnalysisAnnotation {
    double onset = 0;
    double duration = -1; // < 0: none given
    QString text;
};

struct AnalysisRequest {
    double from = 0; // seconds on the store's time axis
    double to = std::numeric_limits<double>::infinity();
    WelchSettings welch;
    QVector<FrequencyBand> bands = defaultBands();
    double mainsHz = 50; // 50 or 60
    QVector<AnalysisAnnotation> annotations;
};

// A light train: flashes at `frequency` from `onset` for `duration` seconds.
struct LightTrain {
    double onset = 0;
    double duration = 0;
    double frequency = 0;
    QString text;
};

// The light trains among the annotations: "Фотостимуляция 10 Гц" with its
// duration, or the headset's own light start ("Свет 100% 50/50мс x10 1000мс
// x1": flash and pause, flashes per series, series pause, series), whose
// frequency and length follow from its fields. A train without a duration
// ends at the next light stop ("Свет: стоп", "Фотостимуляция прервана") or
// start, and a stop cuts a train short. Where a protocol's train and the
// headset's start coincide (within 50 ms), or a start falls inside a train of
// the same frequency, they are one train, named by the protocol; a bracketed
// frequency ("Фотостимуляция 30 Гц (29.985 Гц)") is the one achieved and
// stands. Trains come out in onset order.
QVector<LightTrain> findLightTrains(const QVector<AnalysisAnnotation>& annotations);

// Samples lost according to a loss event ("Потеря отсчётов: N"); 0 for any
// other text.
qint64 lostSamplesOf(const QString& text);

// The factor from a unit to microvolts; 0 when the unit is no voltage.
double microvoltsPer(const QString& unit);

struct ChannelAnalysis {
    QString label; // as the store has it, without trailing spaces
    QString unit;  // of the statistics: "uV" for a voltage channel, else the channel's own
    double samplesPerSecond = 0;
    qint64 samples = 0; // in the range
    double seconds = 0;

    // Spectral figures: for voltage channels with at least one segment.
    bool spectral = false;
    int segments = 0;
    double binHz = 0;
    std::vector<double> psd;                                     // uV^2/Hz, lines 0 .. segment/2
    QVector<double> bandAbsolute;                                // uV^2 per band of the request
    QVector<double> bandRelative;                                // % of the 0.5-45 Hz power
    double totalPower = 0;                                       // uV^2, 0.5-45 Hz
    double peakAlpha = std::numeric_limits<double>::quiet_NaN(); // Hz, 7-14
    double mainsPercent = std::numeric_limits<double>::quiet_NaN();

    // Statistics (empty range: all zero).
    double mean = 0, sd = 0, rms = 0, minimum = 0, maximum = 0, peakToPeak = 0;
    double flatSeconds = 0;  // in runs of one value lasting 1 s or more
    double limitSeconds = 0; // at either end of the converter's range
    qint64 lostSamples = 0;  // from the loss events in the range
    double lostPercent = 0;  // of the samples in the range
};

// NaN where not measured (a channel without a spectrum, a segment too short).
struct PhoticChannel {
    double trainPower = std::numeric_limits<double>::quiet_NaN(); // uV^2 at the flash frequency
    double restPower = std::numeric_limits<double>::quiet_NaN();
    double trainHarmonic = std::numeric_limits<double>::quiet_NaN(); // at its double
    double restHarmonic = std::numeric_limits<double>::quiet_NaN();
    double drivenDb = std::numeric_limits<double>::quiet_NaN();
    double harmonicDb = std::numeric_limits<double>::quiet_NaN();
};

struct PhoticTrain {
    LightTrain train;
    double restSeconds = 0;          // the stretch before the train compared with it
    QVector<PhoticChannel> channels; // as AnalysisResult::channels; empty figures when not spectral
};

struct AnalysisResult {
    bool cancelled = false;
    double from = 0, to = 0; // the range analysed, seconds
    AnalysisRequest request;
    QVector<ChannelAnalysis> channels;
    QVector<PhoticTrain> photic;
};

// Where the samples of a range lie in a store (see the top of this file).
struct StoreSnapshot {
    struct Channel {
        CaptureChannel info;
        qint64 first = 0; // index of the range's first sample
        qint64 count = 0;
        double startSeconds = 0; // time of the first sample of the store
        double secondsPerSample = 0;
        qint64 firstBlock = 0;
        std::vector<const qint32*> blocks;
        qint32 at(qint64 i) const // i: index in the store
        {
            const qint64 b = (i / CaptureStore::countsBlockSize) - firstBlock;
            return blocks[std::size_t(b)][i % CaptureStore::countsBlockSize];
        }
    };
    std::vector<Channel> channels;
    double from = 0, to = 0;
};

// Runs in the store's thread.
StoreSnapshot takeSnapshot(const CaptureStore& store, double from, double to);

// `progress` gets the fraction done now and then; returning false cancels.
AnalysisResult analyseSnapshot(const StoreSnapshot& snapshot, const AnalysisRequest& request,
                               const std::function<bool(double)>& progress = {});

// Both in one, in the calling thread.
AnalysisResult analyseStore(const CaptureStore& store, const AnalysisRequest& request,
                            const std::function<bool(double)>& progress = {});

// One analysis at a time in a worker thread. The owner's store must not be
// reset until finished() (or until the job is destroyed, which cancels and
// waits).
class AnalysisJob : public QObject
{
    Q_OBJECT

public:
    explicit AnalysisJob(QObject* parent = nullptr);
    ~AnalysisJob() override;

    // False when one is running.
    bool start(const CaptureStore& store, const AnalysisRequest& request);
    void cancel();
    // Cancels and waits for the worker, without finished().
    void abandon();
    bool isRunning() const { return worker != nullptr; }

signals:
    void progress(int percent);
    void finished(QSharedPointer<AnalysisResult> result);

private:
    void workerEnded();

    QThread* worker = nullptr;
    QSharedPointer<AnalysisResult> result;
    std::atomic<bool> cancelled{false};
};

Q_DECLARE_METATYPE(QSharedPointer<AnalysisResult>)
