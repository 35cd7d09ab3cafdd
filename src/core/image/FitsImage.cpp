#include "image/FitsImage.h"

#include "image/HeaderKeywords.h"
#include "image/TileCheck.h"
#include "platform/FileNames.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr const char* kScaleComment = "physical = BZERO + BSCALE*array_value";
constexpr const char* kExistsText = "the file exists already; it is left unchanged";

// Files are opened and created as plain disk files, so that brackets in a
// name are not read as CFITSIO's filter syntax. A leading '!' or blank is
// still syntax there; a relative name that starts with one is given an
// explicit "./" so it stays literal.
std::string LiteralPath(const std::string& path)
{
    if (!path.empty() && (path[0] == '!' || path[0] == ' '))
        return "./" + path;
    return path;
}

void Refuse(ErrorSink& sink, const std::string& path, const std::string& why)
{
    sink.ShowError(kFitsErrorCaption, path + ": " + why + "\r\n");
}

// CFITSIO cannot name a longer path; refuse it with a clear message.
bool CheckPathLength(const std::string& path, ErrorSink& sink)
{
    if (path.size() < FLEN_FILENAME)
        return true;
    Refuse(sink, path,
           "the path is longer than the " + std::to_string(FLEN_FILENAME - 1) + " characters the FITS library accepts");
    return false;
}

// The image geometry Velmora can hold, or an explanation why not.
struct Geometry {
    int32_t width = 0, height = 0, planes = 0;
    std::string refusal;
};

Geometry CheckGeometry(int naxis, const std::vector<LONGLONG>& axes)
{
    Geometry g;
    if (naxis < 2) {
        g.refusal = "the image has " + std::to_string(naxis) + " axes; a frame needs 2 or 3";
        return g;
    }
    for (int i = 3; i < naxis; ++i) {
        if (axes[i] != 1) {
            g.refusal = "the image has " + std::to_string(naxis) + " axes; a frame needs 2 or 3";
            return g;
        }
    }
    LONGLONG planes = naxis >= 3 ? axes[2] : 1;
    if (axes[0] <= 0 || axes[1] <= 0 || planes <= 0) {
        g.refusal = "the image has an axis of length 0";
        return g;
    }
    if (planes > 3) {
        g.refusal = "the image has " + std::to_string(planes) + " planes; at most 3 are supported";
        return g;
    }
    const LONGLONG limit = std::numeric_limits<int32_t>::max();
    if (axes[0] > limit || axes[1] > limit || axes[0] * axes[1] > limit / planes) {
        g.refusal = "the image has more than 2147483647 pixels";
        return g;
    }
    g.width = static_cast<int32_t>(axes[0]);
    g.height = static_cast<int32_t>(axes[1]);
    g.planes = static_cast<int32_t>(planes);
    return g;
}

// A header may promise more data than the file holds; refuse before
// allocating a buffer for it.
bool DataPresent(fitsfile* file)
{
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    int status = 0;
    if (fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status))
        return false;
    return dataEnd <= file->Fptr->logfilesize;
}

// What fits_open_image does: on to the first HDU that holds an image, so
// that a primary header without data and tile-compressed frames load their
// image extension. Each header is checked for what would crash CFITSIO
// before CFITSIO reads it.
bool MoveToFirstImage(fitsfile* file, const std::string& path, ErrorSink& sink)
{
    int status = 0;
    for (;;) {
        int type = IMAGE_HDU, naxis = 0;
        fits_get_hdu_type(file, &type, &status);
        if (type == IMAGE_HDU)
            fits_get_img_dim(file, &naxis, &status);
        LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
        fits_get_hduaddrll(file, &headStart, &dataStart, &dataEnd, &status);
        if (CheckFitsStatus(status, sink))
            return false;
        if (naxis > 0)
            return true;
        if (dataEnd >= file->Fptr->logfilesize) {
            Refuse(sink, path, "the file holds no image");
            return false;
        }
        const std::string badHeader = FindBadCompressionHeader(path, dataEnd);
        if (!badHeader.empty()) {
            Refuse(sink, path, badHeader);
            return false;
        }
        fits_movrel_hdu(file, 1, nullptr, &status);
        if (CheckFitsStatus(status, sink))
            return false;
    }
}

float ClampForType(float v, float lo, float hi)
{
    if (!(v >= lo))  // below the range, or NaN
        return lo;
    return v > hi ? hi : v;
}

}  // namespace

CFitsImage::~CFitsImage() { Free(); }

bool CFitsImage::Allocate(int32_t width, int32_t height, int32_t planes)
{
    const int64_t oldCount = static_cast<int64_t>(m_width) * m_height * m_planes;
    const int64_t newCount = static_cast<int64_t>(width) * height * planes;
    if (oldCount != newCount) {
        delete[] m_pData;
        m_pData = nullptr;
        if (newCount > 0) {
            m_pData = new (std::nothrow) float[static_cast<size_t>(newCount)];
            if (!m_pData) {
                m_width = m_height = m_planes = 0;
                return false;
            }
        }
    }
    m_width = width;
    m_height = height;
    m_planes = planes;
    return true;
}

void CFitsImage::Free() { Allocate(0, 0, 0); }

bool CFitsImage::AllocateLike(const CFitsImage& other)
{
    return Allocate(other.m_width, other.m_height, other.m_planes);
}

CFitsImage& CFitsImage::CopyPixelsFrom(const CFitsImage& source)
{
    if (this != &source && AllocateLike(source) && m_pData)
        std::memcpy(m_pData, source.m_pData, static_cast<size_t>(GetPixelCount()) * sizeof(float));
    return *this;
}

CFitsImage& CFitsImage::Subtract(const CFitsImage& other)
{
    if (!SameSize(other))
        return *this;
    const int32_t n = GetPixelCount();
    for (int32_t i = 0; i < n; ++i)
        m_pData[i] -= other.m_pData[i];
    return *this;
}

bool CFitsImage::Load(const std::string& path, ErrorSink& sink)
{
    if (!CheckPathLength(path, sink))
        return false;
    int status = 0;
    fitsfile* file = nullptr;
    fits_open_diskfile(&file, LiteralPath(path).c_str(), READONLY, &status);
    if (CheckFitsStatus(status, sink)) {
        if (file) {
            int closeStatus = 0;
            fits_close_file(file, &closeStatus);
        }
        return false;
    }

    auto fail = [&]() {
        int closeStatus = 0;
        fits_close_file(file, &closeStatus);
        fits_clear_errmsg();
        return false;
    };
    if (!MoveToFirstImage(file, path, sink))
        return fail();

    int naxis = 0;
    fits_get_img_dim(file, &naxis, &status);
    if (CheckFitsStatus(status, sink))
        return fail();
    std::vector<LONGLONG> axes(static_cast<size_t>(std::max(naxis, 3)), 1);
    if (naxis > 0)
        fits_get_img_sizell(file, naxis, axes.data(), &status);
    if (CheckFitsStatus(status, sink))
        return fail();

    const Geometry g = CheckGeometry(naxis, axes);
    if (!g.refusal.empty()) {
        Refuse(sink, path, g.refusal);
        return fail();
    }
    if (!DataPresent(file)) {
        Refuse(sink, path, "the file ends before the image data it announces");
        return fail();
    }
    const std::string corruptTile = FindCorruptTile(file, &status);
    if (CheckFitsStatus(status, sink))
        return fail();
    if (!corruptTile.empty()) {
        Refuse(sink, path, corruptTile);
        return fail();
    }
    if (!Allocate(g.width, g.height, g.planes)) {
        Refuse(sink, path, "not enough memory for an image of " + std::to_string(g.width) + " x " +
                               std::to_string(g.height) + " x " + std::to_string(g.planes) + " pixels");
        return fail();
    }

    std::vector<LONGLONG> firstPixel(axes.size(), 1);
    fits_read_pixll(file, TFLOAT, firstPixel.data(), GetPixelCount(), nullptr, m_pData, nullptr, &status);
    if (CheckFitsStatus(status, sink))
        return fail();

    m_header.Read(file);
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    fits_clear_errmsg();
    return true;
}

void FrameHeader::Read(fitsfile* file)
{
    // A keyword that is missing or cannot be converted leaves its field as it
    // was; only a plain number is offered to CFITSIO's conversion (see
    // IsPlainNumber).
    auto readKey = [file](int type, const char* key, auto& field) {
        char text[FLEN_VALUE] = {};
        int status = 0;
        if (fits_read_keyword(file, key, text, nullptr, &status) != 0 || !IsPlainNumber(text))
            return;
        auto value = field;
        if (fits_read_key(file, type, key, &value, nullptr, &status) == 0)
            field = value;
    };
    readKey(TDOUBLE, "EXPTIME", m_exposure);
    readKey(TDOUBLE, "XPIXSZ", m_pixelWidth);
    readKey(TDOUBLE, "YPIXSZ", m_pixelHeight);
    readKey(TINT, "GAIN", m_gain);
    readKey(TINT, "OFFSET", m_offset);
    readKey(TINT, "XBINNING", m_binX);
    readKey(TINT, "YBINNING", m_binY);
    readKey(TDOUBLE, "CCD-TEMP", m_ccdTemp);

    std::memset(m_filter, 0, sizeof m_filter);
    char* longValue = nullptr;
    int status = 0;
    if (fits_read_key_longstr(file, "FILTER", &longValue, nullptr, &status) == 0 && longValue)
        std::strncpy(m_filter, longValue, kFilterSize - 1);
    if (longValue)
        fits_free_memory(longValue, &status);

    char name[FLEN_FILENAME] = {};
    status = 0;
    fits_file_name(file, name, &status);
    m_source = BaseName(name);
    m_dateObs = ReadDateObs(file);
    m_keptCards = ReadKeptCards(file);
    // Missing keywords leave messages on the stack that belong to no report.
    fits_clear_errmsg();
}

bool FrameHeader::Write(fitsfile* file, ErrorSink& sink) const
{
    int status = 0;
    auto writeKey = [&](int type, const char* key, const void* value, const char* comment) {
        fits_write_key(file, type, key, const_cast<void*>(value), comment, &status);
        return !CheckFitsStatus(status, sink);
    };
    const bool numbersWritten = writeKey(TDOUBLE, "EXPTIME", &m_exposure, "Exposure time in seconds") &&
           writeKey(TINT, "GAIN", &m_gain, "gain") &&
           writeKey(TINT, "OFFSET", &m_offset, "offset") &&
           writeKey(TDOUBLE, "XPIXSZ", &m_pixelWidth, "Pixel Width in microns (after binning)") &&
           writeKey(TDOUBLE, "YPIXSZ", &m_pixelHeight, "Pixel Height in microns (after binning)") &&
           writeKey(TINT, "XBINNING", &m_binX, "Binning factor in width") &&
           writeKey(TINT, "YBINNING", &m_binY, "Binning factor in height") &&
           writeKey(TDOUBLE, "CCD-TEMP", &m_ccdTemp, "CCD temperature at end of exposure in C");
    if (!numbersWritten)
        return false;
    // A filter name may be longer than one card holds; the long-string
    // convention keeps all of it.
    fits_write_key_longstr(file, "FILTER", m_filter, "Used Filter", &status);
    return !CheckFitsStatus(status, sink);
}

bool CFitsImage::Save(const std::string& path, int outputType, CFitsOutput* keepOpen, ErrorSink& sink) const
{
    CFitsOutput own;
    CFitsOutput& output = keepOpen ? *keepOpen : own;
    if (!output.Create(path, sink))
        return false;
    if (!WriteImage(output.m_file, outputType, sink) || !m_header.Write(output.m_file, sink))
        return false;
    return keepOpen || output.Close(sink);
}

bool CFitsImage::WriteImage(fitsfile* file, int outputType, ErrorSink& sink) const
{
    const int32_t n = GetPixelCount();
    int status = 0;
    const int bitpix = outputType == FITS_SAVE_FLOAT ? FLOAT_IMG : SHORT_IMG;
    long axes[3] = {m_width, m_height, m_planes};
    fits_create_img(file, bitpix, m_planes > 1 ? 3 : 2, axes, &status);
    if (CheckFitsStatus(status, sink))
        return false;

    LONGLONG firstPixel[3] = {1, 1, 1};
    if (bitpix == FLOAT_IMG) {
        fits_write_pixll(file, TFLOAT, firstPixel, n, m_pData, &status);
        return !CheckFitsStatus(status, sink);
    }

    float scale = 1.0f;
    float zero = outputType == FITS_SAVE_UINT ? 32768.0f : 0.0f;
    const float lo = outputType == FITS_SAVE_UINT ? 0.0f : -32767.0f;
    const float hi = outputType == FITS_SAVE_UINT ? 65535.0f : 32767.0f;
    fits_write_key(file, TFLOAT, "BSCALE", &scale, kScaleComment, &status);
    if (CheckFitsStatus(status, sink))
        return false;
    fits_write_key(file, TFLOAT, "BZERO", &zero, kScaleComment, &status);
    if (CheckFitsStatus(status, sink))
        return false;

    // The clamp works on a copy: the image in memory keeps its float values
    // for a later save in another type.
    std::vector<float> clamped;
    try {
        clamped.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        sink.ShowError(kFitsErrorCaption, "Not enough memory to convert the image to 16 bits.\r\n");
        return false;
    }
    std::transform(m_pData, m_pData + n, clamped.begin(), [lo, hi](float v) { return ClampForType(v, lo, hi); });
    fits_write_pixll(file, TFLOAT, firstPixel, n, clamped.data(), &status);
    return !CheckFitsStatus(status, sink);
}

bool CheckFitsStatus(int status, ErrorSink& sink)
{
    if (status == 0)
        return false;
    std::string text;
    char message[FLEN_ERRMSG] = {};
    while (fits_read_errmsg(message), message[0] != '\0')
        text += std::string(message) + "\r\n";
    sink.ShowError(kFitsErrorCaption, text);
    return true;
}

fitsfile* CreateFitsFile(const std::string& path, ErrorSink& sink)
{
    if (!CheckPathLength(path, sink))
        return nullptr;
    int status = 0;
    fitsfile* file = nullptr;
    fits_create_diskfile(&file, LiteralPath(path).c_str(), &status);
    if (CheckFitsStatus(status, sink))
        return nullptr;
    return file;
}

void DeleteUnfinished(fitsfile* file)
{
    int status = 0;
    fits_delete_file(file, &status);
    fits_clear_errmsg();
}

CFitsOutput::~CFitsOutput()
{
    if (m_file)
        DeleteUnfinished(m_file);
}

bool CFitsOutput::Create(const std::string& path, ErrorSink& sink)
{
    if (!CheckPathLength(path, sink))
        return false;
    // Refused before any work; the move at the end refuses again should the
    // name be taken meanwhile.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        Refuse(sink, path, kExistsText);
        return false;
    }
    m_path = path;
    m_atomic = std::make_unique<CAtomicFile>(path, false);
    if (!m_atomic->CanCreate()) {
        Refuse(sink, path, std::string("cannot be created: ") + std::strerror(errno));
        return false;
    }
    m_file = CreateFitsFile(m_atomic->WritePath(), sink);
    return m_file != nullptr;
}

bool CFitsOutput::Close(ErrorSink& sink)
{
    int status = 0;
    fits_close_file(std::exchange(m_file, nullptr), &status);
    if (CheckFitsStatus(status, sink)) {
        m_atomic.reset();
        return false;
    }
    if (!m_atomic->Commit()) {
        Refuse(sink, m_path,
               errno == EEXIST ? kExistsText : std::string("cannot be written: ") + std::strerror(errno));
        return false;
    }
    return true;
}
