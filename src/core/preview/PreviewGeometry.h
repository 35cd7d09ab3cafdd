#pragma once
// Where the preview picture lies in the main window's client area and the
// mapping between client points and image pixels. Pure arithmetic, in 64 bits
// where a far pan or a damaged rectangle would pass the int range.

#include "image/PlaneValues.h"

// A client-area point.
struct CPoint {
    int x = 0;
    int y = 0;

    bool operator==(const CPoint&) const = default;
};

// A client-area rectangle with exclusive right and bottom edges.
struct CRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool PtInRect(CPoint p) const { return p.x >= left && p.x < right && p.y >= top && p.y < bottom; }
    bool operator==(const CRect&) const = default;
};
CRect MakeNormalRect(int x1, int y1, int x2, int y2);

// The picture rectangle over an image of imageWidth x imageHeight pixels.
struct PreviewMapping {
    CRect preview;
    int imageWidth = 0;
    int imageHeight = 0;
};

// The picture rectangle inside area: all of it, or with oneToOne the image
// at its own size, shifted by scroll, which is first clamped so that the
// image covers as much of the area as it can.
CRect LayoutPreviewRect(const CRect& area, bool oneToOne, int imageWidth, int imageHeight, CPoint& scroll);

// A point inside the picture to the nearest pixel, clamped to the image;
// false (point untouched) outside the picture or without an image.
bool WindowToImagePoint(const PreviewMapping& mapping, CPoint& point);
// A pixel position to the client point of its top-left corner, held within
// +-1e9; false without an image.
bool ImageToWindowPoint(const PreviewMapping& mapping, CPoint& point);
bool WindowToImageRect(const PreviewMapping& mapping, const CRect& rect, ImageRect& out);
bool ImageToWindowRect(const PreviewMapping& mapping, const ImageRect& rect, CRect& out);
