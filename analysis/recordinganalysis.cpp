#include "analysis/recordinganalysis.h"

#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <thread>

namespace
{

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Relative band power is a share of this range; the peak alpha frequency is
// looked for in the other.
constexpr double totalLow = 0.5, totalHigh = 45;
constexpr double alphaLow = 7, alphaHigh = 14;
// Mains share: mains +- this, against the power in 0.5-100 Hz.
constexpr double mainsHalfWidth = 1;
constexpr double mainsTotalLow = 0.5, mainsTotalHigh = 100;
// A stretch of one value at least this long counts as flat.
constexpr double flatSeconds = 1;

double toNumber(const QString& text)
{
    QString t = text;
    t.replace(',', '.');
    return t.toDouble();
}

bool isLightStop(const QString& lower)
{
    return lower == QStringLiteral("свет: стоп") ||
           (lower.contains(QStringLiteral("фотостим")) && lower.contains(QStringLiteral("прерв")));
}

// A train's start as its annotation gives it; false for any other text.
bool lightStartOf(const AnalysisAnnotation& a, LightTrain& train)
{
    static const QRegularExpression hertz(R"((\d+(?:[.,]\d+)?)\s*(?:гц|hz))");
    // The frequency achieved, where the asked one could not be, in brackets.
    static const QRegularExpression achieved(R"(\(\s*(\d+(?:[.,]\d+)?)\s*(?:гц|hz)\s*\))");
    static const QRegularExpression series(
        R"(^свет\s+[\d.,]+%\s+([\d.,]+)/([\d.,]+)\s*мс\s+x(\d+)\s+([\d.,]+)\s*мс\s+x(\d+))");
    const QString lower = a.text.trimmed().toLower();
    if (isLightStop(lower))
        return false;
    train = LightTrain();
    train.onset = a.onset;
    train.text = a.text;
    if (lower.contains(QStringLiteral("фотостим"))) {
        QRegularExpressionMatch m = achieved.match(lower);
        if (!m.hasMatch())
            m = hertz.match(lower);
        if (!m.hasMatch())
            return false;
        train.frequency = toNumber(m.captured(1));
        train.duration = a.duration > 0 ? a.duration : 0;
        return train.frequency > 0;
    }
    const QRegularExpressionMatch m = series.match(lower);
    if (!m.hasMatch())
        return false;
    const double flashMs = toNumber(m.captured(1)) + toNumber(m.captured(2));
    const double flashes = toNumber(m.captured(3));
    const double seriesPauseMs = toNumber(m.captured(4));
    const double seriesCount = toNumber(m.captured(5));
    if (!(flashMs > 0) || flashes < 1 || seriesCount < 1)
        return false;
    train.frequency = 1000 / flashMs;
    train.duration = (seriesCount * flashes * flashMs + (seriesCount - 1) * seriesPauseMs) / 1000;
    if (a.duration > 0)
        train.duration = a.duration;
    return true;
}

// The sample index range [first, end) of times from..to of a channel.
void indexRange(const StoreSnapshot::Channel& ch, double from, double to, qint64& first,
                qint64& end)
{
    const qint64 last = ch.first + ch.count;
    auto indexAt = [&](double t) -> qint64 {
        if (!(ch.secondsPerSample > 0))
            return ch.first;
        const double i = std::ceil((t - ch.startSeconds) / ch.secondsPerSample - 1e-9);
        if (!(i > double(ch.first)))
            return ch.first;
        if (i >= double(last))
            return last;
        return qint64(i);
    };
    first = indexAt(from);
    end = std::max(first, indexAt(to));
}

struct Work {
    const StoreSnapshot* snapshot;
    const AnalysisRequest* request;
    const QVector<LightTrain>* trains;
    AnalysisResult* result;
    std::atomic<qint64> done{0}; // samples read, for the progress
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};
};

// The density of samples [first, end) of a channel in microvolts, read through
// the snapshot.
std::vector<double> channelDensity(const StoreSnapshot::Channel& ch, double gain, qint64 first,
                                   qint64 end, const WelchSettings& settings, Work& work,
                                   int* segments)
{
    const WelchLayout layout = welchLayout(settings, ch.info.samplesPerSecond);
    if (layout.segment < 2 || end - first < layout.segment)
        return {};
    WelchEstimator estimator(layout.segment, settings.window);
    double* in = estimator.input();
    for (qint64 at = first; at + layout.segment <= end; at += layout.step) {
        if (work.stop.load(std::memory_order_relaxed))
            return {};
        for (int i = 0; i < layout.segment; ++i)
            in[i] = ch.at(at + i) * gain;
        estimator.addSegment();
        work.done.fetch_add(layout.step, std::memory_order_relaxed);
    }
    if (segments)
        *segments = estimator.segments();
    return estimator.density(ch.info.samplesPerSecond);
}

void statistics(const StoreSnapshot::Channel& ch, double gain, double offset, qint64 first,
                qint64 end, ChannelAnalysis& out, Work& work)
{
    const qint64 n = end - first;
    if (n <= 0)
        return;
    const qint32 origin = ch.at(first);
    double sum = 0, squares = 0;
    qint32 low = origin, high = origin;
    qint64 limits = 0, flat = 0;
    const qint64 flatRun = qint64(std::ceil(flatSeconds * ch.info.samplesPerSecond - 1e-9));
    qint32 runValue = origin;
    qint64 run = 0;
    for (qint64 i = first; i < end;) {
        const qint64 inBlock =
            std::min(end - i, CaptureStore::countsBlockSize - i % CaptureStore::countsBlockSize);
        const qint32* p = &ch.blocks[std::size_t(i / CaptureStore::countsBlockSize - ch.firstBlock)]
                                    [i % CaptureStore::countsBlockSize];
        for (qint64 j = 0; j < inBlock; ++j) {
            const qint32 c = p[j];
            const double d = double(c) - origin;
            sum += d;
            squares += d * d;
            low = std::min(low, c);
            high = std::max(high, c);
            limits += (c <= ch.info.countMin || c >= ch.info.countMax) ? 1 : 0;
            if (c == runValue) {
                ++run;
            } else {
                if (run >= flatRun)
                    flat += run;
                runValue = c;
                run = 1;
            }
        }
        i += inBlock;
        work.done.fetch_add(inBlock, std::memory_order_relaxed);
        if (work.stop.load(std::memory_order_relaxed))
            return;
    }
    if (run >= flatRun)
        flat += run;
    const double meanCounts = sum / double(n);
    const double varianceCounts = std::max(0.0, squares / double(n) - meanCounts * meanCounts);
    out.mean = (origin + meanCounts) * gain + offset;
    out.sd = std::sqrt(varianceCounts) * std::fabs(gain);
    out.rms = std::sqrt(out.sd * out.sd + out.mean * out.mean);
    const double a = low * gain + offset, b = high * gain + offset;
    out.minimum = std::min(a, b);
    out.maximum = std::max(a, b);
    out.peakToPeak = out.maximum - out.minimum;
    out.flatSeconds = double(flat) / ch.info.samplesPerSecond;
    out.limitSeconds = double(limits) / ch.info.samplesPerSecond;
}

void analyseChannel(int c, Work& work)
{
    const StoreSnapshot::Channel& ch = work.snapshot->channels[std::size_t(c)];
    const AnalysisRequest& request = *work.request;
    ChannelAnalysis& out = work.result->channels[c];
    QString label = ch.info.label;
    while (!label.isEmpty() && label.back().isSpace())
        label.chop(1);
    out.label = label;
    out.samplesPerSecond = ch.info.samplesPerSecond;
    out.samples = ch.count;
    out.seconds = ch.info.samplesPerSecond > 0 ? double(ch.count) / ch.info.samplesPerSecond : 0;
    const double micro = microvoltsPer(ch.info.unit);
    const double scale = micro > 0 ? micro : 1;
    out.unit = micro > 0 ? QStringLiteral("uV") : ch.info.unit.trimmed();
    const double gain = ch.info.gain * scale, offset = ch.info.offset * scale;

    statistics(ch, gain, offset, ch.first, ch.first + ch.count, out, work);
    if (micro > 0 && !work.stop.load()) {
        out.psd = channelDensity(ch, gain, ch.first, ch.first + ch.count, request.welch, work,
                                 &out.segments);
        out.spectral = !out.psd.empty();
    }
    // One value throughout holds no power; what is left after removing the mean
    // is rounding, of which shares, mains and a peak would make a signal.
    const bool constant = out.samples > 0 && out.minimum == out.maximum;
    if (out.spectral && constant)
        std::fill(out.psd.begin(), out.psd.end(), 0.0);
    if (out.spectral) {
        const WelchLayout layout = welchLayout(request.welch, ch.info.samplesPerSecond);
        out.binHz = ch.info.samplesPerSecond / layout.segment;
        out.totalPower = bandPower(out.psd, out.binHz, totalLow, totalHigh);
        for (const FrequencyBand& band : request.bands) {
            const double p = bandPower(out.psd, out.binHz, band.low, band.high);
            out.bandAbsolute.append(p);
            out.bandRelative.append(out.totalPower > 0 ? 100 * p / out.totalPower : nan);
        }
        if (!constant)
            out.peakAlpha = peakFrequency(out.psd, out.binHz, alphaLow, alphaHigh);
        const double nyquist = ch.info.samplesPerSecond / 2;
        if (request.mainsHz + mainsHalfWidth < nyquist) {
            const double total = bandPowerClosed(out.psd, out.binHz, mainsTotalLow, mainsTotalHigh);
            const double mains =
                bandPowerClosed(out.psd, out.binHz, request.mainsHz - mainsHalfWidth,
                                request.mainsHz + mainsHalfWidth);
            out.mainsPercent = total > 0 ? 100 * mains / total : nan;
        }
    }

    // Photic driving: each train against the stretch before it.
    for (int t = 0; t < work.result->photic.size() && micro > 0; ++t) {
        PhoticTrain& report = work.result->photic[t];
        const LightTrain& train = report.train;
        PhoticChannel& figures = report.channels[c];
        const double seconds =
            std::min({request.welch.segmentSeconds, train.duration, report.restSeconds});
        WelchSettings settings = request.welch;
        settings.segmentSeconds = seconds;
        qint64 a, b, r0, r1;
        indexRange(ch, train.onset, train.onset + train.duration, a, b);
        indexRange(ch, train.onset - report.restSeconds, train.onset, r0, r1);
        int segs = 0;
        const std::vector<double> during = channelDensity(ch, gain, a, b, settings, work, &segs);
        const std::vector<double> before = channelDensity(ch, gain, r0, r1, settings, work, &segs);
        if (during.empty() || before.empty())
            continue;
        const double bin =
            ch.info.samplesPerSecond / welchLayout(settings, out.samplesPerSecond).segment;
        // Each frequency is taken with the lines next to it; a segment too short to
        // keep the flash frequency's lines apart from its double's measures neither.
        if (train.frequency + bin >= 2 * train.frequency - bin - 1e-9 * bin)
            continue;
        const double nyquist = ch.info.samplesPerSecond / 2;
        auto at = [&](const std::vector<double>& psd, double f) {
            return f + bin < nyquist ? bandPowerClosed(psd, bin, f - bin, f + bin) : nan;
        };
        auto db = [](double x, double y) { return x > 0 && y > 0 ? 10 * std::log10(x / y) : nan; };
        figures.trainPower = at(during, train.frequency);
        figures.restPower = at(before, train.frequency);
        figures.trainHarmonic = at(during, 2 * train.frequency);
        figures.restHarmonic = at(before, 2 * train.frequency);
        figures.drivenDb = db(figures.trainPower, figures.restPower);
        figures.harmonicDb = db(figures.trainHarmonic, figures.restHarmonic);
    }
}

} // namespace

QVector<LightTrain> findLightTrains(const QVector<AnalysisAnnotation>& annotations)
{
    QVector<AnalysisAnnotation> sorted = annotations;
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [](const AnalysisAnnotation& a, const AnalysisAnnotation& b) { return a.onset < b.onset; });
    // A protocol's train is noted twice where the headset confirmed it: its own
    // annotation and the headset's light start, at one moment or nearly so, in
    // either order. Starts that coincide, or that fall inside a train of the
    // same frequency whose end is known, are that one train: the protocol's
    // annotation names its frequency, and its length comes from whichever gives
    // one (the protocol's own duration first).
    struct Group {
        LightTrain train; // its onset that of the start giving its length
        double first = 0; // the earliest start
        bool named = false;
        int lengthFrom = 0; // 2: the protocol's duration, 1: the headset's, 0: none
        double end = std::numeric_limits<double>::infinity(); // of its own length
        double cut = std::numeric_limits<double>::infinity(); // by the next light event
        bool closed = false;                                  // a stop came after it
    };
    constexpr double together = 0.05; // s
    auto sameFrequency = [](double a, double b) {
        return std::abs(a - b) <= 0.05 * std::max(a, b);
    };
    QVector<Group> groups;
    for (const AnalysisAnnotation& a : sorted) {
        const QString lower = a.text.trimmed().toLower();
        if (isLightStop(lower)) {
            if (!groups.isEmpty() && a.onset > groups.back().first && !groups.back().closed) {
                groups.back().closed = true;
                groups.back().cut = a.onset;
            }
            continue;
        }
        LightTrain train;
        if (!lightStartOf(a, train))
            continue;
        const bool named = lower.contains(QStringLiteral("фотостим"));
        const int lengthFrom = train.duration > 0 ? (named ? 2 : 1) : 0;
        if (!groups.isEmpty()) {
            Group& g = groups.back();
            const bool coincide = std::abs(a.onset - g.first) <= together;
            const bool inside = g.lengthFrom > 0 && a.onset < g.end &&
                                sameFrequency(train.frequency, g.train.frequency);
            if (!g.closed && (coincide || inside)) {
                if (named && !g.named) {
                    g.named = true;
                    g.train.frequency = train.frequency;
                    g.train.text = train.text;
                }
                if (lengthFrom > g.lengthFrom) {
                    g.lengthFrom = lengthFrom;
                    g.train.onset = a.onset;
                    g.end = a.onset + train.duration;
                }
                continue;
            }
            // Another train ends this one at the latest.
            if (!g.closed && a.onset > g.first)
                g.cut = a.onset;
            g.closed = true;
        }
        Group g;
        g.train = train;
        g.first = a.onset;
        g.named = named;
        g.lengthFrom = lengthFrom;
        if (lengthFrom > 0)
            g.end = a.onset + train.duration;
        groups.append(g);
    }
    QVector<LightTrain> trains;
    for (Group& g : groups) {
        const double end = std::min(g.end, g.cut);
        if (!std::isfinite(end))
            continue;
        g.train.duration = end - g.train.onset;
        if (g.train.duration > 0)
            trains.append(g.train);
    }
    return trains;
}

qint64 lostSamplesOf(const QString& text)
{
    static const QRegularExpression loss(R"(^\s*Потеря отсчётов:\s*(\d+))");
    const QRegularExpressionMatch m = loss.match(text);
    return m.hasMatch() ? m.captured(1).toLongLong() : 0;
}

double microvoltsPer(const QString& unit)
{
    const QString u = unit.trimmed();
    if (u == QStringLiteral("V"))
        return 1e6;
    if (u == QStringLiteral("mV"))
        return 1e3;
    if (u == QStringLiteral("uV") || u == QStringLiteral("µV") || u == QStringLiteral("μV"))
        return 1;
    if (u == QStringLiteral("nV"))
        return 1e-3;
    return 0;
}

StoreSnapshot takeSnapshot(const CaptureStore& store, double from, double to)
{
    StoreSnapshot snapshot;
    snapshot.from = from;
    snapshot.to = to;
    snapshot.channels.resize(std::size_t(store.channelCount()));
    for (int c = 0; c < store.channelCount(); ++c) {
        StoreSnapshot::Channel& ch = snapshot.channels[std::size_t(c)];
        ch.info = store.channel(c);
        ch.secondsPerSample = store.secondsPer(c);
        ch.startSeconds = store.sampleTime(c, 0);
        const qint64 n = store.sampleCount(c);
        ch.first = 0;
        ch.count = n;
        qint64 first, end;
        indexRange(ch, from, to, first, end);
        ch.first = first;
        ch.count = end - first;
        if (ch.count <= 0 || !(ch.info.samplesPerSecond > 0)) {
            ch.count = 0;
            continue;
        }
        ch.firstBlock = first / CaptureStore::countsBlockSize;
        const qint64 lastBlock = (end - 1) / CaptureStore::countsBlockSize;
        for (qint64 b = ch.firstBlock; b <= lastBlock; ++b)
            ch.blocks.push_back(store.countsAt(c, b * CaptureStore::countsBlockSize));
    }
    return snapshot;
}

AnalysisResult analyseSnapshot(const StoreSnapshot& snapshot, const AnalysisRequest& request,
                               const std::function<bool(double)>& progress)
{
    AnalysisResult result;
    result.request = request;
    result.from = snapshot.from;
    result.to = snapshot.to;
    const int channels = int(snapshot.channels.size());
    result.channels.resize(channels);
    if (!snapshot.channels.empty()) {
        const StoreSnapshot::Channel& ch = snapshot.channels.front();
        result.from = ch.startSeconds + double(ch.first) * ch.secondsPerSample;
        result.to = result.from + double(ch.count) * ch.secondsPerSample;
    }

    // The trains that lie wholly in the range, each compared with what came
    // before it since the previous train (at most as long as the train).
    const QVector<LightTrain> trains = findLightTrains(request.annotations);
    double previousEnd = result.from;
    for (const LightTrain& train : trains) {
        const double end = train.onset + train.duration;
        if (train.onset >= result.from && end <= result.to + 1e-9) {
            PhoticTrain report;
            report.train = train;
            report.restSeconds = std::min(train.duration, train.onset - previousEnd);
            report.channels.resize(channels);
            if (report.restSeconds > 0)
                result.photic.append(report);
        }
        previousEnd = std::max(previousEnd, end);
    }

    qint64 lost = 0;
    for (const AnalysisAnnotation& a : request.annotations)
        if (a.onset >= result.from && a.onset <= result.to)
            lost += lostSamplesOf(a.text);

    Work work;
    work.snapshot = &snapshot;
    work.request = &request;
    work.trains = &trains;
    work.result = &result;
    qint64 total = 1;
    for (const StoreSnapshot::Channel& ch : snapshot.channels)
        total += 2 * ch.count + 1;

    auto run = [&work, channels] {
        for (int c = work.next++; c < channels && !work.stop.load(); c = work.next++)
            analyseChannel(c, work);
    };
    const int helpers =
        std::max(0, std::min(channels, std::max(1, QThread::idealThreadCount())) - 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < helpers; ++i)
        threads.emplace_back(run);
    std::atomic<bool> ended{false};
    std::thread own([&] {
        run();
        ended = true;
    });
    // This thread reports and listens for a cancel meanwhile.
    while (!ended.load()) {
        if (progress && !progress(std::min(1.0, double(work.done.load()) / double(total))))
            work.stop = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(ended.load() ? 0 : 10));
    }
    own.join();
    for (std::thread& t : threads)
        t.join();
    result.cancelled = work.stop.load();

    for (ChannelAnalysis& ch : result.channels) {
        ch.lostSamples = lost;
        ch.lostPercent = ch.samples > 0 ? 100.0 * double(lost) / double(ch.samples) : 0;
    }
    if (progress && !result.cancelled)
        progress(1);
    return result;
}

AnalysisResult analyseStore(const CaptureStore& store, const AnalysisRequest& request,
                            const std::function<bool(double)>& progress)
{
    return analyseSnapshot(takeSnapshot(store, request.from, request.to), request, progress);
}

AnalysisJob::AnalysisJob(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<QSharedPointer<AnalysisResult>>("QSharedPointer<AnalysisResult>");
}

AnalysisJob::~AnalysisJob()
{
    abandon();
}

bool AnalysisJob::start(const CaptureStore& store, const AnalysisRequest& request)
{
    if (worker)
        return false;
    cancelled = false;
    result.reset(new AnalysisResult);
    QSharedPointer<AnalysisResult> target = result;
    auto snapshot = std::make_shared<StoreSnapshot>(takeSnapshot(store, request.from, request.to));
    worker = QThread::create([this, target, snapshot, request] {
        int shown = -1;
        *target = analyseSnapshot(*snapshot, request, [this, &shown](double fraction) {
            const int percent = int(fraction * 100);
            if (percent != shown) {
                shown = percent;
                emit progress(percent);
            }
            return !cancelled.load();
        });
    });
    connect(worker, &QThread::finished, this, &AnalysisJob::workerEnded);
    worker->start();
    return true;
}

void AnalysisJob::cancel()
{
    cancelled = true;
}

void AnalysisJob::abandon()
{
    if (!worker)
        return;
    cancelled = true;
    disconnect(worker, nullptr, this, nullptr);
    worker->wait();
    delete worker;
    worker = nullptr;
    result.reset();
}

void AnalysisJob::workerEnded()
{
    worker->wait();
    delete worker;
    worker = nullptr;
    QSharedPointer<AnalysisResult> done;
    done.swap(result);
    emit finished(done);
}
