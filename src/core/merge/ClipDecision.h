#pragma once
// The sigma-clipping decision for one pixel and the tint that shows it.
// Inline: the pixel loops of the clipping pass and of the clipping preview
// vectorise only with these in view.

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
