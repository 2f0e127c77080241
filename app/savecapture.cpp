#include "app/savecapture.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>

#include "app/filedialog.h"

namespace
{

QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}

QString errorText(RecordingError error)
{
    switch (error) {
    case RecordingError::None:
        break;
    case RecordingError::Layout:
        return tr("Частоты каналов не позволяют записать их в один файл!");
    case RecordingError::Open:
        return tr("Ошибка открытия файла!");
    case RecordingError::Setup:
        return tr("Ошибка записи заголовка!");
    case RecordingError::DigitalMaximum:
        return tr("edf_set_digital_maximum!");
    case RecordingError::DigitalMinimum:
        return tr("edf_set_digital_minimum!");
    case RecordingError::Write:
        return tr("edfwrite_physical_samples!");
    case RecordingError::Close:
        return tr("edf_close!");
    }
    return QString();
}

} // namespace

RecordingFormat recordingFormatFor(const QString& fileName, RecordingFormat chosen)
{
    const QString suffix = QFileInfo(fileName).suffix();
    if (suffix.compare(QLatin1String("bdf"), Qt::CaseInsensitive) == 0)
        return RecordingFormat::Bdf;
    if (suffix.compare(QLatin1String("edf"), Qt::CaseInsensitive) == 0)
        return RecordingFormat::Edf;
    return chosen;
}

bool saveCaptureAs(QWidget* parent, const CaptureStore& store, const exam::PatientDetails* patient)
{
    const QString edfFilter = tr("EDF файл (*.edf)");
    const QString bdfFilter = tr("BDF файл (*.bdf)");
    QString chosenFilter;
    QString fileName = FileDialog::getSaveFileName(parent, tr("Сохранить"), QString(),
                                                   edfFilter + ";;" + bdfFilter, &chosenFilter);
    if (fileName.isEmpty())
        return false;
    const RecordingFormat chosen =
        chosenFilter == bdfFilter ? RecordingFormat::Bdf : RecordingFormat::Edf;
    // A new name without a suffix gets the chosen filter's; an existing file
    // (the dialog asked before replacing it) is written as named.
    if (QFileInfo(fileName).suffix().isEmpty() && !QFileInfo::exists(fileName))
        fileName += chosen == RecordingFormat::Bdf ? ".bdf" : ".edf";

    // The store is read in place: no copy of a long capture, and no events
    // are processed until the file is written, so this is one consistent
    // snapshot.
    const RecordingResult result =
        saveRecording(fileName.toLocal8Bit(), store, recordingFormatFor(fileName, chosen), patient);
    if (result.ok())
        return true;
    const QString text = errorText(result.error);
    qDebug() << "saveCaptureAs" << text << result.code << result.records;
    QMessageBox::information(parent, tr("Ошибка"), text, QMessageBox::Ok);
    return false;
}
