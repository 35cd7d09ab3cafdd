#pragma once
// Statistics of the marked rectangles: background, noise and signal per plane,
// and the info-line text the main window and the batch tool show.

#include <string>

#include "image/FitsImage.h"
#include "image/PlaneValues.h"

// Mean and population standard deviation of every plane over the rectangle
// clipped to the image. False (mean[0] = stdDev[0] = 0) when the overlap has
// fewer than 100 pixels. robust: the mean of the middle half of the values
// and the deviation of those within 3 deviations of their mean, iterated from
// the median and the scaled median absolute deviation, so that stars, hot
// pixels and cosmic rays in the rectangle move neither; the deviation is
// scaled to match a plain one on pure Gaussian noise. With skipNoData, NaN
// pixels ("no data" of a moved frame) are left out and fewer than 100 pixels
// with data in any plane is just as unusable; without NaN the figures are the
// same bits either way.
bool CalcRectStats(const CFitsImage& image, const ImageRect& rect, PlaneValues& mean, PlaneValues& stdDev,
                   bool robust = false, bool skipNoData = false);

// The per-plane triples of one frame from the background rectangle rcNoise
// and the signal rectangle rcLight; true ("adaptive") when both are usable,
// otherwise the neutral values background 0, signal 100, noise 1.
bool CalcFrameStats(const CFitsImage& image, const ImageRect& rcNoise, const ImageRect& rcLight,
                    PlaneValues& background, PlaneValues& signal, PlaneValues& noise, bool robust = false,
                    bool skipNoData = false);

// What the info line and the Merge button show for an image.
struct InfoLine {
    std::string text;     // "open images", "mark background rectangle", "Bgr=..."
    std::string caption;  // "Simple", "Adaptive", or empty: leave the caption as it is
};
InfoLine FormatInfoLine(const CFitsImage& image, const ImageRect& rcNoise, const ImageRect& rcLight,
                        bool robust = false);
