// Review of recording files: the File menu's Open and Закрыть файл, the
// loader and its progress, the Аннотации dock, the scroll bar, Home and End,
// the event markers on the signal plot, and the spectra of the block at the
// left edge of the view.
//
// The file is read by a RecordingLoader in its own thread into a new store;
// only a complete read replaces what the plots show (LiveCapture::showFile),
// so a failure or a cancel leaves them as they were. While a file is shown no
// capture runs: Start asks to close the file first, and what the device still
// sends is dropped by the live capture. The headset stays connected meanwhile.
//
// The markers and the Аннотации list show a live capture's events too.
#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <functional>

#include "capture/recordingfile.h"
#include "device/types.h"

class EventMarkers;
class LiveCapture;
class QAction;
class QComboBox;
class QCPGraph;
class QCustomPlot;
class QDockWidget;
class QListView;
class QMainWindow;
class QMenu;
class QProgressDialog;
class QScrollBar;
class QStatusBar;
class QStringListModel;
class QWidget;
class SignalView;
class SpectrumPanel;
struct EventMarker;
namespace Ui
{
class MainWindow;
}

// Why a recording file could not be opened, in the operator's words: one
// message per result of the recording-file module's reader.
QString recordingOpenErrorText(int code);
// The same for a read that did not succeed; empty for one that did or that
// the operator cancelled.
QString recordingReadErrorText(const LoadedRecording& recording);

class Review : public QObject
{
    Q_OBJECT

public:
    // Review works with the form's plots, File and Вид menus, Open and Save,
    // status bar and spectra controls; the signal lanes and the spectra are
    // drawn by `signalView` and `spectra`. `livePeriod` is the sample period
    // chosen for the next capture, the time base of the emptied store when a
    // file is closed.
    Review(QMainWindow* window, Ui::MainWindow* form, QCPGraph* const* graphTime,
           SignalView* signalView, SpectrumPanel* spectra, LiveCapture* live,
           std::function<quint16()> livePeriod);

    // A file is shown: the live capture holds it.
    bool isReviewing() const;
    bool isOpening() const;
    const EventMarkers* eventMarkers() const { return markers; }
    // The list belongs to a file, which no run starts with (the window's
    // restored state may have shown it).
    void hideAnnotations();

    // Open: asks for a file, and whether to save an unsaved capture first.
    void chooseAndOpen();
    void open(const QString& path);
    // Before a capture starts: true when no file is shown (any more); the
    // operator is asked before a file is closed.
    bool closeForCapture();
    void close();

    // A live capture's event, and the emptied store's none.
    void addMarker(const EventMarker& marker);
    void clearMarkers();
    // The spectra's length or window changed.
    void spectrumSettingsChanged();
    // Recomputes the spectra when the view or their settings changed.
    void refresh();

signals:
    // A file is shown now (the live capture holds it).
    void fileShown();
    // The file is closed; the live capture is back.
    void fileClosed();
    void replotNeeded();

private:
    void read(QSharedPointer<LoadedRecording> recording);
    void showFile(LoadedRecording& recording, const QString& name);
    void rangeChanged();
    void showRange(double lower);
    void jumpToAnnotation(int row);
    void setTitle(const QString& title);

    QMainWindow* window;
    Ui::MainWindow* ui;
    QCPGraph* const* graphTime;
    SignalView* signalView;
    SpectrumPanel* spectra;
    LiveCapture* live;
    std::function<quint16()> livePeriod;

    bool spectraDue = false;
    // The live capture's starts when the file was asked for.
    int startsAtOpen = 0;
    QString title;
    double seconds = 0;
    RecordingLoader* loader = nullptr;
    QProgressDialog* progress = nullptr;
    EventMarkers* markers = nullptr;
    QDockWidget* dock = nullptr;
    QListView* list = nullptr;
    QStringListModel* rows = nullptr;
    QScrollBar* scroll = nullptr;
    QAction* actionClose = nullptr;
    QAction* actionHome = nullptr;
    QAction* actionEnd = nullptr;
};
