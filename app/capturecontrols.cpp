#include "app/capturecontrols.h"

#include <QDebug>

#include "app/conversions.h"
#include "display/statusbar.h"
#include "ui_mainwindow.h"

CaptureControls::CaptureControls(Ui::MainWindow* form, QObject* parent) : QObject(parent), ui(form)
{
    labelSpeed = addStatusCounter(ui->statusBar, speedText(0, 0), tr("Скорость обмена (байт/сек)"));
    labelSkips =
        addStatusCounter(ui->statusBar, skipsText(0), tr("Количество пропущенных пакетов"));
}

void CaptureControls::connectionChanged(bool connected, bool reviewing)
{
    ui->comboBoxConnectionPort->setEnabled(!connected);
    ui->actionStart->setEnabled(connected);
    ui->actionStop->setEnabled(false);
    QWidget* const controls[] = {
        ui->lineEditCmd,
        ui->pushButtonCmdSend,
        ui->doubleSpinBoxCapturePeriod,
        ui->doubleSpinBoxCaptureFreq,
        ui->horizontalSliderCaptureAdc,
        ui->comboBoxFFTcount,
        ui->comboBoxFFTwindow,
        ui->doubleSpinBoxLightBright,
        ui->doubleSpinBoxLightDuration,
        ui->doubleSpinBoxLightPause,
        ui->spinBoxLightCount,
        ui->spinBoxLightSeriesPause,
        ui->spinBoxLightSeriesCount,
        ui->pushButtonLightStart,
        ui->pushButtonLightStop,
        ui->doubleSpinBoxSoundVolume,
        ui->doubleSpinBoxSoundDuration,
        ui->doubleSpinBoxSoundPause,
        ui->spinBoxSoundCount,
        ui->spinBoxSoundSeriesPause,
        ui->spinBoxSoundSeriesCount,
        ui->doubleSpinBoxSoundTone,
        ui->pushButtonSoundStart,
        ui->pushButtonSoundStop,
    };
    for (QWidget* control : controls)
        control->setEnabled(connected);
    applyReview(reviewing);
}

void CaptureControls::captureChanged(bool capturing, bool reviewing)
{
    if (capturing)
        ui->actionStop->setEnabled(true);
    else
        ui->actionStart->setEnabled(true);
    ui->doubleSpinBoxCapturePeriod->setEnabled(!capturing);
    ui->doubleSpinBoxCaptureFreq->setEnabled(!capturing);
    ui->horizontalSliderCaptureAdc->setEnabled(!capturing);
    applyReview(reviewing);
}

void CaptureControls::reviewChanged(bool connected, bool capturing, bool reviewing)
{
    if (reviewing) {
        applyReview(true);
        return;
    }
    // After the connection's state is back (connectionChanged), a capture that
    // the Open stopped may not have confirmed its stop yet.
    if (connected && capturing) {
        ui->actionStart->setEnabled(false);
        ui->actionStop->setEnabled(true);
        ui->doubleSpinBoxCapturePeriod->setEnabled(false);
        ui->doubleSpinBoxCaptureFreq->setEnabled(false);
        ui->horizontalSliderCaptureAdc->setEnabled(false);
    }
}

void CaptureControls::applyReview(bool reviewing)
{
    ui->actionClear->setEnabled(!reviewing); // a file is closed, not cleared
    if (!reviewing)
        return;
    // Start stays (when a headset is there): it asks to close the file.
    ui->actionStop->setEnabled(false);
    ui->doubleSpinBoxCapturePeriod->setEnabled(false);
    ui->doubleSpinBoxCaptureFreq->setEnabled(false);
    ui->horizontalSliderCaptureAdc->setEnabled(false);
    // The file's spectra follow the same controls.
    ui->comboBoxFFTcount->setEnabled(true);
    ui->comboBoxFFTwindow->setEnabled(true);
}

void CaptureControls::startSent()
{
    ui->actionStart->setEnabled(false);
}

bool CaptureControls::startEnabled() const
{
    return ui->actionStart->isEnabled();
}

void CaptureControls::showPeriod(quint16 period)
{
    QSlider* slider = ui->horizontalSliderCaptureAdc;
    if (period >= slider->minimum() && period <= slider->maximum())
        slider->setValue(period);
}

quint16 CaptureControls::period() const
{
    return static_cast<quint16>(ui->horizontalSliderCaptureAdc->value());
}

// The slider holds the sample period in ticks of 125 ns; the two boxes show it
// as milliseconds and hertz. Each control sets the others, and the boxes round
// to their own precision, so the slider settles on the nearest period they can
// express.
void CaptureControls::periodTicksChanged(int ticks)
{
    ui->doubleSpinBoxCapturePeriod->setValue(periodMsFromTicks(ticks));
    ui->doubleSpinBoxCaptureFreq->setValue(frequencyHzFromTicks(ticks));
    qDebug() << ticks;
}

void CaptureControls::periodMsChanged(double ms)
{
    ui->horizontalSliderCaptureAdc->setValue(ticksFromPeriodMs(ms));
}

void CaptureControls::frequencyChanged(double hertz)
{
    ui->horizontalSliderCaptureAdc->setValue(ticksFromFrequencyHz(hertz));
}

structLightParam CaptureControls::light() const
{
    return makeLightParam(
        ui->doubleSpinBoxLightBright->value(), ui->doubleSpinBoxLightDuration->value(),
        ui->doubleSpinBoxLightPause->value(), ui->spinBoxLightCount->value(),
        ui->spinBoxLightSeriesPause->value(), ui->spinBoxLightSeriesCount->value());
}

structSoundParam CaptureControls::sound() const
{
    return makeSoundParam(ui->doubleSpinBoxSoundVolume->value(),
                          ui->doubleSpinBoxSoundDuration->value(),
                          ui->doubleSpinBoxSoundPause->value(), ui->spinBoxSoundCount->value(),
                          ui->doubleSpinBoxSoundTone->value(), ui->spinBoxSoundSeriesPause->value(),
                          ui->spinBoxSoundSeriesCount->value());
}

void CaptureControls::setSpeed(quint32 tx, quint32 rx)
{
    labelSpeed->setText(speedText(tx, rx));
}

void CaptureControls::setSkipped(quint64 samples)
{
    labelSkips->setText(skipsText(samples));
}
