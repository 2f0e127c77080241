// The icon bundle and the Windows application icon: every path the code uses
// resolves to an image of its size, stored the way the program expects.

#include "resources.h"

#include <QFile>
#include <QImage>
#include <QResource>
#include <QtEndian>
#include <QtTest>

namespace
{

struct PngHeader {
    bool valid = false;
    quint32 width = 0, height = 0;
    int depth = 0, colourType = 0;
};

PngHeader pngHeader(const QByteArray& data)
{
    PngHeader h;
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (data.size() < 33 || !data.startsWith(QByteArray(signature, 8)) || data.mid(12, 4) != "IHDR")
        return h;
    const auto* p = reinterpret_cast<const uchar*>(data.constData()) + 16;
    h.width = qFromBigEndian<quint32>(p);
    h.height = qFromBigEndian<quint32>(p + 4);
    h.depth = p[8];
    h.colourType = p[9];
    h.valid = true;
    return h;
}

} // namespace

class ResourcesTest : public QObject
{
    Q_OBJECT
private slots:
    void everyIconResolvesToAnImageOfItsSize_data();
    void everyIconResolvesToAnImageOfItsSize();
    void applicationIconHoldsSixImagesFrom16To512();
    void explicitRegistrationIsHarmlessWhenRepeated();
};

void ResourcesTest::everyIconResolvesToAnImageOfItsSize_data()
{
    QTest::addColumn<int>("size");
    const QPair<const char*, int> icons[] = {
        {":/pic/start.png", 24},     {":/pic/stop.png", 24},     {":/pic/about.png", 24},
        {":/pic/clear.png", 24},     {":/pic/zoom.png", 24},     {":/pic/open.png", 30},
        {":/pic/save.png", 30},      {":/pic/spectrum.png", 24}, {":/pic/statistics.png", 24},
        {":/pic/send-data.png", 24}, {":/pic/factor.png", 24},   {":/pic/settings.png", 24},
        {":/pic/terminal.png", 24},  {":/pic/send.png", 30},     {":/pic/cpu.png", 30},
        {":/pic/legend.png", 24},    {":/pic/chip.png", 30},
    };
    for (const auto& icon : icons)
        QTest::newRow(icon.first) << icon.second;
}

void ResourcesTest::everyIconResolvesToAnImageOfItsSize()
{
    QFETCH(int, size);
    const QString path = QString::fromLatin1(QTest::currentDataTag());
    const QImage image(path);
    QVERIFY2(!image.isNull(), "missing or unreadable");
    QCOMPARE(image.size(), QSize(size, size));
    QVERIFY(image.hasAlphaChannel());

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const PngHeader h = pngHeader(file.readAll());
    QVERIFY2(h.valid, "not a PNG file");
    QCOMPARE(h.depth, 8);
    QCOMPARE(h.colourType, 6); // RGBA

    // Stored as is, so the bundle can hand out the bytes without inflating.
    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);
}

void ResourcesTest::applicationIconHoldsSixImagesFrom16To512()
{
    QFile file(QStringLiteral(NEURASK_SOURCE_DIR "/ui/neurask.ico"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray ico = file.readAll();
    const auto* p = reinterpret_cast<const uchar*>(ico.constData());
    QVERIFY(ico.size() > 6);
    QCOMPARE(qFromLittleEndian<quint16>(p), quint16(0));
    QCOMPARE(qFromLittleEndian<quint16>(p + 2), quint16(1)); // an icon, not a cursor
    const int count = qFromLittleEndian<quint16>(p + 4);
    QCOMPARE(count, 6);
    QVERIFY(ico.size() >= 6 + 16 * count);

    QList<int> sizes;
    for (int i = 0; i < count; ++i) {
        const uchar* entry = p + 6 + 16 * i;
        const quint32 length = qFromLittleEndian<quint32>(entry + 8);
        const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
        QVERIFY(quint64(offset) + length <= quint64(ico.size()));
        const QByteArray image = ico.mid(int(offset), int(length));
        const int listed = entry[0] == 0 ? 256 : entry[0];
        const PngHeader png = pngHeader(image);
        if (png.valid) {
            // The large images are PNG; the directory says 0 (256 or more).
            QCOMPARE(png.width, png.height);
            QVERIFY(png.width >= 256);
            QCOMPARE(entry[0], uchar(0));
            QCOMPARE(png.depth, 8);
            QCOMPARE(png.colourType, 6);
            sizes << int(png.width);
        } else {
            // The small ones are 32-bit bitmaps: colour rows and the AND mask,
            // the header counting both in its height.
            const auto* bmp = reinterpret_cast<const uchar*>(image.constData());
            QCOMPARE(qFromLittleEndian<quint32>(bmp), quint32(40));
            const qint32 width = qFromLittleEndian<qint32>(bmp + 4);
            QCOMPARE(width, listed);
            QCOMPARE(qFromLittleEndian<qint32>(bmp + 8), 2 * width);
            QCOMPARE(qFromLittleEndian<quint16>(bmp + 14), quint16(32));
            const int maskStride = (width + 31) / 32 * 4;
            QCOMPARE(int(length), 40 + width * width * 4 + maskStride * width);
            sizes << width;
        }
    }
    QCOMPARE(sizes, QList<int>({512, 256, 128, 48, 32, 16}));
}

void ResourcesTest::explicitRegistrationIsHarmlessWhenRepeated()
{
    neuraskInitResources();
    neuraskInitResources();
    QCOMPARE(QImage(QStringLiteral(":/pic/start.png")).size(), QSize(24, 24));
}

QTEST_MAIN(ResourcesTest)
#include "tst_resources.moc"
