#include "merge/MergeEngine.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "merge/ClipDecision.h"
#include "merge/FrameReader.h"
#include "merge/LocalCorrection.h"
#include "merge/Normalisation.h"
#include "merge/PixelLimits.h"
#include "merge/ShownPicture.h"
#include "platform/FileNames.h"
#include "merge/RectStats.h"

namespace {

constexpr const char* kMemoryCaption = "Velmora";
constexpr size_t kAlignedCacheBytes = size_t{512} << 20;
constexpr const char* kMemoryText = "Not enough memory for the merge images.";
constexpr const char* kNoRectDataText =
    "The frame's move leaves no data in the background or signal rectangle; it is left out of the merge.";

// Every plane of a frame brought to the reference triples of the last
// average (in Robust mode with the triples that pass kept for the path).
// False when the reference's rectangles were usable and the frame's are not:
// with the same rectangles on a frame of the same size that means its move
// left them without data, and neutral factors would merge it unnormalised.
bool NormaliseFrame(const CMergeEngine& engine, const CFitsImage& frame, const std::string& path,
                    FrameNormalisation& planes)
{
    FrameTriples t;
    const auto kept = engine.m_robustTriples.find(path);
    if (engine.m_params.m_robust && kept != engine.m_robustTriples.end())
        t = kept->second;
    else
        t.adaptive = engine.CalcFrameStats(frame, t.background, t.signal, t.noise);
    for (int c = 0; c < frame.m_planes && c < 3; ++c)
        planes[c] = NormalisePlane(engine.m_refBackground, engine.m_refSignal, engine.m_refNoise, t.background,
                                   t.signal, t.noise, c);
    return t.adaptive || !engine.m_refAdaptive;
}

// The moves the passes bring frames into the reference's grid with, if any.
const FrameAlignments* PassAlignments(const CMergeEngine& engine)
{
    return engine.m_params.m_align ? &engine.m_alignments : nullptr;
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

// With kDifferences also the weighted differences robust clipping needs
// (k e = r d, e the unscaled difference).
template <bool kDifferences>
void AccumulateDeviation(const float* in, const float* avg, float* dev, float* n, float* differences, int64_t base,
                         CorrectedRun run, PixelLimits limits, PlaneNormalisation norm)
{
    for (int64_t i = base + run.x0; i < base + run.x1; ++i) {
        const bool use = limits.Accepts(in[i]);
        const float d = norm.Difference(norm.Normalise(in[i]), run.localRef, run.localF, avg[i]);
        dev[i] += use ? d * d : 0.0f;
        n[i] += use ? 1.0f : 0.0f;
        if constexpr (kDifferences)
            differences[i] += use ? norm.r * d : 0.0f;
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

void CMergeEngine::SetParams(const MergeParams& params)
{
    const MergeParams& p = m_params;
    if (params.m_normalizeArea != p.m_normalizeArea || params.m_whiteLimit != p.m_whiteLimit ||
        params.m_blackLimit != p.m_blackLimit || params.m_ignoreBlack != p.m_ignoreBlack ||
        params.m_ignoreWhite != p.m_ignoreWhite || params.m_align != p.m_align || params.m_robust != p.m_robust)
        m_deviationValid = false;
    m_params = params;
}

std::string FormatRejection(const FrameRejection& frame, int planes)
{
    const auto shares = [planes](const PlaneValues& values) {
        std::string text;
        for (int c = 0; c < std::min(planes, 3); ++c) {
            char value[32];
            std::snprintf(value, sizeof value, "%s%.4f", c ? "/" : "", 100.0 * values[c]);
            text += value;
        }
        return text;
    };
    return "rejected " + shares(frame.rejected) + " %, faded " + shares(frame.faded) + " %";
}

void CMergeEngine::AddFrame(const std::string& path)
{
    m_files.insert(path);
    m_sigmaScale.try_emplace(path, PlaneValues{{1.0f, 1.0f, 1.0f}});
}

bool CMergeEngine::CalcFrameStats(const CFitsImage& image, PlaneValues& background, PlaneValues& signal,
                                  PlaneValues& noise) const
{
    return ::CalcFrameStats(image, m_rcNoise, m_rcLight, background, signal, noise, m_params.m_robust,
                            m_params.m_align);
}

bool CMergeEngine::CalcAverage(const CFitsImage& reference, CoreHost& host)
{
    if (AlignProgressPerFrame() > 0 && !AlignFrames(reference, host))
        return false;
    const bool adaptive = CalcFrameStats(reference, m_refBackground, m_refSignal, m_refNoise);
    m_refAdaptive = adaptive && m_params.m_align;
    // Robust clipping needs the weights again; the specified merge drops them.
    m_sums.Free();
    m_robustTriples.clear();
    CFitsImage dropped;
    CFitsImage& weight = m_params.m_robust ? m_sums.weight : dropped;
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
    FrameReader reader(m_files, true, PassAlignments(*this), m_threads, m_pAlignedCache);
    for (const std::string& path : m_files) {
        host.StepProgress(1);
        host.SetTitle("Calc Average - " + path);
        const CFitsImage* loaded = reader.Next(host);
        if (!loaded)
            continue;
        const CFitsImage& frame = *loaded;
        if (!frame.SameSize(reference)) {
            host.ShowError(path, "Image has different size!");
            continue;
        }
        if (m_params.m_robust) {
            FrameTriples& t = m_robustTriples[path];
            t.adaptive = CalcFrameStats(frame, t.background, t.signal, t.noise);
        }
        FrameNormalisation norms;
        if (!NormaliseFrame(*this, frame, path, norms)) {
            host.ShowError(path, kNoRectDataText);
            continue;
        }
        m_exposureSum += frame.m_header.m_exposure;
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
    const bool robust = m_params.m_robust;
    CFitsImage dropped;
    CFitsImage& count = robust ? m_sums.count : dropped;
    if (!AllocateZeroed(count, reference) || !AllocateZeroed(m_deviation, reference) ||
        (robust && !AllocateZeroed(m_sums.differences, reference))) {
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
    FrameReader reader(m_files, averageFits, PassAlignments(*this), m_threads, m_pAlignedCache);
    for (const std::string& path : m_files) {
        host.SetTitle("Calc Deviation - " + path);
        host.StepProgress(progressStep);
        const CFitsImage* loaded = reader.Next(host);
        if (!loaded || !loaded->SameSize(reference))
            continue;
        const CFitsImage& frame = *loaded;
        FrameNormalisation norms;
        if (!NormaliseFrame(*this, frame, path, norms))
            continue;  // reported by the average pass
        for (int c = 0; c < reference.m_planes; ++c) {
            const PlaneNormalisation& norm = norms[c];
            const float* in = frame.m_pData + N * c;
            const float* avg = m_average.m_pData + N * c;
            float* dev = m_deviation.m_pData + N * c;
            float* n = count.m_pData + N * c;
            float* differences = robust ? m_sums.differences.m_pData + N * c : nullptr;
            const BlockMeans frameMeans = CalcBlockMeans(frame, c, window, m_threads);
            WalkPlane(W, frame.m_height, frameMeans, averageMeans[c], norm, window, m_threads,
                      [&](int row, const CorrectedRun& run) {
                          if (robust)
                              AccumulateDeviation<true>(in, avg, dev, n, differences, int64_t{row} * W, run, limits,
                                                        norm);
                          else
                              AccumulateDeviation<false>(in, avg, dev, n, nullptr, int64_t{row} * W, run, limits,
                                                         norm);
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

// The average, deviation and (robust mode) leave-one-out sums of one plane.
struct ClipReference {
    const float* __restrict average;
    const float* __restrict deviation;
    const float* __restrict weight;
    const float* __restrict count;
    const float* __restrict differences;
    float noiseFloor;
};

ClipReference PlaneReference(const CMergeEngine& engine, int c)
{
    const int64_t offset = int64_t{engine.m_average.m_width} * engine.m_average.m_height * c;
    const auto at = [offset](const CFitsImage& image) { return image.m_pData ? image.m_pData + offset : nullptr; };
    return {at(engine.m_average), at(engine.m_deviation),     at(engine.m_sums.weight),
            at(engine.m_sums.count), at(engine.m_sums.differences), engine.m_refNoise[c]};
}

// The test of pixel i with normalised value v: as specified, the difference
// from the average against the pixel's deviation; robust, leave-one-out.
// Always inline: the clipping loop vectorises only with it in view.
template <bool kRobust>
[[gnu::always_inline]] inline ClipTest TestPixel(const ClipReference& ref, int64_t i, float v, const CorrectedRun& run,
                   const PlaneNormalisation& norm)
{
    if constexpr (kRobust) {
        const float e = v + run.localRef - run.localF - ref.average[i];
        const float squares = ref.deviation[i] * ref.deviation[i] * ref.count[i];
        return TestLeaveOneOut(v, ref.average[i], e, norm.r, norm.k, ref.weight[i], squares, ref.differences[i],
                               ref.count[i], ref.noiseFloor);
    } else {
        return {norm.Difference(v, run.localRef, run.localF, ref.average[i]), ref.deviation[i]};
    }
}

// What the clipping pass needs of one frame's plane besides its normalisation.
struct ClipPlane {
    const float* in;
    ClipReference ref;
    float* out;
    float* weight;
    float* rejections;  // null unless the rejection map is wanted
    float threshold;
    float fade;
};

// Pixels of a run rejected outright and faded.
struct RejectionCount {
    int64_t rejected = 0;
    int64_t faded = 0;
};

// One run of the clipping pass (by value, as the loops above): accumulates v
// with the weight left by the clipping and, with kDraw, tints the rejected
// pixels of the picture row (columns[x] is the picture column of frame column
// x, -1 for a column the picture does not show); with kFigures it counts the
// pixels rejected and faded and adds the rejected part to the rejection map,
// when there is one. Choices made at compile time keep the plain loop free of
// branches and counters, so that it vectorises.
template <bool kDraw, bool kRobust, bool kFigures>
RejectionCount ClipRun(ClipPlane p, PlaneNormalisation norm, PixelLimits limits, int64_t base, CorrectedRun run,
                       uint32_t* pictureRow, const int* columns)
{
    int32_t rejected = 0, faded = 0;
    // The sums written never overlap what is read: told, so that the loop
    // need not test every pair of its many arrays.
    float* __restrict out = p.out;
    float* __restrict weight = p.weight;
    for (int x = run.x0; x < run.x1; ++x) {
        const int64_t i = base + x;
        const bool use = limits.Accepts(p.in[i]);
        const float v = norm.Normalise(p.in[i]);
        const ClipTest test = TestPixel<kRobust>(p.ref, i, v, run, norm);
        const ClipDecision decision = DecideClip(test.d, p.threshold, test.deviation, p.fade);
        const float kept = 1.0f - decision.f;
        out[i] += use ? norm.k * v * kept : 0.0f;
        weight[i] += use ? kept * norm.k : 0.0f;
        const bool cut = use & !decision.accepted;
        if constexpr (kFigures) {
            rejected += cut & (decision.f >= 1.0f) ? 1 : 0;
            faded += cut & (decision.f < 1.0f) ? 1 : 0;
            if (p.rejections)
                p.rejections[i] += use ? decision.f : 0.0f;
        }
        if constexpr (kDraw) {
            const int column = columns[x];
            if (cut && column >= 0)
                pictureRow[column] = TintPixel(pictureRow[column], decision.f, test.d > 0.0f);
        }
    }
    return {rejected, faded};
}

// ClipRun with its choices made at run time.
RejectionCount ClipRunAs(bool draw, bool robust, bool figures, const ClipPlane& p, const PlaneNormalisation& norm,
                         PixelLimits limits, int64_t base, const CorrectedRun& run, uint32_t* pictureRow,
                         const int* columns)
{
    const auto withFigures = [&]<bool kDraw, bool kRobust>() {
        return figures ? ClipRun<kDraw, kRobust, true>(p, norm, limits, base, run, pictureRow, columns)
                       : ClipRun<kDraw, kRobust, false>(p, norm, limits, base, run, pictureRow, columns);
    };
    if (draw)
        return robust ? withFigures.operator()<true, true>() : withFigures.operator()<true, false>();
    return robust ? withFigures.operator()<false, true>() : withFigures.operator()<false, false>();
}

}  // namespace

bool CMergeEngine::CalcSigmaClip(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, int progressStep,
                                 bool showFrames)
{
    CFitsImage weight;
    if (!AllocateZeroed(weight, image) || !AllocateZeroed(image, image) ||
        (m_mapRejections && !AllocateZeroed(m_rejectionMap, image))) {
        ReportNoMemory(host);
        return false;
    }
    m_rejections.clear();
    const bool figures = m_rejectionFigures || m_mapRejections;
    const bool robust = m_params.m_robust && IsCacheValid(image);
    const int W = image.m_width;
    const int H = image.m_height;
    const int64_t N = int64_t{W} * H;
    const PixelLimits limits = MakePixelLimits(m_params);
    const LocalWindow window = MakeLocalWindow(m_params);
    const bool cacheFits = m_average.SameSize(image) && m_deviation.SameSize(image);
    const bool draw = showFrames || m_params.m_saveBitmaps;
    // Saved pictures keep every pixel.
    int shownWidth = W;
    int shownHeight = H;
    if (!m_params.m_saveBitmaps)
        host.GetShownSize(shownWidth, shownHeight);
    ShownPicture picture(W, H, std::clamp(shownWidth, 1, W), std::clamp(shownHeight, 1, H));
    const int floor = BlackFloor(m_params);
    const std::vector<BlockMeans> averageMeans =
        cacheFits ? CalcAverageBlockMeans(m_average, window, m_threads) : std::vector<BlockMeans>();
    FrameReader reader(m_files, cacheFits, PassAlignments(*this), m_threads, m_pAlignedCache);
    for (const std::string& path : m_files) {
        host.StepProgress(progressStep);
        const CFitsImage* loaded = reader.Next(host);
        if (!loaded || !loaded->SameSize(image))
            continue;
        const CFitsImage& frame = *loaded;
        FrameNormalisation norms;
        if (!NormaliseFrame(*this, frame, path, norms))
            continue;  // reported by the average pass
        const bool drawn = draw && picture.Render(frame, floor, bitmap);
        const PlaneValues& scale = m_sigmaScale[path];
        FrameRejection share;
        share.path = path;
        for (int c = 0; c < image.m_planes; ++c) {
            host.SetTitle("Sigma Clipping - " + path);
            const PlaneNormalisation& norm = norms[c];
            const ClipPlane plane{frame.m_pData + N * c,
                                  PlaneReference(*this, c),
                                  image.m_pData + N * c,
                                  weight.m_pData + N * c,
                                  m_mapRejections ? m_rejectionMap.m_pData + N * c : nullptr,
                                  m_params.m_sigma * scale[c],
                                  m_params.m_sigmaFade};
            const BlockMeans frameMeans = CalcBlockMeans(frame, c, window, m_threads);
            // Whole numbers: the same sum in any order, on any number of threads.
            std::atomic<int64_t> rejected{0}, faded{0};
            WalkPlane(W, H, frameMeans, averageMeans[c], norm, window, m_threads,
                      [&](int row, const CorrectedRun& run) {
                          const int pictureRow = drawn ? picture.Row(row) : -1;
                          const bool drawRow = pictureRow >= 0;
                          const RejectionCount count = ClipRunAs(
                              drawRow, robust, figures, plane, norm, limits, int64_t{row} * W, run,
                              drawRow ? bitmap.PixelPtr(0, pictureRow) : nullptr, drawRow ? picture.Columns() : nullptr);
                          rejected += count.rejected;
                          faded += count.faded;
                      });
            share.rejected[c] = static_cast<float>(static_cast<double>(rejected) / static_cast<double>(N));
            share.faded[c] = static_cast<float>(static_cast<double>(faded) / static_cast<double>(N));
        }
        if (figures)
            m_rejections.push_back(share);
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
    // An aligned average is in the reference's grid, which only the
    // reference itself shares.
    const bool sameGrid = !m_params.m_align || path == m_referencePath;
    if (!sameGrid || plane < 0 || plane >= image.m_planes || !IsCacheValid(image) || !bitmap.HasBitmap() ||
        bitmap.Width() != W || bitmap.Height() != H)
        return;
    const int c = plane;
    FrameNormalisation norms;
    NormaliseFrame(*this, image, path, norms);
    const PlaneNormalisation norm = norms[c];
    const float threshold = m_params.m_sigma * m_sigmaScale[path][c];
    const float fade = m_params.m_sigmaFade;
    const PixelLimits limits = MakePixelLimits(m_params);
    const bool ignoreBlack = m_params.m_ignoreBlack;
    const bool ignoreWhite = m_params.m_ignoreWhite;
    const int64_t N = int64_t{W} * H;
    const float* in = image.m_pData + N * c;
    const ClipReference ref = PlaneReference(*this, c);
    const bool robust = m_params.m_robust;
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
                const float v = norm.Normalise(xv);
                const ClipTest test =
                    robust ? TestPixel<true>(ref, i, v, run, norm) : TestPixel<false>(ref, i, v, run, norm);
                const ClipDecision decision = DecideClip(test.d, threshold, test.deviation, fade);
                picture[x] =
                    decision.accepted ? (g << 16) | (g << 8) | g : TintPixel(picture[x], decision.f, test.d > 0.0f);
            }
        }
    });
}

bool CMergeEngine::AreAlignmentsCurrent() const
{
    return !m_alignedFiles.empty() && m_alignedFiles == m_files && m_alignedReference == m_referencePath;
}

bool CMergeEngine::AlignFrames(const CFitsImage& reference, CoreHost& host)
{
    m_alignments.clear();
    m_alignedFiles.clear();
    const std::vector<std::string> paths(m_files.begin(), m_files.end());
    std::vector<FrameAlignment> alignments;
    // Frames are resampled for the merge while the alignment still holds
    // them: the average pass then reads none of them again.
    const AlignedFrameUse keep = [&](size_t i, const CFitsImage& frame) {
        if (m_pAlignedCache && !alignments[i].m_move.IsIdentity())
            m_pAlignedCache->Resample(paths[i], frame, alignments[i].m_move, m_threads);
    };
    if (!AlignFrameSet(reference, m_referencePath, paths, m_threads, host, alignments, keep)) {
        host.ShowError(m_referencePath, "Cannot align the frames: " + alignments.front().m_reason + ".");
        return false;
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        const FrameAlignment& a = alignments[i];
        if (!a.m_aligned && a.m_reason != kUnreadableReason)
            host.ShowError(paths[i], "Frame not aligned (" + a.m_reason + "); it is left out of the merge.");
        m_alignments.emplace(paths[i], a);
    }
    m_alignedFiles = m_files;
    m_alignedReference = m_referencePath;
    return true;
}

bool CMergeEngine::IsCacheValid(const CFitsImage& image) const
{
    const bool sumsFit = !m_params.m_robust || (m_sums.weight.SameSize(image) && m_sums.count.SameSize(image) &&
                                                m_sums.differences.SameSize(image));
    return m_deviationValid && m_average.SameSize(image) && m_deviation.SameSize(image) && sumsFit &&
           (!m_params.m_align || AreAlignmentsCurrent());
}

int CMergeEngine::AlignProgressPerFrame() const { return m_params.m_align && !AreAlignmentsCurrent() ? 1 : 0; }

int CMergeEngine::ProgressPerFrame(const CFitsImage& image) const
{
    if (IsCacheValid(image))
        return 3;
    return (m_params.m_useSigma ? 6 : 1) + AlignProgressPerFrame();
}

bool CMergeEngine::NeedsDeviation(const CFitsImage& image) const
{
    return m_params.m_useSigma && !IsCacheValid(image);
}

bool CMergeEngine::EnsureDeviation(const CFitsImage& image, CoreHost& host)
{
    if (!NeedsDeviation(image))
        return true;
    return CalcAverage(image, host) && CalcDeviation(image, host);
}

bool CMergeEngine::Merge(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, bool showFrames)
{
    // The passes of this merge resample each frame once while the budget lasts.
    AlignedFrameCache cache(kAlignedCacheBytes);
    m_pAlignedCache = &cache;
    const bool merged = RunPasses(image, bitmap, host, showFrames);
    m_pAlignedCache = nullptr;
    return merged;
}

bool CMergeEngine::RunPasses(CFitsImage& image, CPreviewBitmap& bitmap, CoreHost& host, bool showFrames)
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