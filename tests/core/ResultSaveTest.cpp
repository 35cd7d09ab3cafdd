#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/ResultSave.h"
#include "merge/MergeEngine.h"
#include "platform/FileNames.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

std::string KeyValue(const std::string& path, const std::string& name)
{
    for (const auto& [key, value] : ReadKeywordRecords(path))
        if (key == name)
            return value;
    return "<missing>";
}

double NumberKeyValue(const std::string& path, const std::string& name)
{
    return std::stod(KeyValue(path, name));
}

void Verify(const std::string& path)
{
    std::string report;
    EXPECT_EQ(RunCommand(std::string(FITSVERIFY) + " -e '" + path + "'", &report), 0) << report;
}

}  // namespace

TEST(ResultSave, ProposedNameDropsFourCharacters)
{
    struct Case {
        const char* path;
        std::size_t frames;
        const char* name;
    };
    const Case cases[] = {
        {"D:\\sky\\frame_007.fit", 12, "D:\\sky\\frame_007_x12.fit"},
        {"C:\\a\\b.fit", 3, "C:\\a\\b_x3.fit"},
        {"C:\\a\\b.fits", 3, "C:\\a\\b._x3.fit"},
        {"", 0, "_x0.fit"},
        {"abc", 2, "_x2.fit"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProposedResultName(c.path, c.frames), c.name) << c.path;
}

TEST(ResultSave, SnapshotCountsEveryEntryExposureOnlyTheCombined)
{
    // 12 entries, 2 of them unreadable, 60 seconds each.
    ScratchDir dir;
    CMergeEngine engine;
    for (int k = 0; k < 12; ++k) {
        std::string path = dir.file("f00.fit");
        path[path.size() - 6] = static_cast<char>('0' + k / 10);
        path[path.size() - 5] = static_cast<char>('0' + k % 10);
        if (k == 3 || k == 7) {
            std::ofstream(path) << "broken";
        } else {
            WriteTestFits(path, -32, 12, 10, 1, std::vector<float>(120, 5.0f + k),
                          {NumberKey("EXPTIME", 60), NumberKey("GAIN", 139), TextKey("FILTER", "Ha")});
        }
        engine.AddFrame(path);
    }
    ErrorRecorder host;
    CFitsImage image;
    ASSERT_TRUE(image.Load(*engine.m_files.begin(), host));
    CPreviewBitmap bitmap;
    ASSERT_TRUE(engine.Merge(image, bitmap, host));
    EXPECT_EQ(engine.m_exposureSum, 600.0);

    const std::string out = dir.file("result.fit");
    ASSERT_TRUE(SaveResult(image, out, FITS_SAVE_FLOAT, engine.m_files.size(), engine.m_exposureSum, host));
    EXPECT_EQ(image.m_header.m_exposure, 50.0);
    EXPECT_EQ(KeyValue(out, "SNAPSHOT"), "12");
    EXPECT_EQ(NumberKeyValue(out, "EXPOSURESUM"), 600.0);
    EXPECT_EQ(NumberKeyValue(out, "EXPTIME"), 50.0);
    EXPECT_EQ(KeyValue(out, "GAIN"), "139");
    EXPECT_EQ(KeyValue(out, "FILTER"), "'Ha      '");
    int bitpix = 0;
    const std::vector<float> px = ReadTestPixels(out, nullptr, nullptr, nullptr, &bitpix);
    EXPECT_EQ(bitpix, -32);
    ASSERT_EQ(px.size(), 120u);
    EXPECT_FLOAT_EQ(px[0], (5 + 6 + 7 + 9 + 10 + 11 + 13 + 14 + 15 + 16) / 10.0f);
    Verify(out);
}

TEST(ResultSave, OutputTypesAndEmptySet)
{
    struct Case {
        int type;
        int bitpix;
        const char* bzero;
    };
    const Case cases[] = {{FITS_SAVE_FLOAT, -32, "<missing>"}, {FITS_SAVE_UINT, 16, "32768."}, {FITS_SAVE_INT, 16, "0."}};
    ScratchDir dir;
    for (const Case& c : cases) {
        CFitsImage image;
        ASSERT_TRUE(image.Allocate(4, 3, 3));
        for (int32_t i = 0; i < image.GetPixelCount(); ++i)
            image.m_pData[i] = 100.0f * i - 500.0f;
        ErrorRecorder host;
        const std::string out = dir.file(std::string(1, static_cast<char>('0' + c.type)) + ".fit");
        // No frames: the exposure sum itself, not a division by zero.
        ASSERT_TRUE(SaveResult(image, out, c.type, 0, 30.0, host));
        EXPECT_EQ(NumberKeyValue(out, "EXPTIME"), 30.0);
        EXPECT_EQ(KeyValue(out, "SNAPSHOT"), "0");
        EXPECT_EQ(KeyValue(out, "BZERO").substr(0, std::strlen(c.bzero)), c.bzero);
        int bitpix = 0, planes = 0;
        ReadTestPixels(out, nullptr, nullptr, &planes, &bitpix);
        EXPECT_EQ(bitpix, c.bitpix);
        EXPECT_EQ(planes, 3);
        EXPECT_TRUE(host.errors.empty());
        Verify(out);
    }
}

TEST(ResultSave, ExistingFileIsRefusedAndUnchanged)
{
    ScratchDir dir;
    const std::string out = dir.file("taken.fit");
    std::ofstream(out) << "precious";
    CFitsImage image;
    ASSERT_TRUE(image.Allocate(4, 4, 1));
    std::fill(image.m_pData, image.m_pData + 16, 1.0f);
    ErrorRecorder host;
    EXPECT_FALSE(SaveResult(image, out, FITS_SAVE_FLOAT, 2, 20.0, host));
    EXPECT_EQ(ReadBytes(out), "precious");
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_EQ(host.errors[0].caption, kFitsErrorCaption);

    host.errors.clear();
    EXPECT_FALSE(SaveResult(image, dir.file("no/such/folder.fit"), FITS_SAVE_FLOAT, 2, 20.0, host));
    EXPECT_EQ(host.errors.size(), 1u);
    EXPECT_FALSE(fs::exists(dir.file("no")));
}
