#pragma once
// The frames of a pass, read ahead on a second thread.

#include <future>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "align/FrameAligner.h"
#include "image/FitsImage.h"
#include "merge/MergeEngine.h"
#include "platform/Host.h"

// Frames resampled into the reference's grid, kept from one pass of a merge
// for the next up to a memory budget; frames beyond it are resampled again
// in each pass, so memory stays bounded whatever the number of frames. The
// passes read kept frames in place: a copy per frame and pass cost more
// than the merge's own arithmetic.
class AlignedFrameCache {
public:
    explicit AlignedFrameCache(size_t budgetBytes) : m_budget(budgetBytes) {}
    const CFitsImage* Find(const std::string& path) const;
    // frame resampled by move into a new image kept for path, when it fits
    // the budget; null otherwise.
    const CFitsImage* Resample(const std::string& path, const CFitsImage& frame, const Similarity& move,
                               int threads);

private:
    std::map<std::string, std::unique_ptr<CFitsImage>> m_frames;
    size_t m_budget;
    size_t m_used = 0;
};

// The frames of a pass in frame order, each read on a second thread while the
// pass still works on the one before. CFITSIO is reentrant, and meanwhile
// only this reader calls it. A frame's reports reach the host when the pass
// asks for that frame, exactly where reading it in turn would have made them.
class FrameReader {
public:
    // Reads nothing when not enabled. With alignments, a frame that could
    // not be aligned is skipped unread and the others are resampled into the
    // reference's grid (on threads) as they are read, or taken from cache.
    FrameReader(const FrameSet& files, bool enabled, const FrameAlignments* alignments = nullptr, int threads = 1,
                AlignedFrameCache* cache = nullptr);
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The next frame of the set, valid until the following call; null when
    // it could not be read (reported to sink), was not aligned, or the reader
    // is not enabled.
    const CFitsImage* Next(ErrorSink& sink);

private:
    // Reads the next path into the free slot; on a thread when one can be had.
    void Start();
    // Loads path into slot, moved into the reference's grid when aligning.
    bool Read(const std::string& path, int slot);

    FrameSet::const_iterator m_next;
    FrameSet::const_iterator m_end;
    const FrameAlignments* m_alignments;
    int m_threads;
    AlignedFrameCache* m_cache;
    CFitsImage m_frames[2];
    CFitsImage m_unaligned[2];
    // What each slot holds: its own frame or one kept in the cache.
    const CFitsImage* m_read[2] = {nullptr, nullptr};
    HeldReports m_reports[2];
    int m_slot = 0;
    std::future<bool> m_pending;
};
