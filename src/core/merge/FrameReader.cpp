#include "merge/FrameReader.h"

void HeldReports::ShowError(const std::string& caption, const std::string& text)
{
    m_reports.emplace_back(caption, text);
}

void HeldReports::ReplayTo(ErrorSink& sink)
{
    for (const auto& [caption, text] : m_reports)
        sink.ShowError(caption, text);
    m_reports.clear();
}

FrameReader::FrameReader(const FrameSet& files, bool enabled)
    : m_next(files.begin()), m_end(enabled ? files.end() : m_next)
{
    Start();
}

FrameReader::~FrameReader()
{
    if (m_pending.valid())
        m_pending.wait();
}

CFitsImage* FrameReader::Next(ErrorSink& sink)
{
    if (!m_pending.valid())
        return nullptr;
    const int slot = m_slot;
    const bool loaded = m_pending.get();
    m_reports[slot].ReplayTo(sink);
    m_slot = 1 - slot;
    Start();
    return loaded ? &m_frames[slot] : nullptr;
}

void FrameReader::Start()
{
    if (m_next == m_end)
        return;
    CFitsImage& frame = m_frames[m_slot];
    HeldReports& reports = m_reports[m_slot];
    m_pending = std::async(std::launch::async | std::launch::deferred, [&frame, &reports, path = *m_next] {
        // The reused buffer would keep an earlier frame's EXPTIME when
        // this one has none.
        frame.m_header.m_exposure = 0.0;
        return frame.Load(path, reports);
    });
    ++m_next;
}
