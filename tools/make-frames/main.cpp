// make-frames: deterministic, realistic sample frames for the demo, the tests
// and the benchmark. One field (stars and a brighter extended object) seen
// in every frame with its own sky level, transparency, Poisson and read
// noise and cosmic-ray hits; the middle frame carries a satellite trail.
// With --dither every frame but the first sees the field moved.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "align/Similarity.h"
#include "image/FitsImage.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kReadNoise = 7.0;  // ADU
constexpr double kGain = 1.5;       // electrons per ADU
constexpr double kExposure = 120.0;

const char* const kUsage =
    "usage: make-frames [--out DIR] [--count N] [--width W] [--height H] [--planes 1|3]\n"
    "                   [--type uint|float] [--seed S] [--prefix NAME]\n"
    "                   [--dither SHIFT,ANGLE] [--truth FILE]\n"
    "Writes N frames DIR/NAME001.fit ... of one star field with an extended object:\n"
    "sky and transparency differ per frame, with Poisson and read noise, cosmic-ray\n"
    "hits and a satellite trail in the middle frame. Same options, same files.\n"
    "Existing frames of the same names are replaced.\n"
    "--dither moves every frame but the first by a random shift of up to SHIFT\n"
    "pixels in x and y and a rotation of up to ANGLE degrees, and writes the true\n"
    "moves to DIR/NAMEmoves.txt in the format of velmora-cli align.\n"
    "--truth also writes the noise-free field the frames were drawn from (ADU above\n"
    "the sky at full transparency, floats; in the first frame's grid), to measure\n"
    "merged results against.\n"
    "defaults: --out frames --count 8 --width 1024 --height 768 --planes 1 --type uint\n"
    "          --seed 1 --prefix frame_\n";

struct Options {
    std::string out = "frames";
    std::string prefix = "frame_";
    std::string truth;
    int count = 8;
    int width = 1024;
    int height = 768;
    int planes = 1;
    bool floatType = false;
    uint64_t seed = 1;
    double ditherShift = 0.0;  // px
    double ditherAngle = 0.0;  // degrees
    bool Dithered() const { return ditherShift > 0.0 || ditherAngle > 0.0; }
};

// splitmix64: small, fast and the same on every platform.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in (0, 1).
    double Uniform() { return (static_cast<double>(Next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }
    // Standard normal (Box-Muller; the second value is kept for the next call).
    double Normal()
    {
        if (m_hasSpare) {
            m_hasSpare = false;
            return m_spare;
        }
        const double r = std::sqrt(-2.0 * std::log(Uniform()));
        const double a = 2.0 * kPi * Uniform();
        m_spare = r * std::sin(a);
        m_hasSpare = true;
        return r * std::cos(a);
    }

private:
    uint64_t m_state;
    double m_spare = 0.0;
    bool m_hasSpare = false;
};

// "SHIFT,ANGLE", both finite and not negative.
bool ParseDither(const char* text, Options& o)
{
    char* end = nullptr;
    errno = 0;
    o.ditherShift = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != ',')
        return false;
    const char* angle = end + 1;
    o.ditherAngle = std::strtod(angle, &end);
    return errno == 0 && end != angle && *end == '\0' && std::isfinite(o.ditherShift) &&
           std::isfinite(o.ditherAngle) && o.ditherShift >= 0.0 && o.ditherAngle >= 0.0 && o.ditherAngle <= 180.0;
}

bool ParseInt(const char* text, long long lo, long long hi, long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= lo && value <= hi;
}

// Returns -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "make-frames: %s needs a value\n%s", name.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[++i];
        long long n = 0;
        bool ok = true;
        if (name == "--out")
            o.out = value;
        else if (name == "--prefix")
            o.prefix = value;
        else if (name == "--truth")
            o.truth = value;
        else if (name == "--type" && (std::strcmp(value, "uint") == 0 || std::strcmp(value, "float") == 0))
            o.floatType = std::strcmp(value, "float") == 0;
        else if (name == "--count" && (ok = ParseInt(value, 1, 99999, n)))
            o.count = static_cast<int>(n);
        else if (name == "--width" && (ok = ParseInt(value, 1, 65536, n)))
            o.width = static_cast<int>(n);
        else if (name == "--height" && (ok = ParseInt(value, 1, 65536, n)))
            o.height = static_cast<int>(n);
        else if (name == "--planes" && (ok = ParseInt(value, 1, 3, n)) && n != 2)
            o.planes = static_cast<int>(n);
        else if (name == "--dither")
            ok = ParseDither(value, o);
        else if (name == "--seed" && (ok = ParseInt(value, 0, INT64_MAX, n)))
            o.seed = static_cast<uint64_t>(n);
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "make-frames: bad option %s %s\n%s", name.c_str(), value, kUsage);
            return 2;
        }
    }
    if (static_cast<long long>(o.width) * o.height * o.planes > INT32_MAX) {
        std::fprintf(stderr, "make-frames: a frame of %d x %d x %d pixels is too large\n", o.width, o.height, o.planes);
        return 2;
    }
    return -1;
}

// Adds a Gaussian star of the given total flux per plane around (cx, cy).
void AddStar(std::vector<float>& model, const Options& o, double cx, double cy, double sigma, const double flux[3])
{
    const int radius = static_cast<int>(std::ceil(4.0 * sigma));
    const int x0 = std::max(0, static_cast<int>(cx) - radius), x1 = std::min(o.width - 1, static_cast<int>(cx) + radius);
    const int y0 = std::max(0, static_cast<int>(cy) - radius), y1 = std::min(o.height - 1, static_cast<int>(cy) + radius);
    if (x0 > x1 || y0 > y1)
        return;
    double wx[64], wy[64];  // separable profile; radius is at most 16
    for (int x = x0; x <= x1; ++x)
        wx[x - x0] = std::exp(-0.5 * (x - cx) * (x - cx) / (sigma * sigma));
    for (int y = y0; y <= y1; ++y)
        wy[y - y0] = std::exp(-0.5 * (y - cy) * (y - cy) / (sigma * sigma));
    const double norm = 1.0 / (2.0 * kPi * sigma * sigma);
    const size_t n = static_cast<size_t>(o.width) * o.height;
    for (int p = 0; p < o.planes; ++p)
        for (int y = y0; y <= y1; ++y) {
            float* row = model.data() + p * n + static_cast<size_t>(y) * o.width;
            const double f = flux[p] * norm * wy[y - y0];
            for (int x = x0; x <= x1; ++x)
                row[x] += static_cast<float>(f * wx[x - x0]);
        }
}

// The noiseless field in ADU above the sky, as seen through move (a
// reference pixel to the frame's pixel; the identity for undithered frames).
std::vector<float> MakeField(const Options& o, const Similarity& move)
{
    Random rnd(o.seed * 0x2545F4914F6CDD1Dull + 17);
    const size_t n = static_cast<size_t>(o.width) * o.height;
    std::vector<float> model(n * o.planes, 0.0f);

    // The extended object: an inclined exponential disk with a bulge, warmer
    // in colour than the sky, a little off the centre.
    const double ox = o.width * (0.45 + 0.1 * rnd.Uniform()), oy = o.height * (0.45 + 0.1 * rnd.Uniform());
    const double scale = std::max(2.0, std::min(o.width, o.height) / 14.0);
    const double angle = kPi * rnd.Uniform(), ca = std::cos(angle), sa = std::sin(angle), axis = 0.45;
    const double colour[3] = {1.0, 0.8, 0.6};
    const Similarity back = move.Inverse();
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x) {
            double rx = 0.0, ry = 0.0;
            back.Apply(x, y, rx, ry);
            const double dx = rx - ox, dy = ry - oy;
            const double u = dx * ca + dy * sa, v = (-dx * sa + dy * ca) / axis;
            const double r = std::sqrt(u * u + v * v) / scale;
            const double value = 900.0 * std::exp(-r) + 2500.0 * std::exp(-r * r * 18.0);
            for (int p = 0; p < o.planes; ++p)
                model[p * n + static_cast<size_t>(y) * o.width + x] = static_cast<float>(value * colour[p]);
        }

    // Stars: fluxes from a power law, so most are faint; the brightest peak
    // a little above the object's core.
    // Dithered frames see the sky around the reference too: the same density
    // of stars out to the farthest any frame reaches, drawn after the others.
    const double margin = o.Dithered() ? o.ditherShift + 0.5 * std::hypot(o.width, o.height) *
                                                             std::sin(std::min(o.ditherAngle, 90.0) * kPi / 180.0) + 8.0
                                       : 0.0;
    const double outerWidth = o.width + 2.0 * margin, outerHeight = o.height + 2.0 * margin;
    const long long stars = std::max(3LL, static_cast<long long>(n) / 1500);
    const long long outerStars = static_cast<long long>(stars * outerWidth * outerHeight / static_cast<double>(n));
    for (long long s = 0; s < outerStars; ++s) {
        double cx = 0.0, cy = 0.0;
        if (s < stars) {
            cx = rnd.Uniform() * o.width;
            cy = rnd.Uniform() * o.height;
        } else {
            cx = rnd.Uniform() * outerWidth - margin;
            cy = rnd.Uniform() * outerHeight - margin;
            if (cx >= 0.0 && cx < o.width && cy >= 0.0 && cy < o.height)
                continue;  // the reference's own area has its stars already
        }
        move.Apply(cx, cy, cx, cy);
        const double flux = std::min(60000.0, 150.0 * std::pow(rnd.Uniform(), -1.2));
        const double sigma = 1.1 + 0.3 * rnd.Uniform();
        const double t = rnd.Uniform();  // colour: red to blue stars
        const double fluxes[3] = {flux * (1.2 - 0.5 * t), flux, flux * (0.7 + 0.6 * t)};
        const double grey[3] = {flux, flux, flux};
        AddStar(model, o, cx, cy, sigma, o.planes == 3 ? fluxes : grey);
    }
    return model;
}

// One exposure of the field: sky level with a gradient, transparency,
// photon and read noise, cosmic rays, and for trail frames a satellite.
void ExposeFrame(const Options& o, const std::vector<float>& field, int index, CFitsImage& image)
{
    Random rnd(o.seed * 0x9E3779B97F4A7C15ull + 1000003ull * (index + 1));
    const size_t n = static_cast<size_t>(o.width) * o.height;
    const double sky = 700.0 + 400.0 * rnd.Uniform();
    const double transparency = 0.7 + 0.35 * rnd.Uniform();
    // up to 60 ADU brighter or darker from one edge to the other
    const double gx = (rnd.Uniform() - 0.5) * 120.0 / o.width, gy = (rnd.Uniform() - 0.5) * 120.0 / o.height;
    const double skyColour[3] = {1.0, 1.08, 1.25};
    for (int p = 0; p < o.planes; ++p) {
        const double planeSky = sky * (o.planes == 3 ? skyColour[p] : 1.0);
        for (int y = 0; y < o.height; ++y) {
            const size_t row = p * n + static_cast<size_t>(y) * o.width;
            for (int x = 0; x < o.width; ++x) {
                const double mean = planeSky + gx * x + gy * y + transparency * field[row + x];
                // Poisson noise of mean*gain electrons, as a Gaussian: the counts are large.
                const double sigma = std::sqrt(mean / kGain + kReadNoise * kReadNoise);
                image.m_pData[row + x] = static_cast<float>(mean + sigma * rnd.Normal());
            }
        }
    }

    const auto addHit = [&](int x, int y, double value) {
        if (x < 0 || y < 0 || x >= o.width || y >= o.height)
            return;
        for (int p = 0; p < o.planes; ++p)
            *image.PixelAt(x, y, p) += static_cast<float>(value);
    };
    const long long hits = std::max(2LL, static_cast<long long>(n) / 60000);
    for (long long h = 0; h < hits; ++h) {
        int x = static_cast<int>(rnd.Uniform() * o.width), y = static_cast<int>(rnd.Uniform() * o.height);
        const double value = 4000.0 + 30000.0 * rnd.Uniform();
        const int length = 1 + static_cast<int>(rnd.Uniform() * 4);
        const int sx = rnd.Uniform() < 0.5 ? 1 : 0, sy = 1 - sx;
        for (int k = 0; k < length; ++k, x += sx, y += sy)
            addHit(x, y, value * (1.0 - 0.2 * k));
    }

    if (index == o.count / 2) {
        // A straight trail through the frame, about 1.3 pixels wide.
        const double angle = kPi * (0.1 + 0.3 * rnd.Uniform());
        const double px = o.width * rnd.Uniform(), py = o.height * rnd.Uniform();
        const double nx = -std::sin(angle), ny = std::cos(angle);
        const double brightness = 1800.0;
        for (int y = 0; y < o.height; ++y)
            for (int x = 0; x < o.width; ++x) {
                const double d = (x - px) * nx + (y - py) * ny;
                if (std::fabs(d) < 4.0)
                    addHit(x, y, brightness * std::exp(-0.5 * d * d / (0.55 * 0.55)));
            }
    }
}

void SetHeader(const Options& o, int index, FrameHeader& h)
{
    h.m_exposure = kExposure;
    h.m_pixelWidth = 3.76;
    h.m_pixelHeight = 3.76;
    h.m_gain = 100;
    h.m_offset = 50;
    h.m_binX = 1;
    h.m_binY = 1;
    h.m_ccdTemp = -10.0 + 0.1 * (index % 3);
    std::snprintf(h.m_filter, sizeof h.m_filter, "%s", o.planes == 3 ? "RGB" : "L");
}

// The move of frame index: none for the first, a random one for the others.
FrameMove DitherMove(const Options& o, int index)
{
    if (!o.Dithered() || index == 0)
        return FrameMove();
    Random rnd(o.seed * 0xD1B54A32D192ED03ull + 7919ull * (index + 1));
    FrameMove move;
    move.m_dx = (2.0 * rnd.Uniform() - 1.0) * o.ditherShift;
    move.m_dy = (2.0 * rnd.Uniform() - 1.0) * o.ditherShift;
    move.m_angleDeg = (2.0 * rnd.Uniform() - 1.0) * o.ditherAngle;
    return move;
}

std::string FrameName(const Options& o, int index)
{
    const size_t digits = std::max<size_t>(3, std::to_string(o.count).size());
    std::string number = std::to_string(index + 1);
    number.insert(0, digits - number.size(), '0');
    return (std::filesystem::path(o.out) / (o.prefix + number + ".fit")).string();
}

class StderrSink : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        std::fprintf(stderr, "make-frames: %s: %s\n", caption.c_str(), text.c_str());
    }
};

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    const int status = ParseOptions(argc, argv, o);
    if (status >= 0)
        return status;

    std::error_code ec;
    std::filesystem::create_directories(o.out, ec);
    if (ec) {
        std::fprintf(stderr, "make-frames: cannot create %s: %s\n", o.out.c_str(), ec.message().c_str());
        return 1;
    }
    std::vector<float> field = MakeField(o, Similarity());
    FILE* moves = nullptr;
    const std::string movesPath = (std::filesystem::path(o.out) / (o.prefix + "moves.txt")).string();
    if (o.Dithered()) {
        moves = std::fopen(movesPath.c_str(), "w");
        if (!moves) {
            std::fprintf(stderr, "make-frames: cannot write %s\n", movesPath.c_str());
            return 1;
        }
        std::fputs("# name dx dy angle_deg scale\n", moves);
    }
    CFitsImage image;
    if (!image.Allocate(o.width, o.height, o.planes)) {
        std::fprintf(stderr, "make-frames: not enough memory for a %d x %d frame\n", o.width, o.height);
        return 1;
    }
    StderrSink sink;
    if (!o.truth.empty()) {
        std::copy(field.begin(), field.end(), image.m_pData);
        std::filesystem::remove(o.truth, ec);
        if (!image.Save(o.truth, FITS_SAVE_FLOAT, nullptr, sink))
            return 1;
    }
    for (int i = 0; i < o.count; ++i) {
        const FrameMove move = DitherMove(o, i);
        if (i > 0 && o.Dithered())
            field = MakeField(o, FromFrameMove(move, o.width, o.height));
        ExposeFrame(o, field, i, image);
        SetHeader(o, i, image.m_header);
        const std::string path = FrameName(o, i);
        if (moves)
            std::fprintf(moves, "%s\t%.6f\t%.6f\t%.6f\t%.6f\n", path.c_str(), move.m_dx, move.m_dy, move.m_angleDeg,
                         move.m_scale);
        std::filesystem::remove(path, ec);  // CFITSIO never replaces a file
        if (!image.Save(path, o.floatType ? FITS_SAVE_FLOAT : FITS_SAVE_UINT, nullptr, sink)) {
            if (moves)
                std::fclose(moves);
            return 1;
        }
    }
    if (moves && std::fclose(moves) != 0) {
        std::fprintf(stderr, "make-frames: cannot write %s\n", movesPath.c_str());
        return 1;
    }
    std::printf("make-frames: %d frame(s) of %d x %d x %d in %s\n", o.count, o.width, o.height, o.planes, o.out.c_str());
    return 0;
}
