// velmora-cli merge and report on frames from make-frames, checked against
// the core driven in-process the way the desktop program drives it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "report/NoiseReport.h"
#include "image/ResultSave.h"
#include "merge/MergeEngine.h"
#include "merge/RectStats.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

const ImageRect kBackground{2, 2, 20, 12};
const ImageRect kSignal{26, 18, 12, 12};
const std::string kRects = " --background 2,2,20,12 --signal 26,18,12,12";

std::string KeyValue(const std::string& path, const std::string& name)
{
    for (const auto& [key, value] : ReadKeywordRecords(path))
        if (key == name)
            return value;
    return "<missing>";
}

int RunCli(const std::string& args, std::string* out = nullptr, bool stdoutOnly = false)
{
    return RunCommand("{ " VELMORA_CLI " " + args + (stdoutOnly ? " 2>/dev/null" : "") + "; }", out);
}

bool FitsVerifyClean(const std::string& path, std::string* report)
{
    return RunCommand(std::string(FITSVERIFY) + " -e '" + path + "'", report) == 0;
}

class MergeReport : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = std::make_unique<ScratchDir>();
        ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + s_dir->file("rgb") + " --count 5 --width 64 --height 48 --planes 3"), 0);
        ASSERT_EQ(RunCommand(MAKE_FRAMES " --out " + s_dir->file("mono") + " --count 3 --width 64 --height 48"), 0);
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    static std::vector<std::string> Frames(const std::string& set)
    {
        std::vector<std::string> frames;
        for (const auto& entry : fs::directory_iterator(s_dir->file(set)))
            if (entry.path().extension() == ".fit")
                frames.push_back(entry.path().string());
        return frames;
    }
    static std::string Joined(const std::vector<std::string>& frames)
    {
        std::string text;
        for (const std::string& f : frames)
            text += " '" + f + "'";
        return text;
    }

    // What the desktop program writes: the reference on display, Create, Save.
    static void MergeInProcess(const std::vector<std::string>& frames, const MergeParams& params,
                               const std::string& out, int type, CMergeEngine& engine)
    {
        for (const std::string& f : frames)
            engine.AddFrame(f);
        engine.m_params = params;
        engine.m_rcNoise = kBackground;
        engine.m_rcLight = kSignal;
        ErrorRecorder host;
        CFitsImage image;
        ASSERT_TRUE(image.Load(*engine.m_files.begin(), host));
        CPreviewBitmap bitmap;
        ASSERT_TRUE(engine.Merge(image, bitmap, host));
        const ResultProvenance provenance = DescribeMerge(engine);
        ASSERT_TRUE(SaveResult(image, out, type, engine.m_files.size(), engine.m_exposureSum, host, &provenance));
    }

    static std::unique_ptr<ScratchDir> s_dir;
};
std::unique_ptr<ScratchDir> MergeReport::s_dir;

}  // namespace

TEST_F(MergeReport, ResultIsTheDesktopProgramsFileByteForByte)
{
    MergeParams sigma;
    sigma.m_useSigma = true;
    sigma.m_sigma = 2.5f;
    sigma.m_sigmaFade = 0.3f;
    sigma.m_normalizeArea = 8;
    sigma.m_ignoreWhite = true;
    sigma.m_whiteLimit = 60000;
    struct Case {
        const char* name;
        std::string options;
        MergeParams params;
        int type;
    };
    const Case cases[] = {
        {"simple", " --type float" + kRects, MergeParams{}, FITS_SAVE_FLOAT},
        {"clipped", " --sigma 2.5 --fade 0.3 --normalize-area 8 --white-limit 60000 --type uint" + kRects, sigma,
         FITS_SAVE_UINT},
    };
    const std::vector<std::string> frames = Frames("rgb");
    for (const Case& c : cases) {
        ScratchDir out;
        const std::string cli = out.file("cli.fit"), core = out.file("core.fit");
        std::string log;
        ASSERT_EQ(RunCli("merge -q -o '" + cli + "'" + c.options + Joined(frames), &log), 0) << log;
        EXPECT_EQ(log, "") << c.name;
        CMergeEngine engine;
        MergeInProcess(frames, c.params, core, c.type, engine);
        EXPECT_EQ(ReadBytes(cli), ReadBytes(core)) << c.name;
        EXPECT_EQ(KeyValue(cli, "SNAPSHOT"), "5");
        EXPECT_EQ(std::stod(KeyValue(cli, "EXPOSURESUM")), 600.0);
        EXPECT_EQ(std::stod(KeyValue(cli, "EXPTIME")), 120.0);
        std::string report;
        EXPECT_TRUE(FitsVerifyClean(cli, &report)) << report;
    }
}

TEST_F(MergeReport, SettingsFileAndLocalScalesAsOptions)
{
    const std::vector<std::string> frames = Frames("mono");
    ScratchDir out;
    const std::string ini = out.file("Velmora.ini");
    std::ofstream(ini) << "[Params]\nUseSigma=1\nSigmaVal1000=2000\nSigmaFade1000=100\nNormalizeArea=6\n"
                          "IgnoreBlack=1\nBlackLimit=50\n[NoiseFrame]\nStartX=2\nStartY=2\nSizeX=20\nSizeY=12\n"
                          "[LightFrame]\nStartX=26\nStartY=18\nSizeX=12\nSizeY=12\n";
    const std::string scale = " --local-scale '" + frames[0] + "=0.8'";
    ASSERT_EQ(RunCli("merge -q --settings '" + ini + "' -o '" + out.file("a.fit") + "'" + scale + Joined(frames)), 0);
    ASSERT_EQ(RunCli("merge -q --sigma 2 --fade 0.1 --normalize-area 6 --black-limit 50 -o '" + out.file("b.fit") +
                     "'" + kRects + scale + Joined(frames)),
              0);
    EXPECT_EQ(ReadBytes(out.file("a.fit")), ReadBytes(out.file("b.fit")));
    ASSERT_EQ(RunCli("merge -q --sigma 2 --fade 0.1 --normalize-area 6 --black-limit 50 -o '" + out.file("c.fit") +
                     "'" + kRects + Joined(frames)),
              0);
    EXPECT_NE(ReadBytes(out.file("a.fit")), ReadBytes(out.file("c.fit")));

    // The options given win over the settings file.
    ASSERT_EQ(RunCli("merge -q --settings '" + ini + "' --sigma 3 -o '" + out.file("d.fit") + "'" + Joined(frames)), 0);
    MergeParams p;
    p.m_useSigma = true;
    p.m_sigma = 3.0f;
    p.m_sigmaFade = 0.1f;
    p.m_normalizeArea = 6;
    p.m_ignoreBlack = true;
    p.m_blackLimit = 50;
    CMergeEngine engine;
    MergeInProcess(frames, p, out.file("e.fit"), FITS_SAVE_FLOAT, engine);
    EXPECT_EQ(ReadBytes(out.file("d.fit")), ReadBytes(out.file("e.fit")));
}

TEST_F(MergeReport, AverageDeviationAndBitmaps)
{
    ScratchDir out;
    std::vector<std::string> frames;
    for (const std::string& f : Frames("mono")) {
        frames.push_back(out.file(fs::path(f).filename().string()));
        fs::copy_file(f, frames.back());
    }
    ASSERT_EQ(RunCli("merge -q --sigma 3 --save-bitmaps --average '" + out.file("avg.fit") + "' --deviation '" +
                     out.file("dev.fit") + "' -o '" + out.file("r.fit") + "'" + kRects + Joined(frames)),
              0);
    MergeParams p;
    p.m_useSigma = true;
    CMergeEngine engine;
    MergeInProcess(frames, p, out.file("core.fit"), FITS_SAVE_FLOAT, engine);
    EXPECT_EQ(ReadBytes(out.file("r.fit")), ReadBytes(out.file("core.fit")));
    for (const auto& [file, image] : {std::pair{"avg.fit", &engine.m_average}, std::pair{"dev.fit", &engine.m_deviation}}) {
        int bitpix = 0;
        const std::vector<float> px = ReadTestPixels(out.file(file), nullptr, nullptr, nullptr, &bitpix);
        EXPECT_EQ(bitpix, -32);
        ASSERT_EQ(px.size(), static_cast<size_t>(image->GetPixelCount()));
        EXPECT_TRUE(std::equal(px.begin(), px.end(), image->m_pData)) << file;
        EXPECT_EQ(KeyValue(out.file(file), "SNAPSHOT"), "3");
        std::string report;
        EXPECT_TRUE(FitsVerifyClean(out.file(file), &report)) << report;
    }
    for (const std::string& f : frames) {
        const std::string bmp = f.substr(0, f.size() - 4) + "_.bmp";
        ASSERT_TRUE(fs::exists(bmp)) << bmp;
        EXPECT_EQ(ReadBytes(bmp).substr(0, 2), "BM");
    }
}

TEST_F(MergeReport, SkippedFramesStillCountAndExistingOutputIsRefused)
{
    ScratchDir out;
    std::vector<std::string> frames = Frames("rgb");
    const std::string broken = out.file("broken.fit");
    std::ofstream(broken) << "not FITS";
    frames.push_back(broken);
    frames.push_back(Frames("mono")[0]);  // another plane count
    const std::string result = out.file("r.fit");
    std::string log;
    const std::string reference = " --reference '" + Frames("rgb")[0] + "'";
    ASSERT_EQ(RunCli("merge --sigma 3 -o '" + result + "'" + reference + kRects + Joined(frames), &log), 0) << log;
    EXPECT_NE(log.find("FITSIO Library Error"), std::string::npos) << log;
    EXPECT_NE(log.find(Frames("mono")[0] + ": Image has different size!"), std::string::npos) << log;
    EXPECT_EQ(KeyValue(result, "SNAPSHOT"), "7");
    EXPECT_EQ(std::stod(KeyValue(result, "EXPOSURESUM")), 600.0);

    const std::string before = ReadBytes(result);
    EXPECT_EQ(RunCli("merge -q -o '" + result + "'" + Joined(frames), &log), 1);
    EXPECT_NE(log.find("exists"), std::string::npos) << log;
    EXPECT_EQ(ReadBytes(result), before);

    struct Usage {
        std::string args;
    };
    const Usage usages[] = {{"merge" + Joined(frames)},
                            {"merge -o '" + out.file("x.fit") + "'"},
                            {"merge --type double -o '" + out.file("x.fit") + "'" + Joined(frames)},
                            {"merge --deviation '" + out.file("d.fit") + "' -o '" + out.file("x.fit") + "'" + Joined(frames)},
                            {"merge --local-scale nowhere.fit=2 -o '" + out.file("x.fit") + "'" + Joined(frames)}};
    for (const Usage& u : usages)
        EXPECT_EQ(RunCli(u.args, &log), 2) << u.args << "\n" << log;
    EXPECT_FALSE(fs::exists(out.file("x.fit")));
}

TEST_F(MergeReport, ReportLinesAndTableRows)
{
    std::vector<std::string> frames = Frames("rgb");
    for (const std::string& f : Frames("mono"))
        frames.push_back(f);
    FrameSet set(frames.begin(), frames.end());
    ErrorRecorder host;
    const std::vector<FileListRow> rows = BuildFileList(set, kBackground, kSignal, host);
    ASSERT_EQ(rows.size(), 8u);

    std::string text;
    ASSERT_EQ(RunCli("report" + kRects + Joined(frames), &text, true), 0);
    EXPECT_EQ(text, NoiseReportText(rows));

    ScratchDir out;
    const std::string csv = out.file("imgNoise.csv");
    ASSERT_EQ(RunCli("report --csv '" + csv + "'" + kRects + Joined(frames) + " '" + out.file("gone.fit") + "'", &text, true),
              0);
    EXPECT_EQ(ReadBytes(csv), NoiseReportText(rows));
    std::string table;
    for (const FileListRow& row : rows)
        table += row.name + "\t" + row.snText + "\t" + row.sizeText + "\n";
    EXPECT_EQ(text, table);
    // Frame order: the three mono frames, then the colour frames.
    EXPECT_EQ(rows[0].snText.find(" Nd "), std::string::npos);
    EXPECT_NE(rows[1].snText.find(" Nd "), std::string::npos);
    EXPECT_EQ(rows[3].snText.find(" Nd "), std::string::npos);
    EXPECT_NE(rows[4].snText.find(" Nd "), std::string::npos);
}

TEST_F(MergeReport, RobustMergeWithRejectionFigures)
{
    ScratchDir out;
    const std::vector<std::string> frames = Frames("rgb");
    const std::string stats = out.file("stats.csv"), map = out.file("map.fit"), result = out.file("r.fit");
    std::string log;
    ASSERT_EQ(RunCli("merge --robust --sigma 2 --fade 0.5 --stats '" + stats + "' --rejection-map '" + map + "' -o '" +
                         result + "'" + kRects + Joined(frames) + " 2>&1",
                     &log),
              0)
        << log;
    MergeParams p;
    p.m_useSigma = true;
    p.m_sigma = 2.0f;
    p.m_sigmaFade = 0.5f;
    p.m_robust = true;
    CMergeEngine engine;
    engine.m_rejectionFigures = true;
    MergeInProcess(frames, p, out.file("core.fit"), FITS_SAVE_FLOAT, engine);
    EXPECT_EQ(ReadBytes(result), ReadBytes(out.file("core.fit")));

    // One stderr line per frame, one CSV row per frame and plane, the same figures.
    ASSERT_EQ(engine.m_rejections.size(), 5u);
    std::string expectedCsv = "frame;plane;rejected;faded\n";
    double rejected = 0.0, cut = 0.0;
    for (const FrameRejection& frame : engine.m_rejections) {
        EXPECT_NE(log.find(fs::path(frame.path).filename().string() + ": rejected "), std::string::npos) << log;
        for (int c = 0; c < 3; ++c) {
            char row[512];
            std::snprintf(row, sizeof row, "%s;%d;%.6f;%.6f\n", frame.path.c_str(), c,
                          static_cast<double>(frame.rejected[c]), static_cast<double>(frame.faded[c]));
            expectedCsv += row;
            rejected += frame.rejected[c] * 64.0 * 48.0;
            cut += (frame.rejected[c] + frame.faded[c]) * 64.0 * 48.0;
        }
    }
    EXPECT_EQ(ReadBytes(stats), expectedCsv);
    EXPECT_GT(rejected, 0.0);  // make-frames puts cosmic rays into every frame

    // The map counts every frame rejected outright as 1 and a faded one by
    // its rejected part.
    int w = 0, h = 0, planes = 0, bitpix = 0;
    const std::vector<float> px = ReadTestPixels(map, &w, &h, &planes, &bitpix);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
    EXPECT_EQ(planes, 3);
    EXPECT_EQ(bitpix, -32);
    double sum = 0.0;
    for (const float v : px) {
        EXPECT_GE(v, 0.0f);
        EXPECT_LE(v, 5.0f);
        sum += v;
    }
    EXPECT_GE(sum, rejected - 1e-3);
    EXPECT_LE(sum, cut + 1e-3);
    std::string report;
    EXPECT_TRUE(FitsVerifyClean(map, &report)) << report;

    // The figures need the clipping; quiet merges print none.
    for (const std::string& option :
         {" --stats '" + out.file("s.csv") + "'", " --rejection-map '" + out.file("m.fit") + "'"})
        EXPECT_EQ(RunCli("merge --robust -o '" + out.file("x.fit") + "'" + option + Joined(frames), &log), 2) << log;
    ASSERT_EQ(RunCli("merge -q --robust --sigma 3 -o '" + out.file("q.fit") + "'" + kRects + Joined(frames) + " 2>&1",
                     &log),
              0);
    EXPECT_EQ(log, "");
}

TEST_F(MergeReport, RobustInfoAndReportShowTheMergesFigures)
{
    const std::vector<std::string> frames = Frames("rgb");
    FrameSet set(frames.begin(), frames.end());
    ErrorRecorder host;
    const std::vector<FileListRow> rows = BuildFileList(set, kBackground, kSignal, host, true);
    std::string text;
    ASSERT_EQ(RunCli("report --robust" + kRects + Joined(frames), &text, true), 0);
    EXPECT_EQ(text, NoiseReportText(rows));
    EXPECT_NE(text, NoiseReportText(BuildFileList(set, kBackground, kSignal, host)));

    CFitsImage image;
    ASSERT_TRUE(image.Load(frames[0], host));
    const InfoLine info = FormatInfoLine(image, kBackground, kSignal, true);
    ASSERT_EQ(RunCli("info --robust" + kRects + " '" + frames[0] + "'", &text, true), 0);
    EXPECT_EQ(text, info.text + "\n" + info.caption + "\n");
}
