#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "image/FitsImage.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

std::string KeyValue(const std::vector<std::pair<std::string, std::string>>& records, const std::string& name)
{
    for (const auto& [key, value] : records)
        if (key == name)
            return value;
    return "<missing>";
}

void FillRamp(CFitsImage& img)
{
    for (int32_t i = 0; i < img.GetPixelCount(); ++i)
        img.m_pData[i] = static_cast<float>(i) - 3.0f;
}

}  // namespace

TEST(FitsImage, AllocationRules)
{
    CFitsImage img;
    EXPECT_EQ(img.m_pData, nullptr);
    img.Free();  // empty stays empty
    EXPECT_EQ(img.GetPixelCount(), 0);

    ASSERT_TRUE(img.Allocate(100, 200, 1));
    float* before = img.m_pData;
    img.m_pData[5] = 42.0f;
    ASSERT_TRUE(img.Allocate(200, 100, 1));  // same count: buffer and values stay
    EXPECT_EQ(img.m_pData, before);
    EXPECT_EQ(img.m_pData[5], 42.0f);
    EXPECT_EQ(img.m_width, 200);
    EXPECT_EQ(img.m_height, 100);

    ASSERT_TRUE(img.Allocate(100, 100, 3));
    EXPECT_EQ(img.GetPixelCount(), 30000);

    img.Free();
    EXPECT_EQ(img.m_pData, nullptr);
    EXPECT_EQ(img.m_width + img.m_height + img.m_planes, 0);
}

TEST(FitsImage, LayoutCopyAndSubtract)
{
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(4, 3, 3));
    EXPECT_EQ(img.PixelAt(2, 1, 1) - img.m_pData, 18);

    FillRamp(img);
    img.m_header.m_exposure = 12.0;
    CFitsImage copy;
    copy.m_header.m_exposure = 99.0;
    std::strcpy(copy.m_header.m_filter, "Ha");
    copy.CopyPixelsFrom(img);
    EXPECT_TRUE(copy.SameSize(img));
    EXPECT_EQ(copy.m_pData[35], img.m_pData[35]);
    EXPECT_EQ(copy.m_header.m_exposure, 99.0);
    EXPECT_STREQ(copy.m_header.m_filter, "Ha");

    copy.Subtract(img);
    EXPECT_EQ(copy.m_pData[20], 0.0f);

    CFitsImage mono;
    ASSERT_TRUE(mono.Allocate(4, 3, 1));
    FillRamp(mono);
    mono.Subtract(img);  // another plane count: unchanged
    EXPECT_EQ(mono.m_pData[7], 4.0f);
}

struct RoundTripCase {
    int outputType;
    int planes;
    int bitpix;
    const char* bzero;  // as CFITSIO prints the value, or "<missing>"
};

class FitsRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(FitsRoundTrip, WritesTypeAxesScalingAndClamps)
{
    const RoundTripCase c = GetParam();
    ScratchDir dir;
    ErrorRecorder sink;
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(5, 2, c.planes));
    FillRamp(img);
    img.m_pData[0] = -40000.0f;
    img.m_pData[1] = 70000.0f;
    img.m_pData[2] = std::numeric_limits<float>::quiet_NaN();
    img.m_pData[3] = -5.0f;
    img.m_pData[4] = 40000.0f;
    const std::string path = dir.file("out.fit");
    ASSERT_TRUE(img.Save(path, c.outputType, nullptr, sink));
    EXPECT_TRUE(sink.errors.empty());

    // The image in memory keeps its values whatever type was written.
    EXPECT_EQ(img.m_pData[1], 70000.0f);
    EXPECT_TRUE(std::isnan(img.m_pData[2]));

    int w = 0, h = 0, planes = 0, bitpix = 0;
    std::vector<float> px = ReadTestPixels(path, &w, &h, &planes, &bitpix);
    EXPECT_EQ(bitpix, c.bitpix);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(planes, c.planes);
    const auto records = ReadKeywordRecords(path);
    EXPECT_EQ(KeyValue(records, "NAXIS"), c.planes > 1 ? "3" : "2");
    EXPECT_EQ(KeyValue(records, "BZERO"), c.bzero);
    EXPECT_EQ(KeyValue(records, "BSCALE"), c.outputType == FITS_SAVE_FLOAT ? "<missing>" : "1.");

    const float* v = px.data();
    switch (c.outputType == FITS_SAVE_UINT || c.outputType == FITS_SAVE_FLOAT ? c.outputType : FITS_SAVE_INT) {
    case FITS_SAVE_UINT:
        EXPECT_EQ(v[0], 0.0f);
        EXPECT_EQ(v[1], 65535.0f);
        EXPECT_EQ(v[2], 0.0f);
        EXPECT_EQ(v[3], 0.0f);
        EXPECT_EQ(v[4], 40000.0f);
        break;
    case FITS_SAVE_INT:  // also every unknown type
        EXPECT_EQ(v[0], -32767.0f);
        EXPECT_EQ(v[1], 32767.0f);
        EXPECT_EQ(v[2], -32767.0f);
        EXPECT_EQ(v[3], -5.0f);
        EXPECT_EQ(v[4], 32767.0f);
        break;
    default:
        EXPECT_EQ(v[0], -40000.0f);
        EXPECT_EQ(v[1], 70000.0f);
        EXPECT_TRUE(std::isnan(v[2]));
    }
    EXPECT_EQ(px.back(), img.m_pData[img.GetPixelCount() - 1]);

    CFitsImage back;
    ASSERT_TRUE(back.Load(path, sink));
    EXPECT_TRUE(back.SameSize(img));
    EXPECT_EQ(back.m_pData[7], img.m_pData[7]);

    std::string report;
    EXPECT_EQ(RunCommand(std::string(FITSVERIFY) + " -e '" + path + "'", &report), 0) << report;
}

INSTANTIATE_TEST_SUITE_P(AllTypes, FitsRoundTrip,
                         ::testing::Values(RoundTripCase{FITS_SAVE_FLOAT, 1, -32, "<missing>"},
                                           RoundTripCase{FITS_SAVE_FLOAT, 3, -32, "<missing>"},
                                           RoundTripCase{FITS_SAVE_UINT, 1, 16, "32768."},
                                           RoundTripCase{FITS_SAVE_UINT, 3, 16, "32768."},
                                           RoundTripCase{FITS_SAVE_INT, 1, 16, "0."},
                                           RoundTripCase{FITS_SAVE_INT, 3, 16, "0."},
                                           RoundTripCase{7, 1, 16, "0."}));

TEST(FitsImage, HeaderKeywordsInOrderAndReadBack)
{
    ScratchDir dir;
    ErrorRecorder sink;
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(3, 3, 1));
    FillRamp(img);
    FrameHeader& hd = img.m_header;
    hd.m_exposure = 30.5;
    hd.m_pixelWidth = 4.63;
    hd.m_pixelHeight = 4.64;
    hd.m_gain = 120;
    hd.m_offset = -7;
    hd.m_binX = 2;
    hd.m_binY = 3;
    hd.m_ccdTemp = -10.25;
    std::strcpy(hd.m_filter, "Luminance");
    const std::string path = dir.file("keys.fit");
    ASSERT_TRUE(img.Save(path, FITS_SAVE_UINT, nullptr, sink));

    std::vector<std::string> order;
    for (const auto& [key, value] : ReadKeywordRecords(path))
        if (key != "COMMENT")
            order.push_back(key);
    const std::vector<std::string> expected = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2",
                                               "EXTEND", "BSCALE", "BZERO", "EXPTIME", "GAIN",
                                               "OFFSET", "XPIXSZ", "YPIXSZ", "XBINNING", "YBINNING",
                                               "CCD-TEMP", "FILTER"};
    EXPECT_EQ(order, expected);

    CFitsImage back;
    ASSERT_TRUE(back.Load(path, sink));
    EXPECT_EQ(back.m_header.m_exposure, 30.5);
    EXPECT_EQ(back.m_header.m_pixelWidth, 4.63);
    EXPECT_EQ(back.m_header.m_pixelHeight, 4.64);
    EXPECT_EQ(back.m_header.m_gain, 120);
    EXPECT_EQ(back.m_header.m_offset, -7);
    EXPECT_EQ(back.m_header.m_binX, 2);
    EXPECT_EQ(back.m_header.m_binY, 3);
    EXPECT_EQ(back.m_header.m_ccdTemp, -10.25);
    EXPECT_STREQ(back.m_header.m_filter, "Luminance");
    EXPECT_TRUE(sink.errors.empty());
}

TEST(FitsImage, LoadAppliesScalingAndKeepsMissingKeywords)
{
    ScratchDir dir;
    ErrorRecorder sink;
    const std::string withTemp = dir.file("a.fit");
    const std::string bare = dir.file("b.fit");
    WriteTestFits(withTemp, 16, 2, 2, 1, {0.0f, 1.0f, 32768.0f, 65535.0f},
                  {NumberKey("CCD-TEMP", -10.0), TextKey("FILTER", "R"), NumberKey("EXPTIME", 60.0)}, 32768.0);
    WriteTestFits(bare, -32, 2, 2, 1, {1, 2, 3, 4}, {TextKey("GAIN", "high")});

    CFitsImage img;
    ASSERT_TRUE(img.Load(withTemp, sink));
    EXPECT_EQ(img.m_planes, 1);
    EXPECT_EQ(img.m_pData[0], 0.0f);
    EXPECT_EQ(img.m_pData[3], 65535.0f);
    img.m_header.m_gain = 5;
    ASSERT_TRUE(img.Load(bare, sink));
    EXPECT_EQ(img.m_header.m_ccdTemp, -10.0);  // missing: previous value kept
    EXPECT_EQ(img.m_header.m_exposure, 60.0);
    EXPECT_EQ(img.m_header.m_gain, 5);        // wrong type: kept
    EXPECT_STREQ(img.m_header.m_filter, "");  // missing FILTER: empty
    EXPECT_TRUE(sink.errors.empty());
}

TEST(FitsImage, PlaneCountFromThirdAxis)
{
    ScratchDir dir;
    ErrorRecorder sink;
    std::vector<float> px(2 * 2 * 3, 1.0f);
    WriteTestFits(dir.file("rgb.fit"), -32, 2, 2, 3, px);
    WriteTestFits(dir.file("one.fit"), -32, 2, 2, 1, {1, 2, 3, 4});
    CFitsImage img;
    ASSERT_TRUE(img.Load(dir.file("rgb.fit"), sink));
    EXPECT_EQ(img.m_planes, 3);

    // A third axis of length 1 is one plane.
    int status = 0;
    fitsfile* f = nullptr;
    long axes[3] = {2, 2, 1};
    float v[4] = {1, 2, 3, 4};
    fits_create_file(&f, dir.file("flat3.fit").c_str(), &status);
    fits_create_img(f, FLOAT_IMG, 3, axes, &status);
    fits_write_img(f, TFLOAT, 1, 4, v, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(img.Load(dir.file("flat3.fit"), sink));
    EXPECT_EQ(img.m_planes, 1);
    EXPECT_EQ(img.m_pData[3], 4.0f);
}

TEST(FitsImage, ExistingTargetRefusedAndUnchanged)
{
    ScratchDir dir;
    ErrorRecorder sink;
    const std::string path = dir.file("exists.fit");
    { std::ofstream(path) << "precious"; }
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(2, 2, 1));
    FillRamp(img);
    EXPECT_FALSE(img.Save(path, FITS_SAVE_FLOAT, nullptr, sink));
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(sink.errors[0].caption, "FITSIO Library Error");
    EXPECT_FALSE(sink.errors[0].text.empty());
    EXPECT_EQ(ReadBytes(path), "precious");
}

TEST(FitsImage, EachFailureReportsOnlyItsOwnMessages)
{
    ScratchDir dir;
    ErrorRecorder sink;
    const std::string text = dir.file("notes.fit");
    { std::ofstream(text) << "this is not a FITS file\n"; }
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(2, 2, 1));
    FillRamp(img);
    EXPECT_FALSE(img.Load(dir.file("missing.fit"), sink));
    EXPECT_FALSE(img.Load(text, sink));
    ASSERT_EQ(sink.errors.size(), 2u);
    EXPECT_NE(sink.errors[0].text.find("missing.fit"), std::string::npos);
    EXPECT_EQ(sink.errors[1].text.find("missing.fit"), std::string::npos);
    EXPECT_EQ(img.m_pData[3], 0.0f);  // image unchanged
}

TEST(FitsImage, LoadsImageExtensionAndCompressedFrames)
{
    ScratchDir dir;
    ErrorRecorder sink;
    float v[6] = {1, 2, 3, 4, 5, 6};
    long axes[2] = {3, 2};
    int status = 0;
    fitsfile* f = nullptr;
    // Empty primary header, the image in the first extension.
    fits_create_file(&f, dir.file("ext.fit").c_str(), &status);
    long none[1] = {0};
    fits_create_img(f, SHORT_IMG, 0, none, &status);
    fits_create_img(f, FLOAT_IMG, 2, axes, &status);
    fits_write_img(f, TFLOAT, 1, 6, v, &status);
    fits_close_file(f, &status);
    // Tile-compressed.
    fits_create_file(&f, (dir.file("tiles.fit.fz") + "[compress R]").c_str(), &status);
    fits_create_img(f, SHORT_IMG, 2, axes, &status);
    short packed[6] = {1, 2, 3, 4, 5, 6};
    fits_write_img(f, TSHORT, 1, 6, packed, &status);
    fits_close_file(f, &status);
    // No image anywhere: an empty primary array and a table.
    fits_create_file(&f, dir.file("table.fit").c_str(), &status);
    fits_create_img(f, SHORT_IMG, 0, none, &status);
    char* names[] = {const_cast<char*>("A")};
    char* forms[] = {const_cast<char*>("1E")};
    fits_create_tbl(f, BINARY_TBL, 0, 1, names, forms, nullptr, "T", &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);

    for (const char* name : {"ext.fit", "tiles.fit.fz"}) {
        CFitsImage img;
        ASSERT_TRUE(img.Load(dir.file(name), sink)) << name;
        EXPECT_EQ(img.m_width, 3);
        EXPECT_EQ(img.m_height, 2);
        EXPECT_EQ(img.m_pData[5], 6.0f) << name;
    }
    EXPECT_TRUE(sink.errors.empty());

    CFitsImage img;
    ASSERT_TRUE(img.Allocate(2, 1, 1));
    img.m_pData[0] = img.m_pData[1] = 7.0f;
    EXPECT_FALSE(img.Load(dir.file("table.fit"), sink));
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(img.m_width, 2);
    EXPECT_EQ(img.m_pData[1], 7.0f);
}

TEST(FitsImage, RefusesGeometriesItCannotHold)
{
    ScratchDir dir;
    struct Case {
        const char* name;
        int naxis;
        std::vector<long> axes;
        bool loads;
    };
    const std::vector<Case> cases = {
        {"one-axis", 1, {8}, false},
        {"four-axes", 4, {2, 2, 3, 2}, false},
        {"four-axes-flat", 4, {2, 2, 3, 1}, true},
        {"five-planes", 3, {2, 2, 5}, false},
        {"two-planes", 3, {2, 2, 2}, true},
        {"empty-axis", 3, {2, 0, 1}, false},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(std::string(c.name) + ".fit");
        int status = 0;
        fitsfile* f = nullptr;
        fits_create_file(&f, path.c_str(), &status);
        std::vector<long> axes = c.axes;
        fits_create_img(f, FLOAT_IMG, c.naxis, axes.data(), &status);
        long n = 1;
        for (long a : axes)
            n *= a;
        std::vector<float> px(static_cast<size_t>(n), 2.0f);
        if (n > 0)
            fits_write_img(f, TFLOAT, 1, n, px.data(), &status);
        fits_close_file(f, &status);
        ASSERT_EQ(status, 0) << c.name;

        ErrorRecorder sink;
        CFitsImage img;
        ASSERT_TRUE(img.Allocate(3, 1, 1));
        img.m_pData[0] = img.m_pData[1] = img.m_pData[2] = 9.0f;
        EXPECT_EQ(img.Load(path, sink), c.loads) << c.name << (sink.errors.empty() ? "" : sink.errors[0].text);
        if (c.loads) {
            EXPECT_TRUE(sink.errors.empty()) << c.name;
            EXPECT_EQ(img.m_pData[0], 2.0f) << c.name;
        } else {
            ASSERT_EQ(sink.errors.size(), 1u) << c.name;
            EXPECT_NE(sink.errors[0].text.find(path), std::string::npos) << c.name;
            EXPECT_EQ(img.m_width, 3) << c.name;
            EXPECT_EQ(img.m_pData[2], 9.0f) << c.name;
        }
    }
}

TEST(FitsImage, LongFilterAndLongPaths)
{
    ScratchDir dir;
    ErrorRecorder sink;
    std::string folder = dir.path().string();
    while (folder.size() < 900)
        folder += "/a folder with spaces and \u00fcmlauts";
    fs::create_directories(folder);
    const std::string path = folder + "/frame.fit";
    const std::string filter(300, 'F');
    WriteTestFits(path, -32, 2, 2, 1, {1, 2, 3, 4}, {TextKey("FILTER", filter)});
    CFitsImage img;
    ASSERT_TRUE(img.Load(path, sink));
    EXPECT_EQ(std::string(img.m_header.m_filter), filter.substr(0, 119));

    const std::string out = folder + "/result.fit";
    ASSERT_TRUE(img.Save(out, FITS_SAVE_FLOAT, nullptr, sink));
    CFitsImage back;
    ASSERT_TRUE(back.Load(out, sink));
    EXPECT_EQ(std::string(back.m_header.m_filter), filter.substr(0, 119));
    EXPECT_TRUE(sink.errors.empty());

    // Beyond what the FITS library can name: a clear refusal, nothing written.
    std::string deep = folder;
    while (deep.size() < 1100)
        deep += "/deeper";
    fs::create_directories(deep);
    EXPECT_FALSE(img.Save(deep + "/x.fit", FITS_SAVE_FLOAT, nullptr, sink));
    EXPECT_FALSE(back.Load(deep + "/x.fit", sink));
    ASSERT_EQ(sink.errors.size(), 2u);
    EXPECT_NE(sink.errors[1].text.find("longer than"), std::string::npos);
    EXPECT_FALSE(fs::exists(deep + "/x.fit"));
}

TEST(FitsImage, TruncatedDataRefusedBeforeAllocation)
{
    ScratchDir dir;
    ErrorRecorder sink;
    const std::string path = dir.file("cut.fit");
    WriteTestFits(path, -32, 100, 100, 1, std::vector<float>(10000, 1.0f));
    fs::resize_file(path, 2880 * 2);
    CFitsImage img;
    EXPECT_FALSE(img.Load(path, sink));
    EXPECT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(img.m_pData, nullptr);
}

TEST(FitsImage, NamesWithFilterSyntaxAreLiteral)
{
    ScratchDir dir;
    ErrorRecorder sink;
    CFitsImage img;
    ASSERT_TRUE(img.Allocate(2, 2, 1));
    FillRamp(img);
    for (const char* name : {"M31[Ha].fit", "frame.fit[1]", "!bang.fit", " blank.fit"}) {
        const std::string path = dir.file(name);
        ASSERT_TRUE(img.Save(path, FITS_SAVE_FLOAT, nullptr, sink)) << name;
        EXPECT_TRUE(fs::exists(path)) << name;
        EXPECT_FALSE(img.Save(path, FITS_SAVE_FLOAT, nullptr, sink)) << name;  // never replaced
        CFitsImage back;
        ASSERT_TRUE(back.Load(path, sink)) << name;
        EXPECT_EQ(back.m_pData[3], img.m_pData[3]) << name;
    }
    EXPECT_EQ(sink.errors.size(), 4u);
}
