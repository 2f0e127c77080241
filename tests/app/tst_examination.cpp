// An examination run as a technician runs one, against the simulated headset:
// electrode names on the lanes, marks from the keyboard at the sample of their
// moment, a protocol whose light trains reach the headset exactly as the
// protocol asks and are annotated where the headset confirmed them, and Esc
// putting the light out at once. The truth comes from the simulator (samples
// it had sent, frames it received), never from the window's own arithmetic.
#include <QAction>
#include <QComboBox>
#include <QListView>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <memory>

#include "app/examination.h"
#include "app/mainwindow.h"
#include "display/eventmarkers.h"
#include "display/signalview.h"
#include "edf/edf.h"
#include "exam/electrodes.h"
#include "headset.h"
#include "recorder/capturefile.h"
#include "testwindow.h"

namespace
{

double steadyNow()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

class ExaminationTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<sim::Headset> headset;
    std::unique_ptr<MainWindow> window;

    // The events of the capture with this text, as sample numbers.
    QList<quint64> eventsNamed(const QString& text)
    {
        QList<quint64> found;
        for (const CaptureEvent& e : window->captureStore().events())
            if (e.text == text)
                found << e.sample;
        return found;
    }

private slots:
    void initTestCase()
    {
        MainWindow::unsavedHook = [] { return MainWindow::UnsavedAnswer::Discard; };
        sim::Options options;
        options.deterministic = true;
        options.linkPath = (dir.path() + "/headset").toStdString();
        headset.reset(new sim::Headset(options));
        std::string error;
        QVERIFY2(headset->start(&error), error.c_str());
        isolateWindow({QString::fromStdString(headset->portPath())});
        window.reset(new MainWindow);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        // Keys go to the plot, not to the terminal's command line.
        window->findChild<QWidget*>("plotTime")->setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QAction*>("actionStart")->isEnabled(), 8000);
    }
    void cleanupTestCase()
    {
        window.reset();
        headset.reset();
    }

    void namesLabelTheLanesAndTheMontageDerivesFromThem()
    {
        Examination* exam = window->examination();
        auto* view = window->findChild<SignalView*>();
        QVERIFY(view);
        window->findChild<QAction*>("actionViewLanes")->setChecked(true);
        QCOMPARE(view->laneName(0), QString("Канал 1"));
        exam->setElectrodeNames(exam::tenTwentyNames());
        QCOMPARE(view->laneName(8), QString("O1"));
        window->findChild<QComboBox*>("comboBoxViewMontage")->setCurrentIndex(2);
        QCOMPARE(view->laneCount(), 12);
        QCOMPARE(view->laneName(3), QString("P3-O1"));
        QCOMPARE(window->captureStore().channel(0).label,
                 QString("Fp1")); // the store keeps channels
        window->findChild<QComboBox*>("comboBoxViewMontage")->setCurrentIndex(0);
        QCOMPARE(view->laneName(3), QString("F4"));
    }

    void marksAndAProtocolReachTheCaptureAndTheHeadset()
    {
        Examination* exam = window->examination();
        window->findChild<QAction*>("actionStart")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QAction*>("actionStop")->isEnabled(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(headset->pairsSent() > 500, 5000);
        const double rate = 8e6 / headset->period();

        // A key press marks the sample the headset had reached at that moment.
        const quint64 truth = headset->pairsSent();
        QTest::keyClick(window.get(), Qt::Key_2);
        const QList<quint64> marked = eventsNamed("Глаза закрыты");
        QCOMPARE(marked.size(), 1);
        QVERIFY2(std::abs(double(marked[0]) - double(truth)) <= 0.02 * rate,
                 qPrintable(QString("mark at %1, headset at %2").arg(marked[0]).arg(truth)));

        // A protocol: a mark, a 10 Hz train of 1 s, a rest, a 30 Hz train cut short by Esc.
        exam::Protocol p;
        QVERIFY(
            exam::protocolFromText("mark Начало\nlight 10 1 100\nrest 0.5\nlight 30 20 50\n", p));
        headset->clearReceived();
        QVERIFY(exam->runProtocol(p));
        QTRY_VERIFY_WITH_TIMEOUT(eventsNamed("Фотостимуляция 29.985 Гц").size() == 1, 5000);
        QTest::qWait(200);
        const double escAt = steadyNow();
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QVERIFY(!exam->isProtocolRunning());
        QVERIFY(headset->waitForReceived(0x47, 1000));

        QStringList light;
        double stopAt = 0;
        for (const auto& r : headset->received()) {
            if (r.frame.size() >= 2 && r.frame[1] == 0x46)
                light << hex(r.frame);
            if (r.frame.size() >= 2 && r.frame[1] == 0x47 && stopAt == 0)
                stopAt = r.seconds;
        }
        // 10 Hz: 100 % (250), flash 10 ms (200 units), pause 90 ms (1800), 10 flashes, one
        // series. 30 Hz: 50 % (125), flash 10 ms, pause 667 - 200 = 467 units, 600 flashes.
        QCOMPARE(light, QStringList({"0D 46 FA C8 00 08 07 0A 00 00 00 01 00",
                                     "0D 46 7D C8 00 D3 01 58 02 00 00 01 00"}));
        QVERIFY2(stopAt - escAt < 0.1,
                 qPrintable(QString("light stop %1 s after Esc").arg(stopAt - escAt)));
        QCOMPARE(eventsNamed("Фотостимуляция прервана").size(), 1);
        // Every event is on the plot and in the list as it happens.
        const EventMarkers* markers = window->eventMarkers();
        QCOMPARE(markers->markers().size(), window->captureStore().events().size());
        QVERIFY(window->findChild<QListView*>()
                    ->model()
                    ->data(window->findChild<QListView*>()->model()->index(1, 0))
                    .toString()
                    .endsWith("Глаза закрыты"));
        QCOMPARE(eventsNamed("Начало").size(), 1);
        // Each train's annotation sits where the headset's confirmation does.
        const QList<quint64> train = eventsNamed("Фотостимуляция 10 Гц");
        QCOMPARE(train.size(), 1);
        bool confirmedThere = false;
        for (const CaptureEvent& e : window->captureStore().events())
            confirmedThere |= e.sample == train[0] && e.text.startsWith("Свет 100%");
        QVERIFY(confirmedThere);

        // Stop during a train: the light stop goes out before the capture stop, not instead of it.
        headset->clearReceived();
        QVERIFY(exam->runProtocol(p));
        QVERIFY(headset->waitForReceived(0x46, 2000));
        headset->clearReceived();
        window->findChild<QAction*>("actionStop")->trigger();
        QVERIFY(headset->waitForReceived(0x23, 2000));
        QStringList order;
        for (const auto& r : headset->received())
            if (r.frame.size() >= 2 && (r.frame[1] == 0x47 || r.frame[1] == 0x23))
                order << hex(r.frame);
        QCOMPARE(order, QStringList({"02 47", "02 23"}));
        QTRY_VERIFY_WITH_TIMEOUT(window->findChild<QAction*>("actionStart")->isEnabled(), 5000);

        // Saved with the patient: the electrodes, the identification and every mark and
        // train (with its length) as the file module reads them back.
        exam::PatientDetails patient;
        patient.code = "MCH-7";
        patient.name = "Петрова Анна";
        patient.sex = 'F';
        exam->setPatient(patient);
        const QString path = dir.filePath("exam.bdf");
        QVERIFY(saveRecording(QFile::encodeName(path), window->captureStore(), RecordingFormat::Bdf,
                              &exam->patient())
                    .ok());
        edf_header_info hdr{};
        QCOMPARE(edf_open_for_reading(QFile::encodeName(path).constData(), &hdr, 1), 0);
        QCOMPARE(QByteArray(hdr.signal_info[8].label).trimmed(), QByteArray("EEG O1"));
        QCOMPARE(QByteArray(hdr.patient_name), QByteArray("Petrova Anna"));
        QCOMPARE(QByteArray(hdr.patient_code), QByteArray("MCH-7"));
        QMap<QString, double> durations;
        for (int n = 0; n < hdr.annotation_count; ++n) {
            edf_annotation_info a{};
            QCOMPARE(edf_get_annotation(hdr.handle, n, &a), 0);
            durations[QString::fromUtf8(a.text)] = a.duration / 1e7;
        }
        edf_close(hdr.handle);
        QVERIFY(durations.contains("Глаза закрыты"));
        QVERIFY(durations.contains("Фотостимуляция прерв")); // 40 bytes of text: cut
        QCOMPARE(durations.value("Фотостимуляция 10 Гц"), 1.0);

        // Opened for review, the file names its patient in the title.
        window->openRecording(path);
        QTRY_VERIFY_WITH_TIMEOUT(window->isReviewing(), 5000);
        QVERIFY2(window->windowTitle().contains("MCH-7 Female Petrova Anna"),
                 qPrintable(window->windowTitle()));
    }
};

QTEST_MAIN(ExaminationTest)
#include "tst_examination.moc"
