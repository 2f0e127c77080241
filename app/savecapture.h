// File > Save: the dialog, the choice of format and the messages around the
// capture-file writer.
#pragma once

#include <QString>

#include "recorder/capturefile.h"

class CaptureStore;
class QWidget;
namespace exam
{
struct PatientDetails;
}

// Asks for a file name and writes the store there; true when the file was
// written. `patient`, when given, fills the identification fields.
bool saveCaptureAs(QWidget* parent, const CaptureStore& store, const exam::PatientDetails* patient);

// The format a chosen file name asks for: ".bdf" (case ignored) gives BDF+,
// ".edf" EDF+, any other name the format of the filter chosen in the dialog.
RecordingFormat recordingFormatFor(const QString& fileName, RecordingFormat chosen);
