// The sample counter check: fills only losses that the time since the start
// explains, follows jumps it cannot explain without filling, and lets one
// corrupted counter neither invent nor shift samples.
#include <QtTest>
#include <random>

#include "device/frames.h"

using protocol::CounterCheck;

namespace
{

constexpr double period = 0.001;

QString describe(const CounterCheck::Step& step)
{
    QStringList parts;
    for (int i = 0; i < step.count; ++i) {
        QString d = step.delivery[i].held ? QStringLiteral("h") : QStringLiteral("d");
        if (step.delivery[i].copies)
            d += QStringLiteral("+%1").arg(step.delivery[i].copies);
        parts << d;
    }
    if (step.hold)
        parts << QStringLiteral("w");
    if (step.fault == CounterCheck::Fault::Corrupted)
        parts << QStringLiteral("C%1/%2").arg(step.received).arg(step.expected);
    if (step.fault == CounterCheck::Fault::Jumped)
        parts << QStringLiteral("J%1/%2").arg(step.received).arg(step.expected);
    return parts.join(QLatin1Char(','));
}

// Runs a script of half-frames: "a5" a first half with counter 5, "b5" a
// second half (arriving one period after the one before, or at "b5@2.5"
// seconds), "end" the end of the capture. Returns what each second half and
// the end did, separated by spaces.
QString run(const QString& script)
{
    CounterCheck check;
    check.start(0, period);
    double now = 0;
    QStringList out;
    for (const QString& token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token == QLatin1String("end")) {
            out << describe(check.finish());
            continue;
        }
        const QStringList at = token.mid(1).split(QLatin1Char('@'));
        const quint16 counter = quint16(at[0].toUInt());
        now = at.size() > 1 ? at[1].toDouble() : now + period;
        if (token.startsWith(QLatin1Char('a')))
            check.firstHalf(counter);
        else
            out << describe(check.secondHalf(counter, now));
    }
    return out.join(QLatin1Char(' '));
}

} // namespace

class CounterCheckTest : public QObject
{
    Q_OBJECT
private slots:
    void decisions_data();
    void decisions();
    void everyRealSampleKeepsItsPlaceThroughLossesAndCorruption();
};

void CounterCheckTest::decisions_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("result");
    QTest::newRow("in sequence") << "a0 b0 a1 b1"
                                 << "d d";
    QTest::newRow("loss explained by time") << "a0 b0 a4 b4@0.006"
                                            << "d d+3";
    QTest::newRow("loss the time cannot explain") << "a0 b0 a300 b300@0.003 a301 b301"
                                                  << "d d,J300/1 d";
    QTest::newRow("backward jump") << "a0 b0 a1 b1 a2 b2 a0 b0 a1 b1"
                                   << "d d d d,J0/3 d";
    QTest::newRow("one corrupted second half") << "a0 b0 a1 b257 a2 b2 a3 b3"
                                               << "d w h,d,C257/1 d";
    QTest::newRow("corrupted counter that time would explain") << "a0 b0@1 a1 b5@1.001 a2 b2@1.002"
                                                               << "d w h,d,C5/1";
    QTest::newRow("lost first half after a loss is confirmed by the next")
        << "a0 b0 b5@0.007 a6 b6@0.008"
        << "d w h+4,d";
    QTest::newRow("lost first half in sequence") << "a0 b0 b1 a2 b2"
                                                 << "d d d";
    QTest::newRow("wrap after a long loss") << "a0 b0 a65535 b65535@70 a0 b0"
                                            << "d d+65534 d";
    QTest::newRow("a second half that is no sample of its own") << "a0 b0 a1 b1 b900 a2 b2 a3 b3"
                                                                << "d d w d,C900/2 d";
    QTest::newRow("two unexpected in a row") << "a0 b0 b50 b80"
                                             << "d w h,w,C50/1";
    QTest::newRow("held at the end goes out without a fill") << "a0 b0 b9 end"
                                                             << "d w h";
    QTest::newRow("first sample not 0 and unexplained") << "a500 b500@0.01 a501 b501"
                                                        << "d,J500/0 d";
}

void CounterCheckTest::decisions()
{
    QFETCH(QString, script);
    QFETCH(QString, result);
    QCOMPARE(run(script), result);
}

void CounterCheckTest::everyRealSampleKeepsItsPlaceThroughLossesAndCorruption()
{
    // A long capture at 1 kHz arriving in bursts of up to 100 pairs, with runs
    // of lost pairs, lost first halves and corrupted second-half counters
    // (apart from each other). Every sample that arrives must be delivered at
    // its own place in the capture: nothing invented, nothing shifted.
    std::mt19937 random(11);
    for (int round = 0; round < 20; ++round) {
        CounterCheck check;
        check.start(0, period);
        QVector<quint64> placeOf; // delivery index -> true sample index
        std::vector<std::pair<quint64, bool>> held;
        quint64 sample = 0;
        quint64 arrivedUpTo = 0;
        int quiet = 0;
        while (sample < 70000) {
            // Pairs arrive in a burst when the last of them has been made.
            const quint64 burstEnd = sample + 1 + random() % 100;
            const double now = double(burstEnd + 1) * period;
            for (; sample < burstEnd; ++sample) {
                const auto counter = quint16(sample);
                const quint32 roll = random() % 1000;
                if (quiet == 0 && roll < 3) {
                    sample += 1 + random() % 50; // a run of lost pairs
                    quiet = 3;
                    continue;
                }
                bool corrupt = false;
                bool noFirst = false;
                if (quiet == 0 && roll < 6) {
                    corrupt = true;
                    quiet = 3;
                } else if (quiet == 0 && roll < 9) {
                    noFirst = true;
                    quiet = 3;
                } else if (quiet > 0) {
                    --quiet;
                }
                if (!noFirst)
                    check.firstHalf(counter);
                const quint16 second =
                    corrupt ? quint16(counter ^ (1u << (random() % 16))) : counter;
                const CounterCheck::Step step = check.secondHalf(second, now);
                QVERIFY(step.fault != CounterCheck::Fault::Jumped);
                for (int i = 0; i < step.count; ++i) {
                    const quint64 real = step.delivery[i].held ? held.back().first : sample;
                    for (quint32 c = 0; c < step.delivery[i].copies; ++c)
                        placeOf << ~quint64(0);
                    placeOf << real;
                }
                if (step.hold)
                    held.push_back({sample, true});
                arrivedUpTo = sample;
            }
        }
        for (int i = 0; i < placeOf.size(); ++i) {
            if (placeOf[i] != ~quint64(0))
                QVERIFY2(placeOf[i] == quint64(i),
                         qPrintable(QStringLiteral("round %1: sample %2 delivered at %3")
                                        .arg(round)
                                        .arg(placeOf[i])
                                        .arg(i)));
        }
        QVERIFY(quint64(placeOf.size()) <= arrivedUpTo + 1);
    }
}

QTEST_GUILESS_MAIN(CounterCheckTest)
#include "tst_countercheck.moc"
