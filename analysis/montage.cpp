#include "analysis/montage.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

int Montage::channelsUsed() const
{
    int most = 0;
    for (const Derivation& d : rows)
        most = std::max({most, d.plus + 1, d.minus + 1});
    return most;
}

Montage asRecordedMontage(const QStringList& names)
{
    Montage m;
    m.kind = Montage::Kind::AsRecorded;
    for (int c = 0; c < names.size(); ++c)
        m.rows.append({c, Derivation::noReference, names[c]});
    return m;
}

Montage averageReferenceMontage(const QStringList& names)
{
    Montage m;
    m.kind = Montage::Kind::AverageReference;
    for (int c = 0; c < names.size(); ++c)
        m.rows.append({c, Derivation::averageReference, names[c] + QStringLiteral("-Ср")});
    return m;
}

Montage bipolarMontage(const QStringList& names, const QVector<std::pair<QString, QString>>& chain,
                       QStringList* missing)
{
    Montage m;
    m.kind = Montage::Kind::Bipolar;
    auto find = [&names](const QString& name) {
        for (int c = 0; c < names.size(); ++c)
            if (names[c].compare(name, Qt::CaseInsensitive) == 0)
                return c;
        return -1;
    };
    for (const auto& pair : chain) {
        const int a = find(pair.first);
        const int b = find(pair.second);
        const QString name = pair.first + QLatin1Char('-') + pair.second;
        if (a < 0 || b < 0 || a == b) {
            if (missing)
                missing->append(name);
            continue;
        }
        m.rows.append({a, b, name});
    }
    return m;
}

QVector<std::pair<QString, QString>> longitudinalChain()
{
    return {{"Fp1", "F3"}, {"F3", "C3"}, {"C3", "P3"},  {"P3", "O1"}, {"Fp2", "F4"}, {"F4", "C4"},
            {"C4", "P4"},  {"P4", "O2"}, {"Fp1", "T3"}, {"T3", "O1"}, {"Fp2", "T4"}, {"T4", "O2"}};
}

void applyMontage(const Montage& montage, const double* const* channels, int channelCount,
                  double* const* rows, int count)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    bool needMean = false;
    for (const Derivation& d : montage.rows)
        needMean |= d.minus == Derivation::averageReference;
    std::vector<double> mean;
    if (needMean && channelCount > 0) {
        mean.assign(count, 0.0);
        for (int c = 0; c < channelCount; ++c)
            for (int i = 0; i < count; ++i)
                mean[i] += channels[c][i]; // a NaN anywhere makes the mean NaN
        for (double& v : mean)
            v /= channelCount;
    }
    for (int r = 0; r < montage.rows.size(); ++r) {
        const Derivation& d = montage.rows[r];
        double* out = rows[r];
        if (d.plus < 0 || d.plus >= channelCount || d.minus >= channelCount ||
            (d.minus == Derivation::averageReference && mean.empty())) {
            for (int i = 0; i < count; ++i)
                out[i] = nan;
            continue;
        }
        const double* a = channels[d.plus];
        if (d.minus == Derivation::noReference) {
            for (int i = 0; i < count; ++i)
                out[i] = a[i];
        } else {
            const double* b =
                d.minus == Derivation::averageReference ? mean.data() : channels[d.minus];
            for (int i = 0; i < count; ++i)
                out[i] = a[i] - b[i];
        }
    }
}
