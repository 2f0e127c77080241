// The signal plot as an EEG view: each channel in its own lane scaled by the
// sensitivity, the read-out of the lane under the cursor, and the display
// filters, which change what is drawn and never the store.
#include <QtTest>
#include <cmath>
#include <functional>
#include <qcustomplot.h>

#include "capture/capturestore.h"
#include "display/filteredcapture.h"
#include "display/plots.h"
#include "display/signalview.h"

namespace
{

constexpr double pi = 3.14159265358979323846;
constexpr double microvoltsPerCount = voltsPerCount * 1e6;

// Appends n samples of volts(c, i) in the device's batches of 64, telling the
// view after each as the window does.
void feed(CaptureStore& store, const std::function<void()>& appended, qint64 n,
          const std::function<double(int, qint64)>& volts)
{
    const qint64 first = store.sampleCount();
    for (qint64 at = 0; at < n; at += 64) {
        QVector<structSample> batch(int(std::min<qint64>(64, n - at)));
        for (int k = 0; k < batch.size(); ++k)
            for (int c = 0; c < channelCount; ++c)
                batch[k].value[c] = volts(c, first + at + k);
        store.append(batch);
        appended();
    }
}

// Alpha, mains and an electrode's offset, as a headset picks them up.
double eeg(int c, qint64 i)
{
    const double t = i / 500.0;
    return 0.01 * (c + 1) + 40e-6 * std::sin(2 * pi * 10 * t) + 3e-3 * std::sin(2 * pi * 50 * t);
}

CountRange drawnRange(QCPGraph* graph, double from, double to)
{
    CountRange r;
    for (auto p = graph->data()->constBegin(); p != graph->data()->constEnd(); ++p)
        if (p->key >= from && p->key <= to)
            r.add(qint32(std::lround(p->value * 1e9))); // nano-units keep the sign and size
    return r;
}

} // namespace

class LanesTest : public QObject
{
    Q_OBJECT

    QCustomPlot* plot = nullptr;
    QCPGraph* graphs[channelCount] = {};
    CaptureStore store;
    SignalView* view = nullptr;

    void feedView(qint64 n, const std::function<double(int, qint64)>& volts)
    {
        feed(
            store, [this] { view->samplesAppended(); }, n, volts);
    }
    void show(const structViewSettings& settings, double from, double to)
    {
        view->setViewSettings(settings);
        plot->xAxis->setRange(from, to);
        plot->replot();
        plot->replot(); // the second after the layout took its size
    }

private slots:
    void init()
    {
        plot = new QCustomPlot;
        plot->resize(900, 600);
        setupSignalPlot(plot);
        createChannelGraphs(plot, graphs);
        store.reset(16000, QDateTime()); // 500 samples/s
        view = new SignalView(plot, graphs, &store, plot);
    }
    void cleanup() { delete plot; }

    // Channel c's zero line is its lane's centre, +-half the sensitivity its
    // lane's edges: on the value axis and in pixels, channel 1 at the top.
    void eachChannelFillsItsOwnLane()
    {
        // 102 counts are exactly 50 µV.
        feedView(600, [](int, qint64 i) {
            return (i % 3 == 0 ? 0 : i % 3 == 1 ? 102 : -102) * voltsPerCount;
        });
        structViewSettings settings;
        settings.mode = ViewMode::Lanes;
        settings.sensitivity = 100;
        show(settings, 0.1, 1.1);
        QCOMPARE(view->laneCount(), channelCount);
        QCOMPARE(plot->yAxis->range(), QCPRange(0, channelCount));
        const QRect rect = plot->axisRect()->rect();
        const double laneHeight = rect.height() / double(channelCount);
        auto ticker = plot->yAxis->ticker().dynamicCast<QCPAxisTickerText>();
        QVERIFY(ticker);
        bool found = false;
        for (int c = 0; c < channelCount; ++c) {
            const double centre = view->laneCentre(c);
            QCOMPARE(ticker->ticks().value(centre), QString("Канал %1").arg(c + 1));
            const QCPRange values = graphs[c]->getValueRange(found);
            QVERIFY(qAbs(values.upper - (centre + 0.5)) < 1e-9);
            QVERIFY(qAbs(values.lower - (centre - 0.5)) < 1e-9);
            QVERIFY(qAbs(plot->yAxis->coordToPixel(values.upper) - (rect.top() + c * laneHeight)) <=
                    1.5);
            QVERIFY(qAbs(plot->yAxis->coordToPixel(values.lower) -
                         (rect.top() + (c + 1) * laneHeight)) <= 1.5);
            // The zero samples lie on the zero line.
            QCOMPARE(graphs[c]->data()->at(0)->key, store.sampleTime(c, 48));
            QCOMPARE(graphs[c]->data()->at(0)->value, centre);
        }
        // Twice the sensitivity, half the swing.
        settings.sensitivity = 200;
        show(settings, 0.1, 1.1);
        QVERIFY(qAbs(graphs[4]->getValueRange(found).upper - (view->laneCentre(4) + 0.25)) < 1e-9);
        // The read-out: the lane under the cursor, in µV at this sensitivity.
        QCOMPARE(view->readout(QPointF(1, view->laneCentre(2) + 0.25)),
                 QString("Время=1.000сек; Канал 3=50.0мкВ"));
        QCOMPARE(view->readout(QPointF(0.5, view->laneCentre(11) - 0.49)),
                 QString("Время=0.500сек; Канал 12=-98.0мкВ"));
        QCOMPARE(view->readout(QPointF(1, -0.5)), QString("Время=1.000сек"));

        // Back to the overlay: one axis in volts, fitted, its own ticks.
        settings.mode = ViewMode::Overlay;
        show(settings, 0.1, 1.1);
        QCOMPARE(view->readout(QPointF(1, 0.002)), signalReadout(1, 0.002));
        QVERIFY(!plot->yAxis->ticker().dynamicCast<QCPAxisTickerText>());
        QCOMPARE(plot->yAxis->range(), QCPRange(-102 * voltsPerCount, 102 * voltsPerCount));
    }

    // A recording with more channels than the headset, labels and units of its
    // own: a lane for each, a non-voltage channel fitted to its lane.
    void aRecordingGetsALaneForEveryChannel()
    {
        QVector<CaptureChannel> channels(64);
        for (int c = 0; c < 64; ++c) {
            channels[c].label = QString("EEG %1").arg(c);
            channels[c].unit = c == 10 ? "mV" : "uV";
            channels[c].samplesPerSecond = 256;
            channels[c].gain = c == 10 ? 0.001 : 1; // a count is 1 µV either way
        }
        channels[63].label = "Temp";
        channels[63].unit = "degC";
        channels[63].gain = 0.01;
        channels[63].offset = 30;
        store.reset(channels, QDateTime());
        std::vector<qint32> counts(2560);
        for (int c = 0; c < 64; ++c) {
            for (std::size_t i = 0; i < counts.size(); ++i)
                counts[i] = c == 63 ? qint32(600 + i / 10) : qint32(i % 2 ? 25 : -25);
            store.appendCounts(c, counts.data(), qint64(counts.size()));
        }
        view->storeChanged();
        structViewSettings settings;
        settings.mode = ViewMode::Lanes;
        settings.sensitivity = 50;
        show(settings, 0, 10);
        QCOMPARE(view->laneCount(), 64);
        QCOMPARE(plot->yAxis->range(), QCPRange(0, 64));
        QVERIFY(view->graph(63));
        QCOMPARE(plot->yAxis->ticker().dynamicCast<QCPAxisTickerText>()->ticks().value(
                     view->laneCentre(63)),
                 QString("Temp"));
        bool found = false;
        for (int c : {0, 10, 40}) {
            const QCPRange r = view->graph(c)->getValueRange(found);
            QVERIFY(qAbs(r.upper - (view->laneCentre(c) + 0.5)) < 1e-9);
            QVERIFY(qAbs(r.lower - (view->laneCentre(c) - 0.5)) < 1e-9);
        }
        const QCPRange temp = view->graph(63)->getValueRange(found);
        QVERIFY(temp.lower >= view->laneCentre(63) - 0.5 &&
                temp.upper <= view->laneCentre(63) + 0.5);
        QVERIFY(temp.size() > 0.7);

        // The read-out gives the recording's label and the channel's own unit.
        QCOMPARE(view->readout(QPointF(2, view->laneCentre(10) - 0.5)),
                 QString("Время=2.000сек; EEG 10=-25.0мкВ"));
        const QCPGraphData last = *(view->graph(63)->data()->constEnd() - 1);
        const QString text = view->readout(QPointF(last.key, last.value));
        QVERIFY2(text.startsWith("Время=") && text.endsWith("degC"), qPrintable(text));
        const double celsius = text.section('=', 2).chopped(4).toDouble();
        QVERIFY2(qAbs(celsius - (30 + 0.01 * (600 + 2559 / 10))) < 0.01, qPrintable(text));
    }

    // What is drawn is filtered; the store keeps the samples as they came,
    // and the plot says which filters are in force.
    void filtersChangeWhatIsDrawnAndNotTheStore()
    {
        structViewSettings settings;
        settings.highPass = 0.5;
        settings.notch = 50;
        view->setViewSettings(settings);
        feedView(5000, eeg);
        QVERIFY(view->drawnStore() != &store);
        for (qint64 i : {0, 1234, 4999})
            QCOMPARE(store.value(3, i), sampleCount(eeg(3, i)) * voltsPerCount);
        show(settings, 8, 10);
        for (int c : {0, 11}) {
            const CountRange r = drawnRange(graphs[c], 8, 10);
            const double swing = (r.max - r.min) * 1e-9 * 1e6; // µV
            QVERIFY2(swing > 70 && swing < 90, qPrintable(QString::number(swing)));
        }
        QCOMPARE(view->filterCaption(), QString("ФВЧ 0,5 Гц; Режектор 50 Гц"));

        settings = structViewSettings();
        show(settings, 8, 10);
        QCOMPARE(view->drawnStore(), &store);
        QVERIFY(view->filterCaption().isEmpty());
        const CountRange raw = drawnRange(graphs[0], 8, 10);
        QVERIFY((raw.max - raw.min) * 1e-9 > 5e-3);

        // A stage the rate cannot carry says so.
        store.reset(65535, QDateTime()); // 122 samples/s
        view->storeChanged();
        settings.lowPass = 100;
        settings.notch = 50;
        view->setViewSettings(settings);
        QCOMPARE(view->filterCaption(),
                 QString("ФНЧ 100 Гц: не применяется при этой частоте отсчётов; Режектор 50 Гц"));
    }

    // A 24-bit file whose signal sits in a 25 uV window around 175,933 uV:
    // high-passed, it is drawn as the 5 uV sine it carries, around zero (the
    // file's own scale cannot even reach zero). A stage that one channel of
    // several rates leaves out is named with that channel.
    void aFarOffsetFileIsFilteredInAScaleOfItsOwn()
    {
        QVector<CaptureChannel> channels(2);
        channels[0] = {"Fz", "uV", 256, 25.0 / 16777215, 175933};
        channels[1] = {"Slow", "uV", 100, 25.0 / 16777215, 175933};
        store.reset(channels, QDateTime());
        for (int c = 0; c < 2; ++c) {
            const double rate = channels[c].samplesPerSecond;
            std::vector<qint32> counts(std::size_t(rate * 20));
            for (std::size_t i = 0; i < counts.size(); ++i) {
                const double uv = 5 * std::sin(2 * pi * 10 * double(i) / rate);
                counts[i] = qint32(std::lround(uv / channels[c].gain));
            }
            store.appendCounts(c, counts.data(), qint64(counts.size()));
        }
        view->storeChanged();
        structViewSettings settings;
        settings.highPass = 0.5;
        settings.notch = 50;
        view->setViewSettings(settings); // few samples: filtered at once
        QVERIFY(!view->filters().busy());
        const CaptureStore* drawn = view->drawnStore();
        QVERIFY(drawn != &store);
        double lo = 1e9, hi = -1e9;
        for (qint64 i = 256 * 15; i < 256 * 20; ++i) {
            lo = std::min(lo, drawn->value(0, i));
            hi = std::max(hi, drawn->value(0, i));
        }
        QVERIFY2(std::fabs(hi - 5) < 0.3 && std::fabs(lo + 5) < 0.3,
                 qPrintable(QString("%1 .. %2").arg(lo).arg(hi)));
        QCOMPARE(view->filterCaption(),
                 QString("ФВЧ 0,5 Гц; Режектор 50 Гц (не применяется к Slow: частота отсчётов)"));
    }

    // A new capture (Start, or the headset's own start) begins the filters
    // afresh: the same samples are drawn the same way.
    void filtersStartAfreshWithEachCapture()
    {
        structViewSettings settings;
        settings.highPass = 5;
        settings.lowPass = 30;
        view->setViewSettings(settings);
        auto drawn = [this] {
            QVector<qint32> counts;
            for (qint64 i = 0; i < view->drawnStore()->sampleCount(5); ++i)
                counts << view->drawnStore()->count(5, i);
            return counts;
        };
        feedView(1000, eeg);
        const QVector<qint32> first = drawn();
        feedView(1000, [](int c, qint64 i) { return eeg(c, i) + 0.02; });
        store.reset(16000, QDateTime());
        view->storeChanged();
        QCOMPARE(view->drawnStore()->sampleCount(5), 0);
        feedView(1000, eeg);
        QCOMPARE(drawn(), first);
    }

    // Refiltering a long capture in slices, with batches arriving between
    // them, ends with what filtering each batch as it came gave; until then
    // the copy drawn before stays.
    void refilteringInSlicesEndsAsFollowingTheCapture()
    {
        FilteredCapture following(&store), later(&store);
        following.setChoices(0.5, 45, 50);
        feed(
            store, [&] { following.follow(); }, 30000, eeg);
        QVERIFY(!following.busy());

        later.setChoices(1, 0, 0); // too many samples to filter at once
        QVERIFY(later.busy());
        QCOMPARE(later.source(), &store);
        while (later.step(1)) {
        }
        const CaptureStore* old = later.source();
        QVERIFY(old != &store);

        later.setChoices(0.5, 45, 50);
        QVERIFY(later.busy());
        QCOMPARE(later.source(), old); // the previous choice stays drawn meanwhile
        int slices = 0;
        while (later.step(0.5)) {
            if (++slices == 2)
                feed(
                    store,
                    [&] {
                        following.follow();
                        later.follow();
                    },
                    640, eeg);
            QVERIFY(later.progress() >= 0 && later.progress() <= 1);
        }
        QVERIFY(slices > 2);
        const CaptureStore* a = following.source();
        const CaptureStore* b = later.source();
        QVERIFY(a != &store && b != &store && a != b);
        for (int c = 0; c < channelCount; ++c) {
            QCOMPARE(b->sampleCount(c), store.sampleCount(c));
            QCOMPARE(a->sampleCount(c), store.sampleCount(c));
            for (qint64 i = 0; i < store.sampleCount(c); ++i)
                if (a->count(c, i) != b->count(c, i))
                    QFAIL(qPrintable(QString("channel %1 sample %2").arg(c).arg(i)));
        }
        later.setChoices(0, 0, 0);
        QVERIFY(!later.busy());
        QCOMPARE(later.source(), &store);
    }
};

QTEST_MAIN(LanesTest)
#include "tst_lanes.moc"
