// File > Save and File > Open from the window: the dialogs asked, the file
// written from the signal plot, and the boxes shown when something fails.

#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "windowfixture.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QFile>
#include <QtTest>

namespace
{

struct DialogCall {
    QWidget* parent = nullptr;
    QString caption;
    QString dir;
    QString filter;
    int count = 0;
};

// Answers the save or open dialog with `answer` and remembers how it was asked.
class DialogStub
{
public:
    DialogStub(FileDialog::Chooser& hook, QString answer) : hook(hook)
    {
        hook = [this, answer](QWidget* parent, const QString& caption, const QString& dir,
                              const QString& filter) {
            call = {parent, caption, dir, filter, call.count + 1};
            return answer;
        };
    }
    ~DialogStub() { hook = nullptr; }
    DialogCall call;

private:
    FileDialog::Chooser& hook;
};

// `points` samples of the capture through the window's sample slot, in
// batches as the device sends them, channel c (0-based) holding values(c, i).
template <typename Values> void fillSignalPlot(MainWindow& window, int points, Values values)
{
    for (int first = 0; first < points; first += 64) {
        QVector<structSample> batch(std::min(64, points - first));
        for (int k = 0; k < batch.size(); ++k) {
            batch[k].time = (first + k + 1) * 0.002;
            for (int c = 0; c < 12; ++c)
                batch[k].value[c] = values(c, first + k);
        }
        QVERIFY(QMetaObject::invokeMethod(&window, "deviceDataTime", Qt::DirectConnection,
                                          Q_ARG(QVector<structSample>, batch)));
    }
    QCOMPARE(window.captureStore().sampleCount(), qint64(points));
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint16 sampleAt(const QByteArray& edf, int rate, int record, int channel, int i)
{
    const int at = 3584 + record * (12 * rate * 2 + 120) + (channel * rate + i) * 2;
    return static_cast<qint16>(static_cast<quint8>(edf[at]) |
                               (static_cast<quint8>(edf[at + 1]) << 8));
}

} // namespace

class TestSave : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    void trigger(const char* action) { window->findChild<QAction*>(action)->trigger(); }

private slots:
    void initTestCase()
    {
        QVERIFY(useTemporarySettings(settingsDir));
        QVERIFY(dir.isValid());
        useFakePorts();
    }

    void init() { window = std::make_unique<MainWindow>(); }
    void cleanup() { window.reset(); }

    void savesTheSignalPlotAsOneSecondRecords()
    {
        // Channel c's value i is stored as digital code c * 1000 + i % 1000.
        fillSignalPlot(*window, 2750,
                       [](int c, int i) { return (c * 1000 + i % 1000 + 0.75) * 10.0 / 65535.0; });
        const QString path = dir.filePath("capture"); // used as given: no suffix added
        DialogStub dialog(FileDialog::saveHook, path);
        MessageBoxAnswerer boxes;
        trigger("actionSave");

        QCOMPARE(dialog.call.count, 1);
        QCOMPARE(dialog.call.parent, window.get());
        QCOMPARE(dialog.call.caption, QString("Сохранить"));
        QCOMPARE(dialog.call.dir, QString());
        QCOMPARE(dialog.call.filter, QString("EDF файл (*.edf)"));
        QVERIFY(boxes.boxes.isEmpty());

        const QByteArray edf = fileBytes(path);
        QCOMPARE(edf.size(), 3584 + 5 * (12 * 1000 + 120));
        QCOMPARE(edf.mid(184, 8), QByteArray("3584    "));
        QCOMPARE(edf.mid(236, 8), QByteArray("5       "));
        QCOMPARE(edf.mid(256 + 216 * 13, 8), QByteArray("500     "));
        for (int r : {0, 4})
            for (int c : {0, 6, 11})
                for (int i : {0, 499})
                    QCOMPARE(int(sampleAt(edf, 500, r, c, i)), c * 1000 + (r * 500 + i) % 1000);
        // The capture is kept.
        QCOMPARE(window->captureStore().sampleCount(11), qint64(2750));
    }

    void savesAtTheShownRateRoundedHalvesAwayFromZero()
    {
        auto* freq = window->findChild<QDoubleSpinBox*>("doubleSpinBoxCaptureFreq");
        freq->setValue(125.5);
        QCOMPARE(freq->value(), 125.5);
        fillSignalPlot(*window, 2 * 126, [](int, int) { return 0.0; });
        const QString path = dir.filePath("rate.edf");
        DialogStub dialog(FileDialog::saveHook, path);
        trigger("actionSave");
        const QByteArray edf = fileBytes(path);
        QCOMPARE(edf.mid(256 + 216 * 13, 8), QByteArray("126     "));
        QCOMPARE(edf.mid(236, 8), QByteArray("2       "));
    }

    // The capture holds what the headset can send: its full scale reaches
    // the file as given, and values beyond it are limited to it (the file's own
    // range, -5..5, lies beyond the headset's).
    void storesTheEndsOfTheHeadsetsRangeAndLimitsBeyond()
    {
        const double full = countMaximum * voltsPerCount;
        const double physical[] = {full, -full - voltsPerCount, 0.0, 12.0, -12.0, 5.0};
        fillSignalPlot(*window, 500, [&](int, int i) { return physical[i % 6]; });
        const QString path = dir.filePath("range.edf");
        DialogStub dialog(FileDialog::saveHook, path);
        trigger("actionSave");
        const QByteArray edf = fileBytes(path);
        for (int c = 0; c < 12; ++c) {
            const int top = sampleAt(edf, 500, 0, c, 0), bottom = sampleAt(edf, 500, 0, c, 1);
            QVERIFY2(top > 26900 && top < 27000, qPrintable(QString::number(top))); // 4.11 of 5
            QVERIFY2(bottom < -26900 && bottom > -27000, qPrintable(QString::number(bottom)));
            QCOMPARE(int(sampleAt(edf, 500, 0, c, 2)), 0);
            QCOMPARE(int(sampleAt(edf, 500, 0, c, 3)), top);
            QCOMPARE(int(sampleAt(edf, 500, 0, c, 4)), bottom);
            QCOMPARE(int(sampleAt(edf, 500, 0, c, 5)), top);
        }
    }

    void cancellingEitherDialogDoesNothing()
    {
        fillSignalPlot(*window, 1000, [](int, int) { return 1.0; });
        const QStringList filesBefore = QDir(dir.path()).entryList(QDir::Files);
        MessageBoxAnswerer boxes;
        {
            DialogStub dialog(FileDialog::saveHook, QString());
            trigger("actionSave");
            QCOMPARE(dialog.call.count, 1);
        }
        {
            DialogStub dialog(FileDialog::openHook, QString());
            trigger("actionOpen");
            QCOMPARE(dialog.call.count, 1);
        }
        QTest::qWait(50);
        QVERIFY(boxes.boxes.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), filesBefore);
    }

    void aPathThatCannotBeCreatedShowsTheOpenError()
    {
        fillSignalPlot(*window, 1000, [](int, int) { return 1.0; });
        const QString path = dir.filePath("no-such-folder/rec.edf");
        DialogStub dialog(FileDialog::saveHook, path);
        MessageBoxAnswerer boxes;
        trigger("actionSave");
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].title, QString("Ошибка"));
        QCOMPARE(boxes.boxes[0].text, QString("Ошибка открытия файла!"));
        QCOMPARE(boxes.boxes[0].icon, QMessageBox::Information);
        QVERIFY(boxes.boxes[0].hasParent);
        QVERIFY(!QFile::exists(path));
    }

    void aFullDiskIsReportedNotShownAsSuccess_data()
    {
        QTest::addColumn<int>("points");
        QTest::addColumn<QString>("text");
        QTest::newRow("records fail") << 3000 << "edfwrite_physical_samples!";
        // Less than a second: only the header is written, at the close.
        QTest::newRow("the close fails") << 10 << "edf_close!";
    }

    void aFullDiskIsReportedNotShownAsSuccess()
    {
        QFETCH(int, points);
        QFETCH(QString, text);
        if (!QFile::exists("/dev/full"))
            QSKIP("no /dev/full here");
        fillSignalPlot(*window, points, [](int, int) { return 1.0; });
        DialogStub dialog(FileDialog::saveHook, "/dev/full");
        MessageBoxAnswerer boxes;
        trigger("actionSave");
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].title, QString("Ошибка"));
        QCOMPARE(boxes.boxes[0].text, text);
    }

    void aSavedCaptureOpensAndSavesAgainRecordForRecord()
    {
        fillSignalPlot(*window, 1100, [](int c, int i) { return c * 0.1 + i * 1e-6; });
        const QString first = dir.filePath("first.edf"), again = dir.filePath("again.edf");
        {
            DialogStub dialog(FileDialog::saveHook, first);
            trigger("actionSave");
        }
        {
            DialogStub dialog(FileDialog::openHook, first);
            trigger("actionOpen");
            QCOMPARE(dialog.call.parent, window.get());
            QCOMPARE(dialog.call.caption, QString("Открыть"));
            QCOMPARE(dialog.call.dir, QString());
            QTRY_VERIFY(window->isReviewing());
        }
        const CaptureStore& store = window->captureStore();
        QCOMPARE(store.channelCount(), 12);
        QCOMPARE(store.sampleCount(11), qint64(1000)); // the two whole seconds saved
        QCOMPARE(store.channel(3).samplesPerSecond, 500.0);
        QVERIFY(qAbs(store.value(11, 999) - (1.1 + 999e-6)) < 10.0 / 65535);
        {
            MessageBoxAnswerer boxes;
            DialogStub dialog(FileDialog::saveHook, again);
            trigger("actionSave");
            QTest::qWait(50);
            QVERIFY(boxes.boxes.isEmpty());
        }
        // The same records. The writer truncates physical values toward zero,
        // so a value read back may land one step lower; never further.
        const QByteArray a = fileBytes(first), b = fileBytes(again);
        QCOMPARE(b.size(), a.size());
        for (int c = 0; c < 12; ++c)
            for (int i = 0; i < 500; ++i)
                for (int r = 0; r < 2; ++r)
                    QVERIFY2(qAbs(sampleAt(a, 500, r, c, i) - sampleAt(b, 500, r, c, i)) <= 1,
                             qPrintable(QString("channel %1 sample %2").arg(c).arg(i)));
    }
};

QTEST_MAIN(TestSave)
#include "tst_save.moc"
