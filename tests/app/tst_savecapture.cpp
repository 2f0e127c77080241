// A capture from the simulated headset, saved from the window and read back
// by the module's own reader and by two independent ones (MNE-Python, biosig):
// what the file holds is the headset's signal, in microvolts, every sample
// of the capture (EDF+ within a fraction of a microvolt, BDF+ exactly).

#include "edf/edf.h"

static const edf_signal_info& signalInfo(const edf_header_info& header, int signal)
{
    return header.signal_info[signal];
}

#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "headset.h"
#include "windowfixture.h"

#include <QAction>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace
{

// Prints the rate and the samples per signal, then per signal its label and
// its samples, which MNE scales to volts from the declared unit.
const char* readerScript = R"(
import sys, mne
raw = mne.io.read_raw_edf(sys.argv[1], preload=True, verbose='error')
print(int(raw.info['sfreq']), raw.n_times)
for name, row in zip(raw.ch_names, raw.get_data()):
    print(name + '|' + ' '.join(repr(float(v)) for v in row))
)";

using Signals = QVector<QVector<double>>; // per channel, in volts

// Every saved sample must be the headset's within `tolerance` volts. The file
// may hold more samples: its last record is completed with copies.
QString compareWithHeadset(const Signals& channels, int samples, double tolerance,
                           double relative = 0)
{
    const uint16_t period = 16000; // 500 Hz, the default rate
    if (channels.size() != 12)
        return QString("%1 channels").arg(channels.size());
    for (int c = 0; c < 12; ++c) {
        if (channels[c].size() < samples)
            return QString("channel %1: %2 samples").arg(c + 1).arg(channels[c].size());
        for (int i = 0; i < samples; ++i) {
            const double sent = sim::Headset::countsToVolts(
                sim::Headset::sampleCounts(c + 1, static_cast<uint64_t>(i), period));
            if (std::abs(channels[c][i] - sent) > tolerance + relative * std::abs(sent))
                return QString("channel %1 sample %2: file %3, headset %4")
                    .arg(c + 1)
                    .arg(i)
                    .arg(channels[c][i])
                    .arg(sent);
        }
    }
    return {};
}

QString pythonWithMne()
{
    for (const QString& python : {QString("/usr/bin/python3"), QString("python3")}) {
        QProcess probe;
        probe.start(python, {"-c", "import mne"});
        if (probe.waitForFinished(60000) && probe.exitStatus() == QProcess::NormalExit &&
            probe.exitCode() == 0)
            return python;
    }
    return {};
}

} // namespace

class TestSaveCapture : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    QTemporaryDir dir;
    QString path;
    QString bdfPath;
    int samples = 0;     // per channel in the capture
    int fileSamples = 0; // per channel in the file: whole records
    // EDF+: each channel's 16 bits span its own data (a few hundred uV here).
    static constexpr double edfTolerance = 0.05e-6;
    // BDF+: the count itself; the file's step differs from the headset's by
    // under 0.1 ppm.
    static constexpr double bdfTolerance = 1e-12;
    static constexpr double bdfRelative = 1e-7;

private slots:
    // One capture of about 2.6 s, saved once; each reader then checks the file.
    void initTestCase()
    {
        QVERIFY(useTemporarySettings(settingsDir));
        QVERIFY(dir.isValid());

        sim::Options options;
        options.deterministic = true;
        sim::Headset headset(options);
        std::string error;
        QVERIFY2(headset.start(&error), error.c_str());
        const QString port = QString::fromStdString(headset.portPath());
        setSerialPortSource([port] { return QStringList{port}; });

        MainWindow window;
        auto* start = window.findChild<QAction*>("actionStart");
        auto* stop = window.findChild<QAction*>("actionStop");
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 15000); // headset found

        start->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(stop->isEnabled(), 5000); // capture confirmed
        QTest::qWait(2600);
        stop->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 5000); // stop confirmed, batch flushed
        QTest::qWait(200);

        const qint64 points = window.captureStore().sampleCount();
        QVERIFY2(points >= 1000, qPrintable(QString::number(points)));
        for (int c = 1; c < 12; ++c)
            QCOMPARE(window.captureStore().sampleCount(c), points);
        samples = int(points);
        fileSamples = int((points + 499) / 500 * 500);

        path = dir.filePath("capture.edf");
        bdfPath = dir.filePath("capture.bdf");
        for (const QString& name : {path, bdfPath}) {
            FileDialog::saveHook = [name](QWidget*, const QString&, const QString&,
                                          const QString&) { return name; };
            MessageBoxAnswerer boxes;
            window.findChild<QAction*>("actionSave")->trigger();
            FileDialog::saveHook = nullptr;
            QVERIFY(boxes.boxes.isEmpty());
            QVERIFY(QFile::exists(name));
        }
    }

    void cleanupTestCase() { setSerialPortSource(nullptr); }

    void theModulesReaderReadsTheHeadsetsSignal_data()
    {
        QTest::addColumn<bool>("bdf");
        QTest::newRow("EDF+") << false;
        QTest::newRow("BDF+") << true;
    }

    void theModulesReaderReadsTheHeadsetsSignal()
    {
        QFETCH(bool, bdf);
        auto header = std::make_unique<edf_header_info>();
        QCOMPARE(edf_open_for_reading(QFile::encodeName(bdf ? bdfPath : path).constData(),
                                      header.get(), 1),
                 0);
        const int handle = header->handle;
        QCOMPARE(header->filetype, bdf ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_EDFPLUS);
        QCOMPARE(header->signal_count, 12);
        QCOMPARE(header->record_count, int64_t(fileSamples / 500));
        QCOMPARE(header->record_duration, int64_t(10000000));
        Signals channels(12);
        for (int c = 0; c < 12; ++c) {
            const edf_signal_info& signal = signalInfo(*header, c);
            QCOMPARE(QByteArray(signal.label).trimmed(),
                     QByteArray("chan. ") + QByteArray::number(c + 1));
            QCOMPARE(QByteArray(signal.physical_dimension).trimmed(), QByteArray("uV"));
            QCOMPARE(signal.samples_per_record, 500);
            channels[c].resize(fileSamples);
            QCOMPARE(edfread_physical_samples(handle, c, fileSamples, channels[c].data()),
                     fileSamples);
            for (double& v : channels[c])
                v *= 1e-6;
        }
        // The capture's start and stop are in the file.
        QVERIFY(header->annotation_count >= 2);
        QCOMPARE(edf_close(handle), 0);
        const QString mismatch =
            bdf ? compareWithHeadset(channels, samples, bdfTolerance, bdfRelative)
                : compareWithHeadset(channels, samples, edfTolerance);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void mneReadsTheHeadsetsSignal()
    {
        const QString python = pythonWithMne();
        if (python.isEmpty())
            QSKIP("MNE-Python is not installed (scripts/install-deps installs it)");
        QProcess reader;
        reader.start(python, {"-c", readerScript, path});
        QVERIFY(reader.waitForFinished(120000));
        QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
        const QList<QByteArray> lines = reader.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 1 + 12);
        const QList<QByteArray> head = lines[0].split(' ');
        QCOMPARE(head[0].toInt(), 500);
        QCOMPARE(head[1].toInt(), fileSamples);

        // The file declares "uV"; MNE hands the samples back in volts.
        Signals channels(12);
        for (int c = 0; c < 12; ++c) {
            const QList<QByteArray> parts = lines[1 + c].split('|');
            QCOMPARE(parts[0], QByteArray("chan. ") + QByteArray::number(c + 1));
            for (const QByteArray& value : parts[1].split(' '))
                channels[c].append(value.toDouble());
        }
        const QString mismatch = compareWithHeadset(channels, samples, edfTolerance);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void biosigReadsTheHeadsetsSignal()
    {
        const QString converter = QStandardPaths::findExecutable("save2gdf");
        if (converter.isEmpty())
            QSKIP("biosig-tools are not installed (scripts/install-deps installs them)");
        const QString csv = dir.filePath("capture.csv");
        QProcess reader;
        reader.start(converter, {"-CSV", path, csv});
        QVERIFY(reader.waitForFinished(120000));
        QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // A header line of labels with units, then one line per sample.
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        QVERIFY(lines.size() > 1);
        QVERIFY2(lines[0].startsWith("\"chan. 1 [uV]\"") || lines[0].startsWith("\"chan. 1 [µV]\""),
                 lines[0].constData());
        Signals channels(12);
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> row = lines[i].trimmed().split(',');
            QCOMPARE(row.size(), 12);
            for (int c = 0; c < 12; ++c)
                channels[c].append(row[c].toDouble() * 1e-6);
        }
        // The text holds six significant digits.
        const QString mismatch = compareWithHeadset(channels, samples, edfTolerance, 1e-5);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }
};

QTEST_MAIN(TestSaveCapture)
#include "tst_savecapture.moc"
