// quality: how clean a merged result is, measured against the noise-free
// field make-frames --truth wrote. The result is fitted to the truth (scale,
// offset and a sky plane, the levels the merge is free to choose); of the
// residual it prints the noise (scaled median absolute deviation) in units
// of the reference frame's own noise measured the same way, and the number
// of pixels beyond 6 times the result's noise: what the merge let through.
// usage: quality RESULT TRUTH REFERENCE_FRAME   (plane 0 of each)
// prints: NOISE LEAKED

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "image/FitsImage.h"

namespace {

class StderrSink : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
};

constexpr double kMadToGaussian = 1.4826022;
constexpr int kTerms = 4;  // truth, 1, x, y

double Median(std::vector<double> values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Solves the normal equations a x = b in place (Gaussian elimination with
// partial pivoting; 4 x 4).
std::array<double, kTerms> Solve(std::array<std::array<double, kTerms>, kTerms> a, std::array<double, kTerms> b)
{
    for (int col = 0; col < kTerms; ++col) {
        int pivot = col;
        for (int row = col + 1; row < kTerms; ++row)
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col]))
                pivot = row;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        for (int row = col + 1; row < kTerms; ++row) {
            const double f = a[row][col] / a[col][col];
            for (int k = col; k < kTerms; ++k)
                a[row][k] -= f * a[col][k];
            b[row] -= f * b[col];
        }
    }
    std::array<double, kTerms> x{};
    for (int row = kTerms - 1; row >= 0; --row) {
        double sum = b[row];
        for (int k = row + 1; k < kTerms; ++k)
            sum -= a[row][k] * x[k];
        x[row] = sum / a[row][row];
    }
    return x;
}

// The residual of image after the least-squares fit to truth, refitted
// twice without the pixels beyond 5 sigma so that outliers do not bend it;
// sigma is the residual's scaled median absolute deviation, scale the
// fitted factor of the truth (to compare images stored in other units).
std::vector<double> FitResidual(const CFitsImage& image, const CFitsImage& truth, double& sigma, double& scale)
{
    const int W = image.m_width, H = image.m_height;
    const size_t n = static_cast<size_t>(W) * H;
    std::vector<double> residual(n, 0.0);
    std::vector<char> used(n, 1);
    for (int round = 0; round < 3; ++round) {
        std::array<std::array<double, kTerms>, kTerms> a{};
        std::array<double, kTerms> b{};
        for (size_t i = 0; i < n; ++i) {
            if (!used[i])
                continue;
            const double t[kTerms] = {truth.m_pData[i], 1.0, static_cast<double>(i % W) / W,
                                      static_cast<double>(i / W) / H};
            for (int r = 0; r < kTerms; ++r) {
                for (int c = 0; c < kTerms; ++c)
                    a[r][c] += t[r] * t[c];
                b[r] += t[r] * image.m_pData[i];
            }
        }
        const std::array<double, kTerms> x = Solve(a, b);
        scale = x[0];
        for (size_t i = 0; i < n; ++i)
            residual[i] = image.m_pData[i] - (x[0] * truth.m_pData[i] + x[1] + x[2] * static_cast<double>(i % W) / W +
                                              x[3] * static_cast<double>(i / W) / H);
        const double center = Median(residual);
        std::vector<double> spread(n);
        for (size_t i = 0; i < n; ++i)
            spread[i] = std::fabs(residual[i] - center);
        sigma = kMadToGaussian * Median(spread);
        for (size_t i = 0; i < n; ++i)
            used[i] = std::fabs(residual[i] - center) <= 5.0 * sigma;
    }
    return residual;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: quality RESULT TRUTH REFERENCE_FRAME\n", stderr);
        return 2;
    }
    StderrSink sink;
    CFitsImage result, truth, reference;
    if (!result.Load(argv[1], sink) || !truth.Load(argv[2], sink) || !reference.Load(argv[3], sink))
        return 1;
    if (result.m_width != truth.m_width || result.m_height != truth.m_height || !reference.SameSize(result)) {
        std::fputs("quality: the images differ in size\n", stderr);
        return 1;
    }
    double frameSigma = 0.0, frameScale = 1.0, sigma = 0.0, scale = 1.0;
    FitResidual(reference, truth, frameSigma, frameScale);
    const std::vector<double> residual = FitResidual(result, truth, sigma, scale);
    const double center = Median(residual);
    const long leaked = std::count_if(residual.begin(), residual.end(),
                                      [&](double r) { return std::fabs(r - center) > 6.0 * sigma; });
    std::printf("%.3f %ld\n", (sigma / scale) / (frameSigma / frameScale), leaked);
    return 0;
}
