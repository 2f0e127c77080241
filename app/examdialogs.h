// The examination's dialogs: the electrodes' names (Параметры → Электроды…),
// the patient's and the recording's details (Файл → Пациент…), and the text of
// a protocol or of the operator's marks. Each edits a copy and gives it back
// only on OK.
#pragma once

#include "exam/patient.h"

#include <QDialog>
#include <QStringList>

#include <functional>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QPlainTextEdit;

class ElectrodesDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ElectrodesDialog(const QStringList& names, QWidget* parent = nullptr);
    QStringList names() const;
    void setNames(const QStringList& names);

private:
    QList<QLineEdit*> edits;
};

class PatientDialog : public QDialog
{
    Q_OBJECT
public:
    explicit PatientDialog(const exam::PatientDetails& details, QWidget* parent = nullptr);
    exam::PatientDetails details() const;

private:
    void updateEnabled();

    QLineEdit* code;
    QLineEdit* name;
    QComboBox* sex;
    QCheckBox* birthKnown;
    QDateEdit* birth;
    QLineEdit* technician;
    QLineEdit* equipment;
    QCheckBox* anonymous;
};

// A text in a plain editor, with a check run on OK: `check` returns an empty
// string when the text is good, else the reason, shown and the dialog kept open.
class TextDialog : public QDialog
{
    Q_OBJECT
public:
    TextDialog(const QString& title, const QString& hint, const QString& text,
               std::function<QString(const QString&)> check, QWidget* parent = nullptr);
    QString text() const;
    void accept() override;

private:
    QPlainTextEdit* editor;
    std::function<QString(const QString&)> check;
};
