#include "preview/PreviewGeometry.h"

#include <algorithm>
#include <cstdint>

CRect MakeNormalRect(int x1, int y1, int x2, int y2)
{
    return CRect{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
}

CRect LayoutPreviewRect(const CRect& area, bool oneToOne, int imageWidth, int imageHeight, CPoint& scroll)
{
    CRect rc = area;
    if (oneToOne) {
        scroll.x = std::max(0, std::min(imageWidth - rc.Width(), scroll.x));
        scroll.y = std::max(0, std::min(imageHeight - rc.Height(), scroll.y));
        rc.left -= scroll.x;
        rc.top -= scroll.y;
        rc.right = rc.left + imageWidth;
        rc.bottom = rc.top + imageHeight;
    }
    return rc;
}

bool WindowToImagePoint(const PreviewMapping& m, CPoint& point)
{
    if (m.imageWidth == 0 || m.imageHeight == 0)
        return false;
    if (!m.preview.PtInRect(point))
        return false;
    const int dx = point.x - m.preview.left;
    const int dy = point.y - m.preview.top;
    // The products in 64 bits: panned far into a wide image (1:1 mode) they pass an int.
    const int ix = static_cast<int>(static_cast<float>(int64_t{dx} * m.imageWidth) / m.preview.Width() + 0.5);
    const int iy = static_cast<int>(static_cast<float>(int64_t{dy} * m.imageHeight) / m.preview.Height() + 0.5);
    point = CPoint{std::min(m.imageWidth - 1, std::max(ix, 0)), std::min(m.imageHeight - 1, std::max(iy, 0))};
    return true;
}

bool ImageToWindowPoint(const PreviewMapping& m, CPoint& point)
{
    if (m.imageWidth == 0 || m.imageHeight == 0)
        return false;
    const float fx = static_cast<float>(point.x) / m.imageWidth;
    const float fy = static_cast<float>(point.y) / m.imageHeight;
    // A rectangle from a damaged settings file may lie far outside the image;
    // its window coordinates are kept where an int can hold them.
    auto toWindow = [](double v) { return static_cast<int>(std::clamp(v, -1e9, 1e9)); };
    point = CPoint{toWindow(m.preview.Width() * fx + m.preview.left + 0.5),
                   toWindow(m.preview.Height() * fy + m.preview.top + 0.5)};
    return true;
}

bool ImageToWindowRect(const PreviewMapping& m, const ImageRect& rect, CRect& out)
{
    auto corner = [](int32_t start, int32_t size) {
        return static_cast<int>(std::clamp<int64_t>(int64_t{start} + size, INT32_MIN, INT32_MAX));
    };
    CPoint topLeft{rect.StartX, rect.StartY};
    CPoint bottomRight{corner(rect.StartX, rect.SizeX), corner(rect.StartY, rect.SizeY)};
    if (!ImageToWindowPoint(m, topLeft) || !ImageToWindowPoint(m, bottomRight))
        return false;
    out = CRect{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};
    return true;
}

bool WindowToImageRect(const PreviewMapping& m, const CRect& rect, ImageRect& out)
{
    CPoint topLeft{rect.left, rect.top};
    CPoint bottomRight{rect.right, rect.bottom};
    if (!WindowToImagePoint(m, topLeft) || !WindowToImagePoint(m, bottomRight))
        return false;
    out = ImageRect{topLeft.x, topLeft.y, bottomRight.x - topLeft.x, bottomRight.y - topLeft.y};
    return true;
}
