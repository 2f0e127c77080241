// The tables of an analysis as CSV (UTF-8, one header line, a decimal point,
// a field quoted when it holds a comma, a quote or a line break; a figure that
// does not exist is an empty field) and as aligned text for a terminal.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct AnalysisResult;

// A table: its column names (as in the CSV header) and rows of fields.
struct AnalysisTable {
    QStringList columns;
    QVector<QStringList> rows;
};

// One row per channel and band:
// channel,band,low_hz,high_hz,absolute_uv2,relative_percent
AnalysisTable bandTable(const AnalysisResult& result);
// One row per channel: the statistics, the peak alpha frequency and the
// mains share.
AnalysisTable statisticsTable(const AnalysisResult& result);
// One row per light train and channel.
AnalysisTable photicTable(const AnalysisResult& result);

QByteArray tableCsv(const AnalysisTable& table);
QString tableText(const AnalysisTable& table);

// A figure as the tables write it: up to `digits` significant digits, empty
// when it is not a number.
QString figure(double value, int digits = 6);
