// Texts the operator reads: the status bar counters and the cursor read-outs.
#include <QtTest>

#include "display/plots.h"
#include "display/statusbar.h"

class StatusTextsTest : public QObject
{
    Q_OBJECT

private slots:
    void countersAreWrittenInFull()
    {
        QCOMPARE(speedText(0, 0), QString("TX:0, RX:0"));
        QCOMPARE(speedText(1234567, 4294967295u), QString("TX:1234567, RX:4294967295"));
        QCOMPARE(skipsText(0), QString("Пропуски:0"));
        QCOMPARE(skipsText(4294967296ull), QString("Пропуски:4294967296"));
        QCOMPARE(skipsText(18446744073709551615ull), QString("Пропуски:18446744073709551615"));
    }

    void readoutsUseFixedTimeAndSignificantValue()
    {
        QCOMPARE(signalReadout(1.23456, 0.000123456789),
                 QString("Время=1.235сек; Напряжение=0.000123457В"));
        QCOMPARE(signalReadout(-0.5, -2.5e-9), QString("Время=-0.500сек; Напряжение=-2.5e-09В"));
        QCOMPARE(spectrumReadout(49.99951, 1234567.0),
                 QString("Частота=50.000Гц; Значение=1.23457e+06"));
    }
};

QTEST_MAIN(StatusTextsTest)
#include "tst_statustexts.moc"
