#include "merge/RectStats.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

constexpr int64_t kMinRectArea = 100;

// Text for a value printf would print differently per platform ("-nan",
// "nan(ind)", "1.#INF"), or empty when the value is finite.
std::string NonFiniteText(float value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    return {};
}

std::string FormatFixed(float value, int decimals)
{
    std::string text = NonFiniteText(value);
    if (!text.empty())
        return text;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, static_cast<double>(value));
    return buffer;
}

// The value truncated toward zero, as "%i" shows it; values no int can hold
// are printed from the float itself instead of an undefined conversion.
std::string FormatTruncated(float value)
{
    std::string text = NonFiniteText(value);
    if (!text.empty())
        return text;
    const float t = std::trunc(value);
    char buffer[64];
    if (t >= -2147483648.0f && t < 2147483648.0f)
        std::snprintf(buffer, sizeof buffer, "%i", static_cast<int>(t));
    else
        std::snprintf(buffer, sizeof buffer, "%.0f", static_cast<double>(t));
    return buffer;
}

// "(a-b-c)" of the first three planes.
template <typename Format>
std::string FormatTriple(const PlaneValues& values, Format format)
{
    std::string text = "(";
    for (int c = 0; c < 3; ++c) {
        text += format(values[c]);
        text += c < 2 ? '-' : ')';
    }
    return text;
}

// The finite values of plane c over the clipped rectangle; NaN would break
// the ordering the median needs.
void GatherFinite(const CFitsImage& image, int c, int64_t x0, int64_t x1, int64_t y0, int64_t y1,
                  std::vector<float>& values)
{
    values.clear();
    values.reserve(static_cast<size_t>((x1 - x0) * (y1 - y0)));  // one allocation per rectangle
    for (int64_t y = y0; y < y1; ++y) {
        const float* row = image.PixelAt(static_cast<int>(x0), static_cast<int>(y), c);
        for (int64_t i = 0; i < x1 - x0; ++i)
            if (std::isfinite(row[i]))
                values.push_back(row[i]);
    }
}

// The median of values (reordered); the mean of the two middle ones for an even count.
double Median(std::vector<float>& values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    const double upper = *middle;
    if (values.size() % 2)
        return upper;
    return (upper + *std::max_element(values.begin(), middle)) / 2.0;
}

constexpr double kClipKappa = 3.0;
// A Gaussian's deviation over its deviation within +-3 sigma.
constexpr double kClippedToGaussian = 1.0136042;
// The median absolute deviation of a Gaussian over its deviation.
constexpr double kMadToGaussian = 1.4826022;
constexpr int kMaxClipRounds = 50;

// The mean of the middle half of the values (reordered). Unlike a clipped
// mean it scales exactly with the values, also over an object's structure,
// so that the signal levels of two frames keep the ratio of their light.
double InterquartileMean(std::vector<float>& values)
{
    const auto first = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 4);
    const auto last = values.begin() + static_cast<std::ptrdiff_t>(values.size() - values.size() / 4);
    std::nth_element(values.begin(), first, values.end());
    std::nth_element(first, last - 1, values.end());
    double sum = 0.0;
    for (auto it = first; it != last; ++it)
        sum += *it;
    return sum / static_cast<double>(last - first);
}

// The level: the interquartile mean. The noise: iterated 3-sigma clipping,
// started from the median and the scaled median absolute deviation (which an
// outlier cannot move much), until the kept set no longer changes.
void CalcRobustStats(std::vector<float>& values, std::vector<float>& scratch, float& mean, float& stdDev)
{
    if (values.empty()) {
        mean = stdDev = std::numeric_limits<float>::quiet_NaN();
        return;
    }
    double center = Median(values);
    scratch.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        scratch[i] = static_cast<float>(std::fabs(values[i] - center));
    double scale = kMadToGaussian * Median(scratch);
    int64_t keptBefore = -1;
    for (int round = 0; round < kMaxClipRounds; ++round) {
        const double limit = kClipKappa * scale;
        double sum = 0.0;
        int64_t kept = 0;
        for (const float v : values)
            if (std::fabs(v - center) <= limit) {
                sum += v;
                ++kept;
            }
        const double keptMean = sum / static_cast<double>(kept);
        double ss = 0.0;
        for (const float v : values)
            if (std::fabs(v - center) <= limit)
                ss += (v - keptMean) * (v - keptMean);
        center = keptMean;
        scale = kClippedToGaussian * std::sqrt(ss / static_cast<double>(kept));
        if (kept == keptBefore)
            break;
        keptBefore = kept;
    }
    mean = static_cast<float>(InterquartileMean(values));
    stdDev = static_cast<float>(scale);
}

}  // namespace

bool CalcRectStats(const CFitsImage& image, const ImageRect& rect, PlaneValues& mean, PlaneValues& stdDev,
                   bool robust, bool skipNoData)
{
    // 64-bit so that x + w cannot overflow for any stored rectangle.
    const int64_t x0 = std::max<int64_t>(rect.StartX, 0);
    const int64_t x1 = std::min<int64_t>(int64_t{rect.StartX} + rect.SizeX, image.m_width);
    const int64_t y0 = std::max<int64_t>(rect.StartY, 0);
    const int64_t y1 = std::min<int64_t>(int64_t{rect.StartY} + rect.SizeY, image.m_height);
    const int64_t width = x1 - x0;
    const int64_t height = y1 - y0;
    const int64_t area = (width > 0 && height > 0 && image.m_pData) ? width * height : 0;
    const auto unusable = [&] {
        mean[0] = 0.0f;
        stdDev[0] = 0.0f;
        return false;
    };
    if (area < kMinRectArea)
        return unusable();

    const int planes = std::min(image.m_planes, 3);
    std::vector<float> values, scratch;
    for (int c = 0; c < planes; ++c) {
        if (robust) {
            GatherFinite(image, c, x0, x1, y0, y1, values);
            if (skipNoData && static_cast<int64_t>(values.size()) < kMinRectArea)
                return unusable();
            CalcRobustStats(values, scratch, mean[c], stdDev[c]);
            continue;
        }
        double sum = 0.0;
        int64_t n = 0;
        for (int64_t y = y0; y < y1; ++y) {
            const float* row = image.PixelAt(static_cast<int>(x0), static_cast<int>(y), c);
            for (int64_t i = 0; i < width; ++i)
                if (!skipNoData || !std::isnan(row[i])) {
                    sum += row[i];
                    ++n;
                }
        }
        if (n < kMinRectArea)
            return unusable();
        const double meanD = sum / static_cast<double>(n);

        double ss = 0.0;
        for (int64_t y = y0; y < y1; ++y) {
            const float* row = image.PixelAt(static_cast<int>(x0), static_cast<int>(y), c);
            for (int64_t i = 0; i < width; ++i)
                if (!skipNoData || !std::isnan(row[i])) {
                    const double d = row[i] - meanD;
                    ss += d * d;
                }
        }
        mean[c] = static_cast<float>(meanD);
        stdDev[c] = static_cast<float>(std::sqrt(ss / static_cast<double>(n)));
    }
    return true;
}

bool CalcFrameStats(const CFitsImage& image, const ImageRect& rcNoise, const ImageRect& rcLight,
                    PlaneValues& background, PlaneValues& signal, PlaneValues& noise, bool robust,
                    bool skipNoData)
{
    PlaneValues scratch;
    const bool okBack = CalcRectStats(image, rcNoise, background, noise, robust, skipNoData);
    const bool okSignal = CalcRectStats(image, rcLight, signal, scratch, robust, skipNoData);
    const int planes = std::min(image.m_planes, 3);
    for (int c = 0; c < planes; ++c)
        signal[c] -= background[c];
    if (okBack && okSignal)
        return true;
    for (int c = 0; c < planes; ++c) {
        background[c] = 0.0f;
        signal[c] = 100.0f;
        noise[c] = 1.0f;
    }
    return false;
}

InfoLine FormatInfoLine(const CFitsImage& image, const ImageRect& rcNoise, const ImageRect& rcLight, bool robust)
{
    if (!image.m_pData)
        return {"open images", ""};

    PlaneValues bk, noise, light, scratch;
    if (!CalcRectStats(image, rcNoise, bk, noise, robust))
        return {"mark background rectangle", "Simple"};

    const bool colour = image.m_planes == 3;
    const bool okSignal = CalcRectStats(image, rcLight, light, scratch, robust);
    if (!okSignal) {
        if (colour)
            return {"Bk=" + FormatTriple(bk, FormatTruncated) + " Noise=" + FormatTriple(noise, FormatTruncated),
                    "Simple"};
        return {"Bk=" + FormatFixed(bk[0], 1) + " Noise=" + FormatFixed(noise[0], 2), "Simple"};
    }

    PlaneValues snr;
    for (int c = 0; c < std::min(image.m_planes, 3); ++c) {
        light[c] -= bk[c];
        snr[c] = light[c] / noise[c];
    }
    if (colour)
        return {"Bk=" + FormatTriple(bk, FormatTruncated) + " Noise=" + FormatTriple(noise, FormatTruncated) +
                    " S/N=" + FormatTriple(snr, [](float v) { return FormatFixed(v, 1); }),
                "Adaptive"};
    return {"Bgr=" + FormatFixed(bk[0], 1) + " Noise=" + FormatFixed(noise[0], 2) + " Light=" +
                FormatFixed(light[0], 1) + " S/N=" + FormatFixed(snr[0], 2),
            "Adaptive"};
}
