#ifndef FILEDIALOG_H
#define FILEDIALOG_H

// The File menu's file choosers. They are Qt's own dialogs; a test can answer
// them instead by setting a hook (and must clear it again).

#include <QFileDialog>
#include <QString>

#include <functional>

struct FileDialog {
    using Chooser = std::function<QString(QWidget* parent, const QString& caption,
                                          const QString& dir, const QString& filter)>;

    static inline Chooser saveHook;
    static inline Chooser openHook;

    static QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter)
    {
        if (saveHook)
            return saveHook(parent, caption, dir, filter);
        return QFileDialog::getSaveFileName(parent, caption, dir, filter);
    }

    static QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter)
    {
        if (openHook)
            return openHook(parent, caption, dir, filter);
        return QFileDialog::getOpenFileName(parent, caption, dir, filter);
    }
};

#endif // FILEDIALOG_H
