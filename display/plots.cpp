#include "display/plots.h"

#include "capture/capturestore.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWheelEvent>
#include <cmath>
#include <qcustomplot.h>

namespace
{

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

} // namespace

QColor channelColor(int index)
{
    double hue = std::fmod(index * 0.618033988749895, 1.0);
    return QColor::fromHslF(hue, 0.9, 0.5, 1.0);
}

QString channelName(int index)
{
    return tr("Канал %1").arg(index + 1);
}

QString storeChannelName(const CaptureStore& store, int index)
{
    if (index < 0 || index >= store.channelCount())
        return channelName(index);
    const QString label = store.channel(index).label.trimmed();
    if (label.isEmpty() || (store.period() > 0 && label == QString::number(index + 1)))
        return channelName(index);
    return label;
}

void setupPlotInteractions(QCustomPlot* plot)
{
    plot->setInteraction(QCP::iRangeZoom, false);
    plot->setInteraction(QCP::iRangeDrag, true);
}

void setupSignalPlot(QCustomPlot* plot)
{
    plot->axisRect()->setupFullAxesBox(true);
    plot->xAxis->setRange(-1, 1);
    plot->xAxis->setLabel(tr("Время, сек"));
    plot->yAxis->setRange(0, 1);
    setupPlotInteractions(plot);
}

void setupSpectrumAxes(QCustomPlot* plot)
{
    plot->axisRect()->setupFullAxesBox(true);
    plot->xAxis->setRange(0, 250);
    plot->xAxis->setLabel(tr("Частота, Гц"));
}

void createChannelGraphs(QCustomPlot* plot, QCPGraph* graphs[channelCount])
{
    for (int c = 0; c < channelCount; ++c) {
        QPen pen(channelColor(c));
        pen.setWidth(1);
        graphs[c] = new QCPGraph(plot->xAxis, plot->yAxis);
        graphs[c]->setPen(pen);
        graphs[c]->setName(channelName(c));
    }
}

void setSpectrumAxisScale(QCustomPlot* plot, Qt::Orientation axes, int index,
                          const QSharedPointer<QCPAxisTicker>& logTicker,
                          const QSharedPointer<QCPAxisTicker>& linearTicker)
{
    // The labelled axis of the pair carries the number format; its mirror only
    // follows the ticks.
    QCPAxis* labelled = axes == Qt::Horizontal ? plot->xAxis : plot->yAxis;
    QCPAxis* mirror = axes == Qt::Horizontal ? plot->xAxis2 : plot->yAxis2;
    bool logarithmic = index == 0;
    for (QCPAxis* axis : {labelled, mirror}) {
        axis->setTicker(logarithmic ? logTicker : linearTicker);
        axis->setScaleType(logarithmic ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
    }
    labelled->setNumberFormat(logarithmic ? "eb" : "gb");
    labelled->setNumberPrecision(logarithmic ? 0 : 6);
    plot->replot();
}

bool setChannelSpectrum(QCPGraph* const graphs[channelCount], int channel,
                        const QVector<double>& frequencies, const QVector<double>& amplitudes)
{
    if (channel < 0 || channel >= channelCount)
        return false;
    graphs[channel]->setData(frequencies, amplitudes, true);
    return true;
}

void clearGraphs(QCPGraph* const graphs[channelCount])
{
    for (int c = 0; c < channelCount; ++c)
        graphs[c]->data()->clear();
}

void fitPlot(QCustomPlot* plot)
{
    plot->rescaleAxes();
    plot->replot();
}

void zoomPlotByWheel(QCustomPlot* plot, QWheelEvent* event)
{
    QCPAxisRect* rect = plot->axisRect();
    if (!rect)
        return;
    Qt::Orientations orientations = rect->rangeZoom();
    if (!orientations)
        return;
    QPoint delta = event->angleDelta();
    double steps = (delta.y() != 0 ? delta.y() : delta.x()) / 120.0;
    QPoint pixel = event->position().toPoint();
    Qt::KeyboardModifiers keys = event->modifiers();
    if (orientations.testFlag(Qt::Horizontal) && !keys.testFlag(Qt::ControlModifier)) {
        double factor = std::pow(rect->rangeZoomFactor(Qt::Horizontal), steps);
        if (QCPAxis* axis = rect->rangeZoomAxis(Qt::Horizontal))
            axis->scaleRange(factor, axis->pixelToCoord(pixel.x()));
    }
    if (orientations.testFlag(Qt::Vertical) && !keys.testFlag(Qt::ShiftModifier)) {
        double factor = std::pow(rect->rangeZoomFactor(Qt::Vertical), steps);
        if (QCPAxis* axis = rect->rangeZoomAxis(Qt::Vertical))
            axis->scaleRange(factor, axis->pixelToCoord(pixel.y()));
    }
    plot->replot();
}

QPointF cursorCoordinates(QCustomPlot* plot, const QMouseEvent* event)
{
    QPoint pixel = event->pos();
    return QPointF(plot->xAxis->pixelToCoord(pixel.x()), plot->yAxis->pixelToCoord(pixel.y()));
}

QString signalReadout(double seconds, double volts)
{
    return tr("Время=%1сек; Напряжение=%2В").arg(seconds, 0, 'f', 3).arg(volts, 0, 'g', 6);
}

QString spectrumReadout(double hertz, double amplitude)
{
    return tr("Частота=%1Гц; Значение=%2").arg(hertz, 0, 'f', 3).arg(amplitude, 0, 'g', 6);
}
