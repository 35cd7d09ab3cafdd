#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <utility>

namespace fs = std::filesystem;

namespace {

// A hidden name beside the target that no other writer picks: a random part
// against other processes, a counter against other threads of this one.
std::string TemporaryPathFor(const fs::path& target)
{
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".%08x%04x.part", static_cast<unsigned>(random()), counter++ & 0xFFFFu);
    // Room for the suffix within the 255 bytes a file name may have.
    const std::string name = target.filename().string().substr(0, 200);
    return (target.parent_path() / ("." + name + suffix)).string();
}

// Makes the move itself durable; a folder that cannot be synced only loses
// that guarantee.
void SyncFolderOf(const std::string& path)
{
    const fs::path folder = fs::path(path).parent_path();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

CAtomicFile::CAtomicFile(const std::string& target, bool replaceExisting) : m_target(target), m_replace(replaceExisting)
{
    struct stat st {};
    if (replaceExisting && ::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            m_direct = true;
            m_writePath = target;
            return;
        }
        // A link to the file is followed: the file it names is replaced, the
        // link stays.
        std::error_code ec;
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec)
            m_target = resolved.string();
        m_keptMode = st.st_mode & 07777;
    }
    m_writePath = TemporaryPathFor(m_target);
}

CAtomicFile::~CAtomicFile()
{
    if (!m_finished)
        Discard();
}

FILE* CAtomicFile::OpenStream()
{
    const int flags = m_direct ? O_WRONLY | O_TRUNC : O_WRONLY | O_CREAT | O_EXCL;
    const int fd = ::open(m_writePath.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    m_stream = ::fdopen(fd, "wb");
    if (!m_stream) {
        const int failure = errno;
        ::close(fd);
        errno = failure;
    }
    return m_stream;
}

bool CAtomicFile::CanCreate() const
{
    const int fd = ::open(m_writePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(m_writePath.c_str());
    return true;
}

bool CAtomicFile::Commit()
{
    if (!Flush() || (!m_direct && m_keptMode != 0 && ::chmod(m_writePath.c_str(), m_keptMode) != 0) ||
        (!m_direct && !MoveIntoPlace())) {
        Discard();
        return false;
    }
    m_finished = true;
    if (!m_direct)
        SyncFolderOf(m_target);
    return true;
}

// The whole content on disk before the name points at it: otherwise a crash
// right after the move could show the new name with missing blocks.
bool CAtomicFile::Flush()
{
    if (m_stream) {
        FILE* stream = std::exchange(m_stream, nullptr);
        int failure = 0;
        // A device has nothing to sync; what it was given is all there is.
        if (std::fflush(stream) != 0 || (!m_direct && ::fsync(::fileno(stream)) != 0))
            failure = errno;
        if (std::fclose(stream) != 0 && failure == 0)
            failure = errno;
        errno = failure;
        return failure == 0;
    }
    if (m_direct)
        return true;
    // Written by someone else (CFITSIO) and closed already.
    const int fd = ::open(m_writePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int failure = errno;
    ::close(fd);
    errno = failure;
    return ok;
}

bool CAtomicFile::MoveIntoPlace() const
{
    if (m_replace)
        return std::rename(m_writePath.c_str(), m_target.c_str()) == 0;
    if (::renameat2(AT_FDCWD, m_writePath.c_str(), AT_FDCWD, m_target.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    // File systems without the flag: a second name that cannot replace
    // either, then the temporary one goes.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
    if (::link(m_writePath.c_str(), m_target.c_str()) != 0)
        return false;
    ::unlink(m_writePath.c_str());
    return true;
}

// Keeps errno: the caller reports the failure that led here.
void CAtomicFile::Discard()
{
    const int failure = errno;
    if (m_stream) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
    if (!m_direct)
        ::unlink(m_writePath.c_str());
    m_finished = true;
    errno = failure;
}
