// The headset's controls on the form: Start and Stop, the port, the capture
// rate (a slider of sample periods with its milliseconds and hertz boxes), the
// spectra's length and window, the terminal, the light and sound stimulators,
// and the link's counters in the status bar. What is enabled follows three
// states that other parts own: the headset is connected, a capture runs, a
// file is shown; each change passes them in.
#pragma once

#include <QObject>

#include "device/types.h"

class QLabel;
namespace Ui
{
class MainWindow;
}

class CaptureControls : public QObject
{
    Q_OBJECT

public:
    CaptureControls(Ui::MainWindow* form, QObject* parent);

    void connectionChanged(bool connected, bool reviewing);
    void captureChanged(bool capturing, bool reviewing);
    // A file was shown, or closed (after connectionChanged).
    void reviewChanged(bool connected, bool capturing, bool reviewing);
    // Start sent: no second one until the headset answers.
    void startSent();
    bool startEnabled() const;
    // A confirmed capture's period onto the slider (when it can show it).
    void showPeriod(quint16 period);

    // The sample period chosen, in ticks of 125 ns.
    quint16 period() const;
    // One of the three views of the period changed: the others follow.
    void periodTicksChanged(int ticks);
    void periodMsChanged(double ms);
    void frequencyChanged(double hertz);

    structLightParam light() const;
    structSoundParam sound() const;

    void setSpeed(quint32 tx, quint32 rx);
    void setSkipped(quint64 samples);

private:
    void applyReview(bool reviewing);

    Ui::MainWindow* ui;
    QLabel* labelSpeed;
    QLabel* labelSkips;
};
