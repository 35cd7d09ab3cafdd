// A merge split over several threads writes the same bytes as one thread:
// results, average, deviation and the tinted pictures of "Save Bitmaps".

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

struct ThreadCase {
    const char* name;
    const char* frames;   // make-frames options
    const char* options;  // merge options
};

// Odd sizes, so that neither rows nor blocks divide evenly among threads.
const ThreadCase kCases[] = {
    {"colour_clip_area", "--count 7 --width 203 --height 157 --planes 3",
     "--background 4,4,40,30 --signal 86,62,30,30 --sigma 2.5 --fade 0.3 --normalize-area 16 --black-limit 600 "
     "--white-limit 20000 --save-bitmaps"},
    {"mono_float_clip", "--count 5 --width 250 --height 131 --type float",
     "--background 4,4,40,30 --signal 110,50,30,30 --sigma 3 --fade 0 --normalize-area 5"},
    {"simple_large_blocks", "--count 4 --width 120 --height 97 --planes 3", "--sigma 2 --normalize-area 40"},
    {"aligned_clip", "--count 3 --width 517 --height 401 --dither 6,2", "--align --sigma 2.5"},
    {"robust_colour_area", "--count 6 --width 203 --height 157 --planes 3",
     "--background 4,4,40,30 --signal 86,62,30,30 --robust --sigma 2.5 --fade 0.3 --normalize-area 16 "
     "--save-bitmaps"},
    {"robust_mono_float", "--count 5 --width 250 --height 131 --type float",
     "--background 4,4,40,30 --signal 110,50,30,30 --robust --sigma 3 --fade 0"},
};

class ThreadsIdentical : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(ThreadsIdentical, SameBytesForEveryThreadCount)
{
    const ThreadCase& c = GetParam();
    ScratchDir dir;
    const std::string frames = dir.file("frames");
    ASSERT_EQ(RunCommand(std::string(MAKE_FRAMES) + " --out " + frames + " " + c.frames), 0);

    std::vector<std::string> first;  // the files of the one-thread run
    for (int threads : {1, 2, 3, 8}) {
        const std::string out = dir.file(std::to_string(threads) + "_threads");
        fs::create_directory(out);
        std::string log;
        ASSERT_EQ(RunCommand(std::string(VELMORA_CLI) + " merge -q --threads " + std::to_string(threads) + " " +
                                 c.options + " -o " + out + "/result.fit --average " + out + "/average.fit" +
                                 " --deviation " + out + "/deviation.fit " + frames + "/*.fit 2>&1",
                             &log),
                  0)
            << log;
        std::vector<std::string> files;
        for (const char* name : {"/result.fit", "/average.fit", "/deviation.fit"})
            files.push_back(ReadBytes(out + name));
        // The pictures are rewritten beside the frames by every run.
        for (const auto& entry : fs::directory_iterator(frames))
            if (entry.path().extension() == ".bmp")
                files.push_back(entry.path().filename().string() + ReadBytes(entry.path().string()));
        std::sort(files.begin() + 3, files.end());
        if (threads == 1) {
            first = files;
            ASSERT_GT(first[0].size(), 2880u * 2);
            continue;
        }
        ASSERT_EQ(files.size(), first.size()) << threads << " threads";
        for (size_t i = 0; i < files.size(); ++i)
            EXPECT_TRUE(files[i] == first[i]) << "file " << i << " differs with " << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ThreadsIdentical, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
