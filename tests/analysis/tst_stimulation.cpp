// Capture, stimulation and raw commands against the simulated headset: each
// request reaches the headset as its frame, and each reply gives its line in
// the terminal.
#include <QtTest>

#include "device/commands.h"
#include "headset_rig.h"

namespace
{

QByteArray hex(const char* digits)
{
    return QByteArray::fromHex(digits);
}

// The frames of one type that the headset received since it was last cleared.
QList<QByteArray> framesOfType(const sim::Headset& headset, char type)
{
    QList<QByteArray> frames;
    for (const auto& received : headset.received()) {
        const QByteArray frame(reinterpret_cast<const char*>(received.frame.data()),
                               int(received.frame.size()));
        if (frame.size() >= 2 && frame.at(1) == type)
            frames << frame;
    }
    return frames;
}

structLightParam exampleLight()
{
    structLightParam light{};
    light.bright = 13; // 5 %
    light.duration = 2000;
    light.pause = 2000;
    light.count = 10;
    light.seriesPause = 500;
    light.seriesCount = 3;
    return light;
}

structSoundParam exampleSound()
{
    structSoundParam sound{};
    sound.volume = 250;
    sound.duration = 1;
    sound.pause = 1;
    sound.count = 1;
    sound.tone = 1000;
    sound.seriesPause = 1;
    sound.seriesCount = 1;
    return sound;
}

} // namespace

class Stimulation : public QObject
{
    Q_OBJECT
private slots:
    void requestsArriveAsFramesAndRepliesAreReported_data();
    void requestsArriveAsFramesAndRepliesAreReported();
    void switchedOffModulesAreReported();
    void captureStartAndStopArriveAsFrames();
    void overlongCommandIsRefusedAndNothingIsSent();
};

void Stimulation::requestsArriveAsFramesAndRepliesAreReported_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("line");

    QTest::newRow("light start") << 0 << hex("0D460DD007D0070A00F4010300")
                                 << QString("Стимуляция светом запущена");
    QTest::newRow("light stop") << 1 << hex("0247") << QString("Стимуляция светом остановлена");
    QTest::newRow("sound start") << 2 << hex("0F54FA010001000100E80301000100")
                                 << QString("Стимуляция звуком запущена");
    QTest::newRow("sound stop") << 3 << hex("0255") << QString("Стимуляция звуком остановлена");
    QTest::newRow("typed light stop")
        << 4 << hex("0247") << QString("Стимуляция светом остановлена");
    QTest::newRow("typed sound stop with escape")
        << 5 << hex("0255") << QString("Стимуляция звуком остановлена");
}

void Stimulation::requestsArriveAsFramesAndRepliesAreReported()
{
    QFETCH(int, request);
    QFETCH(QByteArray, frame);
    QFETCH(QString, line);

    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    rig.headset.clearReceived();
    switch (request) {
    case 0:
        rig.device->setLightStart(exampleLight());
        break;
    case 1:
        rig.device->setLightStop();
        break;
    case 2:
        rig.device->setSoundStart(exampleSound());
        break;
    case 3:
        rig.device->setSoundStop();
        break;
    case 4:
        rig.device->sendCommand("G");
        break;
    case 5:
        rig.device->sendCommand("\\55");
        break;
    }
    QVERIFY(rig.headset.waitForReceived(quint8(frame.at(1)), 3000));
    QCOMPARE(framesOfType(rig.headset, frame.at(1)), QList<QByteArray>{frame});
    QVERIFY(rig.waitForLine(line));
}

void Stimulation::switchedOffModulesAreReported()
{
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    rig.headset.setLightModule(false);
    rig.headset.setSoundModule(false);

    // The "c" of "cтимуляции" in both texts is the Latin letter.
    const QString lightOff = QString::fromUtf8("Ошибка запуска cтимуляции светом, модуль отключен");
    const QString soundOff = QString::fromUtf8("Ошибка запуска cтимуляции звуком, модуль отключен");
    QCOMPARE(lightOff.at(15), QChar('c'));
    QCOMPARE(soundOff.at(15), QChar('c'));

    rig.device->setLightStart(exampleLight());
    QVERIFY(rig.waitForLine(lightOff));
    rig.device->setSoundStart(exampleSound());
    QVERIFY(rig.waitForLine(soundOff));
    QVERIFY(!rig.lines.contains("Стимуляция светом запущена"));
    QVERIFY(!rig.lines.contains("Стимуляция звуком запущена"));
}

void Stimulation::captureStartAndStopArriveAsFrames()
{
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    rig.headset.clearReceived();
    QVERIFY(rig.startCapture(8800));
    QCOMPARE(framesOfType(rig.headset, '!'), QList<QByteArray>{hex("04216022")});
    QCOMPARE(rig.headset.period(), quint16(8800));
    QVERIFY(rig.waitForLine("Запущен сбор данных"));
    QVERIFY(rig.stopCapture());
    QCOMPARE(framesOfType(rig.headset, '#'), QList<QByteArray>{hex("0223")});
    QVERIFY(rig.waitForLine("Остановлен сбор данных"));
}

void Stimulation::overlongCommandIsRefusedAndNothingIsSent()
{
    HeadsetRig rig;
    QVERIFY(rig.connectDevice());
    rig.headset.clearReceived();
    int connectionChanges = 0;
    connect(rig.device, &Device::connection, this, [&](bool) { ++connectionChanges; });

    rig.device->sendCommand(QString("G") + QString(254, 'x')); // 255 bytes
    QVERIFY(QTest::qWaitFor(
        [&] { return !rig.lines.filter(QString::fromUtf8("Команда не отправлена")).isEmpty(); },
        3000));
    // The link stays up and the next request goes out as usual.
    rig.device->setSoundStop();
    QVERIFY(rig.headset.waitForReceived('U', 3000));
    QVERIFY(framesOfType(rig.headset, 'G').isEmpty());
    for (const auto& received : rig.headset.received())
        QVERIFY(received.frame.size() < 100);
    QCOMPARE(connectionChanges, 0);

    // The longest command that fits is sent whole.
    rig.headset.clearReceived();
    rig.device->sendCommand(QString("G") + QString(253, 'x')); // 254 bytes
    QVERIFY(QTest::qWaitFor([&] { return !framesOfType(rig.headset, 'G').isEmpty(); }, 3000));
    const QByteArray longest = framesOfType(rig.headset, 'G').first();
    QCOMPARE(longest.size(), 255);
    QCOMPARE(quint8(longest.at(0)), quint8(255));
}

QTEST_GUILESS_MAIN(Stimulation)
#include "tst_stimulation.moc"
