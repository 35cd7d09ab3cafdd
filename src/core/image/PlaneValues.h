#pragma once
// Small value types shared by the whole system.

#include <cstdint>

// One 32-bit float per colour plane (0, 1, 2 = red, green, blue).
struct PlaneValues {
    float v[3] = {0.0f, 0.0f, 0.0f};

    float& operator[](int i) { return v[i]; }
    const float& operator[](int i) const { return v[i]; }
    float* data() { return v; }
    const float* data() const { return v; }
};

// A rectangle in image pixels; all zero means "not marked".
struct ImageRect {
    int32_t StartX = 0;
    int32_t StartY = 0;
    int32_t SizeX = 0;
    int32_t SizeY = 0;

    bool operator==(const ImageRect&) const = default;
};
