// The two plots of the main window: the twelve channel signals over time and
// their amplitude spectra. These functions hold everything the window does to a
// plot, so that they can be exercised on a bare QCustomPlot. All of them run in
// the GUI thread.
#pragma once

#include <QColor>
#include <QPointF>
#include <QSharedPointer>
#include <QString>
#include <QVector>

#include "device/types.h"

class CaptureStore;
class QCPAxis;
class QCPAxisTicker;
class QCPGraph;
class QCustomPlot;
class QMouseEvent;
class QWheelEvent;

// Pen colour of channel `index` (0..11) on both plots: hues a golden-ratio
// fraction apart, starting at red.
QColor channelColor(int index);
// Legend name of channel `index` (0..11): "Канал 1" .. "Канал 12".
QString channelName(int index);
// What channel `index` of a store is called: a live capture's channels by
// number unless the operator named their electrodes, a file's by their labels.
QString storeChannelName(const CaptureStore& store, int index);

// Axes box, ranges, label and mouse interactions of the signal plot.
void setupSignalPlot(QCustomPlot* plot);
// Axes box, ranges and label of the spectrum plot; the tickers and scales are
// chosen afterwards by setSpectrumAxisScale.
void setupSpectrumAxes(QCustomPlot* plot);
// Mouse interactions shared by both plots: dragging pans, the wheel is ours.
void setupPlotInteractions(QCustomPlot* plot);

// Creates one graph per channel on the plot's bottom and left axes, with the
// channel's pen and name, and stores them in `graphs`.
void createChannelGraphs(QCustomPlot* plot, QCPGraph* graphs[channelCount]);

// Switches the bottom/top (Qt::Horizontal) or left/right (Qt::Vertical) axis
// pair of `plot` to a logarithmic scale (index 0) or back to a linear one (any
// other index), and replots.
void setSpectrumAxisScale(QCustomPlot* plot, Qt::Orientation axes, int index,
                          const QSharedPointer<QCPAxisTicker>& logTicker,
                          const QSharedPointer<QCPAxisTicker>& linearTicker);

// Replaces the spectrum of `channel`. Returns false, changing nothing, for a
// channel outside 0..11.
bool setChannelSpectrum(QCPGraph* const graphs[channelCount], int channel,
                        const QVector<double>& frequencies, const QVector<double>& amplitudes);

// Empties every graph.
void clearGraphs(QCPGraph* const graphs[channelCount]);

// Fits all axes of the plot to all its graphs and replots.
void fitPlot(QCustomPlot* plot);

// Zooms the plot's first axis rect about the cursor. Ctrl keeps the key axis,
// Shift keeps the value axis.
void zoomPlotByWheel(QCustomPlot* plot, QWheelEvent* event);

// Plot coordinates (bottom axis, left axis) under the cursor, taken at whole
// pixels.
QPointF cursorCoordinates(QCustomPlot* plot, const QMouseEvent* event);
QString signalReadout(double seconds, double volts);
QString spectrumReadout(double hertz, double amplitude);
