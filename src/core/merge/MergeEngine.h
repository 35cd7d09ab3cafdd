#pragma once
// The user's work and the merge passes: the frame set with its per-frame
// sigma scales, the rectangles and parameters, the average and deviation
// images with their validity flag, the reference statistics and the exposure
// sum. Owned by value by the main window and by the batch tool.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/FitsImage.h"
#include "image/PlaneValues.h"
#include "merge/MergeParams.h"
#include "platform/Host.h"
#include "platform/Threads.h"
#include "preview/PreviewBitmap.h"

// Frame paths without duplicates in byte order of the whole path.
using FrameSet = std::set<std::string>;

// The name of the tinted picture "Save Bitmaps" writes beside a frame.
std::string ClipBitmapName(const std::string& framePath);

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
    double m_exposureSum = 0.0;
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

    // Inserts the path with sigma scales 1, 1, 1; an existing entry stays.
    void AddFrame(const std::string& path);

    // The triples of one frame from the two rectangles.
    bool CalcFrameStats(const CFitsImage& image, PlaneValues& background, PlaneValues& signal,
                        PlaneValues& noise) const;

    // The passes. reference is the image on display (the size template and,
    // for the average, the source of the reference triples). Each steps the
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

    // True while the average and deviation images are valid for the current
    // inputs and have the size of image.
    bool IsCacheValid(const CFitsImage& image) const;
    // The driver of "Create": progress per frame (6, 3 or 1; the range is
    // frames x this), then the passes in order with the cache flag; leaves
    // the result in image.
    int ProgressPerFrame(const CFitsImage& image) const;
    bool Merge(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, bool showFrames = true);
};
