#ifndef RECORDING_H
#define RECORDING_H

// File > Save's choice of format; the writing itself is saveRecording's, on
// the core layer (recorder/capturefile.h).

#include "recorder/capturefile.h"

#include <QString>

// The format a chosen file name asks for: ".bdf" (case ignored) gives BDF+,
// ".edf" EDF+, any other name the format of the filter chosen in the dialog.
RecordingFormat recordingFormatFor(const QString& fileName, RecordingFormat chosen);

#endif // RECORDING_H
