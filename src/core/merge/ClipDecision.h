#pragma once
// The sigma-clipping decision for one pixel and the tint that shows it.
// Inline: the pixel loops of the clipping pass and of the clipping preview
// vectorise only with these in view.

#include <algorithm>
#include <cmath>
#include <cstdint>

// How much of a pixel the clipping takes away: f = 0 for an accepted pixel,
// 1 for one rejected outright, in between in the fade band.
struct ClipDecision {
    bool accepted;
    float f;
};

// Without branches, so that the pixel loops around it vectorise: every
// quantity is computed and the decision selects among them.
inline ClipDecision DecideClip(float d, float threshold, float deviation, float fade)
{
    const float magnitude = std::fabs(d);
    // Differences no int can hold (and NaN) are rejected without converting.
    const bool representable = magnitude < 2147483648.0f;
    const float a = static_cast<float>(static_cast<int32_t>(representable ? magnitude : 0.0f));
    const bool accepted = representable & (threshold * deviation >= a);
    const float q = a / deviation;
    const bool faded = representable & (fade > 0.0f) & (threshold + fade > q);
    return {accepted, accepted ? 0.0f : (faded ? (q - threshold) / fade : 1.0f)};
}

// What the clipping tests a frame's pixel with: its noise-scaled difference
// d and the deviation that threshold times it must reach.
struct ClipTest {
    float d;
    float deviation;
};

// Robust mode's test: the frame against the weighted mean and scatter of the
// other frames, so that an outlier cannot widen the deviation it is measured
// with. v is the frame's normalised value, e its locally corrected difference
// from the average, r and k its difference scale and weight; the pixel's sums
// over all frames are the weight, squares (sum of k e^2), differences (sum of
// k e) and count. The others' deviation, estimated from count - 2 degrees of
// freedom, is widened by the spread of Student's t for them, so that a few
// others that happen to agree do not reject a sound value; and it is never
// below floor, the reference's background noise. With fewer than 3 frames
// nobody can be told apart: accepted.
inline ClipTest TestLeaveOneOut(float v, float average, float e, float r, float k, float weight, float squares,
                                float differences, float count, float floor)
{
    const float others = weight - k;
    const bool enough = (count > 2.5f) & (others > 0.0f);
    const float safeOthers = enough ? others : 1.0f;
    const float shift = k * (v - average) / safeOthers;  // the average minus the others' mean
    const float spread = squares - k * e * e + 2.0f * shift * (differences - k * e) + shift * shift * others;
    const float freedom = count - 2.0f;  // the others, less the mean taken from them
    const float widening = std::max(freedom, 3.0f) / std::max(freedom - 2.0f, 1.0f);
    // Per unit weight, then for this frame's difference from the others' mean.
    const float variance =
        std::max(std::max(spread, 0.0f) / freedom * widening, floor * floor) * (weight / safeOthers);
    // No select on the difference: a constant there turns the clipping test's
    // flags into selects the vectoriser cannot take. sqrt(1e30) passes any
    // difference an int holds.
    return {(e + shift) * r, std::sqrt(enough ? variance : 1e30f)};
}

inline uint32_t LowByte(float channel) { return static_cast<uint32_t>(static_cast<int32_t>(channel)) & 0xFFu; }

inline uint32_t GreenOf(uint32_t pixel) { return (pixel >> 8) & 0xFFu; }

// Red toward 255 * f for a positive difference, blue for the others; the
// green byte stays, so every decision can be read again from it.
inline uint32_t TintPixel(uint32_t pixel, float f, bool positive)
{
    const uint32_t g = GreenOf(pixel);
    const float kept = (1.0f - f) * static_cast<float>(g);
    const float full = (1.0f - f) * static_cast<float>(g) + 255.0f * f;
    const uint32_t red = LowByte(positive ? full : kept);
    const uint32_t blue = LowByte(positive ? kept : full);
    return (red << 16) | (g << 8) | blue;
}
