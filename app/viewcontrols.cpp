// MainWindow: the view controls of the Вид menu and tool bar. Each keeps its
// part of the view record; the drawing reads the record and follows its
// announcements.

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

namespace
{

// The step at a combo index, or the current value when the combo has no
// current item.
template <std::size_t N> double stepAt(const double (&steps)[N], int index, double current)
{
    return index >= 0 && std::size_t(index) < N ? steps[index] : current;
}

} // namespace

void MainWindow::setViewSettings(const structViewSettings& settings)
{
    if (settings == view)
        return;
    view = settings;
    emit viewSettingsChanged(view);
}

// The two mode actions are exclusive: one handler sees every change.
void MainWindow::on_actionViewLanes_toggled(bool checked)
{
    structViewSettings next = view;
    next.mode = checked ? ViewMode::Lanes : ViewMode::Overlay;
    setViewSettings(next);
}

void MainWindow::on_comboBoxViewSensitivity_currentIndexChanged(int index)
{
    structViewSettings next = view;
    next.sensitivity = stepAt(viewSensitivities, index, view.sensitivity);
    setViewSettings(next);
}

void MainWindow::on_comboBoxViewWindow_currentIndexChanged(int index)
{
    structViewSettings next = view;
    next.window = stepAt(viewWindows, index, view.window);
    setViewSettings(next);
}

void MainWindow::on_comboBoxViewHighPass_currentIndexChanged(int index)
{
    structViewSettings next = view;
    next.highPass = stepAt(viewHighPasses, index, view.highPass);
    setViewSettings(next);
}

void MainWindow::on_comboBoxViewLowPass_currentIndexChanged(int index)
{
    structViewSettings next = view;
    next.lowPass = stepAt(viewLowPasses, index, view.lowPass);
    setViewSettings(next);
}

void MainWindow::on_comboBoxViewNotch_currentIndexChanged(int index)
{
    structViewSettings next = view;
    next.notch = stepAt(viewNotches, index, view.notch);
    setViewSettings(next);
}

void MainWindow::setMontage(int index)
{
    structViewSettings next = view;
    if (index >= 0 && index <= int(MontageKind::Longitudinal))
        next.montage = MontageKind(index);
    setViewSettings(next);
}
