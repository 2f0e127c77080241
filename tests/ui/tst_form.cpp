// The main window form: every object by name and class, the values the
// controller relies on, the order of menus and tool bar, the three built-in
// signal links and the by-name binding of the handlers.

#include "display/viewsettings.h"
#include "formhost.h"

#include <QAbstractButton>
#include <QAction>
#include <QDockWidget>
#include <QGridLayout>
#include <QGroupBox>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QSplitter>
#include <QTextBlock>
#include <QToolBar>
#include <QWidgetAction>
#include <QtTest>

#include <functional>
#include <iterator>
#include <memory>

namespace
{

// Object names of an action list, "|" for a separator.
QStringList actionNames(const QList<QAction*>& actions)
{
    QStringList names;
    for (const QAction* a : actions)
        names << (a->isSeparator() ? QStringLiteral("|") : a->objectName());
    return names;
}

// The icon as the form shows it, compared with the resource it should come from.
bool iconShows(const QIcon& icon, const QString& path)
{
    // Pixmaps hold premultiplied pixels; compare in that form so that
    // half-transparent edges match exactly.
    const auto format = QImage::Format_ARGB32_Premultiplied;
    const QImage expected = QImage(path).convertToFormat(format);
    if (expected.isNull() || icon.isNull())
        return false;
    const QImage shown = icon.pixmap(expected.size()).toImage().convertToFormat(format);
    return shown == expected;
}

const char* const deviceDependentOnStart[] = {"lineEditCmd", "pushButtonCmdSend",
                                              "comboBoxFFTcount", "comboBoxFFTwindow"};

} // namespace

class FormTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FormHost> host;
    QObject* object(const QString& name) { return host->findChild<QObject*>(name); }

private slots:
    void init() { host = std::make_unique<FormHost>(); }
    void cleanup() { host.reset(); }

    void everyObjectExistsWithItsClass_data();
    void everyObjectExistsWithItsClass();
    void windowHasItsSizeAndPolicies();
    void actionsCarryTextsTipsShortcutsAndIcons_data();
    void actionsCarryTextsTipsShortcutsAndIcons();
    void menusAndToolBarListActionsInOrder();
    void docksStartInTheirAreasWithTheirFeatures_data();
    void docksStartInTheirAreasWithTheirFeatures();
    void plotsShareTheSplitterTimeAbove();
    void controlsSitInTheirGridCells_data();
    void controlsSitInTheirGridCells();
    void numericControlsHoldRangesAndDefaults_data();
    void numericControlsHoldRangesAndDefaults();
    void durationsStepByHundredAndClamp();
    void comboBoxesHoldTheirItemsAndIndex_data();
    void comboBoxesHoldTheirItemsAndIndex();
    void viewCombosOfferTheirStepsInOrder();
    void textsAndTipsAreTheFormOnes_data();
    void textsAndTipsAreTheFormOnes();
    void onlyDeviceControlsStartDisabled();
    void buildingTheFormRunsNoHandler();
    void everyHandlerIsBoundToItsSignal();
    void factorButtonAndActionMirrorEachOtherAndSettle();
    void enterInCommandLineClicksSend();
    void enterDoesNothingWhileSendIsDisabled();
    void terminalLogKeepsAtMost32768Lines();
    void terminalLogIsAReadOnlyFixedFontPane();
    void tabOrderAndBuddyLeadFromPortToCommandLine();
    void shownWindowPlacesDocksAroundThePlotsUnclipped();
};

void FormTest::everyObjectExistsWithItsClass_data()
{
    QTest::addColumn<QString>("className");
    const QList<QPair<const char*, QStringList>> table = {
        {"QAction",
         {"actionStart", "actionStop", "actionAbout", "actionClear", "actionZoom", "actionOpen",
          "actionSave", "actionExit", "actionAnalysisFourier", "actionAnalysisStatistics",
          "actionAnalysisSendVARN", "actionMeasFactor", "actionViewOverlay", "actionViewLanes"}},
        {"QActionGroup", {"actionGroupViewMode"}},
        {"QWidget",
         {"centralWidget", "dockWidgetContentsSettings", "dockWidgetContentsTerminal",
          "dockWidgetContentsStimulation"}},
        {"QVBoxLayout",
         {"verticalLayout_5", "verticalLayout_2", "verticalLayout_4", "verticalLayout",
          "verticalLayout_3", "verticalLayout_6"}},
        {"QHBoxLayout", {"horizontalLayoutCmd"}},
        {"QGridLayout",
         {"gridLayout", "gridLayout_2", "gridLayout_3", "gridLayout_4", "gridLayout_5",
          "gridLayout_6"}},
        {"QSplitter", {"splitter"}},
        {"QFrame", {"widgetFrameTime", "widgetFrameFreq"}},
        {"QCustomPlot", {"plotTime", "plotFreq"}},
        {"QStatusBar", {"statusBar"}},
        {"QDockWidget", {"dockWidgetSettings", "dockWidgetTerminal", "dockWidgetStimulation"}},
        {"QGroupBox",
         {"groupBoxConnection", "groupBoxCapture", "groupBoxFFT", "groupBoxSpectrum",
          "groupBoxLight", "groupBoxSound"}},
        {"QLabel", {"labelConnectionPort",   "labelCapturePeriod",    "labelCaptureFreq",
                    "labelFFTcount",         "labelFFTwindow",        "labelSpectrumLegend",
                    "labelSpectrumScaleX_2", "labelSpectrumScaleX",   "labelSpectrumScaleY",
                    "labelLightBright",      "labelLightDuration",    "labelLightPause",
                    "labelLightCount",       "labelLightSeriesPause", "labelLightSeries",
                    "labelSoundVolume",      "labelSoundDuration",    "labelSoundPause",
                    "labelSoundCount",       "labelSoundSeriesPause", "labelSoundSeriesCount",
                    "labelSoundTone"}},
        {"QComboBox",
         {"comboBoxConnectionPort", "comboBoxFFTcount", "comboBoxFFTwindow",
          "comboBoxSpectrumScaleX", "comboBoxSpectrumScaleY", "comboBoxViewSensitivity",
          "comboBoxViewWindow", "comboBoxViewHighPass", "comboBoxViewLowPass",
          "comboBoxViewNotch"}},
        {"QDoubleSpinBox",
         {"doubleSpinBoxCapturePeriod", "doubleSpinBoxCaptureFreq", "doubleSpinBoxLightBright",
          "doubleSpinBoxLightDuration", "doubleSpinBoxLightPause", "doubleSpinBoxSoundVolume",
          "doubleSpinBoxSoundDuration", "doubleSpinBoxSoundPause", "doubleSpinBoxSoundTone"}},
        {"QSpinBox",
         {"spinBoxLightCount", "spinBoxLightSeriesPause", "spinBoxLightSeriesCount",
          "spinBoxSoundCount", "spinBoxSoundSeriesPause", "spinBoxSoundSeriesCount"}},
        {"QSlider", {"horizontalSliderCaptureAdc"}},
        {"QCheckBox", {"checkBoxSpectrumLegend", "checkBoxSpectrumScale"}},
        {"QPlainTextEdit", {"plainTextEditLog"}},
        {"QLineEdit", {"lineEditCmd"}},
        {"QPushButton",
         {"pushButtonCmdSend", "pushButtonFactor", "pushButtonLightStart", "pushButtonLightStop",
          "pushButtonSoundStart", "pushButtonSoundStop"}},
        {"QToolBar", {"toolBar", "toolBarView"}},
        {"QMenuBar", {"menuBar"}},
        {"QMenu", {"menu", "menuView", "menuCapture", "menuAnalysis", "menuHelp"}},
    };
    for (const auto& row : table)
        for (const QString& name : row.second)
            QTest::newRow(qPrintable(name)) << QString::fromLatin1(row.first);
}

void FormTest::everyObjectExistsWithItsClass()
{
    QFETCH(QString, className);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    const QList<QObject*> found = host->findChildren<QObject*>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString::fromLatin1(found.first()->metaObject()->className()), className);
}

void FormTest::windowHasItsSizeAndPolicies()
{
    QCOMPARE(host->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(host->size(), QSize(795, 791));
    QCOMPARE(host->minimumSize(), QSize(600, 400));
    QCOMPARE(host->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(host->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QVERIFY(!host->isDockNestingEnabled());
    QVERIFY(host->windowTitle().isEmpty());
    QCOMPARE(host->menuBar(), host->ui.menuBar);
    QCOMPARE(host->ui.menuBar->geometry(), QRect(0, 0, 795, 21));
    QCOMPARE(host->statusBar(), host->ui.statusBar);
    QCOMPARE(host->centralWidget(), host->ui.centralWidget);

    // A window that already has a name keeps it.
    QMainWindow named;
    named.setObjectName(QStringLiteral("keep"));
    Ui::MainWindow form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("keep"));
}

void FormTest::actionsCarryTextsTipsShortcutsAndIcons_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("shortcut");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("checkable");
    auto row = [](const char* name, const char* text, const char* tip, const char* key,
                  const char* icon, bool enabled, bool checkable) {
        QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(tip)
                            << QString::fromLatin1(key) << QString::fromLatin1(icon) << enabled
                            << checkable;
    };
    row("actionStart", "Старт", "Запуск сбора данных", "F5", ":/pic/start.png", false, false);
    row("actionStop", "Стоп", "Остановить сбор данных", "F6", ":/pic/stop.png", false, false);
    row("actionAbout", "О программе...", "О программе", "F1", ":/pic/about.png", true, false);
    row("actionClear", "Очистить", "Очистить графики", "F3", ":/pic/clear.png", true, false);
    row("actionZoom", "Автомасштаб", "Автомасштабирование графиков", "F4", ":/pic/zoom.png", true,
        false);
    row("actionOpen", "Открыть", "Открыть файл", "Ctrl+O", ":/pic/open.png", true, false);
    row("actionSave", "Сохранить", "Сохранить файл", "Ctrl+S", ":/pic/save.png", true, false);
    row("actionExit", "Выход", "Выйти из программы", "", "", true, false);
    row("actionAnalysisFourier", "Анализ Фурье", "Анализ Фурье", "F10", ":/pic/spectrum.png", true,
        false);
    row("actionAnalysisStatistics", "Итоговая статистика", "Итоговая статистика", "F11",
        ":/pic/statistics.png", true, false);
    row("actionAnalysisSendVARN", "Отправить в VARN", "Отправить данные на сервер VARN", "F12",
        ":/pic/send-data.png", true, false);
    row("actionMeasFactor", "Фактор", "Воздействие на пациента", "", ":/pic/factor.png", true,
        true);
}

void FormTest::actionsCarryTextsTipsShortcutsAndIcons()
{
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QString, shortcut);
    QFETCH(QString, icon);
    QFETCH(bool, enabled);
    QFETCH(bool, checkable);
    auto* action = host->findChild<QAction*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(action);
    QCOMPARE(action->parent(), host.get());
    QCOMPARE(action->text(), text);
    QCOMPARE(action->toolTip(), toolTip);
    QVERIFY(action->statusTip().isEmpty());
    QCOMPARE(action->shortcut(), QKeySequence(shortcut));
    QCOMPARE(action->isEnabled(), enabled);
    QCOMPARE(action->isCheckable(), checkable);
    QVERIFY(!action->isChecked());
    if (icon.isEmpty())
        QVERIFY(action->icon().isNull());
    else
        QVERIFY2(iconShows(action->icon(), icon), qPrintable(icon));
}

void FormTest::menusAndToolBarListActionsInOrder()
{
    const Ui::MainWindow& ui = host->ui;
    QStringList titles;
    for (const QAction* a : ui.menuBar->actions())
        titles << a->text();
    QCOMPARE(titles, QStringList({"Файл", "Вид", "Измерение", "Анализ", "?"}));
    QCOMPARE(ui.menuBar->actions().at(0)->menu(), ui.menu);
    QCOMPARE(ui.menuBar->actions().at(1)->menu(), ui.menuView);
    QCOMPARE(ui.menuBar->actions().at(2)->menu(), ui.menuCapture);
    QCOMPARE(ui.menuBar->actions().at(3)->menu(), ui.menuAnalysis);
    QCOMPARE(ui.menuBar->actions().at(4)->menu(), ui.menuHelp);

    QCOMPARE(actionNames(ui.menu->actions()),
             QStringList({"actionOpen", "actionSave", "|", "actionExit"}));
    QCOMPARE(actionNames(ui.menuView->actions()),
             QStringList(
                 {"actionClear", "actionZoom", "|", "actionViewOverlay", "actionViewLanes", "|"}));
    QCOMPARE(actionNames(ui.menuCapture->actions()),
             QStringList({"actionStart", "actionStop", "|", "actionMeasFactor"}));
    QCOMPARE(actionNames(ui.menuAnalysis->actions()),
             QStringList(
                 {"actionAnalysisFourier", "actionAnalysisStatistics", "actionAnalysisSendVARN"}));
    QCOMPARE(actionNames(ui.menuHelp->actions()), QStringList({"actionAbout"}));

    QCOMPARE(actionNames(ui.toolBar->actions()),
             QStringList({"actionOpen", "actionSave", "|", "actionStart", "actionStop", "|",
                          "actionMeasFactor", "|", "actionZoom", "actionClear", "|",
                          "actionAnalysisFourier", "actionAnalysisStatistics",
                          "actionAnalysisSendVARN"}));
    QCOMPARE(ui.toolBar->windowTitle(), QStringLiteral("Панель инструментов"));
    QVERIFY(ui.toolBar->isMovable());
    QCOMPARE(ui.toolBar->orientation(), Qt::Horizontal);
    QCOMPARE(host->toolBarArea(ui.toolBar), Qt::TopToolBarArea);

    // The view's tool bar: its six choices, then the two modes, on a row of
    // its own under the main one.
    QStringList view;
    for (QAction* a : ui.toolBarView->actions()) {
        auto* holder = qobject_cast<QWidgetAction*>(a);
        view << (holder             ? holder->defaultWidget()->objectName()
                 : a->isSeparator() ? QStringLiteral("|")
                                    : a->objectName());
    }
    QCOMPARE(view, QStringList({"comboBoxViewSensitivity", "comboBoxViewWindow",
                                "comboBoxViewHighPass", "comboBoxViewLowPass", "comboBoxViewNotch",
                                "comboBoxViewMontage", "|", "actionViewOverlay",
                                "actionViewLanes"}));
    QCOMPARE(ui.toolBarView->windowTitle(), QStringLiteral("Вид"));
    QCOMPARE(host->toolBarArea(ui.toolBarView), Qt::TopToolBarArea);
    QVERIFY(host->toolBarBreak(ui.toolBarView));

    // The modes exclude each other; overlay is where a new install starts.
    QVERIFY(ui.actionGroupViewMode->isExclusive());
    QVERIFY(ui.actionViewOverlay->isChecked());
    ui.actionViewLanes->trigger();
    QVERIFY(ui.actionViewLanes->isChecked() && !ui.actionViewOverlay->isChecked());
    ui.actionViewLanes->trigger();
    QVERIFY(ui.actionViewLanes->isChecked());
}

void FormTest::docksStartInTheirAreasWithTheirFeatures_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("area");
    QTest::addColumn<int>("allowed");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("contents");
    const int lr = Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea;
    QTest::newRow("dockWidgetSettings")
        << "Параметры" << int(Qt::RightDockWidgetArea) << lr << ":/pic/settings.png"
        << "dockWidgetContentsSettings";
    QTest::newRow("dockWidgetTerminal") << "Терминал" << int(Qt::BottomDockWidgetArea)
                                        << (lr | Qt::BottomDockWidgetArea) << ":/pic/terminal.png"
                                        << "dockWidgetContentsTerminal";
    QTest::newRow("dockWidgetStimulation")
        << "Стимуляция" << int(Qt::LeftDockWidgetArea) << int(Qt::AllDockWidgetAreas) << QString()
        << "dockWidgetContentsStimulation";
}

void FormTest::docksStartInTheirAreasWithTheirFeatures()
{
    QFETCH(QString, title);
    QFETCH(int, area);
    QFETCH(int, allowed);
    QFETCH(QString, icon);
    QFETCH(QString, contents);
    auto* dock = host->findChild<QDockWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(dock);
    QCOMPARE(dock->windowTitle(), title);
    QCOMPARE(int(host->dockWidgetArea(dock)), area);
    QCOMPARE(int(dock->allowedAreas()), allowed);
    QCOMPARE(dock->features(), QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                                   QDockWidget::DockWidgetFloatable);
    QCOMPARE(dock->widget()->objectName(), contents);
    if (!icon.isEmpty())
        QVERIFY(iconShows(dock->windowIcon(), icon));

    const Ui::MainWindow& ui = host->ui;
    QCOMPARE(ui.dockWidgetSettings->minimumSize(), QSize(240, 541));
    QCOMPARE(ui.dockWidgetContentsSettings->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui.dockWidgetTerminal->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void FormTest::plotsShareTheSplitterTimeAbove()
{
    const Ui::MainWindow& ui = host->ui;
    QCOMPARE(ui.verticalLayout_5->count(), 1);
    QCOMPARE(ui.verticalLayout_5->itemAt(0)->widget(), ui.splitter);
    QCOMPARE(ui.verticalLayout_5->spacing(), 0);
    QCOMPARE(ui.verticalLayout_5->contentsMargins(), QMargins(1, 1, 1, 1));
    QCOMPARE(ui.splitter->orientation(), Qt::Vertical);
    QCOMPARE(ui.splitter->handleWidth(), 4);
    QCOMPARE(ui.splitter->count(), 2);
    QCOMPARE(ui.splitter->widget(0), ui.widgetFrameTime);
    QCOMPARE(ui.splitter->widget(1), ui.widgetFrameFreq);
    const QPair<QFrame*, QWidget*> frames[] = {{ui.widgetFrameTime, ui.plotTime},
                                               {ui.widgetFrameFreq, ui.plotFreq}};
    for (const auto& f : frames) {
        QCOMPARE(f.second->parentWidget(), f.first);
        QCOMPARE(f.first->layout()->count(), 1);
        QCOMPARE(f.first->layout()->contentsMargins(), QMargins());
        QCOMPARE(f.first->frameShape(), QFrame::StyledPanel);
        QCOMPARE(f.first->frameShadow(), QFrame::Sunken);
        QCOMPARE(f.first->sizePolicy().verticalStretch(), 1);
    }
}

void FormTest::controlsSitInTheirGridCells_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("columnSpan");
    const struct {
        const char* layout;
        int row, column;
        const char* name;
    } cells[] = {
        {"gridLayout_4", 0, 0, "labelConnectionPort"},
        {"gridLayout_4", 0, 1, "comboBoxConnectionPort"},
        {"gridLayout_6", 1, 0, "labelCapturePeriod"},
        {"gridLayout_6", 1, 1, "doubleSpinBoxCapturePeriod"},
        {"gridLayout_6", 2, 0, "labelCaptureFreq"},
        {"gridLayout_6", 2, 1, "doubleSpinBoxCaptureFreq"},
        {"gridLayout_6", 3, 0, "horizontalSliderCaptureAdc"},
        {"gridLayout_2", 1, 0, "labelFFTcount"},
        {"gridLayout_2", 1, 1, "comboBoxFFTcount"},
        {"gridLayout_2", 2, 0, "labelFFTwindow"},
        {"gridLayout_2", 2, 1, "comboBoxFFTwindow"},
        {"gridLayout_3", 0, 0, "labelSpectrumLegend"},
        {"gridLayout_3", 0, 1, "checkBoxSpectrumLegend"},
        {"gridLayout_3", 1, 0, "labelSpectrumScaleX_2"},
        {"gridLayout_3", 1, 1, "checkBoxSpectrumScale"},
        {"gridLayout_3", 2, 0, "labelSpectrumScaleX"},
        {"gridLayout_3", 2, 1, "comboBoxSpectrumScaleX"},
        {"gridLayout_3", 3, 0, "labelSpectrumScaleY"},
        {"gridLayout_3", 3, 1, "comboBoxSpectrumScaleY"},
        {"gridLayout", 0, 0, "labelLightBright"},
        {"gridLayout", 0, 1, "doubleSpinBoxLightBright"},
        {"gridLayout", 1, 0, "labelLightDuration"},
        {"gridLayout", 1, 1, "doubleSpinBoxLightDuration"},
        {"gridLayout", 2, 0, "labelLightPause"},
        {"gridLayout", 2, 1, "doubleSpinBoxLightPause"},
        {"gridLayout", 3, 0, "labelLightCount"},
        {"gridLayout", 3, 1, "spinBoxLightCount"},
        {"gridLayout", 4, 0, "labelLightSeriesPause"},
        {"gridLayout", 4, 1, "spinBoxLightSeriesPause"},
        {"gridLayout", 6, 0, "labelLightSeries"},
        {"gridLayout", 6, 1, "spinBoxLightSeriesCount"},
        {"gridLayout", 8, 0, "pushButtonLightStart"},
        {"gridLayout", 8, 1, "pushButtonLightStop"},
        {"gridLayout_5", 0, 0, "labelSoundVolume"},
        {"gridLayout_5", 0, 1, "doubleSpinBoxSoundVolume"},
        {"gridLayout_5", 1, 0, "labelSoundDuration"},
        {"gridLayout_5", 1, 1, "doubleSpinBoxSoundDuration"},
        {"gridLayout_5", 2, 0, "labelSoundPause"},
        {"gridLayout_5", 2, 1, "doubleSpinBoxSoundPause"},
        {"gridLayout_5", 3, 0, "labelSoundCount"},
        {"gridLayout_5", 3, 1, "spinBoxSoundCount"},
        {"gridLayout_5", 4, 0, "labelSoundSeriesPause"},
        {"gridLayout_5", 4, 1, "spinBoxSoundSeriesPause"},
        {"gridLayout_5", 6, 0, "labelSoundSeriesCount"},
        {"gridLayout_5", 6, 1, "spinBoxSoundSeriesCount"},
        {"gridLayout_5", 9, 0, "labelSoundTone"},
        {"gridLayout_5", 9, 1, "doubleSpinBoxSoundTone"},
        {"gridLayout_5", 10, 0, "pushButtonSoundStart"},
        {"gridLayout_5", 10, 1, "pushButtonSoundStop"},
    };
    for (const auto& c : cells)
        QTest::newRow(c.name) << QString::fromLatin1(c.layout) << c.row << c.column
                              << (QByteArray(c.name) == "horizontalSliderCaptureAdc" ? 2 : 1);
}

void FormTest::controlsSitInTheirGridCells()
{
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, columnSpan);
    auto* grid = host->findChild<QGridLayout*>(layout);
    auto* widget = host->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(grid && widget);
    const int index = grid->indexOf(widget);
    QVERIFY2(index >= 0, "not in this group box's grid");
    int r, c, rs, cs;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, 1);
    QCOMPARE(cs, columnSpan);
    QCOMPARE(grid->spacing(), 4);
    QCOMPARE(grid->contentsMargins(), QMargins(4, 4, 4, 4));
}

void FormTest::numericControlsHoldRangesAndDefaults_data()
{
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("decimals"); // -1: an integer control
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<double>("value");
    auto row = [](const char* name, double lo, double hi, double step, int decimals,
                  const char* suffix, double value) {
        QTest::newRow(name) << lo << hi << step << decimals << QString::fromUtf8(suffix) << value;
    };
    row("doubleSpinBoxCapturePeriod", 1.1, 8.0, 0.1, 3, "мс", 2.0);
    row("doubleSpinBoxCaptureFreq", 125.0, 909.091, 1, 3, "Гц", 500.0);
    row("horizontalSliderCaptureAdc", 8800, 65535, 1, -1, "", 8800);
    row("doubleSpinBoxLightBright", 1, 100, 1, 2, "%", 5);
    row("doubleSpinBoxLightDuration", 0.05, 3276.75, 100, 2, "мс", 100);
    row("doubleSpinBoxLightPause", 0.05, 3276.75, 100, 2, "мс", 100);
    row("spinBoxLightCount", 1, 100, 1, -1, "", 10);
    row("spinBoxLightSeriesPause", 1, 65535, 1, -1, "мс", 500);
    row("spinBoxLightSeriesCount", 1, 65535, 1, -1, "", 3);
    row("doubleSpinBoxSoundVolume", 1, 100, 1, 2, "%", 50);
    row("doubleSpinBoxSoundDuration", 0.05, 3276.75, 100, 2, "мс", 100);
    row("doubleSpinBoxSoundPause", 0.05, 3276.75, 100, 2, "мс", 100);
    row("spinBoxSoundCount", 1, 65535, 1, -1, "", 10);
    row("spinBoxSoundSeriesPause", 1, 65535, 1, -1, "мс", 500);
    row("spinBoxSoundSeriesCount", 1, 65535, 1, -1, "", 3);
    row("doubleSpinBoxSoundTone", 1, 65535, 1, 0, "мкс", 1000);
}

void FormTest::numericControlsHoldRangesAndDefaults()
{
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, step);
    QFETCH(int, decimals);
    QFETCH(QString, suffix);
    QFETCH(double, value);
    QObject* control = object(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->property("minimum").toDouble(), minimum);
    QCOMPARE(control->property("maximum").toDouble(), maximum);
    QCOMPARE(control->property("singleStep").toDouble(), step);
    QCOMPARE(control->property("value").toDouble(), value);
    if (decimals >= 0)
        QCOMPARE(control->property("decimals").toInt(), decimals);
    if (!control->inherits("QSlider"))
        QCOMPARE(control->property("suffix").toString(), suffix);
    else
        QCOMPARE(control->property("orientation").toInt(), int(Qt::Horizontal));
}

void FormTest::durationsStepByHundredAndClamp()
{
    const Ui::MainWindow& ui = host->ui;
    for (QDoubleSpinBox* box : {ui.doubleSpinBoxLightDuration, ui.doubleSpinBoxLightPause,
                                ui.doubleSpinBoxSoundDuration, ui.doubleSpinBoxSoundPause}) {
        box->stepBy(1);
        QCOMPARE(box->value(), 200.0);
        box->setValue(0.0);
        QCOMPARE(box->value(), 0.05);
        box->setValue(1e6);
        QCOMPARE(box->value(), 3276.75);
    }
    // The rate boxes round to their three decimals, so the period and
    // frequency limits meet exactly.
    ui.doubleSpinBoxCaptureFreq->setValue(1.0 / (8800 * 1.25e-7));
    QCOMPARE(ui.doubleSpinBoxCaptureFreq->value(), 909.091);
    ui.doubleSpinBoxCapturePeriod->setValue(8800 * 0.000125);
    QCOMPARE(ui.doubleSpinBoxCapturePeriod->value(), 1.1);
    ui.doubleSpinBoxSoundTone->setValue(1000.4);
    QCOMPARE(ui.doubleSpinBoxSoundTone->value(), 1000.0);
}

void FormTest::comboBoxesHoldTheirItemsAndIndex_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<int>("index");
    const QStringList scale = {"Логарифмический", "Линейный"};
    QTest::newRow("comboBoxConnectionPort") << QStringList() << -1;
    QTest::newRow("comboBoxFFTcount")
        << QStringList({"32", "64", "128", "256", "512", "1024", "2048", "4096", "8192", "16384"})
        << 3;
    QTest::newRow("comboBoxFFTwindow")
        << QStringList({"Прямоугольное", "Гаусса", "Хэмминга", "Ханна", "Треугольное", "Нуталла",
                        "Блэкмана", "Блэкмана-Нуталла", "Блэкмана-Харриса", "Флэттоп", "Велча"})
        << 0;
    QTest::newRow("comboBoxSpectrumScaleX") << scale << 0;
    QTest::newRow("comboBoxSpectrumScaleY") << scale << 0;
}

void FormTest::comboBoxesHoldTheirItemsAndIndex()
{
    QFETCH(QStringList, items);
    QFETCH(int, index);
    auto* combo = host->findChild<QComboBox*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(combo);
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown << combo->itemText(i);
    QCOMPARE(shown, items);
    QCOMPARE(combo->currentIndex(), index);
    QCOMPARE(combo->currentText(), index < 0 ? QString() : items.at(index));
    QVERIFY(!combo->isEditable());
    QCOMPARE(combo->sizePolicy().horizontalPolicy(), QSizePolicy::Ignored);
    QCOMPARE(combo->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
}

// Each item names its step (decimal comma and all), so the window's
// index-to-value mapping cannot drift from what the operator reads; the
// initial items are the record's defaults.
void FormTest::viewCombosOfferTheirStepsInOrder()
{
    const Ui::MainWindow& ui = host->ui;
    auto check = [](QComboBox* combo, const double* steps, std::size_t count, double initial) {
        QCOMPARE(std::size_t(combo->count()), count);
        for (std::size_t i = 0; i < count; ++i) {
            const QString text = combo->itemText(int(i));
            const QString number = QString::number(steps[i]).replace('.', ',');
            QVERIFY2(steps[i] == 0 ? text.endsWith("выкл")
                                   : text.contains(QRegularExpression("(^| )" + number + " ")),
                     qPrintable(text));
        }
        QCOMPARE(steps[combo->currentIndex()], initial);
    };
    const structViewSettings defaults;
    check(ui.comboBoxViewSensitivity, viewSensitivities, std::size(viewSensitivities),
          defaults.sensitivity);
    check(ui.comboBoxViewWindow, viewWindows, std::size(viewWindows), defaults.window);
    check(ui.comboBoxViewHighPass, viewHighPasses, std::size(viewHighPasses), defaults.highPass);
    check(ui.comboBoxViewLowPass, viewLowPasses, std::size(viewLowPasses), defaults.lowPass);
    check(ui.comboBoxViewNotch, viewNotches, std::size(viewNotches), defaults.notch);
}

void FormTest::textsAndTipsAreTheFormOnes_data()
{
    QTest::addColumn<QString>("text"); // title of a group box, text otherwise
    QTest::addColumn<QString>("statusTip");
    QTest::addColumn<QString>("toolTip");
    auto row = [](const char* name, const char* text, const char* status, const char* tool = "") {
        QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(status)
                            << QString::fromUtf8(tool);
    };
    row("groupBoxConnection", "Подключение", "Параметры связи с устройством");
    row("groupBoxCapture", "Параметры преобразования", "Параметры БПФ");
    row("groupBoxFFT", "БПФ", "Параметры БПФ");
    row("groupBoxSpectrum", "Спектр", "Параметры графика");
    row("groupBoxLight", "Свет", "Параметры стимуляции светом");
    row("groupBoxSound", "Звук", "Параметры стимуляции звуком");
    row("labelConnectionPort", "Порт", "");
    row("labelCapturePeriod", "Период", "");
    row("labelCaptureFreq", "Частота", "");
    row("labelFFTcount", "Отсчетов", "");
    row("labelFFTwindow", "Окно", "");
    row("labelSpectrumLegend", "Легенда", "");
    row("labelSpectrumScaleX_2", "Масштаб", "");
    row("labelSpectrumScaleX", "Масштаб X", "");
    row("labelSpectrumScaleY", "Масштаб Y", "");
    row("labelLightBright", "Яркость", "");
    row("labelLightDuration", "Длительность", "");
    row("labelLightPause", "Пауза", "");
    row("labelLightCount", "Количество", "");
    row("labelLightSeriesPause", "Пауза в серии", "");
    row("labelLightSeries", "Кол-во серий", "");
    row("labelSoundVolume", "Громкость", "");
    row("labelSoundDuration", "Длительность", "");
    row("labelSoundPause", "Пауза", "");
    row("labelSoundCount", "Количество", "");
    row("labelSoundSeriesPause", "Пауза в серии", "");
    row("labelSoundSeriesCount", "Кол-во серий", "");
    row("labelSoundTone", "Тон", "");
    row("comboBoxConnectionPort", "", "Порт для подключения к устройству");
    row("doubleSpinBoxCapturePeriod", "", "");
    row("doubleSpinBoxCaptureFreq", "", "");
    row("horizontalSliderCaptureAdc", "", "");
    row("comboBoxFFTcount", "256", "Количество отсчетов для преобразования Фурье");
    row("comboBoxFFTwindow", "Прямоугольное", "Используемое окно для преобразования Фурье");
    row("checkBoxSpectrumLegend", "", "Показать/скрыть легенду на графике спектра");
    row("checkBoxSpectrumScale", "Авто",
        "Автоматическое масштабирование графика спектра при приеме данных");
    row("comboBoxSpectrumScaleX", "Логарифмический", "Масштаб оси частоты на графике спектра");
    row("comboBoxSpectrumScaleY", "Логарифмический", "Масштаб оси амплитуды на графике спектра");
    row("lineEditCmd", "#", "",
        "<html><head/><body><p>Команда устройству</p><p>Для ввода числа используется символ "
        "'\\', два символа после него интерпретируюся как шестнадцатеричное число, например "
        "&quot;\\3F&quot; = 0x3F.</p></body></html>");
    row("pushButtonCmdSend", "", "", "Отправить команду в устройство");
    row("pushButtonFactor", "Фактор", "Воздействие на пациента");
    row("doubleSpinBoxLightBright", "", "Яркость вспышек");
    row("doubleSpinBoxLightDuration", "", "Длительность вспышки");
    row("doubleSpinBoxLightPause", "", "Пауза между вспышками");
    row("spinBoxLightCount", "", "Количество вспышек в пачке");
    row("spinBoxLightSeriesPause", "", "Пауза между пачками вспышек");
    row("spinBoxLightSeriesCount", "", "Количество пачек вспышек");
    row("pushButtonLightStart", "Старт", "Запуск стимуляции светом");
    row("pushButtonLightStop", "Стоп", "Остановка стимуляции светом");
    row("doubleSpinBoxSoundVolume", "", "Громкость стимуляции звуком");
    row("doubleSpinBoxSoundDuration", "", "Длительность сигнала в серии");
    row("doubleSpinBoxSoundPause", "", "Пауза между сигналами в серии");
    row("spinBoxSoundCount", "", "Количество сигналов в серии");
    row("spinBoxSoundSeriesPause", "", "Пауза между сериями сигналов");
    row("spinBoxSoundSeriesCount", "", "Количество серий сигналов");
    row("doubleSpinBoxSoundTone", "", "Тон звукового сигнала");
    row("pushButtonSoundStart", "Старт", "Запуск стимуляции звуком");
    row("pushButtonSoundStop", "Стоп", "Остановка стимуляции звуком");
}

void FormTest::textsAndTipsAreTheFormOnes()
{
    QFETCH(QString, text);
    QFETCH(QString, statusTip);
    QFETCH(QString, toolTip);
    auto* widget = host->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    QString shown;
    if (auto* box = qobject_cast<QGroupBox*>(widget))
        shown = box->title();
    else if (auto* combo = qobject_cast<QComboBox*>(widget))
        shown = combo->currentText();
    else if (widget->inherits("QLabel") || widget->inherits("QAbstractButton") ||
             widget->inherits("QLineEdit"))
        shown = widget->property("text").toString();
    QCOMPARE(shown, text);
    QCOMPARE(widget->statusTip(), statusTip);
    QCOMPARE(widget->toolTip(), toolTip);
}

void FormTest::onlyDeviceControlsStartDisabled()
{
    QStringList disabled;
    for (const QWidget* w : host->findChildren<QWidget*>())
        if (!w->objectName().isEmpty() && !w->isEnabled())
            disabled << w->objectName();
    disabled.sort();
    QStringList expected;
    for (const char* name : deviceDependentOnStart)
        expected << QString::fromLatin1(name);
    expected.sort();
    QCOMPARE(disabled, expected);

    const Ui::MainWindow& ui = host->ui;
    QVERIFY(ui.checkBoxSpectrumScale->isChecked());
    QVERIFY(!ui.checkBoxSpectrumLegend->isChecked());
    QVERIFY(ui.pushButtonFactor->isCheckable());
    QVERIFY(!ui.pushButtonFactor->isChecked());
    QVERIFY(iconShows(ui.pushButtonFactor->icon(), QStringLiteral(":/pic/factor.png")));
    QVERIFY(iconShows(ui.pushButtonCmdSend->icon(), QStringLiteral(":/pic/send.png")));
    QVERIFY(ui.pushButtonCmdSend->text().isEmpty());
    QCOMPARE(ui.pushButtonCmdSend->maximumSize(), QSize(24, 22));
}

void FormTest::buildingTheFormRunsNoHandler()
{
    QVERIFY2(host->calls.isEmpty(), qPrintable(host->calls.join(", ")));
    // Nothing queued either.
    QCoreApplication::processEvents();
    QVERIFY2(host->calls.isEmpty(), qPrintable(host->calls.join(", ")));
}

void FormTest::everyHandlerIsBoundToItsSignal()
{
    Ui::MainWindow& ui = host->ui;
    for (QAction* a : host->findChildren<QAction*>())
        a->setEnabled(true);
    for (QWidget* w : host->findChildren<QWidget*>())
        w->setEnabled(true);

    const QList<QPair<std::function<void()>, QStringList>> cases = {
        {[&] { ui.actionStart->trigger(); }, {"on_actionStart_triggered()"}},
        {[&] { ui.actionStop->trigger(); }, {"on_actionStop_triggered()"}},
        {[&] { ui.actionAbout->trigger(); }, {"on_actionAbout_triggered()"}},
        {[&] { ui.actionClear->trigger(); }, {"on_actionClear_triggered()"}},
        {[&] { ui.actionZoom->trigger(); }, {"on_actionZoom_triggered()"}},
        {[&] { ui.actionOpen->trigger(); }, {"on_actionOpen_triggered()"}},
        {[&] { ui.actionSave->trigger(); }, {"on_actionSave_triggered()"}},
        {[&] { ui.actionExit->trigger(); }, {"on_actionExit_triggered()"}},
        {[&] { ui.actionAnalysisFourier->trigger(); }, {"on_actionAnalysisFourier_triggered()"}},
        {[&] { ui.actionAnalysisStatistics->trigger(); },
         {"on_actionAnalysisStatistics_triggered()"}},
        {[&] { ui.actionAnalysisSendVARN->trigger(); }, {"on_actionAnalysisSendVARN_triggered()"}},
        {[&] { ui.actionMeasFactor->trigger(); }, {}},
        // The text-carrying handlers get the new item's text, not its index.
        {[&] {
             ui.comboBoxConnectionPort->addItems({"Авто", "COM3"});
         },
         {"on_comboBoxConnectionPort_currentIndexChanged(Авто)"}},
        {[&] { ui.comboBoxConnectionPort->setCurrentIndex(1); },
         {"on_comboBoxConnectionPort_currentIndexChanged(COM3)"}},
        {[&] { ui.comboBoxFFTcount->setCurrentIndex(5); },
         {"on_comboBoxFFTcount_currentIndexChanged(1024)"}},
        {[&] { ui.comboBoxFFTwindow->setCurrentIndex(10); },
         {"on_comboBoxFFTwindow_currentIndexChanged(10)"}},
        {[&] { ui.comboBoxSpectrumScaleX->setCurrentIndex(1); },
         {"on_comboBoxSpectrumScaleX_currentIndexChanged(1)"}},
        {[&] { ui.comboBoxSpectrumScaleY->setCurrentIndex(1); },
         {"on_comboBoxSpectrumScaleY_currentIndexChanged(1)"}},
        // Both legend handlers run on every change.
        {[&] { ui.checkBoxSpectrumLegend->setChecked(true); },
         {"on_checkBoxSpectrumLegend_stateChanged(2)", "on_checkBoxSpectrumLegend_toggled(true)"}},
        {[&] { ui.checkBoxSpectrumLegend->setChecked(false); },
         {"on_checkBoxSpectrumLegend_stateChanged(0)", "on_checkBoxSpectrumLegend_toggled(false)"}},
        {[&] { ui.checkBoxSpectrumScale->setChecked(false); },
         {"on_checkBoxSpectrumScale_toggled(false)"}},
        {[&] { ui.horizontalSliderCaptureAdc->setValue(16000); },
         {"on_horizontalSliderCaptureAdc_valueChanged(16000)"}},
        {[&] { ui.doubleSpinBoxCapturePeriod->setValue(4.0); },
         {"on_doubleSpinBoxCapturePeriod_valueChanged(4)"}},
        {[&] { ui.doubleSpinBoxCaptureFreq->setValue(250.0); },
         {"on_doubleSpinBoxCaptureFreq_valueChanged(250)"}},
        {[&] { ui.pushButtonCmdSend->click(); }, {"on_pushButtonCmdSend_clicked()"}},
        {[&] { ui.pushButtonLightStart->click(); }, {"on_pushButtonLightStart_clicked()"}},
        {[&] { ui.pushButtonLightStop->click(); }, {"on_pushButtonLightStop_clicked()"}},
        {[&] { ui.pushButtonSoundStart->click(); }, {"on_pushButtonSoundStart_clicked()"}},
        {[&] { ui.pushButtonSoundStop->click(); }, {"on_pushButtonSoundStop_clicked()"}},
        // One handler follows both exclusive mode actions.
        {[&] { ui.actionViewLanes->trigger(); }, {"on_actionViewLanes_toggled(true)"}},
        {[&] { ui.actionViewOverlay->trigger(); }, {"on_actionViewLanes_toggled(false)"}},
        {[&] { ui.comboBoxViewSensitivity->setCurrentIndex(0); },
         {"on_comboBoxViewSensitivity_currentIndexChanged(0)"}},
        {[&] { ui.comboBoxViewWindow->setCurrentIndex(6); },
         {"on_comboBoxViewWindow_currentIndexChanged(6)"}},
        {[&] { ui.comboBoxViewHighPass->setCurrentIndex(4); },
         {"on_comboBoxViewHighPass_currentIndexChanged(4)"}},
        {[&] { ui.comboBoxViewLowPass->setCurrentIndex(5); },
         {"on_comboBoxViewLowPass_currentIndexChanged(5)"}},
        {[&] { ui.comboBoxViewNotch->setCurrentIndex(2); },
         {"on_comboBoxViewNotch_currentIndexChanged(2)"}},
        // Controls without a handler.
        {[&] { ui.pushButtonFactor->click(); }, {}},
        {[&] { ui.lineEditCmd->setText("X"); }, {}},
        {[&] { ui.doubleSpinBoxLightDuration->setValue(300); }, {}},
        {[&] { ui.spinBoxSoundCount->setValue(7); }, {}},
    };
    for (const auto& c : cases) {
        host->calls.clear();
        c.first();
        QStringList calls = host->calls;
        calls.sort();
        QCOMPARE(calls, c.second);
    }
}

void FormTest::factorButtonAndActionMirrorEachOtherAndSettle()
{
    QPushButton* button = host->ui.pushButtonFactor;
    QAction* action = host->ui.actionMeasFactor;
    QSignalSpy buttonToggled(button, &QAbstractButton::toggled);
    QSignalSpy actionToggled(action, &QAction::toggled);

    button->setChecked(true);
    QVERIFY(action->isChecked());
    QCOMPARE(buttonToggled.count(), 1);
    QCOMPARE(actionToggled.count(), 1);

    action->trigger();
    QVERIFY(!button->isChecked());
    QVERIFY(!action->isChecked());
    QCOMPARE(buttonToggled.count(), 2);
    QCOMPARE(actionToggled.count(), 2);

    action->setChecked(true);
    QVERIFY(button->isChecked());
    button->click();
    QVERIFY(!action->isChecked());
    QCOMPARE(buttonToggled.count(), 4);
    QCOMPARE(actionToggled.count(), 4);
}

void FormTest::enterInCommandLineClicksSend()
{
    host->ui.lineEditCmd->setEnabled(true);
    host->ui.pushButtonCmdSend->setEnabled(true);
    QTest::keyClick(host->ui.lineEditCmd, Qt::Key_Return);
    QCOMPARE(host->calls, QStringList({"on_pushButtonCmdSend_clicked()"}));
    QTest::keyClick(host->ui.lineEditCmd, Qt::Key_Enter);
    QCOMPARE(host->calls.size(), 2);
}

void FormTest::enterDoesNothingWhileSendIsDisabled()
{
    QSignalSpy clicked(host->ui.pushButtonCmdSend, &QAbstractButton::clicked);
    host->ui.lineEditCmd->setEnabled(true);
    QTest::keyClick(host->ui.lineEditCmd, Qt::Key_Return);
    QCOMPARE(clicked.count(), 0);
    QVERIFY(host->calls.isEmpty());
}

void FormTest::terminalLogKeepsAtMost32768Lines()
{
    QPlainTextEdit* log = host->ui.plainTextEditLog;
    for (int i = 0; i < 32768 + 100; ++i)
        log->appendPlainText(QStringLiteral("line %1").arg(i));
    QCOMPARE(log->blockCount(), 32768);
    QCOMPARE(log->document()->firstBlock().text(), QStringLiteral("line 100"));
    QCOMPARE(log->document()->lastBlock().text(), QStringLiteral("line 32867"));
}

void FormTest::terminalLogIsAReadOnlyFixedFontPane()
{
    const Ui::MainWindow& ui = host->ui;
    QPlainTextEdit* log = ui.plainTextEditLog;
    QVERIFY(log->isReadOnly());
    QVERIFY(log->toPlainText().isEmpty());
    QCOMPARE(log->font().family(), QStringLiteral("Courier New"));
    QCOMPARE(log->font().pointSize(), 8);
    QCOMPARE(log->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(!log->isUndoRedoEnabled());
    QCOMPARE(log->focusPolicy(), Qt::NoFocus);
    QVERIFY(log->tabChangesFocus());
    QVERIFY(!log->backgroundVisible());
    QCOMPARE(log->textInteractionFlags(), Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                                              Qt::LinksAccessibleByMouse |
                                              Qt::LinksAccessibleByKeyboard);
    QCOMPARE(log->sizePolicy().horizontalPolicy(), QSizePolicy::Ignored);
    QCOMPARE(log->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    // The log takes the height, the command line sits under it.
    QCOMPARE(ui.verticalLayout_3->indexOf(log), 0);
    QCOMPARE(ui.verticalLayout_3->stretch(0), 1);
    QCOMPARE(ui.verticalLayout_3->contentsMargins(), QMargins(2, 2, 2, 0));
    QCOMPARE(ui.verticalLayout_3->sizeConstraint(), QLayout::SetMaximumSize);
    QCOMPARE(ui.horizontalLayoutCmd->indexOf(ui.lineEditCmd), 0);
    QCOMPARE(ui.horizontalLayoutCmd->indexOf(ui.pushButtonCmdSend), 1);
    QCOMPARE(ui.horizontalLayoutCmd->stretch(0), 1);
    QCOMPARE(ui.horizontalLayoutCmd->spacing(), 1);
}

void FormTest::tabOrderAndBuddyLeadFromPortToCommandLine()
{
    const Ui::MainWindow& ui = host->ui;
    QCOMPARE(ui.labelConnectionPort->buddy(), ui.comboBoxConnectionPort);
    // The next widget in the focus chain that is not part of the previous one.
    auto nextAfter = [](QWidget* w) {
        QWidget* next = w->nextInFocusChain();
        while (next != w && w->isAncestorOf(next))
            next = next->nextInFocusChain();
        return next;
    };
    QCOMPARE(nextAfter(ui.comboBoxConnectionPort), ui.lineEditCmd);
    QCOMPARE(nextAfter(ui.lineEditCmd), ui.pushButtonCmdSend);
}

void FormTest::shownWindowPlacesDocksAroundThePlotsUnclipped()
{
    const Ui::MainWindow& ui = host->ui;
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host.get()));
    QCOMPARE(host->size(), QSize(795, 791));

    const QRect central = ui.centralWidget->geometry();
    QVERIFY(ui.dockWidgetStimulation->geometry().right() < central.left());
    QVERIFY(ui.dockWidgetSettings->geometry().left() > central.right());
    QVERIFY(ui.dockWidgetTerminal->geometry().top() > central.bottom());
    QVERIFY(ui.toolBar->geometry().bottom() < central.top());
    QVERIFY(ui.plotTime->height() > 100 && ui.plotFreq->height() > 100);
    QVERIFY(ui.plainTextEditLog->height() > 40);

    // Every control gets at least the room it needs, short of its own maximum;
    // only the combo boxes and check boxes give way in width by design.
    for (QWidget* w : host->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty() || w->objectName().startsWith("qt_") ||
            !w->isVisibleTo(host.get()) || !w->parentWidget() || !w->parentWidget()->layout() ||
            w->inherits("QCustomPlot"))
            continue;
        const QSize need = w->minimumSizeHint().boundedTo(w->maximumSize());
        if (w->sizePolicy().horizontalPolicy() != QSizePolicy::Ignored)
            QVERIFY2(w->width() >= need.width(), qPrintable(w->objectName()));
        QVERIFY2(w->height() >= need.height(), qPrintable(w->objectName()));
        QVERIFY2(host->rect().contains(QRect(w->mapTo(host.get(), QPoint()), w->size())),
                 qPrintable(w->objectName()));
    }
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
