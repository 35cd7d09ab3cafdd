// velmora-cli align and merge --align on frames make-frames moved by known
// amounts: the printed moves against the true ones, the output format other
// programs parse, frames without stars, colour frames.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace {

constexpr int kWidth = 1024, kHeight = 768;

struct Move {
    double dx = 0.0, dy = 0.0, angleDeg = 0.0, scale = 1.0;
};

// Where a move takes the reference pixel (x, y), by the documented formula.
void MovePoint(const Move& m, int W, int H, double x, double y, double& u, double& v)
{
    const double cx = (W - 1) / 2.0, cy = (H - 1) / 2.0, a = m.angleDeg * 3.14159265358979323846 / 180.0;
    u = cx + m.dx + m.scale * (std::cos(a) * (x - cx) - std::sin(a) * (y - cy));
    v = cy + m.dy + m.scale * (std::sin(a) * (x - cx) + std::cos(a) * (y - cy));
}

double CornerError(const Move& l, const Move& r, int W, int H)
{
    double worst = 0.0;
    for (double x : {0.0, W - 1.0})
        for (double y : {0.0, H - 1.0}) {
            double lu, lv, ru, rv;
            MovePoint(l, W, H, x, y, lu, lv);
            MovePoint(r, W, H, x, y, ru, rv);
            worst = std::max(worst, std::hypot(lu - ru, lv - rv));
        }
    return worst;
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        fields.push_back(field);
    return fields;
}

// Lines after the header of an align output or a make-frames moves file.
std::vector<std::vector<std::string>> Rows(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            rows.push_back(SplitTabs(line));
    return rows;
}

std::map<std::string, Move> Moves(const std::vector<std::vector<std::string>>& rows)
{
    std::map<std::string, Move> moves;
    for (const auto& f : rows)
        if (f.size() >= 5 && f[1] != "failed")
            moves[f[0]] = {std::stod(f[1]), std::stod(f[2]), std::stod(f[3]), std::stod(f[4])};
    return moves;
}

// One scratch folder for the suite: make-frames runs once per set. Commands
// run inside it, so paths are given (and printed) relative.
class AlignCli : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new ScratchDir;
        for (const char* options : {"--out moved --count 4 --dither 25,3", "--out still --count 4",
                                    "--out colour --count 3 --planes 3 --dither 20,180"})
            ASSERT_EQ(Run(std::string(MAKE_FRAMES) + " --seed 5 --width " + std::to_string(kWidth) + " --height " +
                          std::to_string(kHeight) + " " + options),
                      0);
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    // The exit status; stdout into out (stderr into err when given).
    static int Run(const std::string& command, std::string* out = nullptr, std::string* err = nullptr)
    {
        const std::string errFile = s_dir->file("stderr.txt");
        std::string text;
        const int status = RunCommand("cd " + s_dir->path().string() + " && { " + command + " 2>" + errFile + "; }", &text);
        if (out)
            *out = text;
        if (err)
            *err = ReadBytes(errFile);
        return status;
    }
    static std::string Read(const std::string& name) { return ReadBytes(s_dir->file(name)); }

    static ScratchDir* s_dir;
};

ScratchDir* AlignCli::s_dir = nullptr;

TEST_F(AlignCli, PrintsTheTrueMovesInTheDocumentedFormat)
{
    std::string out;
    // given out of order: the output follows frame order
    ASSERT_EQ(Run(VELMORA_CLI " align moved/frame_003.fit moved/frame_001.fit moved/frame_004.fit moved/frame_002.fit",
                  &out),
              0)
        << out;
    EXPECT_EQ(out.substr(0, out.find('\n')), "# name dx dy angle_deg scale stars rms_px");
    const auto rows = Rows(out);
    const auto truth = Moves(Rows(Read("moved/frame_moves.txt")));
    ASSERT_EQ(rows.size(), 4u);
    ASSERT_EQ(truth.size(), 4u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string name = "moved/frame_00" + std::to_string(i + 1) + ".fit";
        ASSERT_EQ(rows[i].size(), 7u) << out;
        EXPECT_EQ(rows[i][0], name);
        EXPECT_GE(std::stoi(rows[i][5]), 15) << name;
        EXPECT_LT(std::stod(rows[i][6]), 0.3) << name;
    }
    const auto found = Moves(rows);
    for (const auto& [name, move] : truth) {
        ASSERT_TRUE(found.count(name)) << name;
        EXPECT_LT(CornerError(found.at(name), move, kWidth, kHeight), 0.05) << name;
    }
    EXPECT_GT(std::fabs(truth.at("moved/frame_002.fit").dx), 0.5);  // the set really moved
}

TEST_F(AlignCli, UnmovedFramesGiveTheIdentity)
{
    std::string out;
    ASSERT_EQ(Run(VELMORA_CLI " align --reference still/frame_002.fit still/*.fit", &out), 0) << out;
    const auto found = Moves(Rows(out));
    ASSERT_EQ(found.size(), 4u) << out;
    for (const auto& [name, move] : found) {
        EXPECT_LT(std::fabs(move.dx), 0.015) << name;
        EXPECT_LT(std::fabs(move.dy), 0.015) << name;
        EXPECT_LT(CornerError(move, Move(), kWidth, kHeight), 0.02) << name;
    }
    // the reference itself, exactly
    EXPECT_EQ(SplitTabs(out.substr(out.find("still/frame_002.fit"))).at(1).substr(0, 6), "0.0000");
}

TEST_F(AlignCli, ColourFramesTurnedBy180Degrees)
{
    std::string out;
    ASSERT_EQ(Run(VELMORA_CLI " align colour/frame_*.fit", &out), 0) << out;
    const auto truth = Moves(Rows(Read("colour/frame_moves.txt")));
    const auto found = Moves(Rows(out));
    ASSERT_EQ(found.size(), 3u) << out;
    for (const auto& [name, move] : truth)
        EXPECT_LT(CornerError(found.at(name), move, kWidth, kHeight), 0.05) << name;
}

TEST_F(AlignCli, AFrameWithoutStarsIsReportedAndLeftOutOfTheMerge)
{
    // Read noise with hot pixels and short cosmic-ray tracks, nothing else.
    std::vector<float> pixels(static_cast<size_t>(kWidth) * kHeight);
    uint64_t state = 11;
    for (float& p : pixels) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        p = 800.0f + static_cast<float>((state >> 40) % 41) - 20.0f;
    }
    for (int k = 0; k < 400; ++k)
        pixels[(static_cast<size_t>(k) * 7919u * 131u) % pixels.size()] = 30000.0f;
    for (int k = 0; k < 30; ++k)
        for (int t = 0; t < 3; ++t)
            pixels[static_cast<size_t>(40 + k * 20 + t) * kWidth + 100 + k * 25] = 20000.0f;
    std::filesystem::create_directory(s_dir->file("blank"));
    WriteTestFits(s_dir->file("blank/frame_000.fit"), -32, kWidth, kHeight, 1, pixels);

    std::string out, err;
    EXPECT_EQ(Run(VELMORA_CLI " align --reference moved/frame_001.fit blank/frame_000.fit moved/frame_002.fit", &out),
              1);
    const auto rows = Rows(out);
    ASSERT_EQ(rows.size(), 2u) << out;
    ASSERT_EQ(rows[0].size(), 3u) << out;
    EXPECT_EQ(rows[0][0], "blank/frame_000.fit");
    EXPECT_EQ(rows[0][1], "failed");
    EXPECT_NE(rows[0][2].find("too few stars"), std::string::npos) << rows[0][2];
    EXPECT_EQ(rows[1].size(), 7u);

    // Merged, it is named and left out: the result is the merge without it.
    ASSERT_EQ(Run(VELMORA_CLI " merge -q --align --sigma 3 --reference moved/frame_001.fit -o with.fit "
                              "blank/frame_000.fit moved/*.fit",
                  nullptr, &err),
              0);
    EXPECT_NE(err.find("blank/frame_000.fit"), std::string::npos) << err;
    EXPECT_NE(err.find("left out of the merge"), std::string::npos) << err;
    ASSERT_EQ(Run(VELMORA_CLI " merge -q --align --sigma 3 -o without.fit moved/*.fit"), 0);
    const std::vector<float> with = ReadTestPixels(s_dir->file("with.fit"));
    ASSERT_EQ(with.size(), pixels.size());
    EXPECT_TRUE(with == ReadTestPixels(s_dir->file("without.fit")));
}

TEST_F(AlignCli, AFrameWhoseRectangleHasNoDataIsReportedAndLeftOut)
{
    // The frame moved furthest sideways leaves a strip along that edge of the
    // reference grid without data: a background rectangle inside the strip
    // has none for it, while every other frame still has enough there (or
    // none either, then it is named just the same).
    const std::map<std::string, Move> truth = Moves(Rows(Read("moved/frame_moves.txt")));
    std::string far;
    for (const auto& [name, move] : truth)
        if (far.empty() || std::fabs(move.dx) > std::fabs(truth.at(far).dx))
            far = name;
    const Move m = truth.at(far);
    ASSERT_GE(std::fabs(m.dx), 12.0) << "no frame moved far enough sideways";
    // Rows around the middle, where the turn moves the edge by well under a pixel.
    const int stripWidth = static_cast<int>(std::fabs(m.dx)) - 3;
    const int x0 = m.dx > 0 ? kWidth - stripWidth : 0;
    const std::string background =
        std::to_string(x0) + "," + std::to_string(kHeight / 2 - 10) + "," + std::to_string(stripWidth) + ",20";
    const std::string rects = " --background " + background + " --signal 448,320,128,128";
    std::vector<std::string> others;
    for (const auto& [name, move] : truth)
        if (name != far)
            others.push_back(name);

    std::string err;
    ASSERT_EQ(Run(VELMORA_CLI " merge -q --align --sigma 3 --reference moved/frame_001.fit" + rects +
                      " -o norect-with.fit moved/*.fit",
                  nullptr, &err),
              0);
    EXPECT_NE(err.find(far), std::string::npos) << err;
    EXPECT_NE(err.find("no data in the background or signal rectangle"), std::string::npos) << err;
    // The result is the merge without it.
    std::string without = VELMORA_CLI " merge -q --align --sigma 3 --reference moved/frame_001.fit" + rects +
                          " -o norect-without.fit";
    for (const std::string& name : others)
        without += " " + name;
    ASSERT_EQ(Run(without), 0);
    EXPECT_TRUE(ReadTestPixels(s_dir->file("norect-with.fit")) == ReadTestPixels(s_dir->file("norect-without.fit")));
}

TEST_F(AlignCli, AlignedMergeLiesOnTheReferenceGrid)
{
    // The stars of the aligned merge of the moved set sit where those of the
    // same field merged unmoved do.
    ASSERT_EQ(Run(VELMORA_CLI " merge -q --align --sigma 3 -o aligned.fit moved/*.fit"), 0);
    ASSERT_EQ(Run(VELMORA_CLI " merge -q --sigma 3 -o still.fit still/*.fit"), 0);
    std::string out;
    ASSERT_EQ(Run(VELMORA_CLI " align --reference still.fit aligned.fit", &out), 0) << out;
    const auto rows = Rows(out);
    ASSERT_EQ(rows.size(), 1u) << out;
    ASSERT_EQ(rows[0].size(), 7u) << out;
    EXPECT_GE(std::stoi(rows[0][5]), 15) << out;
    EXPECT_LT(CornerError(Moves(rows).at("aligned.fit"), Move(), kWidth, kHeight), 0.05) << out;
}

}  // namespace
