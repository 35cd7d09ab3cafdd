#include "align/Resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/Threads.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kTaps = 6;  // Lanczos-3: three lobes on each side

// The six weights of the taps at floor(t) - 2 ... floor(t) + 3 for a sample at
// fraction f = t - floor(t), normalised to sum 1 so flat areas stay flat.
// sin(pi (f - k)) only changes sign from tap to tap, and sin(pi (f - k) / 3)
// follows from one sine and cosine, so an axis costs three sines.
void LanczosWeights(double f, double w[kTaps])
{
    if (f < 1e-9) {
        std::fill(w, w + kTaps, 0.0);
        w[2] = 1.0;
        return;
    }
    // cos(k pi / 3) and sin(k pi / 3) of the tap offsets k = -2 ... 3
    static constexpr double kCos[kTaps] = {-0.5, 0.5, 1.0, 0.5, -0.5, -1.0};
    static constexpr double kSin[kTaps] = {-0.86602540378443865, -0.86602540378443865, 0.0,
                                           0.86602540378443865,  0.86602540378443865,  0.0};
    const double s = std::sin(kPi * f), s3 = std::sin(kPi * f / 3.0), c3 = std::cos(kPi * f / 3.0);
    double sum = 0.0;
    for (int i = 0; i < kTaps; ++i) {
        const double d = f - (i - 2);
        const double sinD = (i & 1) ? -s : s;           // sin(pi (f - k)) = (-1)^k sin(pi f)
        const double sinD3 = s3 * kCos[i] - c3 * kSin[i];  // sin(pi (f - k) / 3)
        w[i] = 3.0 * sinD * sinD3 / (kPi * kPi * d * d);
        sum += w[i];
    }
    for (int i = 0; i < kTaps; ++i)
        w[i] /= sum;
}

// The kernel sums each column of taps first, eight columns at once (the
// six of the kernel and two spare that the loop carries to stay a vector
// loop): lane-wise sums vectorise without reordering any one of them. Then
// the six column sums are weighted across, always in the same order, so a
// pixel near the edge gets the same bits from InterpolateAtEdge.
constexpr int kLanes = 8;

float WeighColumns(const float* columns, const float* wx)
{
    float sum = 0.0f;
    for (int t = 0; t < kTaps; ++t)
        sum += wx[t] * columns[t];
    return sum;
}

// Four lanes of floats (GCC and Clang vector extensions): GCC 12 left the
// column sums scalar by itself, at a third more time per frame.
using Lanes = float __attribute__((vector_size(16)));

Lanes LoadLanes(const float* p)
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The taps from corner (the top-left tap) on, all inside the frame with the
// two spare columns.
float Interpolate(const float* corner, int W, const float* wx, const float* wy)
{
    Lanes left = {}, right = {};
    for (int r = 0; r < kTaps; ++r, corner += W) {
        left += wy[r] * LoadLanes(corner);
        right += wy[r] * LoadLanes(corner + 4);
    }
    float columns[kLanes];
    std::memcpy(columns, &left, sizeof left);
    std::memcpy(columns + 4, &right, sizeof right);
    return WeighColumns(columns, wx);
}

// The same near the edge, where the edge pixel stands in for the kernel's
// reach beyond it.
float InterpolateAtEdge(const float* plane, int W, int H, int iu, int iv, const float* wx, const float* wy)
{
    float columns[kTaps] = {};
    for (int r = 0; r < kTaps; ++r) {
        const float* row = plane + int64_t{std::clamp(iv - 2 + r, 0, H - 1)} * W;
        for (int t = 0; t < kTaps; ++t)
            columns[t] += wy[r] * row[std::clamp(iu - 2 + t, 0, W - 1)];
    }
    return WeighColumns(columns, wx);
}

}  // namespace

void ResampleFrame(const CFitsImage& frame, const Similarity& move, CFitsImage& out, int threads)
{
    // Weights for fractions in steps of 1/kSteps: a sample lands at most
    // 1/(2 kSteps) px from where it should, far below what the fit resolves,
    // and the table stays in the first-level cache.
    constexpr int kSteps = 1024;
    std::vector<float> table((kSteps + 1) * kTaps);
    for (int s = 0; s <= kSteps; ++s) {
        double w[kTaps];
        LanczosWeights(static_cast<double>(s) / kSteps, w);
        for (int t = 0; t < kTaps; ++t)
            table[s * kTaps + t] = static_cast<float>(w[t]);
    }
    const int W = frame.m_width, H = frame.m_height;
    const int64_t N = int64_t{W} * H;
    const float noData = std::numeric_limits<float>::quiet_NaN();
    RunSplit(H, threads, [&](int64_t firstRow, int64_t endRow) {
        for (int64_t y = firstRow; y < endRow; ++y)
            for (int x = 0; x < W; ++x) {
                double u = 0.0, v = 0.0;
                move.Apply(x, static_cast<double>(y), u, v);
                const int64_t i = y * W + x;
                if (!(u > -0.5 && u < W - 0.5 && v > -0.5 && v < H - 0.5)) {
                    for (int p = 0; p < frame.m_planes; ++p)
                        out.m_pData[N * p + i] = noData;
                    continue;
                }
                // floor(), cheaper: u and v are above -1 here.
                const int iu = static_cast<int>(u + 1.0) - 1, iv = static_cast<int>(v + 1.0) - 1;
                const float* wx = &table[static_cast<int>((u - iu) * kSteps + 0.5) * kTaps];
                const float* wy = &table[static_cast<int>((v - iv) * kSteps + 0.5) * kTaps];
                const bool inside = iu >= 2 && iu - 2 + kLanes <= W && iv >= 2 && iv + 3 < H;
                for (int p = 0; p < frame.m_planes; ++p) {
                    const float* plane = frame.m_pData + N * p;
                    out.m_pData[N * p + i] = inside ? Interpolate(plane + (int64_t{iv} - 2) * W + iu - 2, W, wx, wy)
                                                    : InterpolateAtEdge(plane, W, H, iu, iv, wx, wy);
                }
            }
    });
}
