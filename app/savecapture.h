// File > Save: the dialog, the choice of format and the messages around the
// capture-file writer.
#pragma once

class CaptureStore;
class QWidget;
namespace exam
{
struct PatientDetails;
}

// Asks for a file name and writes the store there; true when the file was
// written. `patient`, when given, fills the identification fields.
bool saveCaptureAs(QWidget* parent, const CaptureStore& store, const exam::PatientDetails* patient);
