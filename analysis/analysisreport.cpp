#include "analysis/analysisreport.h"

#include <algorithm>
#include <cmath>

#include "analysis/recordinganalysis.h"

QString figure(double value, int digits)
{
    if (!std::isfinite(value))
        return QString();
    return QString::number(value, 'g', digits);
}

AnalysisTable bandTable(const AnalysisResult& result)
{
    AnalysisTable table;
    table.columns =
        QStringList{"channel", "band", "low_hz", "high_hz", "absolute_uv2", "relative_percent"};
    for (const ChannelAnalysis& ch : result.channels) {
        if (!ch.spectral)
            continue;
        for (int b = 0; b < result.request.bands.size(); ++b) {
            const FrequencyBand& band = result.request.bands[b];
            table.rows.append({ch.label, band.name, figure(band.low), figure(band.high),
                               figure(ch.bandAbsolute.value(b, NAN), 8),
                               figure(ch.bandRelative.value(b, NAN), 8)});
        }
    }
    return table;
}

AnalysisTable statisticsTable(const AnalysisResult& result)
{
    AnalysisTable table;
    table.columns = QStringList{"channel",      "unit",          "samples",
                                "seconds",      "mean",          "sd",
                                "rms",          "min",           "max",
                                "peak_to_peak", "peak_alpha_hz", "mains_percent",
                                "flat_seconds", "limit_seconds", "lost_samples",
                                "lost_percent"};
    for (const ChannelAnalysis& ch : result.channels)
        table.rows.append({ch.label, ch.unit, QString::number(ch.samples), figure(ch.seconds, 9),
                           figure(ch.mean), figure(ch.sd), figure(ch.rms), figure(ch.minimum),
                           figure(ch.maximum), figure(ch.peakToPeak), figure(ch.peakAlpha, 4),
                           figure(ch.mainsPercent, 4), figure(ch.flatSeconds),
                           figure(ch.limitSeconds), QString::number(ch.lostSamples),
                           figure(ch.lostPercent, 4)});
    return table;
}

AnalysisTable photicTable(const AnalysisResult& result)
{
    AnalysisTable table;
    table.columns = QStringList{"onset_s",      "duration_s",  "frequency_hz", "rest_s",
                                "channel",      "f_train_uv2", "f_rest_uv2",   "f_db",
                                "2f_train_uv2", "2f_rest_uv2", "2f_db"};
    for (const PhoticTrain& report : result.photic) {
        for (int c = 0; c < result.channels.size() && c < report.channels.size(); ++c) {
            if (!result.channels[c].spectral)
                continue;
            const PhoticChannel& p = report.channels[c];
            table.rows.append({figure(report.train.onset, 9), figure(report.train.duration),
                               figure(report.train.frequency), figure(report.restSeconds),
                               result.channels[c].label, figure(p.trainPower), figure(p.restPower),
                               figure(p.drivenDb, 3), figure(p.trainHarmonic),
                               figure(p.restHarmonic), figure(p.harmonicDb, 3)});
        }
    }
    return table;
}

namespace
{
QString csvField(const QString& text)
{
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    QString quoted = text;
    quoted.replace('"', QStringLiteral("\"\""));
    return '"' + quoted + '"';
}
} // namespace

QByteArray tableCsv(const AnalysisTable& table)
{
    QString out = table.columns.join(',') + '\n';
    for (const QStringList& row : table.rows) {
        QStringList fields;
        for (const QString& field : row)
            fields << csvField(field);
        out += fields.join(',') + '\n';
    }
    return out.toUtf8();
}

QString tableText(const AnalysisTable& table)
{
    QVector<int> widths;
    for (const QString& c : table.columns)
        widths.append(c.size());
    for (const QStringList& row : table.rows)
        for (int i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], int(row[i].size()));
    auto line = [&widths](const QStringList& fields) {
        QString text;
        for (int i = 0; i < fields.size() && i < widths.size(); ++i) {
            // Names to the left, figures to the right.
            text +=
                i == 0 ? fields[i].leftJustified(widths[i]) : fields[i].rightJustified(widths[i]);
            if (i + 1 < fields.size())
                text += QStringLiteral("  ");
        }
        return text + '\n';
    };
    QString out = line(table.columns);
    for (const QStringList& row : table.rows)
        out += line(row);
    return out;
}
