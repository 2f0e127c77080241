// The eleven window kinds: each weight against hand-evaluated values of its
// formula at the block's ends, a quarter in, and the middle.
#include <QtTest>

#include "analysis/fftwindow.h"

class WindowWeights : public QObject
{
    Q_OBJECT
private slots:
    void weightsMatchTheirFormulas_data();
    void weightsMatchTheirFormulas();
    void unknownKindsWeighOne();
    void comboIndexMapsToKind();
};

void WindowWeights::weightsMatchTheirFormulas_data()
{
    // With N = 9 (M = 8): n = 0 and 8 are the ends (x = 0, 1), n = 2 is x = 0.25
    // where cos(2πx) = 0, cos(4πx) = -1, cos(6πx) = 0, and n = 4 is the middle
    // where the cosines are -1, 1, -1.
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("atEnds");
    QTest::addColumn<double>("atQuarter");
    QTest::addColumn<double>("atMiddle");

    QTest::newRow("Rectangular") << int(Rectangular) << 1.0 << 1.0 << 1.0;
    QTest::newRow("Gauss") << int(Gauss) << std::exp(-2.0) << std::exp(-0.5) << 1.0;
    QTest::newRow("Hamming") << int(Hamming) << 0.08 << 0.54 << 1.0;
    QTest::newRow("Hann") << int(Hann) << 0.0 << 0.5 << 1.0;
    QTest::newRow("Triangular") << int(Triangular) << 0.0 << 0.5 << 1.0;
    QTest::newRow("Nuttall") << int(Nuttall) << 0.0 << 0.355768 - 0.144232 << 1.0;
    QTest::newRow("Blackman") << int(Blackman) << 0.42323 - 0.49755 + 0.07922 << 0.42323 - 0.07922
                              << 0.42323 + 0.49755 + 0.07922;
    QTest::newRow("BlackmanNuttall")
        << int(BlackmanNuttall) << 0.3635819 - 0.4891775 + 0.1365995 - 0.0106411
        << 0.3635819 - 0.1365995 << 1.0;
    QTest::newRow("BlackmanHarris")
        << int(BlackmanHarris) << 0.35875 - 0.48829 + 0.14128 - 0.01168 << 0.35875 - 0.14128 << 1.0;
    QTest::newRow("FlatTop") << int(FlatTop) << 0.2810639 - 0.5208972 + 0.1980399
                             << 0.2810639 - 0.1980399 << 0.2810639 + 0.5208972 + 0.1980399;
    QTest::newRow("Welch") << int(Welch) << 0.0 << 0.75 << 1.0;
}

void WindowWeights::weightsMatchTheirFormulas()
{
    QFETCH(int, kind);
    QFETCH(double, atEnds);
    QFETCH(double, atQuarter);
    QFETCH(double, atMiddle);
    const double N = 9;
    const double tolerance = 1e-12;
    QVERIFY(std::fabs(windowValue(kind, 0, N) - atEnds) < tolerance);
    QVERIFY(std::fabs(windowValue(kind, 8, N) - atEnds) < tolerance);
    QVERIFY(std::fabs(windowValue(kind, 2, N) - atQuarter) < tolerance);
    QVERIFY(std::fabs(windowValue(kind, 6, N) - atQuarter) < tolerance);
    QVERIFY(std::fabs(windowValue(kind, 4, N) - atMiddle) < tolerance);
}

void WindowWeights::unknownKindsWeighOne()
{
    for (int kind : {-1, 11, 1000})
        for (double n : {0.0, 3.0, 7.0})
            QCOMPARE(windowValue(kind, n, 8), 1.0);
}

void WindowWeights::comboIndexMapsToKind()
{
    QCOMPARE(fftWindowFromIndex(0), Rectangular);
    QCOMPARE(fftWindowFromIndex(1), Gauss);
    QCOMPARE(fftWindowFromIndex(6), Blackman);
    QCOMPARE(fftWindowFromIndex(10), Welch);
    QCOMPARE(fftWindowFromIndex(-1), Rectangular);
    QCOMPARE(fftWindowFromIndex(11), Rectangular);
}

QTEST_APPLESS_MAIN(WindowWeights)
#include "tst_windows.moc"
