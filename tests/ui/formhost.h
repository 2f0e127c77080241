// A bare main window that carries the form, standing in for the controller:
// it has every handler slot the form binds by name, and each slot only notes
// that it ran (with its argument), so tests can see which handlers a change
// reaches.
#pragma once

#include "ui_mainwindow.h"

#include <QMainWindow>
#include <QStringList>

class FormHost : public QMainWindow
{
    Q_OBJECT
public:
    explicit FormHost(QWidget* parent = nullptr) : QMainWindow(parent) { ui.setupUi(this); }

    Ui::MainWindow ui;
    QStringList calls;

private slots:
    void on_actionStart_triggered() { note("on_actionStart_triggered"); }
    void on_actionStop_triggered() { note("on_actionStop_triggered"); }
    void on_actionAbout_triggered() { note("on_actionAbout_triggered"); }
    void on_actionClear_triggered() { note("on_actionClear_triggered"); }
    void on_actionZoom_triggered() { note("on_actionZoom_triggered"); }
    void on_actionOpen_triggered() { note("on_actionOpen_triggered"); }
    void on_actionSave_triggered() { note("on_actionSave_triggered"); }
    void on_actionExit_triggered() { note("on_actionExit_triggered"); }
    void on_actionAnalysisFourier_triggered() { note("on_actionAnalysisFourier_triggered"); }
    void on_actionAnalysisStatistics_triggered() { note("on_actionAnalysisStatistics_triggered"); }
    void on_actionAnalysisSendVARN_triggered() { note("on_actionAnalysisSendVARN_triggered"); }
    void on_comboBoxConnectionPort_currentIndexChanged(const QString& arg1)
    {
        note("on_comboBoxConnectionPort_currentIndexChanged", arg1);
    }
    void on_comboBoxFFTcount_currentIndexChanged(const QString& arg1)
    {
        note("on_comboBoxFFTcount_currentIndexChanged", arg1);
    }
    void on_comboBoxFFTwindow_currentIndexChanged(int index)
    {
        note("on_comboBoxFFTwindow_currentIndexChanged", QString::number(index));
    }
    void on_comboBoxSpectrumScaleX_currentIndexChanged(int index)
    {
        note("on_comboBoxSpectrumScaleX_currentIndexChanged", QString::number(index));
    }
    void on_comboBoxSpectrumScaleY_currentIndexChanged(int index)
    {
        note("on_comboBoxSpectrumScaleY_currentIndexChanged", QString::number(index));
    }
    void on_checkBoxSpectrumLegend_toggled(bool checked)
    {
        note("on_checkBoxSpectrumLegend_toggled", checked ? "true" : "false");
    }
    void on_checkBoxSpectrumLegend_stateChanged(int arg1)
    {
        note("on_checkBoxSpectrumLegend_stateChanged", QString::number(arg1));
    }
    void on_checkBoxSpectrumScale_toggled(bool checked)
    {
        note("on_checkBoxSpectrumScale_toggled", checked ? "true" : "false");
    }
    void on_horizontalSliderCaptureAdc_valueChanged(int value)
    {
        note("on_horizontalSliderCaptureAdc_valueChanged", QString::number(value));
    }
    void on_doubleSpinBoxCapturePeriod_valueChanged(double arg1)
    {
        note("on_doubleSpinBoxCapturePeriod_valueChanged", QString::number(arg1));
    }
    void on_doubleSpinBoxCaptureFreq_valueChanged(double arg1)
    {
        note("on_doubleSpinBoxCaptureFreq_valueChanged", QString::number(arg1));
    }
    void on_pushButtonCmdSend_clicked() { note("on_pushButtonCmdSend_clicked"); }
    void on_pushButtonLightStart_clicked() { note("on_pushButtonLightStart_clicked"); }
    void on_pushButtonLightStop_clicked() { note("on_pushButtonLightStop_clicked"); }
    void on_pushButtonSoundStart_clicked() { note("on_pushButtonSoundStart_clicked"); }
    void on_pushButtonSoundStop_clicked() { note("on_pushButtonSoundStop_clicked"); }
    void on_actionViewLanes_toggled(bool checked)
    {
        note("on_actionViewLanes_toggled", checked ? "true" : "false");
    }
    void on_comboBoxViewSensitivity_currentIndexChanged(int index)
    {
        note("on_comboBoxViewSensitivity_currentIndexChanged", QString::number(index));
    }
    void on_comboBoxViewWindow_currentIndexChanged(int index)
    {
        note("on_comboBoxViewWindow_currentIndexChanged", QString::number(index));
    }
    void on_comboBoxViewHighPass_currentIndexChanged(int index)
    {
        note("on_comboBoxViewHighPass_currentIndexChanged", QString::number(index));
    }
    void on_comboBoxViewLowPass_currentIndexChanged(int index)
    {
        note("on_comboBoxViewLowPass_currentIndexChanged", QString::number(index));
    }
    void on_comboBoxViewNotch_currentIndexChanged(int index)
    {
        note("on_comboBoxViewNotch_currentIndexChanged", QString::number(index));
    }

private:
    void note(const char* slot, const QString& arg = QString())
    {
        calls << QStringLiteral("%1(%2)").arg(QLatin1String(slot), arg);
    }
};
