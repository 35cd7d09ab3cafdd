#include "merge/LocalCorrection.h"

#include <cmath>

namespace {

// The windows of the local means tile the plane: with s = blk, the window of
// block (bx, by) is the 2 x 2 cells from cell (bx, by), whose edges along an
// axis of length size lie at i * blk - (blk - blk / 2), clipped. Summing
// each cell once reads every value once instead of once per window.
int64_t CellEdge(int64_t i, int blk, int size) { return std::clamp<int64_t>(i * blk - (blk - blk / 2), 0, size); }

// The sums and counts of the used values of every cell, cell (i, j) at
// j * columns + i, and per row of cells whether each used value is a whole
// number below 2^24 in magnitude, as in integer frames. Sums of up to 2^29
// such values are exact in double whatever the order of the additions, so
// a window over such cells gives CalcLocalMean's bits.
struct CellSums {
    int columns = 0;
    std::vector<double> sum;
    std::vector<double> count;
    std::vector<uint8_t> whole;
};

// A loop of its own, so that it vectorises; the row is still in the cache
// for the sums.
bool HoldsSmallWholeNumbers(const float* v, int n, float lo, float hi)
{
    int32_t fractional = 0;  // in this form the vectoriser takes it
    for (int i = 0; i < n; ++i) {
        const float inRange = std::fabs(v[i]) < 16777216.0f ? v[i] : 0.5f;
        const float checked = ((v[i] > lo) & (v[i] < hi)) ? inRange : 0.0f;  // unused values pass
        fractional |= static_cast<float>(static_cast<int32_t>(checked)) != checked ? 1 : 0;
    }
    return fractional == 0;
}

void SumCellRow(const CFitsImage& image, int c, const LocalWindow& window, int j, CellSums& cells,
                std::vector<double>& columnSum, std::vector<double>& columnCount)
{
    const int W = image.m_width, blk = window.blk;
    std::fill(columnSum.begin(), columnSum.end(), 0.0);
    std::fill(columnCount.begin(), columnCount.end(), 0.0);
    bool whole = true;
    for (int64_t y = CellEdge(j, blk, image.m_height); y < CellEdge(j + 1, blk, image.m_height); ++y) {
        const float* row = image.PixelAt(0, static_cast<int>(y), c);
        whole = whole && HoldsSmallWholeNumbers(row, W, window.lo, window.hi);
        for (int x = 0; x < W; ++x) {
            const bool used = (row[x] > window.lo) & (row[x] < window.hi);
            columnSum[x] += used ? static_cast<double>(row[x]) : 0.0;
            columnCount[x] += used ? 1.0 : 0.0;
        }
    }
    for (int i = 0; i < cells.columns; ++i) {
        double sum = 0.0, count = 0.0;
        for (int64_t x = CellEdge(i, blk, W); x < CellEdge(i + 1, blk, W); ++x) {
            sum += columnSum[x];
            count += columnCount[x];
        }
        const size_t at = static_cast<size_t>(j) * cells.columns + i;
        cells.sum[at] = sum;
        cells.count[at] = count;
    }
    cells.whole[j] = whole;
}

CellSums SumCells(const CFitsImage& image, int c, const LocalWindow& window, int threads)
{
    CellSums cells;
    const int W = image.m_width, rows = CeilDiv(image.m_height, window.blk) + 1;
    cells.columns = CeilDiv(W, window.blk) + 1;
    cells.sum.assign(static_cast<size_t>(rows) * cells.columns, 0.0);
    cells.count.assign(cells.sum.size(), 0.0);
    cells.whole.assign(static_cast<size_t>(rows), 0);
    RunSplit(rows, threads, [&](int64_t first, int64_t end) {
        std::vector<double> columnSum(W), columnCount(W);
        for (int64_t j = first; j < end; ++j)
            SumCellRow(image, c, window, static_cast<int>(j), cells, columnSum, columnCount);
    });
    return cells;
}

}  // namespace

bool CalcLocalMean(const CFitsImage& image, int cx, int cy, int s, float lo, float hi, int c, float& mean)
{
    const int64_t left = int64_t{cx} - s;
    const int64_t top = int64_t{cy} - s;
    const int64_t x0 = std::max<int64_t>(left, 0);
    const int64_t x1 = std::min<int64_t>(left + 2 * int64_t{s}, image.m_width);
    const int64_t y0 = std::max<int64_t>(top, 0);
    const int64_t y1 = std::min<int64_t>(top + 2 * int64_t{s}, image.m_height);
    double sum = 0.0;
    int64_t count = 0;
    for (int64_t y = y0; y < y1; ++y) {
        const float* row = image.PixelAt(0, static_cast<int>(y), c);
        for (int64_t x = x0; x < x1; ++x) {
            const float v = row[x];
            if (lo < v && v < hi) {
                sum += v;
                ++count;
            }
        }
    }
    if (count == 0)
        return false;
    mean = static_cast<float>(sum / static_cast<double>(count));
    return true;
}

BlockMeans CalcBlockMeans(const CFitsImage& image, int c, const LocalWindow& window, int threads)
{
    BlockMeans means;
    const int blk = window.blk;
    if (blk == 1)
        return means;
    const int W = image.m_width, H = image.m_height;
    means.columns = CeilDiv(W, blk);
    const size_t blocks = static_cast<size_t>(means.columns) * CeilDiv(H, blk);
    means.mean.assign(blocks, 0.0f);
    means.present.assign(blocks, 0);
    const int64_t span = 2 * int64_t{window.s};
    const bool small = std::min<int64_t>(span, W) * std::min<int64_t>(span, H) <= (int64_t{1} << 29);
    const CellSums cells = small ? SumCells(image, c, window, threads) : CellSums();
    // Each block's mean is one window's sum: the same whichever thread
    // computes it.
    RunSplit(CeilDiv(H, blk), threads, [&](int64_t first, int64_t end) {
        for (int64_t by = first; by < end; ++by) {
            const bool exact = small && cells.whole[by] && cells.whole[by + 1];
            for (int bx = 0; bx < means.columns; ++bx) {
                const size_t at = static_cast<size_t>(by) * means.columns + bx;
                if (!exact) {
                    const int cx = bx * blk + blk / 2, cy = static_cast<int>(by) * blk + blk / 2;
                    means.present[at] = CalcLocalMean(image, cx, cy, window.s, window.lo, window.hi, c, means.mean[at]);
                    continue;
                }
                const size_t cell = static_cast<size_t>(by) * cells.columns + bx;
                const size_t below = cell + cells.columns;
                const double sum = cells.sum[cell] + cells.sum[cell + 1] + cells.sum[below] + cells.sum[below + 1];
                const double count =
                    cells.count[cell] + cells.count[cell + 1] + cells.count[below] + cells.count[below + 1];
                means.present[at] = count > 0.0;
                if (count > 0.0)
                    means.mean[at] = static_cast<float>(sum / count);
            }
        }
    });
    return means;
}

std::vector<BlockMeans> CalcAverageBlockMeans(const CFitsImage& average, const LocalWindow& window, int threads)
{
    std::vector<BlockMeans> planes;
    for (int c = 0; c < average.m_planes; ++c)
        planes.push_back(CalcBlockMeans(average, c, window, threads));
    return planes;
}
