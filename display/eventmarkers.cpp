#include "display/eventmarkers.h"

#include <cmath>

#include <algorithm>
#include <climits>

namespace
{
const char* const layerName = "markers";
const QColor lineColor(200, 0, 120);
const QColor spanColor(200, 0, 120, 40);
const QColor labelBackground(255, 255, 255, 210);

QString markersLayer(QCustomPlot* plot)
{
    if (!plot->layer(layerName))
        plot->addLayer(layerName, plot->layer("main"), QCustomPlot::limAbove);
    return layerName;
}
} // namespace

EventMarkers::EventMarkers(QCustomPlot* plot) : QCPLayerable(plot, markersLayer(plot)) {}

void EventMarkers::setMarkers(QVector<EventMarker> markers)
{
    std::stable_sort(markers.begin(), markers.end(),
                     [](const EventMarker& a, const EventMarker& b) { return a.onset < b.onset; });
    list = std::move(markers);
    longest = 0;
    for (const EventMarker& m : list)
        longest = std::max(longest, m.duration);
    drawnIndices.clear();
}

int EventMarkers::addMarker(const EventMarker& marker)
{
    auto at = std::upper_bound(list.begin(), list.end(), marker.onset,
                               [](double t, const EventMarker& m) { return t < m.onset; });
    const int index = int(at - list.begin());
    list.insert(index, marker);
    longest = std::max(longest, marker.duration);
    return index;
}

QString eventRowText(const EventMarker& marker)
{
    const double seconds = std::max(0.0, marker.onset);
    const qint64 s = qint64(std::floor(seconds));
    QString text = QStringLiteral("%1:%2:%3.%4  %5")
                       .arg(s / 3600, 2, 10, QChar('0'))
                       .arg(s / 60 % 60, 2, 10, QChar('0'))
                       .arg(s % 60, 2, 10, QChar('0'))
                       .arg(int((seconds - std::floor(seconds)) * 1000), 3, 10, QChar('0'))
                       .arg(marker.text);
    if (marker.duration > 0)
        text += QStringLiteral(" (%1 с)").arg(marker.duration);
    return text;
}

void EventMarkers::visible(double lower, double upper, int& first, int& last) const
{
    auto byOnset = [](const EventMarker& m, double t) { return m.onset < t; };
    first =
        int(std::lower_bound(list.begin(), list.end(), lower - longest, byOnset) - list.begin());
    last = int(std::upper_bound(list.begin(), list.end(), upper,
                                [](double t, const EventMarker& m) { return t < m.onset; }) -
               list.begin());
    // Of those that began before the view, only spans that reach into it.
    while (first < last && list[first].onset < lower &&
           list[first].onset + std::max(0.0, list[first].duration) < lower)
        ++first;
}

void EventMarkers::applyDefaultAntialiasingHint(QCPPainter* painter) const
{
    applyAntialiasingHint(painter, false, QCP::aeOther);
}

QRect EventMarkers::clipRect() const
{
    return mParentPlot->axisRect()->rect();
}

void EventMarkers::draw(QCPPainter* painter)
{
    drawnIndices.clear();
    if (list.isEmpty())
        return;
    QCPAxis* axis = mParentPlot->xAxis;
    const QRect area = mParentPlot->axisRect()->rect();
    int first = 0, last = 0;
    visible(axis->range().lower, axis->range().upper, first, last);

    const QFontMetrics metrics(painter->font());
    int lastLine = INT_MIN;
    int labelsEnd = INT_MIN;
    for (int i = first; i < last; ++i) {
        const EventMarker& m = list[i];
        const double x = axis->coordToPixel(m.onset);
        if (m.duration > 0) {
            const double end = axis->coordToPixel(m.onset + m.duration);
            const double left = std::max(double(area.left()), std::min(x, end));
            const double right = std::min(double(area.right()), std::max(x, end));
            if (right - left >= 1)
                painter->fillRect(QRectF(left, area.top(), right - left, area.height()), spanColor);
        }
        const int column = int(x);
        if (column == lastLine || x < area.left() || x > area.right())
            continue; // one line per pixel column is all that can be seen
        lastLine = column;
        drawnIndices.append(i);
        painter->setPen(QPen(lineColor, 1, Qt::DashLine));
        painter->drawLine(QLineF(x, area.top(), x, area.bottom()));
        if (!m.text.isEmpty() && column > labelsEnd) {
            const QString text = metrics.elidedText(m.text, Qt::ElideRight, 200);
            const int width = metrics.horizontalAdvance(text);
            // At the foot of the plot (its head carries the plot's own captions),
            // on a light box so that the traces do not hide it.
            const QRectF box(x + 1, area.bottom() - metrics.height() - 3, width + 4,
                             metrics.height() + 2);
            painter->fillRect(box, labelBackground);
            painter->setPen(lineColor);
            painter->drawText(QPointF(x + 3, area.bottom() - metrics.descent() - 2), text);
            labelsEnd = column + width + 6;
        }
    }
}
