#pragma once
// Every parameter of a merge, as the Merge Parameters dialog holds them.

#include <cstdint>

struct MergeParams {
    bool m_ignoreBlack = false;
    bool m_ignoreWhite = false;
    int32_t m_whiteLimit = 50000;
    int32_t m_blackLimit = 0;
    bool m_useSigma = false;
    float m_sigma = 3.0f;
    float m_sigmaFade = 0.2f;
    int32_t m_normalizeArea = 0;
    bool m_saveBitmaps = false;
    // Frames are registered on the reference's stars and resampled into its grid.
    bool m_align = false;
    // Robust rectangle statistics and leave-one-out clipping; off: the merge
    // as specified, bit for bit.
    bool m_robust = false;

    bool operator==(const MergeParams&) const = default;
};
