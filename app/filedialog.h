#ifndef FILEDIALOG_H
#define FILEDIALOG_H

// The File menu's file and folder choosers. They are Qt's own dialogs; a test can answer
// them instead by setting a hook (and must clear it again).

#include <QFileDialog>
#include <QString>

#include <functional>

struct FileDialog {
    using Chooser = std::function<QString(QWidget* parent, const QString& caption,
                                          const QString& dir, const QString& filter)>;

    using FolderChooser =
        std::function<QString(QWidget* parent, const QString& caption, const QString& dir)>;

    static inline Chooser saveHook;
    static inline Chooser openHook;
    static inline FolderChooser folderHook;
    // The filter a save hook "chose" (empty: the first of the list).
    static inline QString saveHookFilter;

    // `selectedFilter`, when given, receives the filter the operator chose.
    static QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter, QString* selectedFilter = nullptr)
    {
        if (saveHook) {
            if (selectedFilter)
                *selectedFilter = saveHookFilter.isEmpty()
                                      ? filter.section(QStringLiteral(";;"), 0, 0)
                                      : saveHookFilter;
            return saveHook(parent, caption, dir, filter);
        }
        return QFileDialog::getSaveFileName(parent, caption, dir, filter, selectedFilter);
    }

    static QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir)
    {
        if (folderHook)
            return folderHook(parent, caption, dir);
        return QFileDialog::getExistingDirectory(parent, caption, dir);
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
