// Command frames and terminal text, byte for byte.
#include <QtTest>

#include "device/commands.h"

namespace
{
QByteArray hex(const char* digits)
{
    return QByteArray::fromHex(digits);
}
} // namespace

class CommandFrames : public QObject
{
    Q_OBJECT
private slots:
    void captureFramesCarryThePeriodLittleEndian();
    void lightStartCarriesTheRecordAsLaidOut();
    void soundStartCarriesTheRecordAsLaidOut();
    void stopAndServiceFramesAreTwoBytes();
    void terminalText_data();
    void terminalText();
    void rawCommandGetsItsLengthInFront();
    void rawCommandTooLongForOneFrameIsRefused();
    void recordsAreRegisteredForQueuedCalls();
};

void CommandFrames::captureFramesCarryThePeriodLittleEndian()
{
    QCOMPARE(captureStartFrame(8800), hex("04216022"));
    QCOMPARE(captureStartFrame(16000), hex("0421803E"));
    QCOMPARE(captureStartFrame(65535), hex("0421FFFF"));
}

void CommandFrames::lightStartCarriesTheRecordAsLaidOut()
{
    // 5 % -> 12.5 -> 13; 100 ms and 100 ms -> 2000 units of 0.05 ms.
    structLightParam light{};
    light.bright = 13;
    light.duration = 2000;
    light.pause = 2000;
    light.count = 10;
    light.seriesPause = 500;
    light.seriesCount = 3;
    QCOMPARE(lightStartFrame(light), hex("0D460DD007D0070A00F4010300"));

    // 1 % encodes as 3 and goes out unchanged in the first payload byte.
    light.bright = 3;
    QCOMPARE(lightStartFrame(light).mid(2, 1), hex("03"));
}

void CommandFrames::soundStartCarriesTheRecordAsLaidOut()
{
    structSoundParam sound{};
    sound.volume = 250;
    sound.duration = 1;
    sound.pause = 1;
    sound.count = 1;
    sound.tone = 1000;
    sound.seriesPause = 1;
    sound.seriesCount = 1;
    QCOMPARE(soundStartFrame(sound), hex("0F54FA010001000100E80301000100"));
}

void CommandFrames::stopAndServiceFramesAreTwoBytes()
{
    QCOMPARE(captureStopFrame(), hex("0223"));
    QCOMPARE(lightStopFrame(), hex("0247"));
    QCOMPARE(soundStopFrame(), hex("0255"));
    QCOMPARE(keepAliveFrame(), hex("0253"));
    QCOMPARE(identificationFrame(), hex("023F"));
}

void CommandFrames::terminalText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("question") << QString("?") << hex("023F");
    QTest::newRow("capture start typed with escapes") << QString("!\\60\\22") << hex("04216022");
    QTest::newRow("empty") << QString() << hex("01");
    QTest::newRow("escape upper and lower case") << QString("\\3f\\3F") << hex("033F3F");
    QTest::newRow("plain letter") << QString("S") << hex("0253");
    QTest::newRow("cyrillic letter as UTF-8") << QString::fromUtf8("Ж") << hex("03D096");
    QTest::newRow("escape that is no number") << QString("\\zzS") << hex("030053");
    QTest::newRow("backslash at the end") << QString("S\\") << hex("035300");
    QTest::newRow("escape cut short by the end") << QString("S\\4") << hex("035304");
    QTest::newRow("escape takes two digits only") << QString("\\1FF") << hex("031F46");
    QTest::newRow("character outside the BMP as UTF-8")
        << QString::fromUtf8("U\xF0\x9F\x98\x80") << hex("0655F09F9880");
    QTest::newRow("escaped backslash") << QString("\\5C") << hex("025C");
}

void CommandFrames::terminalText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, frame);
    QCOMPARE(rawCommandFrame(terminalTextToBytes(text)), frame);
}

void CommandFrames::rawCommandGetsItsLengthInFront()
{
    const QByteArray longest(maxCommandBytes, 'x');
    const QByteArray frame = rawCommandFrame(longest);
    QCOMPARE(frame.size(), 255);
    QCOMPARE(quint8(frame.at(0)), quint8(255));
    QCOMPARE(frame.mid(1), longest);
}

void CommandFrames::rawCommandTooLongForOneFrameIsRefused()
{
    // 255 bytes would need a length of 256, which wraps to 0.
    QVERIFY(rawCommandFrame(QByteArray(maxCommandBytes + 1, 'x')).isEmpty());
    QVERIFY(rawCommandFrame(QByteArray(1000, 'x')).isEmpty());
    // 128 Cyrillic letters are 256 bytes.
    QVERIFY(rawCommandFrame(terminalTextToBytes(QString(128, QChar(0x0416)))).isEmpty());
}

void CommandFrames::recordsAreRegisteredForQueuedCalls()
{
    registerCommandMetaTypes();
    QVERIFY(QMetaType::type("FFTWindow") != QMetaType::UnknownType);
    QCOMPARE(QMetaType::sizeOf(QMetaType::type("structLightParam")), 11);
    QCOMPARE(QMetaType::sizeOf(QMetaType::type("structSoundParam")), 13);
}

QTEST_APPLESS_MAIN(CommandFrames)
#include "tst_commands.moc"
