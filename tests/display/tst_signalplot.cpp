// The signal plot: graphs, and what of the capture store they draw: every
// sample when zoomed in, the extremes of each pixel column when zoomed out, the
// time axis that follows the newest sample and the value axis fitted to what is
// in view until the user takes it over.
#include <QtTest>
#include <functional>
#include <qcustomplot.h>
#include <random>

#include "capture/capturestore.h"
#include "display/plots.h"
#include "display/signalview.h"

namespace
{

// Appends n samples to the store, channel c's sample i being count(c, i), in
// batches of 64 as the device sends them.
void feed(CaptureStore& store, SignalView& view, qint64 n,
          const std::function<qint32(int, qint64)>& count)
{
    const qint64 first = store.sampleCount();
    for (qint64 at = 0; at < n; at += 64) {
        QVector<structSample> batch(int(std::min<qint64>(64, n - at)));
        for (int k = 0; k < batch.size(); ++k) {
            for (int c = 0; c < channelCount; ++c)
                batch[k].value[c] = count(c, first + at + k) * voltsPerCount;
        }
        store.append(batch);
        view.samplesAppended();
    }
}

} // namespace

class SignalPlotTest : public QObject
{
    Q_OBJECT

    QCustomPlot* plot = nullptr;
    QCPGraph* graphs[channelCount] = {};
    CaptureStore store;
    SignalView* view = nullptr;

private slots:
    void init()
    {
        plot = new QCustomPlot;
        plot->resize(600, 400);
        setupSignalPlot(plot);
        createChannelGraphs(plot, graphs);
        store.reset(16000, QDateTime()); // 500 samples/s
        view = new SignalView(plot, graphs, &store, plot);
    }
    void cleanup() { delete plot; }

    void channelsHaveGoldenRatioHuesAndNumberedNames()
    {
        QCOMPARE(plot->graphCount(), channelCount);
        QCOMPARE(plot->legend->itemCount(), channelCount);
        QCOMPARE(channelColor(0).hslHueF(), 0.0); // channel 1 is red
        QSet<int> hues;
        for (int c = 0; c < channelCount; ++c) {
            QColor colour = channelColor(c);
            QCOMPARE(graphs[c]->pen().color(), colour);
            QCOMPARE(graphs[c]->pen().width(), 1);
            QCOMPARE(graphs[c]->name(), QString("Канал %1").arg(c + 1));
            QVERIFY(qAbs(colour.hslSaturationF() - 0.9) < 0.01);
            QVERIFY(qAbs(colour.lightnessF() - 0.5) < 0.01);
            double expected = std::fmod(c * 0.618033988749895, 1.0);
            QVERIFY2(qAbs(colour.hslHueF() - expected) < 0.002, qPrintable(QString::number(c)));
            hues.insert(colour.hslHue());
        }
        QCOMPARE(hues.size(), channelCount);
    }

    void setUpWithDragButNoLibraryZoom()
    {
        QCOMPARE(plot->xAxis->range(), QCPRange(-1, 1));
        QCOMPARE(plot->yAxis->range(), QCPRange(0, 1));
        QCOMPARE(plot->xAxis->label(), QString("Время, сек"));
        QVERIFY(plot->yAxis->label().isEmpty());
        QVERIFY(plot->interactions().testFlag(QCP::iRangeDrag));
        QVERIFY(!plot->interactions().testFlag(QCP::iRangeZoom));
        // The mirror axes follow the main ones.
        plot->xAxis->setRange(3, 7);
        QCOMPARE(plot->xAxis2->range(), QCPRange(3, 7));
    }

    // The chosen time window is the scrolling width; a wheel zoom keeps its
    // width while scrolling, a fit spans the capture, and the next capture (or
    // a new choice) returns to the window.
    void timeAxisFollowsTheNewestSampleAtTheChosenWindow()
    {
        feed(store, *view, 1000, [](int, qint64) { return 0; });
        QCOMPARE(plot->xAxis->range().upper, store.sampleTime(0, 999));
        QCOMPARE(plot->xAxis->range().size(), 2.0);
        plot->xAxis->setRange(0, 5); // the user's zoom
        feed(store, *view, 1, [](int, qint64) { return 0; });
        QCOMPARE(plot->xAxis->range().upper, 2.002);
        QVERIFY(qAbs(plot->xAxis->range().size() - 5) < 1e-12);
        feed(store, *view, 5000, [](int, qint64) { return 0; });
        view->fitAll();
        QCOMPARE(plot->xAxis->range(), QCPRange(store.sampleTime(0, 0), store.sampleTime(0, 6000)));
        view->restoreScrollWidth();
        QCOMPARE(plot->xAxis->range(), QCPRange(-2, 0));
        structViewSettings settings;
        settings.window = 10;
        view->setViewSettings(settings);
        QCOMPARE(plot->xAxis->range(), QCPRange(-10, 0));
        feed(store, *view, 1, [](int, qint64) { return 0; });
        QCOMPARE(plot->xAxis->range(), QCPRange(12.004 - 10, 12.004));
        view->fitAll();
        view->restoreScrollWidth();
        QCOMPARE(view->scrollWidth(), 10.0);
        QCOMPARE(plot->xAxis->range(), QCPRange(-10, 0));
    }

    void zoomedInEverySampleInViewIsAPoint()
    {
        feed(store, *view, 5000, [](int c, qint64 i) { return qint32(i * 7 % 1001) - 500 + c; });
        plot->xAxis->setRange(2.0, 3.0); // 500 samples on about 550 columns
        plot->replot();
        for (int c = 0; c < channelCount; ++c) {
            const QSharedPointer<QCPGraphDataContainer> data = graphs[c]->data();
            // Samples 999..1499 lie in view, with a neighbour on either side.
            QCOMPARE(data->size(), 503);
            for (int k = 0; k < data->size(); ++k) {
                const qint64 i = 998 + k;
                QCOMPARE(data->at(k)->key, store.sampleTime(c, i));
                QCOMPARE(data->at(k)->value, store.value(c, i));
            }
        }
    }

    // Whatever the range, the width and the data, each pixel column of the
    // graphs reaches exactly the smallest and largest sample of the store that
    // falls in that column: the picture of every point, with no peak lost.
    void columnsReachTheExtremesOfEverySampleInThem()
    {
        std::mt19937 random(23);
        std::normal_distribution<double> noise(0, 2000);
        std::uniform_int_distribution<int> spike(0, 4000);
        feed(store, *view, 200000, [&](int c, qint64 i) {
            const double wave = 30000 * std::sin(i * 0.001 * (c + 1));
            return qint32(wave + noise(random) +
                          (spike(random) == 0 ? 4000000 : 0) * (c % 2 ? 1 : -1));
        });
        const double end = store.sampleTime(0, store.sampleCount() - 1);
        std::uniform_real_distribution<double> at(-20, end + 20);
        std::uniform_int_distribution<int> widths(150, 1400);
        int columnModes = 0;
        for (int round = 0; round < 25; ++round) {
            plot->resize(widths(random), 300);
            double a = at(random), b = at(random);
            if (round % 5 == 0)
                b = a + 3.1; // a few samples per column
            plot->xAxis->setRange(std::min(a, b), std::max(a, b));
            plot->replot();
            plot->replot(); // the second after the layout took the new width
            const QCPRange range = plot->xAxis->range();
            const int columns = view->columns();
            const double width = (range.upper - range.lower) / columns;
            for (int c : {0, 5, 11}) {
                // Extremes per column: of the store's samples, and of the graph.
                QVector<CountRange> stored(columns), drawn(columns);
                const qint64 n = store.sampleCount(c);
                qint64 inView = 0;
                for (qint64 i = 0; i < n; ++i) {
                    const double t = store.sampleTime(c, i);
                    if (t < range.lower || t > range.upper)
                        continue;
                    int j = columns - 1;
                    while (j > 0 && t < range.lower + j * width)
                        --j;
                    while (j + 1 < columns && t >= range.lower + (j + 1) * width)
                        ++j;
                    stored[j].add(store.count(c, i));
                    ++inView;
                }
                const QSharedPointer<QCPGraphDataContainer> data = graphs[c]->data();
                for (auto p = data->constBegin(); p != data->constEnd(); ++p) {
                    if (p->key < range.lower || p->key > range.upper)
                        continue;
                    const int j = std::min(columns - 1, int((p->key - range.lower) / width));
                    drawn[j].add(qint32(std::lround(p->value / voltsPerCount)));
                }
                if (inView > SignalView::pointsPerColumn * columns) {
                    ++columnModes;
                    QVERIFY(data->size() <= 2 * columns + 2);
                }
                for (int j = 0; j < columns; ++j) {
                    QCOMPARE(drawn[j].empty, stored[j].empty);
                    QCOMPARE(drawn[j].min, stored[j].min);
                    QCOMPARE(drawn[j].max, stored[j].max);
                }
            }
        }
        QVERIFY(columnModes > 30); // most rounds were zoomed out
    }

    // The value axis is fitted to the samples in view (an early artifact does
    // not flatten what follows), until the user zooms or drags it; a fit to the
    // whole capture turns fitting on again.
    void valueAxisFitsWhatIsInViewUntilTheUserTakesIt()
    {
        auto signal = [](int c, qint64 i) {
            return i == 100 ? 4000000 : qint32(1000 * (c + 1) * std::sin(i * 0.05));
        };
        feed(store, *view, 3000, signal);
        plot->replot();
        const double small = 1000 * 12 * voltsPerCount;
        QVERIFY(plot->yAxis->range().upper <= small * 1.0001);
        QVERIFY(plot->yAxis->range().lower >= -small * 1.0001);

        // Hidden graphs do not count.
        graphs[11]->setVisible(false);
        view->storeChanged();
        plot->replot();
        QVERIFY(plot->yAxis->range().upper <= 1000 * 11 * voltsPerCount * 1.0001);
        graphs[11]->setVisible(true);

        // The user's zoom of the value axis stays, whatever arrives.
        plot->yAxis->setRange(-1, 1);
        QVERIFY(!view->fitsValues());
        feed(store, *view, 500, signal);
        plot->replot();
        QCOMPARE(plot->yAxis->range(), QCPRange(-1, 1));

        view->fitAll(); // the whole capture, the artifact included
        QVERIFY(view->fitsValues());
        QCOMPARE(plot->xAxis->range(), QCPRange(store.sampleTime(0, 0), store.sampleTime(0, 3499)));
        QCOMPARE(plot->yAxis->range().upper, 4000000 * voltsPerCount);
        QVERIFY(qAbs(plot->yAxis->range().lower + small) < small * 0.01);
    }

    void constantSignalCentresTheValueAxisAndKeepsItsWidth()
    {
        plot->yAxis->setRange(0, 4);
        view->fitAll();
        feed(store, *view, 10, [](int, qint64) { return 1000; });
        plot->replot();
        QCOMPARE(plot->yAxis->range().center(), 1000 * voltsPerCount);
        QCOMPARE(plot->yAxis->range().size(), 4.0);
    }

    void anEmptiedStoreLeavesEmptyGraphsAndTheAxes()
    {
        feed(store, *view, 300, [](int, qint64 i) { return qint32(i); });
        plot->replot();
        plot->xAxis->setRange(-3, 9);
        plot->yAxis->setRange(-2, 2);
        store.reset(16000, QDateTime());
        view->storeChanged();
        plot->replot();
        for (QCPGraph* g : graphs)
            QCOMPARE(g->dataCount(), 0);
        QCOMPARE(plot->legend->itemCount(), channelCount);
        QCOMPARE(plot->xAxis->range(), QCPRange(-3, 9));
        QCOMPARE(plot->yAxis->range(), QCPRange(-2, 2));
    }
};

QTEST_MAIN(SignalPlotTest)
#include "tst_signalplot.moc"
