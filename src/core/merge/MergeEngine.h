#pragma once
// The user's work and the merge passes: the frame set with its per-frame
// sigma scales, the rectangles and parameters, the average and deviation
// images with their validity flag, the reference statistics and the exposure
// sum. Owned by value by the main window and by the batch tool.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "align/FrameAligner.h"
#include "image/FitsImage.h"
#include "image/PlaneValues.h"
#include "merge/MergeParams.h"
#include "merge/Provenance.h"
#include "platform/Host.h"
#include "platform/Threads.h"
#include "preview/PreviewBitmap.h"

// Frame paths without duplicates in byte order of the whole path.
using FrameSet = std::set<std::string>;

class AlignedFrameCache;

// The black point floor of the preview for params: the black limit when it
// is enabled.
inline int BlackFloor(const MergeParams& params) { return params.m_ignoreBlack ? params.m_blackLimit : kNoBlackFloor; }

// What robust clipping keeps of the first two passes per pixel besides the
// average and the deviation: the summed weights, the number of frames used
// and the weighted sum of their differences from the average. Empty in the
// specified mode.
struct LeaveOneOutSums {
    CFitsImage weight;
    CFitsImage count;
    CFitsImage differences;

    void Free()
    {
        weight.Free();
        count.Free();
        differences.Free();
    }
};

// The per-plane triples of one frame.
struct FrameTriples {
    PlaneValues background;
    PlaneValues signal;
    PlaneValues noise;
    bool adaptive = true;  // both rectangles usable
};

// How much of a frame the clipping pass took away, per plane: the shares of
// the plane's pixels rejected outright and faded.
struct FrameRejection {
    std::string path;
    PlaneValues rejected;
    PlaneValues faded;
};

// "rejected R %, faded F %" of the first planes shares, as percentages with
// four decimals; "r/g/b" for more than one plane.
std::string FormatRejection(const FrameRejection& frame, int planes);

class CMergeEngine {
public:
    FrameSet m_files;
    std::map<std::string, PlaneValues> m_sigmaScale;
    ImageRect m_rcNoise;
    ImageRect m_rcLight;
    MergeParams m_params;

    CFitsImage m_average;
    CFitsImage m_deviation;
    bool m_deviationValid = false;
    PlaneValues m_refBackground;
    PlaneValues m_refSignal;
    PlaneValues m_refNoise;
    // Aligning with usable reference rectangles: a frame whose rectangles
    // have no data is left out rather than merged with neutral factors.
    bool m_refAdaptive = false;
    double m_exposureSum = 0.0;
    // What the last average pass combined, for the result's header.
    MergeRecord m_record;
    LeaveOneOutSums m_sums;
    // Robust mode: every frame's triples, measured once by the average pass;
    // the robust estimators sort, which would cost more than a pass's
    // arithmetic if every pass measured again.
    std::map<std::string, FrameTriples> m_robustTriples;
    // With m_rejectionFigures the clipping pass fills m_rejections, one entry
    // per frame it merged, in order (without, it leaves it empty: counting
    // costs the pixel loop its vector instructions). With m_mapRejections it
    // also sums, per pixel, how many frames it rejected (a faded frame by its
    // rejected part).
    bool m_rejectionFigures = false;
    std::vector<FrameRejection> m_rejections;
    bool m_mapRejections = false;
    CFitsImage m_rejectionMap;
    // Threads the passes split their pixel loops over; any count gives the
    // same bits.
    int m_threads = DefaultThreadCount();
    // With "Align frames": the path of the image on display (the frame the
    // others are aligned to, set by the host), and the moves found for the
    // frame set and reference they were computed for.
    std::string m_referencePath;
    FrameAlignments m_alignments;
    FrameSet m_alignedFiles;
    std::string m_alignedReference;
    // The resampled frames of the merge that is running, if any.
    AlignedFrameCache* m_pAlignedCache = nullptr;

    // Takes params; the average and deviation are dropped exactly when a
    // value they were computed with changed: a limit, its switch, Normalize
    // Area, Align or Robust. Sigma, fade, Sigma Clip and Save Bitmaps keep them.
    void SetParams(const MergeParams& params);

    // Inserts the path with sigma scales 1, 1, 1; an existing entry stays.
    void AddFrame(const std::string& path);

    // The triples of one frame from the two rectangles.
    bool CalcFrameStats(const CFitsImage& image, PlaneValues& background, PlaneValues& signal,
                        PlaneValues& noise) const;

    // The passes. reference is the image on display (the size template and,
    // for the average, the source of the reference triples; with "Align
    // frames" the average first runs the alignment step if the moves are not
    // current, and fails with it). Each steps the
    // progress by progressStep once per frame, before the frame is read. They
    // return false only when their working images could not be allocated
    // (reported through the host).
    bool CalcAverage(const CFitsImage& reference, CoreHost& host);
    bool CalcDeviation(const CFitsImage& reference, CoreHost& host, int progressStep = 1);
    // Writes the result into image (the image on display). With showFrames
    // each frame is rendered into bitmap with its rejected pixels tinted and
    // handed to the host; without it (and without "Save Bitmaps") no picture
    // is drawn at all. The result is the same either way.
    bool CalcSigmaClip(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, int progressStep = 1,
                       bool showFrames = true);
    // Recolours bitmap (a grey rendering of plane) with the clipping decisions
    // for image, the frame at path. Does nothing unless the cache is valid for
    // image and the bitmap has image's size.
    void ShowClipping(const CFitsImage& image, const std::string& path, int plane, CPreviewBitmap& bitmap);

    // True while m_alignments belong to the current frame set and reference.
    bool AreAlignmentsCurrent() const;
    // 1 while "Align frames" is on and the moves are still to be found, else 0.
    int AlignProgressPerFrame() const;
    // The alignment step: the moves of every frame against reference (the
    // image at m_referencePath), titled and stepping the progress once per
    // frame. A frame that cannot be aligned is reported by name and left out
    // of the passes. False (reported) when the reference has too few stars.
    bool AlignFrames(const CFitsImage& reference, CoreHost& host);

    // True while the average and deviation images are valid for the current
    // inputs and have the size of image.
    bool IsCacheValid(const CFitsImage& image) const;
    // True when Sigma Clip is on and the average and deviation must be
    // computed for image before a view can use them.
    bool NeedsDeviation(const CFitsImage& image) const;
    // Computes the average and the deviation (each stepping the progress once
    // per frame) when NeedsDeviation; false only when a pass failed.
    bool EnsureDeviation(const CFitsImage& image, CoreHost& host);
    // The driver of "Create": progress per frame (6, 3 or 1, and 1 more
    // while frames are to be aligned; the range is frames x this), then the
    // alignment and the passes in order with the cache flag; leaves the
    // result in image.
    int ProgressPerFrame(const CFitsImage& image) const;
    bool Merge(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, bool showFrames = true);

private:
    bool RunPasses(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, bool showFrames);
};
