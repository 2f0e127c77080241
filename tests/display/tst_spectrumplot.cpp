// The spectrum plot: per-channel replacement of spectra and the switch between
// logarithmic and linear axes.
#include <QtTest>
#include <qcustomplot.h>

#include "display/plots.h"

class SpectrumPlotTest : public QObject
{
    Q_OBJECT

    QCustomPlot* plot = nullptr;
    QCPGraph* graphs[channelCount] = {};
    QSharedPointer<QCPAxisTicker> logX, logY, linearX, linearY;

private slots:
    void init()
    {
        plot = new QCustomPlot;
        plot->resize(600, 400);
        setupSpectrumAxes(plot);
        logX.reset(new QCPAxisTickerLog);
        logY.reset(new QCPAxisTickerLog);
        linearX = plot->xAxis->ticker();
        linearY = plot->yAxis->ticker();
        createChannelGraphs(plot, graphs);
    }
    void cleanup() { delete plot; }

    void spectrumReplacesOnlyItsChannel()
    {
        QVector<double> f{0, 1, 2, 3}, a{4, 3, 2, 1};
        QVERIFY(setChannelSpectrum(graphs, 11, f, a));
        QVERIFY(setChannelSpectrum(graphs, 11, {0, 2}, {7, 8}));
        QCOMPARE(graphs[11]->dataCount(), 2);
        QCOMPARE(graphs[11]->data()->at(1)->value, 8.0);
        for (int c = 0; c < 11; ++c)
            QCOMPARE(graphs[c]->dataCount(), 0);
    }

    void spectrumForChannelOutsideRangeChangesNothing_data()
    {
        QTest::addColumn<int>("channel");
        QTest::newRow("negative") << -1;
        QTest::newRow("twelve") << 12;
        QTest::newRow("far above") << 1000;
        QTest::newRow("most negative") << std::numeric_limits<int>::min();
    }
    void spectrumForChannelOutsideRangeChangesNothing()
    {
        QFETCH(int, channel);
        QVERIFY(!setChannelSpectrum(graphs, channel, {1, 2}, {3, 4}));
        for (QCPGraph* g : graphs)
            QCOMPARE(g->dataCount(), 0);
    }

    void axisScaleFollowsTheTable_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("logarithmic");
        for (int o : {int(Qt::Horizontal), int(Qt::Vertical)}) {
            const char* axis = o == Qt::Horizontal ? "frequency" : "amplitude";
            QTest::addRow("%s index 0", axis) << o << 0 << true;
            QTest::addRow("%s index 1", axis) << o << 1 << false;
            QTest::addRow("%s index 5", axis) << o << 5 << false;
            QTest::addRow("%s index -1", axis) << o << -1 << false;
        }
    }
    void axisScaleFollowsTheTable()
    {
        QFETCH(int, orientation);
        QFETCH(int, index);
        QFETCH(bool, logarithmic);
        bool horizontal = orientation == Qt::Horizontal;
        QCPAxis* axis = horizontal ? plot->xAxis : plot->yAxis;
        QCPAxis* mirror = horizontal ? plot->xAxis2 : plot->yAxis2;
        QCPAxis* other = horizontal ? plot->yAxis : plot->xAxis;
        auto logTicker = horizontal ? logX : logY;
        auto linearTicker = horizontal ? linearX : linearY;

        // Start from the opposite scale so that every property must change.
        setSpectrumAxisScale(plot, Qt::Orientation(orientation), logarithmic ? 1 : 0, logTicker,
                             linearTicker);
        setSpectrumAxisScale(plot, Qt::Orientation(orientation), index, logTicker, linearTicker);

        auto type = logarithmic ? QCPAxis::stLogarithmic : QCPAxis::stLinear;
        auto ticker = logarithmic ? logTicker : linearTicker;
        QCOMPARE(axis->scaleType(), type);
        QCOMPARE(mirror->scaleType(), type);
        QCOMPARE(axis->ticker(), ticker);
        QCOMPARE(mirror->ticker(), ticker);
        QCOMPARE(axis->numberFormat(), QString(logarithmic ? "eb" : "gb"));
        QCOMPARE(axis->numberPrecision(), logarithmic ? 0 : 6);
        QCOMPARE(other->scaleType(), QCPAxis::stLinear); // the other pair is untouched
    }
};

QTEST_MAIN(SpectrumPlotTest)
#include "tst_spectrumplot.moc"
