#pragma once
// Star detection for the alignment, with SEP (Source Extraction and
// Photometry) on the background-subtracted luminance of a frame.

#include <string>
#include <vector>

#include "image/FitsImage.h"

struct Star {
    double m_x;
    double m_y;
    double m_flux;
    double m_weight;  // 1 / the variance of the centre, roughly
};

// The stars of image, brightest first. Single hot pixels and cosmic-ray
// tracks (too small or too narrow) are not stars. False with reason set when
// SEP gives up on the frame.
bool DetectStars(const CFitsImage& image, std::vector<Star>& stars, std::string& reason);
