#pragma once
// Output files appear whole or not at all. The content goes to a temporary
// file in the target's folder, is flushed to disk and only then moved onto
// the target name, so a crash, a kill or a full disk at any moment leaves the
// target as it was: absent, or the earlier file. Every writer of the program
// (FITS results, average and deviation images, BMP pictures, the noise
// report) goes through this.

#include <sys/types.h>

#include <cstdio>
#include <string>

class CAtomicFile {
public:
    // replaceExisting: an existing target is replaced (pictures, the report)
    // or never touched (FITS files).
    CAtomicFile(const std::string& target, bool replaceExisting);
    // Removes the temporary file unless Commit moved it into place.
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Where the content is written: an unused name beside the target, or the
    // target itself when it exists and is no regular file (a device such as
    // /dev/null), which cannot be replaced.
    const std::string& WritePath() const { return m_writePath; }
    // Creates WritePath for binary writing; null with errno set on failure.
    FILE* OpenStream();
    // For a writer that creates WritePath itself (CFITSIO): whether it can be
    // created, so that a failure names the target; errno set when not.
    bool CanCreate() const;
    // Closes the stream, flushes the file to disk and moves it onto the
    // target. False with errno set (EEXIST: the target appeared meanwhile
    // and may not be replaced); the temporary file is then gone.
    bool Commit();

private:
    bool Flush();
    bool MoveIntoPlace() const;
    void Discard();

    std::string m_target;
    std::string m_writePath;
    bool m_replace = false;
    bool m_direct = false;  // writing to the target itself
    mode_t m_keptMode = 0;  // permissions of the file replaced, 0 for a new one
    FILE* m_stream = nullptr;
    bool m_finished = false;
};
