#include "app/viewcontrols.h"

namespace
{

// The step at a combo index, or the current value when the combo has no
// current item.
template <std::size_t N> double stepAt(const double (&steps)[N], int index, double current)
{
    return index >= 0 && std::size_t(index) < N ? steps[index] : current;
}

} // namespace

void ViewControls::set(const structViewSettings& settings)
{
    if (settings == view)
        return;
    view = settings;
    emit changed(view);
}

void ViewControls::setLanes(bool lanes)
{
    structViewSettings next = view;
    next.mode = lanes ? ViewMode::Lanes : ViewMode::Overlay;
    set(next);
}

void ViewControls::setSensitivity(int index)
{
    structViewSettings next = view;
    next.sensitivity = stepAt(viewSensitivities, index, view.sensitivity);
    set(next);
}

void ViewControls::setWindow(int index)
{
    structViewSettings next = view;
    next.window = stepAt(viewWindows, index, view.window);
    set(next);
}

void ViewControls::setHighPass(int index)
{
    structViewSettings next = view;
    next.highPass = stepAt(viewHighPasses, index, view.highPass);
    set(next);
}

void ViewControls::setLowPass(int index)
{
    structViewSettings next = view;
    next.lowPass = stepAt(viewLowPasses, index, view.lowPass);
    set(next);
}

void ViewControls::setNotch(int index)
{
    structViewSettings next = view;
    next.notch = stepAt(viewNotches, index, view.notch);
    set(next);
}

void ViewControls::setMontage(int index)
{
    structViewSettings next = view;
    if (index >= 0 && index <= int(MontageKind::Longitudinal))
        next.montage = MontageKind(index);
    set(next);
}
