// The spectra plot: one amplitude spectrum per channel, as the device sends
// them during a capture or as review computes them for the block at the left
// edge of the view; its axes' scales, the automatic fit (the "auto scale" box)
// and the operator's panning and zooming with the mouse.
#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QStringList>
#include <QVector>

#include "device/types.h"

class CaptureStore;
class QCheckBox;
class QCPAxisTicker;
class QCPAxisTickerLog;
class QCPGraph;
class QCustomPlot;
class QMouseEvent;
class QWheelEvent;

// Zooms `plot` by the wheel unless the plot zooms by itself.
void zoomByWheel(QCustomPlot* plot, QWheelEvent* event);

class SpectrumPanel : public QObject
{
    Q_OBJECT

public:
    // `autoScale` is the box that keeps the axes fitted to the spectra.
    SpectrumPanel(QCustomPlot* plot, QCheckBox* autoScale, QObject* parent = nullptr);

    // Linear (0) or logarithmic (1) axes.
    void setScale(Qt::Orientation axes, int index);
    void setNames(const QStringList& names);
    // A channel's spectrum from the device.
    void showSpectrum(int channel, const QVector<double>& frequencies,
                      const QVector<double>& amplitudes);
    // Each channel's spectrum of the `count` samples from `left` seconds on
    // (window kind `kind`); channels with fewer samples are left empty.
    void showBlocks(const CaptureStore& store, double left, quint32 count, int kind);
    // Empties every spectrum and replots.
    void clear();
    void fitAll();
    // Replots when a spectrum came in since the last call.
    void replotIfDue();

    // The operator's mouse on the plot: the readout under the cursor.
    QString mouseMoved(QMouseEvent* event);
    void doubleClicked();
    void wheeled(QWheelEvent* event);

private:
    void spectraChanged();

    QCustomPlot* plot;
    QCheckBox* autoScale;
    QCPGraph* graphs[channelCount];
    QSharedPointer<QCPAxisTickerLog> tickerLogX, tickerLogY;
    QSharedPointer<QCPAxisTicker> tickerLinearX, tickerLinearY;
    bool due = false;
};
