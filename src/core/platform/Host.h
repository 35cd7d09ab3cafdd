#pragma once
// The seams through which the toolkit-free core talks to whoever hosts it:
// the desktop program (message boxes, progress bar, window title, repaint),
// the batch tool (stderr, a terminal progress bar) and the tests (recorders).

#include <string>
#include <utility>
#include <vector>

// Receives every failure the core reports to the user. The desktop program
// shows a modal message box with this caption and text.
class ErrorSink {
public:
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;

protected:
    ~ErrorSink() = default;
};

// What work on another thread reports, held back until the host may be told
// (in the order the work would have reported it on one thread).
class HeldReports : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        m_reports.emplace_back(caption, text);
    }
    void ReplayTo(ErrorSink& sink)
    {
        for (const auto& [caption, text] : m_reports)
            sink.ShowError(caption, text);
        m_reports.clear();
    }

private:
    std::vector<std::pair<std::string, std::string>> m_reports;
};

// Everything a long computation tells its host while it runs.
class CoreHost : public ErrorSink {
public:
    // The main window's title during the passes ("Calc Average - " + path ...).
    virtual void SetTitle(const std::string& title) = 0;
    // Advances the progress bar whose range the driver has set.
    virtual void StepProgress(int amount) = 0;
    // The preview bitmap holds a picture that should be on screen now.
    virtual void ShowFrame() = 0;
    // The size in pixels at which the host shows a frame's picture; the
    // clipping pass renders its pictures no larger. A host that shows every
    // pixel leaves the frame's own size in place.
    virtual void GetShownSize(int& /*width*/, int& /*height*/) const {}

protected:
    ~CoreHost() = default;
};
