#include "exam/protocol.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace exam
{

namespace
{

// The headset's time unit for flashes and beeps: 0.05 ms, 20,000 to a second.
constexpr double unitsPerSecond = 20000.0;
constexpr double minHz = 0.5;
constexpr double maxHz = 100.0;
constexpr double maxSeconds = 3600.0;

quint8 percentLevel(double percent)
{
    const double v = std::round(std::clamp(percent, 0.0, 100.0) * 250.0 / 100.0);
    return quint8(v);
}

// Period, on-time and count of a train, in the headset's units. A train of
// more flashes than one series can count (65,535) is split into series of
// equal counts that follow each other without a pause.
struct Timing {
    quint16 on = 0;
    quint16 off = 0;
    quint16 count = 0;
    quint16 series = 1;
    double achievedHz = 0;
    double seconds = 0;
};

bool trainTiming(double hz, double seconds, double onMs, Timing& t)
{
    if (!(hz >= minHz && hz <= maxHz) || !(seconds > 0 && seconds <= maxSeconds) || !(onMs > 0))
        return false;
    // The whole number of units on either side of 1/hz whose frequency is nearer.
    const double exact = unitsPerSecond / hz;
    const long below = std::max(2L, long(std::floor(exact)));
    const long above = std::max(2L, long(std::ceil(exact)));
    const long period = std::abs(unitsPerSecond / double(below) - hz) <=
                                std::abs(unitsPerSecond / double(above) - hz)
                            ? below
                            : above;
    // A train shorter than one flash period is no train at that frequency.
    const long flashes = std::lround(seconds * unitsPerSecond / double(period));
    if (flashes < 1 || double(period) > seconds * unitsPerSecond + 0.5)
        return false;
    const long series = (flashes + 65534) / 65535;
    const long count = std::lround(double(flashes) / double(series));
    const long on = std::clamp(std::lround(onMs * unitsPerSecond / 1000.0), 1L, period / 2);
    t.on = quint16(on);
    t.off = quint16(period - on);
    t.count = quint16(count);
    t.series = quint16(series);
    t.achievedHz = unitsPerSecond / double(period);
    t.seconds = double(count * series) * double(period) / unitsPerSecond;
    return true;
}

QString number(double v)
{
    return QString::number(v, 'g', 10);
}

bool readNumber(const QString& word, double& out)
{
    bool ok = false;
    out = word.toDouble(&ok);
    return ok && std::isfinite(out);
}

} // namespace

bool ProtocolStep::operator==(const ProtocolStep& o) const
{
    return kind == o.kind && frequency == o.frequency && seconds == o.seconds && level == o.level &&
           tone == o.tone && text == o.text;
}

double Protocol::plannedSeconds() const
{
    double total = 0;
    for (const ProtocolStep& s : steps)
        if (s.kind != ProtocolStep::Kind::Mark && s.kind != ProtocolStep::Kind::Wait)
            total += s.seconds;
    return total;
}

LightTrain lightTrain(double hz, double seconds, double brightnessPercent, bool* ok, double flashMs)
{
    LightTrain train;
    Timing t;
    const bool good = trainTiming(hz, seconds, flashMs, t);
    if (ok)
        *ok = good;
    if (!good)
        return train;
    train.param.bright = percentLevel(brightnessPercent);
    train.param.duration = t.on;
    train.param.pause = t.off;
    train.param.count = t.count;
    train.param.seriesPause = 0;
    train.param.seriesCount = t.series;
    train.achievedHz = t.achievedHz;
    train.seconds = t.seconds;
    return train;
}

SoundTrain soundTrain(double hz, double seconds, double volumePercent, double toneMicroseconds,
                      bool* ok, double beepMs)
{
    SoundTrain train;
    Timing t;
    const bool good =
        trainTiming(hz, seconds, beepMs, t) && toneMicroseconds >= 1 && toneMicroseconds <= 65535;
    if (ok)
        *ok = good;
    if (!good)
        return train;
    train.param.volume = percentLevel(volumePercent);
    train.param.duration = t.on;
    train.param.pause = t.off;
    train.param.count = t.count;
    train.param.tone = quint16(std::lround(toneMicroseconds));
    train.param.seriesPause = 0;
    train.param.seriesCount = t.series;
    train.achievedHz = t.achievedHz;
    train.seconds = t.seconds;
    return train;
}

QString lightTrainText(double askedHz, const LightTrain& train)
{
    // The frequency the patient saw: the one asked for when the units give it,
    // else the one achieved. An annotation carries 40 bytes of text, which
    // leaves no room for both.
    if (std::abs(train.achievedHz - askedHz) < 0.0005)
        return QStringLiteral("Фотостимуляция %1 Гц").arg(number(askedHz));
    return QStringLiteral("Фотостимуляция %1 Гц").arg(QString::number(train.achievedHz, 'f', 3));
}

QString lightAbortedText()
{
    return QStringLiteral("Фотостимуляция прервана");
}

Protocol photicPreset()
{
    Protocol p;
    p.name = QStringLiteral("Фотостимуляция");
    const double rates[] = {1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 25, 30};
    for (double hz : rates) {
        ProtocolStep light;
        light.kind = ProtocolStep::Kind::Light;
        light.frequency = hz;
        light.seconds = 10;
        p.steps.append(light);
        ProtocolStep rest;
        rest.kind = ProtocolStep::Kind::Rest;
        rest.seconds = 10;
        p.steps.append(rest);
    }
    return p;
}

Protocol hyperventilationPreset()
{
    Protocol p;
    p.name = QStringLiteral("Гипервентиляция");
    auto mark = [&p](const QString& text) {
        ProtocolStep s;
        s.kind = ProtocolStep::Kind::Mark;
        s.text = text;
        p.steps.append(s);
    };
    auto rest = [&p](double seconds) {
        ProtocolStep s;
        s.kind = ProtocolStep::Kind::Rest;
        s.seconds = seconds;
        p.steps.append(s);
    };
    // Short enough for the 40 bytes an annotation carries ("ГВ" as technicians write it).
    mark(QStringLiteral("Гипервентиляция"));
    rest(180);
    mark(QStringLiteral("Конец ГВ"));
    for (int minute = 1; minute <= 3; ++minute) {
        rest(60);
        mark(QStringLiteral("После ГВ %1 мин").arg(minute));
    }
    return p;
}

bool protocolFromText(const QString& text, Protocol& out, QString* error)
{
    Protocol p;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        int gap = 0;
        while (gap < line.size() && !line[gap].isSpace())
            ++gap;
        const QString key = line.left(gap).toLower();
        const QString rest = line.mid(gap).trimmed();
        const QStringList words = rest.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        auto fail = [&](const QString& why) {
            if (error)
                *error = QStringLiteral("Строка %1: %2").arg(i + 1).arg(why);
            return false;
        };
        ProtocolStep step;
        if (key == QLatin1String("name")) {
            p.name = rest;
            continue;
        } else if (key == QLatin1String("mark") || key == QLatin1String("wait")) {
            if (rest.isEmpty())
                return fail(QStringLiteral("нет текста"));
            step.kind =
                key == QLatin1String("mark") ? ProtocolStep::Kind::Mark : ProtocolStep::Kind::Wait;
            step.text = rest;
        } else if (key == QLatin1String("rest")) {
            if (words.size() != 1 || !readNumber(words[0], step.seconds) || step.seconds <= 0 ||
                step.seconds > maxSeconds)
                return fail(QStringLiteral("ожидается длительность в секундах"));
            step.kind = ProtocolStep::Kind::Rest;
        } else if (key == QLatin1String("light") || key == QLatin1String("sound")) {
            const bool light = key == QLatin1String("light");
            const int most = light ? 3 : 4;
            if (words.size() < 2 || words.size() > most)
                return fail(QStringLiteral("ожидаются частота и длительность"));
            step.kind = light ? ProtocolStep::Kind::Light : ProtocolStep::Kind::Sound;
            bool good = readNumber(words[0], step.frequency) && readNumber(words[1], step.seconds);
            if (good && words.size() > 2)
                good = readNumber(words[2], step.level) && step.level >= 0 && step.level <= 100;
            if (good && words.size() > 3)
                good = readNumber(words[3], step.tone);
            bool possible = false;
            if (good && light)
                lightTrain(step.frequency, step.seconds, step.level, &possible);
            else if (good)
                soundTrain(step.frequency, step.seconds, step.level, step.tone, &possible);
            if (!possible)
                return fail(QStringLiteral("недопустимые параметры серии"));
        } else {
            return fail(QStringLiteral("неизвестный шаг \"%1\"").arg(key));
        }
        p.steps.append(step);
    }
    if (p.steps.isEmpty()) {
        if (error)
            *error = QStringLiteral("В протоколе нет ни одного шага");
        return false;
    }
    out = p;
    return true;
}

QString protocolToText(const Protocol& protocol)
{
    QString text;
    if (!protocol.name.isEmpty())
        text += QStringLiteral("name %1\n").arg(protocol.name);
    for (const ProtocolStep& s : protocol.steps) {
        switch (s.kind) {
        case ProtocolStep::Kind::Light:
            text += QStringLiteral("light %1 %2 %3\n")
                        .arg(number(s.frequency), number(s.seconds), number(s.level));
            break;
        case ProtocolStep::Kind::Sound:
            text +=
                QStringLiteral("sound %1 %2 %3 %4\n")
                    .arg(number(s.frequency), number(s.seconds), number(s.level), number(s.tone));
            break;
        case ProtocolStep::Kind::Rest:
            text += QStringLiteral("rest %1\n").arg(number(s.seconds));
            break;
        case ProtocolStep::Kind::Mark:
            text += QStringLiteral("mark %1\n").arg(s.text.simplified());
            break;
        case ProtocolStep::Kind::Wait:
            text += QStringLiteral("wait %1\n").arg(s.text.simplified());
            break;
        }
    }
    return text;
}

} // namespace exam
