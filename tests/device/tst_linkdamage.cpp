// The receive path under every kind of damage to the byte stream, on a virtual
// clock: each delivered sample must be the true sample at its index or a
// counted copy; nothing made up, shifted, extra or missing.
#include <QtTest>

#include "linkdamage.h"

using linktest::Damage;
using linktest::DamagePlan;
using protocol::SampleStream;

namespace
{

constexpr double period = 0.001;

// Records the stream's decisions as text: "5" a sample at index 5, "5+3" the
// same after three copies, "L" a lone half, "R" a repeat, "B" a held sample
// dropped, "J" a jump followed without a fill.
struct Script : SampleStream::Listener {
    QStringList out;
    void sample(const double*, uint64_t index, uint64_t copies) override
    {
        out << (copies ? QStringLiteral("%1+%2").arg(index).arg(copies) : QString::number(index));
    }
    void fault(SampleStream::Fault kind, uint16_t, uint16_t) override
    {
        out << QStringLiteral("LRBJ").mid(int(kind), 1);
    }
};

// "a5" a first half with counter 5, "b5" a second half (one period after the
// one before, or at "b5@2.5" seconds), "x" bytes dropped, "n300" 300 pairs in
// sequence from the expected counter (not recorded), "end" the end.
QString run(const QString& script)
{
    SampleStream stream;
    stream.start(0, period);
    Script record;
    double now = 0;
    protocol::DataHalf half{};
    for (const QString& token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token == QLatin1String("end")) {
            stream.finish(record);
        } else if (token == QLatin1String("x")) {
            stream.interrupted(record);
        } else if (token.startsWith(QLatin1Char('n'))) {
            Script quiet;
            for (int i = token.mid(1).toInt(); i > 0; --i) {
                now += period;
                half.counter = stream.expectedCounter();
                half.half = 0;
                stream.half(half, now, quiet);
                half.half = 1;
                stream.half(half, now, quiet);
            }
        } else {
            const QStringList at = token.mid(1).split(QLatin1Char('@'));
            half.counter = quint16(at[0].toUInt());
            half.half = token.startsWith(QLatin1Char('a')) ? 0 : 1;
            if (half.half == 1)
                now = at.size() > 1 ? at[1].toDouble() : now + period;
            stream.half(half, now, record);
        }
    }
    return record.out.join(QLatin1Char(' '));
}

QString describe(const linktest::LinkResult& r)
{
    return QStringLiteral("made %1 delivered %2 faults %3 copies %4 (largest %5) made-up %6 "
                          "shifted %7 misplaced %8 extra %9 missing %10")
        .arg(r.made)
        .arg(r.oracle.delivered)
        .arg(r.faults)
        .arg(r.oracle.copies)
        .arg(r.oracle.largestFill)
        .arg(r.oracle.madeUp)
        .arg(r.oracle.shifted)
        .arg(r.oracle.misplaced)
        .arg(r.extra)
        .arg(r.missing);
}

bool clean(const linktest::LinkResult& r)
{
    return r.oracle.madeUp == 0 && r.oracle.shifted == 0 && r.oracle.misplaced == 0 &&
           r.extra == 0 && r.missing == 0;
}

} // namespace

class LinkDamageTest : public QObject
{
    Q_OBJECT
private slots:
    void decisions_data();
    void decisions();
    void everyKindOfDamage_data();
    void everyKindOfDamage();
    void outagesOfAnyLengthAreFilledExactly();
    void randomMixesInBurstsInventNothing();
    void aRepeatAfterEightHoursFabricatesNothing();
};

void LinkDamageTest::decisions_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("result");
    QTest::newRow("in sequence") << "a0 b0 a1 b1"
                                 << "0 1";
    QTest::newRow("loss confirmed by the next sample") << "a0 b0 a4 b4@0.006 a5 b5"
                                                       << "0 4+3 5";
    QTest::newRow("a repeated pair is no loss") << "a0 b0 a1 b1 a1 b1 a2 b2"
                                                << "0 1 R 2";
    QTest::newRow("a lone second half is dropped, its sample filled") << "a0 b0 b1 a2 b2 a3 b3"
                                                                      << "0 L 2+1 3";
    QTest::newRow("a repeated second half") << "a0 b0 a1 b1 b1 a2 b2"
                                            << "0 1 L 2";
    QTest::newRow("a first half cut off from its second") << "a0 b0 a1 x b1 a2 b2 a3 b3"
                                                          << "0 L L 2+1 3";
    QTest::newRow("both counters wrong") << "a0 b0 a1 b1 a258 b258 a3 b3 a4 b4"
                                         << "0 1 B 3+1 4";
    QTest::newRow("a counter restart is followed") << "n300 a0 b0 a1 b1"
                                                   << "J 300 301";
    QTest::newRow("a jump the clock cannot explain") << "n10 a5000 b5000 a5001 b5001"
                                                     << "J 10 11";
    QTest::newRow("a held sample at the end is dropped") << "a0 b0 a7 b7 end"
                                                         << "0 B";
}

void LinkDamageTest::decisions()
{
    QFETCH(QString, script);
    QFETCH(QString, result);
    QCOMPARE(run(script), result);
}

void LinkDamageTest::everyKindOfDamage_data()
{
    QTest::addColumn<int>("kind");
    for (Damage kind : linktest::everyDamage)
        if (kind != Damage::Outage)
            QTest::newRow(linktest::damageName(kind)) << int(kind);
}

void LinkDamageTest::everyKindOfDamage()
{
    // 60 s at 909 samples/s, 4 faults a second, pairs in bursts of up to 8.
    QFETCH(int, kind);
    DamagePlan plan;
    plan.samples = 60 * 909;
    plan.kind = Damage(kind);
    plan.maxBurstPairs = 8;
    plan.seed = uint32_t(kind) + 100;
    const linktest::LinkResult r = runLink(plan);
    QVERIFY2(clean(r), qPrintable(describe(r)));
    QVERIFY(r.faults >= 200);
    const bool costsNoSample = plan.kind == Damage::RepeatHalf || plan.kind == Damage::RepeatPair ||
                               plan.kind == Damage::CounterRestart;
    QVERIFY2(costsNoSample ? r.oracle.copies == 0 : r.oracle.copies <= 2 * r.faults,
             qPrintable(describe(r)));
    // Every fault is reported: a dropped run of bytes, half or sample, or a
    // counter that jumps.
    QVERIFY2(r.oracle.faultsSeen + r.skipRuns >= r.faults, qPrintable(describe(r)));
}

void LinkDamageTest::outagesOfAnyLengthAreFilledExactly()
{
    for (quint64 outage : {quint64(65536), quint64(70000), quint64(200000)}) {
        DamagePlan plan;
        plan.samples = 300000;
        plan.outage = outage;
        plan.at = {{5000, Damage::Outage}};
        const linktest::LinkResult r = runLink(plan);
        QVERIFY2(clean(r), qPrintable(describe(r)));
        QCOMPARE(r.oracle.copies, outage);
        QCOMPARE(r.oracle.fills, quint64(1));
    }
}

void LinkDamageTest::randomMixesInBurstsInventNothing()
{
    // Every kind at random, in bursts of up to 100 pairs arriving up to 50 ms
    // late, at the slowest and the fastest rate.
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        DamagePlan plan;
        plan.periodSeconds = (seed % 2 ? 8800 : 65535) * 1.25e-7;
        plan.samples = uint64_t(30 / plan.periodSeconds);
        plan.kind = Damage::Mix;
        plan.maxBurstPairs = 100;
        plan.maxDelaySeconds = 0.05;
        plan.seed = seed;
        const linktest::LinkResult r = runLink(plan);
        QVERIFY2(clean(r), qPrintable(QStringLiteral("seed %1: ").arg(seed) + describe(r)));
        QVERIFY2(r.oracle.copies <= r.hit + r.faults,
                 qPrintable(QStringLiteral("seed %1: ").arg(seed) + describe(r)));
    }
}

void LinkDamageTest::aRepeatAfterEightHoursFabricatesNothing()
{
    // Eight hours (at the slowest rate, to keep the test short; the bench
    // runs it at the fastest), then one repeated pair and one repeated half:
    // neither may be taken for a loss, however long the capture.
    DamagePlan plan;
    plan.periodSeconds = 65535 * 1.25e-7;
    plan.samples = uint64_t(8 * 3600 / plan.periodSeconds);
    plan.at = {{plan.samples - 1000, Damage::RepeatPair}, {plan.samples - 500, Damage::RepeatHalf}};
    const linktest::LinkResult r = runLink(plan);
    QVERIFY2(clean(r), qPrintable(describe(r)));
    QCOMPARE(r.oracle.copies, quint64(0));
    QVERIFY(r.oracle.faultsSeen >= 2);
}

QTEST_GUILESS_MAIN(LinkDamageTest)
#include "tst_linkdamage.moc"
