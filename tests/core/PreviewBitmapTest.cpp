#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "preview/PreviewBitmap.h"
#include "support/TestFiles.h"

namespace {

constexpr int kBins = 98304;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The grey byte of a value between the black and white points, from the
// documented curve: k = exp(gamma / 5 - 2) (at most the largest float).
int ExpectedGrey(float v, float black, float white, int gamma)
{
    float L = (v - black) * (1.0f / (white - black));
    L = L > 0 ? (L > 1 ? 1 : L) : 0;
    if (gamma > 0) {
        const float k = static_cast<float>(std::min(std::exp(gamma / 5.0 - 2.0), double{FLT_MAX}));
        L = std::log(k * L + 1.0f) / std::log(k + 1.0f);
    }
    return static_cast<int>(L * 255.5f);
}

uint32_t Grey(int b) { return static_cast<uint32_t>(b) * 0x010101u; }

// A 10 x 10 picture of the values 0..99 (value x + 10 y): the black point
// is 1 (the bin where the count passes 1), the white point 49 (the 51st
// value from the top).
std::vector<float> Ramp()
{
    std::vector<float> v(100);
    for (int i = 0; i < 100; ++i)
        v[i] = static_cast<float>(i);
    return v;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

TEST(PreviewBitmap, HistogramPutsEveryValueIntoABin)
{
    const std::vector<float> values = {-1e30f, kNaN, -kInf, -32768.0f, -32767.5f, -32767.0f, 0.0f,
                                       65535.9f, 65536.0f, 1e30f, kInf};
    std::vector<int> counts(kBins, 99);
    BuildHistogram(counts.data(), values.data(), static_cast<int>(values.size()), kBins, -32768.0f);
    EXPECT_EQ(counts[0], 5);
    EXPECT_EQ(counts[1], 1);
    EXPECT_EQ(counts[32768], 1);
    EXPECT_EQ(counts[kBins - 1], 4);
    int total = 0;
    for (int c : counts)
        total += c;
    EXPECT_EQ(total, static_cast<int>(values.size()));

    // A histogram of any size: beyond the bins means the last one.
    const std::vector<float> few = {2.9f, 3.0f, 4.0f, 7e9f};
    int small[4] = {9, 9, 9, 9};
    BuildHistogram(small, few.data(), 4, 4, 0.0f);
    EXPECT_EQ(small[2], 1);
    EXPECT_EQ(small[3], 3);
}

TEST(PreviewBitmap, HistogramLimits)
{
    const int counts[] = {0, 5, 0, 3, 0, 60, 0};
    int low = -1, high = -7;
    FindHistogramLimits(counts, 7, &low, &high, 4, 50);
    EXPECT_EQ(low, 1);
    EXPECT_EQ(high, 5);
    low = -1, high = -7;
    FindHistogramLimits(counts, 7, &low, &high, 5, 62);  // the top never passes 62
    EXPECT_EQ(low, 3);
    EXPECT_EQ(high, -7);
}

TEST(PreviewBitmap, GreyRampThroughTheCurveAndBottomUpRows)
{
    const std::vector<float> ramp = Ramp();
    for (int gamma : {0, 10, 37, 100, 453, 454, 1000, INT_MAX, -5}) {
        CPreviewBitmap bmp;
        bmp.m_gamma = gamma;
        bmp.Render(ramp.data(), 10, 10, 1, -65536);
        ASSERT_EQ(bmp.Width(), 10);
        ASSERT_EQ(bmp.Height(), 10);
        for (int i = 0; i < 100; ++i) {
            const int x = i % 10, y = i / 10;
            ASSERT_EQ(*bmp.PixelPtr(x, y), Grey(ExpectedGrey(ramp[i], 1, 49, gamma))) << gamma << " " << i;
            ASSERT_EQ(bmp.Bits()[(9 - y) * 10 + x], *bmp.PixelPtr(x, y));
        }
        EXPECT_EQ(*bmp.PixelPtr(1, 0), 0u);
        EXPECT_EQ(*bmp.PixelPtr(9, 4), Grey(255));
    }
    // Linear at gamma 0; at 10 the curve is ln(1 + L) / ln 2.
    EXPECT_EQ(ExpectedGrey(25, 1, 49, 0), 127);
    EXPECT_EQ(ExpectedGrey(25, 1, 49, 10), 149);
}

TEST(PreviewBitmap, ConstantOrTooFewValuesRenderBlack)
{
    const std::vector<float> zeros(64 * 48, 0.0f);
    const std::vector<float> fifty = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                      21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
                                      41, 42, 43, 44, 45, 46, 47, 48, 49, 50};
    struct Case {
        const std::vector<float>& pixels;
        int width, height, planes, blackFloor;
    };
    for (const Case& c : {Case{zeros, 64, 48, 1, -65536}, Case{zeros, 32, 32, 3, -65536},
                          Case{fifty, 10, 5, 1, -65536}, Case{Ramp(), 10, 10, 1, 60},
                          Case{Ramp(), 10, 10, 1, INT_MAX}}) {
        CPreviewBitmap bmp;
        bmp.Render(c.pixels.data(), c.width, c.height, c.planes, c.blackFloor);
        for (int i = 0; i < c.width * c.height; ++i)
            ASSERT_EQ(bmp.Bits()[i], 0u);
    }
}

TEST(PreviewBitmap, BigAndInvalidValues)
{
    // 60 values of 70000 fill the last bin: the white point is 65535.
    std::vector<float> v(100, 70000.0f);
    for (int i = 0; i < 36; ++i)
        v[i] = static_cast<float>(i);
    v[36] = kNaN;
    v[37] = kInf;
    v[38] = -kInf;
    v[39] = 1e38f;
    CPreviewBitmap bmp;
    bmp.m_gamma = 0;
    bmp.Render(v.data(), 10, 10, 1, -65536);
    EXPECT_EQ(*bmp.PixelPtr(9, 9), Grey(255));
    EXPECT_EQ(*bmp.PixelPtr(7, 3), Grey(255));  // inf
    EXPECT_EQ(*bmp.PixelPtr(9, 3), Grey(255));  // 1e38
    EXPECT_EQ(*bmp.PixelPtr(6, 3), 0u);         // NaN
    EXPECT_EQ(*bmp.PixelPtr(8, 3), 0u);         // -inf
    // NaN and -inf count in bin 0 and pass the 1 % there: black is -32768
    EXPECT_EQ(*bmp.PixelPtr(5, 3), Grey(ExpectedGrey(35, -32768, 65535, 0)));
}

TEST(PreviewBitmap, BlackFloorExcludesValuesBelowIt)
{
    const std::vector<float> ramp = Ramp();
    CPreviewBitmap bmp;
    bmp.m_gamma = 0;
    bmp.Render(ramp.data(), 10, 10, 1, 20);  // black 21 (count passes 1 at 21), white 49
    for (int i : {0, 20, 21, 30, 48, 49, 99})
        EXPECT_EQ(*bmp.PixelPtr(i % 10, i / 10), Grey(ExpectedGrey(ramp[i], 21, 49, 0))) << i;
    // A floor below the histogram clears nothing and cannot overflow.
    CPreviewBitmap low;
    low.m_gamma = 0;
    low.Render(ramp.data(), 10, 10, 1, INT_MIN);
    EXPECT_EQ(*low.PixelPtr(5, 2), Grey(ExpectedGrey(25, 1, 49, 0)));
}

TEST(PreviewBitmap, ColourKeepsHue)
{
    // Two planes v and 99 - v: every value twice, black 0, white 74
    // (26 bins of 2 from the top pass 50), L = 99 / 148 everywhere.
    std::vector<float> two(200);
    for (int i = 0; i < 100; ++i) {
        two[i] = static_cast<float>(i);
        two[100 + i] = static_cast<float>(99 - i);
    }
    CPreviewBitmap bmp;
    bmp.m_gamma = 0;
    bmp.Render(two.data(), 10, 10, 2, -65536);
    EXPECT_EQ(*bmp.PixelPtr(0, 0), 0x0000FF00u);  // green only
    EXPECT_EQ(*bmp.PixelPtr(9, 9), 0x00FF0000u);  // red only
    const float L = (49.0f * (1.0f / 74) + 50.0f * (1.0f / 74)) / 2;
    const float m = 99.0f / 3;
    const uint32_t red = static_cast<uint32_t>(std::min(L * 49 / m, 1.0f) * 255.5f);
    const uint32_t green = static_cast<uint32_t>(std::min(L * 50 / m, 1.0f) * 255.5f);
    EXPECT_EQ(*bmp.PixelPtr(9, 4), red << 16 | green << 8);  // blue stays 0

    // Three planes: a grey pixel stays grey, channels at or below black give black.
    std::vector<float> three(3 * 100);
    for (int p = 0; p < 3; ++p)
        for (int i = 0; i < 100; ++i)
            three[p * 100 + i] = i < 50 ? 0.0f : static_cast<float>(i * (p + 1));
    three[99] = three[199] = three[299] = 120.0f;
    bmp.m_gamma = 10;
    bmp.Render(three.data(), 10, 10, 3, -65536);
    const uint32_t px = *bmp.PixelPtr(9, 9);
    EXPECT_EQ(px & 0xFF, (px >> 8) & 0xFF);
    EXPECT_EQ(px & 0xFF, (px >> 16) & 0xFF);
    EXPECT_GT(px & 0xFF, 0u);
    EXPECT_EQ(*bmp.PixelPtr(3, 2), 0u);
    const uint32_t hue = *bmp.PixelPtr(0, 6);  // 60, 120, 180: blue strongest
    EXPECT_LT(hue >> 16, (hue >> 8) & 0xFF);
    EXPECT_LT((hue >> 8) & 0xFF, hue & 0xFF);
}

TEST(PreviewBitmap, EmptyImageKeepsPictureAndSameSizeReusesMemory)
{
    const std::vector<float> ramp = Ramp();
    CPreviewBitmap bmp;
    bmp.Render(ramp.data(), 10, 10, 1, -65536);
    const uint32_t before = *bmp.PixelPtr(5, 5);
    bmp.Render(nullptr, 0, 10, 1, -65536);
    bmp.Render(nullptr, 10, 0, 1, -65536);
    EXPECT_EQ(bmp.Width(), 10);
    EXPECT_EQ(*bmp.PixelPtr(5, 5), before);
    bmp.Render(ramp.data(), 20, 5, 1, -65536);
    bmp.Render(ramp.data(), 10, 10, 1, -65536);
    const uint32_t* again = bmp.Bits();
    bmp.Render(ramp.data(), 10, 10, 1, -65536);
    EXPECT_EQ(bmp.Bits(), again);

    CFitsImage image;
    ASSERT_TRUE(image.Allocate(10, 10, 3));
    for (int i = 0; i < 300; ++i)
        image.m_pData[i] = i < 200 ? 0.0f : ramp[i - 200];
    bmp.m_gamma = 0;
    bmp.RenderImage(image, 2, -65536);  // the blue plane alone, in grey
    EXPECT_EQ(*bmp.PixelPtr(5, 2), Grey(ExpectedGrey(25, 1, 49, 0)));
    bmp.RenderImage(image, 3, -65536);  // no such plane: nothing changes
    EXPECT_EQ(*bmp.PixelPtr(5, 2), Grey(ExpectedGrey(25, 1, 49, 0)));
    bmp.RenderImage(image, -1, -65536);
    EXPECT_EQ(*bmp.PixelPtr(5, 2) & 0xFFFF00u, 0u);  // only blue is lit
    EXPECT_GT(*bmp.PixelPtr(5, 2) & 0xFF, 0u);
}

TEST(PreviewBitmap, SaveBmpWritesPaddedBottomUpRows)
{
    ScratchDir dir;
    for (int width = 1; width <= 4; ++width) {
        CPreviewBitmap bmp;
        ASSERT_TRUE(bmp.Resize(width, 2));
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < width; ++x)
                *bmp.PixelPtr(x, y) = 0x00102030u + static_cast<uint32_t>(x << 16 | y << 8 | 0x40 * y);
        const std::string path = dir.file(std::to_string(width) + "w.bmp");
        ASSERT_TRUE(bmp.SaveBmp(path));
        const std::vector<uint8_t> b = ReadFile(path);
        const size_t rowBytes = width == 4 ? 12 : 4 * static_cast<size_t>(width);
        ASSERT_EQ(b.size(), 54 + 2 * rowBytes);
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(Le32(b, 2), b.size());
        EXPECT_EQ(Le32(b, 6), 0u);
        EXPECT_EQ(Le32(b, 10), 54u);
        EXPECT_EQ(Le32(b, 14), 40u);
        EXPECT_EQ(Le32(b, 18), static_cast<uint32_t>(width));
        EXPECT_EQ(Le32(b, 22), 2u);
        EXPECT_EQ(Le32(b, 26), 1u | 24u << 16);
        EXPECT_EQ(Le32(b, 30), 0u);
        EXPECT_EQ(Le32(b, 34), 0u);
        EXPECT_EQ(Le32(b, 38), 1000u);
        EXPECT_EQ(Le32(b, 42), 1000u);
        EXPECT_EQ(Le32(b, 46), 0u);
        EXPECT_EQ(Le32(b, 50), 0u);
        for (int r = 0; r < 2; ++r) {
            const int y = 1 - r;  // the file starts with the bottom row
            const uint8_t* row = b.data() + 54 + r * rowBytes;
            for (int x = 0; x < width; ++x) {
                const uint32_t px = *bmp.PixelPtr(x, y);
                EXPECT_EQ(row[3 * x], px & 0xFF);
                EXPECT_EQ(row[3 * x + 1], (px >> 8) & 0xFF);
                EXPECT_EQ(row[3 * x + 2], (px >> 16) & 0xFF);
            }
            for (size_t i = 3 * width; i < rowBytes; ++i)
                EXPECT_EQ(row[i], 0);
        }
    }
}

TEST(PreviewBitmap, SaveBmpEmptyReplacingAndFailures)
{
    ScratchDir dir;
    const std::string path = dir.file("pic.bmp");
    std::ofstream(path) << std::string(500, 'x');
    CPreviewBitmap bmp;
    ASSERT_TRUE(bmp.SaveBmp(path));  // never rendered: the header alone, replacing the old file
    const std::vector<uint8_t> b = ReadFile(path);
    ASSERT_EQ(b.size(), 54u);
    EXPECT_EQ(Le32(b, 2), 54u);
    EXPECT_EQ(Le32(b, 18), 0u);
    EXPECT_EQ(Le32(b, 22), 0u);

    ASSERT_TRUE(bmp.Resize(300, 200));
    EXPECT_FALSE(bmp.SaveBmp(dir.file("missing/pic.bmp")));
    EXPECT_FALSE(bmp.SaveBmp("/dev/full"));  // the disk is full: not saved
}
