#pragma once
// The frames of a pass, read ahead on a second thread.

#include <future>
#include <string>
#include <utility>
#include <vector>

#include "image/FitsImage.h"
#include "merge/MergeEngine.h"
#include "platform/Host.h"

// What a load reports, held back until the pass reaches that frame.
class HeldReports : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override;
    void ReplayTo(ErrorSink& sink);

private:
    std::vector<std::pair<std::string, std::string>> m_reports;
};

// The frames of a pass in frame order, each read on a second thread while the
// pass still works on the one before. CFITSIO is reentrant, and meanwhile
// only this reader calls it. A frame's reports reach the host when the pass
// asks for that frame, exactly where reading it in turn would have made them.
class FrameReader {
public:
    // Reads nothing when not enabled.
    FrameReader(const FrameSet& files, bool enabled);
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The next frame of the set, valid until the following call; null when
    // it could not be read (reported to sink) or the reader is not enabled.
    CFitsImage* Next(ErrorSink& sink);

private:
    // Reads the next path into the free slot; on a thread when one can be had.
    void Start();

    FrameSet::const_iterator m_next;
    FrameSet::const_iterator m_end;
    CFitsImage m_frames[2];
    HeldReports m_reports[2];
    int m_slot = 0;
    std::future<bool> m_pending;
};
