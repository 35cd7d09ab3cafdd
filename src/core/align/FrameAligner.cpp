#include "align/FrameAligner.h"

#include "align/StarDetect.h"
#include "align/StarMatch.h"

namespace {

FrameAlignment AlignFrame(const std::vector<Star>& referenceStars, const CFitsImage& reference,
                          const CFitsImage& frame)
{
    FrameAlignment result;
    if (!frame.SameSize(reference)) {
        result.m_reason = "size differs from the reference";
        return result;
    }
    std::vector<Star> stars;
    if (!DetectStars(frame, stars, result.m_reason))
        return result;
    result.m_starsFound = static_cast<int>(stars.size());
    StarMatch match;
    if (!MatchStars(referenceStars, stars, match, result.m_reason))
        return result;
    result.m_aligned = true;
    result.m_move = match.m_move;
    result.m_starsMatched = match.m_matched;
    result.m_rmsPx = match.m_rmsPx;
    return result;
}

}  // namespace

bool AlignFrameSet(const CFitsImage& reference, const std::string& referencePath,
                   const std::vector<std::string>& paths, CoreHost& host,
                   std::vector<FrameAlignment>& alignments)
{
    alignments.assign(paths.size(), FrameAlignment());
    std::vector<Star> referenceStars;
    std::string reason;
    if (!DetectStars(reference, referenceStars, reason) || referenceStars.size() < static_cast<size_t>(kMinMatched)) {
        if (reason.empty())
            reason = "too few stars in the reference (" + std::to_string(referenceStars.size()) + " found)";
        for (FrameAlignment& a : alignments)
            a.m_reason = reason;
        return false;
    }
    CFitsImage frame;
    for (size_t i = 0; i < paths.size(); ++i) {
        host.SetTitle(kAlignTitle + paths[i]);
        host.StepProgress(1);
        if (paths[i] == referencePath) {
            const int stars = static_cast<int>(referenceStars.size());
            alignments[i] = {true, std::string(), Similarity(), stars, stars, 0.0};
            continue;
        }
        if (!frame.Load(paths[i], host)) {
            alignments[i].m_reason = kUnreadableReason;
            continue;
        }
        alignments[i] = AlignFrame(referenceStars, reference, frame);
    }
    return true;
}
