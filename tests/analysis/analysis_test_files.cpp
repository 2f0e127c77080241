// Writes our own recordings for the comparison of the analysis with MNE: an
// EEG-like live capture at 909 Hz saved as BDF+ and at 500 Hz saved as EDF+,
// each with a light train among its events.
#include <QCoreApplication>
#include <QDir>
#include <cstdio>

#include "recorder/capturefile.h"
#include "synthetic_eeg.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const struct {
        quint16 period;
        const char* name;
        RecordingFormat format;
    } files[] = {{8800, "own909.bdf", RecordingFormat::Bdf},
                 {16000, "own500.edf", RecordingFormat::Edf}};
    quint32 seed = 7;
    for (const auto& f : files) {
        CaptureStore store;
        fillSyntheticEeg(store, f.period, 64, seed++);
        const double fs = 1.0 / (f.period * CaptureStore::tickSeconds);
        store.addEvent(quint64(20 * fs), QStringLiteral("Свет 100% 50/50мс x100 1000мс x1"));
        const RecordingResult r =
            saveRecording(QFile::encodeName(dir.filePath(f.name)), store, f.format);
        if (!r.ok()) {
            fprintf(stderr, "%s: save failed (%d)\n", f.name, r.code);
            return 1;
        }
    }
    return 0;
}
