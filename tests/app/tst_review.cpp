// Open and review of recording files through the window: a file's signals,
// markers at the annotations' onsets, paging and the spectrum of the block at
// the left edge; a file converted by an independent writer; every failure
// named in words with the plots kept as they were; and the way back to live.
#include "app/analysiswindow.h"
#include "app/filedialog.h"
#include "app/livecapture.h"
#include "app/mainwindow.h"
#include "app/review.h"
#include "display/eventmarkers.h"
#include "edf/edf.h"
#include "windowfixture.h"

#include <QAction>
#include <QComboBox>
#include <QListView>
#include <QProcess>
#include <QTabWidget>
#include <QtTest>
#include <qcustomplot.h>

#include <cmath>
#include <memory>

namespace
{

constexpr int seconds = 30;

// Two signals: a 10 Hz sine at 200 samples/s in µV, a ramp at 50 samples/s in
// mV; two annotations, at 1.5 s (lasting 0.5 s) and at 12.25 s.
bool writeRecording(const QString& path)
{
    const int h =
        edf_open_for_writing(QFile::encodeName(path).constData(), EDF_FILETYPE_EDFPLUS, 2);
    if (h < 0)
        return false;
    const int rates[] = {200, 50};
    for (int s = 0; s < 2; ++s) {
        edf_set_samples_per_record(h, s, rates[s]);
        edf_set_physical_minimum(h, s, s == 0 ? -200 : -1);
        edf_set_physical_maximum(h, s, s == 0 ? 200 : 1);
        edf_set_digital_minimum(h, s, -32768);
        edf_set_digital_maximum(h, s, 32767);
        edf_set_label(h, s, s == 0 ? "EEG Fp1" : "Resp");
        edf_set_physical_dimension(h, s, s == 0 ? "uV" : "mV");
    }
    edf_set_startdatetime(h, 2026, 12, 8, 5, 6, 7);
    std::vector<double> v(200);
    for (int r = 0; r < seconds; ++r)
        for (int s = 0; s < 2; ++s) {
            for (int i = 0; i < rates[s]; ++i)
                v[std::size_t(i)] = s == 0 ? 150 * std::sin(2 * M_PI * 10 * (r + i / 200.0))
                                           : (r * 50 + i) / 1500.0 - 0.5;
            if (edfwrite_physical_samples(h, v.data()) != 0)
                return false;
        }
    edfwrite_annotation_utf8(h, 12250000, -1, "Вспышка");
    edfwrite_annotation_utf8(h, 1500000, 500000, "Звук 1000 Гц");
    return edf_close(h) == 0;
}

struct DialogAnswer {
    explicit DialogAnswer(FileDialog::Chooser& hook, const QString& path) : hook(hook)
    {
        hook = [this, path](QWidget*, const QString&, const QString&, const QString& f) {
            filter = f;
            return path;
        };
    }
    ~DialogAnswer() { hook = nullptr; }
    FileDialog::Chooser& hook;
    QString filter;
};

} // namespace

class TestReview : public QObject
{
    Q_OBJECT

    QTemporaryDir settingsDir;
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    QString recording;

    QAction* action(const char* name) { return window->findChild<QAction*>(name); }
    QCustomPlot* plotTime() { return window->findChild<QCustomPlot*>("plotTime"); }

    // A live capture of 700 samples on every channel, through the sample slot.
    void fillLive()
    {
        QVector<structSample> batch(70);
        for (int b = 0; b < 10; ++b) {
            for (int k = 0; k < batch.size(); ++k)
                for (int c = 0; c < 12; ++c)
                    batch[k].value[c] = (b * 70 + k) * 1e-6 * (c + 1);
            QVERIFY(QMetaObject::invokeMethod(window.get(), "deviceDataTime",
                                              Q_ARG(QVector<structSample>, batch)));
        }
        QCOMPARE(window->captureStore().sampleCount(), qint64(700));
    }

    void verifyLiveUnchanged()
    {
        QVERIFY(!window->isReviewing());
        const CaptureStore& store = window->captureStore();
        QCOMPARE(store.channelCount(), 12);
        QCOMPARE(store.sampleCount(11), qint64(700));
        QVERIFY(qAbs(store.value(11, 699) - 699e-6 * 12) < 1e-6);
        QCOMPARE(window->windowTitle(), QString("Neurask v0.4"));
    }

    bool open(const QString& path)
    {
        DialogAnswer dialog(FileDialog::openHook, path);
        action("actionOpen")->trigger();
        if (dialog.filter !=
            "EDF/BDF файлы (*.edf *.bdf);;EDF файлы (*.edf);;BDF файлы (*.bdf);;Все файлы (*)")
            return false;
        QElapsedTimer timer;
        timer.start();
        while (window->isOpeningRecording() && timer.elapsed() < 20000)
            QTest::qWait(10);
        return !window->isOpeningRecording();
    }

private slots:
    void initTestCase()
    {
        // Captures here are thrown away without asking.
        MainWindow::unsavedHook = [] { return MainWindow::UnsavedAnswer::Discard; };
        QVERIFY(useTemporarySettings(settingsDir));
        useFakePorts();
        recording = dir.filePath("rec.edf");
        QVERIFY(writeRecording(recording));
    }
    void init()
    {
        window = std::make_unique<MainWindow>();
        window->resize(1000, 700);
    }
    void cleanup() { window.reset(); }

    void aFileIsShownWithItsSignalsMarkersAndSpectra()
    {
        fillLive();
        QVERIFY(open(recording));
        QVERIFY(window->isReviewing());
        const CaptureStore& store = window->captureStore();
        QCOMPARE(store.channelCount(), 2);
        QCOMPARE(store.channel(0).label, QString("EEG Fp1"));
        QCOMPARE(store.channel(1).unit, QString("mV"));
        QCOMPARE(store.sampleCount(0), qint64(seconds * 200));
        QCOMPARE(store.sampleCount(1), qint64(seconds * 50));
        QVERIFY(qAbs(store.value(0, 5) - 150 * std::sin(2 * M_PI * 10 * 5 / 200.0)) < 0.01);
        QVERIFY(qAbs(store.value(1, 1499) - (1499 / 1500.0 - 0.5)) < 1e-4);
        QVERIFY(window->windowTitle().contains("rec.edf — 08.12.2026 05:06:07, 00:00:30"));

        // Live batches that still arrive do not mix into the file.
        QVERIFY(QMetaObject::invokeMethod(window.get(), "deviceDataTime",
                                          Q_ARG(QVector<structSample>, QVector<structSample>(64))));
        QCOMPARE(store.channelCount(), 2);

        // The first page shows the first marker only, where its onset is.
        QCPAxis* time = plotTime()->xAxis;
        QCOMPARE(time->range().lower, 0.0);
        QCOMPARE(time->range().upper, 10.0);
        plotTime()->replot();
        const EventMarkers* markers = window->eventMarkers();
        QCOMPARE(markers->drawn(), QVector<int>{0});
        QCOMPARE(markers->markers()[0].onset, 1.5);
        QCOMPARE(markers->markers()[0].duration, 0.5);
        QCOMPARE(markers->markers()[0].text, QString("Звук 1000 Гц"));

        // A double click in the list brings the second into view, near the left.
        auto* list = window->findChild<QListView*>("listViewAnnotations");
        QCOMPARE(list->model()->rowCount(), 2);
        QVERIFY(list->model()->index(1, 0).data().toString().contains("00:00:12.250  Вспышка"));
        QVERIFY(QMetaObject::invokeMethod(list, "doubleClicked",
                                          Q_ARG(QModelIndex, list->model()->index(1, 0))));
        QVERIFY(qAbs(time->range().lower - 11.25) < 1e-9);
        plotTime()->replot();
        QCOMPARE(markers->drawn(), QVector<int>{1});

        action("actionFileEnd")->trigger();
        QCOMPARE(time->range().upper, double(seconds));
        action("actionFileHome")->trigger();
        QCOMPARE(time->range().lower, 0.0);

        // The spectrum of the block at the left edge: the 10 Hz line stands out.
        QTRY_VERIFY(window->findChild<QCustomPlot*>("plotFreq")->graph(0)->dataCount() > 0);
        const auto spectrum = window->findChild<QCustomPlot*>("plotFreq")->graph(0)->data();
        const int count = window->findChild<QComboBox*>("comboBoxFFTcount")->currentText().toInt();
        QCOMPARE(spectrum->size(), count / 2);
        auto peak = spectrum->constBegin();
        for (auto it = spectrum->constBegin(); it != spectrum->constEnd(); ++it)
            if (it->value > peak->value)
                peak = it;
        QVERIFY2(qAbs(peak->key - 10) <= 200.0 / count, qPrintable(QString::number(peak->key)));
    }

    void theAnalysisOfAFileReportsItsLightTrains()
    {
        // 40 s at 250 samples/s: 10 Hz alpha and noise, and from 20 s to 30 s, while the light
        // flashes at 6 Hz, a 6 Hz response; the annotation gives the train and its length.
        const QString path = dir.filePath("photic.edf");
        const int h =
            edf_open_for_writing(QFile::encodeName(path).constData(), EDF_FILETYPE_EDFPLUS, 1);
        QVERIFY(h >= 0);
        edf_set_samples_per_record(h, 0, 250);
        edf_set_physical_minimum(h, 0, -500);
        edf_set_physical_maximum(h, 0, 500);
        edf_set_digital_minimum(h, 0, -32768);
        edf_set_digital_maximum(h, 0, 32767);
        edf_set_label(h, 0, "EEG O1");
        edf_set_physical_dimension(h, 0, "uV");
        std::vector<double> v(250);
        quint32 state = 1;
        for (int r = 0; r < 40; ++r) {
            for (int i = 0; i < 250; ++i) {
                const double t = r + i / 250.0;
                state = state * 1664525u + 1013904223u;
                v[std::size_t(i)] = 20 * std::sin(2 * M_PI * 10 * t) + (state >> 24) / 12.8 - 10 +
                                    (t >= 20 && t < 30 ? 10 * std::sin(2 * M_PI * 6 * t) : 0);
            }
            QCOMPARE(edfwrite_physical_samples(h, v.data()), 0);
        }
        edfwrite_annotation_utf8(h, 20000000, 10000000, "Фотостимуляция 6 Гц"); // microseconds
        QCOMPARE(edf_close(h), 0);

        QVERIFY(open(path));
        action("actionAnalysisFourier")->trigger();
        auto* dialog = window->findChild<AnalysisWindow*>();
        QTRY_VERIFY_WITH_TIMEOUT(dialog->result() != nullptr, 10000);
        const AnalysisResult& result = *dialog->result();
        QCOMPARE(result.channels[0].label, QString("EEG O1"));
        QVERIFY(std::fabs(result.channels[0].peakAlpha - 10) < 0.25);
        QCOMPARE(result.photic.size(), 1);
        QCOMPARE(result.photic[0].train.frequency, 6.0);
        QVERIFY(result.photic[0].channels[0].drivenDb > 6);
        QVERIFY(dialog->findChild<QTabWidget*>("tabWidgetAnalysis")->isTabEnabled(3));
        dialog->reject();
    }

    void moreSignalsThanTheHeadsetHasAreAllDrawn()
    {
        const QString path = dir.filePath("many.edf");
        const int h = edf_open_for_writing_with_params(QFile::encodeName(path).constData(),
                                                       EDF_FILETYPE_EDFPLUS, 20, 100, 100, "uV");
        QVERIFY(h >= 0);
        std::vector<double> v(100);
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 20; ++s) {
                std::fill(v.begin(), v.end(), s);
                QCOMPARE(edfwrite_physical_samples(h, v.data()), 0);
            }
        QCOMPARE(edf_close(h), 0);
        QVERIFY(open(path));
        QVERIFY(window->isReviewing());
        plotTime()->replot();
        QVERIFY(plotTime()->graphCount() >= 20);
        for (int s = 0; s < 20; ++s)
            QVERIFY2(plotTime()->graph(s)->dataCount() > 0, qPrintable(QString::number(s)));
    }

    void filesConvertedByBiosigOpenWithTheSamplesWritten()
    {
        const QString save2gdf = QStandardPaths::findExecutable("save2gdf");
        if (save2gdf.isEmpty())
            QSKIP("save2gdf (biosig-tools) not installed");
        for (const char* format : {"BDF", "EDF"}) {
            const QString converted = dir.filePath(QString("biosig.") + format);
            QCOMPARE(QProcess::execute(save2gdf, {QString("-f=") + format, recording, converted}),
                     0);
            QVERIFY2(open(converted), format);
            QVERIFY2(window->isReviewing(), format);
            const CaptureStore& store = window->captureStore();
            QCOMPARE(store.channelCount(), 2);
            QCOMPARE(store.sampleCount(0), qint64(seconds * 200));
            QCOMPARE(store.channel(0).samplesPerSecond, 200.0);
            for (qint64 i = 0; i < store.sampleCount(0); i += 7)
                QVERIFY2(qAbs(store.value(0, i) - 150 * std::sin(2 * M_PI * 10 * i / 200.0)) < 0.02,
                         qPrintable(QString::number(i)));
            for (qint64 i = 0; i < store.sampleCount(1); i += 7)
                QVERIFY(qAbs(store.value(1, i) - (i / 1500.0 - 0.5)) < 1e-4);
        }
    }

    void everyFailureIsNamedAndThePlotsKeepWhatTheyHeld_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("words");
        QTest::newRow("missing") << "missing.edf"
                                 << "нет доступа";
        QTest::newRow("shorter than a header") << "short.edf"
                                               << "файл повреждён";
        QTest::newRow("a damaged header") << "damaged.edf"
                                          << "файл повреждён";
        QTest::newRow("discontinuous") << "gaps.edf"
                                       << "формат не поддерживается";
        QTest::newRow("already open") << "rec.edf"
                                      << "уже открыт";
        QTest::newRow("too many files") << "rec.edf"
                                        << "слишком много";
    }

    void everyFailureIsNamedAndThePlotsKeepWhatTheyHeld()
    {
        QFETCH(QString, name);
        QFETCH(QString, words);
        QFile source(recording);
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray bytes = source.readAll();
        const QString path = dir.filePath(name);
        auto write = [&](const QByteArray& content) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        };
        if (name == "short.edf")
            write(bytes.left(200));
        if (name == "damaged.edf")
            write(QByteArray(bytes).replace(236, 8, "-1      ")); // the record count
        if (name == "gaps.edf")
            write(QByteArray(bytes).replace(192, 5, "EDF+D"));
        std::vector<int> held;
        std::unique_ptr<edf_header_info> hdr(new edf_header_info);
        if (QByteArray(QTest::currentDataTag()) == "already open") {
            QCOMPARE(edf_open_for_reading(QFile::encodeName(path).constData(), hdr.get(), 0), 0);
            held.push_back(hdr->handle);
        }
        if (QByteArray(QTest::currentDataTag()) == "too many files")
            for (int i = 0; i < EDF_MAX_FILES; ++i)
                held.push_back(edf_open_for_writing(
                    QFile::encodeName(dir.filePath(QString("w%1.edf").arg(i))).constData(),
                    EDF_FILETYPE_EDFPLUS, 1));

        fillLive();
        MessageBoxAnswerer boxes;
        QVERIFY(open(path));
        QTRY_COMPARE(boxes.boxes.size(), 1);
        for (int h : held)
            edf_close(h);
        QCOMPARE(boxes.boxes[0].title, QString("Открытие файла"));
        const QString text = boxes.boxes[0].text;
        QVERIFY2(text.startsWith("Ошибка открытия файла!\n" + name + ": ") && text.contains(words),
                 qPrintable(text));
        QCOMPARE(boxes.boxes[0].icon, QMessageBox::Critical);
        verifyLiveUnchanged();
        QVERIFY(action("actionOpen")->isEnabled());
        QVERIFY(action("actionSave")->isEnabled());
    }

    // A capture started while a file is read is asked about before the file
    // replaces it (the answer given before the Open was about another one).
    void aCaptureStartedWhileAFileIsReadIsAskedAbout()
    {
        int asked = 0;
        auto answer = MainWindow::UnsavedAnswer::Cancel;
        MainWindow::unsavedHook = [&] {
            ++asked;
            return answer;
        };
        auto* live = window->findChild<LiveCapture*>();
        for (auto given : {MainWindow::UnsavedAnswer::Cancel, MainWindow::UnsavedAnswer::Discard}) {
            answer = given;
            window->openRecording(recording);
            // A fresh capture (at another rate than the last) before the
            // read's end is delivered.
            live->captureStarted(given == MainWindow::UnsavedAnswer::Cancel ? 16000 : 8000);
            fillLive();
            QTRY_VERIFY(!window->isOpeningRecording());
            QCOMPARE(asked, given == MainWindow::UnsavedAnswer::Cancel ? 1 : 2);
            QCOMPARE(window->isReviewing(), given == MainWindow::UnsavedAnswer::Discard);
            if (!window->isReviewing()) // the capture kept, every sample
                QCOMPARE(window->captureStore().sampleCount(), qint64(700));
        }
        MainWindow::unsavedHook = [] { return MainWindow::UnsavedAnswer::Discard; };
    }

    // The link's return is an event of the live capture only, shown as the
    // device's own events are; never one of a file under review.
    void theLinksReturnBelongsToTheLiveCapture()
    {
        auto link = [&](bool up) {
            QVERIFY(QMetaObject::invokeMethod(window.get(), "deviceConnection", Q_ARG(bool, up)));
        };
        fillLive();
        link(false);
        link(true);
        const QVector<EventMarker>& shown = window->eventMarkers()->markers();
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QString("Связь восстановлена"));
        QCOMPARE(window->captureStore().events().size(), 1);
        QCOMPARE(window->captureStore().events()[0].sample, quint64(700));

        QVERIFY(open(recording));
        link(true); // a return while the file is shown, from a loss before it
        link(false);
        link(true);
        QCOMPARE(window->captureStore().events().size(), 2); // the file's two
        link(false);
        action("actionCloseFile")->trigger();
        link(true);
        QVERIFY(window->captureStore().events().isEmpty());
    }

    void startAsksToCloseTheFileAndGoesBackToLive()
    {
        QVERIFY(QMetaObject::invokeMethod(window.get(), "deviceConnection", Q_ARG(bool, true)));
        QVERIFY(open(recording));
        QVERIFY(window->isReviewing());
        QVERIFY(action("actionStart")->isEnabled());
        QVERIFY(!action("actionStop")->isEnabled());
        QVERIFY(!action("actionClear")->isEnabled());
        QVERIFY(!window->findChild<QWidget*>("horizontalSliderCaptureAdc")->isEnabled());
        QVERIFY(window->findChild<QWidget*>("comboBoxFFTcount")->isEnabled());
        QVERIFY(action("actionCloseFile")->isEnabled());

        {
            MessageBoxAnswerer boxes;
            action("actionStart")->trigger();
            QCOMPARE(boxes.boxes.size(), 1);
            QCOMPARE(boxes.boxes[0].title, QString("Закрыть файл"));
        }
        QVERIFY(!window->isReviewing());
        QCOMPARE(window->captureStore().channelCount(), 12);
        QCOMPARE(window->captureStore().sampleCount(), qint64(0));
        QCOMPARE(window->windowTitle(), QString("Neurask v0.4"));
        QVERIFY(window->eventMarkers()->markers().isEmpty());
        QVERIFY(!action("actionStart")->isEnabled()); // the capture is on its way
        QVERIFY(window->findChild<QWidget*>("lineEditCmd")->isEnabled());

        // The close action goes back without asking, with the live controls.
        QVERIFY(QMetaObject::invokeMethod(window.get(), "setCapture", Q_ARG(bool, false)));
        QVERIFY(open(recording));
        QVERIFY(window->isReviewing());
        action("actionCloseFile")->trigger();
        QVERIFY(!window->isReviewing());
        QVERIFY(!action("actionCloseFile")->isEnabled());
        QVERIFY(action("actionStart")->isEnabled());
        QVERIFY(action("actionClear")->isEnabled());
        QVERIFY(window->findChild<QWidget*>("horizontalSliderCaptureAdc")->isEnabled());
        fillLive(); // live batches are taken again
    }
};

QTEST_MAIN(TestReview)
#include "tst_review.moc"
