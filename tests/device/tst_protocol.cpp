// Frame boundaries, data half-frame decoding and the wireless identification
// scan, driven over plain byte buffers.
#include <QtTest>
#include <random>

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

// Takes frames out of `pieces` fed one after the other, the way the exchange
// does: whatever is complete at the head, one at a time, skipping bytes that
// cannot start a frame.
QList<QByteArray> framesFrom(const QList<QByteArray>& pieces)
{
    QList<QByteArray> frames;
    QByteArray buffer;
    bool resyncing = false;
    for (const QByteArray& piece : pieces) {
        buffer += piece;
        for (;;) {
            const ScanResult head = scanFrame(buffer.constData(), buffer.size(), resyncing);
            resyncing = resyncing || head.skip > 0;
            if (head.status == Scan::NeedMore) {
                buffer.remove(0, head.skip);
                break;
            }
            frames << buffer.mid(head.skip, head.length);
            buffer.remove(0, head.skip + head.length);
            resyncing = false;
        }
    }
    // The line falls quiet: a data frame at the end is judged on what is there.
    for (;;) {
        const ScanResult head = scanFrame(buffer.constData(), buffer.size(), resyncing, true);
        if (head.status == Scan::NeedMore)
            break;
        frames << buffer.mid(head.skip, head.length);
        buffer.remove(0, head.skip + head.length);
        resyncing = false;
    }
    return frames;
}

QList<QByteArray> framesWhenSplitAt(const QByteArray& stream, int cut)
{
    return framesFrom({stream.left(cut), stream.mid(cut)});
}

} // namespace

class Protocol : public QObject
{
    Q_OBJECT
private slots:
    void framesSurviveASplitAtEveryBytePosition();
    void bytesThatStartNoFrameAreSkippedOneAtATime();
    void lineNoiseCostsOnlyTheFramesItTouches();
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
    void identificationIsWiredOrWirelessWhateverTheSplit();
    void dataBytesNeitherHideNorFakeTheIdentification();
};

void Protocol::framesSurviveASplitAtEveryBytePosition()
{
    const QList<QByteArray> sent = {
        bytes("032100"), dataFrame(0, 7, {1, -1, 0x7FFFFF, 2, 3, 4}),
        bytes("0353FF"), dataFrame(1, 7, {5, 6, 7, 8, 9, -8388608}),
        bytes("0223"),
    };
    QByteArray stream;
    for (const QByteArray& f : sent)
        stream += f;
    for (int cut = 0; cut <= stream.size(); ++cut)
        QCOMPARE(framesWhenSplitAt(stream, cut), sent);
}

void Protocol::bytesThatStartNoFrameAreSkippedOneAtATime()
{
    // Zero and one length bytes, an unknown type, a "D" frame of the wrong
    // length and one with half 7: none is a frame, and none costs the frames
    // around it.
    const QByteArray good = dataFrame(1, 3, {1, 2, 3, 4, 5, 6});
    QByteArray badHalf = good;
    badHalf[2] = 7;
    const QByteArray noise =
        bytes("0001") + bytes("0558010203") + bytes("0A4400000012345678") + badHalf;
    const QByteArray stream = bytes("0223") + noise + good + bytes("032100") + noise;
    for (int cut = 0; cut <= stream.size(); ++cut)
        QCOMPARE(framesWhenSplitAt(stream, cut),
                 (QList<QByteArray>{bytes("0223"), good, bytes("032100")}));
    const ScanResult r = scanFrame(noise.constData(), noise.size());
    QCOMPARE(r.status, Scan::NeedMore);
    QVERIFY(r.skip >= noise.size() - 1); // the last byte may begin a frame still to come
}

void Protocol::lineNoiseCostsOnlyTheFramesItTouches()
{
    // A stream of sample pairs with one byte inserted, left out or flipped at
    // random places, read in random chunks: on average no more than the two
    // frames a damaged byte touches are lost, and no frame is made up.
    std::mt19937 random(7);
    int faults = 0;
    int lost = 0;
    int invented = 0;
    for (int round = 0; round < 200; ++round) {
        QList<QByteArray> sent;
        QByteArray stream;
        for (int i = 0; i < 40; ++i) {
            for (int half = 0; half < 2; ++half) {
                QVector<qint32> counts;
                for (int k = 0; k < valuesPerHalf; ++k)
                    counts << qint32(random() % 20001) - 10000; // +-5 mV
                sent << dataFrame(half, quint16(round * 40 + i), counts);
                stream += sent.last();
            }
        }
        QByteArray damaged = stream;
        for (int f = 0; f < 3; ++f) {
            const int at = int(random() % quint32(damaged.size()));
            switch (random() % 3) {
            case 0:
                damaged.insert(at, char(random()));
                break;
            case 1:
                damaged.remove(at, 1);
                break;
            default:
                damaged[at] = char(damaged[at] ^ (1 << (random() % 8)));
            }
            ++faults;
        }
        QList<QByteArray> pieces;
        for (int at = 0; at < damaged.size();) {
            const int n = 1 + int(random() % 100);
            pieces << damaged.mid(at, n);
            at += n;
        }
        const QList<QByteArray> got = framesFrom(pieces);
        for (const QByteArray& f : sent)
            lost += got.contains(f) ? 0 : 1;
        for (const QByteArray& f : got)
            invented += sent.contains(f) ? 0 : 1;
    }
    QVERIFY2(lost <= 2 * faults,
             qPrintable(QStringLiteral("%1 lost for %2").arg(lost).arg(faults)));
    // A damaged frame may still pass as one (there is no checksum), but only
    // about one per fault.
    QVERIFY2(invented <= faults, qPrintable(QString::number(invented)));
}

void Protocol::incompleteFrameWaitsForMoreBytes()
{
    QCOMPARE(scanFrame(nullptr, 0).status, Scan::NeedMore);
    const QByteArray f = dataFrame(0, 0, {});
    for (int n = 1; n < f.size(); ++n) {
        const ScanResult r = scanFrame(f.constData(), n);
        QCOMPARE(r.status, Scan::NeedMore);
        QCOMPARE(r.skip, 0);
    }
    // A whole data frame waits for the head of the next frame, or for a pause.
    QCOMPARE(scanFrame(f.constData(), f.size()).status, Scan::NeedMore);
    // A byte or two behind it are more to come (or its own last byte, moved
    // by one inserted into it): it waits, even at a pause.
    const QByteArray next = f + bytes("1744");
    QCOMPARE(scanFrame(next.constData(), next.size()).status, Scan::NeedMore);
    QCOMPARE(scanFrame(next.constData(), next.size(), false, true).status, Scan::NeedMore);
    const ScanResult whole = scanFrame(f.constData(), f.size(), false, true);
    QCOMPARE(whole.status, Scan::Frame);
    QCOMPARE(whole.length, dataFrameSize);
    // A length byte of 255 starts no frame the headset sends; it cannot hold
    // up the stream behind it.
    QByteArray big = QByteArray(1, char(0xFF)) + f + f.left(3);
    const ScanResult r = scanFrame(big.constData(), big.size());
    QCOMPARE(r.status, Scan::Frame);
    QCOMPARE(r.skip, 1);
}

void Protocol::missingTypeAndStatusBytesReadAsZero()
{
    QCOMPARE(frameType("\x01", 1), '\0');
    QCOMPARE(frameStatus("\x02!", 2), uint8_t(0));
    QCOMPARE(frameStatus("\x03!\x05", 3), uint8_t(5));
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

void Protocol::identificationIsWiredOrWirelessWhateverTheSplit()
{
    // The receiver's own reply, a keep-alive reply, then the headset's
    // identification relayed by the receiver and the start of a data frame;
    // and the same without the receiver, as a wired headset answers.
    const QByteArray receiver = QByteArray("\x0B?VolmaRecv", 11);
    const QByteArray headset = QByteArray("\x10?VolmaHeadsetRF", 16);
    const QByteArray after = bytes("1744");
    const struct {
        QByteArray stream;
        Identified kind;
        int end;
    } cases[] = {
        {receiver + bytes("0253") + headset + after, Identified::Wireless, 11 + 2 + 16},
        {bytes("00") + headset + after, Identified::Wired, 1 + 16},
    };
    for (const auto& c : cases) {
        for (int cut = 0; cut <= c.stream.size(); ++cut) {
            // Only what has arrived is judged; the rest never changes the verdict.
            const IdentifyResult early = scanIdentification(c.stream.constData(), cut);
            QVERIFY(early.kind == Identified::NotYet || early.kind == c.kind);
            const IdentifyResult all = scanIdentification(c.stream.constData(), c.stream.size());
            QCOMPARE(int(all.kind), int(c.kind));
            QCOMPARE(all.end, c.end);
        }
    }
    // The receiver alone, and a port that chats in text, identify nothing.
    const QByteArray receiverOnly = receiver + bytes("0253");
    QCOMPARE(int(scanIdentification(receiverOnly.constData(), receiverOnly.size()).kind),
             int(Identified::NotYet));
    QVERIFY(scanIdentification(receiverOnly.constData(), receiverOnly.size()).receiverAnswered);
    const QByteArray text("$GPGGA,123519,4807.038,N*47\r\n?VolmaHeadsetRF\r\n");
    QCOMPARE(int(scanIdentification(text.constData(), text.size()).kind), int(Identified::NotYet));
}

void Protocol::dataBytesNeitherHideNorFakeTheIdentification()
{
    // A headset still streaming when the probe comes: its data frames carry
    // sample bytes that look like a "?" frame (a receiver's answer, one that
    // would swallow the real answer, and the answer itself), in either half.
    const QByteArray headset = QByteArray("\x10?VolmaHeadsetRF", 16);
    QByteArray fake = dataFrame(0, 9, {});
    fake.replace(5, 2, bytes("0B3F")); // a "?" frame of 11 bytes
    QByteArray swallow = dataFrame(1, 9, {});
    swallow.replace(20, 2, bytes("403F")); // a "?" frame of 64 bytes over the answer
    QByteArray posing = dataFrame(0, 10, {});
    posing.replace(6, 16, headset);
    const QByteArray streaming = fake + swallow + posing + dataFrame(1, 10, {});
    const QByteArray wired = streaming + headset + dataFrame(0, 11, {}).left(3);
    for (int cut = 0; cut <= wired.size(); ++cut) {
        const IdentifyResult id = scanIdentification(wired.constData(), cut);
        QVERIFY2(id.kind == (cut >= streaming.size() + headset.size() ? Identified::Wired
                                                                      : Identified::NotYet),
                 qPrintable(QString::number(cut)));
        if (id.kind == Identified::Wired)
            QCOMPARE(id.end, streaming.size() + headset.size());
    }
}

QTEST_GUILESS_MAIN(Protocol)
#include "tst_protocol.moc"
