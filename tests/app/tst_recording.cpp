// File > Save's choice of format from the chosen file name.

#include "app/recording.h"

#include <QtTest>

class TestRecording : public QObject
{
    Q_OBJECT

private slots:
    void formatFollowsTheName()
    {
        QCOMPARE(recordingFormatFor("/a/b.BDF", RecordingFormat::Edf), RecordingFormat::Bdf);
        QCOMPARE(recordingFormatFor("/a/b.edf", RecordingFormat::Bdf), RecordingFormat::Edf);
        QCOMPARE(recordingFormatFor("/a.x/b.dat", RecordingFormat::Bdf), RecordingFormat::Bdf);
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "tst_recording.moc"
