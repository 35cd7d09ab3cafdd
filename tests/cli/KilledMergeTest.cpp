// A velmora-cli merge killed at random moments (SIGKILL, so nothing of it
// runs afterwards): every file it writes, the result, the average and
// deviation images and the tinted pictures, is either absent (or the earlier
// file) or complete under its name, and a result that existed is never
// touched.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

// Starts the command (through sh, which execs it, so the process is the tool).
pid_t Start(const std::string& command)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + command + " >/dev/null 2>&1").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

}  // namespace

TEST(KilledMerge, LeavesWholeFilesOrNone)
{
    ScratchDir dir;
    const std::string frames = dir.file("frames");
    ASSERT_EQ(RunCommand(MAKE_FRAMES " --out '" + frames + "' --count 4 --width 320 --height 240 --planes 3"), 0);
    const std::string out = dir.file("out");
    fs::create_directory(out);
    const auto command = [&](const std::string& tag) {
        return std::string(VELMORA_CLI) + " merge -q --sigma 3 --normalize-area 8 --save-bitmaps --background 2,2,30,20" +
               " --signal 120,90,30,30 -o '" + out + "/r" + tag + ".fit' --average '" + out + "/a" + tag +
               ".fit' --deviation '" + out + "/d" + tag + ".fit' '" + frames + "'/*.fit";
    };

    // A run left alone gives the bytes every complete file must have.
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(RunCommand(command("")), 0);
    const auto duration = std::chrono::steady_clock::now() - begin;
    const std::string result = ReadBytes(out + "/r.fit"), average = ReadBytes(out + "/a.fit"),
                      deviation = ReadBytes(out + "/d.fit");
    ASSERT_FALSE(result.empty());
    std::vector<std::pair<std::string, std::string>> pictures;  // path, complete bytes
    for (const auto& entry : fs::directory_iterator(frames))
        if (entry.path().extension() == ".bmp") {
            pictures.emplace_back(entry.path().string(), ReadBytes(entry.path().string()));
            WriteBytes(entry.path().string(), "an earlier picture");
        }
    ASSERT_EQ(pictures.size(), 4u);

    // One random moment in each fortieth of the run (and a little beyond), so
    // that the short writes at its end are hit too.
    const double span = 1.2 * static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
    std::mt19937 random(14);
    std::uniform_real_distribution<double> within(0.0, 1.0);
    int killed = 0;
    for (int k = 0; k < 40; ++k) {
        const std::string tag = std::to_string(k);
        const bool existing = k % 4 == 3;
        if (existing)
            WriteBytes(out + "/r" + tag + ".fit", "an earlier result");
        const pid_t pid = Start(command(tag));
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>((k + within(random)) / 40 * span)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        killed += WIFSIGNALED(status) ? 1 : 0;

        SCOPED_TRACE("try " + tag);
        const std::pair<std::string, const std::string*> outputs[] = {
            {"/r" + tag + ".fit", &result}, {"/a" + tag + ".fit", &average}, {"/d" + tag + ".fit", &deviation}};
        for (const auto& [name, complete] : outputs) {
            if (!fs::exists(out + name))
                continue;
            const std::string bytes = ReadBytes(out + name);
            if (existing && name[1] == 'r') {
                EXPECT_EQ(bytes, "an earlier result");
            } else {
                EXPECT_TRUE(bytes == *complete) << name << ": " << bytes.size() << " of " << complete->size() << " bytes";
            }
        }
        for (const auto& [path, complete] : pictures) {
            const std::string bytes = ReadBytes(path);
            EXPECT_TRUE(bytes == complete || bytes == "an earlier picture") << path << ": " << bytes.size() << " bytes";
        }
    }
    // What a kill cuts off lies only under hidden temporary names.
    for (const auto& entry : fs::directory_iterator(out)) {
        const std::string name = entry.path().filename().string();
        if (name[0] == '.') {
            EXPECT_EQ(entry.path().extension(), ".part") << name;
        }
    }
    std::cout << killed << " of 40 runs killed before they ended\n";
}
