// Values the operator sets, in the units the headset receives; the format of
// a file name chosen for Save.
#include <QtTest>

#include "app/conversions.h"
#include "app/savecapture.h"

namespace
{

template <typename T> QByteArray bytesOf(const T& record)
{
    return QByteArray(reinterpret_cast<const char*>(&record), sizeof record);
}

} // namespace

class ConversionsTest : public QObject
{
    Q_OBJECT

private slots:
    void captureRateReadsTheSameInEveryUnit_data()
    {
        QTest::addColumn<int>("ticks");
        QTest::addColumn<double>("milliseconds");
        QTest::addColumn<double>("hertz");
        QTest::newRow("fastest") << 8800 << 1.1 << 909.091;
        QTest::newRow("default") << 16000 << 2.0 << 500.0;
        QTest::newRow("slowest the boxes show") << 64000 << 8.0 << 125.0;
    }
    void captureRateReadsTheSameInEveryUnit()
    {
        QFETCH(int, ticks);
        QFETCH(double, milliseconds);
        QFETCH(double, hertz);
        QVERIFY(qAbs(periodMsFromTicks(ticks) - milliseconds) < 1e-12);
        QVERIFY(qAbs(frequencyHzFromTicks(ticks) - hertz) < 0.0005);
        // Back from the values as the boxes hold them (three decimals).
        QCOMPARE(ticksFromPeriodMs(milliseconds), ticks);
        QCOMPARE(ticksFromFrequencyHz(hertz), ticks);
    }

    void captureRateRoundsToTheNearestTick()
    {
        QCOMPARE(ticksFromFrequencyHz(500.001), 16000); // 15999.968
        QCOMPARE(ticksFromFrequencyHz(499.99), 16000);  // 16000.32
        QCOMPARE(ticksFromFrequencyHz(499.98), 16001);  // 16000.64
        QCOMPARE(ticksFromPeriodMs(1.0000626), 8001);   // 8000.5008
        QCOMPARE(ticksFromPeriodMs(1.0000624), 8000);   // 8000.4992
    }

    // A percentage of 0..100 becomes 0..250 and halves go away from zero: a
    // banker's or truncating rounding gives 2, 7 or 12 here.
    void brightnessAndVolumeRoundHalvesAwayFromZero_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<int>("encoded");
        QTest::newRow("1 %") << 1.0 << 3;
        QTest::newRow("3 %") << 3.0 << 8;
        QTest::newRow("5 %") << 5.0 << 13;
        QTest::newRow("10.2 %") << 10.2 << 26; // 25.5
        QTest::newRow("12.5 %") << 12.5 << 31; // 31.25
        QTest::newRow("100 %") << 100.0 << 250;
    }
    void brightnessAndVolumeRoundHalvesAwayFromZero()
    {
        QFETCH(double, percent);
        QFETCH(int, encoded);
        QCOMPARE(int(makeLightParam(percent, 100, 100, 1, 1, 1).bright), encoded);
        QCOMPARE(int(makeSoundParam(percent, 100, 100, 1, 1000, 1, 1).volume), encoded);
    }

    void lightRecordMatchesTheHeadsetsLayout()
    {
        structLightParam p = makeLightParam(5, 100, 100, 10, 500, 3);
        QCOMPARE(bytesOf(p).toHex(' ').toUpper(), QByteArray("0D D0 07 D0 07 0A 00 F4 01 03 00"));
    }

    void soundRecordMatchesTheHeadsetsLayout()
    {
        structSoundParam p = makeSoundParam(100, 0.05, 0.05, 1, 1000, 1, 1);
        QCOMPARE(bytesOf(p).toHex(' ').toUpper(),
                 QByteArray("FA 01 00 01 00 01 00 E8 03 01 00 01 00"));
    }

    void durationsSpanTheWholeField()
    {
        structLightParam light = makeLightParam(100, 3276.75, 0.05, 100, 65535, 65535);
        QCOMPARE(int(light.duration), 65535);
        QCOMPARE(int(light.pause), 1);
        QCOMPARE(int(light.seriesPause), 65535);
        structSoundParam sound = makeSoundParam(1, 0.07, 1234.56, 65535, 65535, 1, 2);
        QCOMPARE(int(sound.duration), 1);  // 1.4
        QCOMPARE(int(sound.pause), 24691); // 24691.2
        QCOMPARE(int(sound.tone), 65535);
        QCOMPARE(int(sound.count), 65535);
        QCOMPARE(int(makeSoundParam(1, 1, 1, 1, 999.5, 1, 1).tone), 1000);
    }

    void formatFollowsTheName()
    {
        QCOMPARE(recordingFormatFor("/a/b.BDF", RecordingFormat::Edf), RecordingFormat::Bdf);
        QCOMPARE(recordingFormatFor("/a/b.edf", RecordingFormat::Bdf), RecordingFormat::Edf);
        QCOMPARE(recordingFormatFor("/a.x/b.dat", RecordingFormat::Bdf), RecordingFormat::Bdf);
    }
};

QTEST_APPLESS_MAIN(ConversionsTest)
#include "tst_conversions.moc"
