// Frame boundaries, data half-frame decoding and the wireless identification
// scan, driven over plain byte buffers.
#include <QtTest>

#include "device/protocol.h"

using namespace protocol;

namespace
{

QByteArray bytes(const char* hexDigits)
{
    return QByteArray::fromHex(hexDigits);
}

QByteArray dataFrame(int half, quint16 counter, const QVector<qint32>& counts)
{
    QByteArray f(dataFrameSize, '\0');
    f[0] = char(dataFrameSize);
    f[1] = 'D';
    f[2] = char(half);
    f[3] = char(counter & 0xFF);
    f[4] = char(counter >> 8);
    for (int k = 0; k < valuesPerHalf; ++k) {
        const quint32 c = quint32(counts.value(k)) & 0xFFFFFF;
        f[5 + 3 * k] = char(c >> 16);
        f[6 + 3 * k] = char(c >> 8);
        f[7 + 3 * k] = char(c);
    }
    return f;
}

// Feeds `stream` in two pieces split at `cut` and takes frames out the way the
// exchange does: whatever is complete at the head, one at a time, dropping
// bytes that cannot start a frame.
QList<QByteArray> framesWhenSplitAt(const QByteArray& stream, int cut)
{
    QList<QByteArray> frames;
    QByteArray buffer;
    for (const QByteArray& piece : {stream.left(cut), stream.mid(cut)}) {
        buffer += piece;
        for (;;) {
            const ScanResult head = scanFrame(buffer.constData(), buffer.size());
            if (head.status == Scan::NeedMore)
                break;
            if (head.status == Scan::Frame)
                frames << buffer.left(head.length);
            buffer.remove(0, head.length);
        }
    }
    return frames;
}

} // namespace

class Protocol : public QObject
{
    Q_OBJECT
private slots:
    void framesSurviveASplitAtEveryBytePosition();
    void zeroLengthByteIsDroppedAndTheStreamResynchronises();
    void incompleteFrameWaitsForMoreBytes();
    void missingTypeAndStatusBytesReadAsZero();
    void sampleValues_data();
    void sampleValues();
    void halvesCarryOddAndEvenChannelsInOrder();
    void counterIsLittleEndian();
    void malformedDataFramesAreRefused();
    void captureFaultNamesTheAdcsInRisingOrder_data();
    void captureFaultNamesTheAdcsInRisingOrder();
    void hexIsUpperCaseWithoutSeparators();
    void wiredIdentificationNeedsNoScan();
    void wirelessReplyIsFoundWhateverTheSplit();
    void receiversOwnReplyIsDroppedUntilTheHeadsetAnswers();
    void wirelessScanSkipsZeroLengthBytes();
};

void Protocol::framesSurviveASplitAtEveryBytePosition()
{
    const QList<QByteArray> sent = {
        bytes("0221"),   dataFrame(0, 7, {1, -1, 0x7FFFFF, 2, 3, 4}),
        bytes("0353FF"), dataFrame(1, 7, {5, 6, 7, 8, 9, -8388608}),
        bytes("01"),     bytes("0223"),
    };
    QByteArray stream;
    for (const QByteArray& f : sent)
        stream += f;
    for (int cut = 0; cut <= stream.size(); ++cut)
        QCOMPARE(framesWhenSplitAt(stream, cut), sent);
}

void Protocol::zeroLengthByteIsDroppedAndTheStreamResynchronises()
{
    const QByteArray stream = bytes("00000221000223");
    for (int cut = 0; cut <= stream.size(); ++cut)
        QCOMPARE(framesWhenSplitAt(stream, cut), (QList<QByteArray>{bytes("0221"), bytes("0223")}));

    const ScanResult r = scanFrame("\0\2!", 3);
    QCOMPARE(r.status, Scan::Invalid);
    QCOMPARE(r.length, 1);
}

void Protocol::incompleteFrameWaitsForMoreBytes()
{
    QCOMPARE(scanFrame(nullptr, 0).status, Scan::NeedMore);
    const QByteArray f = dataFrame(0, 0, {});
    for (int n = 1; n < f.size(); ++n)
        QCOMPARE(scanFrame(f.constData(), n).status, Scan::NeedMore);
    const ScanResult whole = scanFrame(f.constData(), f.size());
    QCOMPARE(whole.status, Scan::Frame);
    QCOMPARE(whole.length, dataFrameSize);
    // A length byte of 255 is a frame like any other, not a stall.
    QByteArray big(300, 'x');
    big[0] = char(0xFF);
    QCOMPARE(scanFrame(big.constData(), big.size()).length, 255);
}

void Protocol::missingTypeAndStatusBytesReadAsZero()
{
    QCOMPARE(frameType("\x01", 1), '\0');
    QCOMPARE(frameStatus("\x02!", 2), quint8(0));
    QCOMPARE(frameStatus("\x03!\x05", 3), quint8(5));
}

void Protocol::sampleValues_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<double>("volts");
    const double step = 256.0 / 255.0 / 2048.0 / 1000.0;
    QTest::newRow("largest") << bytes("7FFFFF") << 8388607 * step;
    QTest::newRow("smallest") << bytes("800000") << -8388608 * step;
    QTest::newRow("minus one") << bytes("FFFFFF") << -step;
    QTest::newRow("zero") << bytes("000000") << 0.0;
    QTest::newRow("one") << bytes("000001") << step;
}

void Protocol::sampleValues()
{
    QFETCH(QByteArray, raw);
    QFETCH(double, volts);
    const double got = sampleVolts(quint8(raw[0]), quint8(raw[1]), quint8(raw[2]));
    QVERIFY2(qAbs(got - volts) <= 1e-15 + 1e-12 * qAbs(volts),
             qPrintable(QString::number(got, 'g', 17)));
    if (raw == bytes("7FFFFF"))
        QVERIFY(qAbs(got - 4.112) < 0.001);
    if (raw == bytes("FFFFFF"))
        QVERIFY(qAbs(got + 0.49e-6) < 0.01e-6);
}

void Protocol::halvesCarryOddAndEvenChannelsInOrder()
{
    double value[12] = {};
    for (int half = 0; half < 2; ++half) {
        QVector<qint32> counts;
        for (int k = 0; k < valuesPerHalf; ++k)
            counts << (half + 2 * k + 1) * 1000; // channel number times 1000
        DataHalf decoded{};
        QCOMPARE(decodeDataFrame(dataFrame(half, 0, counts).constData(), dataFrameSize, decoded),
                 DataError::None);
        QCOMPARE(decoded.half, half);
        for (int k = 0; k < valuesPerHalf; ++k)
            value[channelIndex(half, k)] = decoded.volts[k];
    }
    for (int c = 0; c < 12; ++c)
        QCOMPARE(value[c], sampleVolts(0, quint8((c + 1) * 1000 >> 8), quint8((c + 1) * 1000)));
}

void Protocol::counterIsLittleEndian()
{
    DataHalf decoded{};
    decodeDataFrame(dataFrame(1, 0xABCD, {}).constData(), dataFrameSize, decoded);
    QCOMPARE(decoded.counter, quint16(0xABCD));
}

void Protocol::malformedDataFramesAreRefused()
{
    DataHalf decoded{};
    const QByteArray good = dataFrame(1, 3, {1, 2, 3, 4, 5, 6});
    for (int n = 0; n < dataFrameSize; ++n)
        QCOMPARE(decodeDataFrame(good.constData(), n, decoded), DataError::TooShort);
    QByteArray badHalf = good;
    for (int half : {2, 7, 255}) {
        badHalf[2] = char(half);
        QCOMPARE(decodeDataFrame(badHalf.constData(), badHalf.size(), decoded), DataError::BadHalf);
    }
    // A longer frame is read at the same offsets; the extra bytes are ignored.
    QCOMPARE(decodeDataFrame((good + "xx").constData(), good.size() + 2, decoded), DataError::None);
}

void Protocol::captureFaultNamesTheAdcsInRisingOrder_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<QString>("text");
    QTest::newRow("1 and 3") << 0x05
                             << QStringLiteral("Ошибка запуска сбора данных! ( АЦП[1] АЦП[3] )");
    QTest::newRow("no ADC bit") << 0x40 << QStringLiteral("Ошибка запуска сбора данных! ( )");
    QTest::newRow("all") << 0xFF
                         << QStringLiteral("Ошибка запуска сбора данных! ( АЦП[1] АЦП[2] АЦП[3] "
                                           "АЦП[4] АЦП[5] АЦП[6] )");
}

void Protocol::captureFaultNamesTheAdcsInRisingOrder()
{
    QFETCH(int, mask);
    QFETCH(QString, text);
    QCOMPARE(captureFaultText(quint8(mask)), text);
}

void Protocol::hexIsUpperCaseWithoutSeparators()
{
    QCOMPARE(hex(bytes("023f00ab")), QStringLiteral("023F00AB"));
    QCOMPARE(hex(QByteArray()), QString());
}

void Protocol::wiredIdentificationNeedsNoScan()
{
    QVERIFY(QByteArray("\x10?VolmaHeadsetRF").contains(identification));
    QCOMPARE(identification.size(), 14);
}

void Protocol::wirelessReplyIsFoundWhateverTheSplit()
{
    // The receiver's own reply, a stray keep-alive reply, then the headset's
    // identification relayed by the receiver and the start of a data frame.
    const QByteArray receiver = QByteArray("\x0B?VolmaRecv", 11);
    const QByteArray headset = QByteArray("\x10?VolmaHeadsetRF", 16);
    const QByteArray stream = receiver + bytes("0253") + headset + bytes("1744");
    for (int cut = 0; cut <= stream.size(); ++cut) {
        QByteArray fed = stream.left(cut);
        QByteArray buffer = fed;
        bool found = scanWirelessReply(buffer);
        if (!found) {
            fed = stream;
            buffer += stream.mid(cut);
            found = scanWirelessReply(buffer);
        }
        QVERIFY2(found, qPrintable(QString::number(cut)));
        // The scan consumed whole frames from the front, up to and including
        // an identification frame, and left the rest for the exchange.
        QVERIFY(fed.endsWith(buffer));
        QVERIFY(buffer.size() <= stream.size() - receiver.size());
    }
}

void Protocol::receiversOwnReplyIsDroppedUntilTheHeadsetAnswers()
{
    QByteArray buffer("\x0B?VolmaRecv", 11);
    QVERIFY(!scanWirelessReply(buffer));
    QVERIFY(buffer.isEmpty());
    buffer = QByteArray("\x10?VolmaHeadsetRF", 16);
    QVERIFY(scanWirelessReply(buffer));
    QVERIFY(buffer.isEmpty());
}

void Protocol::wirelessScanSkipsZeroLengthBytes()
{
    QByteArray buffer = bytes("000000") + QByteArray("\x10?VolmaHeadsetRF", 16);
    QVERIFY(scanWirelessReply(buffer));
    QVERIFY(buffer.isEmpty());
    buffer = bytes("0000");
    QVERIFY(!scanWirelessReply(buffer));
    QVERIFY(buffer.isEmpty());
}

QTEST_GUILESS_MAIN(Protocol)
#include "tst_protocol.moc"
