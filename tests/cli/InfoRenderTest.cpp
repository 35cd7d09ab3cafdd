// velmora-cli info and render on frames from make-frames and on small
// frames written by CFITSIO.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"
#include "support/TestFiles.h"

namespace {

// stdout (or stderr) of velmora-cli alone, and its exit status.
int RunCli(const std::string& args, std::string* out, bool stderrOnly = false)
{
    const std::string redirect = stderrOnly ? " 2>&1 >/dev/null" : " 2>/dev/null";
    return RunCommand("{ " VELMORA_CLI " " + args + redirect + "; }", out);
}

struct Stats {
    float mean, dev;
};

// Mean and population deviation of one plane over a rectangle inside the image.
Stats PlaneStats(const std::vector<float>& px, int w, int h, int plane, int x0, int y0, int rw, int rh)
{
    double sum = 0, ss = 0;
    const size_t base = static_cast<size_t>(plane) * w * h;
    for (int y = y0; y < y0 + rh; ++y)
        for (int x = x0; x < x0 + rw; ++x)
            sum += px[base + static_cast<size_t>(y) * w + x];
    const double mean = sum / (rw * rh);
    for (int y = y0; y < y0 + rh; ++y)
        for (int x = x0; x < x0 + rw; ++x)
            ss += (px[base + static_cast<size_t>(y) * w + x] - mean) * (px[base + static_cast<size_t>(y) * w + x] - mean);
    return {static_cast<float>(mean), static_cast<float>(std::sqrt(ss / (rw * rh)))};
}

class InfoRender : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<ScratchDir>();
        ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + s_dir->file("rgb") + " --count 3 --width 160 --height 120 --planes 3"), 0);
        ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + s_dir->file("mono") + " --count 2 --width 90 --height 70 --type float"), 0);
    }
    static void TearDownTestSuite() { s_dir.reset(); }
    static std::string Rgb(int i) { return s_dir->file("rgb/frame_00" + std::to_string(i) + ".fit"); }
    static std::string Mono(int i) { return s_dir->file("mono/frame_00" + std::to_string(i) + ".fit"); }

    static std::unique_ptr<ScratchDir> s_dir;
};
std::unique_ptr<ScratchDir> InfoRender::s_dir;

}  // namespace

TEST_F(InfoRender, PrintsTheInfoLineOfTheDocumentedExample)
{
    // Checkerboard 95/105 background (mean 100, deviation 5), signal 600.
    std::vector<float> px(40 * 40, 0.0f);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            px[y * 40 + x] = y < 10 && x < 20 ? ((x + y) % 2 ? 105.0f : 95.0f) : (y >= 20 && y < 30 && x < 10 ? 600.0f : 0.0f);
    ScratchDir dir;
    const std::string frame = dir.file("example.fit");
    WriteTestFits(frame, FLOAT_IMG, 40, 40, 1, px);
    std::string out;
    ASSERT_EQ(RunCli("info --background 0,0,20,10 --signal 0,20,10,10 " + frame, &out), 0);
    EXPECT_EQ(out, "Bgr=100.0 Noise=5.00 Light=500.0 S/N=100.00\nAdaptive\n");
    ASSERT_EQ(RunCli("info --background 0,0,20,10 " + frame, &out), 0);
    EXPECT_EQ(out, "Bk=100.0 Noise=5.00\nSimple\n");
    ASSERT_EQ(RunCli("info --signal 0,20,10,10 " + frame, &out), 0);
    EXPECT_EQ(out, "mark background rectangle\nSimple\n");
}

TEST_F(InfoRender, InfoOfGeneratedColourFrameFromOptionsAndSettings)
{
    int w = 0, h = 0, planes = 0;
    const std::vector<float> px = ReadTestPixels(Rgb(2), &w, &h, &planes);
    ASSERT_EQ(planes, 3);
    char expected[300];
    int bk[3], noise[3];
    float snr[3];
    for (int c = 0; c < 3; ++c) {
        const Stats b = PlaneStats(px, w, h, c, 5, 8, 30, 20);
        const Stats s = PlaneStats(px, w, h, c, 70, 50, 20, 20);
        bk[c] = static_cast<int>(b.mean);
        noise[c] = static_cast<int>(b.dev);
        snr[c] = (s.mean - b.mean) / b.dev;
    }
    std::snprintf(expected, sizeof expected, "Bk=(%i-%i-%i) Noise=(%i-%i-%i) S/N=(%.1f-%.1f-%.1f)\nAdaptive\n", bk[0],
                  bk[1], bk[2], noise[0], noise[1], noise[2], snr[0], snr[1], snr[2]);

    std::string out;
    ASSERT_EQ(RunCli("info --background 5,8,30,20 --signal 70,50,20,20 " + Rgb(2), &out), 0);
    EXPECT_EQ(out, expected);

    // The same rectangles from a settings file; an option given wins over it.
    ScratchDir dir;
    const std::string ini = dir.file("Velmora.ini");
    std::ofstream(ini) << "[NoiseFrame]\nStartX=5\nStartY=8\nSizeX=30\nSizeY=20\n"
                          "[LightFrame]\nStartX=0\nStartY=0\nSizeX=9\nSizeY=9\n";
    ASSERT_EQ(RunCli("info --settings " + ini + " --signal 70,50,20,20 " + Rgb(2), &out), 0);
    EXPECT_EQ(out, expected);
    ASSERT_EQ(RunCli("info --settings " + ini + " " + Rgb(2), &out), 0);  // 9 x 9 is not usable
    EXPECT_EQ(out.substr(out.size() - 7), "Simple\n");
    EXPECT_EQ(out.rfind("Bk=(" + std::to_string(bk[0]) + "-", 0), 0u);
}

TEST_F(InfoRender, RenderWritesThePreviewPicture)
{
    ScratchDir dir;
    struct Case {
        std::string frame, options;
        int plane, gamma, blackFloor;
    };
    const Case cases[] = {
        {Rgb(1), "", -1, 10, -65536},
        {Rgb(2), "--plane 1 --gamma 40", 1, 40, -65536},  // the trail frame
        {Mono(1), "--gamma 0 --black-floor 500", -1, 0, 500},
        {Mono(2), "--gamma 1000", -1, 1000, -65536},
    };
    for (const Case& c : cases) {
        const std::string bmp = dir.file("out.bmp");
        std::string out;
        ASSERT_EQ(RunCli("render " + c.options + " -o " + bmp + " " + c.frame, &out), 0) << c.options;
        // The same picture the core renders and saves for the window.
        ErrorRecorder host;
        CFitsImage image;
        ASSERT_TRUE(image.Load(c.frame, host));
        CPreviewBitmap expected;
        expected.m_gamma = c.gamma;
        expected.RenderImage(image, c.plane, c.blackFloor);
        ASSERT_TRUE(expected.SaveBmp(dir.file("expected.bmp")));
        const std::string written = ReadBytes(bmp);
        EXPECT_EQ(written.size(), 54 + static_cast<size_t>((3 * image.m_width + 3) / 4 * 4) * image.m_height);
        EXPECT_TRUE(written == ReadBytes(dir.file("expected.bmp"))) << c.options;
    }
}

TEST_F(InfoRender, UsageErrorsAndFailures)
{
    ScratchDir dir;
    const std::string bmp = dir.file("out.bmp");
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"render --plane 3 -o " + bmp + " " + Rgb(1), 2, "--plane 3"},
        {"render --plane 1 -o " + bmp + " " + Mono(1), 2, "--plane 1"},
        {"render --plane -2 -o " + bmp + " " + Rgb(1), 2, "--plane -2"},
        {"render --gamma ten -o " + bmp + " " + Rgb(1), 2, "--gamma needs a whole number"},
        {"render " + Rgb(1), 2, "-o OUT.bmp is required"},
        {"render -o " + bmp, 2, "expected 1 file argument"},
        {"info --background 1,2,3 " + Rgb(1), 2, "--background needs X,Y,W,H"},
        {"info --colour " + Rgb(1), 2, "Unknown option"},
        {"frobnicate", 2, "unknown command frobnicate"},
        {"", 2, "no command given"},
        {"render -o /dev/full " + Rgb(1), 1, "cannot write /dev/full"},
        {"render -o " + dir.file("no/such/dir.bmp") + " " + Rgb(1), 1, "cannot write"},
        {"info " + dir.file("missing.fit"), 1, "FITSIO Library Error"},
        {"info --settings " + dir.file("missing.ini") + " " + Rgb(1), 1, "cannot read the settings file"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(RunCli(c.args, &err, true), c.status) << c.args;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.args << "\n" << err;
        if (c.status == 2) {
            EXPECT_NE(err.find("usage: velmora-cli"), std::string::npos) << c.args;
        }
    }
    std::string help;
    EXPECT_EQ(RunCli("help render", &help), 0);
    EXPECT_EQ(help.rfind("usage: velmora-cli render", 0), 0u);
}
