#pragma once
// The window services the shell asks of the desktop (message boxes, file
// dialogs, the modifier keys), reached through one replaceable table so that
// the window tests can answer them without a user.

#include <functional>

#include <QString>
#include <QStringList>

class QWidget;

// What a file dialog is asked to show. filters are Qt name filters; the first
// is preselected.
struct FileDialogRequest {
    QString caption;
    QString folder;     // initial folder; empty: the toolkit's choice
    QString fileName;   // proposed name (save dialogs), may hold a full path
    QStringList filters;
    QString defaultSuffix;
};

struct ShellSeams {
    // A modal box with one OK button.
    std::function<void(QWidget* parent, const QString& caption, const QString& text)> showMessage;
    // A modal question with Yes and No; true for Yes.
    std::function<bool(QWidget* parent, const QString& caption, const QString& text)> askYesNo;
    // Multi-selection open dialog; empty when cancelled.
    std::function<QStringList(QWidget* parent, const FileDialogRequest& request)> openFiles;
    // Save dialog without an overwrite question; empty when cancelled.
    std::function<QString(QWidget* parent, const FileDialogRequest& request)> saveFile;
    // Shift and Ctrl as held right now.
    std::function<Qt::KeyboardModifiers()> heldModifiers;
};

// The table in use; starts with the desktop's own services.
ShellSeams& Seams();
// Puts the desktop's own services back.
void ResetSeams();
