// Frame alignment: the move convention, the fits, star detection on frames
// with hot pixels and cosmic rays, star matching, resampling.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "align/Resample.h"
#include "align/Similarity.h"
#include "align/StarDetect.h"
#include "align/StarMatch.h"
#include "image/FitsImage.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A small generator of our own, so the fixtures do not depend on the library's.
class Lcg {
public:
    explicit Lcg(uint64_t seed) : m_state(seed) {}
    double Uniform()
    {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(m_state >> 11) / 9007199254740992.0;
    }
    double Normal() { return std::sqrt(-2.0 * std::log(1.0 - Uniform())) * std::cos(2.0 * kPi * Uniform()); }

private:
    uint64_t m_state;
};

// The largest distance between where two moves take the corners of a W x H image.
double CornerError(const Similarity& l, const Similarity& r, int W, int H)
{
    double worst = 0.0;
    for (double x : {0.0, W - 1.0})
        for (double y : {0.0, H - 1.0}) {
            double lu, lv, ru, rv;
            l.Apply(x, y, lu, lv);
            r.Apply(x, y, ru, rv);
            worst = std::max(worst, std::hypot(lu - ru, lv - rv));
        }
    return worst;
}

}  // namespace

TEST(AlignMove, CentreConventionByHand)
{
    // 101 x 51: centre (50, 25). 90 degrees, scale 2, shift (3, -2): the
    // reference pixel 10 columns right of the centre lands 20 rows below it.
    const Similarity move = FromFrameMove({3.0, -2.0, 90.0, 2.0}, 101, 51);
    double u = 0.0, v = 0.0;
    move.Apply(60.0, 25.0, u, v);
    EXPECT_NEAR(u, 53.0, 1e-12);
    EXPECT_NEAR(v, 43.0, 1e-12);
    move.Apply(50.0, 25.0, u, v);  // the centre only shifts
    EXPECT_NEAR(u, 53.0, 1e-12);
    EXPECT_NEAR(v, 23.0, 1e-12);

    const FrameMove back = ToFrameMove(move, 101, 51);
    EXPECT_NEAR(back.m_dx, 3.0, 1e-12);
    EXPECT_NEAR(back.m_dy, -2.0, 1e-12);
    EXPECT_NEAR(back.m_angleDeg, 90.0, 1e-12);
    EXPECT_NEAR(back.m_scale, 2.0, 1e-12);

    double x = 0.0, y = 0.0;
    move.Inverse().Apply(53.0, 43.0, x, y);
    EXPECT_NEAR(x, 60.0, 1e-12);
    EXPECT_NEAR(y, 25.0, 1e-12);
}

TEST(AlignMove, FitRecoversAFlipAndRefusesOnePoint)
{
    // A meridian flip: 180 degrees about (500, 400), then 4 px right.
    const Similarity flip = {-1.0, 0.0, 1004.0, 800.0};
    std::vector<PointPair> pairs;
    for (double x : {10.0, 300.0, 777.0})
        for (double y : {20.0, 650.0}) {
            double u, v;
            flip.Apply(x, y, u, v);
            pairs.push_back({x, y, u, v});
        }
    Similarity fitted;
    ASSERT_TRUE(FitSimilarity(pairs, fitted));
    EXPECT_LT(CornerError(fitted, flip, 1000, 800), 1e-9);
    EXPECT_LT(ResidualRms(pairs, fitted), 1e-9);

    Similarity untouched;
    EXPECT_FALSE(FitSimilarity({{5, 5, 1, 1}, {5, 5, 2, 2}}, untouched));
    EXPECT_EQ(untouched.m_a, 1.0);
}

namespace {

std::vector<Star> RandomStars(int count, int W, int H, Lcg& rnd)
{
    std::vector<Star> stars;
    for (int i = 0; i < count; ++i)
        stars.push_back({rnd.Uniform() * W, rnd.Uniform() * H, 1e5 / (i + 1), 1.0});
    return stars;
}

}  // namespace

TEST(AlignMatch, RecoversMovesWithLostAndSpuriousStars)
{
    constexpr int W = 1000, H = 800;
    struct Case {
        const char* name;
        FrameMove move;
    };
    const Case cases[] = {
        {"shift", {17.25, -9.5, 0.0, 1.0}},
        {"rotation", {-3.0, 4.0, 2.7, 1.0}},
        {"meridian flip", {12.0, -6.0, 180.0, 1.0}},
        {"scale", {0.5, 0.25, -1.5, 1.03}},
    };
    for (const Case& c : cases) {
        Lcg rnd(42);
        const std::vector<Star> reference = RandomStars(80, W, H, rnd);
        const Similarity truth = FromFrameMove(c.move, W, H);
        std::vector<Star> frame;
        for (size_t i = 0; i < reference.size(); ++i) {
            if (i % 9 == 4)  // lost in the frame (clouds, edge)
                continue;
            Star s = reference[i];
            truth.Apply(s.m_x, s.m_y, s.m_x, s.m_y);
            frame.push_back(s);
        }
        for (int k = 0; k < 12; ++k)  // not in the reference
            frame.insert(frame.begin() + 3 * k, {rnd.Uniform() * W, rnd.Uniform() * H, 2e5, 1.0});

        StarMatch match;
        std::string reason;
        ASSERT_TRUE(MatchStars(reference, frame, match, reason)) << c.name << ": " << reason;
        EXPECT_LT(CornerError(match.m_move, truth, W, H), 1e-6) << c.name;
        EXPECT_GE(match.m_matched, 65) << c.name;
        EXPECT_LT(match.m_rmsPx, 1e-6) << c.name;
    }
}

TEST(AlignMatch, UnrelatedOrTooFewStarsFail)
{
    Lcg rnd(7);
    const std::vector<Star> reference = RandomStars(60, 1000, 800, rnd);
    const std::vector<Star> other = RandomStars(60, 1000, 800, rnd);
    StarMatch match;
    std::string reason;
    EXPECT_FALSE(MatchStars(reference, other, match, reason));
    EXPECT_EQ(reason, "no consistent match with the reference stars");

    const std::vector<Star> few(reference.begin(), reference.begin() + 5);
    EXPECT_FALSE(MatchStars(reference, few, match, reason));
    EXPECT_NE(reason.find("too few stars (5 found"), std::string::npos) << reason;
}

namespace {

struct FieldStar {
    double x, y;
};

// Sky 1000 +- 10, Gaussian stars of sigma 1.4 and flux 30000 on every plane,
// single hot pixels of 30000 and a three-pixel cosmic-ray track.
void MakeField(CFitsImage& image, int planes, const std::vector<FieldStar>& stars)
{
    constexpr int W = 200, H = 160;
    ASSERT_TRUE(image.Allocate(W, H, planes));
    Lcg rnd(3);
    for (int p = 0; p < planes; ++p)
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                double value = 1000.0 + 10.0 * rnd.Normal();
                for (const FieldStar& s : stars) {
                    const double r2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
                    value += (1.0 - 0.2 * p) * 30000.0 / (2.0 * kPi * 1.96) * std::exp(-0.5 * r2 / 1.96);
                }
                *image.PixelAt(x, y, p) = static_cast<float>(value);
            }
    for (int k = 0; k < 25; ++k) {
        const int x = 5 + (k * 37) % 190, y = 5 + (k * 53) % 150;
        for (int p = 0; p < planes; ++p)
            *image.PixelAt(x, y, p) = 30000.0f;
    }
    for (int k = 0; k < 3; ++k)
        for (int p = 0; p < planes; ++p)
            *image.PixelAt(150 + k, 20, p) = 20000.0f;
}

}  // namespace

TEST(AlignDetect, FindsStarsNotHotPixelsOrCosmicRays)
{
    std::vector<FieldStar> truth;
    for (int k = 0; k < 12; ++k)
        truth.push_back({20.3 + 14.7 * k, 30.6 + 8.45 * k + (k % 3) * 10.0});
    for (int planes : {1, 3}) {
        CFitsImage image;
        MakeField(image, planes, truth);
        std::vector<Star> stars;
        std::string reason;
        ASSERT_TRUE(DetectStars(image, stars, reason)) << reason;
        ASSERT_EQ(stars.size(), truth.size()) << planes << " plane(s)";
        for (const FieldStar& t : truth) {
            double nearest = 1e9;
            for (const Star& s : stars)
                nearest = std::min(nearest, std::hypot(s.m_x - t.x, s.m_y - t.y));
            EXPECT_LT(nearest, 0.05) << t.x << "," << t.y;
        }
    }

    CFitsImage empty;  // noise and hot pixels only
    MakeField(empty, 1, {});
    std::vector<Star> stars;
    std::string reason;
    ASSERT_TRUE(DetectStars(empty, stars, reason)) << reason;
    EXPECT_TRUE(stars.empty()) << stars.size() << " stars, the first at " << stars[0].m_x << "," << stars[0].m_y;
}

TEST(AlignDetect, FramesOfOneRowOrColumnHoldNoStars)
{
    for (const auto& [w, h] : {std::pair{1, 1}, std::pair{1, 40}, std::pair{40, 1}, std::pair{2, 2}, std::pair{3, 5}}) {
        CFitsImage image;
        ASSERT_TRUE(image.Allocate(w, h, 1));
        for (int i = 0; i < w * h; ++i)
            image.m_pData[i] = static_cast<float>(1000 + (i * 37) % 11);
        std::vector<Star> stars{{1.0, 1.0, 1.0, 1.0}};
        std::string reason;
        EXPECT_TRUE(DetectStars(image, stars, reason)) << w << "x" << h << ": " << reason;
        EXPECT_TRUE(stars.empty()) << w << "x" << h;
    }
}

TEST(AlignResample, ShiftsExactlyRotatesSmoothlyAndMarksNoData)
{
    constexpr int W = 40, H = 30;
    CFitsImage frame, out, outThreads;
    ASSERT_TRUE(frame.Allocate(W, H, 2));
    for (int p = 0; p < 2; ++p)
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                *frame.PixelAt(x, y, p) = static_cast<float>(100 * p + 3 * x + 2 * y + ((x * 7 + y * 3) % 5));
    ASSERT_TRUE(out.AllocateLike(frame));
    ASSERT_TRUE(outThreads.AllocateLike(frame));

    // A whole-pixel move copies pixels; what it brings in from outside is no data.
    ResampleFrame(frame, {1.0, 0.0, 2.0, -1.0}, out, 1);
    EXPECT_EQ(*out.PixelAt(5, 7, 1), *frame.PixelAt(7, 6, 1));
    EXPECT_EQ(*out.PixelAt(0, 1, 0), *frame.PixelAt(2, 0, 0));
    EXPECT_TRUE(std::isnan(*out.PixelAt(W - 1, 10, 0)));  // x' = 41
    EXPECT_TRUE(std::isnan(*out.PixelAt(10, 0, 1)));       // y' = -1

    // Rotated by 180 degrees about the centre: a flat field stays flat.
    CFitsImage flat;
    ASSERT_TRUE(flat.AllocateLike(frame));
    for (int i = 0; i < flat.GetPixelCount(); ++i)
        flat.m_pData[i] = 500.0f;
    const Similarity turn = FromFrameMove({0.3, -0.2, 181.0, 1.0}, W, H);
    ResampleFrame(flat, turn, out, 1);
    EXPECT_NEAR(*out.PixelAt(20, 15, 0), 500.0f, 1e-3);

    // Any number of threads, the same bits.
    ResampleFrame(frame, turn, out, 1);
    ResampleFrame(frame, turn, outThreads, 3);
    EXPECT_EQ(0, std::memcmp(out.m_pData, outThreads.m_pData, sizeof(float) * out.GetPixelCount()));
}
