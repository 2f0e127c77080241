// The whole program against the simulated headset on a pseudo-terminal: the
// window, the worker thread and the link, driven as an operator would.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <qcustomplot.h>

#include "app/mainwindow.h"
#include "headset.h"
#include "testwindow.h"

namespace
{

QByteArray hex(const std::vector<uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()))
        .toHex(' ')
        .toUpper();
}

} // namespace

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
    bool connected()
    {
        return action("actionStart")->isEnabled() || action("actionStop")->isEnabled();
    }

private slots:
    void initTestCase()
    {
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
