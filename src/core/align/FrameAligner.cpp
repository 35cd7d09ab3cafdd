#include "align/FrameAligner.h"

#include "align/StarDetect.h"
#include "align/StarMatch.h"
#include "platform/Threads.h"

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
                   const std::vector<std::string>& paths, int threads, CoreHost& host,
                   std::vector<FrameAlignment>& alignments, const AlignedFrameUse& use)
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
    // Frames are aligned `threads` at a time, each on its own thread; the host
    // hears of them afterwards, in frame order.
    const size_t batch = static_cast<size_t>(std::max(threads, 1));
    std::vector<CFitsImage> frames(std::min(batch, paths.size()));
    std::vector<HeldReports> reports(frames.size());
    for (size_t first = 0; first < paths.size(); first += batch) {
        const size_t count = std::min(batch, paths.size() - first);
        RunSplit(static_cast<int64_t>(count), threads, [&](int64_t begin, int64_t end) {
            for (int64_t k = begin; k < end; ++k) {
                const size_t i = first + static_cast<size_t>(k);
                if (paths[i] == referencePath) {
                    const int stars = static_cast<int>(referenceStars.size());
                    alignments[i] = {true, std::string(), Similarity(), stars, stars, 0.0};
                    continue;
                }
                // The reused buffer would keep an earlier frame's EXPTIME when
                // this one has none, and the kept frame carries it to the passes.
                frames[k].m_header = FrameHeader();
                if (!frames[k].Load(paths[i], reports[k]))
                    alignments[i].m_reason = kUnreadableReason;
                else
                    alignments[i] = AlignFrame(referenceStars, reference, frames[k]);
            }
        });
        for (size_t k = 0; k < count; ++k) {
            host.SetTitle(kAlignTitle + paths[first + k]);
            host.StepProgress(1);
            reports[k].ReplayTo(host);
            if (use && alignments[first + k].m_aligned && paths[first + k] != referencePath)
                use(first + k, frames[k]);
        }
    }
    return true;
}
