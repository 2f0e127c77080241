#include "app/examdialogs.h"

#include "exam/electrodes.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

ElectrodesDialog::ElectrodesDialog(const QStringList& names, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Электроды"));
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    for (int c = 0; c < exam::electrodeCount; ++c) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("lineEditElectrode%1").arg(c + 1));
        edit->setMaxLength(12);
        edit->setPlaceholderText(exam::displayName(c, QString()));
        grid->addWidget(new QLabel(tr("Канал %1").arg(c + 1), this), c % 6, (c / 6) * 2);
        grid->addWidget(edit, c % 6, (c / 6) * 2 + 1);
        edits.append(edit);
    }
    layout->addLayout(grid);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* tenTwenty = buttons->addButton(tr("10–20"), QDialogButtonBox::ResetRole);
    tenTwenty->setObjectName(QStringLiteral("pushButtonTenTwenty"));
    tenTwenty->setToolTip(tr("Fp1, Fp2, F3, F4, C3, C4, P3, P4, O1, O2, T3, T4"));
    QPushButton* plain = buttons->addButton(tr("Номера каналов"), QDialogButtonBox::ResetRole);
    plain->setObjectName(QStringLiteral("pushButtonPlainNames"));
    connect(tenTwenty, &QPushButton::clicked, this, [this] { setNames(exam::tenTwentyNames()); });
    connect(plain, &QPushButton::clicked, this, [this] { setNames(exam::plainNames()); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setNames(names);
}

QStringList ElectrodesDialog::names() const
{
    QStringList out;
    for (const QLineEdit* e : edits)
        out.append(e->text());
    return exam::normalizedNames(out);
}

void ElectrodesDialog::setNames(const QStringList& names)
{
    const QStringList n = exam::normalizedNames(names);
    for (int c = 0; c < edits.size(); ++c)
        edits[c]->setText(n[c]);
}

PatientDialog::PatientDialog(const exam::PatientDetails& d, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Пациент"));
    auto* form = new QFormLayout(this);
    code = new QLineEdit(d.code, this);
    name = new QLineEdit(d.name, this);
    sex = new QComboBox(this);
    sex->addItems({tr("не указан"), tr("женский"), tr("мужской")});
    sex->setCurrentIndex(d.sex == QLatin1Char('F') ? 1 : d.sex == QLatin1Char('M') ? 2 : 0);
    birthKnown = new QCheckBox(tr("указана"), this);
    birthKnown->setChecked(d.birthDate.isValid());
    birth = new QDateEdit(d.birthDate.isValid() ? d.birthDate : QDate(1980, 1, 1), this);
    birth->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    birth->setDateRange(QDate(1800, 1, 1), QDate::currentDate());
    birth->setCalendarPopup(true);
    technician = new QLineEdit(d.technician, this);
    equipment = new QLineEdit(d.equipment, this);
    anonymous = new QCheckBox(tr("Анонимно (в файл пишется X)"), this);
    anonymous->setChecked(d.anonymous);
    code->setObjectName(QStringLiteral("lineEditPatientCode"));
    name->setObjectName(QStringLiteral("lineEditPatientName"));
    anonymous->setObjectName(QStringLiteral("checkBoxAnonymous"));
    for (QLineEdit* e : {code, name, technician, equipment})
        e->setMaxLength(80);

    auto* birthRow = new QHBoxLayout;
    birthRow->addWidget(birthKnown);
    birthRow->addWidget(birth, 1);
    form->addRow(tr("Код пациента"), code);
    form->addRow(tr("Ф. И. О."), name);
    form->addRow(tr("Пол"), sex);
    form->addRow(tr("Дата рождения"), birthRow);
    form->addRow(tr("Лаборант"), technician);
    form->addRow(tr("Оборудование"), equipment);
    form->addRow(anonymous);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
    connect(birthKnown, &QCheckBox::toggled, this, &PatientDialog::updateEnabled);
    connect(anonymous, &QCheckBox::toggled, this, &PatientDialog::updateEnabled);
    updateEnabled();
}

void PatientDialog::updateEnabled()
{
    const bool named = !anonymous->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(code), static_cast<QWidget*>(name),
                       static_cast<QWidget*>(sex), static_cast<QWidget*>(birthKnown)})
        w->setEnabled(named);
    birth->setEnabled(named && birthKnown->isChecked());
}

exam::PatientDetails PatientDialog::details() const
{
    exam::PatientDetails d;
    d.code = code->text().trimmed();
    d.name = name->text().trimmed();
    d.sex = sex->currentIndex() == 1   ? QLatin1Char('F')
            : sex->currentIndex() == 2 ? QLatin1Char('M')
                                       : QChar();
    if (birthKnown->isChecked())
        d.birthDate = birth->date();
    d.technician = technician->text().trimmed();
    d.equipment = equipment->text().trimmed();
    d.anonymous = anonymous->isChecked();
    return d;
}

TextDialog::TextDialog(const QString& title, const QString& hint, const QString& text,
                       std::function<QString(const QString&)> check, QWidget* parent)
    : QDialog(parent), check(std::move(check))
{
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(hint, this);
    label->setWordWrap(true);
    layout->addWidget(label);
    editor = new QPlainTextEdit(text, this);
    editor->setObjectName(QStringLiteral("plainTextEdit"));
    editor->setMinimumSize(420, 300);
    layout->addWidget(editor);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TextDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QString TextDialog::text() const
{
    return editor->toPlainText();
}

void TextDialog::accept()
{
    const QString problem = check ? check(text()) : QString();
    if (!problem.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), problem);
        return;
    }
    QDialog::accept();
}
