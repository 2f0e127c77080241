// The port search: which ports are tried and in what order, what each kind of
// failure reports, and how wired and wireless headsets are recognised.
#include "devicerig.h"

namespace
{

const QString searching = QStringLiteral("Поиск устойства...");
const QString notFound = QStringLiteral("Устройство не найдено, проверьте подключение!");

QString probing(const QString& name)
{
    return QStringLiteral("Поиск на %1...").arg(name);
}

// The lines of `lines` that are also in `wanted`, in the order they came.
QStringList only(const QStringList& lines, const QStringList& wanted)
{
    QStringList kept;
    for (const QString& line : lines)
        if (wanted.contains(line))
            kept << line;
    return kept;
}

} // namespace

class DeviceSearch : public QObject
{
    Q_OBJECT
private slots:
    void namedPortIsTheOnlyOneTried();
    void allPortsAreTriedInOrderUntilOneAnswers();
    void wiredHeadsetIsFoundAndItsReplyIsNoUnknownPacket();
    void wirelessReceiverRelaysTheHeadsetsAnswer();
    void chattyPortBeforeTheHeadsetDoesNotHoldTheSearch();
    void wiredReplyArrivingInPiecesIsStillWired();
    void searchWithNoPortsFailsAndTerminateCutsThePauseShort();
    void portChosenWhileTheWorkerSearchesIsUsedByTheNextSearch();
};

void DeviceSearch::namedPortIsTheOnlyOneTried()
{
    SimPort good;
    QVERIFY(good.ok);
    QTemporaryDir dir;
    const QString missing = dir.path() + "/no-such-port";
    DeviceRig rig;
    setSerialPortSource([&] { return QStringList{good.path}; });
    rig.device->setPort(missing);
    rig.start();
    QVERIFY(rig.waitForTerminal(notFound, 3000));
    rig.stop();

    // A port that cannot be opened gets no line of its own, and the listed
    // port is never tried while a port is named.
    QCOMPARE(rig.terminalLines().mid(0, 3), (QStringList{searching, probing(missing), notFound}));
    QVERIFY(!rig.hasTerminal(probing(good.path)));
    QCOMPARE(rig.infoLines().mid(0, 3), (QStringList{searching, probing(missing), notFound}));
    QVERIFY(rig.connectionSpy.isEmpty());
    QCOMPARE(rig.finishedSpy.count(), 1);
}

void DeviceSearch::allPortsAreTriedInOrderUntilOneAnswers()
{
    SimPort silent;
    SimPort good;
    SimPort later;
    QVERIFY(silent.ok && good.ok && later.ok);
    silent.headset->setSilent(true);
    QTemporaryDir dir;
    const QString missing = dir.path() + "/no-such-port";

    DeviceRig rig;
    setSerialPortSource([&] { return QStringList{missing, silent.path, good.path, later.path}; });
    rig.start();
    QVERIFY(rig.waitForConnection(true, 3000));
    rig.stop();

    const QStringList lines = rig.terminalLines();
    const QStringList expected = {
        searching,
        probing(missing),
        probing(silent.path),
        silent.path + " TX:023F",
        silent.path + ": не отвечает",
        probing(good.path),
        good.path + " TX:023F",
        QStringLiteral("Устройство найдено на %1").arg(good.path),
    };
    QCOMPARE(only(lines, expected + QStringList{probing(later.path)}), expected);
    QVERIFY(lines.contains(good.path + " RX:103F566F6C6D61486561647365745246"));
    QVERIFY(rig.infoLines().contains(QStringLiteral("Устройство найдено на %1").arg(good.path)));
    QVERIFY(!later.headset->portOpenedByPeer());
    QVERIFY(receivedOfType(*later.headset, '?').empty());
    QCOMPARE(receivedOfType(*silent.headset, '?').size(), size_t(1));
}

void DeviceSearch::wiredHeadsetIsFoundAndItsReplyIsNoUnknownPacket()
{
    SimPort wired;
    QVERIFY(wired.ok);
    DeviceRig rig;
    rig.device->setPort(wired.path);
    rig.start();
    QVERIFY(rig.waitForConnection(true, 3000));
    // The identification reply is taken by the search; the exchange does not
    // see it again as a frame it does not know.
    QTest::qWait(300);
    QVERIFY(rig.terminalLines().filter(QStringLiteral("Неизвестный пакет")).isEmpty());
    QVERIFY(rig.stop() >= 0);
    QCOMPARE(rig.connectionSpy.count(), 2);
    QCOMPARE(rig.connectionSpy.at(0).at(0).toBool(), true);
    QCOMPARE(rig.connectionSpy.at(1).at(0).toBool(), false);
}

void DeviceSearch::wirelessReceiverRelaysTheHeadsetsAnswer()
{
    sim::Options options;
    options.wireless = true;
    SimPort wireless(options);
    QVERIFY(wireless.ok);
    DeviceRig rig;
    rig.device->setPort(wireless.path);
    rig.start();
    QVERIFY(rig.waitForConnection(true, 3000));
    rig.stop();

    const QStringList lines = rig.terminalLines();
    const QString found =
        QStringLiteral("Беспроводное устройство найдено на %1").arg(wireless.path);
    QVERIFY(lines.contains(found));
    QVERIFY(rig.infoLines().contains(found));
    const int rf = lines.indexOf(QRegularExpression("^RF RX:[0-9A-F]+$"));
    QVERIFY(rf > 0 && rf < lines.indexOf(found));
    QVERIFY(lines.at(rf).contains("566F6C6D61486561647365745246")); // the headset's own answer
    QVERIFY(!lines.contains(QStringLiteral("Устройство найдено на %1").arg(wireless.path)));
}

void DeviceSearch::chattyPortBeforeTheHeadsetDoesNotHoldTheSearch()
{
    sim::Options options;
    options.chatty = true;
    SimPort chatty(options);
    SimPort good;
    QVERIFY(chatty.ok && good.ok);
    DeviceRig rig;
    setSerialPortSource([&] { return QStringList{chatty.path, good.path}; });
    rig.start();
    // The chatty port answers all the time and never as a headset; its probe
    // ends at its deadline and the headset behind it is found.
    QVERIFY(rig.waitForConnection(true, 10000));
    rig.stop();
    QVERIFY(rig.hasTerminal(QStringLiteral("Устройство найдено на %1").arg(good.path)));
    QVERIFY(!chatty.headset->portOpenedByPeer());
    QVERIFY(rig.terminalLines().filter(chatty.path + " RX:").size() >= 2);
}

void DeviceSearch::wiredReplyArrivingInPiecesIsStillWired()
{
    sim::Options options;
    options.burstSize = 1; // one byte per write
    SimPort wired(options);
    QVERIFY(wired.ok);
    DeviceRig rig;
    rig.device->setPort(wired.path);
    rig.start();
    QVERIFY(rig.waitForConnection(true, 3000));
    rig.stop();
    QVERIFY(rig.hasTerminal(QStringLiteral("Устройство найдено на %1").arg(wired.path)));
    QVERIFY(rig.terminalLines().filter(QStringLiteral("Беспроводное")).isEmpty());
}

void DeviceSearch::searchWithNoPortsFailsAndTerminateCutsThePauseShort()
{
    DeviceRig rig;
    setSerialPortSource([] { return QStringList(); });
    rig.start();
    QVERIFY(rig.waitForTerminal(notFound, 2000));
    QCOMPARE(rig.terminalLines().mid(0, 2), (QStringList{searching, notFound}));
    // The worker is now in its 3 s pause; closing the window must not wait
    // for it.
    QTest::qWait(200);
    const qint64 took = rig.stop();
    QVERIFY2(took >= 0 && took < 1000, qPrintable(QString::number(took)));
    QCOMPARE(rig.finishedSpy.count(), 1);
    QCOMPARE(rig.terminalLines().count(searching), 1);
}

void DeviceSearch::portChosenWhileTheWorkerSearchesIsUsedByTheNextSearch()
{
    SimPort good;
    QVERIFY(good.ok);
    QTemporaryDir dir;
    const QString missing = dir.path() + "/no-such-port";
    DeviceRig rig;
    rig.device->setPort(missing);
    rig.start();
    QVERIFY(rig.waitForTerminal(notFound, 2000));
    // The worker reads the port at every search; the window may change it at
    // any time.
    rig.device->setPort(good.path);
    QVERIFY(rig.waitForConnection(true, 5000));
    rig.stop();
    QCOMPARE(rig.terminalLines().count(searching), 2);
    QVERIFY(rig.hasTerminal(QStringLiteral("Устройство найдено на %1").arg(good.path)));
}

QTEST_GUILESS_MAIN(DeviceSearch)
#include "tst_devicesearch.moc"
