#pragma once

#include <cstdint>
#include <vector>

#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"

// The picture the clipping pass shows of each frame: the frame sampled at the
// size the host shows it, so that a big frame costs what the screen can show,
// not what the file holds. At the frame's own size every pixel is sampled.
class ShownPicture {
public:
    ShownPicture(int frameWidth, int frameHeight, int width, int height)
        : m_sourceColumns(SamplePositions(frameWidth, width)), m_sourceRows(SamplePositions(frameHeight, height)),
          m_columns(PictureIndex(m_sourceColumns, frameWidth)), m_rows(PictureIndex(m_sourceRows, frameHeight))
    {
    }

    // Renders frame into bitmap at the shown size; false when there is no picture.
    bool Render(const CFitsImage& frame, int floor, CPreviewBitmap& bitmap)
    {
        const int width = static_cast<int>(m_sourceColumns.size());
        const int height = static_cast<int>(m_sourceRows.size());
        if (width == frame.m_width && height == frame.m_height) {
            bitmap.RenderImage(frame, -1, floor);
        } else {
            if (!m_sample.Allocate(width, height, frame.m_planes))
                return false;
            float* out = m_sample.m_pData;
            for (int p = 0; p < frame.m_planes; ++p)
                for (int sy : m_sourceRows)
                    for (int sx : m_sourceColumns)
                        *out++ = *frame.PixelAt(sx, sy, p);
            bitmap.RenderImage(m_sample, -1, floor);
        }
        return bitmap.HasBitmap() && bitmap.Width() == width && bitmap.Height() == height;
    }
    // Picture row of a frame row, -1 for a row the picture does not show.
    int Row(int frameRow) const { return m_rows[static_cast<size_t>(frameRow)]; }
    const int* Columns() const { return m_columns.data(); }

private:
    // The frame position nearest to the centre of each of the shown positions.
    static std::vector<int> SamplePositions(int full, int shown)
    {
        std::vector<int> positions(static_cast<size_t>(shown));
        for (int s = 0; s < shown; ++s)
            positions[static_cast<size_t>(s)] = static_cast<int>((2 * int64_t{s} + 1) * full / (2 * int64_t{shown}));
        return positions;
    }
    static std::vector<int> PictureIndex(const std::vector<int>& positions, int full)
    {
        std::vector<int> index(static_cast<size_t>(full), -1);
        for (size_t s = 0; s < positions.size(); ++s)
            index[static_cast<size_t>(positions[s])] = static_cast<int>(s);
        return index;
    }

    std::vector<int> m_sourceColumns;
    std::vector<int> m_sourceRows;
    std::vector<int> m_columns;
    std::vector<int> m_rows;
    CFitsImage m_sample;
};
