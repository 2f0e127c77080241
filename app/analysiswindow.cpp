#include "app/analysiswindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>

#include "analysis/analysisreport.h"
#include "app/filedialog.h"
#include "app/mainwindow.h"
#include "display/eventmarkers.h"
#include "display/plots.h"

namespace
{

const char* const windowTexts[] = {"Прямоугольное",    "Гаусса",  "Хэмминга", "Ханна",
                                   "Треугольное",      "Нуталла", "Блэкмана", "Блэкмана-Нуталла",
                                   "Блэкмана-Харриса", "Флэттоп", "Велча"};

// Column headings as the dialog shows them, for the CSV names.
QString heading(const QString& column)
{
    static const QHash<QString, QString> names = {
        {"channel", "Канал"},
        {"band", "Ритм"},
        {"low_hz", "От, Гц"},
        {"high_hz", "До, Гц"},
        {"absolute_uv2", "Мощность, мкВ²"},
        {"relative_percent", "Доля, %"},
        {"unit", "Ед."},
        {"samples", "Отсчётов"},
        {"seconds", "Длит., с"},
        {"mean", "Среднее"},
        {"sd", "СКО"},
        {"rms", "RMS"},
        {"min", "Мин."},
        {"max", "Макс."},
        {"peak_to_peak", "Размах"},
        {"peak_alpha_hz", "Пик альфа, Гц"},
        {"mains_percent", "Сеть, %"},
        {"flat_seconds", "Без изменений, с"},
        {"limit_seconds", "На пределе АЦП, с"},
        {"lost_samples", "Потеряно"},
        {"lost_percent", "Потеряно, %"},
        {"onset_s", "Начало, с"},
        {"duration_s", "Длит., с"},
        {"frequency_hz", "Частота, Гц"},
        {"rest_s", "Фон, с"},
        {"f_train_uv2", "f: стим., мкВ²"},
        {"f_rest_uv2", "f: фон, мкВ²"},
        {"f_db", "f, дБ"},
        {"2f_train_uv2", "2f: стим., мкВ²"},
        {"2f_rest_uv2", "2f: фон, мкВ²"},
        {"2f_db", "2f, дБ"},
    };
    return names.value(column, column);
}

void fillTable(QTableWidget* widget, const AnalysisTable& table)
{
    widget->clear();
    widget->setColumnCount(table.columns.size());
    widget->setRowCount(table.rows.size());
    QStringList headings;
    for (const QString& c : table.columns)
        headings << heading(c);
    widget->setHorizontalHeaderLabels(headings);
    for (int r = 0; r < table.rows.size(); ++r)
        for (int c = 0; c < table.rows[r].size(); ++c) {
            auto* item = new QTableWidgetItem(table.rows[r][c]);
            if (c > 0)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            widget->setItem(r, c, item);
        }
    widget->resizeColumnsToContents();
}

QTableWidget* makeTable(const QString& name)
{
    auto* table = new QTableWidget;
    table->setObjectName(name);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->verticalHeader()->hide();
    return table;
}

} // namespace

AnalysisWindow::AnalysisWindow(MainWindow* window, std::function<QPair<double, double>()> range)
    : QDialog(window), window(window), viewRange(std::move(range)), job(new AnalysisJob(this))
{
    setObjectName("dialogAnalysis");
    setWindowTitle(tr("Анализ"));
    setWindowModality(Qt::WindowModal);
    resize(1000, 680);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buildSettingsForm());
    layout->addWidget(labelSummary);
    layout->addWidget(buildResultTabs(), 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->addButton(buttonCsv, QDialogButtonBox::ActionRole);
    buttons->addButton(buttonPng, QDialogButtonBox::ActionRole);
    layout->addWidget(buttons);

    connect(buttonRun, &QPushButton::clicked, this, [this] { run(); });
    connect(buttonCancel, &QPushButton::clicked, job, &AnalysisJob::cancel);
    connect(job, &AnalysisJob::progress, progress, &QProgressBar::setValue);
    connect(job, &AnalysisJob::finished, this,
            [this](QSharedPointer<AnalysisResult> r) { finished(r); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttonCsv, &QPushButton::clicked, this, [this] { exportCsv(); });
    connect(buttonPng, &QPushButton::clicked, this, [this] { exportPng(); });
    connect(this, &QDialog::finished, job, &AnalysisJob::cancel);
    loadSettings();
    showResult();
}

QLayout* AnalysisWindow::buildSettingsForm()
{
    radioView = new QRadioButton(tr("Видимый участок"));
    radioView->setObjectName("radioButtonAnalysisView");
    radioAll = new QRadioButton(tr("Вся запись"));
    radioAll->setObjectName("radioButtonAnalysisAll");
    radioAll->setChecked(true);
    spinSegment = new QDoubleSpinBox;
    spinSegment->setObjectName("doubleSpinBoxAnalysisSegment");
    spinSegment->setRange(0.25, 60);
    spinSegment->setDecimals(2);
    spinSegment->setSuffix(tr(" с"));
    spinOverlap = new QDoubleSpinBox;
    spinOverlap->setObjectName("doubleSpinBoxAnalysisOverlap");
    spinOverlap->setRange(0, 95);
    spinOverlap->setDecimals(0);
    spinOverlap->setSuffix(" %");
    comboWindow = new QComboBox;
    comboWindow->setObjectName("comboBoxAnalysisWindow");
    for (const char* text : windowTexts)
        comboWindow->addItem(tr(text));
    comboMains = new QComboBox;
    comboMains->setObjectName("comboBoxAnalysisMains");
    comboMains->addItems({tr("50 Гц"), tr("60 Гц")});
    editBands = new QLineEdit;
    editBands->setObjectName("lineEditAnalysisBands");
    editBands->setToolTip(tr("Ритмы: имя:от-до через запятую, Гц; нижняя граница входит в "
                             "ритм, верхняя нет"));
    buttonRun = new QPushButton(tr("Рассчитать"));
    buttonRun->setObjectName("pushButtonAnalysisRun");
    buttonCancel = new QPushButton(tr("Отмена"));
    buttonCancel->setObjectName("pushButtonAnalysisCancel");
    buttonCancel->setEnabled(false);
    progress = new QProgressBar;
    progress->setRange(0, 100);
    progress->setValue(0);
    labelSummary = new QLabel;

    auto* form = new QFormLayout;
    auto* rangeRow = new QHBoxLayout;
    rangeRow->addWidget(radioView);
    rangeRow->addWidget(radioAll);
    rangeRow->addStretch();
    form->addRow(tr("Данные:"), rangeRow);
    auto* welchRow = new QHBoxLayout;
    welchRow->addWidget(new QLabel(tr("Сегмент")));
    welchRow->addWidget(spinSegment);
    welchRow->addWidget(new QLabel(tr("Перекрытие")));
    welchRow->addWidget(spinOverlap);
    welchRow->addWidget(new QLabel(tr("Окно")));
    welchRow->addWidget(comboWindow);
    welchRow->addWidget(new QLabel(tr("Сеть")));
    welchRow->addWidget(comboMains);
    welchRow->addStretch();
    form->addRow(tr("Метод Уэлча:"), welchRow);
    form->addRow(tr("Ритмы:"), editBands);
    auto* runRow = new QHBoxLayout;
    runRow->addWidget(buttonRun);
    runRow->addWidget(buttonCancel);
    runRow->addWidget(progress, 1);
    form->addRow(runRow);
    return form;
}

QWidget* AnalysisWindow::buildResultTabs()
{
    plot = new QCustomPlot;
    plot->setObjectName("plotAnalysisSpectra");
    plot->xAxis->setLabel(tr("Частота, Гц"));
    plot->yAxis->setLabel(tr("СПМ, мкВ²/Гц"));
    plot->yAxis->setScaleType(QCPAxis::stLogarithmic);
    plot->yAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    plot->legend->setVisible(true);
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    tableBands = makeTable("tableWidgetAnalysisBands");
    tableStats = makeTable("tableWidgetAnalysisStatistics");
    tablePhotic = makeTable("tableWidgetAnalysisPhotic");
    tabs = new QTabWidget;
    tabs->setObjectName("tabWidgetAnalysis");
    tabs->addTab(plot, tr("Спектры"));
    tabs->addTab(tableBands, tr("Мощность ритмов"));
    tabs->addTab(tableStats, tr("Статистика"));
    tabs->addTab(tablePhotic, tr("Фотостимуляция"));

    buttonCsv = new QPushButton(tr("Сохранить CSV..."));
    buttonCsv->setObjectName("pushButtonAnalysisCsv");
    buttonPng = new QPushButton(tr("Сохранить график PNG..."));
    buttonPng->setObjectName("pushButtonAnalysisPng");
    return tabs;
}

AnalysisWindow::~AnalysisWindow()
{
    job->abandon();
}

void AnalysisWindow::analyse(Page page)
{
    const CaptureStore& store = window->captureStore();
    bool any = false;
    for (int c = 0; c < store.channelCount(); ++c)
        any = any || store.sampleCount(c) > 0;
    if (!any) {
        // Nothing captured and no file shown: the warning of old.
        QMessageBox::warning(
            window, page == Spectra ? tr("Анилиз Фурье") : tr("Итоговая статистика"),
            tr("Загрузите исходные данные/подключите нейрогаринтуру!"), QMessageBox::Ok);
        return;
    }
    const QPair<double, double> view = viewRange();
    radioView->setText(tr("Видимый участок (%1–%2 с)")
                           .arg(std::max(0.0, view.first), 0, 'f', 1)
                           .arg(view.second, 0, 'f', 1));
    tabs->setCurrentIndex(page == Spectra ? 0 : 2);
    show();
    raise();
    run();
}

void AnalysisWindow::storeReplaced()
{
    job->abandon();
    buttonRun->setEnabled(true);
    buttonCancel->setEnabled(false);
}

QString AnalysisWindow::channelName(int c) const
{
    // As the lanes name them (electrode names when the operator set them).
    return storeChannelName(window->captureStore(), c);
}

bool AnalysisWindow::readBands()
{
    QString why;
    QVector<FrequencyBand> parsed;
    if (!parseBands(editBands->text(), parsed, &why)) {
        QMessageBox::warning(
            this, tr("Ритмы"),
            tr("Ритмы заданы неверно (%1). Пример: %2").arg(why, formatBands(defaultBands())),
            QMessageBox::Ok);
        return false;
    }
    bands = parsed;
    return true;
}

void AnalysisWindow::run()
{
    if (job->isRunning() || !readBands())
        return;
    const CaptureStore& store = window->captureStore();
    AnalysisRequest request;
    if (radioView->isChecked()) {
        const QPair<double, double> view = viewRange();
        request.from = view.first;
        request.to = view.second;
    }
    request.welch.segmentSeconds = spinSegment->value();
    request.welch.overlapPercent = spinOverlap->value();
    request.welch.window = comboWindow->currentIndex();
    request.mainsHz = comboMains->currentIndex() == 1 ? 60 : 50;
    request.bands = bands;
    if (window->isReviewing()) {
        for (const EventMarker& m : window->eventMarkers()->markers())
            request.annotations.append({m.onset, m.duration, m.text});
    } else {
        for (const CaptureEvent& e : store.events())
            request.annotations.append(
                {store.sampleTime(0, qint64(e.sample) - qint64(store.firstSample())), -1, e.text});
    }
    saveSettings();
    if (!job->start(store, request))
        return;
    buttonRun->setEnabled(false);
    buttonCancel->setEnabled(true);
    progress->setValue(0);
    labelSummary->setText(tr("Расчёт…"));
}

void AnalysisWindow::finished(QSharedPointer<AnalysisResult> result)
{
    buttonRun->setEnabled(true);
    buttonCancel->setEnabled(false);
    if (!result || result->cancelled) {
        labelSummary->setText(tr("Расчёт отменён"));
        return;
    }
    for (int c = 0; c < result->channels.size(); ++c)
        result->channels[c].label = channelName(c);
    last = result;
    showResult();
}

void AnalysisWindow::showResult()
{
    const bool have = !last.isNull();
    buttonCsv->setEnabled(have);
    buttonPng->setEnabled(have);
    tabs->setTabEnabled(3, have && !last->photic.isEmpty());
    if (!have) {
        labelSummary->clear();
        return;
    }
    int spectral = 0;
    for (const ChannelAnalysis& ch : last->channels)
        spectral += ch.spectral ? 1 : 0;
    QString summary = tr("%1–%2 с (%3 с); каналов со спектром: %4 из %5")
                          .arg(last->from, 0, 'f', 2)
                          .arg(last->to, 0, 'f', 2)
                          .arg(last->to - last->from, 0, 'f', 2)
                          .arg(spectral)
                          .arg(last->channels.size());
    if (spectral < last->channels.size())
        summary += tr(" (спектр считается для каналов в вольтах не короче одного сегмента)");
    if (!last->photic.isEmpty())
        summary += tr("; серий фотостимуляции: %1").arg(last->photic.size());
    labelSummary->setText(summary);
    fillTable(tableBands, bandTable(*last));
    fillTable(tableStats, statisticsTable(*last));
    fillTable(tablePhotic, photicTable(*last));
    plotSpectra();
}

void AnalysisWindow::plotSpectra()
{
    plot->clearGraphs();
    plot->clearItems();
    double top = 0, bottom = 0;
    double highest = 0;
    for (const FrequencyBand& b : last->request.bands)
        highest = std::max(highest, b.high);
    const double shown = std::max(50.0, highest + 5);
    for (int c = 0; c < last->channels.size(); ++c) {
        const ChannelAnalysis& ch = last->channels[c];
        if (!ch.spectral)
            continue;
        QVector<double> f, p;
        for (std::size_t k = 1; k < ch.psd.size() && k * ch.binHz <= shown; ++k) {
            if (!(ch.psd[k] > 0))
                continue;
            f << k * ch.binHz;
            p << ch.psd[k];
            top = std::max(top, ch.psd[k]);
            bottom = bottom > 0 ? std::min(bottom, ch.psd[k]) : ch.psd[k];
        }
        QCPGraph* graph = plot->addGraph();
        graph->setName(ch.label);
        graph->setPen(QPen(channelColor(c)));
        graph->setData(f, p, true);
    }
    // The bands shaded in turn, named at the top.
    for (int b = 0; b < last->request.bands.size(); ++b) {
        const FrequencyBand& band = last->request.bands[b];
        auto* rect = new QCPItemRect(plot);
        rect->setClipToAxisRect(true);
        rect->topLeft->setTypeX(QCPItemPosition::ptPlotCoords);
        rect->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
        rect->bottomRight->setTypeX(QCPItemPosition::ptPlotCoords);
        rect->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
        rect->topLeft->setCoords(band.low, 0);
        rect->bottomRight->setCoords(band.high, 1);
        rect->setPen(Qt::NoPen);
        rect->setBrush(QColor::fromHsvF(std::fmod(b * 0.17, 1.0), 0.35, 1.0, 0.25));
        rect->setLayer("background");
        auto* text = new QCPItemText(plot);
        text->setClipToAxisRect(true);
        text->position->setTypeX(QCPItemPosition::ptPlotCoords);
        text->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
        text->position->setCoords((band.low + band.high) / 2, 0.02);
        text->setPositionAlignment(Qt::AlignHCenter | Qt::AlignTop);
        text->setText(band.name);
    }
    plot->xAxis->setRange(0, shown);
    if (top > 0)
        plot->yAxis->setRange(std::max(bottom, top * 1e-6), top * 2);
    plot->replot();
}

void AnalysisWindow::exportCsv()
{
    if (!last)
        return;
    const int tab = tabs->currentIndex();
    const AnalysisTable table = tab == 2   ? statisticsTable(*last)
                                : tab == 3 ? photicTable(*last)
                                           : bandTable(*last);
    const QString path = FileDialog::getSaveFileName(this, tr("Сохранить таблицу"), QString(),
                                                     tr("Таблицы CSV (*.csv)"));
    if (path.isEmpty())
        return;
    QFile file(path);
    const QByteArray bytes = tableCsv(table);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush())
        QMessageBox::critical(this, tr("Сохранить таблицу"),
                              tr("Не удалось записать файл %1: %2").arg(path, file.errorString()),
                              QMessageBox::Ok);
}

void AnalysisWindow::exportPng()
{
    if (!last)
        return;
    const QString path = FileDialog::getSaveFileName(this, tr("Сохранить график"), QString(),
                                                     tr("Изображения PNG (*.png)"));
    if (path.isEmpty())
        return;
    if (!plot->savePng(path, 1200, 700))
        QMessageBox::critical(this, tr("Сохранить график"),
                              tr("Не удалось записать файл %1").arg(path), QMessageBox::Ok);
}

void AnalysisWindow::loadSettings()
{
    QSettings settings;
    settings.beginGroup("Analysis");
    spinSegment->setValue(settings.value("segment", 2.0).toDouble());
    spinOverlap->setValue(settings.value("overlap", 50.0).toDouble());
    comboWindow->setCurrentIndex(fftWindowFromIndex(settings.value("window", int(Hann)).toInt()));
    comboMains->setCurrentIndex(settings.value("mains", 50).toInt() == 60 ? 1 : 0);
    QVector<FrequencyBand> stored;
    if (!parseBands(settings.value("bands").toString(), stored))
        stored = defaultBands();
    bands = stored;
    editBands->setText(formatBands(bands));
    radioView->setChecked(settings.value("range").toString() == "view");
    radioAll->setChecked(!radioView->isChecked());
}

void AnalysisWindow::saveSettings()
{
    QSettings settings;
    settings.beginGroup("Analysis");
    settings.setValue("segment", spinSegment->value());
    settings.setValue("overlap", spinOverlap->value());
    settings.setValue("window", comboWindow->currentIndex());
    settings.setValue("mains", comboMains->currentIndex() == 1 ? 60 : 50);
    settings.setValue("bands", formatBands(bands));
    settings.setValue("range", radioView->isChecked() ? "view" : "all");
}
