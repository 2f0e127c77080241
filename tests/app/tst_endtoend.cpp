// The whole program against the simulated headset on a pseudo-terminal: the
// window, the worker thread and the link, driven as an operator would.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <qcustomplot.h>

#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "edf/edf.h"
#include "headset.h"
#include "recorder/recorder.h"
#include "testwindow.h"

class EndToEndTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<sim::Headset> headset;
    std::unique_ptr<MainWindow> window;

    template <typename T> T* child(const char* name)
    {
        T* found = window->findChild<T*>(name);
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    QAction* action(const char* name) { return child<QAction>(name); }
    QCustomPlot* plot(const char* name) { return child<QCustomPlot>(name); }

    // Frames of `type` that the headset received since the last clear, as hex.
    QList<QByteArray> framesOf(uint8_t type)
    {
        QList<QByteArray> frames;
        for (const auto& r : headset->received()) {
            if (r.frame.size() >= 2 && r.frame[1] == type)
                frames << hex(r.frame);
        }
        return frames;
    }
    // Sets the recording folder through its dialog.
    void chooseFolder(const QString& folder)
    {
        FileDialog::folderHook = [folder](QWidget*, const QString&, const QString&) {
            return folder;
        };
        action("actionRecordFolder")->trigger();
        FileDialog::folderHook = nullptr;
        QCOMPARE(window->recordingFolder(), folder);
    }
    QString recordingLabel()
    {
        for (QLabel* label : child<QStatusBar>("statusBar")->findChildren<QLabel*>()) {
            if (label->isVisible() && label->text().startsWith("Запись: "))
                return label->text();
        }
        return {};
    }
    bool connected()
    {
        return action("actionStart")->isEnabled() || action("actionStop")->isEnabled();
    }

private slots:
    void initTestCase()
    {
        // Captures here are thrown away without asking.
        MainWindow::unsavedHook = [] { return MainWindow::UnsavedAnswer::Discard; };
        QVERIFY(dir.isValid());
        sim::Options options;
        options.deterministic = true;
        options.linkPath = (dir.path() + "/headset").toStdString();
        headset.reset(new sim::Headset(options));
        std::string error;
        QVERIFY2(headset->start(&error), error.c_str());
        isolateWindow({QString::fromStdString(headset->portPath())});
        window.reset(new MainWindow);
        window->show();
    }
    void cleanupTestCase()
    {
        window.reset();
        headset.reset();
    }

    void findsTheHeadsetAndEnablesTheControls()
    {
        // The search runs in the worker; the window opens disconnected.
        QVERIFY(!action("actionStart")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 5000);
        QVERIFY(!action("actionStop")->isEnabled());
        QVERIFY(!child<QComboBox>("comboBoxConnectionPort")->isEnabled());
        QVERIFY(child<QLineEdit>("lineEditCmd")->isEnabled());
        QVERIFY(child<QPlainTextEdit>("plainTextEditLog")->toPlainText().contains("023F"));
    }

    void startSendsTheDefaultRateAndSamplesReachEveryGraph()
    {
        // Short spectra, so that several arrive within the test.
        child<QComboBox>("comboBoxFFTcount")->setCurrentText("32");
        headset->clearReceived();
        action("actionStart")->trigger();
        QVERIFY(!action("actionStart")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('!').value(0), QByteArray("04 21 80 3E"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStop")->isEnabled(), 5000);
        QVERIFY(!child<QSlider>("horizontalSliderCaptureAdc")->isEnabled());
        QVERIFY(!child<QDoubleSpinBox>("doubleSpinBoxCapturePeriod")->isEnabled());
        QVERIFY(!child<QDoubleSpinBox>("doubleSpinBoxCaptureFreq")->isEnabled());

        QCustomPlot* time = plot("plotTime");
        const CaptureStore& store = window->captureStore();
        QTRY_VERIFY_WITH_TIMEOUT(store.sampleCount(11) >= 256, 5000);
        const double period = 16000 * 1.25e-7;
        for (int c = 0; c < channelCount; ++c) {
            for (int i : {0, 1, 63, 64, 255}) {
                QVERIFY(qAbs(store.sampleTime(c, i) - (i + 1) * period) < 1e-9);
                double volts = sim::Headset::countsToVolts(
                    sim::Headset::sampleCounts(c + 1, quint64(i), 16000));
                QVERIFY2(qAbs(store.value(c, i) - volts) <= 1e-9 + 1e-9 * qAbs(volts),
                         qPrintable(QString("channel %1 sample %2: %3 vs %4")
                                        .arg(c + 1)
                                        .arg(i)
                                        .arg(store.value(c, i))
                                        .arg(volts)));
            }
        }
        // What is in view is drawn: the newest sample is the graphs' last point.
        QTRY_VERIFY_WITH_TIMEOUT(time->graph(5)->dataCount() > 0, 5000);
        // The time axis follows the newest sample with its width kept.
        QCOMPARE(time->xAxis->range().size(), 2.0);
        QTRY_VERIFY_WITH_TIMEOUT(time->xAxis->range().upper > 0.5, 5000);

        QCustomPlot* freq = plot("plotFreq");
        for (int c = 0; c < channelCount; ++c)
            QTRY_COMPARE_WITH_TIMEOUT(freq->graph(c)->dataCount(), 16, 5000);
        QVERIFY(qAbs(freq->graph(0)->data()->at(1)->key - 500.0 / 32) < 1e-9);
    }

    void stopSendsTheStopFrameAndTheWindowFollows()
    {
        headset->clearReceived();
        action("actionStop")->trigger();
        QVERIFY(!action("actionStop")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('#').value(0), QByteArray("02 23"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 5000);
        QVERIFY(child<QSlider>("horizontalSliderCaptureAdc")->isEnabled());
        // Every sample sent before the stop reached the plot, the last partial
        // batch included.
        QTRY_COMPARE_WITH_TIMEOUT(quint64(window->captureStore().sampleCount()),
                                  headset->pairsSent(), 5000);
    }

    void stimulationSendsWhatTheControlsDescribe()
    {
        child<QDoubleSpinBox>("doubleSpinBoxLightBright")->setValue(5);
        child<QDoubleSpinBox>("doubleSpinBoxLightDuration")->setValue(100);
        child<QDoubleSpinBox>("doubleSpinBoxLightPause")->setValue(100);
        child<QSpinBox>("spinBoxLightCount")->setValue(10);
        child<QSpinBox>("spinBoxLightSeriesPause")->setValue(500);
        child<QSpinBox>("spinBoxLightSeriesCount")->setValue(3);
        child<QDoubleSpinBox>("doubleSpinBoxSoundVolume")->setValue(100);
        child<QDoubleSpinBox>("doubleSpinBoxSoundDuration")->setValue(0.05);
        child<QDoubleSpinBox>("doubleSpinBoxSoundPause")->setValue(0.05);
        child<QSpinBox>("spinBoxSoundCount")->setValue(1);
        child<QDoubleSpinBox>("doubleSpinBoxSoundTone")->setValue(1000);
        child<QSpinBox>("spinBoxSoundSeriesPause")->setValue(1);
        child<QSpinBox>("spinBoxSoundSeriesCount")->setValue(1);
        headset->clearReceived();

        // One pending request at a time: wait for each before the next.
        child<QPushButton>("pushButtonLightStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('F').value(0),
                                  QByteArray("0D 46 0D D0 07 D0 07 0A 00 F4 01 03 00"), 5000);
        child<QPushButton>("pushButtonLightStop")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('G').value(0), QByteArray("02 47"), 5000);
        child<QPushButton>("pushButtonSoundStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('T').value(0),
                                  QByteArray("0F 54 FA 01 00 01 00 01 00 E8 03 01 00 01 00"), 5000);
        child<QPushButton>("pushButtonSoundStop")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('U').value(0), QByteArray("02 55"), 5000);
    }

    void commandLineSendsWhatItHolds()
    {
        auto* line = child<QLineEdit>("lineEditCmd");
        line->setText("?");
        headset->clearReceived();
        child<QPushButton>("pushButtonCmdSend")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('?').size(), 1, 5000);
        QCOMPARE(framesOf('?').value(0), QByteArray("02 3F"));
        QCOMPARE(line->text(), QString("?")); // kept for the next send

        // Enter sends the same; a capture start typed with escapes is sent as is.
        line->setText("!\\80\\3E");
        headset->clearReceived();
        QTest::keyClick(line, Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('!').value(0), QByteArray("04 21 80 3E"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStop")->isEnabled(), 5000);
        action("actionStop")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 5000);
    }

    // A start typed in the terminal begins a fresh capture in the window, at
    // the confirmed rate; with recording on, the file holds every sample and
    // the capture's events at their samples' times: start, a light series, a
    // loss, stop.
    void aStartFromTheTerminalIsRecordedWithItsEvents()
    {
        const QString folder = dir.path() + "/recordings";
        QVERIFY(QDir().mkpath(folder));
        chooseFolder(folder);
        action("actionRecord")->setChecked(true);

        auto* line = child<QLineEdit>("lineEditCmd");
        line->setText("!\\60\\22"); // 8800 ticks: 909.091 Hz
        QTest::keyClick(line, Qt::Key_Return);
        const CaptureStore& store = window->captureStore();
        QTRY_COMPARE_WITH_TIMEOUT(store.period(), quint16(8800), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStop")->isEnabled(), 5000);
        QVERIFY(!action("actionStart")->isEnabled());
        QCOMPARE(child<QSlider>("horizontalSliderCaptureAdc")->value(), 8800);
        QVERIFY(!child<QSlider>("horizontalSliderCaptureAdc")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(store.sampleCount() >= 300, 5000);
        QVERIFY(qAbs(store.sampleTime(0, 0) - 8800 * 1.25e-7) < 1e-12);

        headset->clearReceived();
        child<QPushButton>("pushButtonLightStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('F').size(), 1, 5000);
        QTest::qWait(300);
        child<QPushButton>("pushButtonLightStop")->click();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('G').size(), 1, 5000);
        headset->dropSamplePairs(5);
        QTRY_VERIFY_WITH_TIMEOUT(recordingLabel().contains(".bdf"), 5000);
        // A start the headset refuses (a period below its range) changes
        // nothing: the capture and its recording go on, the refusal noted at
        // its moment.
        const qint64 beforeRefusal = store.sampleCount();
        line->setText("!\\00\\01"); // period 256
        QTest::keyClick(line, Qt::Key_Return);
        // (A loss note may come after it: the link places a loss once the samples after it
        // have confirmed it.)
        auto refusal = [&store]() -> int {
            for (int i = 0; i < store.events().size(); ++i)
                if (store.events()[i].text.startsWith("Отказ запуска"))
                    return i;
            return -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(refusal() >= 0, 5000);
        QVERIFY(store.events()[refusal()].sample >= quint64(beforeRefusal));
        QVERIFY(action("actionStop")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(store.sampleCount() > beforeRefusal + 500, 5000);
        QTest::qWait(1200);
        action("actionStop")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 5000);
        QTest::qWait(300);
        QVERIFY(action("actionRecord")->isChecked());

        const QStringList files = QDir(folder).entryList({"*.bdf"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        const QByteArray path = QFile::encodeName(QDir(folder).filePath(files[0]));
        auto hdr = std::make_unique<edf_header_info>();
        // The engine finishes the file on its own thread.
        int opened = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            (opened = opened == 0 ? 0 : edf_open_for_reading(path.constData(), hdr.get(), 1)) == 0,
            5000);
        const qint64 n = store.sampleCount();
        QVERIFY(hdr->signal_info[0].samples_in_file >= n);
        QCOMPARE(hdr->record_duration, qint64(recordLayout(8800).duration) * 100);
        for (int c : {0, 11}) {
            std::vector<int> counts(static_cast<size_t>(n));
            QCOMPARE(edfread_digital_samples(hdr->handle, c, int(n), counts.data()), int(n));
            for (qint64 i = 0; i < n; ++i)
                QCOMPARE(counts[size_t(i)], store.count(c, i));
        }
        QStringList texts;
        QVector<qint64> onsets;
        for (int i = 0; i < hdr->annotation_count; ++i) {
            edf_annotation_info a{};
            QCOMPARE(edf_get_annotation(hdr->handle, i, &a), 0);
            texts << QString::fromUtf8(a.text);
            onsets << a.onset;
        }
        edf_close(hdr->handle);
        QStringList kinds;
        for (const CaptureEvent& event : store.events()) {
            const qint64 onset = qint64(event.sample * 8800 / 8) * 10; // 100 ns units
            bool found = false;
            for (int i = 0; i < texts.size() && !found; ++i)
                found = onsets[i] == onset && !texts[i].isEmpty() &&
                        event.text.toUtf8().startsWith(texts[i].toUtf8());
            QVERIFY2(found, qPrintable(event.text + " at " + QString::number(onset) + " in " +
                                       texts.join(" | ")));
            kinds << event.text.section(':', 0, 0);
        }
        QVERIFY2(kinds.contains("Свет") && kinds.contains("Потеря отсчётов") &&
                     kinds.contains("Остановка сбора") && store.events().size() >= 5,
                 qPrintable(kinds.join(" | ")));
        action("actionRecord")->setChecked(false);
    }

    // A file that cannot be created stops recording with a message in the
    // status bar and a box; the capture and the plots go on.
    void aRecordingThatCannotBeWrittenStopsAndTheCaptureGoesOn()
    {
        chooseFolder(dir.path() + "/gone");
        action("actionRecord")->setChecked(true);
        QString boxText, statusText;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxText = box->windowTitle() + "|" + box->text();
                statusText = child<QStatusBar>("statusBar")->currentMessage();
                box->done(QMessageBox::Ok);
            }
        });
        poll.start(10);
        action("actionStart")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!boxText.isEmpty(), 5000);
        QVERIFY2(boxText.startsWith("Запись|Запись остановлена"), qPrintable(boxText));
        QVERIFY(!action("actionRecord")->isChecked());
        QVERIFY2(statusText.startsWith("Запись остановлена"), qPrintable(statusText));
        const qint64 before = window->captureStore().sampleCount();
        QTRY_VERIFY_WITH_TIMEOUT(window->captureStore().sampleCount() > before + 200, 5000);
        action("actionStop")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 5000);
    }

    void hangUpDisconnectsAndAReturningHeadsetIsFoundAgain()
    {
        headset->hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!connected(), 5000);
        QVERIFY(child<QComboBox>("comboBoxConnectionPort")->isEnabled());
        QVERIFY(!child<QLineEdit>("lineEditCmd")->isEnabled());
        headset->comeBack();
        QTRY_VERIFY_WITH_TIMEOUT(action("actionStart")->isEnabled(), 8000);
        QVERIFY(child<QLineEdit>("lineEditCmd")->isEnabled());
    }

    void closingTheWindowStopsTheCapture()
    {
        headset->clearReceived();
        window->close();
        QTRY_COMPARE_WITH_TIMEOUT(framesOf('#').value(0), QByteArray("02 23"), 5000);
        QElapsedTimer timer;
        timer.start();
        window.reset(); // ends the worker and waits for it
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
