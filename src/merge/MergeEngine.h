#pragma once
// The user's work and the merge passes: the frame set with its per-frame
// sigma scales, the rectangles and parameters, the average and deviation
// images with their validity flag, the reference statistics and the exposure
// sum. Owned by value by the main window and by the batch tool.

#include <map>
#include <set>
#include <string>

#include "image/FitsImage.h"
#include "image/PlaneValues.h"
#include "merge/MergeParams.h"
#include "platform/Host.h"
#include "preview/PreviewBitmap.h"

// Frame paths without duplicates in byte order of the whole path.
using FrameSet = std::set<std::string>;

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

    // Inserts the path with sigma scales 1, 1, 1; an existing entry stays.
    void AddFrame(const std::string& path);

    // The triples of one frame from the two rectangles.
    bool CalcFrameStats(const CFitsImage& image, PlaneValues& background, PlaneValues& signal,
                        PlaneValues& noise) const;

    // The passes. reference is the image on display (the size template and,
    // for the average, the source of the reference triples).
    void CalcAverage(const CFitsImage& reference, CoreHost& host);
    void CalcDeviation(const CFitsImage& reference, CoreHost& host);
    // Writes the result into image (the image on display) and shows each frame
    // with its rejected pixels tinted in bitmap.
    void CalcSigmaClip(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host);
    // Recolours bitmap (a grey rendering of plane) with the clipping decisions
    // for image, the frame at path.
    void ShowClipping(const CFitsImage& image, const std::string& path, int plane, CPreviewBitmap& bitmap);

    // The driver of "Create": progress per frame (6, 3 or 1), then the passes
    // in order with the cache flag; leaves the result in image.
    int ProgressPerFrame() const;
    void Merge(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host);
};
