// The patient and the recording's details that go into a file's identification
// fields, as the operator enters them. Kept until changed; an empty field is
// unknown and is written as "X". Anonymous writes X only, whatever is entered.
#pragma once

#include <QDate>
#include <QMetaType>
#include <QString>
#include <QStringList>

namespace exam
{

struct PatientDetails {
    QString code;
    QString name;
    QChar sex; // 'F', 'M', or nothing when unknown
    QDate birthDate;
    QString technician;
    QString equipment;
    bool anonymous = false;

    bool operator==(const PatientDetails& o) const;
};

// The header fields are ASCII: Cyrillic letters are spelt in Latin letters
// ("Иванов Пётр" becomes "Ivanov Pyotr"), anything else outside printable ASCII
// becomes '?'.
QByteArray asciiField(const QString& text);

// Puts the details into a file being written, before its first record; 0 or
// the recording-file module's first negative result.
int writePatientDetails(int handle, const PatientDetails& details);

// "Ivanov_Petr" style values given on a command line: sex "F" or "M", birth
// date as YYYY-MM-DD (not in the future, not before 1800). False with the
// reason in `error`.
bool parseSex(const QString& text, QChar& sex, QString* error = nullptr);
bool parseBirthDate(const QString& text, QDate& date, QString* error = nullptr);
// Twelve comma-separated electrode names (empty ones allowed: plain channels).
bool parseLabels(const QString& text, QStringList& names, QString* error = nullptr);

} // namespace exam

Q_DECLARE_METATYPE(exam::PatientDetails)
