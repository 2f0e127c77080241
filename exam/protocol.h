// Examination protocols: a list of timed steps (light and sound trains, rests,
// operator marks, waits for the operator) that the window and neurask-record
// run against a live capture, and the arithmetic that turns a train of F Hz
// for T s into the headset's stimulation parameters.
//
// A light train is one light start: its flash duration and pause (in the
// headset's 0.05 ms units) give the flash period closest to 1/F, and its count
// covers T. The frequency the headset will really flash at is reported beside
// the one asked for, so the file says what the patient saw.
//
// Protocols are kept as plain text, one step a line (see protocolFromText),
// so that a user can write one by hand and a script can pass one to
// neurask-record.
#pragma once

#include "device/types.h"

#include <QString>
#include <QVector>

namespace exam
{

struct ProtocolStep {
    enum class Kind {
        Light, // a light train: `frequency` Hz for `seconds`, `level` % brightness
        Sound, // a sound train: `frequency` Hz beeps for `seconds`, `level` % volume, `tone` µs
        Rest,  // nothing for `seconds`
        Mark,  // an operator mark `text`, at once
        Wait,  // show `text` and wait until the operator goes on
    };
    Kind kind = Kind::Rest;
    double frequency = 0;
    double seconds = 0;
    double level = 100;
    double tone = 1000;
    QString text;

    bool operator==(const ProtocolStep& o) const;
};

struct Protocol {
    QString name;
    QVector<ProtocolStep> steps;

    // Planned length in seconds, waits for the operator counted as 0.
    double plannedSeconds() const;
    bool operator==(const Protocol& o) const { return name == o.name && steps == o.steps; }
};

// One light train as the headset will run it.
struct LightTrain {
    structLightParam param{};
    double achievedHz = 0; // 1 / (flash + pause)
    double seconds = 0;    // count × (flash + pause)
};
struct SoundTrain {
    structSoundParam param{};
    double achievedHz = 0;
    double seconds = 0;
};

// The flash lasts `flashMs` or half the period, whichever is shorter; the
// period is the nearest the 0.05 ms units allow. Frequencies outside
// 0.5..100 Hz and non-positive lengths are refused (ok = false).
LightTrain lightTrain(double hz, double seconds, double brightnessPercent, bool* ok = nullptr,
                      double flashMs = 10.0);
SoundTrain soundTrain(double hz, double seconds, double volumePercent, double toneMicroseconds,
                      bool* ok = nullptr, double beepMs = 50.0);

// The annotation of a light train the headset confirmed: "Фотостимуляция 10 Гц",
// or, when the units could not give F exactly, the frequency achieved, as
// "Фотостимуляция 29.985 Гц" (a decimal point, so that scripts read it back).
// Its duration is the train's.
QString lightTrainText(double askedHz, const LightTrain& train);
// The note left when a light train is cut short.
QString lightAbortedText();

// The customary photic stimulation (10 s trains at 1..30 Hz with 10 s rests)
// and hyperventilation (3 min, then 3 min of recovery marked each minute).
Protocol photicPreset();
Protocol hyperventilationPreset();

// The text form, one step a line; a line starting with '#' is a comment, blank
// lines are skipped:
//   name <text>
//   light <Hz> <seconds> [<brightness %>]
//   sound <Hz> <seconds> [<volume %> [<tone µs>]]
//   rest <seconds>
//   mark <text>
//   wait <text>
// Numbers take a decimal point. A line that cannot be read is refused with
// its number in `error`; nothing is half-read.
bool protocolFromText(const QString& text, Protocol& out, QString* error = nullptr);
QString protocolToText(const Protocol& protocol);

} // namespace exam
