// The operator's settings: what a first start shows, what closing keeps and a
// start restores, and how a damaged store is survived.

#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "windowfixture.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QMenu>
#include <QSlider>
#include <QSpinBox>
#include <QToolBar>
#include <QtTest>
#include <qcustomplot.h>

namespace
{

// One row per key: group, key, the control it belongs to.
struct KeyControl {
    const char* group;
    const char* key;
    const char* control;
};

const KeyControl controlKeys[] = {
    {"Connection", "Port", "comboBoxConnectionPort"},
    {"Capture", "ADC", "horizontalSliderCaptureAdc"},
    {"Light", "Bright", "doubleSpinBoxLightBright"},
    {"Light", "Duration", "doubleSpinBoxLightDuration"},
    {"Light", "Pause", "doubleSpinBoxLightPause"},
    {"Light", "Count", "spinBoxLightCount"},
    {"Light", "SeriesPause", "spinBoxLightSeriesPause"},
    {"Light", "SeriesCount", "spinBoxLightSeriesCount"},
    {"Sound", "Volume", "doubleSpinBoxSoundVolume"},
    {"Sound", "Duration", "doubleSpinBoxSoundDuration"},
    {"Sound", "Pause", "doubleSpinBoxSoundPause"},
    {"Sound", "Count", "spinBoxSoundCount"},
    {"Sound", "SeriesPause", "spinBoxSoundSeriesPause"},
    {"Sound", "SeriesCount", "spinBoxSoundSeriesCount"},
    {"Sound", "Tone", "doubleSpinBoxSoundTone"},
    {"FFT", "Count", "comboBoxFFTcount"},
    {"FFT", "Window", "comboBoxFFTwindow"},
    {"Spectrum", "ScaleX", "comboBoxSpectrumScaleX"},
    {"Spectrum", "ScaleY", "comboBoxSpectrumScaleY"},
    {"Spectrum", "Legend", "checkBoxSpectrumLegend"},
};

// The control's value as the store holds it.
QVariant controlValue(const QWidget& window, const char* name)
{
    QWidget* w = window.findChild<QWidget*>(name);
    if (auto* box = qobject_cast<QDoubleSpinBox*>(w))
        return box->value();
    if (auto* box = qobject_cast<QSpinBox*>(w))
        return box->value();
    if (auto* slider = qobject_cast<QSlider*>(w))
        return slider->value();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentIndex();
    if (auto* check = qobject_cast<QCheckBox*>(w))
        return check->isChecked();
    return {};
}

void setControlValue(QWidget& window, const char* name, const QVariant& value)
{
    QWidget* w = window.findChild<QWidget*>(name);
    if (auto* box = qobject_cast<QDoubleSpinBox*>(w))
        box->setValue(value.toDouble());
    else if (auto* box = qobject_cast<QSpinBox*>(w))
        box->setValue(value.toInt());
    else if (auto* slider = qobject_cast<QSlider*>(w))
        slider->setValue(value.toInt());
    else if (auto* combo = qobject_cast<QComboBox*>(w))
        combo->setCurrentIndex(value.toInt());
    else if (auto* check = qobject_cast<QCheckBox*>(w))
        check->setChecked(value.toBool());
}

void store(const char* group, const char* key, const QVariant& value)
{
    QSettings settings;
    settings.beginGroup(group);
    settings.setValue(key, value);
}

QVariant stored(const char* group, const char* key)
{
    QSettings settings;
    settings.beginGroup(group);
    return settings.value(key);
}

QString comboText(const QWidget& window, const char* name)
{
    return window.findChild<QComboBox*>(name)->currentText();
}

double doubleValue(const QWidget& window, const char* name)
{
    return window.findChild<QDoubleSpinBox*>(name)->value();
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(useTemporarySettings(dir));
        useFakePorts();
    }

    void init() { QSettings().clear(); }

    void firstStartShowsEveryDefault()
    {
        MainWindow window;
        const QVariant expected[] = {0,     16000, 10.0, 100.0, 100.0,  5, 1000, 3, 10.0, 100.0,
                                     100.0, 5,     1000, 3,     1000.0, 3, 0,    0, 0,    false};
        static_assert(std::size(expected) == std::size(controlKeys), "one default per key");
        for (std::size_t i = 0; i < std::size(controlKeys); ++i) {
            QVariant actual = controlValue(window, controlKeys[i].control);
            QVERIFY2(actual == expected[i], controlKeys[i].control);
        }
        auto* port = window.findChild<QComboBox*>("comboBoxConnectionPort");
        QCOMPARE(port->currentText(), QString("Авто"));
        QCOMPARE(port->itemText(port->count() - 1), fakePorts().last());
        QCOMPARE(doubleValue(window, "doubleSpinBoxCapturePeriod"), 2.0);
        QCOMPARE(doubleValue(window, "doubleSpinBoxCaptureFreq"), 500.0);
        QCOMPARE(window.findChild<QComboBox*>("comboBoxFFTcount")->currentText(), QString("256"));
        auto* plot = window.findChild<QCustomPlot*>("plotFreq");
        QCOMPARE(plot->xAxis->scaleType(), QCPAxis::stLogarithmic);
        QCOMPARE(plot->yAxis->scaleType(), QCPAxis::stLogarithmic);
    }

    void closingStoresEveryKeyAndTheNextStartRestoresThem()
    {
        // Every value differs from its default; some carry decimals.
        const QVariant chosen[] = {2,   20000, 12.5, 250.25, 0.05,  100, 65535, 7, 33.75, 3276.75,
                                   1.5, 65535, 2,    9,      440.0, 9,   10,    1, 1,     true};
        static_assert(std::size(chosen) == std::size(controlKeys), "one value per key");
        QByteArray geometry;
        {
            MainWindow window;
            window.resize(900, 700);
            for (std::size_t i = 0; i < std::size(controlKeys); ++i)
                setControlValue(window, controlKeys[i].control, chosen[i]);
            geometry = window.saveGeometry();
            QVERIFY(window.close());
        }

        QSettings settings;
        // The spectrum's seven groups, the view's own, recording's and the examination's
        // (electrodes, marks, seven of the patient, four of the protocols).
        QCOMPARE(settings.childGroups().size(), 10);
        QCOMPARE(settings.allKeys().size(), 22 + 7 + 2 + 13);
        QCOMPARE(stored("Window", "Geometry").toByteArray(), geometry);
        QVERIFY(!stored("Window", "State").toByteArray().isEmpty());
        for (std::size_t i = 0; i < std::size(controlKeys); ++i) {
            const QVariant value = stored(controlKeys[i].group, controlKeys[i].key);
            QVERIFY2(value.isValid(), controlKeys[i].key);
            if (chosen[i].type() == QVariant::Double)
                QCOMPARE(value.toDouble(), chosen[i].toDouble());
            else if (chosen[i].type() == QVariant::Bool)
                QCOMPARE(value.toBool(), chosen[i].toBool());
            else
                QCOMPARE(value.toInt(), chosen[i].toInt());
        }

        MainWindow restarted;
        for (std::size_t i = 0; i < std::size(controlKeys); ++i)
            QVERIFY2(controlValue(restarted, controlKeys[i].control) == chosen[i],
                     controlKeys[i].control);
        QCOMPARE(restarted.size(), QSize(900, 700));
        // The rate's other two boxes follow the restored slider.
        QCOMPARE(doubleValue(restarted, "doubleSpinBoxCapturePeriod"), 2.5);
        QCOMPARE(doubleValue(restarted, "doubleSpinBoxCaptureFreq"), 400.0);
    }

    // Recording's state and folder survive a restart; a state that is no
    // boolean or a folder that is no absolute path fall back to off and the
    // documents folder.
    void recordingAndItsFolderAreRemembered()
    {
        const QString folder = dir.path() + "/recordings";
        QVERIFY(QDir().mkpath(folder));
        {
            MainWindow window;
            auto* record = window.findChild<QAction*>("actionRecord");
            QVERIFY(record && record->isCheckable() && !record->isChecked());
            QVERIFY(!record->shortcut().isEmpty() && !record->icon().isNull());
            QVERIFY(window.findChild<QMenu*>("menu")->actions().contains(record));
            QVERIFY(window.findChild<QToolBar*>("toolBar")->actions().contains(record));
            QCOMPARE(window.recordingFolder(), MainWindow::defaultRecordingFolder());
            FileDialog::folderHook = [&](QWidget*, const QString&, const QString& start) {
                return start == MainWindow::defaultRecordingFolder() ? folder : QString();
            };
            window.findChild<QAction*>("actionRecordFolder")->trigger();
            FileDialog::folderHook = nullptr;
            record->setChecked(true);
            QVERIFY(window.close());
        }
        QCOMPARE(stored("Recording", "Folder").toString(), folder);
        {
            MainWindow window;
            QVERIFY(window.findChild<QAction*>("actionRecord")->isChecked());
            QCOMPARE(window.recordingFolder(), folder);
            window.findChild<QAction*>("actionRecord")->setChecked(false);
        }
        for (const char* state : {"banana", "", "2"}) {
            QSettings().setValue("Recording/On", state);
            QSettings().setValue("Recording/Folder", "relative/folder");
            MainWindow window;
            QVERIFY2(!window.findChild<QAction*>("actionRecord")->isChecked(), state);
            QCOMPARE(window.recordingFolder(), MainWindow::defaultRecordingFolder());
        }
    }

    void exitStoresNothing()
    {
        {
            MainWindow window;
            setControlValue(window, "doubleSpinBoxLightBright", 42.0);
            window.findChild<QAction*>("actionExit")->trigger();
        }
        QVERIFY(QSettings().allKeys().isEmpty());
    }

    void aPortIndexBeyondTheFoundPortsSelectsAuto_data()
    {
        // Offsets from the number of entries ("Авто" and the ports found).
        QTest::addColumn<int>("fromCount");
        QTest::addColumn<bool>("kept");
        QTest::newRow("last port found") << -1 << true;
        QTest::newRow("one beyond the list") << 0 << false;
        QTest::newRow("far beyond") << 1000 << false;
    }

    void aPortIndexBeyondTheFoundPortsSelectsAuto()
    {
        QFETCH(int, fromCount);
        QFETCH(bool, kept);
        int entries = 0;
        {
            MainWindow probe;
            entries = probe.findChild<QComboBox*>("comboBoxConnectionPort")->count();
        }
        QSettings().clear();
        const int index = entries + fromCount;
        store("Connection", "Port", index);
        MainWindow window;
        auto* port = window.findChild<QComboBox*>("comboBoxConnectionPort");
        QCOMPARE(port->count(), entries);
        QCOMPARE(port->currentIndex(), kept ? index : 0);
    }

    void aNegativePortIndexSelectsAuto()
    {
        store("Connection", "Port", -5);
        MainWindow window;
        QCOMPARE(window.findChild<QComboBox*>("comboBoxConnectionPort")->currentIndex(), 0);
    }

    void aStoredRateEqualToTheSliderStillSetsPeriodAndFrequency()
    {
        // 8800 is also the slider's value before the store is read, so no
        // change signal fires; the boxes must show 1.1 ms and 909.091 Hz.
        store("Capture", "ADC", 8800);
        MainWindow window;
        QCOMPARE(window.findChild<QSlider*>("horizontalSliderCaptureAdc")->value(), 8800);
        QCOMPARE(doubleValue(window, "doubleSpinBoxCapturePeriod"), 1.1);
        QCOMPARE(doubleValue(window, "doubleSpinBoxCaptureFreq"), 909.091);
    }

    void damagedValuesAreClampedByTheControls_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QVariant>("shown");
        QTest::newRow("rate below range")
            << "Capture"
            << "ADC" << QVariant(100) << "horizontalSliderCaptureAdc" << QVariant(8800);
        // The slider stops at 65535, but the period box it drives stops at
        // 8 ms and sets it back to 64000 (125 Hz).
        QTest::newRow("rate above range")
            << "Capture"
            << "ADC" << QVariant(1 << 20) << "horizontalSliderCaptureAdc" << QVariant(64000);
        QTest::newRow("rate not a number")
            << "Capture"
            << "ADC" << QVariant("fast") << "horizontalSliderCaptureAdc" << QVariant(8800);
        QTest::newRow("brightness above range")
            << "Light"
            << "Bright" << QVariant(500.0) << "doubleSpinBoxLightBright" << QVariant(100.0);
        QTest::newRow("brightness rounded to decimals")
            << "Light"
            << "Bright" << QVariant(12.345) << "doubleSpinBoxLightBright" << QVariant(12.35);
        QTest::newRow("brightness text")
            << "Light"
            << "Bright" << QVariant("bright") << "doubleSpinBoxLightBright" << QVariant(1.0);
        QTest::newRow("brightness nan")
            << "Light"
            << "Bright" << QVariant("nan") << "doubleSpinBoxLightBright" << QVariant(1.0);
        QTest::newRow("duration infinite")
            << "Light"
            << "Duration" << QVariant("inf") << "doubleSpinBoxLightDuration" << QVariant(3276.75);
        QTest::newRow("light count above range")
            << "Light"
            << "Count" << QVariant(1000) << "spinBoxLightCount" << QVariant(100);
        QTest::newRow("tone negative")
            << "Sound"
            << "Tone" << QVariant(-5.0) << "doubleSpinBoxSoundTone" << QVariant(1.0);
        QTest::newRow("tone without decimals")
            << "Sound"
            << "Tone" << QVariant(440.6) << "doubleSpinBoxSoundTone" << QVariant(441.0);
        QTest::newRow("sound count text")
            << "Sound"
            << "Count" << QVariant("many") << "spinBoxSoundCount" << QVariant(1);
        QTest::newRow("FFT length beyond the list")
            << "FFT"
            << "Count" << QVariant(42) << "comboBoxFFTcount" << QVariant(9);
        QTest::newRow("FFT window negative")
            << "FFT"
            << "Window" << QVariant(-4) << "comboBoxFFTwindow" << QVariant(0);
        QTest::newRow("scale beyond the list")
            << "Spectrum"
            << "ScaleX" << QVariant(7) << "comboBoxSpectrumScaleX" << QVariant(1);
        QTest::newRow("geometry not a byte array")
            << "Window"
            << "Geometry" << QVariant(17) << "comboBoxFFTcount" << QVariant(3);
        QTest::newRow("state garbage") << "Window"
                                       << "State" << QVariant(QByteArray("\x01\x02garbage", 9))
                                       << "comboBoxFFTcount" << QVariant(3);
    }

    void damagedValuesAreClampedByTheControls()
    {
        QFETCH(QString, group);
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, control);
        QFETCH(QVariant, shown);
        store(qPrintable(group), qPrintable(key), value);
        {
            MainWindow window;
            const QVariant actual = controlValue(window, qPrintable(control));
            if (shown.type() == QVariant::Double)
                QCOMPARE(actual.toDouble(), shown.toDouble());
            else
                QCOMPARE(actual.toInt(), shown.toInt());
            QVERIFY(window.close());
        }
        // What the control holds is what the next start finds.
        if (group != "Window") {
            const QVariant again = stored(qPrintable(group), qPrintable(key));
            if (shown.type() == QVariant::Double)
                QCOMPARE(again.toDouble(), shown.toDouble());
            else
                QCOMPARE(again.toInt(), shown.toInt());
        }
    }

    void viewChoicesAreKeptByValueAndAnnounced()
    {
        structViewSettings chosen;
        chosen.mode = ViewMode::Lanes;
        chosen.sensitivity = 50;
        chosen.window = 10;
        chosen.highPass = 0.5;
        chosen.lowPass = 45;
        chosen.notch = 50;
        {
            MainWindow window;
            // A new install overlays the channels, unfiltered, and the
            // controls show what the record holds.
            QVERIFY(window.viewSettings() == structViewSettings());
            QVERIFY(window.findChild<QAction*>("actionViewOverlay")->isChecked());
            QCOMPARE(comboText(window, "comboBoxViewSensitivity"), QString("100 мкВ"));
            QCOMPARE(comboText(window, "comboBoxViewWindow"), QString("2 с"));

            QVector<structViewSettings> announced;
            connect(&window, &MainWindow::viewSettingsChanged,
                    [&](const structViewSettings& s) { announced << s; });
            window.findChild<QAction*>("actionViewLanes")->trigger();
            setControlValue(window, "comboBoxViewSensitivity", 2);
            setControlValue(window, "comboBoxViewWindow", 3);
            setControlValue(window, "comboBoxViewHighPass", 2);
            setControlValue(window, "comboBoxViewLowPass", 3);
            setControlValue(window, "comboBoxViewNotch", 1);
            QCOMPARE(announced.size(), 6);
            QVERIFY(announced.last() == chosen);
            QVERIFY(window.viewSettings() == chosen);
            QCOMPARE(comboText(window, "comboBoxViewHighPass"), QString("ФВЧ 0,5 Гц"));
            QVERIFY(window.close());
        }
        QCOMPARE(stored("View", "Mode").toString(), QString("Lanes"));
        QCOMPARE(stored("View", "Sensitivity").toDouble(), 50.0);
        QCOMPARE(stored("View", "Window").toDouble(), 10.0);
        QCOMPARE(stored("View", "HighPass").toDouble(), 0.5);
        QCOMPARE(stored("View", "LowPass").toDouble(), 45.0);
        QCOMPARE(stored("View", "Notch").toDouble(), 50.0);

        MainWindow restarted;
        QVERIFY(restarted.viewSettings() == chosen);
        QVERIFY(restarted.findChild<QAction*>("actionViewLanes")->isChecked());
        QVERIFY(!restarted.findChild<QAction*>("actionViewOverlay")->isChecked());
        QCOMPARE(comboText(restarted, "comboBoxViewLowPass"), QString("ФНЧ 45 Гц"));
    }

    void damagedViewChoicesFallBackToTheirDefaults()
    {
        // Each key stands alone: the one good value survives the others.
        store("View", "Mode", "Sideways");
        store("View", "Sensitivity", 33);
        store("View", "Window", "long");
        store("View", "HighPass", -1);
        store("View", "LowPass", "nan");
        store("View", "Notch", 60);
        structViewSettings expected;
        expected.notch = 60;
        {
            MainWindow window;
            QVERIFY(window.viewSettings() == expected);
            QVERIFY(window.findChild<QAction*>("actionViewOverlay")->isChecked());
            QCOMPARE(comboText(window, "comboBoxViewSensitivity"), QString("100 мкВ"));
            QCOMPARE(comboText(window, "comboBoxViewLowPass"), QString("ФНЧ выкл"));
            QVERIFY(window.close());
        }
        // What the next start finds is sound again.
        QCOMPARE(stored("View", "Mode").toString(), QString("Overlay"));
        QCOMPARE(stored("View", "Sensitivity").toDouble(), 100.0);
        QCOMPARE(stored("View", "Window").toDouble(), 2.0);
        QCOMPARE(stored("View", "LowPass").toDouble(), 0.0);
    }

    void restoredSpectrumSettingsReachTheDeviceAndThePlots()
    {
        store("FFT", "Count", 5);
        store("FFT", "Window", 4);
        store("Spectrum", "ScaleX", 1);
        store("Spectrum", "ScaleY", 1);
        store("Spectrum", "Legend", true);
        DebugLog log;
        MainWindow window;
        QVERIFY2(log.linesStartingWith("Device::setFFTCount").filter("1024").size() == 1,
                 qPrintable(log.lines().join('\n')));
        QCOMPARE(window.findChild<QComboBox*>("comboBoxFFTwindow")->currentIndex(), 4);
        auto* plot = window.findChild<QCustomPlot*>("plotFreq");
        QCOMPARE(plot->xAxis->scaleType(), QCPAxis::stLinear);
        QCOMPARE(plot->yAxis->scaleType(), QCPAxis::stLinear);
        QVERIFY(plot->legend->visible());
    }

    void defaultFftSettingsSendNothingToTheDevice()
    {
        // The form already shows length 256 and the rectangular window, so a
        // first start changes nothing on the device.
        DebugLog log;
        MainWindow window;
        const QStringList lengths = log.linesStartingWith("Device::setFFTCount");
        QVERIFY2(lengths.filter(QRegularExpression("\\b(?!256\\b)\\d+")).isEmpty(),
                 qPrintable(lengths.join('\n')));
    }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
