// Writing a capture to EDF+: what lands in the file, byte for byte, and how
// failures of the disk are reported.

#include "app/recording.h"
#include "edf/edf.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace
{

constexpr int headerBytes = 256 * 14; // 12 channels + the annotation signal + fixed part
constexpr int annotationBytes = 120;

// Values for channel c (0-based): one fresh vector per channel so a test can
// give them different lengths.
struct Capture {
    std::array<QVector<double>, recordingChannelCount> values;

    RecordingChannels view() const
    {
        RecordingChannels channels;
        for (int c = 0; c < recordingChannelCount; ++c)
            channels[c] = RecordingChannel::fromVector(values[c]);
        return channels;
    }
};

// A physical value that the -5..5 / -32768..32767 mapping stores as exactly
// `digital` (0..32767): it lands a quarter step above the code, so truncation
// cannot go either way.
double physicalFor(int digital)
{
    return (digital + 0.75) * 10.0 / 65535.0;
}

// Channel c, point i: a code that tells channel and point apart.
int patternCode(int channel, qint64 point)
{
    return channel * 2000 + static_cast<int>(point % 2000);
}

Capture patternCapture(qint64 points)
{
    Capture capture;
    for (int c = 0; c < recordingChannelCount; ++c) {
        capture.values[c].resize(points);
        for (qint64 i = 0; i < points; ++i)
            capture.values[c][i] = physicalFor(patternCode(c, i));
    }
    return capture;
}

struct EdfFile {
    QByteArray bytes;

    QByteArray field(int offset, int width) const { return bytes.mid(offset, width); }
    // A field of the signal part: `width` bytes per signal, the field's array
    // starting at `arrayOffset` from the end of the fixed part.
    QByteArray signalField(int arrayOffset, int width, int signal) const
    {
        return bytes.mid(256 + arrayOffset * 13 + signal * width, width);
    }
    int recordBytes(int rate) const { return recordingChannelCount * rate * 2 + annotationBytes; }
    qint16 sample(int rate, int record, int channel, int i) const
    {
        const int at = headerBytes + record * recordBytes(rate) + (channel * rate + i) * 2;
        const auto lo = static_cast<quint8>(bytes[at]);
        const auto hi = static_cast<quint8>(bytes[at + 1]);
        return static_cast<qint16>(static_cast<quint16>(lo | (hi << 8)));
    }
};

EdfFile readEdf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return {file.readAll()};
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString pathOf(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void writesWholeSecondsAndDropsTheRemainder()
    {
        const Capture capture = patternCapture(2750);
        const QString path = pathOf("example.edf");
        const RecordingResult result =
            saveRecordingEdf(QFile::encodeName(path), capture.view(), 500.0);
        QVERIFY(result.ok());
        QCOMPARE(result.rate, 500);
        QCOMPARE(result.records, qint64(5));

        const EdfFile edf = readEdf(path);
        QCOMPARE(edf.bytes.size(), headerBytes + 5 * (12 * 1000 + 120));
        QCOMPARE(edf.field(0, 8), QByteArray("0       "));
        QCOMPARE(edf.field(184, 8), QByteArray("3584    "));
        QVERIFY(edf.field(192, 44).startsWith("EDF+C "));
        QCOMPARE(edf.field(236, 8), QByteArray("5       "));
        QCOMPARE(edf.field(244, 8), QByteArray("1       "));
        QCOMPARE(edf.field(252, 4), QByteArray("13  "));
        QVERIFY(edf.field(8, 80).startsWith("X X X X "));
        QVERIFY(edf.field(88, 80).startsWith("Startdate "));
        for (int c = 0; c < recordingChannelCount; ++c) {
            QCOMPARE(edf.signalField(0, 16, c),
                     QString("chan. %1").arg(c + 1).leftJustified(16).toLatin1());
            QCOMPARE(edf.signalField(96, 8, c), QByteArray("mV      "));
            QCOMPARE(edf.signalField(104, 8, c), QByteArray("-5      "));
            QCOMPARE(edf.signalField(112, 8, c), QByteArray("5       "));
            QCOMPARE(edf.signalField(120, 8, c), QByteArray("-32768  "));
            QCOMPARE(edf.signalField(128, 8, c), QByteArray("32767   "));
            QCOMPARE(edf.signalField(216, 8, c), QByteArray("500     "));
        }
        QCOMPARE(edf.signalField(0, 16, 12), QByteArray("EDF Annotations "));

        // Record r holds second r of every channel, channels in order.
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < recordingChannelCount; ++c)
                for (int i : {0, 1, 250, 499})
                    QCOMPARE(int(edf.sample(500, r, c, i)), patternCode(c, r * 500 + i));
    }

    void roundsTheRateHalvesAwayFromZero()
    {
        QCOMPARE(recordingSamplesPerRecord(125.5), 126);
        QCOMPARE(recordingSamplesPerRecord(500.5), 501);
        QCOMPARE(recordingSamplesPerRecord(909.091), 909);
        QCOMPARE(recordingSamplesPerRecord(125.499), 125);

        const Capture capture = patternCapture(2 * 126 + 125);
        const QString path = pathOf("rate.edf");
        const RecordingResult result =
            saveRecordingEdf(QFile::encodeName(path), capture.view(), 125.5);
        QVERIFY(result.ok());
        QCOMPARE(result.records, qint64(2));
        const EdfFile edf = readEdf(path);
        for (int c = 0; c < recordingChannelCount; ++c)
            QCOMPARE(edf.signalField(216, 8, c), QByteArray("126     "));
        QCOMPARE(edf.field(236, 8), QByteArray("2       "));
        QCOMPARE(int(edf.sample(126, 1, 11, 125)), patternCode(11, 126 + 125));
    }

    void limitsValuesToTheDigitalRange()
    {
        const QVector<double> physical{5.0, -5.0, 0.0, 12.0, -12.0, 4.9999};
        const QVector<int> stored{32767, -32768, 0, 32767, -32768, 32766};
        Capture capture;
        for (auto& channel : capture.values)
            for (int i = 0; i < 125; ++i)
                channel.append(physical[i % physical.size()]);
        const QString path = pathOf("limits.edf");
        QVERIFY(saveRecordingEdf(QFile::encodeName(path), capture.view(), 125.0).ok());
        const EdfFile edf = readEdf(path);
        for (int c = 0; c < recordingChannelCount; ++c)
            for (int i = 0; i < physical.size(); ++i)
                QCOMPARE(int(edf.sample(125, 0, c, i)), stored[i]);
    }

    void readsValuesInPlaceWithAStride()
    {
        // A graph keeps (key, value) pairs; only the values are saved.
        struct Point {
            double key;
            double value;
        };
        QVector<Point> points(250);
        for (int i = 0; i < points.size(); ++i)
            points[i] = {1000.0 + i, physicalFor(i)};
        RecordingChannels channels;
        for (auto& channel : channels)
            channel = {&points[0].value, points.size(), sizeof(Point)};
        const QString path = pathOf("stride.edf");
        QVERIFY(saveRecordingEdf(QFile::encodeName(path), channels, 125.0).ok());
        const EdfFile edf = readEdf(path);
        QCOMPARE(int(edf.sample(125, 1, 5, 124)), 249);
    }

    void shorterChannelsLimitTheSecondsWritten_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("points");
        QTest::addColumn<int>("records");
        QTest::newRow("channel 7 holds 2.4 s") << 6 << 1200 << 2;
        QTest::newRow("channel 12 holds nothing") << 11 << 0 << 0;
        QTest::newRow("channel 1 holds 1 s") << 0 << 500 << 1;
    }

    void shorterChannelsLimitTheSecondsWritten()
    {
        QFETCH(int, channel);
        QFETCH(int, points);
        QFETCH(int, records);
        Capture capture = patternCapture(2750);
        capture.values[channel].resize(points);
        capture.values[channel].squeeze(); // nothing readable past the end
        const QString path = pathOf("short.edf");
        const RecordingResult result =
            saveRecordingEdf(QFile::encodeName(path), capture.view(), 500.0);
        if (records > 0) {
            QVERIFY(result.ok());
        } else { // the file module says that no record reached the file
            QCOMPARE(result.error, RecordingError::Close);
            QCOMPARE(result.code, int(EDF_CLOSE_NO_RECORDS));
        }
        QCOMPARE(result.records, qint64(records));
        const EdfFile edf = readEdf(path);
        QCOMPARE(edf.bytes.size(), headerBytes + records * (12 * 1000 + 120));
        QCOMPARE(edf.field(236, 8), QByteArray::number(records).leftJustified(8));
    }

    void lessThanASecondWritesTheHeaderAlone()
    {
        const Capture capture = patternCapture(499);
        const QString path = pathOf("header-only.edf");
        const RecordingResult result =
            saveRecordingEdf(QFile::encodeName(path), capture.view(), 500.0);
        // No record: the close says so, since readers refuse a file of a header alone.
        QCOMPARE(result.error, RecordingError::Close);
        QCOMPARE(result.code, int(EDF_CLOSE_NO_RECORDS));
        QCOMPARE(result.records, qint64(0));
        const EdfFile edf = readEdf(path);
        QCOMPARE(edf.bytes.size(), headerBytes);
        QCOMPARE(edf.field(236, 8), QByteArray("0       "));
    }

    void reportsAFileThatCannotBeCreated()
    {
        const Capture capture = patternCapture(1000);
        const QString path = pathOf("no-such-dir/rec.edf");
        const RecordingResult result =
            saveRecordingEdf(QFile::encodeName(path), capture.view(), 500.0);
        QCOMPARE(result.error, RecordingError::Open);
        QVERIFY(result.code < 0);
        QVERIFY(!QFile::exists(path));
    }

    void reportsAFullDiskAsFailure_data()
    {
        QTest::addColumn<int>("points");
        QTest::newRow("while writing records") << 5000;
        QTest::newRow("while closing a header-only file") << 10;
    }

    void reportsAFullDiskAsFailure()
    {
        QFETCH(int, points);
        if (!QFile::exists("/dev/full"))
            QSKIP("no /dev/full here");
        const Capture capture = patternCapture(points);
        const RecordingResult result = saveRecordingEdf("/dev/full", capture.view(), 500.0);
        QVERIFY(!result.ok());
        QVERIFY(result.code != 0);
        QCOMPARE(result.records, qint64(0));
    }

    void keepsTheCompletedRecordsWhenTheDiskFillsUp()
    {
        // Let the file grow to 2.5 records only: the third record's write
        // fails, the first two stay, and the count is patched to 2.
        const int recordBytes = 12 * 1000 + 120;
        const rlim_t limit = headerBytes + 2 * recordBytes + recordBytes / 2;
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < limit)
            QSKIP("file size limit already below the test's");
        auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = limit;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);

        const Capture capture = patternCapture(5 * 500);
        const QString path = pathOf("filled.edf");
        const RecordingResult result =
            saveRecordingEdf(QFile::encodeName(path), capture.view(), 500.0);

        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!result.ok());
        QCOMPARE(result.records, qint64(2));
        const EdfFile edf = readEdf(path);
        QVERIFY(edf.bytes.size() >= headerBytes + 2 * recordBytes);
        QCOMPARE(edf.field(236, 8), QByteArray("2       "));
        QCOMPARE(int(edf.sample(500, 1, 11, 499)), patternCode(11, 999));
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "tst_recording.moc"
