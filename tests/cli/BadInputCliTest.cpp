// Hostile and broken frames through the real velmora-cli: every command
// reports them on stderr and exits 1; merge and report go on with the other
// frames and succeed when there were any.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>

#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

const std::string kRects = " --background 2,2,20,12 --signal 26,18,12,12";

std::string Quote(const std::string& path) { return "'" + path + "'"; }

int RunCli(const std::string& args, std::string* out = nullptr)
{
    return RunCommand(VELMORA_CLI " " + args, out);
}

struct BadFrame {
    const char* name;
    std::function<void(const std::string& path)> write;
};

std::vector<BadFrame> BadFrames()
{
    auto bytes = [](std::string content) { return [content](const std::string& p) { WriteBytes(p, content); }; };
    const std::string header = RawFits(ImageCards(16, {64, 48}), 64 * 48 * 2);
    return {
        {"empty", bytes("")},
        {"text", bytes("SIMPLE = T is what a FITS file starts with\n")},
        {"directory", [](const std::string& p) { fs::create_directory(p); }},
        {"header-cut", bytes(header.substr(0, 1500))},
        {"data-cut", bytes(header.substr(0, 2880 + 4000))},
        {"naxis-1", bytes(RawFits(ImageCards(16, {64}), 2880))},
        {"naxis-4", bytes(RawFits(ImageCards(8, {4, 4, 3, 2}), 2880))},
        {"naxis3-5", bytes(RawFits(ImageCards(8, {4, 4, 5}), 2880))},
        {"axis-0", bytes(RawFits(ImageCards(16, {64, 0})))},
        {"too-many-pixels", bytes(RawFits(ImageCards(-64, {1000000, 1000000, 3})))},
        {"rice-bytepix", [](const std::string& p) {
             WritePatchedRiceFits(p, "ZVAL2   =                    2", "ZVAL2   =                    4");
         }},
        {"rice-blocksize", [](const std::string& p) {
             WritePatchedRiceFits(p, "ZVAL1   =                   32", "ZVAL1   =                    0");
         }},
    };
}

class BadInputCli : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<ScratchDir>();
        // Spaces and non-ASCII characters in the folder of the good frames too.
        s_good = s_dir->file("good frames \u00e4\u03b1");
        ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + Quote(s_good) + " --count 2 --width 64 --height 48"), 0);
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    static std::vector<std::string> GoodFrames()
    {
        std::vector<std::string> frames;
        for (const auto& e : fs::directory_iterator(s_good))
            frames.push_back(e.path().string());
        std::sort(frames.begin(), frames.end());
        return frames;
    }

    static std::unique_ptr<ScratchDir> s_dir;
    static std::string s_good;
};

std::unique_ptr<ScratchDir> BadInputCli::s_dir;
std::string BadInputCli::s_good;

TEST_F(BadInputCli, EveryCommandReportsTheFrameAndTheOthersGoOn)
{
    const std::vector<std::string> good = GoodFrames();
    ASSERT_EQ(good.size(), 2u);
    for (const BadFrame& bad : BadFrames()) {
        SCOPED_TRACE(bad.name);
        ScratchDir dir;
        const std::string path = dir.file(std::string("bad ") + bad.name + " \u00fc.fit");
        bad.write(path);
        std::string out;

        EXPECT_EQ(RunCli("info " + Quote(path), &out), 1) << out;
        EXPECT_NE(out.find("FITSIO Library Error"), std::string::npos) << out;

        const std::string bmp = dir.file("out.bmp");
        EXPECT_EQ(RunCli("render -o " + Quote(bmp) + " " + Quote(path), &out), 1) << out;
        EXPECT_FALSE(fs::exists(bmp));

        const std::string result = dir.file("result.fit");
        EXPECT_EQ(RunCli("merge -q -o " + Quote(result) + kRects + " " + Quote(good[0]) + " " + Quote(path) + " " +
                             Quote(good[1]),
                         &out),
                  0)
            << out;
        EXPECT_NE(out.find("FITSIO Library Error"), std::string::npos) << out;
        ASSERT_TRUE(fs::exists(result));
        std::string verify;
        EXPECT_EQ(RunCommand(std::string(FITSVERIFY) + " -e -q " + Quote(result), &verify), 0) << verify;

        EXPECT_EQ(RunCli("merge -q -o " + Quote(dir.file("alone.fit")) + kRects + " " + Quote(path), &out), 1) << out;
        EXPECT_FALSE(fs::exists(dir.file("alone.fit")));

        const std::string csv = dir.file("noise.csv");
        EXPECT_EQ(RunCli("report --csv " + Quote(csv) + kRects + " " + Quote(good[0]) + " " + Quote(path), &out), 0)
            << out;
        EXPECT_NE(out.find("FITSIO Library Error"), std::string::npos) << out;
        EXPECT_NE(out.find(fs::path(good[0]).filename().string()), std::string::npos) << out;
        EXPECT_EQ(out.find(fs::path(path).filename().string() + "\t"), std::string::npos) << out;

        EXPECT_EQ(RunCli("report" + kRects + " " + Quote(path), &out), 1) << out;
    }
}

// CFITSIO quotes the unreadable header; its raw bytes reach the terminal escaped.
TEST_F(BadInputCli, RawBytesOfABrokenFileAreEscapedOnStderr)
{
    const std::string path = s_dir->file("raw bytes.fit");
    WriteBytes(path, std::string("SIMPL\x01\x02=                    T") + std::string(2880, ' '));
    std::string out;
    EXPECT_EQ(RunCli("info " + Quote(path), &out), 1);
    EXPECT_NE(out.find("SIMPL\\x01\\x02="), std::string::npos) << out;
    EXPECT_EQ(out.find_first_of(std::string("\x01\x02", 2)), std::string::npos) << out;
}

TEST_F(BadInputCli, PathsBeyondTheLibraryLimitAreRefused)
{
    std::string deep = s_dir->path().string();
    while (deep.size() <= 1024)
        deep += "/eine tiefe Ebene \u00df";
    fs::create_directories(deep);
    const std::string path = deep + "/frame.fit";
    fs::copy_file(GoodFrames()[0], path);
    std::string out;
    EXPECT_EQ(RunCli("info " + Quote(path), &out), 1);
    EXPECT_NE(out.find("longer than"), std::string::npos) << out;
    EXPECT_EQ(RunCli("merge -q -o " + Quote(s_dir->file("deep.fit")) + kRects + " " + Quote(GoodFrames()[1]) + " " +
                         Quote(path),
                     &out),
              0)
        << out;
    EXPECT_NE(out.find("longer than"), std::string::npos) << out;
}

TEST_F(BadInputCli, NonFiniteAndScaledFramesAreNotBadInput)
{
    ScratchDir dir;
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> px(64 * 48, 100.0f);
    px[0] = std::numeric_limits<float>::quiet_NaN();
    px[1] = inf;
    px[2] = -inf;
    WriteTestFits(dir.file("nan inf.fit"), -32, 64, 48, 1, px, {NumberKey("EXPTIME", 10)});
    WriteTestFits(dir.file("scaled.fit"), 8, 64, 48, 1, std::vector<float>(64 * 48, 12.0f), {TextKey("EXPTIME", "x")},
                  10.0, 2.0);
    std::vector<std::string> cards = ImageCards(16, {64, 48});
    cards.push_back("GAIN    =               (    2 / electrons per ADU (1, 2, 4 or 8)");
    WriteBytes(dir.file("complex gain.fit"), RawFits(cards, 3 * 2880));  // 64 x 48 x 2 bytes, padded
    for (const char* name : {"nan inf.fit", "scaled.fit", "complex gain.fit"}) {
        SCOPED_TRACE(name);
        std::string out;
        EXPECT_EQ(RunCli("info" + kRects + " " + Quote(dir.file(name)), &out), 0) << out;
        EXPECT_EQ(RunCli("render -o " + Quote(dir.file(std::string(name) + ".bmp")) + " " + Quote(dir.file(name)), &out), 0)
            << out;
        EXPECT_TRUE(fs::exists(dir.file(std::string(name) + ".bmp")));
    }
}

TEST_F(BadInputCli, OutputsThatCannotBeCompletedFailTheCommand)
{
    ScratchDir dir;
    const std::vector<std::string> good = GoodFrames();
    // A full disk after the file was created: writes beyond 8 blocks fail.
    auto limited = [](const std::string& args) {
        std::string out;
        const int status = RunCommand("( trap '' XFSZ; ulimit -f 8; exec " VELMORA_CLI " " + args + " )", &out);
        return std::make_pair(status, out);
    };
    const std::string result = dir.file("result.fit");
    auto [status, out] = limited("merge -q -o " + Quote(result) + kRects + " " + Quote(good[0]) + " " + Quote(good[1]));
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("FITSIO Library Error"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(result));

    std::tie(status, out) = limited("render -o " + Quote(dir.file("out.bmp")) + " " + Quote(good[0]));
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot write"), std::string::npos) << out;
    EXPECT_EQ(RunCli("render -o /dev/full " + Quote(good[0]), &out), 1) << out;
    EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
}

}  // namespace
