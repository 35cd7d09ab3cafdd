#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "merge/RectStats.h"

namespace {

// An image whose pixel (x, y) of plane p is value(x, y, p).
void Fill(CFitsImage& image, int width, int height, int planes, const std::function<float(int, int, int)>& value)
{
    ASSERT_TRUE(image.Allocate(width, height, planes));
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                *image.PixelAt(x, y, p) = value(x, y, p);
}

// Background rectangle rows 0..9 of columns 0..19 as a checkerboard of
// base - dev and base + dev (mean base, population deviation dev), signal
// rectangle rows 20..29 of columns 0..9 at base + light; elsewhere 0.
struct Scene {
    float base[3];
    float dev[3];
    float light[3];
};
const ImageRect kBackground{0, 0, 20, 10};
const ImageRect kSignal{0, 20, 10, 10};

void FillScene(CFitsImage& image, int planes, const Scene& s)
{
    Fill(image, 40, 40, planes, [&](int x, int y, int p) {
        if (y < 10 && x < 20)
            return (x + y) % 2 ? s.base[p] + s.dev[p] : s.base[p] - s.dev[p];
        if (y >= 20 && y < 30 && x < 10)
            return s.base[p] + s.light[p];
        return 0.0f;
    });
}

}  // namespace

TEST(RectStats, UsableFromHundredPixelsAndClippedToImage)
{
    CFitsImage image;
    Fill(image, 30, 30, 1, [](int x, int y, int) { return static_cast<float>(x + 100 * y); });
    struct Case {
        ImageRect rect;
        bool usable;
        int x0, y0, x1, y1;  // expected overlap
    };
    const Case cases[] = {
        {{0, 0, 10, 10}, true, 0, 0, 10, 10},            // 10 x 10 is enough
        {{3, 4, 9, 11}, false, 0, 0, 0, 0},              // 99 pixels are not
        {{20, -5, 20, 20}, true, 20, 0, 30, 15},         // hangs over two edges
        {{-8, 26, 28, 30}, false, 0, 0, 0, 0},           // overlap 20 x 4
        {{-8, 25, 28, 30}, true, 0, 25, 20, 30},         // overlap 20 x 5
        {{40, 0, 10, 10}, false, 0, 0, 0, 0},            // entirely outside
        {{0, 0, 0, 0}, false, 0, 0, 0, 0},               // not marked
        {{2147483600, 0, 1000, 10}, false, 0, 0, 0, 0},  // x + w beyond int range
    };
    for (const Case& c : cases) {
        PlaneValues mean, dev;
        mean[1] = dev[1] = 7.0f;
        EXPECT_EQ(CalcRectStats(image, c.rect, mean, dev), c.usable) << c.rect.StartX << "," << c.rect.StartY;
        if (!c.usable) {
            EXPECT_EQ(mean[0], 0.0f);
            EXPECT_EQ(dev[0], 0.0f);
            EXPECT_EQ(mean[1], 7.0f);  // the other entries stay
            continue;
        }
        double sum = 0, ss = 0;
        const int n = (c.x1 - c.x0) * (c.y1 - c.y0);
        for (int y = c.y0; y < c.y1; ++y)
            for (int x = c.x0; x < c.x1; ++x)
                sum += x + 100 * y;
        const double m = sum / n;
        for (int y = c.y0; y < c.y1; ++y)
            for (int x = c.x0; x < c.x1; ++x)
                ss += (x + 100 * y - m) * (x + 100 * y - m);
        EXPECT_EQ(mean[0], static_cast<float>(m));
        EXPECT_EQ(dev[0], static_cast<float>(std::sqrt(ss / n)));
    }
}

TEST(RectStats, EveryPlaneAndConstantNoise)
{
    CFitsImage image;
    FillScene(image, 3, {{100.5f, 200.75f, 300.25f}, {2, 0, 8}, {40, 100, 20}});
    PlaneValues mean, dev;
    ASSERT_TRUE(CalcRectStats(image, kBackground, mean, dev));
    EXPECT_EQ(mean[0], 100.5f);
    EXPECT_EQ(mean[1], 200.75f);
    EXPECT_EQ(mean[2], 300.25f);
    EXPECT_EQ(dev[0], 2.0f);
    EXPECT_EQ(dev[1], 0.0f);  // a constant patch has no noise
    EXPECT_EQ(dev[2], 8.0f);
}

TEST(RectStats, FrameStatsSubtractBackgroundOrFallBackToNeutral)
{
    CFitsImage image;
    FillScene(image, 3, {{100, 200, 300}, {5, 6, 7}, {500, 50, 5}});
    PlaneValues bk, signal, noise;
    ASSERT_TRUE(CalcFrameStats(image, kBackground, kSignal, bk, signal, noise));
    EXPECT_EQ(bk[2], 300.0f);
    EXPECT_EQ(signal[0], 500.0f);
    EXPECT_EQ(signal[1], 50.0f);
    EXPECT_EQ(noise[1], 6.0f);

    for (const auto& [rcNoise, rcLight] : {std::pair{kBackground, ImageRect{}}, std::pair{ImageRect{}, kSignal}}) {
        EXPECT_FALSE(CalcFrameStats(image, rcNoise, rcLight, bk, signal, noise));
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(bk[c], 0.0f);
            EXPECT_EQ(signal[c], 100.0f);
            EXPECT_EQ(noise[c], 1.0f);
        }
    }
}

TEST(RectStats, InfoLineTexts)
{
    CFitsImage none;
    CFitsImage mono;
    FillScene(mono, 1, {{100, 0, 0}, {5, 0, 0}, {500, 0, 0}});
    CFitsImage colour;
    FillScene(colour, 3, {{100.5f, 200.75f, 300.25f}, {2, 4, 8}, {40, 100, 20}});
    CFitsImage flat;  // noise 0: S/N is printed the same everywhere
    FillScene(flat, 1, {{100, 0, 0}, {0, 0, 0}, {500, 0, 0}});
    CFitsImage flatColour;
    FillScene(flatColour, 3, {{10, 20, -30}, {0, 1, 0}, {0, 5, -5}});
    CFitsImage twoPlanes;
    FillScene(twoPlanes, 2, {{-7.25f, 0, 0}, {1.5f, 0, 0}, {3, 0, 0}});
    CFitsImage huge;  // means beyond the int range are printed, not converted
    FillScene(huge, 3, {{3e9f, -3e9f, -0.75f}, {0, 0, 0}, {1, 1, 1}});
    struct Case {
        const CFitsImage& image;
        ImageRect rcNoise, rcLight;
        const char* text;
        const char* caption;
    };
    const Case cases[] = {
        {none, kBackground, kSignal, "open images", ""},
        {mono, ImageRect{}, kSignal, "mark background rectangle", "Simple"},
        {mono, kBackground, ImageRect{}, "Bk=100.0 Noise=5.00", "Simple"},
        {mono, kBackground, kSignal, "Bgr=100.0 Noise=5.00 Light=500.0 S/N=100.00", "Adaptive"},
        {colour, kBackground, ImageRect{}, "Bk=(100-200-300) Noise=(2-4-8)", "Simple"},
        {colour, kBackground, kSignal, "Bk=(100-200-300) Noise=(2-4-8) S/N=(20.0-25.0-2.5)", "Adaptive"},
        {flat, kBackground, kSignal, "Bgr=100.0 Noise=0.00 Light=500.0 S/N=inf", "Adaptive"},
        {flatColour, kBackground, kSignal, "Bk=(10-20--30) Noise=(0-1-0) S/N=(nan-5.0--inf)", "Adaptive"},
        {huge, kBackground, kSignal, "Bk=(3000000000--3000000000-0) Noise=(0-0-0) S/N=(nan-nan-inf)", "Adaptive"},
        {twoPlanes, kBackground, kSignal, "Bgr=-7.2 Noise=1.50 Light=3.0 S/N=2.00", "Adaptive"},
    };
    for (const Case& c : cases) {
        const InfoLine line = FormatInfoLine(c.image, c.rcNoise, c.rcLight);
        EXPECT_EQ(line.text, c.text);
        EXPECT_EQ(line.caption, c.caption);
    }
}

namespace {

// 60 x 60 of Gaussian noise (mean 1000, deviation 20, from a fixed seed) with
// the background rectangle at rows and columns 0..39 and a flat signal
// rectangle of +500 at rows 45..59.
constexpr float kSky = 1000.0f;
constexpr float kSkyNoise = 20.0f;
const ImageRect kNoisyBackground{0, 0, 40, 40};
const ImageRect kFlatSignal{0, 45, 60, 15};

void FillNoisySky(CFitsImage& image)
{
    uint64_t state = 12345;
    const auto uniform = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
    };
    Fill(image, 60, 60, 1, [&](int, int y, int) {
        const double normal = std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
        return static_cast<float>(kSky + kSkyNoise * normal + (y >= 45 ? 500.0 : 0.0));
    });
}

}  // namespace

TEST(RectStats, RobustNoiseIgnoresHotPixelsCosmicRaysAndStars)
{
    CFitsImage clean;
    FillNoisySky(clean);
    PlaneValues cleanMean, cleanNoise;
    ASSERT_TRUE(CalcRectStats(clean, kNoisyBackground, cleanMean, cleanNoise, true));
    // A pure Gaussian background: the robust figures are the generator's.
    EXPECT_NEAR(cleanMean[0], kSky, 1.5f);
    EXPECT_NEAR(cleanNoise[0], kSkyNoise, 0.05f * kSkyNoise);

    // The spoilt pixels leave the rectangle as samples, so the figures move
    // by that little; a star's faint wings are part of the sky.
    struct Case {
        const char* what;
        float tolerance;  // of the noise and of the level, relative to the noise
        std::function<void(CFitsImage&)> spoil;
    };
    const Case cases[] = {
        {"one hot pixel", 0.005f, [](CFitsImage& image) { *image.PixelAt(17, 23, 0) = 65535.0f; }},
        {"a cosmic ray of four pixels", 0.005f,
         [](CFitsImage& image) {
             for (int x = 5; x < 9; ++x)
                 *image.PixelAt(x, 30, 0) += 20000.0f - 3000.0f * x;
         }},
        {"a star", 0.025f,
         [](CFitsImage& image) {
             for (int y = 8; y < 15; ++y)
                 for (int x = 20; x < 27; ++x)
                     *image.PixelAt(x, y, 0) += 6000.0f * std::exp(-0.5f * ((x - 23) * (x - 23) + (y - 11) * (y - 11)));
         }},
    };
    for (const Case& c : cases) {
        CFitsImage spoilt;
        FillNoisySky(spoilt);
        c.spoil(spoilt);
        PlaneValues mean, noise;
        ASSERT_TRUE(CalcRectStats(spoilt, kNoisyBackground, mean, noise, true));
        EXPECT_NEAR(noise[0], cleanNoise[0], c.tolerance * cleanNoise[0]) << c.what;
        EXPECT_NEAR(mean[0], cleanMean[0], 2.0f * c.tolerance * cleanNoise[0]) << c.what;
        // The plain figures are thrown far off by the same pixels.
        ASSERT_TRUE(CalcRectStats(spoilt, kNoisyBackground, mean, noise));
        EXPECT_GT(noise[0], 2.0f * kSkyNoise) << c.what;
    }
}

TEST(RectStats, RobustInfoLineAndFrameStatsUseTheRobustFigures)
{
    CFitsImage clean, spoilt;
    FillNoisySky(clean);
    FillNoisySky(spoilt);
    *spoilt.PixelAt(3, 3, 0) = 60000.0f;          // background rectangle
    *spoilt.PixelAt(30, 50, 0) = 60000.0f;        // signal rectangle
    const auto shownNoise = [](const InfoLine& line) {
        float bk = 0, noise = 0;
        EXPECT_EQ(std::sscanf(line.text.c_str(), "Bgr=%f Noise=%f", &bk, &noise), 2) << line.text;
        return noise;
    };
    EXPECT_NEAR(shownNoise(FormatInfoLine(spoilt, kNoisyBackground, kFlatSignal, true)), kSkyNoise, 0.05f * kSkyNoise);
    EXPECT_GT(shownNoise(FormatInfoLine(spoilt, kNoisyBackground, kFlatSignal)), 2.0f * kSkyNoise);

    PlaneValues bk, signal, noise;
    ASSERT_TRUE(CalcFrameStats(spoilt, kNoisyBackground, kFlatSignal, bk, signal, noise, true));
    EXPECT_NEAR(signal[0], 500.0f, 3.0f);
    EXPECT_NEAR(noise[0], kSkyNoise, 0.05f * kSkyNoise);
}

TEST(RectStats, RobustConstantPatchAndNonFiniteValues)
{
    CFitsImage image;
    Fill(image, 20, 20, 1, [](int x, int y, int) {
        if (x == 3 && y == 4)
            return std::numeric_limits<float>::quiet_NaN();
        return x == 7 && y == 9 ? std::numeric_limits<float>::infinity() : 250.0f;
    });
    PlaneValues mean, noise;
    ASSERT_TRUE(CalcRectStats(image, ImageRect{0, 0, 20, 20}, mean, noise, true));
    EXPECT_EQ(mean[0], 250.0f);
    EXPECT_EQ(noise[0], 0.0f);
}

TEST(RectStats, PixelsWithoutDataAreSkippedOnlyWhenAsked)
{
    // Rectangle 0,0,20,10 of the scene with its left columns made "no data",
    // as a moved frame's edge: what is left keeps the checkerboard's mean and
    // deviation, and too few pixels with data make it unusable.
    const float nan = std::nanf("");
    struct Case {
        int noDataColumns;
        bool usable;
    };
    for (const Case& c : {Case{0, true}, Case{6, true}, Case{10, true}, Case{11, false}, Case{20, false}}) {
        CFitsImage image;
        FillScene(image, 1, {{100, 0, 0}, {5, 0, 0}, {50, 0, 0}});
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < c.noDataColumns; ++x)
                *image.PixelAt(x, y, 0) = nan;
        PlaneValues mean, dev;
        EXPECT_EQ(CalcRectStats(image, kBackground, mean, dev, false, true), c.usable) << c.noDataColumns;
        if (c.usable) {
            EXPECT_EQ(mean[0], 100.0f) << c.noDataColumns;
            EXPECT_EQ(dev[0], 5.0f) << c.noDataColumns;
        } else {
            EXPECT_EQ(mean[0], 0.0f);
        }
        // Unasked, a NaN spreads as it always did.
        PlaneValues plainMean, plainDev;
        ASSERT_TRUE(CalcRectStats(image, kBackground, plainMean, plainDev));
        EXPECT_EQ(std::isnan(plainMean[0]), c.noDataColumns > 0) << c.noDataColumns;
    }
}
