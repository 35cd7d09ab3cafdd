#include <gtest/gtest.h>

#include <climits>

#include "preview/PreviewGeometry.h"

namespace {

// A 400 x 300 picture at (10, 45) over an 800 x 600 image: two pixels per
// client point.
const PreviewMapping kHalf{{10, 45, 410, 345}, 800, 600};

}  // namespace

TEST(PreviewGeometry, WindowPointsRoundToTheNearestPixelInsideThePicture)
{
    struct Case {
        PreviewMapping mapping;
        CPoint point;
        bool inside;
        CPoint pixel;
    };
    const Case cases[] = {
        {kHalf, {10, 45}, true, {0, 0}},
        {kHalf, {209, 145}, true, {398, 200}},
        {kHalf, {409, 344}, true, {798, 598}},
        {kHalf, {410, 100}, false, {410, 100}},  // the right and bottom edges are outside
        {kHalf, {100, 345}, false, {100, 345}},
        {kHalf, {9, 100}, false, {9, 100}},
        // A 3 x 3 image stretched over the picture: the last points round up past the image.
        {{{10, 45, 410, 345}, 3, 3}, {409, 344}, true, {2, 2}},
        {{{10, 45, 410, 345}, 0, 0}, {100, 100}, false, {100, 100}},
        // 1:1 and panned far into a wide image: dx * width passes 2^31.
        {{{-89990, 0, 10010, 1}, 100000, 1}, {10009, 0}, true, {99999, 0}},
    };
    for (const Case& c : cases) {
        CPoint p = c.point;
        EXPECT_EQ(WindowToImagePoint(c.mapping, p), c.inside) << c.point.x << "," << c.point.y;
        EXPECT_EQ(p, c.pixel) << c.point.x << "," << c.point.y;
    }
}

TEST(PreviewGeometry, ImagePointsStayWithinTheIntRange)
{
    // Five client points per pixel.
    const PreviewMapping zoomed{{0, 0, 4000, 3000}, 800, 600};
    struct Case {
        PreviewMapping mapping;
        CPoint pixel;
        CPoint point;
    };
    const Case cases[] = {
        {kHalf, {0, 0}, {10, 45}},
        {kHalf, {400, 300}, {210, 195}},
        {kHalf, {801, 601}, {411, 346}},
        {kHalf, {2000000000, 0}, {1000000000, 45}},
        {zoomed, {3, -2}, {15, -9}},  // -10 + 0.5 truncated toward zero, as the cast does
        {zoomed, {-2000000000, 2000000000}, {-1000000000, 1000000000}},
    };
    for (const Case& c : cases) {
        CPoint p = c.pixel;
        ASSERT_TRUE(ImageToWindowPoint(c.mapping, p));
        EXPECT_EQ(p, c.point) << c.pixel.x << "," << c.pixel.y;
    }
    CPoint p{5, 5};
    EXPECT_FALSE(ImageToWindowPoint(PreviewMapping{{10, 45, 410, 345}, 0, 0}, p));
    EXPECT_EQ(p, (CPoint{5, 5}));
}

TEST(PreviewGeometry, RectanglesMapCornerByCorner)
{
    ImageRect image;
    ASSERT_TRUE(WindowToImageRect(kHalf, {110, 95, 210, 145}, image));
    EXPECT_EQ(image, (ImageRect{200, 100, 200, 100}));
    // A corner on the exclusive edge leaves the rectangle as it was.
    EXPECT_FALSE(WindowToImageRect(kHalf, {110, 95, 410, 145}, image));
    EXPECT_EQ(image, (ImageRect{200, 100, 200, 100}));

    CRect window;
    ASSERT_TRUE(ImageToWindowRect(kHalf, {200, 100, 200, 100}, window));
    EXPECT_EQ(window, (CRect{110, 95, 210, 145}));
    // A damaged rectangle whose far corner passes the int range ends at the
    // clamp, not at a wrapped negative corner.
    ASSERT_TRUE(ImageToWindowRect(kHalf, {INT32_MAX - 5, 0, 100, 10}, window));
    EXPECT_EQ(window.right, 1000000000);
    EXPECT_EQ(window.bottom, 50);
}

TEST(PreviewGeometry, OneToOneLayoutClampsTheScroll)
{
    const CRect area{10, 45, 410, 345};
    struct Case {
        bool oneToOne;
        int width;
        int height;
        CPoint scroll;
        CPoint clamped;
        CRect picture;
    };
    const Case cases[] = {
        {false, 800, 600, {1000, -3}, {1000, -3}, area},
        {true, 800, 600, {1000, -3}, {400, 0}, {-390, 45, 410, 645}},
        {true, 800, 600, {120, 80}, {120, 80}, {-110, -35, 690, 565}},
        // Smaller than the area: no scroll, the image at the area's corner.
        {true, 200, 100, {50, 50}, {0, 0}, {10, 45, 210, 145}},
    };
    for (const Case& c : cases) {
        CPoint scroll = c.scroll;
        EXPECT_EQ(LayoutPreviewRect(area, c.oneToOne, c.width, c.height, scroll), c.picture) << c.scroll.x;
        EXPECT_EQ(scroll, c.clamped) << c.scroll.x;
    }
}

TEST(PreviewGeometry, NormalRectOrdersTheCorners)
{
    EXPECT_EQ(MakeNormalRect(50, 40, 10, 60), (CRect{10, 40, 50, 60}));
}
