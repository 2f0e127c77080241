// File > Save and File > Open from the window: the dialogs asked, the file
// written from the signal plot, and the boxes shown when something fails.

#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "edf/edf.h"
#include "windowfixture.h"

#include <QAction>
#include <QDir>
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

    // The dialog offers EDF+ and BDF+; a name without a suffix gets the
    // chosen filter's; the file holds the capture's rate, not the box's.
    void savesTheCaptureInTheChosenFormat()
    {
        fillSignalPlot(*window, 1200, [](int c, int i) { return (c * 1000 + i) * voltsPerCount; });
        window->findChild<QDoubleSpinBox*>("doubleSpinBoxCaptureFreq")->setValue(125.5);
        MessageBoxAnswerer boxes;
        struct Case {
            const char* name;
            const char* filter;
            const char* written;
            int type;
        } cases[] = {
            {"plain", "", "plain.edf", EDF_FILETYPE_EDFPLUS},
            {"chosen", "BDF файл (*.bdf)", "chosen.bdf", EDF_FILETYPE_BDFPLUS},
            {"named.BDF", "", "named.BDF", EDF_FILETYPE_BDFPLUS},
        };
        for (const Case& c : cases) {
            FileDialog::saveHookFilter = c.filter;
            DialogStub dialog(FileDialog::saveHook, dir.filePath(c.name));
            trigger("actionSave");
            FileDialog::saveHookFilter.clear();
            QCOMPARE(dialog.call.parent, window.get());
            QCOMPARE(dialog.call.caption, QString("Сохранить"));
            QCOMPARE(dialog.call.filter, QString("EDF файл (*.edf);;BDF файл (*.bdf)"));
            edf_header_info hdr{};
            const QByteArray path = QFile::encodeName(dir.filePath(c.written));
            QVERIFY2(edf_open_for_reading(path.constData(), &hdr, 0) == 0, c.written);
            QCOMPARE(hdr.filetype, c.type);
            QCOMPARE(hdr.signal_info[0].samples_per_record, 500);
            QCOMPARE(hdr.record_count, int64_t(3)); // the last one completed
            int digital[1200];
            QCOMPARE(edfread_digital_samples(hdr.handle, 11, 1200, digital), 1200);
            if (c.type == EDF_FILETYPE_BDFPLUS)
                QCOMPARE(digital[1199], 11 * 1000 + 1199);
            edf_close(hdr.handle);
        }
        QVERIFY(boxes.boxes.isEmpty());
        QVERIFY(!QFile::exists(dir.filePath("plain")));
        QCOMPARE(window->captureStore().sampleCount(11), qint64(1200)); // the capture is kept
    }

    // Clear, Start and closing the window ask before an unsaved capture goes;
    // a saved one, or one recorded from its start, goes without a word.
    void anUnsavedCaptureIsNotDiscardedSilently()
    {
        int asked = 0;
        MainWindow::UnsavedAnswer answer = MainWindow::UnsavedAnswer::Cancel;
        MainWindow::unsavedHook = [&] {
            ++asked;
            return answer;
        };
        auto unsaved = [&] {
            window->findChild<QAction*>("actionRecord")->setChecked(false);
            fillSignalPlot(*window, 100, [](int, int i) { return i * 1e-6; });
        };
        const qint64 kept = 100;

        unsaved();
        trigger("actionClear");
        QCOMPARE(asked, 1);
        QCOMPARE(window->captureStore().sampleCount(), kept); // cancelled
        QVERIFY(!window->close());
        QCOMPARE(asked, 2);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "deviceConnection", Q_ARG(bool, true)));
        trigger("actionStart");
        QCOMPARE(asked, 3);
        QCOMPARE(window->captureStore().sampleCount(), kept);

        answer = MainWindow::UnsavedAnswer::Save; // but the dialog is cancelled
        {
            DialogStub dialog(FileDialog::saveHook, QString());
            trigger("actionClear");
        }
        QCOMPARE(window->captureStore().sampleCount(), kept);
        {
            DialogStub dialog(FileDialog::saveHook, dir.filePath("kept.bdf"));
            trigger("actionClear");
        }
        QCOMPARE(asked, 5);
        QCOMPARE(window->captureStore().sampleCount(), qint64(0));
        QVERIFY(QFile::exists(dir.filePath("kept.bdf")));

        answer = MainWindow::UnsavedAnswer::Discard;
        unsaved();
        trigger("actionClear");
        QCOMPARE(asked, 6);
        QCOMPARE(window->captureStore().sampleCount(), qint64(0));

        unsaved(); // saved: nothing to ask
        {
            DialogStub dialog(FileDialog::saveHook, dir.filePath("saved.edf"));
            trigger("actionSave");
        }
        trigger("actionClear");
        QCOMPARE(asked, 6);

        // Recording switched on after a capture stopped records nothing of it:
        // it is still asked about.
        unsaved();
        auto* record = window->findChild<QAction*>("actionRecord");
        record->setChecked(true);
        trigger("actionClear");
        QCOMPARE(asked, 7);
        record->setChecked(false);

        // Switched on during a capture, recording takes the capture from its
        // first sample: nothing is asked, and the file holds every sample.
        const QString folder = dir.filePath("recordings");
        QVERIFY(QDir().mkpath(folder));
        FileDialog::folderHook = [folder](QWidget*, const QString&, const QString&) {
            return folder;
        };
        window->findChild<QAction*>("actionRecordFolder")->trigger();
        FileDialog::folderHook = nullptr;
        QVERIFY(QMetaObject::invokeMethod(window.get(), "setCapture", Q_ARG(bool, true)));
        fillSignalPlot(*window, 700, [](int c, int i) { return (c * 100000 + i) * voltsPerCount; });
        record->setChecked(true);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "setCapture", Q_ARG(bool, false)));
        trigger("actionClear");
        QCOMPARE(asked, 7);
        QCOMPARE(window->captureStore().sampleCount(), qint64(0));
        QStringList files;
        QTRY_COMPARE_WITH_TIMEOUT((files = QDir(folder).entryList({"*.bdf"})).size(), 1, 5000);
        edf_header_info hdr{};
        const QByteArray path = QFile::encodeName(QDir(folder).filePath(files[0]));
        int opened = -1; // the engine finishes the file on its own thread
        QTRY_VERIFY_WITH_TIMEOUT(
            (opened = opened == 0 ? 0 : edf_open_for_reading(path.constData(), &hdr, 1)) == 0,
            5000);
        QVERIFY(hdr.signal_info[11].samples_in_file >= 700);
        std::vector<int> counts(700);
        QCOMPARE(edfread_digital_samples(hdr.handle, 11, 700, counts.data()), 700);
        for (int i = 0; i < 700; ++i)
            QCOMPARE(counts[std::size_t(i)], 1100000 + i);
        edf_close(hdr.handle);
        record->setChecked(false);
        MainWindow::unsavedHook = nullptr;
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
        // No samples: only the header is written, at the close.
        QTest::newRow("the close fails") << 0 << "edf_close!";
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

    // A saved capture opens for review and saves again: the same samples,
    // each within the steps of the two files.
    void aSavedCaptureOpensAndSavesAgain()
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
        QCOMPARE(store.sampleCount(11), qint64(1500)); // three records, the last completed
        QCOMPARE(store.channel(3).samplesPerSecond, 500.0);
        QCOMPARE(store.channel(3).unit, QString("uV"));
        // Within half a count of the headset and the file's step.
        QVERIFY(qAbs(store.value(11, 999) - (1.1 + 999e-6) * 1e6) < 0.25 + 0.02);
        {
            MessageBoxAnswerer boxes;
            DialogStub dialog(FileDialog::saveHook, again);
            trigger("actionSave");
            QTest::qWait(50);
            QVERIFY(boxes.boxes.isEmpty());
        }
        edf_header_info a{}, b{};
        QCOMPARE(edf_open_for_reading(QFile::encodeName(first).constData(), &a, 1), 0);
        QCOMPARE(edf_open_for_reading(QFile::encodeName(again).constData(), &b, 1), 0);
        QCOMPARE(b.record_count, a.record_count);
        for (int c = 0; c < 12; ++c) {
            const edf_signal_info &sa = a.signal_info[c], &sb = b.signal_info[c];
            const double steps = (sa.physical_max - sa.physical_min) / 65535 +
                                 (sb.physical_max - sb.physical_min) / 65535;
            std::vector<double> va(1500), vb(1500);
            QCOMPARE(edfread_physical_samples(a.handle, c, 1500, va.data()), 1500);
            QCOMPARE(edfread_physical_samples(b.handle, c, 1500, vb.data()), 1500);
            for (int i = 0; i < 1500; ++i)
                QVERIFY2(qAbs(va[size_t(i)] - vb[size_t(i)]) <= steps,
                         qPrintable(QString("channel %1 sample %2").arg(c).arg(i)));
        }
        edf_close(a.handle);
        edf_close(b.handle);
    }
};

QTEST_MAIN(TestSave)
#include "tst_save.moc"
