// make-frames writes valid, deterministic frames with every header keyword.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "support/TestFiles.h"

namespace {

}  // namespace

TEST(MakeFrames, WritesSortableValidFramesOfEveryType)
{
    ScratchDir dir;
    struct Case {
        std::string options;
        int planes, bitpix;
        const char* filter;
    };
    const Case cases[] = {
        {"--planes 3 --type uint", 3, 16, "'RGB     '"},
        {"--planes 1 --type float", 1, -32, "'L       '"},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file(std::to_string(c.planes));
        ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + out + " --count 12 --width 64 --height 48 --prefix m_ " + c.options), 0);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(out))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        ASSERT_EQ(names.size(), 12u);
        EXPECT_EQ(names.front(), "m_001.fit");
        EXPECT_EQ(names[9], "m_010.fit");  // numbers sort as names

        const std::string frame = out + "/m_007.fit";
        std::string report;
        EXPECT_EQ(RunCommand(FITSVERIFY " -q -e " + frame, &report), 0) << report;
        int w = 0, h = 0, planes = 0, bitpix = 0;
        ReadTestPixels(frame, &w, &h, &planes, &bitpix);
        EXPECT_EQ(w, 64);
        EXPECT_EQ(h, 48);
        EXPECT_EQ(planes, c.planes);
        EXPECT_EQ(bitpix, c.bitpix);
        std::map<std::string, std::string> keys;
        for (const auto& [name, value] : ReadKeywordRecords(frame))
            keys[name] = value;
        for (const char* key : {"EXPTIME", "XPIXSZ", "YPIXSZ", "GAIN", "OFFSET", "XBINNING", "YBINNING", "CCD-TEMP"})
            EXPECT_TRUE(keys.count(key)) << key;
        EXPECT_EQ(keys["FILTER"], c.filter);
        if (c.bitpix == 16) {
            EXPECT_EQ(std::stod(keys["BZERO"]), 32768.0);
        }
    }
}

TEST(MakeFrames, SameOptionsSameFilesAndFramesDiffer)
{
    ScratchDir dir;
    const std::string options = " --count 3 --width 50 --height 40 --seed 7";
    ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + dir.file("a") + options), 0);
    ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + dir.file("b") + options), 0);
    ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + dir.file("a") + options), 0);  // replaces its own frames
    ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + dir.file("c") + " --count 3 --width 50 --height 40 --seed 8"), 0);
    for (const char* name : {"/frame_001.fit", "/frame_002.fit", "/frame_003.fit"}) {
        EXPECT_TRUE(ReadBytes(dir.file("a") + name) == ReadBytes(dir.file("b") + name)) << name;
        EXPECT_FALSE(ReadBytes(dir.file("a") + name) == ReadBytes(dir.file("c") + name)) << name;
    }
    EXPECT_FALSE(ReadTestPixels(dir.file("a/frame_001.fit")) == ReadTestPixels(dir.file("a/frame_002.fit")));
    EXPECT_EQ(RunCommand(MAKE_FRAMES " --planes 2 --out " + dir.file("d")), 2);
    EXPECT_EQ(RunCommand(MAKE_FRAMES " --count"), 2);
}

TEST(MakeFrames, TruthIsTheFieldTheFramesWereDrawnFrom)
{
    ScratchDir dir;
    const std::string truth = dir.file("truth.fits");
    ASSERT_EQ(
        RunCommand(MAKE_FRAMES " --out " + dir.file("f") + " --count 2 --width 80 --height 60 --truth " + truth), 0);
    int w = 0, h = 0, planes = 0, bitpix = 0;
    const std::vector<float> t = ReadTestPixels(truth, &w, &h, &planes, &bitpix);
    EXPECT_EQ(w, 80);
    EXPECT_EQ(h, 60);
    EXPECT_EQ(planes, 1);
    EXPECT_EQ(bitpix, -32);
    // A frame is sky + transparency x truth + noise: fitted to the truth by
    // least squares, the truth's factor is the transparency (0.7 to 1.05) and
    // the fit leaves about the noise (read noise 7, sky near 1000 ADU at gain
    // 1.5: some 25; the sky gradient adds a little).
    const std::vector<float> f = ReadTestPixels(dir.file("f/frame_001.fit"));
    ASSERT_EQ(f.size(), t.size());
    double st = 0, sf = 0, stt = 0, stf = 0;
    const double n = static_cast<double>(t.size());
    for (size_t i = 0; i < t.size(); ++i) {
        st += t[i];
        sf += f[i];
        stt += double{t[i]} * t[i];
        stf += double{t[i]} * f[i];
    }
    const double slope = (stf - st * sf / n) / (stt - st * st / n);
    const double offset = (sf - slope * st) / n;
    std::vector<double> residual;
    for (size_t i = 0; i < t.size(); ++i)
        residual.push_back(f[i] - offset - slope * t[i]);
    EXPECT_GT(slope, 0.65);
    EXPECT_LT(slope, 1.1);
    // Scaled median absolute deviations: cosmic rays do not count.
    const auto sigma = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const double median = v[v.size() / 2];
        for (double& x : v)
            x = std::fabs(x - median);
        std::sort(v.begin(), v.end());
        return 1.4826 * v[v.size() / 2];
    };
    EXPECT_LT(sigma(residual), 45.0);
}
