// Reading a recording file back into a store: each signal at its own rate,
// counts and physical values as the file holds them, annotations by onset;
// the same in the loader's own thread, and a cancel or a failure that leaves
// no file open in the module.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <random>

#include "capture/recordingfile.h"
#include "edf/edf.h"

namespace
{

struct Shape {
    const char* label;
    const char* unit;
    int samplesPerRecord;
    double physicalMin, physicalMax;
};
const Shape shapes[] = {
    {"Fp1", "uV", 200, -100, 300},
    {"Temp", "degC", 7, 30, 42},
    {"O2", "mV", 50, -5, 5},
};
constexpr int records = 5;

// Writes a file of the three signals with random digital values (kept in
// `digital`, per signal) and three annotations given out of onset order.
QString writeFile(const QString& path, int type, std::vector<std::vector<int>>& digital)
{
    const int h = edf_open_for_writing(QFile::encodeName(path).constData(), type, 3);
    if (h < 0)
        return QString();
    const int top = type == EDF_FILETYPE_BDFPLUS ? 8388607 : 32767;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> values(-top - 1, top);
    digital.assign(3, {});
    for (int s = 0; s < 3; ++s) {
        edf_set_samples_per_record(h, s, shapes[s].samplesPerRecord);
        edf_set_physical_minimum(h, s, shapes[s].physicalMin);
        edf_set_physical_maximum(h, s, shapes[s].physicalMax);
        edf_set_digital_minimum(h, s, -top - 1);
        edf_set_digital_maximum(h, s, top);
        edf_set_label(h, s, shapes[s].label);
        edf_set_physical_dimension(h, s, shapes[s].unit);
    }
    edf_set_startdatetime(h, 2026, 12, 8, 5, 6, 7);
    for (int r = 0; r < records; ++r)
        for (int s = 0; s < 3; ++s) {
            std::vector<int> block(std::size_t(shapes[s].samplesPerRecord));
            for (int& v : block)
                v = values(random);
            digital[std::size_t(s)].insert(digital[std::size_t(s)].end(), block.begin(),
                                           block.end());
            if (edfwrite_digital_samples(h, block.data()) != 0)
                return QString();
        }
    edfwrite_annotation_utf8(h, 3250000, -1, "Звук");
    edfwrite_annotation_utf8(h, 1500000, 500000, "Stim A");
    edfwrite_annotation_utf8(h, 0, -1, "Start");
    return edf_close(h) == 0 ? path : QString();
}

// Every physical value of a signal as the module reads it.
std::vector<double> physicalOf(const QString& path, int signal)
{
    std::unique_ptr<edf_header_info> hdr(new edf_header_info);
    std::vector<double> values;
    if (edf_open_for_reading(QFile::encodeName(path).constData(), hdr.get(), 0) != 0)
        return values;
    values.resize(std::size_t(hdr->signal_info[signal].samples_in_file));
    edfread_physical_samples(hdr->handle, signal, int(values.size()), values.data());
    edf_close(hdr->handle);
    return values;
}

} // namespace

class RecordingFileTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void readsEachSignalAtItsRateWithItsValuesAndTheAnnotationsByOnset()
    {
        for (int type : {EDF_FILETYPE_EDFPLUS, EDF_FILETYPE_BDFPLUS}) {
            std::vector<std::vector<int>> digital;
            const QString path = writeFile(
                dir.filePath(type == EDF_FILETYPE_EDFPLUS ? "a.edf" : "a.bdf"), type, digital);
            QVERIFY(!path.isEmpty());

            LoadedRecording r;
            readRecording(path, r);
            QVERIFY(r.ok());
            QCOMPARE(r.fileType, type);
            QCOMPARE(r.durationSeconds, double(records));
            QCOMPARE(r.store.startTime(), QDateTime(QDate(2026, 12, 8), QTime(5, 6, 7)));
            QCOMPARE(r.store.channelCount(), 3);
            for (int s = 0; s < 3; ++s) {
                const CaptureChannel& ch = r.store.channel(s);
                QCOMPARE(ch.label, QString(shapes[s].label));
                QCOMPARE(ch.unit, QString(shapes[s].unit));
                QCOMPARE(ch.samplesPerSecond, double(shapes[s].samplesPerRecord));
                QCOMPARE(r.store.sampleCount(s), qint64(digital[std::size_t(s)].size()));
                QCOMPARE(r.store.sampleTime(s, shapes[s].samplesPerRecord), 1.0);
                const std::vector<double> physical = physicalOf(path, s);
                const double step = (shapes[s].physicalMax - shapes[s].physicalMin) /
                                    (type == EDF_FILETYPE_BDFPLUS ? 16777215.0 : 65535.0);
                for (qint64 i = 0; i < r.store.sampleCount(s); ++i) {
                    QCOMPARE(r.store.count(s, i), digital[std::size_t(s)][std::size_t(i)]);
                    QVERIFY2(qAbs(r.store.value(s, i) - physical[std::size_t(i)]) < step * 1e-6,
                             qPrintable(QString("signal %1 sample %2").arg(s).arg(i)));
                }
            }
            QCOMPARE(r.annotations.size(), 3);
            QCOMPARE(r.annotations[0].text, QString("Start"));
            QCOMPARE(r.annotations[0].onset, 0.0);
            QCOMPARE(r.annotations[1].text, QString("Stim A"));
            QCOMPARE(r.annotations[1].onset, 1.5);
            QCOMPARE(r.annotations[1].duration, 0.5);
            QCOMPARE(r.annotations[2].text, QString("Звук"));
            QCOMPARE(r.annotations[2].onset, 3.25);
            QVERIFY(r.annotations[2].duration < 0);
            QCOMPARE(r.store.events().size(), 3);
            QCOMPARE(r.store.events()[1].sample, quint64(300)); // 1.5 s at 200/s
            QCOMPARE(r.store.events()[1].text, QString("Stim A"));
            QCOMPARE(edf_open_file_count(), 0);
        }
    }

    void theLoaderReadsInItsOwnThreadAndReportsProgressToTheEnd()
    {
        std::vector<std::vector<int>> digital;
        const QString path = writeFile(dir.filePath("t.edf"), EDF_FILETYPE_EDFPLUS, digital);
        RecordingLoader loader;
        QSignalSpy done(&loader, &RecordingLoader::finished);
        QSignalSpy progress(&loader, &RecordingLoader::progress);
        QVERIFY(loader.start(path));
        QVERIFY(!loader.start(path)); // one at a time
        QVERIFY(done.wait(10000));
        QVERIFY(!loader.isRunning());
        const auto r = done[0][0].value<QSharedPointer<LoadedRecording>>();
        QVERIFY(r && r->ok());
        QCOMPARE(r->store.sampleCount(0), qint64(records * 200));
        QCOMPARE(progress.last()[0].toInt(), 100);
        QCOMPARE(edf_open_file_count(), 0);
    }

    void aCancelOrAFailureEndsTheReadWithTheFileClosed()
    {
        std::vector<std::vector<int>> digital;
        const QString path = writeFile(dir.filePath("c.edf"), EDF_FILETYPE_EDFPLUS, digital);
        LoadedRecording cancelled;
        readRecording(path, cancelled, [](double) { return false; });
        QCOMPARE(int(cancelled.status), int(RecordingReadStatus::Cancelled));
        QCOMPARE(edf_open_file_count(), 0);

        LoadedRecording missing;
        readRecording(dir.filePath("no-such.edf"), missing);
        QCOMPARE(int(missing.status), int(RecordingReadStatus::OpenFailed));
        QCOMPARE(missing.code, int(EDF_ERROR_CANNOT_OPEN));
        QCOMPARE(edf_open_file_count(), 0);
    }
};

QTEST_GUILESS_MAIN(RecordingFileTest)
#include "tst_recordingfile.moc"
