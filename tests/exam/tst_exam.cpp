// Protocols against independent arithmetic: every light train is the closest
// flash period the headset's 0.05 ms units allow (checked by a search over all
// periods), the runner emits its requests and marks at their planned moments
// and stops a train at once, and montages agree with a sample-by-sample
// derivation on random data.
#include "analysis/montage.h"
#include "edf/edf.h"
#include "exam/electrodes.h"
#include "exam/patient.h"
#include "exam/protocol.h"
#include "exam/protocolrunner.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace exam;

class TestExam : public QObject
{
    Q_OBJECT
private slots:
    void lightTrainsAreTheClosestPeriodTheUnitsAllow();
    void presetsAndTheirTextFormSurviveARoundTrip();
    void aBadProtocolLineIsRefusedWithItsNumber();
    void runnerKeepsTheScheduleAndStopsALightTrainAtOnce();
    void trainsAreConfirmedInOrderAndARestartFromAMarkKeepsItsSchedule();
    void montagesMatchADirectDerivation();
    void fileLabelsNameOnlyChosenElectrodes();
    void patientDetailsReachTheIdentificationFields();
};

void TestExam::lightTrainsAreTheClosestPeriodTheUnitsAllow()
{
    QRandomGenerator rng(20261208);
    for (int trial = 0; trial < 500; ++trial) {
        const double hz = 0.5 + rng.generateDouble() * 99.5;
        const double seconds = 1 + rng.generateDouble() * 59;
        bool ok = false;
        const LightTrain t = lightTrain(hz, seconds, 100, &ok);
        QVERIFY(ok);
        const int period = t.param.duration + t.param.pause;
        // No other whole number of 0.05 ms units is nearer to 1/hz.
        int best = 2;
        for (int p = 3; p <= 40000; ++p)
            if (std::abs(20000.0 / p - hz) < std::abs(20000.0 / best - hz))
                best = p;
        QVERIFY2(std::abs(20000.0 / period - hz) <= std::abs(20000.0 / best - hz) + 1e-12,
                 qPrintable(QString("%1 Hz: %2 beats %3").arg(hz).arg(best).arg(period)));
        QCOMPARE(t.achievedHz, 20000.0 / period);
        QVERIFY(t.param.duration >= 1 && t.param.duration <= period / 2);
        QVERIFY(t.param.duration <= 200); // a flash of at most 10 ms
        QCOMPARE(int(t.param.seriesCount), 1);
        // The flashes cover the asked length within half a period.
        QVERIFY(std::abs(t.param.count * period / 20000.0 - seconds) <= period / 40000.0 + 1e-9);
        QCOMPARE(t.seconds, t.param.count * period / 20000.0);
    }
    QCOMPARE(lightTrainText(10, lightTrain(10, 10, 100)), QString("Фотостимуляция 10 Гц"));
    QCOMPARE(lightTrainText(30, lightTrain(30, 10, 100)),
             QString("Фотостимуляция 29.985 Гц"));
    // More flashes than one series counts: equal series back to back, the length kept.
    const LightTrain hour = lightTrain(100, 3600, 100);
    QCOMPARE(int(hour.param.count) * int(hour.param.seriesCount), 360000);
    QCOMPARE(int(hour.param.seriesPause), 0);
    QCOMPARE(hour.seconds, 3600.0);
    bool ok = true;
    lightTrain(0.1, 10, 100, &ok);
    QVERIFY(!ok);
    lightTrain(0.5, 1, 100, &ok); // shorter than one flash period
    QVERIFY(!ok);
    lightTrain(10, 0, 100, &ok);
    QVERIFY(!ok);
    QCOMPARE(int(lightTrain(10, 10, 1).param.bright), 3); // 2.5 rounded away from zero
}

void TestExam::presetsAndTheirTextFormSurviveARoundTrip()
{
    const Protocol photic = photicPreset();
    QCOMPARE(photic.steps.size(), 26);
    QCOMPARE(photic.plannedSeconds(), 260.0);
    const Protocol hv = hyperventilationPreset();
    QCOMPARE(hv.plannedSeconds(), 360.0);
    // Every text of the presets fits the 40 bytes of an annotation whole.
    for (const ProtocolStep& step : hv.steps)
        QVERIFY2(step.text.toUtf8().size() <= 40, qPrintable(step.text));
    for (double hz : {1.0, 2.0, 4.0, 6.0, 8.0, 10.0, 12.0, 14.0, 16.0, 18.0, 20.0, 25.0, 30.0})
        QVERIFY(lightTrainText(hz, lightTrain(hz, 10, 100)).toUtf8().size() <= 40);
    for (const Protocol& p : {photic, hv}) {
        Protocol back;
        QString error;
        QVERIFY2(protocolFromText(protocolToText(p), back, &error), qPrintable(error));
        QCOMPARE(back, p);
    }
    Protocol p;
    QVERIFY(protocolFromText("# my protocol\nname Проба\n\nwait Закройте глаза\nmark Глаза "
                             "закрыты # не комментарий\nsound 2 5 50 800\nrest 1.5\n",
                             p));
    QCOMPARE(p.name, QString("Проба"));
    QCOMPARE(p.steps.size(), 4);
    QCOMPARE(p.steps[1].text, QString("Глаза закрыты # не комментарий"));
    QCOMPARE(p.steps[2].tone, 800.0);
    QCOMPARE(p.steps[3].seconds, 1.5);
}

void TestExam::aBadProtocolLineIsRefusedWithItsNumber()
{
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"rest 1\nlight 200 10\n", "Строка 2"},
        {"rest -1\n", "Строка 1"},
        {"rest 1\n\nflash 10 10\n", "Строка 3"},
        {"mark\n", "Строка 1"},
        {"light 10 ten\n", "Строка 1"},
        {"sound 10 10 50 0\n", "Строка 1"},
        {"# nothing but a comment\n", "ни одного"},
        {"rest nan\n", "Строка 1"},
    };
    for (const auto& c : cases) {
        Protocol p = photicPreset();
        QString error;
        QVERIFY2(!protocolFromText(QString::fromUtf8(c.text), p, &error), c.text);
        QVERIFY2(error.contains(QString::fromUtf8(c.error)), qPrintable(error));
        QCOMPARE(p, photicPreset()); // nothing half-read
    }
}

void TestExam::runnerKeepsTheScheduleAndStopsALightTrainAtOnce()
{
    Protocol p;
    QVERIFY(protocolFromText("mark A\nlight 10 0.3\nrest 0.2\nmark B\nwait go on\nmark C\n"
                             "light 20 5\nmark never\n",
                             p));
    ProtocolRunner runner;
    QElapsedTimer clock;
    QVector<QPair<QString, qint64>> seen;
    connect(&runner, &ProtocolRunner::mark, [&](const QString& t) {
        seen.append({t, clock.elapsed()});
    });
    connect(&runner, &ProtocolRunner::lightStart, [&](structLightParam l) {
        seen.append({QString("light %1").arg(l.count), clock.elapsed()});
    });
    connect(&runner, &ProtocolRunner::lightStop, [&] { seen.append({"stop", clock.elapsed()}); });
    connect(&runner, &ProtocolRunner::waiting, [&](const QString& m) {
        if (!m.isEmpty())
            QTimer::singleShot(100, &runner, &ProtocolRunner::proceed);
    });
    QSignalSpy finished(&runner, &ProtocolRunner::finished);
    clock.start();
    QVERIFY(runner.start(p));
    QVERIFY(!runner.start(p)); // one at a time
    QTRY_VERIFY_WITH_TIMEOUT(runner.lightTrainUnderWay().seconds == 5.0, 3000);
    QCOMPARE(runner.lightTrainUnderWay().text, QString("Фотостимуляция 20 Гц"));
    const qint64 stopAt = clock.elapsed();
    runner.stop();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toBool(), true);
    QVERIFY(!runner.isRunning());

    const QStringList order = {
        "A", "light 3", "B", "C", "light 100", "stop", "Фотостимуляция прервана"};
    QCOMPARE(seen.size(), order.size());
    const qint64 planned[] = {0, 0, 500, 600, 600, stopAt, stopAt};
    for (int i = 0; i < seen.size(); ++i) {
        QCOMPARE(seen[i].first, order[i]);
        QVERIFY2(std::abs(seen[i].second - planned[i]) <= 60,
                 qPrintable(QString("%1 at %2 ms").arg(order[i]).arg(seen[i].second)));
    }
    QTest::qWait(50);
    QCOMPARE(seen.size(), order.size()); // nothing after the stop
}

void TestExam::trainsAreConfirmedInOrderAndARestartFromAMarkKeepsItsSchedule()
{
    // Two short trains back to back, confirmed only after both steps are over.
    Protocol p;
    QVERIFY(protocolFromText("light 50 0.04\nlight 20 0.1\nmark end\n", p));
    ProtocolRunner runner;
    QSignalSpy finished(&runner, &ProtocolRunner::finished);
    runner.start(p);
    QVERIFY(finished.wait(2000));
    QCOMPARE(runner.takeLightTrain().text, QString("Фотостимуляция 50 Гц"));
    QCOMPARE(runner.takeLightTrain().text, QString("Фотостимуляция 20 Гц"));
    QVERIFY(!runner.takeLightTrain().active);

    // A mark's slot stops the protocol and starts another: the new one runs on its own schedule.
    Protocol first, second;
    QVERIFY(protocolFromText("mark go\nrest 5\n", first));
    QVERIFY(protocolFromText("rest 0.3\nmark B\n", second));
    QElapsedTimer clock;
    qint64 markedB = -1;
    connect(&runner, &ProtocolRunner::mark, &runner, [&](const QString& t) {
        if (t == "go") {
            runner.stop();
            runner.start(second);
        } else if (t == "B") {
            markedB = clock.elapsed();
        }
    });
    clock.start();
    runner.start(first);
    QTRY_VERIFY_WITH_TIMEOUT(markedB >= 0, 2000);
    QVERIFY2(markedB >= 250 && markedB <= 400, qPrintable(QString::number(markedB)));
}

void TestExam::montagesMatchADirectDerivation()
{
    const QStringList names = tenTwentyNames();
    QRandomGenerator rng(7);
    const int n = 257;
    QVector<QVector<double>> data(12, QVector<double>(n));
    QVector<const double*> in;
    for (auto& ch : data) {
        for (double& v : ch)
            v = rng.generateDouble() * 200 - 100;
        in.append(ch.constData());
    }
    data[4][17] = std::nan("");

    QStringList missing;
    QStringList partial = names;
    partial[10] = "X"; // no T3: its two pairs cannot be made
    for (const Montage& m : {asRecordedMontage(names), averageReferenceMontage(names),
                             bipolarMontage(names, longitudinalChain()),
                             bipolarMontage(partial, longitudinalChain(), &missing)}) {
        QVector<QVector<double>> out(m.rows.size(), QVector<double>(n));
        QVector<double*> rows;
        for (auto& r : out)
            rows.append(r.data());
        applyMontage(m, in.constData(), 12, rows.data(), n);
        for (int r = 0; r < m.rows.size(); ++r) {
            const QStringList pair = m.rows[r].name.split('-');
            for (int i = 0; i < n; ++i) {
                const double a = data[names.indexOf(pair[0])][i];
                double b = 0;
                if (m.kind == Montage::Kind::AverageReference)
                    for (int c = 0; c < 12; ++c)
                        b += data[c][i] / 12;
                else if (pair.size() == 2)
                    b = data[names.indexOf(pair[1])][i];
                const double want = a - b;
                if (std::isnan(want))
                    QVERIFY(std::isnan(out[r][i]));
                else
                    QVERIFY(std::abs(out[r][i] - want) < 1e-9);
            }
        }
    }
    QCOMPARE(bipolarMontage(names, longitudinalChain()).rows.size(), 12);
    QCOMPARE(missing, QStringList({"Fp1-T3", "T3-O1"}));
}

void TestExam::fileLabelsNameOnlyChosenElectrodes()
{
    QCOMPARE(fileLabel(0, QString()), QByteArray("chan. 1"));
    QCOMPARE(fileLabel(8, " O1 "), QByteArray("EEG O1"));
    QCOMPARE(fileLabel(2, "Лоб"), QByteArray("EEG ???"));
    QCOMPARE(fileLabel(3, "a very long electrode name").size(), 16);
    QCOMPARE(displayName(11, QString()), QString("Канал 12"));
    QCOMPARE(normalizedNames({"Fp1"}).size(), 12);
}

// The header's identification fields, read back as bytes.
static QByteArray identification(const QString& path, const PatientDetails& details)
{
    const int h = edf_open_for_writing_with_params(QFile::encodeName(path).constData(),
                                                   EDF_FILETYPE_BDFPLUS, 1, 10, 100, "uV");
    if (h < 0 || writePatientDetails(h, details) != 0)
        return {};
    edf_set_startdatetime(h, 2026, 12, 8, 10, 0, 0);
    const std::vector<double> samples(10, 0.0);
    edfwrite_physical_samples(h, samples.data());
    edf_close(h);
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.read(168).mid(8).simplified();
}

void TestExam::patientDetailsReachTheIdentificationFields()
{
    QTemporaryDir dir;
    PatientDetails d;
    d.code = "MCH 0042";
    d.name = "Иванова Анна-Мария";
    d.sex = 'F';
    d.birthDate = QDate(1980, 3, 7);
    d.technician = "Петрова";
    d.equipment = "Neurask NR-12";
    QCOMPARE(identification(dir.filePath("a.bdf"), d),
             QByteArray("MCH_0042 F 07-MAR-1980 Ivanova_Anna-Mariya "
                        "Startdate 08-DEC-2026 X Petrova Neurask_NR-12"));
    d.anonymous = true;
    QCOMPARE(identification(dir.filePath("b.bdf"), d),
             QByteArray("X X X X Startdate 08-DEC-2026 X X X"));
    QCOMPARE(asciiField("Ёж Щука (№1)"), QByteArray("Yozh Shchuka (?1)"));

    QChar sex;
    QDate born;
    QStringList names;
    QVERIFY(parseSex("m", sex) && sex == 'M' && !parseSex("X", sex));
    QVERIFY(parseBirthDate("1980-03-07", born) && born == QDate(1980, 3, 7));
    QVERIFY(!parseBirthDate("1980-02-30", born) && !parseBirthDate("2999-01-01", born));
    QVERIFY(parseLabels(tenTwentyNames().join(','), names) && names == tenTwentyNames());
    QString error;
    QVERIFY(!parseLabels("Fp1,Fp2", names, &error) && error.contains("12"));
}

QTEST_GUILESS_MAIN(TestExam)
#include "tst_exam.moc"
