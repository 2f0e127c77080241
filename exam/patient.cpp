#include "exam/patient.h"

#include "edf/edf.h"
#include "exam/electrodes.h"

#include <QHash>

#include <cctype>

namespace exam
{

bool PatientDetails::operator==(const PatientDetails& o) const
{
    return code == o.code && name == o.name && sex == o.sex && birthDate == o.birthDate &&
           technician == o.technician && equipment == o.equipment && anonymous == o.anonymous;
}

QByteArray asciiField(const QString& text)
{
    // Russian letters in the common passport spelling.
    static const QHash<QChar, const char*> latin = [] {
        const char16_t cyr[] = u"абвгдеёжзийклмнопрстуфхцчшщъыьэюя";
        const char* lat[] = {"a",  "b",  "v",  "g",  "d",    "e", "yo", "zh", "z", "i",  "y",
                             "k",  "l",  "m",  "n",  "o",    "p", "r",  "s",  "t", "u",  "f",
                             "kh", "ts", "ch", "sh", "shch", "",  "y",  "",   "e", "yu", "ya"};
        QHash<QChar, const char*> map;
        for (int i = 0; i < 33; ++i)
            map.insert(QChar(cyr[i]), lat[i]);
        return map;
    }();
    QByteArray out;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f) {
            out.append(char(c.unicode()));
            continue;
        }
        const auto it = latin.constFind(c.toLower());
        if (it == latin.constEnd()) {
            out.append('?');
            continue;
        }
        QByteArray spelt(it.value());
        if (c.isUpper() && !spelt.isEmpty())
            spelt[0] = char(std::toupper(spelt[0]));
        out.append(spelt);
    }
    return out;
}

int writePatientDetails(int handle, const PatientDetails& d)
{
    if (d.anonymous)
        return 0; // every subfield stays unknown: X
    int result = 0;
    auto keep = [&result](int r) {
        if (result == 0 && r < 0)
            result = r;
    };
    if (!d.code.isEmpty())
        keep(edf_set_patientcode(handle, asciiField(d.code).constData()));
    if (!d.name.isEmpty())
        keep(edf_set_patientname(handle, asciiField(d.name).constData()));
    if (d.sex == QLatin1Char('M') || d.sex == QLatin1Char('F'))
        keep(edf_set_sex(handle, d.sex == QLatin1Char('M') ? 1 : 0));
    if (d.birthDate.isValid())
        keep(edf_set_birthdate(handle, d.birthDate.year(), d.birthDate.month(), d.birthDate.day()));
    if (!d.technician.isEmpty())
        keep(edf_set_technician(handle, asciiField(d.technician).constData()));
    if (!d.equipment.isEmpty())
        keep(edf_set_equipment(handle, asciiField(d.equipment).constData()));
    return result;
}

bool parseSex(const QString& text, QChar& sex, QString* error)
{
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("F") || t == QLatin1String("M")) {
        sex = t[0];
        return true;
    }
    if (error)
        *error = QStringLiteral("пол задаётся буквой F или M: \"%1\"").arg(text);
    return false;
}

bool parseBirthDate(const QString& text, QDate& date, QString* error)
{
    const QDate d = QDate::fromString(text.trimmed(), QStringLiteral("yyyy-MM-dd"));
    if (d.isValid() && d.year() >= 1800 && d <= QDate::currentDate()) {
        date = d;
        return true;
    }
    if (error)
        *error = QStringLiteral("дата рождения задаётся как ГГГГ-ММ-ДД и не позже сегодняшней: "
                                "\"%1\"")
                     .arg(text);
    return false;
}

bool parseLabels(const QString& text, QStringList& names, QString* error)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != electrodeCount) {
        if (error)
            *error = QStringLiteral("ожидается %1 имён через запятую, задано %2")
                         .arg(electrodeCount)
                         .arg(parts.size());
        return false;
    }
    names = normalizedNames(parts);
    return true;
}

} // namespace exam
