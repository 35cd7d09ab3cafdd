#pragma once
// Resampling a frame into the reference's pixel grid.

#include "align/Similarity.h"
#include "image/FitsImage.h"

// Sets every pixel of out (allocated like frame) to frame's value at
// move(x, y), interpolated with a Lanczos-3 kernel: it keeps stars about as
// sharp as they were (bicubic widens them more) and costs 36 taps a pixel.
// Points outside the frame become NaN ("no data", skipped by the passes),
// and so does a point whose kernel reaches a NaN. Rows are split over
// threads; any count gives the same bits.
void ResampleFrame(const CFitsImage& frame, const Similarity& move, CFitsImage& out, int threads);
