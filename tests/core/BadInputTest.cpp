// Hostile and broken frames at the Load level: each is refused with a
// message and leaves the image as it was, or loads with sound values.
// Headers CFITSIO would never write are put together card by card.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <tuple>

#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

// An image holding three 9s, to show that a refusal leaves it alone.
void FillSentinel(CFitsImage& img)
{
    ASSERT_TRUE(img.Allocate(3, 1, 1));
    img.m_pData[0] = img.m_pData[1] = img.m_pData[2] = 9.0f;
}

struct RefusedCase {
    const char* name;
    std::string bytes;
};

}  // namespace

TEST(BadInput, RefusedWithAMessageAndImageUnchanged)
{
    const std::string fullHeader = RawFits(ImageCards(16, {8, 8}), 2880);
    const std::vector<RefusedCase> cases = {
        {"empty file", ""},
        {"text file", "Shopping list:\n- a new filter wheel\n"},
        {"header cut short", fullHeader.substr(0, 1000)},
        {"header without END", std::string(fullHeader.substr(0, 400)).append(2480, ' ')},
        {"data cut short", RawFits(ImageCards(16, {100, 100}), 2880)},
        {"NAXIS 1", RawFits(ImageCards(16, {8}), 2880)},
        {"NAXIS 4", RawFits(ImageCards(8, {2, 2, 3, 2}), 2880)},
        {"NAXIS3 5", RawFits(ImageCards(8, {2, 2, 5}), 2880)},
        {"axis of length 0", RawFits(ImageCards(16, {8, 0}))},
        {"2^31 pixels", RawFits(ImageCards(8, {65536, 32768}))},
        {"more memory than any machine", RawFits(ImageCards(-64, {1000000, 1000000, 3}))},
        {"negative axis", RawFits(ImageCards(16, {-8, 8}), 2880)},
        {"BITPIX 12", RawFits(ImageCards(12, {8, 8}), 2880)},
        {"NAXIS1 as text", RawFits({"SIMPLE  =                    T", "BITPIX  =                   16",
                                    "NAXIS   =                    2", "NAXIS1  = 'wide'",
                                    "NAXIS2  =                    8"},
                                   2880)},
    };
    ScratchDir dir;
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".fit");
        WriteBytes(path, c.bytes);
        ErrorRecorder sink;
        CFitsImage img;
        FillSentinel(img);
        EXPECT_FALSE(img.Load(path, sink));
        ASSERT_FALSE(sink.errors.empty());
        EXPECT_EQ(sink.errors[0].caption, kFitsErrorCaption);
        EXPECT_FALSE(sink.errors[0].text.empty());
        EXPECT_EQ(img.m_width, 3);
        EXPECT_EQ(img.m_pData[2], 9.0f);
    }

    // Rice headers CFITSIO would crash on; refused before that.
    const std::string bytePix = "ZVAL2   =                    2", blockSize = "ZVAL1   =                   32";
    for (const auto& [card, replacement, why] :
         {std::tuple{bytePix, "ZVAL2   =                    4", "corrupt"},
          std::tuple{blockSize, "ZVAL1   =                    0", "ZVAL1"},
          std::tuple{blockSize, "ZVAL1   =  0                  ", "ZVAL1"},
          std::tuple{std::string("ZTILE2  =                   16"), "ZTILE2  = 'BYTEPIX'           ", "ZTILE2"},
          std::tuple{bytePix, "ZVAL2   =               (    2", "no number"}}) {
        SCOPED_TRACE(replacement);
        WritePatchedRiceFits(dir.file("rice.fit"), card, replacement);
        ErrorRecorder riceSink;
        CFitsImage rice;
        EXPECT_FALSE(rice.Load(dir.file("rice.fit"), riceSink));
        ASSERT_EQ(riceSink.errors.size(), 1u);
        EXPECT_NE(riceSink.errors[0].text.find(why), std::string::npos) << riceSink.errors[0].text;
    }

    ErrorRecorder sink;
    CFitsImage img;
    EXPECT_FALSE(img.Load(dir.path().string(), sink));  // a directory
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_FALSE(sink.errors[0].text.empty());
}

struct ScalingCase {
    int bitpix;
    double bzero, bscale;
    std::vector<float> physical;
};

class BadInputScaling : public ::testing::TestWithParam<ScalingCase> {};

TEST_P(BadInputScaling, EveryStoredTypeLoadsItsPhysicalValues)
{
    const ScalingCase c = GetParam();
    ScratchDir dir;
    const std::string path = dir.file("frame.fit");
    WriteTestFits(path, c.bitpix, 2, 2, 1, c.physical, {}, c.bzero, c.bscale);
    ErrorRecorder sink;
    CFitsImage img;
    ASSERT_TRUE(img.Load(path, sink));
    EXPECT_TRUE(sink.errors.empty());
    ASSERT_EQ(img.GetPixelCount(), 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(img.m_pData[i], c.physical[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    AllBitpix, BadInputScaling,
    ::testing::Values(ScalingCase{8, 0.0, 1.0, {0, 1, 100, 255}}, ScalingCase{8, -128.0, 1.0, {-128, -1, 0, 127}},
                      ScalingCase{16, 0.0, 1.0, {-32768, -1, 0, 32767}}, ScalingCase{16, 10.0, 2.0, {10, 12, 100, 210}},
                      ScalingCase{32, 0.0, 1.0, {-2e9f, -1, 0, 2e9f}}, ScalingCase{32, 10.0, 2.0, {10, 12, 100, 210}},
                      ScalingCase{64, 0.0, 1.0, {-1e12f, -1, 0, 1e12f}}, ScalingCase{64, 10.0, 2.0, {10, 12, 100, 210}},
                      ScalingCase{-32, 0.0, 1.0, {-1e30f, -0.5f, 0, 3e38f}},
                      ScalingCase{-32, 10.0, 2.0, {10, 12, 100, 210}},
                      ScalingCase{-64, 0.0, 1.0, {-1e30f, -0.5f, 0, 3e38f}},
                      ScalingCase{-64, 10.0, 2.0, {10, 12, 100, 210}}));

TEST(BadInput, NanAndInfinitePixelsLoadAndRender)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int bitpix : {-32, -64}) {
        SCOPED_TRACE(bitpix);
        ScratchDir dir;
        const std::string path = dir.file("nan.fit");
        std::vector<float> px = {nan, inf, -inf, 5.0f, nan, 7.0f, inf, 1.0f, 2.0f, nan, -inf, 0.0f};
        WriteTestFits(path, bitpix, 2, 2, 3, px);
        ErrorRecorder sink;
        CFitsImage img;
        ASSERT_TRUE(img.Load(path, sink));
        EXPECT_TRUE(std::isnan(img.m_pData[0]));
        EXPECT_EQ(img.m_pData[1], inf);
        EXPECT_EQ(img.m_pData[2], -inf);
        CPreviewBitmap bitmap;
        for (int plane = -1; plane < 3; ++plane) {
            bitmap.RenderImage(img, plane, 0);
            EXPECT_EQ(bitmap.Width(), 2);
        }
        EXPECT_TRUE(sink.errors.empty());
    }
}

TEST(BadInput, KeywordsOfTheWrongTypeKeepTheirFields)
{
    ScratchDir dir;
    const std::string path = dir.file("keys.fit");
    std::vector<std::string> cards = ImageCards(16, {2, 2});
    // A long complex GAIN or a long garbage OFFSET aborted CFITSIO's integer conversion.
    for (const char* card : {"EXPTIME = 'thirty seconds'", "GAIN    =               (    2 / electrons per ADU (1, 2, 4 or 8)",
                             "OFFSET  = 16garbagegarbagegarbagegarbagegarbagegarbagegarbagegarbage12", "XPIXSZ  = (3.8, 1.0)", "CCD-TEMP= 'cold'", "XBINNING=",
                             "YBINNING= (2, 0) / (binning)", "FILTER  =                   42"})
        cards.push_back(card);
    WriteBytes(path, RawFits(cards, 2880));
    ErrorRecorder sink;
    CFitsImage img;
    img.m_header.m_exposure = 7.0;
    img.m_header.m_gain = 7;
    img.m_header.m_offset = 7;
    img.m_header.m_ccdTemp = 7.0;
    img.m_header.m_binX = 7;
    img.m_header.m_binY = 7;
    ASSERT_TRUE(img.Load(path, sink));
    EXPECT_TRUE(sink.errors.empty());
    EXPECT_EQ(img.m_header.m_exposure, 7.0);
    EXPECT_EQ(img.m_header.m_gain, 7);
    EXPECT_EQ(img.m_header.m_offset, 7);
    EXPECT_EQ(img.m_header.m_ccdTemp, 7.0);
    EXPECT_EQ(img.m_header.m_binX, 7);
    EXPECT_EQ(img.m_header.m_binY, 7);
    EXPECT_LT(std::strlen(img.m_header.m_filter), size_t{FrameHeader::kFilterSize});
}

TEST(BadInput, OverlongFilterIsCut)
{
    ScratchDir dir;
    const std::string path = dir.file("filter.fit");
    const std::string filter(5000, 'H');
    WriteTestFits(path, 16, 2, 2, 1, {1, 2, 3, 4}, {TextKey("FILTER", filter)});
    ErrorRecorder sink;
    CFitsImage img;
    ASSERT_TRUE(img.Load(path, sink));
    EXPECT_EQ(std::string(img.m_header.m_filter), filter.substr(0, FrameHeader::kFilterSize - 1));
}

TEST(BadInput, PathsWithSpacesNonAsciiAndBeyondTheLibraryLimit)
{
    ScratchDir dir;
    const fs::path startFolder = fs::current_path();
    const std::vector<std::string> names = {"M 31 with spaces.fit", "\u00d8rsted H\u03b1 \u00fc.fit",
                                            " leading blank.fit", "!bang.fit"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        WriteTestFits(dir.file("plain.fit"), -32, 2, 1, 1, {1, 2});
        fs::rename(dir.file("plain.fit"), path);
        ErrorRecorder sink;
        CFitsImage img;
        EXPECT_TRUE(img.Load(path, sink));
        EXPECT_TRUE(sink.errors.empty());
        fs::current_path(dir.path());
        EXPECT_TRUE(img.Load(name, sink));  // relative, as the user may type it
        EXPECT_EQ(img.m_pData[1], 2.0f);
        fs::current_path(startFolder);
    }

    std::string deep = dir.path().string();
    while (deep.size() <= 1024)
        deep += "/n\u00e4chste Ebene";
    fs::create_directories(deep);
    WriteTestFits(dir.file("plain.fit"), -32, 2, 1, 1, {1, 2});
    fs::rename(dir.file("plain.fit"), deep + "/frame.fit");
    ErrorRecorder sink;
    CFitsImage img;
    EXPECT_FALSE(img.Load(deep + "/frame.fit", sink));
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_NE(sink.errors[0].text.find("longer than"), std::string::npos);
}

// The guard in front of the decoders follows every tile; sound frames of every
// pixel width, with edge tiles and three planes, must still load.
TEST(BadInput, SoundCompressedFramesOfEveryWidthStillLoad)
{
    ScratchDir dir;
    struct Width {
        int bitpix, type;
    };
    for (int compression : {RICE_1, GZIP_1, GZIP_2, HCOMPRESS_1})
    for (const Width w : {Width{BYTE_IMG, TBYTE}, Width{SHORT_IMG, TSHORT}, Width{LONG_IMG, TINT},
                          Width{FLOAT_IMG, TFLOAT}}) {
        SCOPED_TRACE(std::to_string(compression) + " " + std::to_string(w.bitpix));
        const std::string path = dir.file(std::to_string(compression) + "_" + std::to_string(w.bitpix) + ".fit");
        std::vector<int32_t> values(37 * 23 * 3);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = static_cast<int32_t>((i * 7919) % 251) + (i % 13 == 0 ? 3 : 0);
        // CFITSIO compresses only pixels of the stored type.
        std::vector<uint8_t> u8(values.begin(), values.end());
        std::vector<int16_t> i16(values.begin(), values.end());
        std::vector<float> f32(values.begin(), values.end());
        void* data = w.type == TBYTE ? static_cast<void*>(u8.data()) : w.type == TSHORT ? static_cast<void*>(i16.data())
                     : w.type == TINT ? static_cast<void*>(values.data()) : static_cast<void*>(f32.data());
        int status = 0;
        fitsfile* f = nullptr;
        fits_create_file(&f, path.c_str(), &status);
        long tile[3] = {10, 7, 1};
        fits_set_compression_type(f, compression, &status);
        fits_set_tile_dim(f, 3, tile, &status);
        long axes[3] = {37, 23, 3};
        fits_create_img(f, w.bitpix, 3, axes, &status);
        fits_write_img(f, w.type, 1, static_cast<LONGLONG>(values.size()), data, &status);
        fits_close_file(f, &status);
        ASSERT_EQ(status, 0);

        ErrorRecorder sink;
        CFitsImage img;
        ASSERT_TRUE(img.Load(path, sink)) << (sink.errors.empty() ? "" : sink.errors[0].text);
        const std::vector<float> expected = ReadTestPixels(path);
        ASSERT_EQ(img.GetPixelCount(), static_cast<int32_t>(expected.size()));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), img.m_pData));
        EXPECT_EQ(img.m_pData[1], static_cast<float>(values[1]));
    }
}
