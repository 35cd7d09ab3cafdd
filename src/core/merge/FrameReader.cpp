#include "merge/FrameReader.h"

#include "align/Resample.h"

const CFitsImage* AlignedFrameCache::Find(const std::string& path) const
{
    const auto it = m_frames.find(path);
    return it == m_frames.end() ? nullptr : it->second.get();
}

const CFitsImage* AlignedFrameCache::Resample(const std::string& path, const CFitsImage& frame,
                                              const Similarity& move, int threads)
{
    const size_t bytes = static_cast<size_t>(frame.GetPixelCount()) * sizeof(float);
    if (m_used + bytes > m_budget || m_frames.count(path))
        return nullptr;
    auto moved = std::make_unique<CFitsImage>();
    if (!moved->AllocateLike(frame))
        return nullptr;  // resampled again next pass
    moved->m_header = frame.m_header;
    ResampleFrame(frame, move, *moved, threads);
    m_used += bytes;
    return m_frames.emplace(path, std::move(moved)).first->second.get();
}

FrameReader::FrameReader(const FrameSet& files, bool enabled, const FrameAlignments* alignments, int threads,
                         AlignedFrameCache* cache)
    : m_next(files.begin()), m_end(enabled ? files.end() : m_next), m_alignments(alignments), m_threads(threads),
      m_cache(cache)
{
    Start();
}

FrameReader::~FrameReader()
{
    if (m_pending.valid())
        m_pending.wait();
}

const CFitsImage* FrameReader::Next(ErrorSink& sink)
{
    if (!m_pending.valid())
        return nullptr;
    const int slot = m_slot;
    const bool loaded = m_pending.get();
    m_reports[slot].ReplayTo(sink);
    m_slot = 1 - slot;
    Start();
    return loaded ? m_read[slot] : nullptr;
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
        if (!it->second.m_move.IsIdentity())
            alignment = &it->second;
    }
    if (const CFitsImage* kept = alignment && m_cache ? m_cache->Find(path) : nullptr) {
        m_read[slot] = kept;
        return true;
    }
    CFitsImage& frame = alignment ? m_unaligned[slot] : m_frames[slot];
    // The reused buffer would keep an earlier frame's EXPTIME when this one
    // has none.
    frame.m_header.m_exposure = 0.0;
    if (!frame.Load(path, m_reports[slot]))
        return false;
    m_read[slot] = &frame;
    if (!alignment)
        return true;
    if (const CFitsImage* kept = m_cache ? m_cache->Resample(path, frame, alignment->m_move, m_threads) : nullptr) {
        m_read[slot] = kept;
        return true;
    }
    CFitsImage& moved = m_frames[slot];
    if (!moved.AllocateLike(frame)) {
        m_reports[slot].ShowError(path, "Not enough memory to align the frame.");
        return false;
    }
    moved.m_header = frame.m_header;
    ResampleFrame(frame, alignment->m_move, moved, m_threads);
    m_read[slot] = &moved;
    return true;
}
