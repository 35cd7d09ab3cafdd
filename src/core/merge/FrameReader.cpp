#include "merge/FrameReader.h"

#include "align/Resample.h"

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

FrameReader::FrameReader(const FrameSet& files, bool enabled, const FrameAlignments* alignments, int threads)
    : m_next(files.begin()), m_end(enabled ? files.end() : m_next), m_alignments(alignments), m_threads(threads)
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
    m_pending = std::async(std::launch::async | std::launch::deferred,
                           [this, slot = m_slot, path = *m_next] { return Read(path, slot); });
    ++m_next;
}

bool FrameReader::Read(const std::string& path, int slot)
{
    const FrameAlignment* alignment = nullptr;
    if (m_alignments) {
        const auto it = m_alignments->find(path);
        if (it == m_alignments->end() || !it->second.m_aligned)
            return false;
        const Similarity& move = it->second.m_move;
        if (move.m_a != 1.0 || move.m_b != 0.0 || move.m_tx != 0.0 || move.m_ty != 0.0)
            alignment = &it->second;
    }
    CFitsImage& frame = alignment ? m_unaligned[slot] : m_frames[slot];
    // The reused buffer would keep an earlier frame's EXPTIME when this one
    // has none.
    frame.m_header.m_exposure = 0.0;
    if (!frame.Load(path, m_reports[slot]))
        return false;
    if (!alignment)
        return true;
    CFitsImage& moved = m_frames[slot];
    if (!moved.AllocateLike(frame)) {
        m_reports[slot].ShowError(path, "Not enough memory to align the frame.");
        return false;
    }
    moved.m_header = frame.m_header;
    ResampleFrame(frame, alignment->m_move, moved, m_threads);
    return true;
}
