#pragma once
// Window-test helpers: the shell's seams answered by the test, a main window
// on a scratch settings file, and small FITS frames written with CFITSIO.

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include "app/CMainDlg.h"
#include "app/ShellSeams.h"
#include "support/TestFiles.h"

// Records every message box and file dialog and answers them from queues;
// an empty queue answers "cancelled". Puts the desktop's services back at the end.
class SeamRecorder {
public:
    struct Message {
        QString caption;
        QString text;
    };
    std::vector<Message> messages;
    std::vector<FileDialogRequest> openRequests;
    std::vector<FileDialogRequest> saveRequests;
    std::vector<Message> questions;
    std::deque<bool> questionAnswers;  // empty: No
    std::deque<QStringList> openAnswers;
    std::deque<QString> saveAnswers;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;

    SeamRecorder()
    {
        Seams() = ShellSeams{
            [this](QWidget*, const QString& caption, const QString& text) { messages.push_back({caption, text}); },
            [this](QWidget*, const QString& caption, const QString& text) {
                questions.push_back({caption, text});
                return Take(questionAnswers, false);
            },
            [this](QWidget*, const FileDialogRequest& request) {
                openRequests.push_back(request);
                return Take(openAnswers, QStringList());
            },
            [this](QWidget*, const FileDialogRequest& request) {
                saveRequests.push_back(request);
                return Take(saveAnswers, QString());
            },
            [this] { return modifiers; }};
    }
    ~SeamRecorder() { ResetSeams(); }
    SeamRecorder(const SeamRecorder&) = delete;
    SeamRecorder& operator=(const SeamRecorder&) = delete;

private:
    template <typename T>
    static T Take(std::deque<T>& queue, T none)
    {
        if (queue.empty())
            return none;
        T answer = queue.front();
        queue.pop_front();
        return answer;
    }
};

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

// A one- or three-plane 32-bit float frame with an exposure time.
inline void WriteFrame(const std::string& path, int width, int height, int planes, const std::vector<float>& pixels,
                       double exposure = 10.0)
{
    WriteTestFits(path, -32, width, height, planes, pixels, {NumberKey("EXPTIME", exposure)});
}

// A frame whose every pixel holds value.
inline void WriteFlatFrame(const std::string& path, int width, int height, float value, double exposure = 10.0)
{
    WriteFrame(path, width, height, 1, std::vector<float>(static_cast<size_t>(width) * height, value), exposure);
}

// A shown main window over a settings file in the scratch folder.
inline std::unique_ptr<CMainDlg> OpenMainWindow(const ScratchDir& scratch)
{
    auto dlg = std::make_unique<CMainDlg>(Q(scratch.file("Velmora.ini")));
    dlg->show();
    QApplication::setActiveWindow(dlg.get());
    if (!QTest::qWaitForWindowExposed(dlg.get()))
        qWarning("main window not exposed");
    return dlg;
}

// Adds frames through the Add... button, answering its dialog with paths.
inline void AddFrames(CMainDlg& dlg, SeamRecorder& seams, const QStringList& paths)
{
    seams.openAnswers.push_back(paths);
    static_cast<QPushButton*>(dlg.GetDlgItem(IDC_ADD))->click();
}
