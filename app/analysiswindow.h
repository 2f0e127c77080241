// The Analysis menu's Fourier analysis (F10) and summary statistics (F11): a
// dialog over what the window shows (the live capture or the file under
// review), for the visible range or all of it. The analysis runs in a thread
// of its own with a progress bar and a cancel; its tables (band powers, the
// statistics, the photic driving report when the data hold light trains) and
// the plot of the spectra with the bands shaded can be saved as CSV and PNG.
// The settings of the analysis (segment, overlap, window, mains, the bands)
// are kept in the settings group "Analysis".
//
// The dialog is modal to the window, so nothing the operator does replaces the
// store while it is read; a capture that goes on meanwhile only appends.
#pragma once

#include <QDialog>
#include <QPair>
#include <QSharedPointer>

#include <functional>

#include "analysis/recordinganalysis.h"

class MainWindow;
class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QLayout;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableWidget;

class AnalysisWindow : public QDialog
{
    Q_OBJECT

public:
    enum Page { Spectra, Statistics };

    // `viewRange` gives the seconds the signal plot shows.
    AnalysisWindow(MainWindow* window, std::function<QPair<double, double>()> viewRange);
    ~AnalysisWindow() override;

    // F10 and F11: the warning when nothing is shown, otherwise the dialog at
    // that page, analysing at once.
    void analyse(Page page);
    // Stops a running analysis (before the store is replaced).
    void storeReplaced();

    // For tests: the last result, and the tables as shown.
    const AnalysisResult* result() const { return last.data(); }
    bool isRunning() const { return job->isRunning(); }

private:
    // The range, method, bands and run controls; the tabs of results with
    // their export buttons.
    QLayout* buildSettingsForm();
    QWidget* buildResultTabs();
    void run();
    void finished(QSharedPointer<AnalysisResult> result);
    void showResult();
    void plotSpectra();
    void exportCsv();
    void exportPng();
    void loadSettings();
    void saveSettings();
    bool readBands();
    QString channelName(int c) const;

    MainWindow* window;
    std::function<QPair<double, double>()> viewRange;
    AnalysisJob* job;
    QSharedPointer<AnalysisResult> last;
    QVector<FrequencyBand> bands;

    QRadioButton* radioView;
    QRadioButton* radioAll;
    QDoubleSpinBox* spinSegment;
    QDoubleSpinBox* spinOverlap;
    QComboBox* comboWindow;
    QComboBox* comboMains;
    QLineEdit* editBands;
    QPushButton* buttonRun;
    QPushButton* buttonCancel;
    QProgressBar* progress;
    QLabel* labelSummary;
    QTabWidget* tabs;
    QCustomPlot* plot;
    QTableWidget* tableBands;
    QTableWidget* tableStats;
    QTableWidget* tablePhotic;
    QPushButton* buttonCsv;
    QPushButton* buttonPng;
};
