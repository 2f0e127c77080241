// MainWindow: the settings that survive a restart.

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/examination.h"
#include "app/recordingcontrol.h"
#include "app/viewcontrols.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QSettings>
#include <qcustomplot.h>

#include <cmath>

namespace
{

// A stored number that does not convert counts as 0, which the control then
// clamps. "nan" converts, but a spin box cannot clamp it sensibly (it ends up
// at its maximum, full brightness or volume), so it counts as 0 as well.
double storedDouble(const QSettings& settings, const QString& key, double fallback)
{
    bool ok = false;
    const double value = settings.value(key, fallback).toDouble(&ok);
    return ok && !std::isnan(value) ? value : 0.0;
}

int storedInt(const QSettings& settings, const QString& key, int fallback)
{
    return settings.value(key, fallback).toInt();
}

// A stored index outside the list would leave the combo without a current
// item, and its handler would pass an empty entry on (an FFT length of 0):
// keep it on the nearest entry instead.
void restoreIndex(QComboBox* combo, int index)
{
    if (combo->count() > 0)
        index = qBound(0, index, combo->count() - 1);
    combo->setCurrentIndex(index);
}

// View choices are kept by value, not by position, so that the lists can
// grow. A value that is not one of the steps counts as absent.
template <std::size_t N>
void restoreStep(QComboBox* combo, const QSettings& settings, const QString& key,
                 const double (&steps)[N], double fallback)
{
    bool ok = false;
    const double value = settings.value(key, fallback).toDouble(&ok);
    const int index = ok ? viewStepIndex(steps, value) : -1;
    combo->setCurrentIndex(index >= 0 ? index : viewStepIndex(steps, fallback));
}

// The light and sound stimulators' parameters.
void restoreStimulators(Ui::MainWindow* ui, QSettings& settings)
{
    settings.beginGroup("Light");
    ui->doubleSpinBoxLightBright->setValue(storedDouble(settings, "Bright", 10));
    ui->doubleSpinBoxLightDuration->setValue(storedDouble(settings, "Duration", 100));
    ui->doubleSpinBoxLightPause->setValue(storedDouble(settings, "Pause", 100));
    ui->spinBoxLightCount->setValue(storedInt(settings, "Count", 5));
    ui->spinBoxLightSeriesPause->setValue(storedInt(settings, "SeriesPause", 1000));
    ui->spinBoxLightSeriesCount->setValue(storedInt(settings, "SeriesCount", 3));
    settings.endGroup();

    settings.beginGroup("Sound");
    ui->doubleSpinBoxSoundVolume->setValue(storedDouble(settings, "Volume", 10));
    ui->doubleSpinBoxSoundDuration->setValue(storedDouble(settings, "Duration", 100));
    ui->doubleSpinBoxSoundPause->setValue(storedDouble(settings, "Pause", 100));
    ui->spinBoxSoundCount->setValue(storedInt(settings, "Count", 5));
    ui->spinBoxSoundSeriesPause->setValue(storedInt(settings, "SeriesPause", 1000));
    ui->spinBoxSoundSeriesCount->setValue(storedInt(settings, "SeriesCount", 3));
    ui->doubleSpinBoxSoundTone->setValue(storedDouble(settings, "Tone", 1000));
    settings.endGroup();
}

const char* const viewModeNames[] = {"Overlay", "Lanes"};
const char* const montageNames[] = {"AsRecorded", "AverageReference", "Longitudinal"};

} // namespace

void MainWindow::loadSettings()
{
    QSettings settings;

    settings.beginGroup("Window");
    restoreGeometry(settings.value("Geometry").toByteArray());
    restoreState(settings.value("State").toByteArray(), 0);
    settings.endGroup();

    settings.beginGroup("Connection");
    ui->comboBoxConnectionPort->setCurrentIndex(storedInt(settings, "Port", 0));
    // The port list is built afresh at every start; a port that is gone means
    // searching all of them.
    if (ui->comboBoxConnectionPort->currentIndex() < 0)
        ui->comboBoxConnectionPort->setCurrentIndex(0);
    settings.endGroup();

    settings.beginGroup("Capture");
    ui->horizontalSliderCaptureAdc->setValue(storedInt(settings, "ADC", 16000));
    // The slider may already hold the stored value, so no change signal fires:
    // bring the period and frequency boxes in line with it all the same.
    on_horizontalSliderCaptureAdc_valueChanged(ui->horizontalSliderCaptureAdc->value());
    settings.endGroup();

    restoreStimulators(ui, settings);

    settings.beginGroup("FFT");
    restoreIndex(ui->comboBoxFFTcount, storedInt(settings, "Count", 3));
    restoreIndex(ui->comboBoxFFTwindow, storedInt(settings, "Window", 0));
    settings.endGroup();

    settings.beginGroup("Spectrum");
    restoreIndex(ui->comboBoxSpectrumScaleX, storedInt(settings, "ScaleX", 0));
    restoreIndex(ui->comboBoxSpectrumScaleY, storedInt(settings, "ScaleY", 0));
    ui->checkBoxSpectrumLegend->setChecked(settings.value("Legend", false).toBool());
    settings.endGroup();

    settings.beginGroup("View");
    const structViewSettings defaults;
    const bool lanes = settings.value("Mode").toString() == viewModeNames[int(ViewMode::Lanes)];
    (lanes ? ui->actionViewLanes : ui->actionViewOverlay)->setChecked(true);
    restoreStep(ui->comboBoxViewSensitivity, settings, "Sensitivity", viewSensitivities,
                defaults.sensitivity);
    restoreStep(ui->comboBoxViewWindow, settings, "Window", viewWindows, defaults.window);
    restoreStep(ui->comboBoxViewHighPass, settings, "HighPass", viewHighPasses, defaults.highPass);
    restoreStep(ui->comboBoxViewLowPass, settings, "LowPass", viewLowPasses, defaults.lowPass);
    restoreStep(ui->comboBoxViewNotch, settings, "Notch", viewNotches, defaults.notch);
    const QString montage = settings.value("Montage").toString();
    for (int i = 0; i < 3; ++i)
        if (montage == QLatin1String(montageNames[i]))
            ui->comboBoxViewMontage->setCurrentIndex(i);
    settings.endGroup();

    // Recording: a folder that is no absolute path, or a state that is no
    // boolean, counts as absent (recording stays off unless asked for).
    settings.beginGroup("Recording");
    const QString folder = settings.value("Folder").toString();
    if (!folder.isEmpty() && QDir::isAbsolutePath(folder))
        recording->setFolder(QDir::cleanPath(folder));
    const QVariant on = settings.value("On", false);
    const QString onText = on.toString();
    recording->setOn(onText == QLatin1String("true") || onText == QLatin1String("1"));
    settings.endGroup();

    exam->loadSettings(settings);
}

void MainWindow::saveSettings()
{
    QSettings settings;

    settings.beginGroup("Window");
    settings.setValue("Geometry", saveGeometry());
    settings.setValue("State", saveState(0));
    settings.endGroup();

    settings.beginGroup("Connection");
    settings.setValue("Port", ui->comboBoxConnectionPort->currentIndex());
    settings.endGroup();

    settings.beginGroup("Capture");
    settings.setValue("ADC", ui->horizontalSliderCaptureAdc->value());
    settings.endGroup();

    settings.beginGroup("Light");
    settings.setValue("Bright", ui->doubleSpinBoxLightBright->value());
    settings.setValue("Duration", ui->doubleSpinBoxLightDuration->value());
    settings.setValue("Pause", ui->doubleSpinBoxLightPause->value());
    settings.setValue("Count", ui->spinBoxLightCount->value());
    settings.setValue("SeriesPause", ui->spinBoxLightSeriesPause->value());
    settings.setValue("SeriesCount", ui->spinBoxLightSeriesCount->value());
    settings.endGroup();

    settings.beginGroup("Sound");
    settings.setValue("Volume", ui->doubleSpinBoxSoundVolume->value());
    settings.setValue("Duration", ui->doubleSpinBoxSoundDuration->value());
    settings.setValue("Pause", ui->doubleSpinBoxSoundPause->value());
    settings.setValue("Count", ui->spinBoxSoundCount->value());
    settings.setValue("SeriesPause", ui->spinBoxSoundSeriesPause->value());
    settings.setValue("SeriesCount", ui->spinBoxSoundSeriesCount->value());
    settings.setValue("Tone", ui->doubleSpinBoxSoundTone->value());
    settings.endGroup();

    settings.beginGroup("FFT");
    settings.setValue("Count", ui->comboBoxFFTcount->currentIndex());
    settings.setValue("Window", ui->comboBoxFFTwindow->currentIndex());
    settings.endGroup();

    settings.beginGroup("Spectrum");
    settings.setValue("ScaleX", ui->comboBoxSpectrumScaleX->currentIndex());
    settings.setValue("ScaleY", ui->comboBoxSpectrumScaleY->currentIndex());
    settings.setValue("Legend", ui->checkBoxSpectrumLegend->isChecked());
    settings.endGroup();

    settings.beginGroup("View");
    const structViewSettings& view = this->view->settings();
    settings.setValue("Mode", viewModeNames[int(view.mode)]);
    settings.setValue("Sensitivity", view.sensitivity);
    settings.setValue("Window", view.window);
    settings.setValue("HighPass", view.highPass);
    settings.setValue("LowPass", view.lowPass);
    settings.setValue("Notch", view.notch);
    settings.setValue("Montage", montageNames[int(view.montage)]);
    settings.endGroup();

    settings.beginGroup("Recording");
    settings.setValue("On", recording->isOn());
    settings.setValue("Folder", recording->folder());
    settings.endGroup();

    exam->saveSettings(settings);
}
