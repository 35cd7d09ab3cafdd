#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>

#include "image/FitsImage.h"
#include "merge/LocalCorrection.h"
#include "merge/MergeEngine.h"
#include "platform/FileNames.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr int kW = 30;
constexpr int kH = 20;
const ImageRect kBackground{0, 0, 10, 10};
const ImageRect kSignal{10, 0, 10, 10};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// One plane of kW x kH: the background rectangle a checkerboard of bk - dev
// and bk + dev (mean bk, noise dev), the signal rectangle at bk + signal,
// everything else fill.
std::vector<float> Scene(float bk, float dev, float signal, float fill)
{
    std::vector<float> px(kW * kH, fill);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            px[y * kW + x] = x < 10 ? ((x + y) % 2 ? bk + dev : bk - dev) : bk + signal;
    return px;
}

float& At(std::vector<float>& px, int x, int y) { return px[y * kW + x]; }

// "f0.fit", "f1.fit", ... in frame order.
std::string Numbered(int k)
{
    std::string name = "f0.fit";
    name[1] = static_cast<char>('0' + k);
    return name;
}

void Load(CFitsImage& image, const std::string& path)
{
    ErrorRecorder host;
    ASSERT_TRUE(image.Load(path, host));
}

// The engine over frames written into a scratch folder.
struct Bench {
    ScratchDir dir;
    CMergeEngine engine;
    ErrorRecorder host;
    CPreviewBitmap bitmap;

    std::string Add(const std::string& name, const std::vector<float>& px, int width = kW, int height = kH,
                    int planes = 1, const std::vector<TestKey>& keys = {})
    {
        const std::string path = dir.file(name);
        WriteTestFits(path, -32, width, height, planes, px, keys);
        engine.AddFrame(path);
        return path;
    }
    std::string AddBroken(const std::string& name)
    {
        const std::string path = dir.file(name);
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fputs("not a FITS file", f);
        std::fclose(f);
        engine.AddFrame(path);
        return path;
    }
    // Flat frames f0.fit ... of the values 0, 10, 20, ...
    void AddFlatFrames(int count)
    {
        for (int k = 0; k < count; ++k)
            Add(Numbered(k), std::vector<float>(kW * kH, 10.0f * k));
    }
    void Adaptive()
    {
        engine.m_rcNoise = kBackground;
        engine.m_rcLight = kSignal;
    }
};

// An image of the size kW x kH filled with one value.
void Constant(CFitsImage& image, float value, int planes = 1)
{
    ASSERT_TRUE(image.Allocate(kW, kH, planes));
    std::fill(image.m_pData, image.m_pData + image.GetPixelCount(), value);
}

}  // namespace

TEST(MergeEngine, WorkedNormalisationScalesOffsetsAndWeights)
{
    // Reference: background 100, noise 10, signal 1000. Frame: background
    // 120, noise 8, signal 500: LightK 2, R 0.625, K 0.390625.
    Bench b;
    b.Adaptive();
    std::vector<float> ref = Scene(100, 10, 1000, 100);
    std::vector<float> frame = Scene(120, 8, 500, 120);
    At(ref, 25, 15) = 960.9375f;
    At(frame, 25, 15) = 620.0f;  // v = (620 - 120) * 2 + 100 = 1100
    const std::string refPath = b.Add("a.fit", ref);
    b.Add("b.fit", frame);
    CFitsImage reference;
    Load(reference, refPath);

    ASSERT_TRUE(b.engine.CalcAverage(reference, b.host));
    EXPECT_EQ(b.engine.m_refBackground[0], 100.0f);
    EXPECT_EQ(b.engine.m_refNoise[0], 10.0f);
    EXPECT_EQ(b.engine.m_refSignal[0], 1000.0f);
    // (1 * 960.9375 + 0.390625 * 1100) / 1.390625
    EXPECT_EQ(*b.engine.m_average.PixelAt(25, 15, 0), 1000.0f);
    EXPECT_EQ(b.host.titles.front(), "Calc Adaptive Average Image...");

    ASSERT_TRUE(b.engine.CalcDeviation(reference, b.host));
    // Differences -39.0625 (R 1) and 100 * 0.625.
    const float expected = std::sqrt((39.0625f * 39.0625f + 62.5f * 62.5f) / 2.0f);
    EXPECT_FLOAT_EQ(*b.engine.m_deviation.PixelAt(25, 15, 0), expected);
    EXPECT_TRUE(b.engine.m_deviationValid);
}

TEST(MergeEngine, TwiceTheScaledNoiseWeighsAQuarter)
{
    Bench b;
    b.Adaptive();
    std::vector<float> ref = Scene(100, 10, 1000, 100);
    std::vector<float> noisy = Scene(100, 20, 1000, 100);
    At(ref, 25, 15) = 1000.0f;
    At(noisy, 25, 15) = 2000.0f;
    const std::string refPath = b.Add("a.fit", ref);
    b.Add("b.fit", noisy);
    CFitsImage reference;
    Load(reference, refPath);
    ASSERT_TRUE(b.engine.CalcAverage(reference, b.host));
    EXPECT_EQ(*b.engine.m_average.PixelAt(25, 15, 0), 1200.0f);  // (1000 + 0.25 * 2000) / 1.25
}

TEST(MergeEngine, LimitsAndNonFiniteValuesAreSkipped)
{
    struct Case {
        bool ignoreBlack, ignoreWhite;
        float a, b, average;
    };
    const float below = std::nextafter(50000.0f, 0.0f);
    const Case cases[] = {
        {true, false, 0.0f, 10.0f, 10.0f},               // exactly the black limit 0
        {true, false, 0.5f, 10.0f, 5.25f},
        {false, true, 50000.0f, 20.0f, 20.0f},           // exactly the white limit 50000
        {false, true, below, 0.0f, below / 2},
        {false, false, kNaN, 40.0f, 40.0f},              // NaN and infinities like limited values
        {false, false, kInf, 40.0f, 40.0f},
        {true, true, -kInf, 40.0f, 40.0f},
        {true, true, 0.0f, 50000.0f, 0.0f},              // no value left: 0
    };
    for (const Case& c : cases) {
        Bench b;
        b.engine.m_params.m_ignoreBlack = c.ignoreBlack;
        b.engine.m_params.m_ignoreWhite = c.ignoreWhite;
        std::vector<float> a(kW * kH, 7.0f), bb(kW * kH, 7.0f);
        At(a, 3, 4) = c.a;
        At(bb, 3, 4) = c.b;
        const std::string path = b.Add("a.fit", a);
        b.Add("b.fit", bb);
        CFitsImage reference;
        Load(reference, path);
        ASSERT_TRUE(b.engine.CalcAverage(reference, b.host));
        EXPECT_EQ(*b.engine.m_average.PixelAt(3, 4, 0), c.average) << c.a << " " << c.b;
        EXPECT_EQ(b.host.titles.front(), "Calc Siple Average Image...");
        b.engine.m_params.m_useSigma = true;
        ASSERT_TRUE(b.engine.Merge(reference, b.bitmap, b.host, false));
        for (int32_t i = 0; i < reference.GetPixelCount(); ++i)
            ASSERT_TRUE(std::isfinite(reference.m_pData[i]) && std::isfinite(b.engine.m_deviation.m_pData[i]));
    }
}

TEST(MergeEngine, FrameOfAnotherSizeIsReportedOnceAndLeftOut)
{
    Bench b;
    const std::string first = b.Add("a.fit", std::vector<float>(kW * kH, 10.0f), kW, kH, 1, {NumberKey("EXPTIME", 10)});
    const std::string odd =
        b.Add("b.fit", std::vector<float>(kW * 2 * kH, 99.0f), kW * 2, kH, 1, {NumberKey("EXPTIME", 20)});
    // No EXPTIME: counts 0, not the exposure of the frame read before it.
    b.Add("c.fit", std::vector<float>(kW * kH, 20.0f));
    b.Add("d.fit", std::vector<float>(kW * kH, 30.0f), kW, kH, 1, {NumberKey("EXPTIME", 30)});
    b.engine.m_params.m_useSigma = true;
    CFitsImage image;
    Load(image, first);
    ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host));
    ASSERT_EQ(b.host.errors.size(), 1u);
    EXPECT_EQ(b.host.errors[0].caption, odd);
    EXPECT_EQ(b.host.errors[0].text, "Image has different size!");
    EXPECT_EQ(b.engine.m_exposureSum, 40.0);
    EXPECT_EQ(*b.engine.m_average.PixelAt(0, 0, 0), 20.0f);
    EXPECT_EQ(image.m_width, kW);
    EXPECT_EQ(b.host.framesShown, 3);
}

TEST(MergeEngine, AllUnreadableLeavesZeros)
{
    Bench b;
    b.AddBroken("a.fit");
    b.AddBroken("b.fit");
    CFitsImage image;
    Constant(image, 5.0f);
    ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host));
    EXPECT_EQ(b.engine.m_exposureSum, 0.0);
    for (int32_t i = 0; i < image.GetPixelCount(); ++i)
        ASSERT_EQ(image.m_pData[i], 0.0f);
    ASSERT_EQ(b.host.errors.size(), 2u);
    EXPECT_EQ(b.host.errors[0].caption, kFitsErrorCaption);
}

TEST(MergeEngine, ZeroSignalOrNoiseGivesNeutralFactors)
{
    // Each case breaks the factors of one frame or of the reference; the
    // broken planes merge with scale 1 and weight 1 around the backgrounds.
    struct Case {
        const char* what;
        float refDev, refSignal, frameDev, frameSignal;
        float expected;  // average at the probe pixel: reference 300, frame 500
    };
    const Case cases[] = {
        {"frame noise 0", 10, 1000, 0, 1000, (300 + (500 - 120 + 100)) / 2.0f},
        {"frame signal 0", 10, 1000, 10, 0, (300 + (500 - 120 + 100)) / 2.0f},
        {"reference noise 0", 0, 1000, 10, 1000, (300 + (500 - 120 + 100)) / 2.0f},
        {"reference signal 0", 10, 0, 10, 1000, (300 + (500 - 120 + 100)) / 2.0f},
    };
    for (const Case& c : cases) {
        Bench b;
        b.Adaptive();
        std::vector<float> ref = Scene(100, c.refDev, c.refSignal, 100);
        std::vector<float> frame = Scene(120, c.frameDev, c.frameSignal, 120);
        At(ref, 25, 15) = 300.0f;
        At(frame, 25, 15) = 500.0f;
        const std::string refPath = b.Add("a.fit", ref);
        b.Add("b.fit", frame);
        CFitsImage image;
        Load(image, refPath);
        b.engine.m_params.m_useSigma = true;
        ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host, false));
        EXPECT_EQ(*b.engine.m_average.PixelAt(25, 15, 0), c.expected) << c.what;
        for (int32_t i = 0; i < image.GetPixelCount(); ++i) {
            ASSERT_TRUE(std::isfinite(b.engine.m_average.m_pData[i])) << c.what;
            ASSERT_TRUE(std::isfinite(b.engine.m_deviation.m_pData[i])) << c.what;
            ASSERT_TRUE(std::isfinite(image.m_pData[i])) << c.what;
        }
    }
}

TEST(MergeEngine, NonFiniteBackgroundGivesPlainValues)
{
    // A NaN or infinity in the background rectangle of the reference or of a
    // frame makes that background non-finite: the plane merges its plain values.
    for (const float bad : {kNaN, kInf}) {
        for (const bool inReference : {true, false}) {
            Bench b;
            b.Adaptive();
            std::vector<float> ref = Scene(100, 10, 1000, 100);
            std::vector<float> frame = Scene(120, 10, 1000, 120);
            At(inReference ? ref : frame, 3, 3) = bad;
            At(ref, 25, 15) = 300.0f;
            At(frame, 25, 15) = 500.0f;
            const std::string refPath = b.Add("a.fit", ref);
            b.Add("b.fit", frame);
            CFitsImage image;
            Load(image, refPath);
            b.engine.m_params.m_useSigma = true;
            ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host, false));
            EXPECT_EQ(*b.engine.m_average.PixelAt(25, 15, 0), 400.0f) << bad << inReference;
            for (int32_t i = 0; i < image.GetPixelCount(); ++i) {
                ASSERT_TRUE(std::isfinite(b.engine.m_average.m_pData[i])) << bad << inReference;
                ASSERT_TRUE(std::isfinite(b.engine.m_deviation.m_pData[i])) << bad << inReference;
                ASSERT_TRUE(std::isfinite(image.m_pData[i])) << bad << inReference;
            }
        }
    }
}

namespace {

// The three passes written out as plainly as they are specified: pixel by
// pixel, band by band, with a local mean of their own. Only the per-frame
// triples come from the rectangle statistics, which have tests of their own.
class PassOracle {
public:
    std::vector<float> average, deviation, result;

    // frames in frame order; reference gives the reference triples.
    PassOracle(const CMergeEngine& e, const CFitsImage& reference, std::vector<const CFitsImage*> frames)
        : m_p(e.m_params), m_frames(std::move(frames)), W(reference.m_width), H(reference.m_height),
          P(reference.m_planes)
    {
        e.CalcFrameStats(reference, m_refBk, m_refSignal, m_refNoise);
        for (const CFitsImage* f : m_frames) {
            Triples t;
            e.CalcFrameStats(*f, t.bk, t.signal, t.noise);
            m_triples.push_back(t);
        }
        blk = m_p.m_normalizeArea >= 5 ? m_p.m_normalizeArea : 1;
        lo = m_p.m_ignoreBlack ? static_cast<float>(m_p.m_blackLimit) : -1e30f;
        hi = m_p.m_ignoreWhite ? static_cast<float>(m_p.m_whiteLimit) : 1e30f;
        Average();
        Deviation();
    }

    // scales[k]: the sigma scales of frame k.
    void SigmaClip(const std::vector<PlaneValues>& scales)
    {
        std::vector<float> weight(Total(), 0.0f);
        result.assign(Total(), 0.0f);
        for (size_t k = 0; k < m_frames.size(); ++k)
            for (int c = 0; c < P; ++c) {
                const float T = m_p.m_sigma * scales[k][c];
                ForEachPixel(k, c, [&](int i, float v, float d) {
                    const float a = static_cast<float>(static_cast<int>(std::fabs(d)));
                    if (T * deviation[i] >= a) {
                        result[i] += Norm(k, c).k * v;
                        weight[i] += Norm(k, c).k;
                        return;
                    }
                    const float q = a / deviation[i];
                    float f = 1.0f;
                    if (T + m_p.m_sigmaFade > q)
                        f = (q - T) / m_p.m_sigmaFade;
                    result[i] += Norm(k, c).k * v * (1 - f);
                    weight[i] += (1 - f) * Norm(k, c).k;
                });
            }
        for (int i = 0; i < Total(); ++i)
            if (weight[i] > 0)
                result[i] = result[i] / weight[i];
    }

private:
    struct Triples {
        PlaneValues bk, signal, noise;
    };
    struct Factors {
        float lightK, r, k, bk, refBk;
        float Normalise(float x) const { return (x - bk) * lightK + refBk; }
    };

    const MergeParams& m_p;
    std::vector<const CFitsImage*> m_frames;
    std::vector<Triples> m_triples;
    PlaneValues m_refBk, m_refSignal, m_refNoise;
    int W, H, P, blk;
    float lo, hi;

    int Total() const { return W * H * P; }
    int Index(int x, int y, int c) const { return x + W * (y + c * H); }
    bool Skipped(float x) const
    {
        return (m_p.m_ignoreBlack && x <= m_p.m_blackLimit) || (m_p.m_ignoreWhite && x >= m_p.m_whiteLimit);
    }
    Factors Norm(size_t k, int c) const
    {
        const Triples& t = m_triples[k];
        const float lightK = m_refSignal[c] / t.signal[c];
        const float r = m_refNoise[c] / (lightK * t.noise[c]);
        return {lightK, r, r * r, t.bk[c], m_refBk[c]};
    }

    // Mean over the 2s x 2s window from (cx - s, cy - s), clipped, of the
    // values strictly between lo and hi; false when there is none.
    bool LocalMean(const float* plane, int64_t cx, int64_t cy, int64_t s, float& mean) const
    {
        double sum = 0;
        int count = 0;
        for (int64_t y = std::max<int64_t>(cy - s, 0); y < std::min<int64_t>(cy + s, H); ++y)
            for (int64_t x = std::max<int64_t>(cx - s, 0); x < std::min<int64_t>(cx + s, W); ++x)
                if (lo < plane[y * W + x] && plane[y * W + x] < hi) {
                    sum += plane[y * W + x];
                    ++count;
                }
        if (count > 0)
            mean = static_cast<float>(sum / count);
        return count > 0;
    }

    // visit(i, v, d) for every used pixel of plane c of frame k: its
    // normalised value and its corrected, scaled difference from the average.
    template <typename Visit>
    void ForEachPixel(size_t k, int c, Visit&& visit) const
    {
        const Factors n = Norm(k, c);
        const float* in = m_frames[k]->m_pData + W * H * c;
        const float* avg = average.data() + W * H * c;
        for (int y = 0; y < H; y += blk) {
            float localF = 0, localRef = 0;
            for (int x = 0; x < W; ++x) {
                if (blk > 1 && x % blk == 0) {
                    const int s = m_p.m_normalizeArea;
                    float meanF = 0, meanRef = 0;
                    const bool both = LocalMean(in, x + blk / 2, y + blk / 2, s, meanF) &&
                                      LocalMean(avg, x + blk / 2, y + blk / 2, s, meanRef);
                    localRef = both ? meanRef : 0.0f;  // an empty window corrects nothing
                    localF = both ? n.Normalise(meanF) : 0.0f;
                }
                for (int yy = y; yy < std::min(H, y + blk); ++yy) {
                    const int i = Index(x, yy, c);
                    const float xi = m_frames[k]->m_pData[i];
                    if (Skipped(xi))
                        continue;
                    const float v = n.Normalise(xi);
                    const float v2 = v + localRef - localF;
                    visit(i, v, (v2 - average[i]) * n.r);
                }
            }
        }
    }

    void Average()
    {
        std::vector<float> weight(Total(), 0.0f);
        average.assign(Total(), 0.0f);
        for (size_t k = 0; k < m_frames.size(); ++k)
            for (int c = 0; c < P; ++c) {
                const Factors n = Norm(k, c);
                for (int i = W * H * c; i < W * H * (c + 1); ++i) {
                    const float x = m_frames[k]->m_pData[i];
                    if (Skipped(x))
                        continue;
                    average[i] += n.k * n.Normalise(x);
                    weight[i] += n.k;
                }
            }
        for (int i = 0; i < Total(); ++i)
            if (weight[i] > 0)
                average[i] = average[i] / weight[i];
    }

    void Deviation()
    {
        std::vector<float> count(Total(), 0.0f);
        deviation.assign(Total(), 0.0f);
        for (size_t k = 0; k < m_frames.size(); ++k)
            for (int c = 0; c < P; ++c)
                ForEachPixel(k, c, [&](int i, float, float d) {
                    deviation[i] += d * d;
                    count[i] += 1;
                });
        for (int i = 0; i < Total(); ++i)
            if (count[i] > 0)
                deviation[i] = std::sqrt(deviation[i] / count[i]);
    }
};

void ExpectPixels(const CFitsImage& actual, const std::vector<float>& expected, const std::string& what)
{
    ASSERT_EQ(static_cast<size_t>(actual.GetPixelCount()), expected.size()) << what;
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_FLOAT_EQ(actual.m_pData[i], expected[i]) << what << " pixel " << i;
}

// The frames of the bench, loaded, in frame order.
std::vector<CFitsImage> LoadAll(const CMergeEngine& engine)
{
    std::vector<CFitsImage> frames(engine.m_files.size());
    size_t k = 0;
    for (const std::string& path : engine.m_files)
        Load(frames[k++], path);
    return frames;
}

std::vector<const CFitsImage*> Pointers(const std::vector<CFitsImage>& frames)
{
    std::vector<const CFitsImage*> p;
    for (const CFitsImage& f : frames)
        p.push_back(&f);
    return p;
}

}  // namespace

namespace {

using Triple = std::array<float, 3>;

// Three planes of kW x kH, plane c a Scene of bk[c], dev[c], signal[c] filled
// with its background.
std::vector<float> ColourScene(Triple bk, Triple dev, Triple signal)
{
    std::vector<float> px;
    for (int c = 0; c < 3; ++c) {
        const std::vector<float> plane = Scene(bk[c], dev[c], signal[c], bk[c]);
        px.insert(px.end(), plane.begin(), plane.end());
    }
    return px;
}

float& At(std::vector<float>& px, int x, int y, int c) { return px[(c * kH + y) * kW + x]; }

}  // namespace

TEST(MergeEngine, ColourPlanesEachUseTheirOwnFactors)
{
    // Per plane (background, noise, signal) of the reference and the frame:
    // red   (100, 10, 1000) and (120, 8, 500):   LightK 2,   R 0.625, K 0.390625
    // green (200, 20, 500)  and (220, 10, 1000): LightK 0.5, R 4,     K 16
    // blue  (50, 5, 2000)   and (40, 5, 1000):   LightK 2,   R 0.5,   K 0.25
    Bench b;
    b.Adaptive();
    std::vector<float> ref = ColourScene({100, 200, 50}, {10, 20, 5}, {1000, 500, 2000});
    std::vector<float> frame = ColourScene({120, 220, 40}, {8, 10, 5}, {500, 1000, 1000});
    const Triple refValue{960.9375f, 130.0f, 437.5f};
    const Triple frameValue{620.0f, 420.0f, 340.0f};  // normalised: 1100, 300, 650
    for (int c = 0; c < 3; ++c) {
        At(ref, 25, 15, c) = refValue[c];
        At(frame, 25, 15, c) = frameValue[c];
    }
    const std::string refPath = b.Add("a.fit", ref, kW, kH, 3);
    b.Add("b.fit", frame, kW, kH, 3);
    CFitsImage reference;
    Load(reference, refPath);

    ASSERT_TRUE(b.engine.CalcAverage(reference, b.host));
    // (960.9375 + 0.390625 * 1100) / 1.390625, (130 + 16 * 300) / 17, (437.5 + 0.25 * 650) / 1.25
    const Triple average{1000.0f, 290.0f, 480.0f};
    // The reference's and the frame's differences, the frame's scaled by R.
    const Triple deviation{std::sqrt((39.0625f * 39.0625f + 62.5f * 62.5f) / 2), std::sqrt((160.0f * 160 + 40 * 40) / 2),
                           std::sqrt((42.5f * 42.5f + 85 * 85) / 2)};
    ASSERT_TRUE(b.engine.CalcDeviation(reference, b.host));
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(*b.engine.m_average.PixelAt(25, 15, c), average[c]) << "plane " << c;
        EXPECT_FLOAT_EQ(*b.engine.m_deviation.PixelAt(25, 15, c), deviation[c]) << "plane " << c;
        // Where both frames hold their background, each plane is its reference background.
        EXPECT_FLOAT_EQ(*b.engine.m_average.PixelAt(25, 5, c), (Triple{100, 200, 50}[c])) << "plane " << c;
    }
}

TEST(MergeEngine, ColourClippingMatchesAPlainReferenceWithPerPlaneScales)
{
    // Four colour frames, each plane with its own background, noise, signal
    // and sigma scale, with outliers of both signs: the merge must take every
    // decision of the plain passes.
    const Triple bk[] = {{100, 200, 50}, {120, 220, 40}, {90, 180, 60}, {110, 210, 55}};
    const Triple dev[] = {{10, 20, 5}, {8, 10, 5}, {12, 15, 8}, {10, 25, 4}};
    const Triple signal[] = {{1000, 500, 2000}, {500, 1000, 1000}, {1500, 400, 2500}, {1000, 600, 1800}};
    const std::vector<PlaneValues> scales = {
        {{1.0f, 1.0f, 1.0f}}, {{1.5f, 0.5f, 1.0f}}, {{0.5f, 1.5f, 0.8f}}, {{1.2f, 0.7f, 1.4f}}};
    for (int area : {0, 6}) {
        Bench b;
        b.Adaptive();
        b.engine.m_params.m_useSigma = true;
        b.engine.m_params.m_sigma = 1.2f;
        b.engine.m_params.m_sigmaFade = 0.4f;
        b.engine.m_params.m_normalizeArea = area;
        for (int k = 0; k < 4; ++k) {
            std::vector<float> px = ColourScene(bk[k], dev[k], signal[k]);
            for (int c = 0; c < 3; ++c)
                for (int y = 10; y < kH; ++y)
                    for (int x = 0; x < kW; ++x) {
                        // A scene in the reference's units, noise, and outliers, in this frame's units.
                        float sky = 20.0f * x + 7.0f * y + 50.0f * c + ((x * 7 + y * 13 + k * 5 + c * 3) % 11) - 5;
                        if ((x * 5 + y * 3 + 2 * k + 7 * c) % 13 == 0)
                            sky += (x + k) % 2 ? 150.0f + 10 * k : -120.0f - 10 * k;
                        At(px, x, y, c) = bk[k][c] + sky * signal[k][c] / signal[0][c];
                    }
            const std::string path = b.Add(Numbered(k), px, kW, kH, 3);
            b.engine.m_sigmaScale[path] = scales[k];
        }
        const std::vector<CFitsImage> frames = LoadAll(b.engine);
        CFitsImage image;
        Load(image, *b.engine.m_files.begin());
        ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host, false));

        PassOracle expected(b.engine, frames[0], Pointers(frames));
        expected.SigmaClip(scales);
        const std::string what = "area " + std::to_string(area);
        ExpectPixels(b.engine.m_average, expected.average, "average " + what);
        ExpectPixels(b.engine.m_deviation, expected.deviation, "deviation " + what);
        ExpectPixels(image, expected.result, "result " + what);
    }
}

TEST(MergeEngine, LocalCorrectionBlocksCoverShortLastBandAndBlock)
{
    // 30 x 20 with blocks of 7: the last block of a row has 2 columns, the
    // last band 6 rows. The largest area is one block over the whole image.
    for (int area : {0, 4, 7, INT_MAX}) {
        Bench b;
        b.Adaptive();
        b.engine.m_params.m_normalizeArea = area;
        for (int k = 0; k < 3; ++k) {
            std::vector<float> px = Scene(100 + 10 * k, 10 + k, 1000 - 50 * k, 100);
            for (int y = 10; y < kH; ++y)
                for (int x = 0; x < kW; ++x)
                    At(px, x, y) = 100 + 10 * k + 3.0f * x + 0.5f * y * k + ((x * 7 + y * 13 + k) % 11);
            b.Add(Numbered(k), px);
        }
        const std::vector<CFitsImage> frames = LoadAll(b.engine);
        ASSERT_TRUE(b.engine.CalcAverage(frames[0], b.host));
        ASSERT_TRUE(b.engine.CalcDeviation(frames[0], b.host));
        const PassOracle expected(b.engine, frames[0], Pointers(frames));
        ExpectPixels(b.engine.m_average, expected.average, "average, area " + std::to_string(area));
        ExpectPixels(b.engine.m_deviation, expected.deviation, "deviation, area " + std::to_string(area));
    }
}

TEST(MergeEngine, LocalMeansOfFloatAndWholeFramesLeaveOutValuesOnTheLimits)
{
    // Many values sit exactly on a limit; the windows must leave them out
    // as the pixels themselves are left out. Fractional values take the
    // plain window sums, whole ones the tiled sums.
    struct Case {
        bool ignoreBlack, ignoreWhite, fractional;
        int area;
    };
    const Case cases[] = {
        {true, false, true, 5}, {false, true, true, 6}, {true, true, true, 7}, {true, true, false, 5},
    };
    for (const Case& c : cases) {
        Bench b;
        b.engine.m_params.m_ignoreBlack = c.ignoreBlack;
        b.engine.m_params.m_blackLimit = 200;
        b.engine.m_params.m_ignoreWhite = c.ignoreWhite;
        b.engine.m_params.m_whiteLimit = 900;
        b.engine.m_params.m_normalizeArea = c.area;
        for (int k = 0; k < 3; ++k) {
            std::vector<float> px(kW * kH);
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x) {
                    const float fraction = c.fractional ? 0.25f * ((x + 2 * y + k) % 4) : 0.0f;
                    float& v = At(px, x, y);
                    v = 400 + 10 * k + 9.0f * x + 4.0f * y + fraction;
                    if ((3 * x + 5 * y + k) % 4 == 0)
                        v = 200.0f;  // on the black limit
                    else if ((x + 3 * y + 2 * k) % 5 == 0)
                        v = 900.0f;  // on the white limit
                }
            b.Add(Numbered(k), px);
        }
        const std::vector<CFitsImage> frames = LoadAll(b.engine);
        ASSERT_TRUE(b.engine.CalcAverage(frames[1], b.host));
        ASSERT_TRUE(b.engine.CalcDeviation(frames[1], b.host));
        const PassOracle expected(b.engine, frames[1], Pointers(frames));
        const std::string what = std::to_string(c.ignoreBlack) + std::to_string(c.ignoreWhite) +
                                 std::to_string(c.fractional) + " area " + std::to_string(c.area);
        ExpectPixels(b.engine.m_average, expected.average, "average " + what);
        ExpectPixels(b.engine.m_deviation, expected.deviation, "deviation " + what);
    }
}

TEST(MergeEngine, LocalMeanWindowIsClippedAndMayBeEmpty)
{
    CFitsImage image;
    ASSERT_TRUE(image.Allocate(10, 10, 1));
    for (int i = 0; i < 100; ++i)
        image.m_pData[i] = static_cast<float>(i % 10);  // value = column
    float mean = -1;
    // Window columns -3..2 clipped to 0..2, rows 0..2.
    ASSERT_TRUE(CalcLocalMean(image, 0, 0, 3, -1e30f, 1e30f, 0, mean));
    EXPECT_FLOAT_EQ(mean, 1.0f);
    // Only values strictly between the limits: columns 1..3 of a 2..7 window.
    ASSERT_TRUE(CalcLocalMean(image, 5, 5, 3, 0.0f, 4.0f, 0, mean));
    EXPECT_FLOAT_EQ(mean, 2.5f);
    mean = -1;
    EXPECT_FALSE(CalcLocalMean(image, 5, 5, 3, 100.0f, 200.0f, 0, mean));
    EXPECT_EQ(mean, -1);
}

TEST(MergeEngine, EmptyLocalWindowMeansNoCorrection)
{
    // An average whose every value is at the black limit: no block has a
    // usable window, so the differences are taken without correction.
    Bench b;
    b.engine.m_params.m_ignoreBlack = true;
    b.engine.m_params.m_blackLimit = 0;
    b.engine.m_params.m_normalizeArea = 5;
    const std::string path = b.Add("a.fit", std::vector<float>(kW * kH, 10.0f));
    CFitsImage image;
    Load(image, path);
    b.engine.m_refSignal[0] = 100;
    b.engine.m_refNoise[0] = 1;
    Constant(b.engine.m_average, 0.0f);
    ASSERT_TRUE(b.engine.CalcDeviation(image, b.host));
    for (int32_t i = 0; i < kW * kH; ++i)
        ASSERT_EQ(b.engine.m_deviation.m_pData[i], 10.0f);
}

namespace {

// Two frames around an average of 1000 with deviation 10: a.fit on the
// average, b.fit at the differences of the probe row.
const float kDiffs[] = {0.9f, 30.0f, 31.0f, 32.0f, -31.0f, -45.0f, 0.0f};

struct ClipBench : Bench {
    CFitsImage image;
    CPreviewBitmap plain;

    explicit ClipBench(float fade, bool saveBitmaps = false)
    {
        engine.m_params.m_useSigma = true;
        engine.m_params.m_sigma = 3.0f;
        engine.m_params.m_sigmaFade = fade;
        engine.m_params.m_ignoreWhite = true;
        engine.m_params.m_saveBitmaps = saveBitmaps;
        std::vector<float> a(kW * kH, 1000.0f), bb(kW * kH, 1000.0f);
        for (int x = 0; x < 7; ++x)
            At(bb, x, 5) = 1000.0f + kDiffs[x];
        At(bb, 8, 5) = 400.0f;    // below the black limit of the preview test
        At(bb, 9, 5) = 60000.0f;  // beyond the white limit
        At(bb, 10, 5) = 1000.9f;  // deviation 0 below
        Add("a.fit", a);
        const std::string last = Add("b.fit", bb);
        for (int k = 0; k < 3; ++k) {
            engine.m_refSignal[k] = 100;
            engine.m_refNoise[k] = 1;
        }
        Constant(engine.m_average, 1000.0f);
        Constant(engine.m_deviation, 10.0f);
        *engine.m_deviation.PixelAt(10, 5, 0) = 0.0f;
        engine.m_deviationValid = true;
        Constant(image, 0.0f);
        CFitsImage frame;
        Load(frame, last);
        plain.RenderImage(frame, -1, -65536);
    }
    float Result(int x) { return *image.PixelAt(x, 5, 0); }
    uint32_t Picture(int x) { return *bitmap.PixelPtr(x, 5); }
    uint32_t Plain(int x) { return *plain.PixelPtr(x, 5); }
};

int Red(uint32_t p) { return (p >> 16) & 0xFF; }
int Green(uint32_t p) { return (p >> 8) & 0xFF; }
int Blue(uint32_t p) { return p & 0xFF; }

}  // namespace

TEST(MergeEngine, SigmaClipAcceptsFadesAndRejects)
{
    ClipBench b(0.2f);
    ASSERT_TRUE(b.engine.Merge(b.image, b.bitmap, b.host));
    EXPECT_NEAR(b.Result(0), 1000.45f, 1e-3);        // 0.9 truncates to 0: accepted
    EXPECT_EQ(b.Result(1), 1015.0f);                 // 30: full weight
    EXPECT_NEAR(b.Result(2), (1000 + 0.5 * 1031) / 1.5, 1e-3);  // 31: q 3.1, f 0.5
    EXPECT_EQ(b.Result(3), 1000.0f);                 // 32: rejected
    EXPECT_NEAR(b.Result(4), (1000 + 0.5 * 969) / 1.5, 1e-3);
    EXPECT_EQ(b.Result(5), 1000.0f);
    EXPECT_EQ(b.Result(9), 1000.0f);                 // beyond the limit: skipped
    EXPECT_NEAR(b.Result(10), 1000.45f, 1e-3);       // deviation 0, difference 0.9

    for (int x = 0; x < kW; ++x)
        ASSERT_EQ(Green(b.Picture(x)), Green(b.Plain(x))) << x;
    for (int x : {0, 1, 6, 9, 10})
        EXPECT_EQ(b.Picture(x), b.Plain(x)) << x;    // accepted and skipped keep their colour
    const int g2 = Green(b.Plain(2));
    EXPECT_NEAR(Red(b.Picture(2)), g2 / 2 + 127, 1);  // half-strength red
    EXPECT_NEAR(Blue(b.Picture(2)), g2 / 2, 1);
    EXPECT_EQ(Red(b.Picture(3)), 255);
    EXPECT_EQ(Blue(b.Picture(3)), 0);
    const int g4 = Green(b.Plain(4));
    EXPECT_NEAR(Blue(b.Picture(4)), g4 / 2 + 127, 1);  // negative: toward blue
    EXPECT_EQ(Blue(b.Picture(5)), 255);
    EXPECT_EQ(Red(b.Picture(5)), 0);
    EXPECT_EQ(b.host.framesShown, 2);
}

TEST(MergeEngine, FadeZeroRejectsEverythingBeyondTheThreshold)
{
    ClipBench b(0.0f);
    ASSERT_TRUE(b.engine.CalcSigmaClip(b.image, b.bitmap, b.host));
    EXPECT_EQ(b.Result(1), 1015.0f);
    EXPECT_EQ(b.Result(2), 1000.0f);
    EXPECT_EQ(b.Result(4), 1000.0f);
    EXPECT_EQ(Red(b.Picture(2)), 255);
    EXPECT_EQ(Blue(b.Picture(4)), 255);
}

TEST(MergeEngine, PictureOnlyWhenNeededAndSameResult)
{
    ClipBench shown(0.2f), hidden(0.2f), saved(0.2f, true);
    ASSERT_TRUE(shown.engine.CalcSigmaClip(shown.image, shown.bitmap, shown.host, 3, true));
    ASSERT_TRUE(hidden.engine.CalcSigmaClip(hidden.image, hidden.bitmap, hidden.host, 3, false));
    ASSERT_TRUE(saved.engine.CalcSigmaClip(saved.image, saved.bitmap, saved.host, 3, false));
    EXPECT_FALSE(hidden.bitmap.HasBitmap());
    EXPECT_EQ(hidden.host.framesShown, 0);
    EXPECT_EQ(saved.host.framesShown, 0);
    EXPECT_EQ(hidden.host.progressSteps, 6);
    for (int32_t i = 0; i < shown.image.GetPixelCount(); ++i) {
        ASSERT_EQ(shown.image.m_pData[i], hidden.image.m_pData[i]);
        ASSERT_EQ(shown.image.m_pData[i], saved.image.m_pData[i]);
    }
    // "Save Bitmaps": one picture per frame, "_" before ".bmp".
    for (const std::string& path : saved.engine.m_files)
        EXPECT_TRUE(fs::exists(path.substr(0, path.size() - 4) + "_.bmp")) << path;
    EXPECT_EQ(ClipBitmapName("/sky/m31_01.fit"), "/sky/m31_01_.bmp");
    EXPECT_FALSE(fs::exists(shown.dir.file("a_.bmp")));
}

// Shown smaller than the frame, the picture has the shown size, each of its
// pixels the frame pixel nearest to its centre, tinted as the full-size
// picture tints that pixel; saved pictures keep every pixel; the result is the same.
TEST(MergeEngine, PictureAtTheShownSizeTintsItsSampledPixels)
{
    ClipBench full(0.2f), shown(0.2f), saved(0.2f, true);
    shown.host.shownWidth = saved.host.shownWidth = 15;
    shown.host.shownHeight = saved.host.shownHeight = 10;
    for (ClipBench* b : {&full, &shown, &saved})
        ASSERT_TRUE(b->engine.CalcSigmaClip(b->image, b->bitmap, b->host, 3, true));
    ASSERT_EQ(shown.bitmap.Width(), 15);
    ASSERT_EQ(shown.bitmap.Height(), 10);
    EXPECT_EQ(saved.bitmap.Width(), kW);
    EXPECT_EQ(shown.host.framesShown, 2);
    for (int32_t i = 0; i < full.image.GetPixelCount(); ++i) {
        ASSERT_EQ(shown.image.m_pData[i], full.image.m_pData[i]);
        ASSERT_EQ(saved.image.m_pData[i], full.image.m_pData[i]);
    }
    auto tinted = [](uint32_t p) { return Red(p) != Green(p) || Blue(p) != Green(p); };
    int tints = 0;
    for (int sy = 0; sy < 10; ++sy)
        for (int sx = 0; sx < 15; ++sx) {
            const int x = (2 * sx + 1) * kW / 30;  // the nearest to the centre of 2 x 2 frame pixels
            const int y = (2 * sy + 1) * kH / 20;
            const bool expected = tinted(*full.bitmap.PixelPtr(x, y));
            EXPECT_EQ(tinted(*shown.bitmap.PixelPtr(sx, sy)), expected) << sx << "," << sy;
            tints += expected;
        }
    EXPECT_GT(tints, 0);
}

TEST(MergeEngine, OneFrameGivesTheNormalisedFrame)
{
    for (int area : {0, 5}) {
        Bench b;
        b.Adaptive();
        b.engine.m_params.m_useSigma = true;
        b.engine.m_params.m_normalizeArea = area;
        std::vector<float> frame = Scene(120, 8, 500, 120);
        for (int y = 10; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                At(frame, x, y) = 100.0f + 7 * x + y;
        b.Add("f.fit", frame);
        CFitsImage image;
        ASSERT_TRUE(image.Allocate(kW, kH, 1));
        const std::vector<float> ref = Scene(100, 10, 1000, 100);
        std::copy(ref.begin(), ref.end(), image.m_pData);
        ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host));
        for (int i = 0; i < kW * kH; ++i)
            ASSERT_EQ(image.m_pData[i], (frame[i] - 120) * 2 + 100) << "area " << area << " pixel " << i;
    }
}

TEST(MergeEngine, ProgressAccountingAndCache)
{
    Bench b;
    b.AddFlatFrames(5);
    CFitsImage image;
    Constant(image, 0.0f);
    b.engine.m_params.m_useSigma = true;
    EXPECT_EQ(b.engine.ProgressPerFrame(image), 6);
    ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host));
    EXPECT_EQ(b.host.progressSteps, 30);
    EXPECT_EQ(b.host.titles.back(), "Sigma Clipping - " + *b.engine.m_files.rbegin());

    // Only the clipping pass runs while the cache is valid.
    b.host = ErrorRecorder{};
    b.engine.m_params.m_sigma = 1.0f;
    EXPECT_EQ(b.engine.ProgressPerFrame(image), 3);
    ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host));
    EXPECT_EQ(b.host.progressSteps, 15);
    EXPECT_EQ(b.host.titles.front(), "Sigma Clipping - " + *b.engine.m_files.begin());

    // A cache made for another image size is not used.
    CFitsImage larger;
    ASSERT_TRUE(larger.Allocate(kW + 1, kH, 1));
    EXPECT_EQ(b.engine.ProgressPerFrame(larger), 6);

    b.engine.m_deviationValid = false;
    b.engine.m_params.m_useSigma = false;
    b.host = ErrorRecorder{};
    EXPECT_EQ(b.engine.ProgressPerFrame(image), 1);
    ASSERT_TRUE(b.engine.Merge(image, b.bitmap, b.host));
    EXPECT_EQ(b.host.progressSteps, 5);
    EXPECT_EQ(*image.PixelAt(0, 0, 0), 20.0f);
}

TEST(MergeEngine, ShowClippingRecoloursWithTheClippingDecisions)
{
    ClipBench b(0.2f);
    b.engine.m_params.m_ignoreBlack = true;
    b.engine.m_params.m_blackLimit = 500;
    ASSERT_TRUE(b.engine.CalcSigmaClip(b.image, b.bitmap, b.host));
    CFitsImage frame;
    const std::string last = *b.engine.m_files.rbegin();
    Load(frame, last);
    CPreviewBitmap preview;
    preview.RenderImage(frame, 0, 500);
    const uint32_t before = *preview.PixelPtr(8, 5);
    b.engine.ShowClipping(frame, last, 0, preview);
    const uint32_t blackMark = *preview.PixelPtr(8, 5);
    EXPECT_EQ(blackMark, (before & 0xFF00u) | 0xFFu);
    EXPECT_EQ(Red(*preview.PixelPtr(9, 5)), 255);  // above the white limit
    EXPECT_EQ(Blue(*preview.PixelPtr(9, 5)), 0);
    // The same tints as the clipping pass (a grey rendering of one plane).
    for (int x : {0, 1, 2, 3, 4, 5, 10})
        EXPECT_EQ(*preview.PixelPtr(x, 5), *b.bitmap.PixelPtr(x, 5)) << x;

    // Running again on its own picture gives the same picture; a lower sigma tints more.
    std::vector<uint32_t> once(preview.Bits(), preview.Bits() + kW * kH);
    b.engine.ShowClipping(frame, last, 0, preview);
    EXPECT_TRUE(std::equal(once.begin(), once.end(), preview.Bits()));
    b.engine.m_params.m_sigma = 1.0f;
    b.engine.ShowClipping(frame, last, 0, preview);
    EXPECT_EQ(Red(*preview.PixelPtr(1, 5)), 255);
    EXPECT_NE(*preview.PixelPtr(1, 5), once[(kH - 1 - 5) * kW + 1]);

    // Nothing happens without a valid cache.
    b.engine.m_deviationValid = false;
    CPreviewBitmap grey;
    grey.RenderImage(frame, 0, 500);
    std::vector<uint32_t> plain(grey.Bits(), grey.Bits() + kW * kH);
    b.engine.ShowClipping(frame, last, 0, grey);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), grey.Bits()));
}

TEST(MergeEngine, ClippingPreviewOfEveryPlaneMarksValuesOnTheLimits)
{
    // Around an average of 1000 with deviation 10, sigma 3, fade 0.2: plane c
    // has its own row of cases at columns 6c .. 6c + 5 of row 5, the other
    // planes the average there. Scales 1, 0.5, 1.5 give thresholds 3, 1.5, 4.5.
    struct Column {
        float value;
        int red, blue;  // expected; -1: (1 - f) * g, -2: (1 - f) * g + 255 f, -3: g
        float f;
    };
    const Column columns[3][6] = {
        {{500, 0, 255, 0}, {50000, 255, 0, 0}, {1031, -2, -1, 0.5f}, {967, 0, 255, 1}, {1000.9f, -3, -3, 0}, {501, 0, 255, 1}},
        {{500, 0, 255, 0}, {50000, 255, 0, 0}, {1016, -2, -1, 0.5f}, {969, 0, 255, 1}, {1030, 255, 0, 1}, {49999, 255, 0, 1}},
        {{500, 0, 255, 0}, {50000, 255, 0, 0}, {1031, -3, -3, 0}, {954, -1, -2, 0.5f}, {1046, -2, -1, 0.5f}, {1045, -3, -3, 0}},
    };
    Bench b;
    b.engine.m_params.m_useSigma = true;
    b.engine.m_params.m_ignoreBlack = true;
    b.engine.m_params.m_blackLimit = 500;
    b.engine.m_params.m_ignoreWhite = true;
    b.engine.m_params.m_whiteLimit = 50000;
    std::vector<float> px(kW * kH * 3, 1000.0f);
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 6; ++j)
            At(px, 6 * c + j, 5, c) = columns[c][j].value;
    const std::string path = b.Add("a.fit", px, kW, kH, 3);
    b.engine.m_sigmaScale[path] = PlaneValues{{1.0f, 0.5f, 1.5f}};
    for (int c = 0; c < 3; ++c) {
        b.engine.m_refSignal[c] = 100;  // the neutral triples: factors 1
        b.engine.m_refNoise[c] = 1;
    }
    Constant(b.engine.m_average, 1000.0f, 3);
    Constant(b.engine.m_deviation, 10.0f, 3);
    b.engine.m_deviationValid = true;
    CFitsImage frame;
    Load(frame, path);

    for (int c = 0; c < 3; ++c) {
        CPreviewBitmap preview;
        preview.RenderImage(frame, c, 500);
        const std::vector<uint32_t> grey(preview.Bits(), preview.Bits() + kW * kH);
        b.engine.ShowClipping(frame, path, c, preview);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const uint32_t g = Green(grey[(kH - 1 - y) * kW + x]);
                const uint32_t shown = *preview.PixelPtr(x, y);
                const std::string where = "plane " + std::to_string(c) + " at " + std::to_string(x) + "," +
                                          std::to_string(y);
                ASSERT_EQ(Green(shown), static_cast<int>(g)) << where;
                const bool special = y == 5 && x >= 6 * c && x < 6 * c + 6;
                if (!special) {
                    ASSERT_EQ(shown, (g << 16) | (g << 8) | g) << where;  // accepted: grey
                    continue;
                }
                const Column& col = columns[c][x - 6 * c];
                auto expect = [&](int code) {
                    if (code == -1)
                        return (1 - col.f) * g;
                    if (code == -2)
                        return (1 - col.f) * g + 255 * col.f;
                    return code == -3 ? static_cast<float>(g) : static_cast<float>(code);
                };
                EXPECT_NEAR(Red(shown), expect(col.red), 1) << where;
                EXPECT_NEAR(Blue(shown), expect(col.blue), 1) << where;
            }
    }
}

TEST(MergeEngine, SetParamsDropsTheCacheExactlyWhenALimitOrTheAreaChanges)
{
    struct Case {
        const char* field;
        std::function<void(MergeParams&)> change;
        bool dropsCache;
    };
    const Case cases[] = {
        {"none", [](MergeParams&) {}, false},
        {"ignoreBlack", [](MergeParams& p) { p.m_ignoreBlack = true; }, true},
        {"ignoreWhite", [](MergeParams& p) { p.m_ignoreWhite = true; }, true},
        {"blackLimit", [](MergeParams& p) { p.m_blackLimit = 1; }, true},
        {"whiteLimit", [](MergeParams& p) { p.m_whiteLimit = 49999; }, true},
        {"normalizeArea", [](MergeParams& p) { p.m_normalizeArea = 5; }, true},
        {"useSigma", [](MergeParams& p) { p.m_useSigma = true; }, false},
        {"sigma", [](MergeParams& p) { p.m_sigma = 2.5f; }, false},
        {"sigmaFade", [](MergeParams& p) { p.m_sigmaFade = 0.0f; }, false},
        {"saveBitmaps", [](MergeParams& p) { p.m_saveBitmaps = true; }, false},
    };
    for (const Case& c : cases) {
        CMergeEngine engine;
        engine.m_deviationValid = true;
        MergeParams params;
        c.change(params);
        engine.SetParams(params);
        EXPECT_EQ(engine.m_deviationValid, !c.dropsCache) << c.field;
        // The values are taken either way.
        EXPECT_TRUE(engine.m_params == params) << c.field;
    }
}

TEST(MergeEngine, EnsureDeviationComputesOnlyWhatIsMissing)
{
    Bench b;
    b.AddFlatFrames(3);
    CFitsImage image;
    Constant(image, 0.0f);

    // Without Sigma Clip no view needs the deviation.
    EXPECT_FALSE(b.engine.NeedsDeviation(image));
    ASSERT_TRUE(b.engine.EnsureDeviation(image, b.host));
    EXPECT_EQ(b.host.progressSteps, 0);
    EXPECT_FALSE(b.engine.m_deviationValid);

    MergeParams params = b.engine.m_params;
    params.m_useSigma = true;
    b.engine.SetParams(params);
    EXPECT_TRUE(b.engine.NeedsDeviation(image));
    ASSERT_TRUE(b.engine.EnsureDeviation(image, b.host));
    EXPECT_EQ(b.host.progressSteps, 6);  // average and deviation, one step per frame each
    EXPECT_TRUE(b.engine.m_deviationValid);
    EXPECT_EQ(*b.engine.m_average.PixelAt(3, 4, 0), 10.0f);
    EXPECT_FLOAT_EQ(*b.engine.m_deviation.PixelAt(3, 4, 0), std::sqrt(200.0f / 3.0f));

    // Cached: nothing runs again, for this size only.
    b.host = ErrorRecorder{};
    ASSERT_TRUE(b.engine.EnsureDeviation(image, b.host));
    EXPECT_EQ(b.host.progressSteps, 0);
    CFitsImage larger;
    ASSERT_TRUE(larger.Allocate(kW + 1, kH, 1));
    EXPECT_TRUE(b.engine.NeedsDeviation(larger));

    // A new limit makes it run again.
    params.m_ignoreWhite = true;
    params.m_whiteLimit = 15;
    b.engine.SetParams(params);
    ASSERT_TRUE(b.engine.EnsureDeviation(image, b.host));
    EXPECT_EQ(b.host.progressSteps, 6);
    EXPECT_EQ(*b.engine.m_average.PixelAt(3, 4, 0), 5.0f);
}

namespace {

// Five frames, equal everywhere but at (25, 15), merged with sigma 3 and
// fade 0.2; values[k] is frame k's value there.
struct RobustBench : Bench {
    CFitsImage image;
    RobustBench() { engine.m_mapRejections = true; }

    void Merge(const std::vector<float>& values, bool robust, bool adaptive)
    {
        if (adaptive)
            Adaptive();
        for (size_t k = 0; k < values.size(); ++k) {
            std::vector<float> px = Scene(100, 10, 1000, 100);
            At(px, 25, 15) = values[k];
            const std::string path = Add(Numbered(static_cast<int>(k)), px);
            if (k == 0)
                Load(image, path);
        }
        engine.m_params.m_useSigma = true;
        engine.m_params.m_sigma = 3.0f;
        engine.m_params.m_sigmaFade = 0.2f;
        engine.m_params.m_robust = robust;
        ASSERT_TRUE(engine.Merge(image, bitmap, host, false));
    }
    float Result() const { return *image.PixelAt(25, 15, 0); }
};

}  // namespace

TEST(MergeEngine, RobustClippingRejectsTheCosmicRayTheSpecifiedOneKeeps)
{
    // Five frames can never put one of them 3 deviations from their mean
    // when the deviation contains it: at most sqrt(4) = 2.
    const std::vector<float> values = {100, 102, 5100, 98, 101};
    RobustBench specified;
    specified.Merge(values, false, true);
    EXPECT_NEAR(specified.Result(), (100 + 102 + 5100 + 98 + 101) / 5.0f, 1e-2);
    ASSERT_EQ(specified.engine.m_rejections.size(), 5u);
    for (const FrameRejection& frame : specified.engine.m_rejections)
        EXPECT_EQ(frame.rejected[0], 0.0f) << frame.path;

    RobustBench robust;
    robust.Merge(values, true, true);
    EXPECT_NEAR(robust.Result(), (100 + 102 + 98 + 101) / 4.0f, 1e-3);
    ASSERT_EQ(robust.engine.m_rejections.size(), 5u);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(robust.engine.m_rejections[k].path, robust.dir.file(Numbered(static_cast<int>(k))));
        EXPECT_FLOAT_EQ(robust.engine.m_rejections[k].rejected[0], k == 2 ? 1.0f / (kW * kH) : 0.0f) << k;
        EXPECT_EQ(robust.engine.m_rejections[k].faded[0], 0.0f) << k;
    }
    EXPECT_EQ(*robust.engine.m_rejectionMap.PixelAt(25, 15, 0), 1.0f);
    EXPECT_EQ(*robust.engine.m_rejectionMap.PixelAt(24, 15, 0), 0.0f);
}

TEST(MergeEngine, RobustThresholdAndFadeAgainstTheOtherFrames)
{
    // Simple merge (noise floor 1). The other four: 100, 102, 98, 100, mean
    // 100, squares 8 over 3 degrees of freedom, widened by Student's t spread
    // for 3 (x3): 8; for the difference from their mean x 5/4: deviation
    // sqrt(10) = 3.1623, threshold 9.487.
    const float deviation = std::sqrt(10.0f);
    struct Case {
        float value;
        float kept;  // the last frame's weight after clipping
    };
    const Case cases[] = {
        {109.0f, 1.0f},                                            // 9 <= 9.487: accepted
        {110.0f, 1.0f - (10.0f / deviation - 3.0f) / 0.2f},        // q 3.162: in the fade band
        {111.0f, 0.0f},                                            // q 3.479: rejected
        {91.0f, 1.0f},                                             // the same below the mean
        {90.0f, 1.0f - (10.0f / deviation - 3.0f) / 0.2f},
        {89.0f, 0.0f},
    };
    for (const Case& c : cases) {
        RobustBench b;
        b.Merge({100, 102, 98, 100, c.value}, true, false);
        EXPECT_NEAR(b.Result(), (400.0f + c.kept * c.value) / (4.0f + c.kept), 1e-3) << c.value;
    }
}

TEST(MergeEngine, RejectionFiguresOnlyWhenAskedAndTheSameResult)
{
    for (const bool robust : {false, true}) {
        RobustBench counted, plain;
        counted.Merge({100, 102, 5100, 98, 101}, robust, true);
        plain.engine.m_mapRejections = false;
        plain.Merge({100, 102, 5100, 98, 101}, robust, true);
        std::vector<float> first(counted.image.m_pData, counted.image.m_pData + kW * kH);
        EXPECT_TRUE(std::equal(first.begin(), first.end(), plain.image.m_pData)) << robust;
        EXPECT_EQ(counted.engine.m_rejections.size(), 5u);
        EXPECT_TRUE(plain.engine.m_rejections.empty());
        EXPECT_EQ(FormatRejection(counted.engine.m_rejections[2], 1),
                  robust ? "rejected 0.1667 %, faded 0.0000 %" : "rejected 0.0000 %, faded 0.0000 %");
    }
}

TEST(MergeEngine, RobustWithTwoFramesAcceptsBoth)
{
    RobustBench b;
    b.Merge({100, 5100}, true, true);
    EXPECT_NEAR(b.Result(), 2600.0f, 1e-2);  // nobody can be told apart
}

TEST(MergeEngine, RobustFlagNeedsItsOwnCache)
{
    RobustBench b;
    b.Merge({100, 102, 5100, 98, 101}, false, true);
    EXPECT_TRUE(b.engine.IsCacheValid(b.image));
    b.engine.m_params.m_robust = true;  // the sums of the first two passes are missing
    EXPECT_FALSE(b.engine.IsCacheValid(b.image));
    ASSERT_TRUE(b.engine.Merge(b.image, b.bitmap, b.host, false));
    EXPECT_NEAR(b.Result(), 100.25f, 1e-3);
}

TEST(MergeEngine, RobustClippingPreviewShowsWhatTheMergeRejects)
{
    for (const bool robust : {false, true}) {
        RobustBench b;
        b.Merge({100, 102, 5100, 98, 101}, robust, true);
        CFitsImage frame;
        const std::string rayFrame = b.dir.file(Numbered(2));
        Load(frame, rayFrame);
        CPreviewBitmap preview;
        preview.RenderImage(frame, 0, -65536);
        const uint32_t grey = *preview.PixelPtr(25, 15);
        b.engine.ShowClipping(frame, rayFrame, 0, preview);
        if (robust) {
            EXPECT_EQ(Red(*preview.PixelPtr(25, 15)), 255);
            EXPECT_EQ(Blue(*preview.PixelPtr(25, 15)), 0);
        } else {
            EXPECT_EQ(*preview.PixelPtr(25, 15), grey);
        }
    }
}
