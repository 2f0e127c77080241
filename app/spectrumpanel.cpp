#include "app/spectrumpanel.h"

#include <QCheckBox>
#include <qcustomplot.h>

#include <algorithm>

#include "analysis/spectrum.h"
#include "capture/capturestore.h"
#include "display/plots.h"
#include "exam/electrodes.h"

SpectrumPanel::SpectrumPanel(QCustomPlot* spectra, QCheckBox* box, QObject* parent)
    : QObject(parent), plot(spectra), autoScale(box)
{
    setupSpectrumAxes(plot);
    tickerLogX.reset(new QCPAxisTickerLog);
    tickerLogY.reset(new QCPAxisTickerLog);
    tickerLinearX = plot->xAxis->ticker();
    tickerLinearY = plot->yAxis->ticker();
    setScale(Qt::Horizontal, 0);
    setScale(Qt::Vertical, 0);
    plot->xAxis->setRange(0, 250);
    plot->yAxis->setRange(0, 1);
    setupPlotInteractions(plot);
    createChannelGraphs(plot, graphs);
}

void SpectrumPanel::setScale(Qt::Orientation axes, int index)
{
    if (axes == Qt::Horizontal)
        setSpectrumAxisScale(plot, axes, index, tickerLogX, tickerLinearX);
    else
        setSpectrumAxisScale(plot, axes, index, tickerLogY, tickerLinearY);
}

void SpectrumPanel::setNames(const QStringList& names)
{
    for (int c = 0; c < channelCount; ++c)
        graphs[c]->setName(exam::displayName(c, names.value(c)));
    due = true;
}

void SpectrumPanel::showSpectrum(int channel, const QVector<double>& frequencies,
                                 const QVector<double>& amplitudes)
{
    if (setChannelSpectrum(graphs, channel, frequencies, amplitudes))
        spectraChanged();
}

void SpectrumPanel::showBlocks(const CaptureStore& store, double left, quint32 count, int kind)
{
    QVector<double> values, frequencies, spectrum;
    for (int c = 0; c < channelCount; ++c) {
        const qint64 n = c < store.channelCount() ? store.sampleCount(c) : 0;
        if (count < 2 || n < qint64(count)) {
            graphs[c]->data()->clear();
            continue;
        }
        const qint64 first = std::min(store.firstIndexFrom(c, left), n - qint64(count));
        values.resize(int(count));
        for (quint32 i = 0; i < count; ++i)
            values[int(i)] = store.value(c, first + i);
        spectrumOfBlock(spectrum, values.constData(), count, kind);
        spectrumFrequenciesAt(frequencies, store.channel(c).samplesPerSecond, count);
        setChannelSpectrum(graphs, c, frequencies, spectrum);
    }
    spectraChanged();
}

void SpectrumPanel::spectraChanged()
{
    if (autoScale->isChecked()) {
        plot->yAxis->rescale(true);
        plot->xAxis->rescale(true);
    }
    due = true;
}

void SpectrumPanel::clear()
{
    clearGraphs(graphs);
    plot->replot();
}

void SpectrumPanel::fitAll()
{
    plot->rescaleAxes();
    plot->replot();
}

void SpectrumPanel::replotIfDue()
{
    if (!due)
        return;
    plot->replot();
    due = false;
}

QString SpectrumPanel::mouseMoved(QMouseEvent* event)
{
    // Spectra arriving while the operator pans would snap the view back.
    if (event->buttons() == Qt::LeftButton)
        autoScale->setChecked(false);
    const QPointF at = cursorCoordinates(plot, event);
    return spectrumReadout(at.x(), at.y());
}

void SpectrumPanel::doubleClicked()
{
    autoScale->setChecked(true);
    fitPlot(plot);
}

void zoomByWheel(QCustomPlot* plot, QWheelEvent* event)
{
    if (!plot->interactions().testFlag(QCP::iRangeZoom))
        zoomPlotByWheel(plot, event); // else the plot zooms by itself
}

void SpectrumPanel::wheeled(QWheelEvent* event)
{
    autoScale->setChecked(false);
    zoomByWheel(plot, event);
}
