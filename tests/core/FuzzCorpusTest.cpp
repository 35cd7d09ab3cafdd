// Replays the load fuzzer's corpus: the seed frames, which must load, and
// every input that ever crashed the loader, which must be refused or loaded
// cleanly. Under the sanitizer build a relapse is an error report.

#include <gtest/gtest.h>

#include <filesystem>

#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

TEST(FuzzCorpus, EveryInputLoadsOrIsRefusedWithAMessage)
{
    int seeds = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(FUZZ_CORPUS)) {
        const std::string path = entry.path().string();
        // Seeds are our own .fit frames; inputs the fuzzer found keep its names.
        const bool seed = entry.path().extension() == ".fit";
        SCOPED_TRACE(path);
        ErrorRecorder sink;
        CFitsImage image;
        const bool loaded = image.Load(path, sink);
        if (loaded) {
            EXPECT_TRUE(sink.errors.empty());
            CPreviewBitmap bitmap;
            for (int plane = -1; plane < image.m_planes; ++plane)
                bitmap.RenderImage(image, plane, 0);
            EXPECT_EQ(bitmap.Width(), image.m_width);
        } else {
            ASSERT_FALSE(sink.errors.empty());
            EXPECT_FALSE(sink.errors.front().text.empty());
        }
        if (seed) {
            EXPECT_TRUE(loaded);
            ++seeds;
        }
    }
    EXPECT_GE(seeds, 9);
}
