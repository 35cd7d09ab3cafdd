#pragma once
// The preview picture: a 32-bit 0x00RRGGBB bitmap, bottom-up like a DIB,
// rendered from an image with histogram black and white points and a gamma
// curve. Owned by the main window; the clipping passes recolour its pixels.

#include <cstdint>
#include <string>
#include <vector>

#include "image/FitsImage.h"
#include "platform/Threads.h"

// A black floor below every value a frame can hold: the black point comes
// from the whole histogram.
inline constexpr int kNoBlackFloor = -65536;

class CPreviewBitmap {
public:
    int m_gamma = 10;
    // Threads a render splits its rows and values over; the picture is the
    // same for any count.
    int m_threads = DefaultThreadCount();

    // Makes the picture width x height; keeps the memory when the size is
    // unchanged. False (and no picture) when the memory could not be obtained.
    bool Resize(int width, int height);
    void Release();
    // The mapping over plane-major pixels (x + width*y + width*height*p).
    void Render(const float* pixels, int width, int height, int planes, int blackFloor);
    // plane >= 0: that plane alone in grey; plane < 0: all planes. A plane
    // the image does not have renders nothing.
    void RenderImage(const CFitsImage& image, int plane, int blackFloor);
    // The pixel of image column x and row y (row 0 is the top row).
    uint32_t* PixelPtr(int x, int y);
    // Writes the 24-bit BMP; false when the file could not be written
    // completely (errno then tells why; a file left incomplete is removed).
    bool SaveBmp(const std::string& path) const;

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    bool HasBitmap() const { return !m_bits.empty(); }
    // Rows bottom-up, as a DIB stores them: row 0 is the picture's bottom row.
    const uint32_t* Bits() const { return m_bits.data(); }

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<uint32_t> m_bits;
    std::vector<int32_t> m_histogram;  // one per thread, reused between renders
};

void BuildHistogram(int* counts, const float* values, int count, int bins, float offset);
void FindHistogramLimits(const int* counts, int bins, int* low, int* high, int lowCount, int highCount);
