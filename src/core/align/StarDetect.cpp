#include "align/StarDetect.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

// sep.h declares C functions without extern "C".
extern "C" {
#include <sep.h>
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kBackgroundTile = 64;
constexpr float kThresholdSigma = 5.0f;
constexpr int kMinArea = 5;
constexpr int kDeblendLevels = 2;
constexpr int kWindowSubpixels = 1;  // SEP: 1 = by the pixel's centre, 0 = exact
// Second-moment half-axes below this are hot pixels or cosmic-ray tracks:
// even a well-focused star spreads over more than one pixel.
constexpr float kMinStarWidth = 0.6f;
constexpr double kMaxWidthOverTypical = 2.0;
// Flags of objects whose centre is unreliable.
constexpr short kBadFlags = SEP_OBJ_TRUNC | SEP_OBJ_SINGU;

// The mean of the planes, with non-finite pixels set to 0 and masked.
void MakeLuminance(const CFitsImage& image, std::vector<float>& luminance, std::vector<uint8_t>& mask)
{
    const size_t n = static_cast<size_t>(image.m_width) * image.m_height;
    luminance.assign(n, 0.0f);
    mask.assign(n, 0);
    for (int p = 0; p < image.m_planes; ++p) {
        const float* plane = image.m_pData + p * n;
        for (size_t i = 0; i < n; ++i)
            luminance[i] += plane[i];
    }
    const float scale = 1.0f / static_cast<float>(image.m_planes);
    for (size_t i = 0; i < n; ++i) {
        if (std::isfinite(luminance[i])) {
            luminance[i] *= scale;
        } else {
            luminance[i] = 0.0f;
            mask[i] = 1;
        }
    }
}

std::string SepMessage(int status)
{
    char text[128] = {};
    sep_get_errmsg(status, text);
    return std::string("star detection failed: ") + text;
}

// The centre of a star wanders by about sigma / (signal to noise); the noise
// of the flux is the sky's over the star's area and, taking a gain near one
// electron per unit, the star's own photon noise.
double CentreWeight(double flux, double sigma, double skyRms)
{
    const double variance = sigma * sigma * (4.0 * kPi * sigma * sigma * skyRms * skyRms + flux) / (flux * flux);
    return 1.0 / variance;
}

// A Gaussian's sigma from the second moments over the isophote.
double MomentSigma(const sep_catalog& catalog, int i) { return std::sqrt(0.5 * (catalog.x2[i] + catalog.y2[i])); }

// Objects that can be stars: not cut by the edge, wider than a hot pixel,
// not wider than the typical object by far (galaxies, nebulae, blends).
std::vector<int> SelectStarLike(const sep_catalog& catalog)
{
    std::vector<int> candidates;
    std::vector<double> widths;
    for (int i = 0; i < catalog.nobj; ++i)
        if (!(catalog.flag[i] & kBadFlags) && catalog.tnpix[i] >= kMinArea && catalog.b[i] >= kMinStarWidth &&
            catalog.flux[i] > 0.0f) {
            candidates.push_back(i);
            widths.push_back(MomentSigma(catalog, i));
        }
    if (candidates.empty())
        return candidates;
    std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
    const double limit = kMaxWidthOverTypical * widths[widths.size() / 2];
    std::erase_if(candidates, [&](int i) { return MomentSigma(catalog, i) > limit; });
    return candidates;
}

// Stars with their windowed centres (SExtractor's XWIN, YWIN): far less
// noisy than the isophotal barycentres, which follow the threshold's edge.
// The window's edge pixels count whole or not at all by their centre: the
// Gaussian weight there is e^-8, so exact overlaps (a fifth of the
// detection's time) move no centre measurably.
void CollectStars(const sep_image& image, const sep_catalog& catalog, std::vector<Star>& stars)
{
    stars.clear();
    for (int i : SelectStarLike(catalog)) {
        const double sigma = std::max(MomentSigma(catalog, i), 0.7);
        double x = catalog.x[i], y = catalog.y[i];
        int iterations = 0;
        short flag = 0;
        if (sep_windowed(&image, catalog.x[i], catalog.y[i], sigma, kWindowSubpixels, 0, &x, &y, &iterations,
                         &flag) != 0 ||
            !std::isfinite(x) || !std::isfinite(y) || std::hypot(x - catalog.x[i], y - catalog.y[i]) > 2.0)
            continue;
        stars.push_back({x, y, catalog.flux[i], CentreWeight(catalog.flux[i], sigma, image.noiseval)});
    }
    // Ties broken by position so the order never depends on SEP's.
    std::sort(stars.begin(), stars.end(), [](const Star& l, const Star& r) {
        if (l.m_flux != r.m_flux)
            return l.m_flux > r.m_flux;
        return l.m_y != r.m_y ? l.m_y < r.m_y : l.m_x < r.m_x;
    });
}

}  // namespace

bool DetectStars(const CFitsImage& image, std::vector<Star>& stars, std::string& reason)
{
    std::vector<float> luminance;
    std::vector<uint8_t> mask;
    MakeLuminance(image, luminance, mask);

    sep_image sepImage = {};
    sepImage.data = luminance.data();
    sepImage.mask = mask.data();
    sepImage.dtype = SEP_TFLOAT;
    sepImage.mdtype = SEP_TBYTE;
    sepImage.w = image.m_width;
    sepImage.h = image.m_height;
    sepImage.maskthresh = 0.0;

    sep_bkg* background = nullptr;
    int status = sep_background(&sepImage, kBackgroundTile, kBackgroundTile, 3, 3, 0.0, &background);
    if (status != 0)
        return reason = SepMessage(status), false;
    std::unique_ptr<sep_bkg, void (*)(sep_bkg*)> backgroundOwner(background, sep_bkg_free);
    status = sep_bkg_subarray(background, luminance.data(), SEP_TFLOAT);
    if (status != 0)
        return reason = SepMessage(status), false;
    sepImage.noiseval = sep_bkg_globalrms(background);
    sepImage.noise_type = SEP_NOISE_STDDEV;

    static constexpr float kConvolution[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    // Two deblending levels between the threshold and the peak still split a
    // hot pixel or a faint neighbour off a star; the 32 of SExtractor's
    // default cost a third of the detection and separate only blends, which
    // the width filter drops anyway.
    sep_catalog* catalog = nullptr;
    status = sep_extract(&sepImage, kThresholdSigma, SEP_THRESH_REL, kMinArea, kConvolution, 3, 3,
                         SEP_FILTER_CONV, kDeblendLevels, 0.005, 1, 1.0, &catalog);
    if (status != 0)
        return reason = SepMessage(status), false;
    std::unique_ptr<sep_catalog, void (*)(sep_catalog*)> catalogOwner(catalog, sep_catalog_free);
    CollectStars(sepImage, *catalog, stars);
    return true;
}
