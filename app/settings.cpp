#include "app/mainwindow.h"

#include "ui_mainwindow.h"

// Restores the operator's choices. Only the capture rate's first-start value is
// applied so far; the stored values are not read yet.
void MainWindow::loadSettings()
{
    if (ui->comboBoxConnectionPort->currentIndex() < 0)
        ui->comboBoxConnectionPort->setCurrentIndex(0);
    ui->horizontalSliderCaptureAdc->setValue(16000);
    on_horizontalSliderCaptureAdc_valueChanged(ui->horizontalSliderCaptureAdc->value());
}

// Keeps the operator's choices for the next start: nothing is stored yet.
void MainWindow::saveSettings() {}
