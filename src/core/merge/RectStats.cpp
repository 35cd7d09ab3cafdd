#include "merge/RectStats.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

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

}  // namespace

bool CalcRectStats(const CFitsImage& image, const ImageRect& rect, PlaneValues& mean, PlaneValues& stdDev,
                   bool skipNoData)
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
    for (int c = 0; c < planes; ++c) {
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
                    PlaneValues& background, PlaneValues& signal, PlaneValues& noise, bool skipNoData)
{
    PlaneValues scratch;
    const bool okBack = CalcRectStats(image, rcNoise, background, noise, skipNoData);
    const bool okSignal = CalcRectStats(image, rcLight, signal, scratch, skipNoData);
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

InfoLine FormatInfoLine(const CFitsImage& image, const ImageRect& rcNoise, const ImageRect& rcLight)
{
    if (!image.m_pData)
        return {"open images", ""};

    PlaneValues bk, noise, light, scratch;
    if (!CalcRectStats(image, rcNoise, bk, noise))
        return {"mark background rectangle", "Simple"};

    const bool colour = image.m_planes == 3;
    const bool okSignal = CalcRectStats(image, rcLight, light, scratch);
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
