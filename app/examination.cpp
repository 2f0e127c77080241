#include "app/examination.h"

#include "app/examdialogs.h"
#include "exam/electrodes.h"

#include <QAction>
#include <QComboBox>
#include <QDockWidget>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTextCodec>
#include <QTimer>
#include <QVBoxLayout>

namespace
{

const QStringList defaultMarks = {
    QStringLiteral("Глаза открыты"), QStringLiteral("Глаза закрыты"),
    QStringLiteral("Артефакт"),      QStringLiteral("Гипервентиляция"),
    QStringLiteral("Движение"),      QStringLiteral("Моргание"),
    QStringLiteral("Глотание"),      QStringLiteral("Разговор"),
    QStringLiteral("Сонливость")};
constexpr int maxMarks = 9;
enum ProtocolChoice { Photic, Hyperventilation, Own };

constexpr int maxNameLength = 12;        // as the electrode dialog allows
constexpr int maxMarkLength = 80;        // as an annotation can carry
constexpr int maxProtocolText = 1 << 20; // characters; a protocol file of 1 MB at most

QStringList cleanMarks(const QStringList& texts)
{
    QStringList out;
    for (const QString& t : texts)
        if (!t.simplified().isEmpty() && out.size() < maxMarks)
            out.append(t.simplified().left(maxMarkLength));
    return out;
}

QString protocolProblem(const QString& text)
{
    exam::Protocol p;
    QString error;
    return exam::protocolFromText(text, p, &error) ? QString() : error;
}

} // namespace

Examination::Examination(QMainWindow* window, QMenu* fileMenu, QAction* before,
                         QDockWidget* neighbour)
    : QObject(window), window(window), names(exam::plainNames()), marks(defaultMarks)
{
    protocolTexts[Photic] = exam::protocolToText(exam::photicPreset());
    protocolTexts[Hyperventilation] = exam::protocolToText(exam::hyperventilationPreset());
    protocolTexts[Own] = protocolTexts[Photic];

    QAction* patient = new QAction(tr("Пациент..."), window);
    patient->setObjectName(QStringLiteral("actionPatient"));
    patient->setStatusTip(tr("Сведения о пациенте и записи для файлов"));
    fileMenu->insertAction(fileMenu->actions().value(2), patient);
    connect(patient, &QAction::triggered, this, &Examination::editPatient);

    QMenu* settingsMenu = new QMenu(tr("Параметры"), window);
    settingsMenu->setObjectName(QStringLiteral("menuSettings"));
    window->menuBar()->insertMenu(before, settingsMenu);
    QAction* electrodes = settingsMenu->addAction(tr("Электроды..."));
    electrodes->setObjectName(QStringLiteral("actionElectrodes"));
    electrodes->setStatusTip(tr("Имена электродов каналов"));
    connect(electrodes, &QAction::triggered, this, &Examination::editElectrodes);

    buildMarksDock();
    buildProtocolDock();
    // A tab each beside the stimulation controls: the left column stays as tall as it was.
    window->tabifyDockWidget(neighbour, dockMarks);
    window->tabifyDockWidget(dockMarks, dockProtocol);
    neighbour->raise();
    settingsMenu->addSeparator();
    settingsMenu->addAction(dockMarks->toggleViewAction());
    settingsMenu->addAction(dockProtocol->toggleViewAction());

    connect(&runner, &exam::ProtocolRunner::mark, this, [this](const QString& text) {
        if (sampleNow)
            emit mark(sampleNow(), text);
    });
    // A capture asked for by a protocol that has not started by then is not waited for.
    runOnCaptureTimeout = new QTimer(this);
    runOnCaptureTimeout->setSingleShot(true);
    runOnCaptureTimeout->setInterval(5000);
    connect(runOnCaptureTimeout, &QTimer::timeout, this, [this] { runOnCapture = false; });
    connect(&runner, &exam::ProtocolRunner::lightStart, this, &Examination::lightStart);
    connect(&runner, &exam::ProtocolRunner::lightStop, this, &Examination::lightStop);
    connect(&runner, &exam::ProtocolRunner::soundStart, this, &Examination::soundStart);
    connect(&runner, &exam::ProtocolRunner::soundStop, this, &Examination::soundStop);
    connect(&runner, &exam::ProtocolRunner::progress, this, &Examination::protocolProgress);
    connect(&runner, &exam::ProtocolRunner::waiting, this, &Examination::protocolWaiting);
    connect(&runner, &exam::ProtocolRunner::finished, this, &Examination::protocolFinished);
    updateEnabled();
}

void Examination::buildMarksDock()
{
    dockMarks = new QDockWidget(tr("Отметки"), window);
    dockMarks->setObjectName(QStringLiteral("dockWidgetMarks"));
    auto* body = new QWidget(dockMarks);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(2, 2, 2, 2);
    markGrid = new QGridLayout;
    layout->addLayout(markGrid);
    auto* own = new QPushButton(tr("Своя отметка... (Ctrl+M)"), body);
    own->setObjectName(QStringLiteral("pushButtonFreeMark"));
    auto* edit = new QPushButton(tr("Изменить список..."), body);
    edit->setObjectName(QStringLiteral("pushButtonEditMarks"));
    layout->addWidget(own);
    layout->addWidget(edit);
    layout->addStretch(1);
    dockMarks->setWidget(body);
    window->addDockWidget(Qt::LeftDockWidgetArea, dockMarks);

    for (int k = 0; k < maxMarks; ++k) {
        markKeys[k] = new QAction(window);
        markKeys[k]->setShortcut(QKeySequence(Qt::Key_1 + k));
        markKeys[k]->setShortcutContext(Qt::WindowShortcut);
        markKeys[k]->setAutoRepeat(false); // a key held down is one mark
        window->addAction(markKeys[k]);
        connect(markKeys[k], &QAction::triggered, this, [this, k] {
            if (capturing && k < marks.size() && sampleNow)
                emit mark(sampleNow(), marks[k]);
        });
    }
    actionFreeMark = new QAction(tr("Своя отметка..."), window);
    actionFreeMark->setObjectName(QStringLiteral("actionFreeMark"));
    actionFreeMark->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    actionFreeMark->setAutoRepeat(false);
    window->addAction(actionFreeMark);
    connect(actionFreeMark, &QAction::triggered, this, &Examination::freeMark);
    connect(own, &QPushButton::clicked, this, &Examination::freeMark);
    connect(edit, &QPushButton::clicked, this, &Examination::editMarks);
    rebuildMarkButtons();
}

void Examination::rebuildMarkButtons()
{
    qDeleteAll(markButtons);
    markButtons.clear();
    for (int k = 0; k < marks.size(); ++k) {
        auto* b = new QPushButton(QStringLiteral("%1  %2").arg(k + 1).arg(marks[k]));
        b->setObjectName(QStringLiteral("pushButtonMark%1").arg(k + 1));
        b->setToolTip(tr("Отметка \"%1\" (клавиша %2)").arg(marks[k]).arg(k + 1));
        markGrid->addWidget(b, k, 0);
        connect(b, &QPushButton::clicked, markKeys[k], &QAction::trigger);
        markButtons.append(b);
    }
    updateEnabled();
}

void Examination::buildProtocolDock()
{
    dockProtocol = new QDockWidget(tr("Протокол"), window);
    dockProtocol->setObjectName(QStringLiteral("dockWidgetProtocol"));
    auto* body = new QWidget(dockProtocol);
    auto* layout = new QGridLayout(body);
    layout->setContentsMargins(2, 2, 2, 2);
    protocolChoice = new QComboBox(body);
    protocolChoice->setObjectName(QStringLiteral("comboBoxProtocol"));
    protocolChoice->addItems({tr("Фотостимуляция"), tr("Гипервентиляция"), tr("Свой протокол")});
    auto* edit = new QPushButton(tr("Изменить..."), body);
    auto* open = new QPushButton(tr("Из файла..."), body);
    protocolRun = new QPushButton(tr("Запустить"), body);
    protocolRun->setObjectName(QStringLiteral("pushButtonProtocolRun"));
    protocolGoOn = new QPushButton(tr("Продолжить"), body);
    protocolGoOn->setObjectName(QStringLiteral("pushButtonProtocolGoOn"));
    protocolGoOn->hide();
    protocolBar = new QProgressBar(body);
    protocolBar->setObjectName(QStringLiteral("progressBarProtocol"));
    protocolStep = new QLabel(body);
    protocolStep->setObjectName(QStringLiteral("labelProtocolStep"));
    protocolStep->setWordWrap(true);
    layout->addWidget(protocolChoice, 0, 0, 1, 2);
    layout->addWidget(edit, 1, 0);
    layout->addWidget(open, 1, 1);
    layout->addWidget(protocolRun, 2, 0);
    layout->addWidget(protocolGoOn, 2, 1);
    layout->addWidget(protocolBar, 3, 0, 1, 2);
    layout->addWidget(protocolStep, 4, 0, 1, 2);
    layout->setRowStretch(5, 1);
    dockProtocol->setWidget(body);
    window->addDockWidget(Qt::LeftDockWidgetArea, dockProtocol);

    actionStopProtocol = new QAction(tr("Остановить протокол"), window);
    actionStopProtocol->setObjectName(QStringLiteral("actionStopProtocol"));
    actionStopProtocol->setShortcut(QKeySequence(Qt::Key_Escape));
    actionStopProtocol->setShortcutContext(Qt::WindowShortcut);
    window->addAction(actionStopProtocol);
    connect(actionStopProtocol, &QAction::triggered, this, &Examination::stopProtocol);
    connect(edit, &QPushButton::clicked, this, &Examination::editProtocol);
    connect(open, &QPushButton::clicked, this, &Examination::openProtocol);
    connect(protocolRun, &QPushButton::clicked, this, &Examination::runOrStop);
    connect(protocolGoOn, &QPushButton::clicked, &runner, &exam::ProtocolRunner::proceed);
}

void Examination::loadSettings(QSettings& settings)
{
    settings.beginGroup(QStringLiteral("Exam"));
    const QVariant stored = settings.value(QStringLiteral("Electrodes"));
    QStringList list = stored.toStringList();
    if (list.size() == exam::electrodeCount) {
        for (QString& name : list)
            name = name.left(maxNameLength);
        setElectrodeNames(list);
    }
    const QVariant storedMarks = settings.value(QStringLiteral("Marks"));
    if (storedMarks.isValid() && !cleanMarks(storedMarks.toStringList()).isEmpty())
        setMarkTexts(storedMarks.toStringList());

    settings.beginGroup(QStringLiteral("Patient"));
    exam::PatientDetails d;
    d.code = settings.value(QStringLiteral("Code")).toString().left(80);
    d.name = settings.value(QStringLiteral("Name")).toString().left(80);
    const QString sex = settings.value(QStringLiteral("Sex")).toString();
    if (sex == QLatin1String("F") || sex == QLatin1String("M"))
        d.sex = sex[0];
    const QDate born =
        QDate::fromString(settings.value(QStringLiteral("BirthDate")).toString(), Qt::ISODate);
    if (born.isValid() && born.year() >= 1800 && born <= QDate::currentDate())
        d.birthDate = born;
    d.technician = settings.value(QStringLiteral("Technician")).toString().left(80);
    d.equipment = settings.value(QStringLiteral("Equipment")).toString().left(80);
    d.anonymous = settings.value(QStringLiteral("Anonymous")).toString() == QLatin1String("true");
    setPatient(d);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Protocols"));
    const char* keys[] = {"Photic", "Hyperventilation", "Own"};
    for (int i = 0; i < 3; ++i) {
        const QString text = settings.value(QLatin1String(keys[i])).toString();
        if (!text.isEmpty() && text.size() <= maxProtocolText && protocolProblem(text).isEmpty())
            protocolTexts[i] = text;
    }
    const int choice = settings.value(QStringLiteral("Choice"), 0).toInt();
    protocolChoice->setCurrentIndex(choice >= 0 && choice < 3 ? choice : 0);
    settings.endGroup();
    settings.endGroup();
}

void Examination::saveSettings(QSettings& settings) const
{
    settings.beginGroup(QStringLiteral("Exam"));
    settings.setValue(QStringLiteral("Electrodes"), names);
    settings.setValue(QStringLiteral("Marks"), marks);
    settings.beginGroup(QStringLiteral("Patient"));
    settings.setValue(QStringLiteral("Code"), details.code);
    settings.setValue(QStringLiteral("Name"), details.name);
    settings.setValue(QStringLiteral("Sex"),
                      details.sex.isNull() ? QString() : QString(details.sex));
    settings.setValue(QStringLiteral("BirthDate"), details.birthDate.toString(Qt::ISODate));
    settings.setValue(QStringLiteral("Technician"), details.technician);
    settings.setValue(QStringLiteral("Equipment"), details.equipment);
    settings.setValue(QStringLiteral("Anonymous"), details.anonymous);
    settings.endGroup();
    settings.beginGroup(QStringLiteral("Protocols"));
    settings.setValue(QStringLiteral("Photic"), protocolTexts[Photic]);
    settings.setValue(QStringLiteral("Hyperventilation"), protocolTexts[Hyperventilation]);
    settings.setValue(QStringLiteral("Own"), protocolTexts[Own]);
    settings.setValue(QStringLiteral("Choice"), protocolChoice->currentIndex());
    settings.endGroup();
    settings.endGroup();
}

void Examination::setElectrodeNames(const QStringList& list)
{
    const QStringList n = exam::normalizedNames(list);
    if (n == names)
        return;
    names = n;
    emit electrodeNamesChanged(names);
}

void Examination::setPatient(const exam::PatientDetails& d)
{
    if (d == details)
        return;
    details = d;
    emit patientChanged(details);
}

void Examination::setMarkTexts(const QStringList& texts)
{
    const QStringList clean = cleanMarks(texts);
    marks = clean.isEmpty() ? defaultMarks : clean;
    rebuildMarkButtons();
}

void Examination::setCapturing(bool on)
{
    capturing = on;
    if (!on)
        stopProtocol();
    updateEnabled();
    if (on && runOnCapture) {
        runOnCapture = false;
        runOnCaptureTimeout->stop();
        runProtocol(chosenProtocol());
    }
}

exam::Protocol Examination::chosenProtocol() const
{
    exam::Protocol p;
    const int i = std::max(0, protocolChoice->currentIndex());
    exam::protocolFromText(protocolTexts[i], p);
    if (p.name.isEmpty())
        p.name = protocolChoice->currentText();
    return p;
}

bool Examination::runProtocol(const exam::Protocol& protocol)
{
    if (!capturing || runner.isRunning())
        return false;
    if (!runner.start(protocol))
        return false;
    protocolRun->setText(tr("Остановить"));
    protocolStep->setText(protocol.name);
    updateEnabled();
    return true;
}

void Examination::stopProtocol()
{
    runOnCapture = false;
    runOnCaptureTimeout->stop();
    runner.stop();
}

void Examination::runOrStop()
{
    if (runner.isRunning()) {
        stopProtocol();
        return;
    }
    if (!capturing) {
        const auto answer = QMessageBox::question(
            window, tr("Протокол"),
            tr("Протокол выполняется во время сбора данных. Начать сбор данных?"));
        if (answer != QMessageBox::Yes)
            return;
        // The protocol starts once the headset confirms the capture, if a start
        // went out (the operator may still cancel it) and it comes soon.
        runOnCapture = startCapture && startCapture();
        if (runOnCapture)
            runOnCaptureTimeout->start();
        return;
    }
    runProtocol(chosenProtocol());
}

void Examination::protocolProgress(int step, int steps, double elapsed, double planned)
{
    protocolBar->setRange(0, qMax(1, int(planned)));
    protocolBar->setValue(qMin(int(elapsed), protocolBar->maximum()));
    const exam::ProtocolStep& s = runner.protocol().steps.value(step);
    QString what;
    switch (s.kind) {
    case exam::ProtocolStep::Kind::Light:
        what = tr("Свет %1 Гц, %2 с").arg(s.frequency).arg(s.seconds);
        break;
    case exam::ProtocolStep::Kind::Sound:
        what = tr("Звук %1 Гц, %2 с").arg(s.frequency).arg(s.seconds);
        break;
    case exam::ProtocolStep::Kind::Rest:
        what = tr("Пауза %1 с").arg(s.seconds);
        break;
    case exam::ProtocolStep::Kind::Mark:
    case exam::ProtocolStep::Kind::Wait:
        what = s.text;
        break;
    }
    protocolStep->setText(tr("Шаг %1 из %2: %3").arg(step + 1).arg(steps).arg(what));
}

void Examination::protocolWaiting(const QString& message)
{
    protocolGoOn->setVisible(!message.isEmpty());
    if (!message.isEmpty())
        protocolStep->setText(message);
}

void Examination::protocolFinished(bool aborted)
{
    protocolRun->setText(tr("Запустить"));
    protocolGoOn->hide();
    protocolStep->setText(aborted ? tr("Протокол остановлен") : tr("Протокол завершён"));
    if (!aborted)
        protocolBar->setValue(protocolBar->maximum());
    updateEnabled();
}

void Examination::updateEnabled()
{
    for (QPushButton* b : markButtons)
        b->setEnabled(capturing);
    if (actionFreeMark)
        actionFreeMark->setEnabled(capturing);
    if (actionStopProtocol)
        actionStopProtocol->setEnabled(runner.isRunning());
    if (protocolChoice)
        protocolChoice->setEnabled(!runner.isRunning());
}

void Examination::editElectrodes()
{
    ElectrodesDialog dialog(names, window);
    if (dialog.exec() == QDialog::Accepted)
        setElectrodeNames(dialog.names());
}

void Examination::editPatient()
{
    PatientDialog dialog(details, window);
    if (dialog.exec() == QDialog::Accepted)
        setPatient(dialog.details());
}

void Examination::editMarks()
{
    TextDialog dialog(
        tr("Отметки"),
        tr("Одна отметка в строке, не больше девяти; клавиши 1–9 "
           "ставят их по порядку."),
        marks.join(QLatin1Char('\n')),
        [](const QString& text) {
            return cleanMarks(text.split(QLatin1Char('\n'))).isEmpty()
                       ? tr("Нужна хотя бы одна отметка")
                       : QString();
        },
        window);
    if (dialog.exec() == QDialog::Accepted)
        setMarkTexts(dialog.text().split(QLatin1Char('\n')));
}

void Examination::freeMark()
{
    if (!capturing || !sampleNow)
        return;
    // The mark belongs to the moment of Ctrl+M, not to the end of the typing.
    const quint64 sample = sampleNow();
    bool ok = false;
    const QString text = QInputDialog::getText(window, tr("Отметка"), tr("Текст отметки:"),
                                               QLineEdit::Normal, QString(), &ok)
                             .simplified();
    if (ok && !text.isEmpty() && capturing)
        emit mark(sample, text);
}

void Examination::editProtocol()
{
    const int i = std::max(0, protocolChoice->currentIndex());
    TextDialog dialog(tr("Протокол: %1").arg(protocolChoice->currentText()),
                      tr("Шаг в строке: light Гц секунды [яркость %], sound Гц секунды "
                         "[громкость % [тон мкс]], rest секунды, mark текст, wait текст; "
                         "строка с # — комментарий."),
                      protocolTexts[i], protocolProblem, window);
    if (dialog.exec() == QDialog::Accepted)
        protocolTexts[i] = dialog.text();
}

void Examination::openProtocol()
{
    const QString path = QFileDialog::getOpenFileName(window, tr("Протокол"), QString(),
                                                      tr("Протоколы (*.txt);;Все файлы (*)"));
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1 << 20) {
        QMessageBox::warning(window, tr("Протокол"), tr("Не удалось прочитать %1").arg(path));
        return;
    }
    const QByteArray bytes = file.readAll();
    QTextCodec::ConverterState state;
    const QString text =
        QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0) {
        QMessageBox::warning(window, tr("Протокол"),
                             tr("%1: файл протокола не в кодировке UTF-8").arg(path));
        return;
    }
    const QString problem = protocolProblem(text);
    if (!problem.isEmpty()) {
        QMessageBox::warning(window, tr("Протокол"), problem);
        return;
    }
    protocolTexts[Own] = text;
    protocolChoice->setCurrentIndex(Own);
}
