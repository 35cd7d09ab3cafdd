// libFuzzer target: arbitrary bytes as a FITS file through CFitsImage::Load
// and, when it loads, through the preview mapping of every plane.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"

namespace {

class DiscardErrors : public ErrorSink {
public:
    void ShowError(const std::string&, const std::string&) override {}
};

// Load reads from a path, so every input goes through one scratch file of
// this process (several fuzzing jobs do not share it).
const std::string& ScratchPath()
{
    static const std::string path = "/tmp/velmora-fuzz-" + std::to_string(getpid()) + ".fit";
    return path;
}

bool WriteScratch(const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(ScratchPath().c_str(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!WriteScratch(data, size))
        return 0;
    DiscardErrors sink;
    CFitsImage image;
    if (!image.Load(ScratchPath(), sink))
        return 0;
    CPreviewBitmap bitmap;
    for (int plane = -1; plane < image.m_planes; ++plane)
        bitmap.RenderImage(image, plane, plane < 0 ? 0 : -32768);
    return 0;
}
