#include "app/ShellSeams.h"

#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>

#include "image/FitsImage.h"

namespace {

// CFITSIO failures are errors, shown with the error icon; everything else
// the program reports is a warning.
void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text)
{
    if (caption == QLatin1String(kFitsErrorCaption))
        QMessageBox::critical(parent, caption, text);
    else
        QMessageBox::warning(parent, caption, text);
}

bool AskYesNo(QWidget* parent, const QString& caption, const QString& text)
{
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

void PrepareDialog(QFileDialog& dialog, const FileDialogRequest& request)
{
    dialog.setWindowTitle(request.caption);
    if (!request.folder.isEmpty())
        dialog.setDirectory(request.folder);
    dialog.setNameFilters(request.filters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (!request.fileName.isEmpty())
        dialog.selectFile(request.fileName);
}

QStringList OpenFilesDialog(QWidget* parent, const FileDialogRequest& request)
{
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    PrepareDialog(dialog, request);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
}

QString SaveFileDialog(QWidget* parent, const FileDialogRequest& request)
{
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    PrepareDialog(dialog, request);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

ShellSeams DesktopSeams()
{
    return ShellSeams{ShowMessageBox, AskYesNo, OpenFilesDialog, SaveFileDialog,
                      [] { return QGuiApplication::queryKeyboardModifiers(); }};
}

}  // namespace

ShellSeams& Seams()
{
    static ShellSeams seams = DesktopSeams();
    return seams;
}

void ResetSeams() { Seams() = DesktopSeams(); }
