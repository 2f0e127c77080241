#include "app/recording.h"

#include <QFileInfo>

RecordingFormat recordingFormatFor(const QString& fileName, RecordingFormat chosen)
{
    const QString suffix = QFileInfo(fileName).suffix();
    if (suffix.compare(QLatin1String("bdf"), Qt::CaseInsensitive) == 0)
        return RecordingFormat::Bdf;
    if (suffix.compare(QLatin1String("edf"), Qt::CaseInsensitive) == 0)
        return RecordingFormat::Edf;
    return chosen;
}
