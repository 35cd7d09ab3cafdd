// Writes the seed corpus of the load fuzzer: tiny frames of the kinds cameras
// and capture programs produce, written straight through CFITSIO.
// Usage: make_seed_corpus FOLDER

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <fitsio.h>

namespace {

struct Seed {
    const char* name;
    int bitpix;
    long width, height, planes;
    double bzero, bscale;
    const char* compression;  // CFITSIO's compression syntax for a tile-compressed extension, or ""
    bool extension;   // empty primary header, image in the first extension
};

const Seed kSeeds[] = {
    {"u16_bzero.fit", USHORT_IMG, 8, 6, 1, 32768.0, 1.0, "", false},
    {"float_nan_inf.fit", FLOAT_IMG, 8, 6, 1, 0.0, 1.0, "", false},
    {"rgb_u8.fit", BYTE_IMG, 6, 4, 3, 0.0, 1.0, "", false},
    {"rice_i16.fit", SHORT_IMG, 16, 16, 1, 0.0, 1.0, "[compress R 16,16]", false},
    {"gzip_i16.fit", SHORT_IMG, 16, 16, 1, 0.0, 1.0, "[compress G 16,8]", false},
    {"hcompress_i16.fit", SHORT_IMG, 16, 16, 1, 0.0, 1.0, "[compress H 16,16]", false},
    {"ext_i32_scaled.fit", LONG_IMG, 5, 5, 1, 100.0, 0.5, "", true},
    {"i64.fit", LONGLONG_IMG, 4, 4, 1, 0.0, 1.0, "", false},
    {"double_rgb.fit", DOUBLE_IMG, 3, 3, 3, 0.0, 1.0, "", false},
};

void WriteKeys(fitsfile* f, int* status)
{
    double exposure = 30.0, temp = -10.5, pixel = 3.76;
    int gain = 120, offset = 30, bin = 1;
    fits_write_key(f, TDOUBLE, "EXPTIME", &exposure, "Exposure time in seconds", status);
    fits_write_key(f, TINT, "GAIN", &gain, "gain", status);
    fits_write_key(f, TINT, "OFFSET", &offset, "offset", status);
    fits_write_key(f, TDOUBLE, "XPIXSZ", &pixel, nullptr, status);
    fits_write_key(f, TDOUBLE, "YPIXSZ", &pixel, nullptr, status);
    fits_write_key(f, TINT, "XBINNING", &bin, nullptr, status);
    fits_write_key(f, TINT, "YBINNING", &bin, nullptr, status);
    fits_write_key(f, TDOUBLE, "CCD-TEMP", &temp, nullptr, status);
    fits_write_key_longstr(f, "FILTER", "Hydrogen-alpha 7nm, a name long enough for a CONTINUE card", "Used Filter",
                           status);
}

bool WriteSeed(const std::string& folder, const Seed& s)
{
    const std::string path = folder + "/" + s.name;
    std::remove(path.c_str());
    const bool compressed = s.compression[0] != '\0';
    const std::string target = path + s.compression;
    int status = 0;
    fitsfile* f = nullptr;
    fits_create_file(&f, target.c_str(), &status);
    if (s.extension)
        fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
    long axes[3] = {s.width, s.height, s.planes};
    fits_create_img(f, s.bitpix, s.planes > 1 ? 3 : 2, axes, &status);
    if (s.bzero != 0.0 && s.bitpix != USHORT_IMG) {
        fits_write_key(f, TDOUBLE, "BZERO", const_cast<double*>(&s.bzero), nullptr, &status);
        fits_write_key(f, TDOUBLE, "BSCALE", const_cast<double*>(&s.bscale), nullptr, &status);
        fits_set_bscale(f, s.bscale, s.bzero, &status);
    }
    WriteKeys(f, &status);
    std::vector<double> px(static_cast<size_t>(s.width * s.height * s.planes));
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<double>((i * 37) % 200) + (s.bitpix == USHORT_IMG ? 40000.0 : 0.0);
    if (s.bitpix == FLOAT_IMG) {
        px[0] = NAN;
        px[1] = INFINITY;
        px[2] = -INFINITY;
    }
    if (compressed) {  // CFITSIO compresses only pixels of the stored type
        std::vector<short> stored(px.begin(), px.end());
        fits_write_img(f, TSHORT, 1, static_cast<LONGLONG>(stored.size()), stored.data(), &status);
    } else {
        fits_write_img(f, TDOUBLE, 1, static_cast<LONGLONG>(px.size()), px.data(), &status);
    }
    fits_close_file(f, &status);
    if (status) {
        fits_report_error(stderr, status);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_seed_corpus FOLDER\n", stderr);
        return 2;
    }
    bool ok = true;
    for (const Seed& s : kSeeds)
        ok = WriteSeed(argv[1], s) && ok;
    return ok ? 0 : 1;
}
