// The list of ports the automatic search tries.
#include <QDir>
#include <QSerialPortInfo>
#include <QtTest>

#include "device/ports.h"

class Ports : public QObject
{
    Q_OBJECT
private slots:
    void extraPortsFollowTheSystemPortsInTheirOrder();
    void injectedListReplacesTheSystemsUntilRestored();
};

void Ports::extraPortsFollowTheSystemPortsInTheirOrder()
{
    QStringList system;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        system << info.portName();
    const QChar sep = QDir::listSeparator();
    qputenv("NEURASK_EXTRA_PORTS", QString("/tmp/b%1/tmp/a%1%1/dev/pts/7").arg(sep).toLocal8Bit());
    const QStringList extra = {"/tmp/b", "/tmp/a", "/dev/pts/7"};
    QCOMPARE(serialPortNames(), system + extra);
    qunsetenv("NEURASK_EXTRA_PORTS");
    QCOMPARE(serialPortNames(), system);
}

void Ports::injectedListReplacesTheSystemsUntilRestored()
{
    qputenv("NEURASK_EXTRA_PORTS", "/tmp/extra");
    setSerialPortSource([] { return QStringList{"/tmp/only"}; });
    QCOMPARE(serialPortNames(), QStringList{"/tmp/only"});
    setSerialPortSource({});
    QCOMPARE(serialPortNames().last(), QStringLiteral("/tmp/extra"));
    qunsetenv("NEURASK_EXTRA_PORTS");
}

QTEST_GUILESS_MAIN(Ports)
#include "tst_ports.moc"
