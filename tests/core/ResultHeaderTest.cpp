// The merge result's header for the tools that read it next: the frames
// combined, their times, the reference's world coordinates and descriptions,
// the HISTORY and the checksums. astropy and fitsverify judge the files.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include <fitsio.h>

#include "image/HeaderKeywords.h"
#include "image/ResultSave.h"
#include "merge/MergeEngine.h"
#include "support/TestFiles.h"

namespace {

const int kWidth = 32, kHeight = 24;

// The reference's WCS: a TAN projection with a CD matrix; sip adds a second
// order distortion.
std::vector<TestKey> WcsKeys(double crval1, bool sip)
{
    const char* suffix = sip ? "-SIP" : "";
    return {TextKey("CTYPE1", std::string("RA---TAN") + suffix),
            TextKey("CTYPE2", std::string("DEC--TAN") + suffix),
            NumberKey("CRVAL1", crval1),
            NumberKey("CRVAL2", 41.27),
            NumberKey("CRPIX1", 16.5),
            NumberKey("CRPIX2", 12.5),
            NumberKey("CD1_1", -3.1e-4),
            NumberKey("CD1_2", 2.2e-5),
            NumberKey("CD2_1", 2.4e-5),
            NumberKey("CD2_2", 3.05e-4),
            TextKey("CUNIT1", "deg"),
            TextKey("CUNIT2", "deg"),
            TextKey("RADESYS", "ICRS"),
            NumberKey("EQUINOX", 2000.0)};
}

// Integer keywords (the SIP orders), which the test writer would write as
// floating-point numbers.
void AddSip(const std::string& path)
{
    fitsfile* f = nullptr;
    int status = 0;
    fits_open_file(&f, path.c_str(), READWRITE, &status);
    for (const char* key : {"A_ORDER", "B_ORDER"}) {
        int order = 2;
        fits_write_key(f, TINT, key, &order, nullptr, &status);
    }
    const std::pair<const char*, double> terms[] = {{"A_0_2", 2.1e-6}, {"A_1_1", -1.3e-6}, {"A_2_0", 4.0e-6},
                                                    {"B_0_2", -3.2e-6}, {"B_1_1", 1.1e-6}, {"B_2_0", 2.5e-6}};
    for (auto [key, value] : terms)
        fits_write_key(f, TDOUBLE, key, &value, nullptr, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
}

struct Frame {
    std::string name;
    std::string dateObs;  // empty: none
    double exposure;
    float level;
};

// Frames of one field, each with its own time and level; every frame but the
// reference has its own (wrong) WCS, so that only the reference's can pass.
std::vector<std::string> WriteFrames(const ScratchDir& dir, const std::vector<Frame>& frames, bool wcs, bool sip)
{
    std::vector<std::string> paths;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const Frame& f = frames[k];
        std::vector<TestKey> keys = {NumberKey("EXPTIME", f.exposure), TextKey("FILTER", "L")};
        if (!f.dateObs.empty())
            keys.push_back(TextKey("DATE-OBS", f.dateObs));
        if (wcs) {
            for (const TestKey& key : WcsKeys(10.68 + 0.01 * static_cast<double>(k), sip))
                keys.push_back(key);
            // A long string: CONTINUE cards follow.
            keys.push_back(TextKey("OBJECT", "M31, the Andromeda galaxy, with M32 and M110 in the same field of view"));
            keys.push_back(TextKey("TELESCOP", "RC 8 inch"));
            keys.push_back(NumberKey("FOCALLEN", 1624.0));
            keys.push_back(TextKey("DATE-END", "2001-01-01T00:00:00"));  // the frame's own, never copied
        }
        std::vector<float> pixels(kWidth * kHeight);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = f.level + static_cast<float>(i % 97);
        paths.push_back(dir.file(f.name));
        WriteTestFits(paths.back(), -32, kWidth, kHeight, 1, pixels, keys);
        if (sip)
            AddSip(paths.back());
    }
    return paths;
}

// Merged as the desktop program does: the first frame on display, Create, Save.
// afterMerge may change the engine between the merge and the save.
std::string MergeAndSave(const ScratchDir& dir, const std::vector<std::string>& frames, int outputType,
                         const std::string& name = "result.fit",
                         const std::function<void(CMergeEngine&)>& afterMerge = nullptr)
{
    CMergeEngine engine;
    for (const std::string& f : frames)
        engine.AddFrame(f);
    engine.m_params.m_useSigma = true;
    engine.m_params.m_sigma = 2.5f;
    ErrorRecorder host;
    CFitsImage image;
    EXPECT_TRUE(image.Load(*engine.m_files.begin(), host));
    CPreviewBitmap bitmap;
    EXPECT_TRUE(engine.Merge(image, bitmap, host, false));
    if (afterMerge)
        afterMerge(engine);
    const std::string out = dir.file(name);
    const ResultProvenance provenance = DescribeMerge(engine);
    EXPECT_TRUE(SaveResult(image, out, outputType, engine.m_files.size(), engine.m_exposureSum, host, &provenance));
    for (const ErrorRecorder::Report& report : host.errors)  // only the broken frame's, in each pass
        EXPECT_NE(report.text.find("e.fit"), std::string::npos) << report.text;
    return out;
}

std::map<std::string, std::string> Keys(const std::string& path)
{
    std::map<std::string, std::string> keys;
    for (const auto& [key, value] : ReadKeywordRecords(path))
        keys.emplace(key, value);
    return keys;
}

std::vector<std::string> KeyNames(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& record : ReadKeywordRecords(path))
        names.push_back(record.first);
    return names;
}

// The cards of the first header as they stand, in order.
std::vector<std::string> Records(const std::string& path)
{
    std::vector<std::string> records;
    fitsfile* f = nullptr;
    int status = 0, count = 0;
    fits_open_file(&f, path.c_str(), READONLY, &status);
    fits_get_hdrspace(f, &count, nullptr, &status);
    for (int k = 1; k <= count; ++k) {
        char card[FLEN_CARD] = {};
        fits_read_record(f, k, card, &status);
        records.emplace_back(card);
    }
    fits_close_file(f, &status);
    return records;
}

// The first card of each keyword, by its eight-character name field.
std::map<std::string, std::string> Cards(const std::string& path)
{
    std::map<std::string, std::string> cards;
    for (const std::string& card : Records(path))
        cards.emplace(card.substr(0, 8), card);
    return cards;
}

std::vector<std::string> History(const std::string& path)
{
    std::vector<std::string> lines;
    for (const std::string& card : Records(path))
        if (card.rfind("HISTORY ", 0) == 0)
            lines.push_back(card.substr(8));
    return lines;
}

bool HistoryHas(const std::vector<std::string>& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// CFITSIO's own check: 1 for a data unit and an HDU whose sums match.
std::pair<int, int> VerifyChecksums(const std::string& path)
{
    fitsfile* f = nullptr;
    int status = 0, dataOk = 0, hduOk = 0;
    fits_open_file(&f, path.c_str(), READONLY, &status);
    fits_verify_chksum(f, &dataOk, &hduOk, &status);
    fits_close_file(f, &status);
    return status == 0 ? std::pair{dataOk, hduOk} : std::pair{-9, -9};
}

void ExpectFitsVerifyClean(const std::string& path)
{
    std::string report;
    EXPECT_EQ(RunCommand(std::string(FITSVERIFY) + " '" + path + "'", &report), 0) << report;
    EXPECT_NE(report.find("found 0 warning(s) and 0 error(s)"), std::string::npos) << report;
}

// astropy's view of the two files: the checksums of the result, and the
// largest distance on the sky between the positions that both WCS give the
// same pixels, in arcseconds.
std::map<std::string, std::string> AstropyCompare(const ScratchDir& dir, const std::string& reference,
                                                  const std::string& result)
{
    const std::string script = dir.file("compare.py");
    WriteBytes(script, R"(import sys, warnings
from astropy.io import fits
from astropy.wcs import WCS, FITSFixedWarning
warnings.simplefilter("error")
warnings.simplefilter("ignore", FITSFixedWarning)  # MJD-OBS derived from DATE-OBS
with fits.open(sys.argv[2], checksum=True) as h:
    print("checksum", h[0].verify_checksum())
    print("datasum", h[0].verify_datasum())
    result = WCS(h[0].header)
with fits.open(sys.argv[1]) as h:
    ref = WCS(h[0].header)
print("celestial", int(result.has_celestial))
print("sip", int(result.sip is not None))
pixels = [(0, 0), (31, 23), (10.5, 7.25), (-40, 60), (200, -15)]
xs = [p[0] for p in pixels]
ys = [p[1] for p in pixels]
a = ref.pixel_to_world(xs, ys)
b = result.pixel_to_world(xs, ys)
print("separation", max(a.separation(b).arcsec))
print("span", a[0].separation(a[1]).arcsec)
)");
    std::string output;
    EXPECT_EQ(RunCommand(std::string(PYTHON3) + " '" + script + "' '" + reference + "' '" + result + "' 2>&1", &output),
              0)
        << output;
    std::map<std::string, std::string> values;
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = output.find('\n', start);
        const std::string line = output.substr(start, end - start);
        const std::size_t space = line.find(' ');
        if (space != std::string::npos)
            values[line.substr(0, space)] = line.substr(space + 1);
        start = end == std::string::npos ? output.size() : end + 1;
    }
    return values;
}

}  // namespace

TEST(ResultHeader, WorldCoordinatesDatesAndChecksumsOfTheReference)
{
    // Frame order (by name) differs from time order; the earliest frame
    // starts on a leap day, the latest ends on the next day.
    const std::vector<Frame> frames = {{"a.fit", "2024-03-01T21:59:30", 60.0, 100.0f},
                                       {"b.fit", "2024-03-01T22:00:00.5", 60.0, 104.0f},
                                       {"c.fit", "2024-02-29T23:59:50", 30.0, 98.0f},
                                       {"d.fit", "", 45.0, 102.0f}};
    struct Case {
        const char* name;
        bool sip;
        int type;
        const char* bzero;
    };
    const Case cases[] = {{"tan", false, FITS_SAVE_FLOAT, nullptr}, {"sip", true, FITS_SAVE_UINT, "32768."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::vector<std::string> paths = WriteFrames(dir, frames, true, c.sip);
        WriteBytes(dir.file("e.fit"), "not FITS");  // in the set, not combined
        paths.push_back(dir.file("e.fit"));
        const std::string out = MergeAndSave(dir, paths, c.type);

        std::map<std::string, std::string> keys = Keys(out);
        EXPECT_EQ(keys["SNAPSHOT"], "5");
        EXPECT_EQ(keys["NCOMBINE"], "4");
        EXPECT_EQ(std::stod(keys["EXPOSURESUM"]), 195.0);
        EXPECT_EQ(keys["DATE-OBS"], "'2024-02-29T23:59:50.000'");
        EXPECT_EQ(keys["DATE-END"], "'2024-03-01T22:01:00.500'");
        EXPECT_EQ(VerifyChecksums(out), std::pair(1, 1));
        if (c.bzero) {
            EXPECT_EQ(keys["BZERO"].substr(0, 6), c.bzero);
        }

        // The specified keywords first, in their order; the additions after.
        const std::vector<std::string> names = KeyNames(out);
        const auto at = [&](const std::string& key) { return std::find(names.begin(), names.end(), key) - names.begin(); };
        EXPECT_LT(at("EXPTIME"), at("FILTER"));
        EXPECT_LT(at("FILTER"), at("SNAPSHOT"));
        EXPECT_EQ(at("SNAPSHOT") + 1, at("EXPOSURESUM"));
        EXPECT_EQ(at("EXPOSURESUM") + 1, at("NCOMBINE"));
        EXPECT_LT(at("CD2_2"), at("HISTORY"));
        EXPECT_EQ(std::count(names.begin(), names.end(), "DATE-END"), 1);

        // The reference's cards as they stand, values and comments alike.
        std::map<std::string, std::string> resultCards = Cards(out), referenceCards = Cards(paths[0]);
        for (const char* key : {"CTYPE1  ", "CRVAL1  ", "CRPIX2  ", "CD1_2   ", "RADESYS ", "FOCALLEN", "OBJECT  ",
                                "CONTINUE"})
            EXPECT_EQ(resultCards[key], referenceCards[key]) << key;
        if (c.sip) {
            EXPECT_EQ(resultCards["A_1_1   "], referenceCards["A_1_1   "]);
        }

        const std::map<std::string, std::string> astropy = AstropyCompare(dir, paths[0], out);
        EXPECT_EQ(astropy.count("checksum") ? astropy.at("checksum") : "", "1");
        EXPECT_EQ(astropy.count("datasum") ? astropy.at("datasum") : "", "1");
        EXPECT_EQ(astropy.count("celestial") ? astropy.at("celestial") : "", "1");
        EXPECT_EQ(astropy.count("sip") ? astropy.at("sip") : "", c.sip ? "1" : "0");
        ASSERT_EQ(astropy.count("separation"), 1u);
        EXPECT_LT(std::stod(astropy.at("separation")), 1e-6);
        EXPECT_GT(std::stod(astropy.at("span")), 10.0);  // the pixels lie apart on the sky
        ExpectFitsVerifyClean(out);

        const std::vector<std::string> history = History(out);
        EXPECT_TRUE(HistoryHas(history, "Velmora ")) << c.name;
        EXPECT_TRUE(HistoryHas(history, "merge of 5 frames, 4 combined"));
        EXPECT_TRUE(HistoryHas(history, "Sigma Clip on, sigma 2.5, fade 0.2, Normalize Area 0"));
        EXPECT_TRUE(HistoryHas(history, "Reference a.fit"));
        EXPECT_TRUE(HistoryHas(history, "  c.fit weight 1"));
        EXPECT_FALSE(HistoryHas(history, "e.fit"));
    }
}

TEST(ResultHeader, FramesWithoutWcsOrDatesWriteNoneOfThoseKeys)
{
    ScratchDir dir;
    const std::vector<std::string> paths =
        WriteFrames(dir, {{"a.fit", "", 20.0, 50.0f}, {"b.fit", "", 20.0, 51.0f}}, false, false);
    const std::string out = MergeAndSave(dir, paths, FITS_SAVE_INT);
    const std::map<std::string, std::string> keys = Keys(out);
    EXPECT_EQ(keys.at("NCOMBINE"), "2");
    for (const char* key : {"DATE-OBS", "DATE-END", "CTYPE1", "CRVAL1", "CD1_1", "RADESYS", "EQUINOX", "OBJECT"})
        EXPECT_EQ(keys.count(key), 0u) << key;
    EXPECT_EQ(keys.at("BZERO").substr(0, 2), "0.");
    ExpectFitsVerifyClean(out);
}

TEST(ResultHeader, SameBytesWheneverWritten)
{
    // CFITSIO's own checksum comments carry the time of writing.
    ScratchDir dir;
    const std::vector<std::string> paths =
        WriteFrames(dir, {{"a.fit", "2023-10-10T20:00:00", 20.0, 50.0f}, {"b.fit", "", 20.0, 51.0f}}, true, false);
    const std::string first = MergeAndSave(dir, paths, FITS_SAVE_FLOAT, "first.fit");
    std::map<std::string, std::string> cards = Cards(first);
    EXPECT_EQ(cards["CHECKSUM"].find("updated"), std::string::npos) << cards["CHECKSUM"];
    EXPECT_EQ(cards["DATASUM "].find("updated"), std::string::npos) << cards["DATASUM "];
    EXPECT_EQ(ReadBytes(first), ReadBytes(MergeAndSave(dir, paths, FITS_SAVE_FLOAT, "second.fit")));
}

TEST(ResultHeader, FitsDatesOnOneScale)
{
    struct Case {
        const char* date;
        double add;
        const char* formatted;  // null: not a date
    };
    const Case cases[] = {
        {"2024-02-28T23:59:59.9996", 0.0, "2024-02-29T00:00:00.000"},
        {"2023-12-31T23:00:00", 3600.0, "2024-01-01T00:00:00.000"},
        {"1999-03-01", 86400.0 * 365, "2000-02-29T00:00:00.000"},
        {"05/01/99", 0.5, "1999-01-05T00:00:00.500"},
        {"1969-12-31T23:59:59.25", 1.0, "1970-01-01T00:00:00.250"},
        {"last night", 0.0, nullptr},
        {"", 0.0, nullptr},
    };
    for (const Case& c : cases) {
        double seconds = 0.0;
        EXPECT_EQ(ParseFitsDate(c.date, seconds), c.formatted != nullptr) << c.date;
        if (c.formatted) {
            EXPECT_EQ(FormatFitsDate(seconds + c.add), c.formatted) << c.date;
        }
    }
}

TEST(ResultHeader, LongSetsAreSummarised)
{
    ScratchDir dir;
    std::vector<Frame> frames;
    for (int k = 0; k < 101; ++k)
        frames.push_back({std::string("f").append(std::to_string(1000 + k)).append(".fit"), "", 1.0, 10.0f});
    const std::string out = MergeAndSave(dir, WriteFrames(dir, frames, false, false), FITS_SAVE_FLOAT);
    const std::vector<std::string> history = History(out);
    EXPECT_TRUE(HistoryHas(history, "Frames combined: first f1000.fit, last f1100.fit, weights 1-1"));
    EXPECT_FALSE(HistoryHas(history, "f1050.fit"));
    EXPECT_EQ(Keys(out).at("NCOMBINE"), "101");
}

TEST(ResultHeader, KeptKeywordsAreTheWcsAndTheDescriptions)
{
    const struct {
        const char* name;
        bool kept;
    } cases[] = {
        {"CTYPE1", true},   {"CTYPE12", true}, {"CRVAL2A", true}, {"CDELT1", true},   {"CD1_2", true},
        {"PC2_1B", true},   {"PV2_1", true},   {"A_ORDER", true}, {"BP_1_0", true},   {"A_0_2", true},
        {"EQUINOX", true},  {"RADESYSA", true}, {"LONPOLE", true}, {"OBJECT", true},  {"FOCALLEN", true},
        {"CTYPE", false},   {"CD1", false},    {"CD1_", false},   {"A_1", false},     {"A_0_2A", false},
        {"CRVAL1AB", false}, {"DATE-OBS", false}, {"DATE-END", false}, {"MJD-OBS", false}, {"EXPTIME", false},
        {"NAXIS1", false},  {"CDELTX", false}, {"BZERO", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsKeptKeyword(c.name), c.kept) << c.name;
}

TEST(ResultHeader, HistoryShowsTheSettingsTheMergeRanWith)
{
    ScratchDir dir;
    const std::vector<std::string> paths =
        WriteFrames(dir, {{"a.fit", "", 20.0, 50.0f}, {"b.fit", "", 20.0, 51.0f}}, false, false);
    const std::string out = MergeAndSave(dir, paths, FITS_SAVE_FLOAT, "result.fit", [&](CMergeEngine& engine) {
        engine.m_params.m_sigma = 4.0f;
        engine.m_params.m_normalizeArea = 16;
        engine.m_sigmaScale[paths[1]][0] = 0.5f;
        engine.m_rcNoise = ImageRect{1, 2, 3, 4};
    });
    const std::vector<std::string> history = History(out);
    EXPECT_TRUE(HistoryHas(history, "Sigma Clip on, sigma 2.5, fade 0.2, Normalize Area 0"));
    EXPECT_TRUE(HistoryHas(history, "Background rectangle 0,0,0,0, signal rectangle 0,0,0,0"));
    EXPECT_TRUE(HistoryHas(history, "  b.fit weight 1"));
    EXPECT_FALSE(HistoryHas(history, "sigma scale"));
}
