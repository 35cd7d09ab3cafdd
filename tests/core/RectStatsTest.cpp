#include <gtest/gtest.h>

#include <cmath>
#include <functional>

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
        EXPECT_EQ(CalcRectStats(image, kBackground, mean, dev, true), c.usable) << c.noDataColumns;
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
