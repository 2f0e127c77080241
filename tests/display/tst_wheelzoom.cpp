// The program's own wheel zoom: about the cursor, Ctrl keeps the time axis,
// Shift keeps the value axis.
#include <QtTest>
#include <qcustomplot.h>

#include "display/plots.h"

class WheelZoomTest : public QObject
{
    Q_OBJECT

    QCustomPlot* plot = nullptr;

    void wheel(QPoint at, int delta, Qt::KeyboardModifiers keys)
    {
        QWheelEvent event(at, plot->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, keys,
                          Qt::NoScrollPhase, false);
        zoomPlotByWheel(plot, &event);
    }

private slots:
    void init()
    {
        plot = new QCustomPlot;
        plot->resize(600, 400);
        setupSignalPlot(plot);
        plot->xAxis->setRange(0, 10);
        plot->yAxis->setRange(-1, 1);
        // Fixed margins: tick labels of another width must not move the rect.
        plot->axisRect()->setAutoMargins(QCP::msNone);
        plot->axisRect()->setMargins(QMargins(60, 20, 20, 40));
        plot->replot(); // lays out the axis rect, so pixels map to coordinates
    }
    void cleanup() { delete plot; }

    void modifiersChooseTheZoomedAxes_data()
    {
        QTest::addColumn<int>("keys");
        QTest::addColumn<bool>("timeZoomed");
        QTest::addColumn<bool>("valueZoomed");
        QTest::newRow("none") << int(Qt::NoModifier) << true << true;
        QTest::newRow("ctrl") << int(Qt::ControlModifier) << false << true;
        QTest::newRow("shift") << int(Qt::ShiftModifier) << true << false;
        QTest::newRow("ctrl+shift")
            << int(Qt::ControlModifier | Qt::ShiftModifier) << false << false;
    }
    void modifiersChooseTheZoomedAxes()
    {
        QFETCH(int, keys);
        QFETCH(bool, timeZoomed);
        QFETCH(bool, valueZoomed);
        wheel(plot->axisRect()->center(), 120, Qt::KeyboardModifiers(keys));
        QCOMPARE(plot->xAxis->range().size() != 10.0, timeZoomed);
        QCOMPARE(plot->yAxis->range().size() != 2.0, valueZoomed);
    }

    void oneNotchScalesByTheRectsFactorAboutTheCursor()
    {
        QPoint at(plot->xAxis->coordToPixel(2.5), plot->yAxis->coordToPixel(0.5));
        double keyAt = plot->xAxis->pixelToCoord(at.x());
        double valueAt = plot->yAxis->pixelToCoord(at.y());
        double factor = plot->axisRect()->rangeZoomFactor(Qt::Horizontal);

        wheel(at, 120, Qt::NoModifier);
        QVERIFY(qAbs(plot->xAxis->range().size() - 10 * factor) < 1e-9);
        // The coordinate under the cursor stays under the cursor.
        QVERIFY(qAbs(plot->xAxis->pixelToCoord(at.x()) - keyAt) < 1e-9);
        QVERIFY(qAbs(plot->yAxis->pixelToCoord(at.y()) - valueAt) < 1e-9);

        // Turning back by a notch, and half-notches, undo it.
        wheel(at, -60, Qt::NoModifier);
        wheel(at, -60, Qt::NoModifier);
        QVERIFY(qAbs(plot->xAxis->range().size() - 10) < 1e-9);
        QVERIFY(qAbs(plot->yAxis->range().size() - 2) < 1e-9);
    }

    void noZoomOrientationsLeavesEverything()
    {
        plot->axisRect()->setRangeZoom(Qt::Orientations());
        wheel(plot->axisRect()->center(), 120, Qt::NoModifier);
        QCOMPARE(plot->xAxis->range(), QCPRange(0, 10));
        QCOMPARE(plot->yAxis->range(), QCPRange(-1, 1));
    }
};

QTEST_MAIN(WheelZoomTest)
#include "tst_wheelzoom.moc"
