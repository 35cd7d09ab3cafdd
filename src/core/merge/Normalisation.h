#pragma once
// Bringing a frame's planes to the reference: offset, light scale and the
// weight of its noise.

#include <array>

#include "image/PlaneValues.h"

// One frame's plane brought to the reference: v = (x - bk) * lightK + refBk,
// difference scale r, weight k = r * r.
struct PlaneNormalisation {
    float lightK = 1.0f;
    float r = 1.0f;
    float k = 1.0f;
    float background = 0.0f;
    float refBackground = 0.0f;

    float Normalise(float x) const { return (x - background) * lightK + refBackground; }
    // The locally corrected, noise-scaled difference from the average.
    float Difference(float v, float localRef, float localF, float average) const
    {
        return (v + localRef - localF - average) * r;
    }
};

using FrameNormalisation = std::array<PlaneNormalisation, 3>;

// Plane c of a frame with the triples background, signal, noise brought to
// the reference triples.
PlaneNormalisation NormalisePlane(const PlaneValues& refBackground, const PlaneValues& refSignal,
                                  const PlaneValues& refNoise, const PlaneValues& background,
                                  const PlaneValues& signal, const PlaneValues& noise, int c);
