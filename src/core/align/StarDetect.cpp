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
// Detection runs on the frame binned 2 x 2 (summed): a quarter of the pixels
// to model, convolve and label, and stars still span several binned pixels.
// The centres are then measured on the full frame.
constexpr int kBin = 2;
constexpr int kBackgroundTile = 64 / kBin;
constexpr float kThresholdSigma = 5.0f;
// Pixels above the threshold, binned: a hot pixel fills one, a cosmic-ray
// track one or two.
constexpr int kMinArea = 3;
constexpr int kDeblendLevels = 2;
constexpr int kWindowSubpixels = 1;  // SEP: 1 = by the pixel's centre, 0 = exact
// Second-moment half-axes (in binned pixels) below this are hot pixels or
// cosmic-ray tracks, which fill one or two binned pixels: even a
// well-focused star spreads over more than one.
constexpr float kMinStarWidth = 0.35f;
constexpr double kMaxWidthOverTypical = 2.0;
// The windowed centre's reach in sigmas, and how far it may end from the
// binned detection's centre (a spike beside the star pulls the latter).
constexpr double kWindowRadii = 4.0;
// The binned isophote reaches further out on a star than the full frame's
// (four pixels' signal over one pixel's threshold in sigmas), so its moments
// overstate the star's width. A narrower window costs fewer exponentials;
// below this fraction the centres of unmoved frames get noisier.
constexpr double kWindowOverMoment = 0.85;
constexpr double kMaxCentreShift = 2.0 * kBin;
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

// Sums of 2 x 2 blocks (an odd last row or column is left out); a block
// with a masked pixel is masked.
void BinLuminance(const std::vector<float>& luminance, const std::vector<uint8_t>& mask, int W, int H,
                  std::vector<float>& binned, std::vector<uint8_t>& binnedMask)
{
    const int bw = W / kBin, bh = H / kBin;
    binned.assign(static_cast<size_t>(bw) * bh, 0.0f);
    binnedMask.assign(binned.size(), 0);
    for (int y = 0; y < bh * kBin; ++y) {
        const size_t row = static_cast<size_t>(y) * W, out = static_cast<size_t>(y / kBin) * bw;
        for (int x = 0; x < bw * kBin; ++x) {
            binned[out + x / kBin] += luminance[row + x];
            binnedMask[out + x / kBin] |= mask[row + x];
        }
    }
}

// Each full-frame pixel less its binned block's background share; the
// background varies over tiles of many blocks, so a block's step is nothing.
bool SubtractBackground(const sep_bkg* background, int W, int H, int bw, int bh, std::vector<float>& luminance,
                        int& status)
{
    std::vector<float> level(static_cast<size_t>(bw) * bh);
    status = sep_bkg_array(background, level.data(), SEP_TFLOAT);
    if (status != 0)
        return false;
    for (int y = 0; y < H; ++y) {
        const int by = std::min(y / kBin, bh - 1);
        for (int x = 0; x < W; ++x)
            luminance[static_cast<size_t>(y) * W + x] -=
                level[static_cast<size_t>(by) * bw + std::min(x / kBin, bw - 1)] / (kBin * kBin);
    }
    return true;
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

// Masks the single-pixel spikes (hot pixels, cosmic-ray hits) within radius
// of (x0, y0) on the background-subtracted full frame: binned, one beside a
// star joins the star's object and would pull its windowed centre. No
// sampled star's peak stands out this far above all four neighbours.
void MaskSpikes(const sep_image& image, std::vector<uint8_t>& mask, double x0, double y0, double radius)
{
    constexpr float kSpikeOverNeighbours = 5.0f;
    const float* data = static_cast<const float*>(image.data);
    const int W = image.w, H = image.h;
    const float floor = kThresholdSigma * static_cast<float>(image.noiseval);
    const int r = static_cast<int>(std::ceil(radius));
    for (int y = std::max(1, static_cast<int>(y0) - r); y <= std::min(H - 2, static_cast<int>(y0) + r); ++y)
        for (int x = std::max(1, static_cast<int>(x0) - r); x <= std::min(W - 2, static_cast<int>(x0) + r); ++x) {
            const size_t i = static_cast<size_t>(y) * W + x;
            const float neighbours = std::max(std::max(data[i - 1], data[i + 1]), std::max(data[i - W], data[i + W]));
            if (data[i] > floor && data[i] > kSpikeOverNeighbours * std::max(neighbours, 0.0f))
                mask[i] = 1;
        }
}

// Stars with their windowed centres (SExtractor's XWIN, YWIN) on the full
// frame: far less noisy than the binned isophotal barycentres, which follow
// the threshold's edge. The window's edge pixels count whole or not at all
// by their centre: the Gaussian weight there is e^-8, so exact overlaps
// move no centre measurably.
// image's mask is mask, which gains the spikes.
void CollectStars(const sep_image& image, std::vector<uint8_t>& mask, const sep_catalog& catalog,
                  std::vector<Star>& stars)
{
    stars.clear();
    for (int i : SelectStarLike(catalog)) {
        const double sigma = std::max(kWindowOverMoment * kBin * MomentSigma(catalog, i), 0.7);
        // A binned pixel's centre is the middle of its block.
        const double x0 = kBin * catalog.x[i] + 0.5 * (kBin - 1), y0 = kBin * catalog.y[i] + 0.5 * (kBin - 1);
        const double flux = catalog.flux[i];
        MaskSpikes(image, mask, x0, y0, kWindowRadii * sigma);
        double x = x0, y = y0;
        int iterations = 0;
        short flag = 0;
        if (sep_windowed(&image, x0, y0, sigma, kWindowSubpixels, 0, &x, &y, &iterations, &flag) != 0 ||
            !std::isfinite(x) || !std::isfinite(y) || std::hypot(x - x0, y - y0) > kMaxCentreShift)
            continue;
        stars.push_back({x, y, flux, CentreWeight(flux, sigma, image.noiseval)});
    }
    // Ties broken by position so the order never depends on SEP's.
    std::sort(stars.begin(), stars.end(), [](const Star& l, const Star& r) {
        if (l.m_flux != r.m_flux)
            return l.m_flux > r.m_flux;
        return l.m_y != r.m_y ? l.m_y < r.m_y : l.m_x < r.m_x;
    });
}

sep_image MakeSepImage(std::vector<float>& data, std::vector<uint8_t>& mask, int W, int H)
{
    sep_image image = {};
    image.data = data.data();
    image.mask = mask.data();
    image.dtype = SEP_TFLOAT;
    image.mdtype = SEP_TBYTE;
    image.w = W;
    image.h = H;
    image.maskthresh = 0.0;
    return image;
}

}  // namespace

bool DetectStars(const CFitsImage& image, std::vector<Star>& stars, std::string& reason)
{
    const int W = image.m_width, H = image.m_height;
    stars.clear();
    // SEP divides by zero on a frame that bins to nothing; it holds no star.
    if (W < kBin || H < kBin)
        return true;
    std::vector<float> luminance, binned;
    std::vector<uint8_t> mask, binnedMask;
    MakeLuminance(image, luminance, mask);
    BinLuminance(luminance, mask, W, H, binned, binnedMask);
    const int bw = W / kBin, bh = H / kBin;
    sep_image binnedImage = MakeSepImage(binned, binnedMask, bw, bh);
    sep_image fullImage = MakeSepImage(luminance, mask, W, H);

    sep_bkg* background = nullptr;
    int status = sep_background(&binnedImage, kBackgroundTile, kBackgroundTile, 3, 3, 0.0, &background);
    if (status != 0)
        return reason = SepMessage(status), false;
    std::unique_ptr<sep_bkg, void (*)(sep_bkg*)> backgroundOwner(background, sep_bkg_free);
    if (!SubtractBackground(background, W, H, bw, bh, luminance, status))
        return reason = SepMessage(status), false;
    status = sep_bkg_subarray(background, binned.data(), SEP_TFLOAT);
    if (status != 0)
        return reason = SepMessage(status), false;
    binnedImage.noiseval = sep_bkg_globalrms(background);
    binnedImage.noise_type = SEP_NOISE_STDDEV;
    // A block sums four pixels of independent noise.
    fullImage.noiseval = binnedImage.noiseval / kBin;
    fullImage.noise_type = SEP_NOISE_STDDEV;

    static constexpr float kConvolution[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    // Two deblending levels between the threshold and the peak still split a
    // hot pixel or a faint neighbour off a star; the 32 of SExtractor's
    // default cost a third of the detection and separate only blends, which
    // the width filter drops anyway.
    sep_catalog* catalog = nullptr;
    status = sep_extract(&binnedImage, kThresholdSigma, SEP_THRESH_REL, kMinArea, kConvolution, 3, 3,
                         SEP_FILTER_CONV, kDeblendLevels, 0.005, 1, 1.0, &catalog);
    if (status != 0)
        return reason = SepMessage(status), false;
    std::unique_ptr<sep_catalog, void (*)(sep_catalog*)> catalogOwner(catalog, sep_catalog_free);
    CollectStars(fullImage, mask, *catalog, stars);
    return true;
}
