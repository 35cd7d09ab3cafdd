// Outputs that cannot be completed: the disk fills up (a file-size limit
// stands in for it) after the file was created. Nothing is left behind that
// looks like a result, and a file that existed before is never touched.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/resource.h>

#include "image/ResultSave.h"
#include "preview/PreviewBitmap.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

// Writes beyond `bytes` fail with EFBIG while this lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

void FillImage(CFitsImage& image)
{
    ASSERT_TRUE(image.Allocate(200, 150, 3));
    for (int32_t i = 0; i < image.GetPixelCount(); ++i)
        image.m_pData[i] = static_cast<float>(i % 5000);
}

}  // namespace

TEST(PartialOutput, ResultThatCannotBeCompletedIsRemoved)
{
    ScratchDir dir;
    CFitsImage image;
    FillImage(image);
    for (int type : {FITS_SAVE_FLOAT, FITS_SAVE_INT, FITS_SAVE_UINT}) {
        SCOPED_TRACE(type);
        const std::string path = dir.file("result" + std::to_string(type) + ".fit");
        ErrorRecorder sink;
        bool saved = true;
        {
            FileSizeLimit limit(20000);
            saved = SaveResult(image, path, type, 4, 120.0, sink);
        }
        EXPECT_FALSE(saved);
        ASSERT_FALSE(sink.errors.empty());
        EXPECT_EQ(sink.errors[0].caption, kFitsErrorCaption);
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST(PartialOutput, ExistingFileIsNeverRemovedOrChanged)
{
    ScratchDir dir;
    const std::string path = dir.file("earlier result.fit");
    WriteBytes(path, "an earlier result");
    CFitsImage image;
    FillImage(image);
    ErrorRecorder sink;
    {
        FileSizeLimit limit(20000);
        EXPECT_FALSE(SaveResult(image, path, FITS_SAVE_FLOAT, 4, 120.0, sink));
    }
    EXPECT_FALSE(sink.errors.empty());
    EXPECT_EQ(ReadBytes(path), "an earlier result");
}

TEST(PartialOutput, PictureThatCannotBeCompletedIsReported)
{
    ScratchDir dir;
    CFitsImage image;
    FillImage(image);
    CPreviewBitmap bitmap;
    bitmap.RenderImage(image, -1, 0);
    ASSERT_TRUE(bitmap.HasBitmap());
    const std::string path = dir.file("preview.bmp");
    bool saved = true;
    {
        FileSizeLimit limit(20000);
        saved = bitmap.SaveBmp(path);
    }
    EXPECT_FALSE(saved);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(bitmap.SaveBmp("/dev/full"));
    EXPECT_TRUE(fs::exists("/dev/full"));
}
