// The one writer of output files: content appears under the target's name
// only when complete, an existing file is replaced or kept as asked, and
// nothing is left behind by a failure or an abandoned write.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/AtomicFile.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

bool Write(CAtomicFile& file, const std::string& text)
{
    FILE* stream = file.OpenStream();
    return stream && std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

std::vector<std::string> Names(const ScratchDir& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(AtomicFile, NothingUnderTheNameUntilCommitted)
{
    ScratchDir dir;
    const std::string target = dir.file("picture.bmp");
    {
        CAtomicFile file(target, true);
        ASSERT_TRUE(Write(file, "complete"));
        EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(fs::path(file.WritePath()).parent_path(), dir.path());
        ASSERT_TRUE(file.Commit());
    }
    EXPECT_EQ(ReadBytes(target), "complete");
    EXPECT_EQ(Names(dir), std::vector<std::string>{"picture.bmp"});

    {
        CAtomicFile abandoned(dir.file("other.bmp"), true);
        ASSERT_TRUE(Write(abandoned, "half"));
    }
    EXPECT_EQ(Names(dir), std::vector<std::string>{"picture.bmp"});
}

TEST(AtomicFile, ReplacesKeepingPermissionsAndLinks)
{
    ScratchDir dir;
    const std::string real = dir.file("real.csv"), link = dir.file("link.csv");
    WriteBytes(real, "old");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, link);
    CAtomicFile file(link, true);
    ASSERT_TRUE(Write(file, "new"));
    ASSERT_TRUE(file.Commit());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(real), "new");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(AtomicFile, KeptTargetThatAppearsMeanwhileIsNotReplaced)
{
    ScratchDir dir;
    const std::string target = dir.file("result.fit");
    CAtomicFile file(target, false);
    ASSERT_TRUE(Write(file, "merged"));
    WriteBytes(target, "written by someone else meanwhile");
    errno = 0;
    EXPECT_FALSE(file.Commit());
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadBytes(target), "written by someone else meanwhile");
    EXPECT_EQ(Names(dir), std::vector<std::string>{"result.fit"});
}

TEST(AtomicFile, DevicesAreWrittenInPlaceAndFailuresReported)
{
    CAtomicFile sink("/dev/null", true);
    ASSERT_TRUE(Write(sink, "gone"));
    EXPECT_TRUE(sink.Commit());

    CAtomicFile full("/dev/full", true);
    ASSERT_TRUE(Write(full, "no room"));
    errno = 0;
    EXPECT_FALSE(full.Commit());
    EXPECT_EQ(errno, ENOSPC);
    struct stat st {};
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    ScratchDir dir;
    CAtomicFile nowhere(dir.file("missing/x.bmp"), true);
    errno = 0;
    EXPECT_EQ(nowhere.OpenStream(), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(nowhere.CanCreate());
}
