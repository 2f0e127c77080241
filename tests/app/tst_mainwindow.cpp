// The main window without a headset: its controls, plots, boxes and exits.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>
#include <cmath>
#include <iterator>
#include <memory>
#include <qcustomplot.h>

#include "app/analysiswindow.h"
#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "testwindow.h"

namespace
{

const char* const connectedControls[] = {
    "lineEditCmd",
    "pushButtonCmdSend",
    "doubleSpinBoxCapturePeriod",
    "doubleSpinBoxCaptureFreq",
    "horizontalSliderCaptureAdc",
    "comboBoxFFTcount",
    "comboBoxFFTwindow",
    "doubleSpinBoxLightBright",
    "doubleSpinBoxLightDuration",
    "doubleSpinBoxLightPause",
    "spinBoxLightCount",
    "spinBoxLightSeriesPause",
    "spinBoxLightSeriesCount",
    "pushButtonLightStart",
    "pushButtonLightStop",
    "doubleSpinBoxSoundVolume",
    "doubleSpinBoxSoundDuration",
    "doubleSpinBoxSoundPause",
    "spinBoxSoundCount",
    "spinBoxSoundSeriesPause",
    "spinBoxSoundSeriesCount",
    "doubleSpinBoxSoundTone",
    "pushButtonSoundStart",
    "pushButtonSoundStop",
};

structSample sampleAt(double time, double volts)
{
    structSample s{};
    s.time = time;
    for (int c = 0; c < channelCount; ++c)
        s.value[c] = volts * (c + 1);
    return s;
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> window;
    QString store;

    template <typename T> T* child(const char* name)
    {
        T* found = window->findChild<T*>(name);
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    QAction* action(const char* name) { return child<QAction>(name); }
    QCustomPlot* plotTime() { return child<QCustomPlot>("plotTime"); }
    QCustomPlot* plotFreq() { return child<QCustomPlot>("plotFreq"); }
    QCheckBox* autoscale() { return child<QCheckBox>("checkBoxSpectrumScale"); }

    void call(const char* slot, QGenericArgument a = {}, QGenericArgument b = {},
              QGenericArgument c = {})
    {
        QVERIFY(QMetaObject::invokeMethod(window.get(), slot, Qt::DirectConnection, a, b, c));
    }
    void sendSamples(const QVector<structSample>& batch)
    {
        call("deviceDataTime", Q_ARG(QVector<structSample>, batch));
    }
    void sendSpectrum(int channel, const QVector<double>& f, const QVector<double>& a)
    {
        call("deviceDataFFT", Q_ARG(int, channel), Q_ARG(QVector<double>, f),
             Q_ARG(QVector<double>, a));
    }
    // Batches of 500 Hz samples: 20 uV at 10 Hz on every channel.
    void sendAlpha(int batches, int perBatch)
    {
        for (int b = 0; b < batches; ++b) {
            QVector<structSample> batch;
            for (int i = 0; i < perBatch; ++i) {
                const double t = (b * perBatch + i + 1) * 0.002;
                structSample s = sampleAt(t, 0);
                for (int c = 0; c < channelCount; ++c)
                    s.value[c] = 20e-6 * std::sin(2 * M_PI * 10 * t + c);
                batch << s;
            }
            sendSamples(batch);
        }
    }
    int storedPoints(QCustomPlot* plot)
    {
        int n = 0;
        for (int i = 0; i < plot->graphCount(); ++i)
            n += plot->graph(i)->dataCount();
        return n;
    }

private slots:
    void initTestCase()
    {
        // Captures here are thrown away without asking.
        MainWindow::unsavedHook = [] { return MainWindow::UnsavedAnswer::Discard; };
        // No ports at all: the worker searches an empty list and pauses.
        store = isolateWindow({});
    }
    void init()
    {
        window.reset(new MainWindow);
        window->show();
    }
    void cleanup() { window.reset(); }

    void slotsAreDeclaredInTheirFixedOrder()
    {
        const char* expected[] = {
            "deviceInfo(QString)",
            "terminal(QString)",
            "deviceConnection(bool)",
            "on_comboBoxConnectionPort_currentIndexChanged(QString)",
            "setCapture(bool)",
            "deviceDataTime(QVector<structSample>)",
            "deviceDataFFT(int,QVector<double>,QVector<double>)",
            "plotUpdate()",
            "setSpeed(uint,uint)",
            "setSkipSamples(qulonglong)",
            "mouseMovePlotTime(QMouseEvent*)",
            "mouseMovePlotFreq(QMouseEvent*)",
            "mouseDoubleClickTime(QMouseEvent*)",
            "mouseDoubleClickFreq(QMouseEvent*)",
            "plotWheel(QCustomPlot*,QWheelEvent*)",
            "mouseWheelTime(QWheelEvent*)",
            "mouseWheelFreq(QWheelEvent*)",
            "on_pushButtonCmdSend_clicked()",
            "on_actionAbout_triggered()",
            "on_actionStart_triggered()",
            "on_actionStop_triggered()",
            "on_actionClear_triggered()",
            "on_actionZoom_triggered()",
            "on_comboBoxFFTcount_currentIndexChanged(QString)",
            "on_checkBoxSpectrumLegend_toggled(bool)",
            "on_comboBoxSpectrumScaleX_currentIndexChanged(int)",
            "on_comboBoxSpectrumScaleY_currentIndexChanged(int)",
            "on_comboBoxFFTwindow_currentIndexChanged(int)",
            "on_checkBoxSpectrumScale_toggled(bool)",
            "on_checkBoxSpectrumLegend_stateChanged(int)",
            "on_pushButtonLightStart_clicked()",
            "on_pushButtonLightStop_clicked()",
            "on_pushButtonSoundStart_clicked()",
            "on_pushButtonSoundStop_clicked()",
            "on_horizontalSliderCaptureAdc_valueChanged(int)",
            "on_doubleSpinBoxCapturePeriod_valueChanged(double)",
            "on_doubleSpinBoxCaptureFreq_valueChanged(double)",
            "on_actionSave_triggered()",
            "on_actionOpen_triggered()",
            "on_actionExit_triggered()",
            "on_actionAnalysisFourier_triggered()",
            "on_actionAnalysisStatistics_triggered()",
            "on_actionAnalysisSendVARN_triggered()",
            "on_actionViewLanes_toggled(bool)",
            "on_comboBoxViewSensitivity_currentIndexChanged(int)",
            "on_comboBoxViewWindow_currentIndexChanged(int)",
            "on_comboBoxViewHighPass_currentIndexChanged(int)",
            "on_comboBoxViewLowPass_currentIndexChanged(int)",
            "on_comboBoxViewNotch_currentIndexChanged(int)",
        };
        const int slotCount = int(std::size(expected));
        // The window's one signal comes first, then the slots.
        const QMetaObject* meta = window->metaObject();
        QCOMPARE(meta->methodCount() - meta->methodOffset(), 1 + slotCount);
        const QMetaMethod announce = meta->method(meta->methodOffset());
        QCOMPARE(announce.methodSignature(), QByteArray("viewSettingsChanged(structViewSettings)"));
        QCOMPARE(announce.methodType(), QMetaMethod::Signal);
        for (int i = 0; i < slotCount; ++i) {
            QMetaMethod m = meta->method(meta->methodOffset() + 1 + i);
            QCOMPARE(m.methodSignature(), QByteArray(expected[i]));
            QCOMPARE(m.methodType(), QMetaMethod::Slot);
            QCOMPARE(m.access(), QMetaMethod::Private);
        }
    }

    void opensDisconnectedWithItsTitlePortsAndDockToggles()
    {
        QCOMPARE(window->windowTitle(), QString("Neurask v0.4"));
        auto* port = child<QComboBox>("comboBoxConnectionPort");
        QCOMPARE(port->count(), 1);
        QCOMPARE(port->itemText(0), QString("Авто"));
        QCOMPARE(port->currentIndex(), 0);
        QVERIFY(port->isEnabled());
        QVERIFY(!action("actionStart")->isEnabled());
        QVERIFY(!action("actionStop")->isEnabled());
        for (const char* name : connectedControls)
            QVERIFY2(!child<QWidget>(name)->isEnabled(), name);

        const struct {
            const char* dock;
            const char* key;
        } toggles[] = {{"dockWidgetSettings", "F7"},
                       {"dockWidgetTerminal", "F8"},
                       {"dockWidgetStimulation", "F9"}};
        auto* toolBar = child<QToolBar>("toolBar");
        auto* menuView = child<QMenu>("menuView");
        for (const auto& t : toggles) {
            QAction* toggle = child<QDockWidget>(t.dock)->toggleViewAction();
            QCOMPARE(toggle->shortcut(), QKeySequence(t.key));
            QVERIFY(!toggle->icon().isNull());
            QVERIFY(toolBar->actions().contains(toggle));
            QVERIFY(menuView->actions().contains(toggle));
        }
        QCOMPARE(toolBar->actions().mid(toolBar->actions().size() - 4, 1).value(0)->isSeparator(),
                 true);
    }

    void portListOffersTheSystemsPortsAfterAuto()
    {
        window.reset();
        setSerialPortSource([] { return QStringList{"/dev/pts/90", "/tmp/headset"}; });
        window.reset(new MainWindow);
        setSerialPortSource([] { return QStringList(); });
        auto* port = child<QComboBox>("comboBoxConnectionPort");
        QCOMPARE(port->count(), 3);
        QCOMPARE(port->itemText(1), QString("/dev/pts/90"));
        QCOMPARE(port->itemText(2), QString("/tmp/headset"));
        QCOMPARE(port->currentIndex(), 0);
    }

    void controlsFollowConnectionAndCapture()
    {
        auto* port = child<QComboBox>("comboBoxConnectionPort");
        QAction* start = action("actionStart");
        QAction* stop = action("actionStop");
        const char* rate[] = {"doubleSpinBoxCapturePeriod", "doubleSpinBoxCaptureFreq",
                              "horizontalSliderCaptureAdc"};

        call("deviceConnection", Q_ARG(bool, true));
        QVERIFY(!port->isEnabled());
        QVERIFY(start->isEnabled());
        QVERIFY(!stop->isEnabled());
        for (const char* name : connectedControls)
            QVERIFY2(child<QWidget>(name)->isEnabled(), name);

        start->trigger();
        QVERIFY(!start->isEnabled()); // until the headset confirms
        call("setCapture", Q_ARG(bool, true));
        QVERIFY(stop->isEnabled());
        QVERIFY(!start->isEnabled());
        for (const char* name : rate)
            QVERIFY2(!child<QWidget>(name)->isEnabled(), name);

        stop->trigger();
        QVERIFY(!stop->isEnabled());
        call("setCapture", Q_ARG(bool, false));
        QVERIFY(start->isEnabled());
        for (const char* name : rate)
            QVERIFY2(child<QWidget>(name)->isEnabled(), name);

        // Losing the headset during a capture.
        call("setCapture", Q_ARG(bool, true));
        call("deviceConnection", Q_ARG(bool, false));
        QVERIFY(!start->isEnabled());
        QVERIFY(!stop->isEnabled());
        QVERIFY(port->isEnabled());
        for (const char* name : connectedControls)
            QVERIFY2(!child<QWidget>(name)->isEnabled(), name);
    }

    void captureRateControlsAgree_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<double>("milliseconds");
        QTest::addColumn<double>("hertz");
        QTest::newRow("slider fastest") << "slider" << 8800.0 << 8800 << 1.1 << 909.091;
        QTest::newRow("slider default") << "slider" << 16000.0 << 16000 << 2.0 << 500.0;
        QTest::newRow("period 1.1") << "period" << 1.1 << 8800 << 1.1 << 909.091;
        QTest::newRow("period 2") << "period" << 2.0 << 16000 << 2.0 << 500.0;
        QTest::newRow("frequency 909.091") << "frequency" << 909.091 << 8800 << 1.1 << 909.091;
        QTest::newRow("frequency 500") << "frequency" << 500.0 << 16000 << 2.0 << 500.0;
        // The boxes stop at 8 ms and 125 Hz, so the slider settles there.
        QTest::newRow("slider slowest") << "slider" << 65535.0 << 64000 << 8.0 << 125.0;
    }
    void captureRateControlsAgree()
    {
        QFETCH(QString, control);
        QFETCH(double, value);
        QFETCH(int, ticks);
        QFETCH(double, milliseconds);
        QFETCH(double, hertz);
        auto* slider = child<QSlider>("horizontalSliderCaptureAdc");
        auto* period = child<QDoubleSpinBox>("doubleSpinBoxCapturePeriod");
        auto* frequency = child<QDoubleSpinBox>("doubleSpinBoxCaptureFreq");
        // Start elsewhere so that every control has to move.
        slider->setValue(12000);
        if (control == "slider")
            slider->setValue(int(value));
        else if (control == "period")
            period->setValue(value);
        else
            frequency->setValue(value);
        QCOMPARE(slider->value(), ticks);
        QCOMPARE(period->value(), milliseconds);
        QCOMPARE(frequency->value(), hertz);
    }

    void opensAtTheDefaultCaptureRate()
    {
        QCOMPARE(child<QSlider>("horizontalSliderCaptureAdc")->value(), 16000);
        QCOMPARE(child<QDoubleSpinBox>("doubleSpinBoxCapturePeriod")->text(), QString("2.000мс"));
        QCOMPARE(child<QDoubleSpinBox>("doubleSpinBoxCaptureFreq")->value(), 500.0);
    }

    void samplesArePaintedByTheTimerOnly()
    {
        QSignalSpy painted(plotTime(), &QCustomPlot::afterReplot);
        QTest::qWait(150);
        painted.clear();
        sendSamples({sampleAt(0.002, 1e-6), sampleAt(0.004, 2e-6)});
        QCOMPARE(painted.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(painted.count(), 1, 1000);
        // Twenty batches between two ticks make one repaint.
        for (int i = 0; i < 20; ++i)
            sendSamples({sampleAt(0.006 + i * 0.002, 1e-6)});
        QCOMPARE(painted.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(painted.count(), 2, 1000);
        QTest::qWait(300); // nothing new, nothing painted
        QCOMPARE(painted.count(), 2);
        QCOMPARE(window->captureStore().sampleCount(), qint64(22));
    }

    void emptyBatchLeavesTheTimeAxis()
    {
        sendSamples({sampleAt(3.0, 1e-6)});
        QCPRange before = plotTime()->xAxis->range();
        sendSamples({});
        QCOMPARE(plotTime()->xAxis->range(), before);
        QCOMPARE(window->captureStore().sampleCount(), qint64(1));
    }

    void spectrumOutsideTheChannelsChangesNothing()
    {
        for (int channel : {-1, 12, 40})
            sendSpectrum(channel, {1, 2, 3}, {1, 2, 3});
        QCOMPARE(storedPoints(plotFreq()), 0);
        sendSpectrum(11, {1, 2, 3}, {1, 2, 3});
        QCOMPARE(plotFreq()->graph(11)->dataCount(), 3);
    }

    void spectrumAutoscaleFitsOnlyWhenChecked()
    {
        QCustomPlot* plot = plotFreq();
        QVERIFY(autoscale()->isChecked());
        sendSpectrum(0, {1, 10, 100}, {0.5, 2, 8});
        QCOMPARE(plot->xAxis->range(), QCPRange(1, 100));
        QCOMPARE(plot->yAxis->range(), QCPRange(0.5, 8));

        autoscale()->setChecked(false);
        sendSpectrum(0, {2, 20, 400}, {1, 4, 64});
        QCOMPARE(plot->xAxis->range(), QCPRange(1, 100));
        QCOMPARE(plot->graph(0)->dataCount(), 3);

        autoscale()->setChecked(true); // fits at once
        QCOMPARE(plot->xAxis->range(), QCPRange(2, 400));
    }

    void spectrumMouseTurnsAutoscaleOffAndOn()
    {
        QCustomPlot* plot = plotFreq();
        QPoint centre = plot->axisRect()->center();
        QWheelEvent wheel(centre, plot->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(plot, &wheel);
        QVERIFY(!autoscale()->isChecked());

        QMouseEvent click(QEvent::MouseButtonDblClick, centre, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(plot, &click);
        QVERIFY(autoscale()->isChecked());

        QMouseEvent drag(QEvent::MouseMove, centre, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(plot, &drag);
        QVERIFY(!autoscale()->isChecked());

        // A move with another button held is no drag of the view.
        autoscale()->setChecked(true);
        QMouseEvent other(QEvent::MouseMove, centre, Qt::NoButton, Qt::LeftButton | Qt::RightButton,
                          Qt::NoModifier);
        QApplication::sendEvent(plot, &other);
        QVERIFY(autoscale()->isChecked());
    }

    void wheelOnTheSignalPlotHonoursCtrlAndShift()
    {
        QCustomPlot* plot = plotTime();
        plot->xAxis->setRange(0, 10);
        plot->yAxis->setRange(-1, 1);
        plot->replot();
        QPoint centre = plot->axisRect()->center();
        auto wheel = [&](Qt::KeyboardModifiers keys) {
            QWheelEvent e(centre, plot->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton,
                          keys, Qt::NoScrollPhase, false);
            QApplication::sendEvent(plot, &e);
        };
        wheel(Qt::ControlModifier);
        QCOMPARE(plot->xAxis->range().size(), 10.0);
        QVERIFY(plot->yAxis->range().size() < 2.0);
        double value = plot->yAxis->range().size();
        wheel(Qt::ShiftModifier);
        QVERIFY(plot->xAxis->range().size() < 10.0);
        QCOMPARE(plot->yAxis->range().size(), value);
    }

    void cursorReadoutReplacesTheStatusMessage()
    {
        call("deviceInfo", Q_ARG(QString, "Поиск устойства..."));
        QStatusBar* bar = child<QStatusBar>("statusBar");
        QCOMPARE(bar->currentMessage(), QString("Поиск устойства..."));
        QCustomPlot* plot = plotTime();
        QPoint at = plot->axisRect()->center();
        QMouseEvent move(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(plot, &move);
        double t = plot->xAxis->pixelToCoord(at.x());
        double v = plot->yAxis->pixelToCoord(at.y());
        QCOMPARE(bar->currentMessage(),
                 QString("Время=%1сек; Напряжение=%2В").arg(t, 0, 'f', 3).arg(v, 0, 'g', 6));
        QApplication::sendEvent(plotFreq(), &move);
        QVERIFY(bar->currentMessage().startsWith("Частота="));
        call("deviceInfo", Q_ARG(QString, QString()));
        QVERIFY(bar->currentMessage().isEmpty());
    }

    // The view choices reach the plot: lanes with the channel read out, and
    // filters on what is drawn while the capture (what Save writes) keeps the
    // samples as they came.
    void viewChoicesShapeThePlotAndNotTheCapture()
    {
        child<QComboBox>("comboBoxViewHighPass")->setCurrentIndex(2);    // 0.5 Hz
        child<QComboBox>("comboBoxViewNotch")->setCurrentIndex(1);       // 50 Hz
        child<QComboBox>("comboBoxViewSensitivity")->setCurrentIndex(2); // 50 µV
        action("actionViewLanes")->trigger();
        auto volts = [](int c, int i) {
            const double t = (i + 1) * 0.002;
            return 0.005 * c + 30e-6 * std::sin(2 * M_PI * 10 * t) +
                   2e-3 * std::sin(2 * M_PI * 50 * t);
        };
        for (int b = 0; b < 80; ++b) {
            QVector<structSample> batch(64);
            for (int k = 0; k < 64; ++k) {
                batch[k].time = (b * 64 + k + 1) * 0.002;
                for (int c = 0; c < channelCount; ++c)
                    batch[k].value[c] = volts(c, b * 64 + k);
            }
            sendSamples(batch);
        }
        const CaptureStore& capture = window->captureStore();
        for (int i : {0, 100, 5119})
            QCOMPARE(capture.value(7, i), sampleCount(volts(7, i)) * voltsPerCount);

        // Lane 8 holds the 60 µV swing of the alpha rhythm alone: 1.2 lanes.
        QCustomPlot* plot = plotTime();
        plot->replot();
        bool found = false;
        const QCPRange drawn = plot->graph(7)->getValueRange(found, QCP::sdBoth, QCPRange(9, 11));
        QVERIFY2(drawn.size() > 1.1 && drawn.size() < 1.3,
                 qPrintable(QString::number(drawn.size())));
        QVERIFY(qAbs(drawn.center() - (channelCount - 7 - 0.5)) < 0.1);

        QStatusBar* bar = child<QStatusBar>("statusBar");
        const QPoint at(plot->axisRect()->center().x(),
                        int(plot->yAxis->coordToPixel(channelCount - 7 - 0.5)));
        QMouseEvent move(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(plot, &move);
        QVERIFY2(bar->currentMessage().contains("; Канал 8="), qPrintable(bar->currentMessage()));
        QVERIFY(bar->currentMessage().endsWith("мкВ"));
    }

    void statusCountersAndTerminalShowWhatTheDeviceSays()
    {
        auto labels = child<QStatusBar>("statusBar")->findChildren<QLabel*>();
        auto labelWith = [&](const QString& prefix) -> QLabel* {
            for (QLabel* l : labels)
                if (l->text().startsWith(prefix))
                    return l;
            return nullptr;
        };
        QLabel* speed = labelWith("TX:");
        QLabel* skips = labelWith("Пропуски:");
        QVERIFY(speed && skips);
        QCOMPARE(speed->text(), QString("TX:0, RX:0"));
        QCOMPARE(speed->statusTip(), QString("Скорость обмена (байт/сек)"));
        QCOMPARE(skips->statusTip(), QString("Количество пропущенных пакетов"));
        call("setSpeed", Q_ARG(quint32, 2), Q_ARG(quint32, 46000));
        call("setSkipSamples", Q_ARG(quint64, 5000000000ull));
        QCOMPARE(speed->text(), QString("TX:2, RX:46000"));
        QCOMPARE(skips->text(), QString("Пропуски:5000000000"));

        auto* log = child<QPlainTextEdit>("plainTextEditLog");
        log->clear();
        call("terminal", Q_ARG(QString, "COM3 TX:023F"));
        call("terminal", Q_ARG(QString, "a\nb"));
        QCOMPARE(log->toPlainText(), QString("COM3 TX:023F\na\nb"));
    }

    void clearEmptiesGraphsButKeepsLegendAndAxes()
    {
        sendSamples({sampleAt(1, 1e-6), sampleAt(2, 2e-6)});
        sendSpectrum(3, {1, 2}, {3, 4});
        plotTime()->xAxis->setRange(-5, 5);
        action("actionClear")->trigger();
        QCOMPARE(storedPoints(plotTime()), 0);
        QCOMPARE(window->captureStore().sampleCount(), qint64(0));
        QCOMPARE(storedPoints(plotFreq()), 0);
        QCOMPARE(plotTime()->xAxis->range(), QCPRange(-5, 5));
        QCOMPARE(plotTime()->legend->itemCount(), channelCount);
        QCOMPARE(plotFreq()->legend->itemCount(), channelCount);
    }

    void startClearsThePlots()
    {
        sendSamples({sampleAt(1, 1e-6)});
        call("deviceConnection", Q_ARG(bool, true));
        action("actionStart")->trigger();
        QCOMPARE(storedPoints(plotTime()), 0);
        QCOMPARE(window->captureStore().sampleCount(), qint64(0));
        QCOMPARE(window->captureStore().period(), quint16(16000));
    }

    // The value axis follows what is in view until the operator zooms it; the
    // fit (Автомасштаб, double click) spans the whole capture and fits again;
    // Start scrolls at the width the operator chose, not at the fit's.
    void fittingStopsForTheOperatorsZoomAndStartRestoresTheScrollWidth()
    {
        QCustomPlot* plot = plotTime();
        auto send = [&](int n, double volts) {
            QVector<structSample> batch;
            for (int i = 0; i < n; ++i)
                batch << sampleAt(0, volts * ((i % 2) ? 1 : -1));
            sendSamples(batch);
            call("plotUpdate");
        };
        send(64, 1e-3); // an artifact at the start
        for (int k = 0; k < 30; ++k)
            send(64, 1e-5);                                      // then quiet EEG, 3.8 s
        QVERIFY(plot->yAxis->range().upper < 1e-5 * 12 * 1.001); // the artifact is out of view

        QPoint centre = plot->axisRect()->center();
        QWheelEvent zoom(centre, plot->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton,
                         Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(plot, &zoom);
        const QCPRange zoomed = plot->yAxis->range();
        send(64, 1e-5);
        send(64, 3e-5);
        QCOMPARE(plot->yAxis->range(), zoomed);

        action("actionZoom")->trigger();
        QCOMPARE(plot->yAxis->range().upper, window->captureStore().value(11, 1));
        QCOMPARE(plot->xAxis->range().lower, window->captureStore().sampleTime(0, 0));
        send(64, 2e-4); // fitting again: the artifact scrolls out, the new peak is in
        QVERIFY(qAbs(plot->yAxis->range().upper - 2e-4 * 12) < 1e-6);

        plot->yAxis->setRange(-1, 1); // a drag of the value axis stops it too
        send(64, 1e-5);
        QCOMPARE(plot->yAxis->range(), QCPRange(-1, 1));
        QMouseEvent click(QEvent::MouseButtonDblClick, centre, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(plot, &click);
        QVERIFY(plot->yAxis->range().upper < 0.1);

        QVERIFY(plot->xAxis->range().size() > 4.0);
        call("deviceConnection", Q_ARG(bool, true));
        action("actionStart")->trigger();
        QCOMPARE(plot->xAxis->range().size(), 2.0);
        send(64, 1e-5);
        QCOMPARE(plot->xAxis->range().size(), 2.0);
    }

    void legendAndScaleControlsReachThePlots()
    {
        auto* legend = child<QCheckBox>("checkBoxSpectrumLegend");
        QVERIFY(!plotTime()->legend->visible());
        legend->setChecked(true);
        QVERIFY(plotTime()->legend->visible());
        QVERIFY(plotFreq()->legend->visible());
        legend->setChecked(false);
        QVERIFY(!plotFreq()->legend->visible());

        QCOMPARE(plotFreq()->xAxis->scaleType(), QCPAxis::stLogarithmic);
        QCOMPARE(plotFreq()->yAxis->scaleType(), QCPAxis::stLogarithmic);
        child<QComboBox>("comboBoxSpectrumScaleX")->setCurrentIndex(1);
        QCOMPARE(plotFreq()->xAxis->scaleType(), QCPAxis::stLinear);
        QCOMPARE(plotFreq()->xAxis->numberFormat(), QString("gb"));
        QCOMPARE(plotFreq()->yAxis->scaleType(), QCPAxis::stLogarithmic);
        child<QComboBox>("comboBoxSpectrumScaleY")->setCurrentIndex(1);
        QCOMPARE(plotFreq()->yAxis2->scaleType(), QCPAxis::stLinear);
        QCOMPARE(plotFreq()->yAxis->numberPrecision(), 6);
    }

    void analysisEntriesWarnWithoutData_data()
    {
        QTest::addColumn<QString>("actionName");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("Fourier") << "actionAnalysisFourier"
                                 << "Анилиз Фурье"
                                 << "Загрузите исходные данные/подключите нейрогаринтуру!";
        QTest::newRow("statistics") << "actionAnalysisStatistics"
                                    << "Итоговая статистика"
                                    << "Загрузите исходные данные/подключите нейрогаринтуру!";
        QTest::newRow("VARN") << "actionAnalysisSendVARN"
                              << "Отправить в VARN"
                              << "Загрузите исходные данные!";
    }
    void analysisEntriesWarnWithoutData()
    {
        QFETCH(QString, actionName);
        QFETCH(QString, title);
        QFETCH(QString, text);
        // Sending to VARN warns whatever is loaded; the analyses need samples.
        const bool varn = actionName == "actionAnalysisSendVARN";
        if (varn)
            sendSamples({sampleAt(1, 1e-6)});
        QAction* entry = action(qPrintable(actionName));
        BoxSeen box = answerNextBox([&] { entry->trigger(); });
        QVERIFY(box.shown);
        QCOMPARE(box.title, title);
        QCOMPARE(box.text, text);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.parent, window.get());
        QCOMPARE(storedPoints(plotTime()), varn ? channelCount : 0);
    }

    void analysisDialogAnalysesTheCapture()
    {
        // 20 s at 500 Hz: 20 uV at 10 Hz on every channel, whose alpha power is 200 uV^2.
        sendAlpha(20 * 500 / 50, 50);
        action("actionAnalysisFourier")->trigger();
        auto* dialog = window->findChild<AnalysisWindow*>();
        QVERIFY(dialog && dialog->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(dialog->result() != nullptr, 10000);
        auto* tabs = dialog->findChild<QTabWidget*>("tabWidgetAnalysis");
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(!tabs->isTabEnabled(3)); // no light trains
        auto* table = dialog->findChild<QTableWidget*>("tableWidgetAnalysisBands");
        QCOMPARE(table->rowCount(), channelCount * 5);
        QCOMPARE(table->item(2, 0)->text(), QString("Канал 1"));
        QCOMPARE(table->item(2, 1)->text(), QString("alpha"));
        QVERIFY(std::fabs(table->item(2, 4)->text().toDouble() / 200 - 1) < 0.01);
        QCOMPARE(dialog->findChild<QCustomPlot*>("plotAnalysisSpectra")->graphCount(),
                 channelCount);

        // The statistics as CSV, through the file chooser.
        tabs->setCurrentIndex(2);
        QTemporaryDir dir;
        QString path = dir.filePath("stats.csv");
        FileDialog::saveHook = [&](QWidget*, const QString&, const QString&, const QString&) {
            return path;
        };
        dialog->findChild<QPushButton*>("pushButtonAnalysisCsv")->click();
        const QString csvPath = path;
        path = dir.filePath("spectra.png");
        dialog->findChild<QPushButton*>("pushButtonAnalysisPng")->click();
        FileDialog::saveHook = nullptr;
        QCOMPARE(QImage(path).size(), QSize(1200, 700));
        path = csvPath;
        QFile csv(path);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QVERIFY(lines[0].startsWith("channel,unit,samples,seconds,mean,sd,rms,"));
        QVERIFY(lines[1].startsWith("Канал 1,uV,10000,20,"));
        dialog->reject();

        // F11 opens at the statistics; a narrower view is another range.
        plotTime()->xAxis->setRange(4, 8);
        dialog->findChild<QRadioButton*>("radioButtonAnalysisView")->setChecked(true);
        action("actionAnalysisStatistics")->trigger();
        QCOMPARE(tabs->currentIndex(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isRunning() && dialog->result()->to < 8.01, 10000);
        QCOMPARE(dialog->result()->channels[0].samples, qint64(2000));
        dialog->reject();
        QSettings().remove("Analysis"); // the dialog keeps its choices
    }

    // Closing the dialog only asks the analysis to stop; Clear and Start replace the
    // capture it reads, so they wait for it first (else the worker reads freed samples).
    void captureReplacedMidAnalysisStopsItFirst()
    {
        call("deviceConnection", Q_ARG(bool, true));
        for (const char* replace : {"actionClear", "actionStart"}) {
            sendAlpha(240, 500);
            action("actionAnalysisFourier")->trigger();
            auto* dialog = window->findChild<AnalysisWindow*>();
            QVERIFY(dialog && dialog->isRunning());
            dialog->reject();
            action(replace)->trigger();
            QVERIFY2(!dialog->isRunning(), replace);
            QCOMPARE(window->captureStore().sampleCount(), qint64(0));
        }
        QSettings().remove("Analysis"); // the dialog keeps its choices
    }

    void aboutNamesTheProgramAndVersion()
    {
        BoxSeen box = answerNextBox([&] { action("actionAbout")->trigger(); });
        QVERIFY(box.shown);
        QCOMPARE(box.title, QString("О программе..."));
        QCOMPARE(box.icon, QMessageBox::Information);
        QVERIFY2(box.text.startsWith("Neurask v0.4\r\n\r\n"), qPrintable(box.text));
        QVERIFY(box.text.size() > QString("Neurask v0.4\r\n\r\n").size());
    }

    void exitEndsTheEventLoopWithoutClosing()
    {
        QTimer::singleShot(0, action("actionExit"), &QAction::trigger);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(window->isVisible());
        QVERIFY(QSettings().allKeys().isEmpty()); // nothing stored on this way out
    }

    void destroyingTheWindowEndsTheWorkerPromptly()
    {
        // The worker sits in its pause after a search of no ports.
        QTest::qWait(200);
        QElapsedTimer timer;
        timer.start();
        window.reset();
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
