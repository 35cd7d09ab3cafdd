#pragma once
// The moves of a set of frames against a reference frame, computed once per
// frame set and reference.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "align/Similarity.h"
#include "image/FitsImage.h"
#include "platform/Host.h"

struct FrameAlignment {
    bool m_aligned = false;
    std::string m_reason;  // why not, when not aligned
    Similarity m_move;     // reference pixel -> frame pixel
    int m_starsFound = 0;
    int m_starsMatched = 0;
    double m_rmsPx = 0.0;
};

// The moves of a frame set by path.
using FrameAlignments = std::map<std::string, FrameAlignment>;

// The reason given for a frame that could not be read (and was reported).
inline constexpr const char* kUnreadableReason = "unreadable";

// The title of the alignment step while it works on a frame.
inline constexpr const char* kAlignTitle = "Align Frames - ";

// Called for each frame that aligned, in frame order on the calling thread,
// while the frame is still in memory: its index in paths, the frame as read.
using AlignedFrameUse = std::function<void(size_t, const CFitsImage&)>;

// One entry per path, in order. Every frame is read (unreadable frames are
// reported through the host and marked), up to `threads` at once; the title,
// one progress step and the reports of each frame go to the host in frame
// order. referencePath, when
// among paths, gets the identity with the reference's stars. False only when
// the reference itself has too few stars to align anything to; every entry
// then carries the reason.
bool AlignFrameSet(const CFitsImage& reference, const std::string& referencePath,
                   const std::vector<std::string>& paths, int threads, CoreHost& host,
                   std::vector<FrameAlignment>& alignments, const AlignedFrameUse& use = {});
