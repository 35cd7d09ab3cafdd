#include <gtest/gtest.h>

#include "platform/FileNames.h"

TEST(FileNames, NamesDerivedFromAFrameDropItsLastFourCharacters)
{
    struct Case {
        const char* path;
        const char* bitmap;
        const char* clipBitmap;
    };
    const Case cases[] = {
        {"/sky/m31_01.fit", "/sky/m31_01.bmp", "/sky/m31_01_.bmp"},
        {"/sky/m31_01.fits", "/sky/m31_01..bmp", "/sky/m31_01._.bmp"},
        {".fit", ".bmp", "_.bmp"},
        {"abc", ".bmp", "_.bmp"},
        {"", ".bmp", "_.bmp"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProposedBitmapName(c.path), c.bitmap) << c.path;
        EXPECT_EQ(ClipBitmapName(c.path), c.clipBitmap) << c.path;
    }
}

TEST(FileNames, FolderKeepsItsTrailingSeparator)
{
    struct Case {
        const char* path;
        const char* folder;
    };
    const Case cases[] = {
        {"/sky/m31/frame_01.fit", "/sky/m31/"},
        {"/frame_01.fit", "/frame_01.fit"},  // no separator after the first character
        {"frame_01.fit", "frame_01.fit"},
        {"sky/", "sky/"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FolderOfPath(c.path), c.folder) << c.path;
}
