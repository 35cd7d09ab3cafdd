#pragma once
// The black and white limits as the passes apply them to every pixel.

#include <limits>

#include "merge/MergeParams.h"

// The values a pass uses: strictly inside the enabled limits. NaN and
// infinities fail the test too, so they are skipped like limited values.
struct PixelLimits {
    float lo = -std::numeric_limits<float>::infinity();
    float hi = std::numeric_limits<float>::infinity();
    // Both comparisons always, so that the pixel loops stay free of branches.
    bool Accepts(float x) const { return (x > lo) & (x < hi); }
};

// The enabled black and white limits; a disabled one is `unlimited`.
inline PixelLimits MakeLimits(const MergeParams& p, float unlimited)
{
    PixelLimits limits{-unlimited, unlimited};
    if (p.m_ignoreBlack)
        limits.lo = static_cast<float>(p.m_blackLimit);
    if (p.m_ignoreWhite)
        limits.hi = static_cast<float>(p.m_whiteLimit);
    return limits;
}

inline PixelLimits MakePixelLimits(const MergeParams& p) { return MakeLimits(p, std::numeric_limits<float>::infinity()); }
