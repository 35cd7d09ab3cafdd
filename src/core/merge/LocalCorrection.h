#pragma once
// The block-wise local correction ("Normalize Area"): blocks of blk x blk
// pixels, each corrected by the difference of the frame's and the average's
// means over a window around its centre.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image/FitsImage.h"
#include "merge/MergeParams.h"
#include "merge/Normalisation.h"
#include "merge/PixelLimits.h"
#include "platform/Threads.h"

// Mean of plane c over the window of half-size s centred at (cx, cy), clipped
// to the image, over the values strictly between lo and hi. False (mean
// untouched) when no value qualifies.
bool CalcLocalMean(const CFitsImage& image, int cx, int cy, int s, float lo, float hi, int c, float& mean);

// Blocks of blk x blk pixels, each corrected by the means over the window of
// half-size s around its centre, of the values strictly between lo and hi
// (+-1e30 where no limit is set).
struct LocalWindow {
    int blk = 1;
    int s = 0;
    float lo = -1e30f;
    float hi = 1e30f;
};

inline LocalWindow MakeLocalWindow(const MergeParams& p)
{
    LocalWindow w;
    if (p.m_normalizeArea >= 5) {
        w.blk = p.m_normalizeArea;
        w.s = p.m_normalizeArea;
    }
    const PixelLimits limits = MakeLimits(p, 1e30f);
    w.lo = limits.lo;
    w.hi = limits.hi;
    return w;
}

// A run of pixels of one row sharing one local correction.
struct CorrectedRun {
    int x0;
    int x1;
    float localRef;
    float localF;
};

// The local means of every block of one plane, block (bx, by) at
// by * columns + bx; a block whose window holds no usable value has none.
// Empty without local correction.
struct BlockMeans {
    int columns = 0;
    std::vector<float> mean;
    std::vector<uint8_t> present;
};

// In 64 bits: a Normalize Area near the int range must not overflow a + b.
inline int CeilDiv(int a, int b) { return static_cast<int>((int64_t{a} + b - 1) / b); }

BlockMeans CalcBlockMeans(const CFitsImage& image, int c, const LocalWindow& window, int threads);

// The average's block means per plane, once per pass: neither the average
// nor the windows change from frame to frame.
std::vector<BlockMeans> CalcAverageBlockMeans(const CFitsImage& average, const LocalWindow& window, int threads);

// The local-correction walk over a plane of W x H: bands of blk rows, split
// over the threads; kernel(row, run) is called for every row of a band and
// every run. Rows are independent of each other: a run only reads the
// correction of its own block, and every pixel is touched by one thread.
template <typename Kernel>
void WalkPlane(int W, int H, const BlockMeans& frameMeans, const BlockMeans& averageMeans,
               const PlaneNormalisation& norm, const LocalWindow& window, int threads, Kernel&& kernel)
{
    const int blk = window.blk;
    RunSplit(CeilDiv(H, blk), threads, [&](int64_t firstBand, int64_t endBand) {
        std::vector<CorrectedRun> runs;
        for (int64_t band = firstBand; band < endBand; ++band) {
            const int y = static_cast<int>(band) * blk;
            runs.clear();
            if (blk == 1)
                runs.push_back({0, W, 0.0f, 0.0f});
            for (int bx = 0; blk > 1 && bx * blk < W; ++bx) {
                const int x = bx * blk;
                CorrectedRun run{x, std::min(W, x + blk), 0.0f, 0.0f};
                const size_t at = static_cast<size_t>(band) * frameMeans.columns + bx;
                // A window without a usable value gives its block no correction.
                if (frameMeans.present[at] && averageMeans.present[at]) {
                    run.localRef = averageMeans.mean[at];
                    run.localF = norm.Normalise(frameMeans.mean[at]);
                }
                runs.push_back(run);
            }
            const int bandEnd = std::min(H, y + blk);
            for (int row = y; row < bandEnd; ++row)
                for (const CorrectedRun& run : runs)
                    kernel(row, run);
        }
    });
}
