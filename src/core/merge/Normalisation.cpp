#include "merge/Normalisation.h"

#include <cmath>

namespace {

bool IsFinitePositive(float value) { return std::isfinite(value) && value > 0.0f; }

}  // namespace

PlaneNormalisation NormalisePlane(const PlaneValues& refBackground, const PlaneValues& refSignal,
                                  const PlaneValues& refNoise, const PlaneValues& background,
                                  const PlaneValues& signal, const PlaneValues& noise, int c)
{
    PlaneNormalisation n;
    // A NaN or infinity in a background rectangle leaves no offset to bring
    // the plane to: it keeps its plain values.
    if (std::isfinite(background[c]) && std::isfinite(refBackground[c])) {
        n.background = background[c];
        n.refBackground = refBackground[c];
    }
    const float lightK = refSignal[c] / signal[c];
    const float r = refNoise[c] / (lightK * noise[c]);
    const float k = r * r;
    // A zero signal or noise (here or in the reference) leaves the plane
    // with neutral factors instead of spreading NaN or zero weights.
    if (IsFinitePositive(lightK) && IsFinitePositive(r) && IsFinitePositive(k)) {
        n.lightK = lightK;
        n.r = r;
        n.k = k;
    }
    return n;
}
