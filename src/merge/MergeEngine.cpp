#include "merge/MergeEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
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
    bool Accepts(float x) const { return x > lo && x < hi; }
};

PixelLimits MakePixelLimits(const MergeParams& p)
{
    PixelLimits limits;
    if (p.m_ignoreBlack)
        limits.lo = static_cast<float>(p.m_blackLimit);
    if (p.m_ignoreWhite)
        limits.hi = static_cast<float>(p.m_whiteLimit);
    return limits;
}

// The block-wise local correction: blocks of blk x blk pixels, each corrected
// by the means over the window of half-size s around its centre.
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
    if (p.m_ignoreBlack)
        w.lo = static_cast<float>(p.m_blackLimit);
    if (p.m_ignoreWhite)
        w.hi = static_cast<float>(p.m_whiteLimit);
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
    n.background = background[c];
    n.refBackground = refBackground[c];
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

// How much of a pixel the clipping takes away: f = 0 for an accepted pixel,
// 1 for one rejected outright, in between in the fade band.
struct ClipDecision {
    bool accepted;
    float f;
};

ClipDecision DecideClip(float d, float threshold, float deviation, float fade)
{
    const float magnitude = std::fabs(d);
    // Differences no int can hold (and NaN) are rejected without converting.
    if (!(magnitude < 2147483648.0f))
        return {false, 1.0f};
    const int32_t a = static_cast<int32_t>(magnitude);
    if (threshold * deviation >= a)
        return {true, 0.0f};
    const float q = a / deviation;
    if (fade > 0.0f && threshold + fade > q)
        return {false, (q - threshold) / fade};
    return {false, 1.0f};
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

// The local-correction walk over plane c: bands of blk rows, the local means
// once per block of a band; kernel(row, run) is called for every row of the
// band and every run. Rows are independent of each other: a run only reads
// the correction of its own block.
template <typename Kernel>
void WalkPlane(const CFitsImage& frame, const CFitsImage& average, int c, const PlaneNormalisation& norm,
               const LocalWindow& window, Kernel&& kernel)
{
    const int W = frame.m_width;
    const int H = frame.m_height;
    const int blk = window.blk;
    std::vector<CorrectedRun> runs;
    if (blk == 1)
        runs.push_back({0, W, 0.0f, 0.0f});
    for (int y = 0; y < H; y += blk) {
        if (blk > 1) {
            runs.clear();
            for (int x = 0; x < W; x += blk) {
                CorrectedRun run{x, std::min(W, x + blk), 0.0f, 0.0f};
                float meanF = 0.0f, meanRef = 0.0f;
                const int cx = x + blk / 2, cy = y + blk / 2;
                // A window without a usable value gives its block no correction.
                if (CalcLocalMean(frame, cx, cy, window.s, window.lo, window.hi, c, meanF) &&
                    CalcLocalMean(average, cx, cy, window.s, window.lo, window.hi, c, meanRef)) {
                    run.localRef = meanRef;
                    run.localF = norm.Normalise(meanF);
                }
                runs.push_back(run);
            }
        }
        const int bandEnd = std::min(H, y + blk);
        for (int row = y; row < bandEnd; ++row)
            for (const CorrectedRun& run : runs)
                kernel(row, run);
    }
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

    const int64_t N = int64_t{reference.m_width} * reference.m_height;
    const PixelLimits limits = MakePixelLimits(m_params);
    CFitsImage frame;
    for (const std::string& path : m_files) {
        host.StepProgress(1);
        host.SetTitle("Calc Average - " + path);
        // The reused buffer would keep the previous frame's EXPTIME when
        // this one has none.
        frame.m_header.m_exposure = 0.0;
        if (!frame.Load(path, host))
            continue;
        if (!frame.SameSize(reference)) {
            host.ShowError(path, "Image has different size!");
            continue;
        }
        m_exposureSum += frame.m_header.m_exposure;
        PlaneValues bk, signal, noise;
        CalcFrameStats(frame, bk, signal, noise);
        for (int c = 0; c < reference.m_planes; ++c) {
            const PlaneNormalisation norm =
                NormalisePlane(m_refBackground, m_refSignal, m_refNoise, bk, signal, noise, c);
            const float* in = frame.m_pData + N * c;
            float* sum = m_average.m_pData + N * c;
            float* w = weight.m_pData + N * c;
            for (int64_t i = 0; i < N; ++i) {
                const float x = in[i];
                if (!limits.Accepts(x))
                    continue;
                sum[i] += norm.k * norm.Normalise(x);
                w[i] += norm.k;
            }
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
    CFitsImage frame;
    for (const std::string& path : m_files) {
        host.SetTitle("Calc Deviation - " + path);
        host.StepProgress(progressStep);
        if (!averageFits || !frame.Load(path, host) || !frame.SameSize(reference))
            continue;
        PlaneValues bk, signal, noise;
        CalcFrameStats(frame, bk, signal, noise);
        for (int c = 0; c < reference.m_planes; ++c) {
            const PlaneNormalisation norm =
                NormalisePlane(m_refBackground, m_refSignal, m_refNoise, bk, signal, noise, c);
            const float* in = frame.m_pData + N * c;
            const float* avg = m_average.m_pData + N * c;
            float* dev = m_deviation.m_pData + N * c;
            float* n = count.m_pData + N * c;
            WalkPlane(frame, m_average, c, norm, window, [&](int row, const CorrectedRun& run) {
                const int64_t base = int64_t{row} * W;
                for (int64_t i = base + run.x0; i < base + run.x1; ++i) {
                    const float x = in[i];
                    if (!limits.Accepts(x))
                        continue;
                    const float d = norm.Difference(norm.Normalise(x), run.localRef, run.localF, avg[i]);
                    dev[i] += d * d;
                    n[i] += 1.0f;
                }
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

// One run of the clipping pass: accumulates v with the weight left by the
// clipping and, with kDraw, tints the rejected pixels of the picture row.
template <bool kDraw>
void ClipRun(const ClipPlane& p, const PlaneNormalisation& norm, const PixelLimits& limits, int64_t base,
             const CorrectedRun& run, uint32_t* pictureRow)
{
    for (int x = run.x0; x < run.x1; ++x) {
        const int64_t i = base + x;
        const float xv = p.in[i];
        if (!limits.Accepts(xv))
            continue;
        const float v = norm.Normalise(xv);
        const float d = norm.Difference(v, run.localRef, run.localF, p.average[i]);
        const ClipDecision decision = DecideClip(d, p.threshold, p.deviation[i], p.fade);
        const float kept = 1.0f - decision.f;
        p.out[i] += norm.k * v * kept;
        p.weight[i] += kept * norm.k;
        if constexpr (kDraw) {
            if (!decision.accepted)
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
    CFitsImage frame;
    for (const std::string& path : m_files) {
        host.StepProgress(progressStep);
        if (!cacheFits || !frame.Load(path, host) || !frame.SameSize(image))
            continue;
        bool drawn = false;
        if (draw) {
            bitmap.RenderImage(frame, -1, floor);
            drawn = bitmap.HasBitmap() && bitmap.Width() == W && bitmap.Height() == H;
        }
        PlaneValues bk, signal, noise;
        CalcFrameStats(frame, bk, signal, noise);
        const PlaneValues& scale = m_sigmaScale[path];
        for (int c = 0; c < image.m_planes; ++c) {
            host.SetTitle("Sigma Clipping - " + path);
            const PlaneNormalisation norm =
                NormalisePlane(m_refBackground, m_refSignal, m_refNoise, bk, signal, noise, c);
            const ClipPlane plane{frame.m_pData + N * c,  m_average.m_pData + N * c,
                                  m_deviation.m_pData + N * c, image.m_pData + N * c,
                                  weight.m_pData + N * c, m_params.m_sigma * scale[c],
                                  m_params.m_sigmaFade};
            WalkPlane(frame, m_average, c, norm, window, [&](int row, const CorrectedRun& run) {
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
    PlaneValues bk, signal, noise;
    CalcFrameStats(image, bk, signal, noise);
    const PlaneNormalisation norm = NormalisePlane(m_refBackground, m_refSignal, m_refNoise, bk, signal, noise, c);
    const float threshold = m_params.m_sigma * m_sigmaScale[path][c];
    const float fade = m_params.m_sigmaFade;
    const PixelLimits limits = MakePixelLimits(m_params);
    const bool ignoreBlack = m_params.m_ignoreBlack;
    const bool ignoreWhite = m_params.m_ignoreWhite;
    const int64_t N = int64_t{W} * H;
    const float* in = image.m_pData + N * c;
    const float* avg = m_average.m_pData + N * c;
    const float* dev = m_deviation.m_pData + N * c;
    WalkPlane(image, m_average, c, norm, MakeLocalWindow(m_params), [&](int row, const CorrectedRun& run) {
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
    if (!m_params.m_useSigma) {
        image.CopyPixelsFrom(m_average);
        return true;
    }
    if (!cached && !CalcDeviation(image, host, 2))
        return false;
    return CalcSigmaClip(image, bitmap, host, 3, showFrames);
}
