#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>

#include "platform/FileNames.h"
#include "report/NoiseReport.h"
#include "support/TestFiles.h"

namespace {

const ImageRect kBackground{0, 0, 10, 10};
const ImageRect kSignal{10, 0, 10, 10};

// Planes of width x 20: the background rectangle a checkerboard of bk - dev
// and bk + dev, the signal rectangle at bk + signal, the rest at bk.
std::vector<float> Scene(int width, std::vector<float> bk, std::vector<float> dev, std::vector<float> signal)
{
    const int height = 20;
    std::vector<float> px;
    for (size_t p = 0; p < bk.size(); ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                float v = bk[p];
                if (y < 10 && x < 10)
                    v += (x + y) % 2 ? dev[p] : -dev[p];
                else if (y < 10 && x < 20)
                    v += signal[p];
                px.push_back(v);
            }
    return px;
}

// A mixed set: colour, two mono frames, an unreadable file, a mono frame of
// another width; in frame order c1, m1, m2, x, z.
struct MixedSet {
    ScratchDir dir;
    FrameSet files;
    std::string broken;

    MixedSet()
    {
        auto add = [&](const char* name, int width, int planes, const std::vector<float>& px) {
            WriteTestFits(dir.file(name), -32, width, 20, planes, px);
            files.insert(dir.file(name));
        };
        add("c1.fit", 30, 3, Scene(30, {100, 200, 300}, {10, 20, 30}, {1000, 1000, 1500}));
        add("m1.fit", 30, 1, Scene(30, {100}, {10}, {1000}));
        add("m2.fit", 30, 1, Scene(30, {200}, {20}, {500}));
        add("z.fit", 40, 1, Scene(40, {100}, {10}, {1000}));
        broken = dir.file("x.fit");
        std::ofstream(broken) << "no FITS";
        files.insert(broken);
    }
};

}  // namespace

TEST(NoiseReport, RowsTextsAndReportLines)
{
    MixedSet set;
    ErrorRecorder host;
    const std::vector<FileListRow> rows = BuildFileList(set.files, kBackground, kSignal, host);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(set.files.size(), 4u);
    EXPECT_EQ(set.files.count(set.broken), 0u);
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_EQ(host.errors[0].caption, kFitsErrorCaption);

    struct Expected {
        const char* name;
        int planes;
        const char* sn;
        const char* size;
        const char* line;
    };
    const Expected expected[] = {
        {"c1.fit", 3, "S/N 100.0 50.0 50.0", "col 30 x 20",
         "c1.fit;10.000000;20.000000;30.000000;100.000000;50.000000;50.000000;0.000000;0.000000;0.000000;30;20;3;\n"},
        {"m1.fit", 1, "S/N 100.00", "bw 30 x 20", "m1.fit;10.000000;100.000000;0.000000;30;20;1;\n"},
        {"m2.fit", 1, "S/N 25.00 Nd 7.07", "bw 30 x 20", "m2.fit;20.000000;25.000000;7.070000;30;20;1;\n"},
        {"z.fit", 1, "S/N 100.00", "bw 40 x 20", "z.fit;10.000000;100.000000;0.000000;40;20;1;\n"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].name, expected[i].name);
        EXPECT_EQ(rows[i].planes, expected[i].planes);
        EXPECT_EQ(rows[i].snText, expected[i].sn);
        EXPECT_EQ(rows[i].sizeText, expected[i].size);
        EXPECT_EQ(rows[i].reportLine, expected[i].line);
    }
    EXPECT_FLOAT_EQ(rows[0].sortValue, 200.0f / 3);

    ScratchDir out;
    ASSERT_TRUE(WriteNoiseReport(out.file("imgNoise.csv"), rows));
    const std::string text = ReadBytes(out.file("imgNoise.csv"));
    EXPECT_EQ(text, NoiseReportText(rows));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
    EXPECT_FALSE(WriteNoiseReport(out.file("missing/imgNoise.csv"), rows));
}

TEST(NoiseReport, SortOrders)
{
    MixedSet set;
    ErrorRecorder host;
    const std::vector<FileListRow> rows = BuildFileList(set.files, kBackground, kSignal, host);
    for (bool bySn : {false, true}) {
        std::vector<int> order{0, 1, 2, 3};
        // a goes before b when b follows a.
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return CompareRows(rows, b, a, bySn) == 1; });
        std::vector<std::string> names;
        for (int r : order)
            names.push_back(rows[static_cast<size_t>(r)].name);
        if (bySn)
            EXPECT_EQ(names, (std::vector<std::string>{"c1.fit", "m1.fit", "z.fit", "m2.fit"}));
        else
            EXPECT_EQ(names, (std::vector<std::string>{"z.fit", "m2.fit", "m1.fit", "c1.fit"}));
    }
    EXPECT_EQ(CompareRows(rows, 1, 3, true), 0);  // equal planes and S/N
    EXPECT_EQ(CompareRows(rows, 3, 1, true), 0);

    // An S/N of 0 / 0 follows every number, so that the order stays a strict
    // weak ordering for the sort.
    std::vector<FileListRow> odd(3);
    odd[0].sortValue = 5.0f;
    odd[1].sortValue = std::numeric_limits<float>::quiet_NaN();
    odd[2].sortValue = -std::numeric_limits<float>::infinity();
    for (int number : {0, 2}) {
        EXPECT_EQ(CompareRows(odd, 1, number, true), 1) << number;
        EXPECT_EQ(CompareRows(odd, number, 1, true), 0) << number;
    }
}

TEST(NoiseReport, UnusableRectanglesShowTheNoiseOrZero)
{
    struct Case {
        ImageRect background, signal;
        const char* colour;
        const char* colourLine;
        const char* mono;
    };
    const Case cases[] = {
        // Signal rectangle unusable: the noise of the background; S/N of the neutral signal 100.
        {kBackground, ImageRect{}, "N 10.0 20.0 30.0",
         "c1.fit;10.000000;20.000000;30.000000;10.000000;5.000000;3.333333;0.000000;0.000000;0.000000;30;20;3;\n",
         "N 10.00"},
        // Background unusable too: no plane has a noise.
        {ImageRect{0, 0, 9, 11}, kSignal, "N 0.0 0.0 0.0",
         "c1.fit;0.000000;0.000000;0.000000;inf;inf;inf;0.000000;0.000000;0.000000;30;20;3;\n", "N 0.00"},
    };
    for (const Case& c : cases) {
        MixedSet set;
        ErrorRecorder host;
        const std::vector<FileListRow> rows = BuildFileList(set.files, c.background, c.signal, host);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[0].snText, c.colour);
        EXPECT_EQ(rows[0].reportLine, c.colourLine);
        EXPECT_EQ(rows[1].snText, c.mono);
    }
}

TEST(NoiseReport, NamesAndEmptySet)
{
    EXPECT_EQ(FrameName("/sky/m31/frame_01.fit"), "frame_01.fit");
    EXPECT_EQ(FrameName("frame_01.fit"), "???");
    FrameSet none;
    ErrorRecorder host;
    EXPECT_TRUE(BuildFileList(none, kBackground, kSignal, host).empty());
    EXPECT_EQ(NoiseReportText({}), "");
}
