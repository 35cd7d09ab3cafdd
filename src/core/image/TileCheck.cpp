#include "image/TileCheck.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

#include <zlib.h>

namespace {

// The decoder's parameters for its pixel width (rice_bytepix 1, 2, else 4).
struct RiceCode {
    int bytes;
    int fsbits;
    int fsmax;
};

RiceCode CodeFor(int bytepix)
{
    if (bytepix == 1)
        return {1, 3, 6};
    if (bytepix == 2)
        return {2, 4, 14};
    return {4, 5, 25};
}

// Bits needed for each byte value, as the decoder's nonzero_count table.
int SignificantBits(uint32_t b)
{
    int n = 0;
    for (; b; b >>= 1)
        ++n;
    return n;
}

// Consumes the stream exactly as fits_rdecomp does, without producing
// pixels; false as soon as it would read a byte the tile does not have.
class RiceStream {
public:
    explicit RiceStream(const std::vector<unsigned char>& bytes) : m_bytes(bytes) {}

    bool Follow(int64_t pixels, int blockSize, const RiceCode& code)
    {
        m_pos = static_cast<size_t>(code.bytes);  // the first pixel, verbatim
        if (!Next())
            return false;
        int nbits = 8;
        const int bbits = 1 << code.fsbits;
        for (int64_t i = 0; i < pixels;) {
            nbits -= code.fsbits;
            while (nbits < 0) {
                if (!Next(8))
                    return false;
                nbits += 8;
            }
            const int fs = static_cast<int>(m_b >> nbits) - 1;
            m_b &= (1u << nbits) - 1;
            const int64_t end = std::min(i + blockSize, pixels);
            if (fs < 0) {
                i = end;
            } else if (fs == code.fsmax) {
                for (; i < end; ++i) {
                    int k = bbits - nbits;
                    for (k -= 8; k >= 0; k -= 8)
                        if (!Next())
                            return false;
                    if (nbits > 0) {
                        if (!Next())
                            return false;
                        m_b &= (1u << nbits) - 1;
                    } else {
                        m_b = 0;
                    }
                }
            } else {
                for (; i < end; ++i) {
                    while (m_b == 0) {
                        nbits += 8;
                        if (!Next())
                            return false;
                    }
                    nbits = SignificantBits(m_b) - 1;  // past the leading one-bit
                    m_b ^= 1u << nbits;
                    nbits -= fs;
                    while (nbits < 0) {
                        if (!Next(8))
                            return false;
                        nbits += 8;
                    }
                    m_b &= (1u << nbits) - 1;
                }
            }
        }
        return true;
    }

private:
    // Replaces b with the next byte, or (shift 8) appends it.
    bool Next(int shift = 0)
    {
        if (m_pos >= m_bytes.size())
            return false;
        m_b = shift ? (m_b << shift) | m_bytes[m_pos++] : m_bytes[m_pos++];
        return true;
    }

    const std::vector<unsigned char>& m_bytes;
    size_t m_pos = 0;
    uint32_t m_b = 0;
};

// Pixels in tile `index` (0-based, first axis fastest): edge tiles are cut
// to the image.
int64_t TilePixels(const FITSfile& f, int64_t index)
{
    int64_t pixels = 1;
    for (int d = 0; d < f.zndim; ++d) {
        const int64_t tile = std::min<int64_t>(f.tilesize[d], f.znaxis[d]);
        const int64_t across = (f.znaxis[d] + tile - 1) / tile;
        const int64_t start = (index % across) * tile;
        index /= across;
        pixels *= std::min<int64_t>(tile, f.znaxis[d] - start);
    }
    return pixels;
}

// The widest pixel a tile can decompress to (64-bit integers and doubles).
constexpr int64_t kMaxBytesPerPixel = 8;

// CFITSIO 4.2 loops for ever on a gzip tile that ends before its stream does.
// True when the stream inflates to its end within its bytes and at most
// maxBytes of output.
bool GzipStreamEnds(std::vector<unsigned char>& bytes, int64_t maxBytes)
{
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK)  // gzip framing, as CFITSIO writes it
        return false;
    z.next_in = bytes.data();
    z.avail_in = static_cast<uInt>(std::min<size_t>(bytes.size(), UINT32_MAX));
    std::vector<unsigned char> out(65536);
    int64_t produced = 0;
    int result = Z_OK;
    while (result == Z_OK && produced <= maxBytes) {  // no progress ends it with Z_BUF_ERROR
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        result = inflate(&z, Z_NO_FLUSH);
        produced += static_cast<int64_t>(out.size() - z.avail_out);
    }
    inflateEnd(&z);
    return result == Z_STREAM_END && produced <= maxBytes;
}

// CFITSIO 4.2 takes the size of an HCOMPRESS tile from the stream's own
// header and clears that many pixels of a buffer made for the tile. True when
// the header (magic 0xDD 0x99, then nx and ny big-endian) names the tile's size.
bool HcompressHeaderFits(const std::vector<unsigned char>& bytes, int64_t pixels)
{
    if (bytes.size() < 10 || bytes[0] != 0xDD || bytes[1] != 0x99)
        return false;
    auto readInt = [&bytes](size_t at) {
        return static_cast<int32_t>(static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
                                    static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3]);
    };
    const int64_t nx = readInt(2), ny = readInt(6);
    return nx > 0 && ny > 0 && nx * ny == pixels;
}

// The value field of a card, without comment, blanks and quotes.
std::string CardValue(const std::string& card)
{
    std::string value = card.substr(10);
    const size_t quote = value.find('\'');
    if (quote != std::string::npos) {
        const size_t close = value.find('\'', quote + 1);
        value = value.substr(quote + 1, close == std::string::npos ? std::string::npos : close - quote - 1);
    } else {
        value = value.substr(0, value.find('/'));
    }
    const size_t first = value.find_first_not_of(' ');
    const size_t last = value.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

bool IsPositiveWholeNumber(const std::string& text)
{
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    return std::stoi(text) > 0;
}

}  // namespace

bool IsPlainNumber(const char* value)
{
    std::string text(value);
    const size_t first = text.find_first_not_of(" '");
    const size_t last = text.find_last_not_of(" '");
    if (first == std::string::npos || text.size() > 70)
        return false;
    text = text.substr(first, last - first + 1);
    size_t i = 0;
    auto digits = [&] {
        const size_t start = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        return i > start;
    };
    if (text[i] == '+' || text[i] == '-')
        ++i;
    bool mantissa = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        mantissa = digits() || mantissa;
    }
    if (mantissa && i < text.size() && std::strchr("EeDd", text[i])) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        mantissa = digits();
    }
    return mantissa && i == text.size();
}

std::string FindBadCompressionHeader(const std::string& path, LONGLONG headerStart)
{
    constexpr int kMaxHeaderBlocks = 10000;  // 360000 cards
    std::ifstream in(path, std::ios::binary);
    in.seekg(headerStart);
    std::vector<std::pair<std::string, std::string>> cards;  // the Z... keywords and their values
    std::string complexKey;  // the first Z keyword whose value is neither text, logical nor a plain number
    char block[2880];
    bool ended = false;
    for (int b = 0; b < kMaxHeaderBlocks && !ended && in.read(block, sizeof block); ++b) {
        for (int c = 0; c < 36 && !ended; ++c) {
            const std::string card(block + 80 * c, 80);
            std::string name = card.substr(0, 8);
            name.erase(name.find_last_not_of(' ') + 1);
            ended = name == "END";
            const std::string value = card[8] == '=' ? CardValue(card) : std::string();
            if (name.rfind('Z', 0) == 0)
                cards.emplace_back(name, value);
            const bool text = card.find('\'', 10) != std::string::npos;
            if (complexKey.empty() && name.rfind('Z', 0) == 0 && !text && value != "T" && value != "F" &&
                !IsPlainNumber(value.c_str()))
                complexKey = name;
        }
    }
    auto value = [&cards](const std::string& key) {
        for (const auto& [name, text] : cards)
            if (name == key)
                return text;
        return std::string();
    };
    if (value("ZIMAGE") != "T")
        return {};
    if (!complexKey.empty())
        return "the keyword " + complexKey + " holds no number where a number belongs";
    for (const auto& [name, text] : cards) {
        std::string key = name, number = text;  // a keyword that must hold a positive whole number
        if (name.rfind("ZNAME", 0) == 0) {
            std::string upper = text;
            std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
            if (upper != "BLOCKSIZE")
                continue;
            key = "ZVAL" + name.substr(5);
            number = value(key);
        } else if (name.rfind("ZTILE", 0) != 0 && name.rfind("ZNAXIS", 0) != 0) {
            continue;
        }
        if (!IsPositiveWholeNumber(number))
            return "the compression keyword " + key + " holds '" + number + "', not a positive whole number";
    }
    return {};
}

std::string FindCorruptTile(fitsfile* file, int* status)
{
    const FITSfile& f = *file->Fptr;
    const bool rice = f.compress_type == RICE_1;
    const bool gzip = f.compress_type == GZIP_1 || f.compress_type == GZIP_2;
    const bool hcompress = f.compress_type == HCOMPRESS_1;
    if (!fits_is_compressed_image(file, status) || !(rice || gzip || hcompress) || f.cn_compressed <= 0)
        return {};
    if (rice && f.rice_blocksize <= 0)
        return "the Rice block size " + std::to_string(f.rice_blocksize) + " is not positive";
    if (f.zndim < 1 || f.zndim > MAX_COMPRESS_DIM)
        return {};  // CFITSIO refuses these itself
    for (int d = 0; d < f.zndim; ++d)
        if (f.znaxis[d] <= 0 || f.tilesize[d] <= 0)
            return {};

    LONGLONG rows = 0;
    fits_get_num_rowsll(file, &rows, status);
    const RiceCode code = CodeFor(f.rice_bytepix);
    std::vector<unsigned char> bytes;
    for (LONGLONG row = 1; row <= rows && *status == 0; ++row) {
        LONGLONG length = 0, offset = 0;
        fits_read_descriptll(file, f.cn_compressed, row, &length, &offset, status);
        if (*status || length == 0)  // an empty tile comes from another column, or is blank
            continue;
        if (length < 0 || length > f.logfilesize)
            return "tile " + std::to_string(row) + " claims more bytes than the file holds";
        bytes.resize(static_cast<size_t>(length));
        fits_read_col(file, TBYTE, f.cn_compressed, row, 1, length, nullptr, bytes.data(), nullptr, status);
        if (*status)
            break;
        const int64_t pixels = TilePixels(f, row - 1);
        const bool sound = rice   ? RiceStream(bytes).Follow(pixels, f.rice_blocksize, code)
                           : gzip ? GzipStreamEnds(bytes, pixels * kMaxBytesPerPixel)
                                  : HcompressHeaderFits(bytes, pixels);
        if (!sound)
            return "the compressed data of tile " + std::to_string(row) + " is corrupt";
    }
    return {};
}
