// The signal plot: graphs, the time axis that follows the newest sample, and the
// voltage axis fitted to every stored point without revisiting them.
#include <QtTest>
#include <qcustomplot.h>
#include <random>

#include "display/plots.h"

namespace
{

structSample sampleAt(double time, double base)
{
    structSample s{};
    s.time = time;
    for (int c = 0; c < channelCount; ++c)
        s.value[c] = base * (c + 1);
    return s;
}

} // namespace

class SignalPlotTest : public QObject
{
    Q_OBJECT

    QCustomPlot* plot = nullptr;
    QCPGraph* graphs[channelCount] = {};
    ValueRange ranges[channelCount];

private slots:
    void init()
    {
        plot = new QCustomPlot;
        plot->resize(600, 400);
        setupSignalPlot(plot);
        createChannelGraphs(plot, graphs);
        for (ValueRange& r : ranges)
            r.clear();
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

    void batchAddsEverySampleToItsChannel()
    {
        QVector<structSample> batch;
        for (int i = 0; i < 64; ++i)
            batch << sampleAt(0.002 * i, 1e-6 * i);
        appendSignalBatch(graphs, ranges, batch);
        for (int c = 0; c < channelCount; ++c) {
            QCOMPARE(graphs[c]->dataCount(), 64);
            auto point = graphs[c]->data()->at(10);
            QCOMPARE(point->key, 0.02);
            QCOMPARE(point->value, 1e-5 * (c + 1));
        }
    }

    void timeAxisEndsAtNewestSampleAndKeepsWidth()
    {
        plot->xAxis->setRange(0, 2);
        appendSignalBatch(graphs, ranges, {sampleAt(10.0, 1), sampleAt(10.5, 2)});
        QCOMPARE(plot->xAxis->range().upper, 10.5);
        QCOMPARE(plot->xAxis->range().size(), 2.0);
        // A width the operator chose is kept.
        plot->xAxis->setRange(0, 5);
        appendSignalBatch(graphs, ranges, {sampleAt(11.0, 1)});
        QCOMPARE(plot->xAxis->range(), QCPRange(6.0, 11.0));
    }

    void emptyBatchAddsNothingAndLeavesTimeAxis()
    {
        appendSignalBatch(graphs, ranges, {sampleAt(4.0, 1)});
        QCPRange before = plot->xAxis->range();
        appendSignalBatch(graphs, ranges, {});
        QCOMPARE(plot->xAxis->range(), before);
        QCOMPARE(graphs[0]->dataCount(), 1);
    }

    // The voltage axis must land exactly where a full rescale over every stored
    // point would put it, whatever the history of batches and clears.
    void valueAxisFitEqualsFullRescale()
    {
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0.0, 1e-4);
        double time = 0;
        for (int round = 0; round < 40; ++round) {
            QVector<structSample> batch;
            int size = round % 7 == 3 ? 1 : 64;
            for (int i = 0; i < size; ++i) {
                structSample s{};
                s.time = time += 0.002;
                for (int c = 0; c < channelCount; ++c)
                    s.value[c] = noise(random) * (c + 1) + (round > 20 ? 5e-3 : 0);
                batch << s;
            }
            if (round == 10)
                graphs[11]->setVisible(false); // hidden graphs do not count
            if (round == 15)
                graphs[11]->setVisible(true);
            if (round == 25)
                clearGraphs(graphs, ranges);
            appendSignalBatch(graphs, ranges, batch);
            QCPRange ours = plot->yAxis->range();
            plot->yAxis->rescale(true);
            QCOMPARE(ours, plot->yAxis->range());
        }
    }

    void constantSignalCentresTheValueAxisAndKeepsItsWidth()
    {
        plot->yAxis->setRange(0, 4);
        structSample s{};
        s.time = 1;
        for (double& v : s.value)
            v = 10.0;
        appendSignalBatch(graphs, ranges, {s});
        QCOMPARE(plot->yAxis->range(), QCPRange(8, 12));
        plot->yAxis->setRange(0, 4);
        plot->yAxis->rescale(true);
        QCOMPARE(plot->yAxis->range(), QCPRange(8, 12));
    }

    void clearForgetsTheOldValueRange()
    {
        appendSignalBatch(graphs, ranges, {sampleAt(1, 1.0)});
        plot->xAxis->setRange(-3, 9);
        plot->yAxis->setRange(-2, 2);
        clearGraphs(graphs, ranges);
        for (QCPGraph* g : graphs)
            QCOMPARE(g->dataCount(), 0);
        QCOMPARE(plot->legend->itemCount(), channelCount);
        QCOMPARE(plot->xAxis->range(), QCPRange(-3, 9));
        QCOMPARE(plot->yAxis->range(), QCPRange(-2, 2));

        appendSignalBatch(graphs, ranges, {sampleAt(2, 1e-3), sampleAt(3, 2e-3)});
        QCOMPARE(plot->yAxis->range(), QCPRange(1e-3, 2e-3 * 12));
    }

    void fitCoversEveryPointOfEveryGraph()
    {
        appendSignalBatch(graphs, ranges, {sampleAt(5, 1), sampleAt(9, -2)});
        plot->xAxis->setRange(100, 101);
        fitPlot(plot);
        QCOMPARE(plot->xAxis->range(), QCPRange(5, 9));
        QCOMPARE(plot->yAxis->range(), QCPRange(-24, 12));
    }
};

QTEST_MAIN(SignalPlotTest)
#include "tst_signalplot.moc"
