#include "preview/PreviewBitmap.h"

#include "platform/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <new>

namespace {

// One bin per unit value from -32768 up to 65535; values outside go to the end bins.
constexpr int kHistogramBins = 0x18000;
constexpr int kHistogramOffset = -32768;
constexpr int kWhiteCount = 50;

// What Render derives from the histogram and the gamma setting.
struct Mapping {
    float black;
    float scale;
    float k;
    float norm;
    bool curve;  // gamma > 0
};

Mapping MakeMapping(float black, float white, int gamma)
{
    if (black == white) {
        if (white > 10000.0f)
            black -= 1.0f;
        else
            white += 1.0f;
    }
    Mapping m;
    m.black = black;
    m.scale = 1.0f / (white - black);
    // From gamma 454 up k exceeds the float range; the curve then stays at the
    // strongest one a float can express instead of turning every value into NaN.
    m.k = static_cast<float>(std::min(std::exp(gamma / 5.0 - 2.0), static_cast<double>(FLT_MAX)));
    m.curve = gamma > 0;
    m.norm = m.curve ? std::log(m.k + 1.0f) : 1.0f;
    return m;
}

// A channel above the black point, 0 when below it or not a number.
float AboveBlack(float value, float black)
{
    const float v = value - black;
    return v >= 0.0f ? v : 0.0f;
}

// Clamped to [0, 1]; not a number gives 0.
float Clamp01(float v)
{
    v = v > 0.0f ? v : 0.0f;
    return v > 1.0f ? 1.0f : v;
}

// The byte of a value in [0, 1].
uint32_t ToByte(float v) { return static_cast<uint32_t>(static_cast<int32_t>(v * 255.5f)); }

// The mapping of image rows [yBegin, yEnd) for P planes. Every clamp comes
// before the conversion to a byte, so no invalid float reaches an integer.
// Each row goes in three steps, the brightness, the curve and the bytes, so
// that the first and the last are free of branches and calls and vectorise.
template <int P>
[[gnu::always_inline]] inline void MapRows(const Mapping& m, const float* pixels, int width, int height, int yBegin,
                                           int yEnd, uint32_t* bits)
{
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<float> light(static_cast<size_t>(width));
    float* L = light.data();
    for (int y = yBegin; y < yEnd; ++y) {
        const float* src = pixels + static_cast<size_t>(y) * width;
        uint32_t* dst = bits + static_cast<size_t>(height - 1 - y) * width;
        for (int x = 0; x < width; ++x) {
            float sum = 0.0f;
            for (int p = 0; p < P; ++p)
                sum += m.scale * AboveBlack(src[x + n * p], m.black);
            L[x] = Clamp01(sum / static_cast<float>(P));
        }
        if (m.curve)
            for (int x = 0; x < width; ++x)
                L[x] = std::log(m.k * L[x] + 1.0f) / m.norm;
        for (int x = 0; x < width; ++x) {
            if constexpr (P == 1) {
                dst[x] = ToByte(L[x]) * 0x010101u;
            } else {
                float c[3] = {0.0f, 0.0f, 0.0f};
                for (int p = 0; p < P; ++p)
                    c[p] = AboveBlack(src[x + n * p], m.black);
                const float mean = (c[0] + c[1] + c[2]) / 3.0f;
                uint32_t rgb = 0;
                for (int p = 0; p < P; ++p)
                    rgb |= ToByte(Clamp01(L[x] * c[p] / mean)) << (16 - 8 * p);  // red, green, blue
                dst[x] = rgb;
            }
        }
    }
}

// A second copy for processors with AVX2, chosen when the program loads:
// twice the values per instruction, and the same bits, as the operations
// are the same IEEE ones (no fused multiply-add).
__attribute__((target_clones("avx2", "default"))) void MapBand(const Mapping& m, int planes, const float* pixels,
                                                               int width, int height, int yBegin, int yEnd,
                                                               uint32_t* bits)
{
    switch (planes) {
    case 1: MapRows<1>(m, pixels, width, height, yBegin, yEnd, bits); break;
    case 2: MapRows<2>(m, pixels, width, height, yBegin, yEnd, bits); break;
    default: MapRows<3>(m, pixels, width, height, yBegin, yEnd, bits); break;
    }
}

void Put16(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value)
{
    Put16(at, value);
    Put16(at + 2, value >> 16);
}

}  // namespace

// With AVX2 where the processor has it, as MapBand.
__attribute__((target_clones("avx2", "default"))) void BuildHistogram(int* counts, const float* values, int count,
                                                                      int bins, float offset)
{
    std::fill(counts, counts + bins, 0);
    // The smallest float at or above bins: a value reaches it exactly when it
    // reaches bins.
    float beyond = static_cast<float>(bins);
    if (static_cast<double>(beyond) < bins)
        beyond = std::nextafter(beyond, FLT_MAX);
    // The bins of a chunk in a loop of selects, which vectorises, then the counts.
    constexpr int kChunk = 2048;
    int32_t bin[kChunk];
    for (int first = 0; first < count; first += kChunk) {
        const int m = std::min(kChunk, count - first);
        for (int j = 0; j < m; ++j) {
            const float v = values[first + j] - offset;
            const float above = v >= 0.0f ? v : 0.0f;  // below the first bin, or NaN: the first
            const bool past = above >= beyond;          // beyond the last bin, or +inf: the last
            bin[j] = past ? bins - 1 : static_cast<int32_t>(past ? 0.0f : above);
        }
        for (int j = 0; j < m; ++j)
            ++counts[bin[j]];
    }
}

bool CPreviewBitmap::Resize(int width, int height)
{
    if (width == m_width && height == m_height && HasBitmap())
        return true;
    Release();
    if (width <= 0 || height <= 0)
        return false;
    try {
        m_bits.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    } catch (const std::bad_alloc&) {
        Release();
        return false;
    }
    m_width = width;
    m_height = height;
    return true;
}

void CPreviewBitmap::Release()
{
    m_bits = {};
    m_width = 0;
    m_height = 0;
}

void CPreviewBitmap::Render(const float* pixels, int width, int height, int planes, int blackFloor)
{
    const int P = std::min(planes, 3);
    if (width <= 0 || height <= 0 || P < 1)
        return;
    const int64_t n = int64_t{width} * height;
    if (n * P > INT_MAX || !Resize(width, height))
        return;

    const int values = static_cast<int>(n * P);
    const int threads = std::clamp(m_threads, 1, 16);  // each one costs a histogram
    try {
        m_histogram.resize(static_cast<size_t>(threads) * kHistogramBins);
    } catch (const std::bad_alloc&) {
        return;
    }
    // Counts add up the same in any order: one histogram per slice, summed.
    int* counts = m_histogram.data();
    RunSplit(threads, threads, [&](int64_t first, int64_t end) {
        for (int64_t t = first; t < end; ++t) {
            const int64_t begin = values * t / threads;
            BuildHistogram(counts + t * kHistogramBins, pixels + begin,
                           static_cast<int>(values * (t + 1) / threads - begin), kHistogramBins,
                           static_cast<float>(kHistogramOffset));
        }
    });
    for (int t = 1; t < threads; ++t)
        for (int i = 0; i < kHistogramBins; ++i)
            counts[i] += counts[t * kHistogramBins + i];
    const int64_t floorBins = std::min<int64_t>(int64_t{blackFloor} - kHistogramOffset, kHistogramBins);
    if (floorBins > 0)
        std::fill(counts, counts + floorBins, 0);

    int low = 0;
    int high = 0;
    // The low threshold is 1 % of one plane's pixels, not of all values counted.
    FindHistogramLimits(counts, kHistogramBins, &low, &high, static_cast<int>(n / 100), kWhiteCount);
    const float black = static_cast<float>(std::max(low + kHistogramOffset, blackFloor));
    const float white = static_cast<float>(high + kHistogramOffset);
    const Mapping mapping = MakeMapping(black, white, m_gamma);

    uint32_t* bits = m_bits.data();
    // Every pixel maps on its own, so rows split freely.
    RunSplit(height, m_threads, [&](int64_t first, int64_t end) {
        const int y0 = static_cast<int>(first), y1 = static_cast<int>(end);
        MapBand(mapping, P, pixels, width, height, y0, y1, bits);
    });
}

void CPreviewBitmap::RenderImage(const CFitsImage& image, int plane, int blackFloor)
{
    if (!image.m_pData || plane >= image.m_planes)
        return;
    if (plane >= 0)
        Render(image.PixelAt(0, 0, plane), image.m_width, image.m_height, 1, blackFloor);
    else
        Render(image.m_pData, image.m_width, image.m_height, image.m_planes, blackFloor);
}

uint32_t* CPreviewBitmap::PixelPtr(int x, int y)
{
    return m_bits.data() + (static_cast<size_t>(m_height - 1 - y) * m_width + x);
}

bool CPreviewBitmap::SaveBmp(const std::string& path) const
{
    const uint64_t rowBytes = (3 * static_cast<uint64_t>(m_width) + 3) / 4 * 4;
    const uint64_t fileSize = 54 + rowBytes * static_cast<uint64_t>(m_height);
    if (fileSize > UINT32_MAX) {  // bfSize could not hold it
        errno = EFBIG;
        return false;
    }
    std::vector<uint8_t> row;
    try {
        row.assign(rowBytes, 0);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }

    CAtomicFile output(path, true);
    FILE* file = output.OpenStream();
    if (!file)
        return false;

    uint8_t header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, static_cast<uint32_t>(fileSize));
    Put32(header + 10, 54);
    Put32(header + 14, 40);
    Put32(header + 18, static_cast<uint32_t>(m_width));
    Put32(header + 22, static_cast<uint32_t>(m_height));
    Put16(header + 26, 1);
    Put16(header + 28, 24);
    Put32(header + 38, 1000);
    Put32(header + 42, 1000);
    bool ok = std::fwrite(header, 1, sizeof header, file) == sizeof header;

    // Rows in memory order, which is bottom-up as the file stores them.
    for (int r = 0; ok && r < m_height; ++r) {
        const uint32_t* src = m_bits.data() + static_cast<size_t>(r) * m_width;
        for (int x = 0; x < m_width; ++x) {
            row[3 * x] = static_cast<uint8_t>(src[x]);            // blue
            row[3 * x + 1] = static_cast<uint8_t>(src[x] >> 8);   // green
            row[3 * x + 2] = static_cast<uint8_t>(src[x] >> 16);  // red
        }
        ok = std::fwrite(row.data(), 1, row.size(), file) == row.size();
    }
    // A cut-off picture never appears under the name; the reason stays in errno.
    return ok && output.Commit();
}

void FindHistogramLimits(const int* counts, int bins, int* low, int* high, int lowCount, int highCount)
{
    *low = 0;
    int64_t sum = 0;
    for (int i = 0; i < bins; ++i) {
        sum += counts[i];
        if (sum > lowCount) {
            *low = i;
            break;
        }
    }
    sum = 0;
    for (int i = bins - 1; i > *low; --i) {
        sum += counts[i];
        if (sum > highCount) {
            *high = i;
            break;
        }
    }
}
