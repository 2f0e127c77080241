// Montages for the signal view: what each lane shows, derived from the
// channels as recorded. Display only, like the display filters: files, Save
// and the spectra keep the channels as recorded.
//
// - As recorded: one row per channel.
// - Average reference: each channel minus the mean of all channels.
// - Bipolar: each row the difference of two named electrodes (Fp1-F3, ...);
//   a pair whose names are not both among the electrodes is left out and
//   reported, never guessed.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <utility>

struct Derivation {
    int plus = 0;   // channel index
    int minus = -1; // channel index, or noReference / averageReference
    QString name;   // "Fp1-F3", "Fp1-Ср", or the channel's own name

    static constexpr int noReference = -1;
    static constexpr int averageReference = -2;
};

struct Montage {
    enum class Kind { AsRecorded, AverageReference, Bipolar };
    Kind kind = Kind::AsRecorded;
    QVector<Derivation> rows;

    bool isIdentity() const { return kind == Kind::AsRecorded; }
    int channelsUsed() const;
};

// `names` are the channels' display names, one per channel.
Montage asRecordedMontage(const QStringList& names);
Montage averageReferenceMontage(const QStringList& names);
// Pairs by electrode name, matched without regard to case; pairs that cannot
// be made are listed in `missing` ("T3-O1", ...).
Montage bipolarMontage(const QStringList& names, const QVector<std::pair<QString, QString>>& chain,
                       QStringList* missing = nullptr);
// The longitudinal chain over the 12-electrode 10-20 set.
QVector<std::pair<QString, QString>> longitudinalChain();

// Derives `count` samples of every row. `channels[c]` points at channel c's
// samples (all of one length); `rows[r]` receives row r's. A sample that is
// not a finite number stays one in every row that uses it (the average
// reference uses them all).
void applyMontage(const Montage& montage, const double* const* channels, int channelCount,
                  double* const* rows, int count);
