#include "merge/MergeEngine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <limits>
#include <utility>
#include <vector>

#include "image/ResultSave.h"
#include "merge/RectStats.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr const char* kMemoryCaption = "Velmora";
constexpr const char* kMemoryText = "Not enough memory for the merge images.";

// The values a pass uses: strictly inside the enabled limits. NaN and
// infinities fail the test too, so they are skipped like limited values.
struct PixelLimits {
    float lo = -kInf;
    float hi = kInf;
    // Both comparisons always, so that the pixel loops stay free of branches.
    bool Accepts(float x) const { return (x > lo) & (x < hi); }
};

// The enabled black and white limits; a disabled one is `unlimited`.
PixelLimits MakeLimits(const MergeParams& p, float unlimited)
{
    PixelLimits limits{-unlimited, unlimited};
    if (p.m_ignoreBlack)
        limits.lo = static_cast<float>(p.m_blackLimit);
    if (p.m_ignoreWhite)
        limits.hi = static_cast<float>(p.m_whiteLimit);
    return limits;
}

PixelLimits MakePixelLimits(const MergeParams& p) { return MakeLimits(p, kInf); }

// The block-wise local correction: blocks of blk x blk pixels, each corrected
// by the means over the window of half-size s around its centre, of the
// values strictly between lo and hi (+-1e30 where no limit is set).
struct LocalWindow {
    int blk = 1;
    int s = 0;
    float lo = -1e30f;
    float hi = 1e30f;
};

LocalWindow MakeLocalWindow(const MergeParams& p)
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

// One frame's plane brought to the reference: v = (x - bk) * lightK + refBk,
// difference scale r, weight k = r * r.
struct PlaneNormalisation {
    float lightK = 1.0f;
    float r = 1.0f;
    float k = 1.0f;
    float background = 0.0f;
    float refBackground = 0.0f;

    float Normalise(float x) const { return (x - background) * lightK + refBackground; }
    // The locally corrected, noise-scaled difference from the average.
    float Difference(float v, float localRef, float localF, float average) const
    {
        return (v + localRef - localF - average) * r;
    }
};

bool IsFinitePositive(float value) { return std::isfinite(value) && value > 0.0f; }

PlaneNormalisation NormalisePlane(const PlaneValues& refBackground, const PlaneValues& refSignal,
                                  const PlaneValues& refNoise, const PlaneValues& background,
                                  const PlaneValues& signal, const PlaneValues& noise, int c)
{
    PlaneNormalisation n;
    // A NaN or infinity in a background rectangle leaves no offset to bring
    // the plane to: it keeps its plain values.
    if (std::isfinite(background[c]) && std::isfinite(refBackground[c])) {
        n.background = background[c];
        n.refBackground = refBackground[c];
    }
    const float lightK = refSignal[c] / signal[c];
    const float r = refNoise[c] / (lightK * noise[c]);
    const float k = r * r;
    // A zero signal or noise (here or in the reference) leaves the plane
    // with neutral factors instead of spreading NaN or zero weights.
    if (IsFinitePositive(lightK) && IsFinitePositive(r) && IsFinitePositive(k)) {
        n.lightK = lightK;
        n.r = r;
        n.k = k;
    }
    return n;
}

using FrameNormalisation = std::array<PlaneNormalisation, 3>;

// Every plane of a frame brought to the reference triples of the last average.
FrameNormalisation NormaliseFrame(const CMergeEngine& engine, const CFitsImage& frame)
{
    PlaneValues bk, signal, noise;
    engine.CalcFrameStats(frame, bk, signal, noise);
    FrameNormalisation planes;
    for (int c = 0; c < frame.m_planes && c < 3; ++c)
        planes[c] = NormalisePlane(engine.m_refBackground, engine.m_refSignal, engine.m_refNoise, bk, signal, noise, c);
    return planes;
}

// How much of a pixel the clipping takes away: f = 0 for an accepted pixel,
// 1 for one rejected outright, in between in the fade band.
struct ClipDecision {
    bool accepted;
    float f;
};

// Without branches, so that the pixel loops around it vectorise: every
// quantity is computed and the decision selects among them.
ClipDecision DecideClip(float d, float threshold, float deviation, float fade)
{
    const float magnitude = std::fabs(d);
    // Differences no int can hold (and NaN) are rejected without converting.
    const bool representable = magnitude < 2147483648.0f;
    const float a = static_cast<float>(static_cast<int32_t>(representable ? magnitude : 0.0f));
    const bool accepted = representable & (threshold * deviation >= a);
    const float q = a / deviation;
    const bool faded = representable & (fade > 0.0f) & (threshold + fade > q);
    return {accepted, accepted ? 0.0f : (faded ? (q - threshold) / fade : 1.0f)};
}

uint32_t LowByte(float channel) { return static_cast<uint32_t>(static_cast<int32_t>(channel)) & 0xFFu; }

uint32_t GreenOf(uint32_t pixel) { return (pixel >> 8) & 0xFFu; }

// Red toward 255 * f for a positive difference, blue for the others; the
// green byte stays, so every decision can be read again from it.
uint32_t TintPixel(uint32_t pixel, float f, bool positive)
{
    const uint32_t g = GreenOf(pixel);
    const float kept = (1.0f - f) * static_cast<float>(g);
    const float full = (1.0f - f) * static_cast<float>(g) + 255.0f * f;
    const uint32_t red = LowByte(positive ? full : kept);
    const uint32_t blue = LowByte(positive ? kept : full);
    return (red << 16) | (g << 8) | blue;
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
int CeilDiv(int a, int b) { return static_cast<int>((int64_t{a} + b - 1) / b); }

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

// The average's block means per plane, once per pass: neither the average
// nor the windows change from frame to frame.
std::vector<BlockMeans> CalcAverageBlockMeans(const CFitsImage& average, const LocalWindow& window, int threads)
{
    std::vector<BlockMeans> planes;
    for (int c = 0; c < average.m_planes; ++c)
        planes.push_back(CalcBlockMeans(average, c, window, threads));
    return planes;
}

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

void ReportNoMemory(ErrorSink& sink) { sink.ShowError(kMemoryCaption, kMemoryText); }

// Working image of the size of reference, all zero.
bool AllocateZeroed(CFitsImage& image, const CFitsImage& reference)
{
    if (!image.AllocateLike(reference))
        return false;
    if (image.m_pData)
        std::memset(image.m_pData, 0, static_cast<size_t>(image.GetPixelCount()) * sizeof(float));
    return true;
}

// What a load reports, held back until the pass reaches that frame.
class HeldReports : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        m_reports.emplace_back(caption, text);
    }
    void ReplayTo(ErrorSink& sink)
    {
        for (const auto& [caption, text] : m_reports)
            sink.ShowError(caption, text);
        m_reports.clear();
    }

private:
    std::vector<std::pair<std::string, std::string>> m_reports;
};

// The frames of a pass in frame order, each read on a second thread while the
// pass still works on the one before. CFITSIO is reentrant, and meanwhile
// only this reader calls it. A frame's reports reach the host when the pass
// asks for that frame, exactly where reading it in turn would have made them.
class FrameReader {
public:
    // Reads nothing when not enabled.
    FrameReader(const FrameSet& files, bool enabled) : m_next(files.begin()), m_end(enabled ? files.end() : m_next)
    {
        Start();
    }
    ~FrameReader()
    {
        if (m_pending.valid())
            m_pending.wait();
    }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The next frame of the set, valid until the following call; null when
    // it could not be read (reported to sink) or the reader is not enabled.
    CFitsImage* Next(ErrorSink& sink)
    {
        if (!m_pending.valid())
            return nullptr;
        const int slot = m_slot;
        const bool loaded = m_pending.get();
        m_reports[slot].ReplayTo(sink);
        m_slot = 1 - slot;
        Start();
        return loaded ? &m_frames[slot] : nullptr;
    }

private:
    // Reads the next path into the free slot; on a thread when one can be had.
    void Start()
    {
        if (m_next == m_end)
            return;
        CFitsImage& frame = m_frames[m_slot];
        HeldReports& reports = m_reports[m_slot];
        m_pending = std::async(std::launch::async | std::launch::deferred, [&frame, &reports, path = *m_next] {
            // The reused buffer would keep an earlier frame's EXPTIME when
            // this one has none.
            frame.m_header.m_exposure = 0.0;
            return frame.Load(path, reports);
        });
        ++m_next;
    }

    FrameSet::const_iterator m_next;
    FrameSet::const_iterator m_end;
    CFitsImage m_frames[2];
    HeldReports m_reports[2];
    int m_slot = 0;
    std::future<bool> m_pending;
};

// The pixel loops take their factors by value, copies no store can change,
// so that the compiler keeps them in registers and vectorises. A skipped
// pixel adds 0, which leaves its sums as they are: they start at +0 and never
// become -0.

void AccumulateAverage(const float* in, float* sum, float* w, int64_t first, int64_t end, PixelLimits limits,
                       PlaneNormalisation norm)
{
    for (int64_t i = first; i < end; ++i) {
        const bool use = limits.Accepts(in[i]);
        sum[i] += use ? norm.k * norm.Normalise(in[i]) : 0.0f;
        w[i] += use ? norm.k : 0.0f;
    }
}

void AccumulateDeviation(const float* in, const float* avg, float* dev, float* n, int64_t base, CorrectedRun run,
                         PixelLimits limits, PlaneNormalisation norm)
{
    for (int64_t i = base + run.x0; i < base + run.x1; ++i) {
        const bool use = limits.Accepts(in[i]);
        const float d = norm.Difference(norm.Normalise(in[i]), run.localRef, run.localF, avg[i]);
        dev[i] += use ? d * d : 0.0f;
        n[i] += use ? 1.0f : 0.0f;
    }
}

// sum[i] / weight[i] where some weight arrived, 0 elsewhere.
void DivideByWeight(CFitsImage& sum, const CFitsImage& weight)
{
    const int32_t total = sum.GetPixelCount();
    for (int32_t i = 0; i < total; ++i)
        sum.m_pData[i] = weight.m_pData[i] > 0.0f ? sum.m_pData[i] / weight.m_pData[i] : 0.0f;
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

std::string ClipBitmapName(const std::string& framePath) { return DropLastFour(framePath) + "_.bmp"; }

void CMergeEngine::AddFrame(const std::string& path)
{
    m_files.insert(path);
    m_sigmaScale.try_emplace(path, PlaneValues{{1.0f, 1.0f, 1.0f}});
}

bool CMergeEngine::CalcFrameStats(const CFitsImage& image, PlaneValues& background, PlaneValues& signal,
                                  PlaneValues& noise) const
{
    return ::CalcFrameStats(image, m_rcNoise, m_rcLight, background, signal, noise);
}

bool CMergeEngine::CalcAverage(const CFitsImage& reference, CoreHost& host)
{
    const bool adaptive = CalcFrameStats(reference, m_refBackground, m_refSignal, m_refNoise);
    CFitsImage weight;
    if (!AllocateZeroed(weight, reference) || !AllocateZeroed(m_average, reference)) {
        ReportNoMemory(host);
        return false;
    }
    host.SetTitle(adaptive ? "Calc Adaptive Average Image..." : "Calc Siple Average Image...");
    m_exposureSum = 0.0;
    m_record = {reference.m_header.m_source, reference.m_header.m_keptCards, reference.m_planes, {},
                {m_params, m_rcNoise, m_rcLight, m_sigmaScale}};

    const int64_t N = int64_t{reference.m_width} * reference.m_height;
    const PixelLimits limits = MakePixelLimits(m_params);
    FrameReader reader(m_files, true);
    for (const std::string& path : m_files) {
        host.StepProgress(1);
        host.SetTitle("Calc Average - " + path);
        CFitsImage* loaded = reader.Next(host);
        if (!loaded)
            continue;
        const CFitsImage& frame = *loaded;
        if (!frame.SameSize(reference)) {
            host.ShowError(path, "Image has different size!");
            continue;
        }
        m_exposureSum += frame.m_header.m_exposure;
        const FrameNormalisation norms = NormaliseFrame(*this, frame);
        m_record.m_frames.push_back(
            {path, {{norms[0].k, norms[1].k, norms[2].k}}, frame.m_header.m_dateObs, frame.m_header.m_exposure});
        for (int c = 0; c < reference.m_planes; ++c) {
            const PlaneNormalisation& norm = norms[c];
            const float* in = frame.m_pData + N * c;
            float* sum = m_average.m_pData + N * c;
            float* w = weight.m_pData + N * c;
            RunSplit(N, m_threads,
                     [&](int64_t first, int64_t end) { AccumulateAverage(in, sum, w, first, end, limits, norm); });
        }
    }
    DivideByWeight(m_average, weight);
    return true;
}

bool CMergeEngine::CalcDeviation(const CFitsImage& reference, CoreHost& host, int progressStep)
{
    CFitsImage count;
    if (!AllocateZeroed(count, reference) || !AllocateZeroed(m_deviation, reference)) {
        ReportNoMemory(host);
        return false;
    }
    const int W = reference.m_width;
    const int64_t N = int64_t{W} * reference.m_height;
    const PixelLimits limits = MakePixelLimits(m_params);
    const LocalWindow window = MakeLocalWindow(m_params);
    const bool averageFits = m_average.SameSize(reference);
    const std::vector<BlockMeans> averageMeans =
        averageFits ? CalcAverageBlockMeans(m_average, window, m_threads) : std::vector<BlockMeans>();
    FrameReader reader(m_files, averageFits);
    for (const std::string& path : m_files) {
        host.SetTitle("Calc Deviation - " + path);
        host.StepProgress(progressStep);
        const CFitsImage* loaded = reader.Next(host);
        if (!loaded || !loaded->SameSize(reference))
            continue;
        const CFitsImage& frame = *loaded;
        const FrameNormalisation norms = NormaliseFrame(*this, frame);
        for (int c = 0; c < reference.m_planes; ++c) {
            const PlaneNormalisation& norm = norms[c];
            const float* in = frame.m_pData + N * c;
            const float* avg = m_average.m_pData + N * c;
            float* dev = m_deviation.m_pData + N * c;
            float* n = count.m_pData + N * c;
            const BlockMeans frameMeans = CalcBlockMeans(frame, c, window, m_threads);
            WalkPlane(W, frame.m_height, frameMeans, averageMeans[c], norm, window, m_threads,
                      [&](int row, const CorrectedRun& run) {
                          AccumulateDeviation(in, avg, dev, n, int64_t{row} * W, run, limits, norm);
                      });
        }
    }
    const int32_t total = m_deviation.GetPixelCount();
    for (int32_t i = 0; i < total; ++i)
        if (count.m_pData[i] > 0.0f)
            m_deviation.m_pData[i] = std::sqrt(m_deviation.m_pData[i] / count.m_pData[i]);
    m_deviationValid = averageFits;
    return true;
}

namespace {

// What the clipping pass needs of one frame's plane besides its normalisation.
struct ClipPlane {
    const float* in;
    const float* average;
    const float* deviation;
    float* out;
    float* weight;
    float threshold;
    float fade;
};

// One run of the clipping pass (by value, as the loops above): accumulates v
// with the weight left by the clipping and, with kDraw, tints the rejected pixels of the picture row.
template <bool kDraw>
void ClipRun(ClipPlane p, PlaneNormalisation norm, PixelLimits limits, int64_t base, CorrectedRun run,
             uint32_t* pictureRow)
{
    for (int x = run.x0; x < run.x1; ++x) {
        const int64_t i = base + x;
        const bool use = limits.Accepts(p.in[i]);
        const float v = norm.Normalise(p.in[i]);
        const float d = norm.Difference(v, run.localRef, run.localF, p.average[i]);
        const ClipDecision decision = DecideClip(d, p.threshold, p.deviation[i], p.fade);
        const float kept = 1.0f - decision.f;
        p.out[i] += use ? norm.k * v * kept : 0.0f;
        p.weight[i] += use ? kept * norm.k : 0.0f;
        if constexpr (kDraw) {
            if (use && !decision.accepted)
                pictureRow[x] = TintPixel(pictureRow[x], decision.f, d > 0.0f);
        }
    }
}

}  // namespace

bool CMergeEngine::CalcSigmaClip(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, int progressStep,
                                 bool showFrames)
{
    CFitsImage weight;
    if (!AllocateZeroed(weight, image) || !AllocateZeroed(image, image)) {
        ReportNoMemory(host);
        return false;
    }
    const int W = image.m_width;
    const int H = image.m_height;
    const int64_t N = int64_t{W} * H;
    const PixelLimits limits = MakePixelLimits(m_params);
    const LocalWindow window = MakeLocalWindow(m_params);
    const bool cacheFits = m_average.SameSize(image) && m_deviation.SameSize(image);
    const bool draw = showFrames || m_params.m_saveBitmaps;
    const int floor = m_params.m_ignoreBlack ? m_params.m_blackLimit : -65536;
    const std::vector<BlockMeans> averageMeans =
        cacheFits ? CalcAverageBlockMeans(m_average, window, m_threads) : std::vector<BlockMeans>();
    FrameReader reader(m_files, cacheFits);
    for (const std::string& path : m_files) {
        host.StepProgress(progressStep);
        const CFitsImage* loaded = reader.Next(host);
        if (!loaded || !loaded->SameSize(image))
            continue;
        const CFitsImage& frame = *loaded;
        bool drawn = false;
        if (draw) {
            bitmap.RenderImage(frame, -1, floor);
            drawn = bitmap.HasBitmap() && bitmap.Width() == W && bitmap.Height() == H;
        }
        const FrameNormalisation norms = NormaliseFrame(*this, frame);
        const PlaneValues& scale = m_sigmaScale[path];
        for (int c = 0; c < image.m_planes; ++c) {
            host.SetTitle("Sigma Clipping - " + path);
            const PlaneNormalisation& norm = norms[c];
            const ClipPlane plane{frame.m_pData + N * c,  m_average.m_pData + N * c,
                                  m_deviation.m_pData + N * c, image.m_pData + N * c,
                                  weight.m_pData + N * c, m_params.m_sigma * scale[c],
                                  m_params.m_sigmaFade};
            const BlockMeans frameMeans = CalcBlockMeans(frame, c, window, m_threads);
            WalkPlane(W, H, frameMeans, averageMeans[c], norm, window, m_threads,
                      [&](int row, const CorrectedRun& run) {
                          const int64_t base = int64_t{row} * W;
                          if (drawn)
                              ClipRun<true>(plane, norm, limits, base, run, bitmap.PixelPtr(0, row));
                          else
                              ClipRun<false>(plane, norm, limits, base, run, nullptr);
                      });
        }
        if (drawn) {
            if (showFrames)
                host.ShowFrame();
            if (m_params.m_saveBitmaps)
                bitmap.SaveBmp(ClipBitmapName(path));  // a failed picture does not stop the merge
        }
    }
    DivideByWeight(image, weight);
    return true;
}

void CMergeEngine::ShowClipping(const CFitsImage& image, const std::string& path, int plane, CPreviewBitmap& bitmap)
{
    const int W = image.m_width;
    const int H = image.m_height;
    if (plane < 0 || plane >= image.m_planes || !IsCacheValid(image) || !bitmap.HasBitmap() ||
        bitmap.Width() != W || bitmap.Height() != H)
        return;
    const int c = plane;
    const PlaneNormalisation norm = NormaliseFrame(*this, image)[c];
    const float threshold = m_params.m_sigma * m_sigmaScale[path][c];
    const float fade = m_params.m_sigmaFade;
    const PixelLimits limits = MakePixelLimits(m_params);
    const bool ignoreBlack = m_params.m_ignoreBlack;
    const bool ignoreWhite = m_params.m_ignoreWhite;
    const int64_t N = int64_t{W} * H;
    const float* in = image.m_pData + N * c;
    const float* avg = m_average.m_pData + N * c;
    const float* dev = m_deviation.m_pData + N * c;
    const LocalWindow window = MakeLocalWindow(m_params);
    const BlockMeans imageMeans = CalcBlockMeans(image, c, window, m_threads);
    const BlockMeans averageMeans = CalcBlockMeans(m_average, c, window, m_threads);
    WalkPlane(W, H, imageMeans, averageMeans, norm, window, m_threads, [&](int row, const CorrectedRun& run) {
        const int64_t base = int64_t{row} * W;
        uint32_t* picture = bitmap.PixelPtr(0, row);
        for (int x = run.x0; x < run.x1; ++x) {
            const int64_t i = base + x;
            const float xv = in[i];
            const uint32_t g = GreenOf(picture[x]);
            if (ignoreBlack && xv <= limits.lo) {
                picture[x] = (g << 8) | 0xFFu;
            } else if (ignoreWhite && xv >= limits.hi) {
                picture[x] = 0xFF0000u | (g << 8);
            } else if (limits.Accepts(xv)) {
                const float d = norm.Difference(norm.Normalise(xv), run.localRef, run.localF, avg[i]);
                const ClipDecision decision = DecideClip(d, threshold, dev[i], fade);
                picture[x] = decision.accepted ? (g << 16) | (g << 8) | g : TintPixel(picture[x], decision.f, d > 0.0f);
            }
        }
    });
}

bool CMergeEngine::IsCacheValid(const CFitsImage& image) const
{
    return m_deviationValid && m_average.SameSize(image) && m_deviation.SameSize(image);
}

int CMergeEngine::ProgressPerFrame(const CFitsImage& image) const
{
    if (IsCacheValid(image))
        return 3;
    return m_params.m_useSigma ? 6 : 1;
}

bool CMergeEngine::Merge(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, bool showFrames)
{
    const bool cached = IsCacheValid(image);
    if (!cached && !CalcAverage(image, host))
        return false;
    m_record.m_settings = {m_params, m_rcNoise, m_rcLight, m_sigmaScale};
    if (!m_params.m_useSigma) {
        image.CopyPixelsFrom(m_average);
        return true;
    }
    if (!cached && !CalcDeviation(image, host, 2))
        return false;
    return CalcSigmaClip(image, bitmap, host, 3, showFrames);
}
