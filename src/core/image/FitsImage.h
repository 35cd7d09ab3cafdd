#pragma once
// The one in-memory image type: a frame's acquisition header and one owned,
// contiguous buffer of 32-bit float pixels in plane-major order.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <fitsio.h>

#include "platform/AtomicFile.h"
#include "platform/Host.h"

// Output types of a FITS save.
constexpr int FITS_SAVE_INT = 1;    // 16-bit, BZERO 0, -32767..32767
constexpr int FITS_SAVE_FLOAT = 2;  // 32-bit IEEE floats
constexpr int FITS_SAVE_UINT = 3;   // 16-bit, BZERO 32768, 0..65535

// Caption of every CFITSIO failure report, and of our own refusals of a file.
inline constexpr const char* kFitsErrorCaption = "FITSIO Library Error";

struct FrameHeader {
    static constexpr int kFilterSize = 120;  // 119 characters and the terminator

    double m_exposure = 0.0;     // EXPTIME
    double m_pixelWidth = 0.0;   // XPIXSZ
    double m_pixelHeight = 0.0;  // YPIXSZ
    int32_t m_gain = 0;          // GAIN
    int32_t m_offset = 0;        // OFFSET
    int32_t m_binX = 0;          // XBINNING
    int32_t m_binY = 0;          // YBINNING
    double m_ccdTemp = 0.0;      // CCD-TEMP
    char m_filter[kFilterSize] = {};  // FILTER
    // Beyond the nine, for the header of a merge result: the name of the file
    // this header was read from, its start of observation, and its world
    // coordinate and descriptive cards as they stand (HeaderKeywords.h).
    std::string m_source;
    std::string m_dateObs;
    std::vector<std::string> m_keptCards;

    // Copies the keyword values found in the current HDU; a missing or
    // unconvertible numeric keyword keeps its field, a missing FILTER (and
    // what lies beyond the nine) empties it.
    void Read(fitsfile* file);
    // Writes the nine keywords; false after a reported failure.
    bool Write(fitsfile* file, ErrorSink& sink) const;
};

// A FITS file being written. CFITSIO writes it under a temporary name beside
// the target; Close moves it onto the target, which is never replaced. An
// output that is not closed, or fails, leaves nothing behind.
class CFitsOutput {
public:
    CFitsOutput() = default;
    ~CFitsOutput();
    CFitsOutput(const CFitsOutput&) = delete;
    CFitsOutput& operator=(const CFitsOutput&) = delete;

    // False after a reported failure, also when the target exists.
    bool Create(const std::string& path, ErrorSink& sink);
    // Closes, flushes and moves the file into place; false after a report.
    bool Close(ErrorSink& sink);

    fitsfile* m_file = nullptr;

private:
    std::string m_path;
    std::unique_ptr<CAtomicFile> m_atomic;
};

class CFitsImage {
public:
    FrameHeader m_header;
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_planes = 0;
    float* m_pData = nullptr;

    CFitsImage() = default;
    ~CFitsImage();
    CFitsImage(const CFitsImage&) = delete;
    CFitsImage& operator=(const CFitsImage&) = delete;

    // Keeps the buffer (and its values) when the element count is unchanged.
    // False when a new buffer could not be obtained: the image is then empty.
    bool Allocate(int32_t width, int32_t height, int32_t planes);
    void Free();
    bool AllocateLike(const CFitsImage& other);

    int32_t GetPixelCount() const { return m_width * m_height * m_planes; }
    float* PixelAt(int x, int y, int plane) const
    {
        return m_pData + (static_cast<int64_t>(plane) * m_height + y) * m_width + x;
    }
    bool SameSize(const CFitsImage& other) const
    {
        return m_width == other.m_width && m_height == other.m_height && m_planes == other.m_planes;
    }
    // Geometry and pixels, never the header.
    CFitsImage& CopyPixelsFrom(const CFitsImage& source);
    // Element-wise this - other when SameSize holds; otherwise nothing changes.
    CFitsImage& Subtract(const CFitsImage& other);

    // Reads the first image of a FITS file with its header values. False after
    // a failure already reported through the sink; on a refused file the
    // image is unchanged.
    bool Load(const std::string& path, ErrorSink& sink);
    // Creates a new file (an existing one is never replaced). With keepOpen the
    // file stays open in it for the caller, who adds keywords and closes it;
    // dropped unclosed, it is removed.
    bool Save(const std::string& path, int outputType, CFitsOutput* keepOpen, ErrorSink& sink) const;
    // Creates the primary image in an open, empty file and writes the pixels.
    bool WriteImage(fitsfile* file, int outputType, ErrorSink& sink) const;
};

// Reports CFITSIO's waiting messages when status is not 0; true then.
bool CheckFitsStatus(int status, ErrorSink& sink);
// Creates a new FITS file; null after a reported failure (also when it exists).
fitsfile* CreateFitsFile(const std::string& path, ErrorSink& sink);
// Closes and removes a file this program created but could not complete.
void DeleteUnfinished(fitsfile* file);
