#include "support/TestFiles.h"

#include <fitsio.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

namespace fs = std::filesystem;

ScratchDir::ScratchDir()
{
    std::random_device rd;
    m_path = fs::temp_directory_path() / ("velmora-test-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(m_path);
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

TestKey NumberKey(const std::string& name, double value) { return TestKey{name, value, {}, false}; }
TestKey TextKey(const std::string& name, const std::string& value) { return TestKey{name, 0.0, value, true}; }

static void Check(int status, const char* what)
{
    if (status) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        fits_clear_errmsg();
        throw std::runtime_error(std::string(what) + ": " + text);
    }
}

void WriteTestFits(const std::string& path, int bitpix, int width, int height, int planes,
                   const std::vector<float>& pixels, const std::vector<TestKey>& keys, double bzero, double bscale)
{
    int status = 0;
    fitsfile* f = nullptr;
    std::remove(path.c_str());
    fits_create_file(&f, path.c_str(), &status);
    Check(status, "create");
    long axes[3] = {width, height, planes};
    fits_create_img(f, bitpix, planes > 1 ? 3 : 2, axes, &status);
    if (bzero != 0.0 || bscale != 1.0) {
        fits_write_key(f, TDOUBLE, "BSCALE", &bscale, nullptr, &status);
        fits_write_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
        fits_set_bscale(f, bscale, bzero, &status);
    }
    for (const TestKey& k : keys) {
        if (k.isText) {
            fits_write_key_longstr(f, k.name.c_str(), k.text.c_str(), nullptr, &status);
        } else {
            double v = k.number;
            fits_write_key(f, TDOUBLE, k.name.c_str(), &v, nullptr, &status);
        }
    }
    Check(status, "header");
    if (!pixels.empty()) {
        std::vector<float> copy(pixels);
        fits_write_img(f, TFLOAT, 1, static_cast<LONGLONG>(copy.size()), copy.data(), &status);
    }
    fits_close_file(f, &status);
    Check(status, "write");
}

std::string RawFits(const std::vector<std::string>& cards, size_t dataBytes)
{
    std::string bytes;
    for (std::string card : cards) {
        card.resize(80, ' ');
        bytes += card;
    }
    bytes += std::string("END").append(77, ' ');
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, ' ');
    bytes.append(dataBytes, '\0');
    return bytes;
}

std::vector<std::string> ImageCards(int bitpix, const std::vector<long long>& axes)
{
    std::vector<std::string> cards = {"SIMPLE  =                    T", "BITPIX  = " + std::to_string(bitpix),
                                      "NAXIS   = " + std::to_string(axes.size())};
    for (size_t i = 0; i < axes.size(); ++i)
        cards.push_back("NAXIS" + std::to_string(i + 1) + "  = " + std::to_string(axes[i]));
    return cards;
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

void WritePatchedRiceFits(const std::string& path, const std::string& card, const std::string& replacement)
{
    int status = 0;
    fitsfile* f = nullptr;
    std::remove(path.c_str());
    fits_create_file(&f, (path + "[compress R 16,16]").c_str(), &status);
    long axes[2] = {16, 16};
    fits_create_img(f, SHORT_IMG, 2, axes, &status);
    std::vector<short> px(256);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<short>((i * 37) % 200);
    fits_write_img(f, TSHORT, 1, 256, px.data(), &status);
    fits_close_file(f, &status);
    Check(status, "write rice");

    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t at = bytes.find(card);
    if (at == std::string::npos || replacement.size() != card.size())
        throw std::runtime_error("cannot replace '" + card + "' in " + path);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(replacement.data(), static_cast<std::streamsize>(replacement.size()));
}

std::vector<std::pair<std::string, std::string>> ReadKeywordRecords(const std::string& path)
{
    int status = 0;
    fitsfile* f = nullptr;
    fits_open_file(&f, path.c_str(), READONLY, &status);
    Check(status, "open");
    int count = 0;
    fits_get_hdrspace(f, &count, nullptr, &status);
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 1; i <= count; ++i) {
        char name[FLEN_KEYWORD] = {}, value[FLEN_VALUE] = {}, comment[FLEN_COMMENT] = {};
        fits_read_keyn(f, i, name, value, comment, &status);
        out.emplace_back(name, value);
    }
    fits_close_file(f, &status);
    Check(status, "read keys");
    return out;
}

std::vector<float> ReadTestPixels(const std::string& path, int* width, int* height, int* planes, int* bitpix)
{
    int status = 0;
    fitsfile* f = nullptr;
    fits_open_image(&f, path.c_str(), READONLY, &status);
    Check(status, "open");
    int naxis = 0, type = 0;
    long axes[3] = {1, 1, 1};
    fits_get_img_param(f, 3, &type, &naxis, axes, &status);
    std::vector<float> px(static_cast<size_t>(axes[0] * axes[1] * axes[2]));
    fits_read_img(f, TFLOAT, 1, static_cast<LONGLONG>(px.size()), nullptr, px.data(), nullptr, &status);
    fits_close_file(f, &status);
    Check(status, "read pixels");
    if (width) *width = static_cast<int>(axes[0]);
    if (height) *height = static_cast<int>(axes[1]);
    if (planes) *planes = naxis >= 3 ? static_cast<int>(axes[2]) : 1;
    if (bitpix) *bitpix = type;
    return px;
}

int RunCommand(const std::string& command, std::string* output)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    std::array<char, 4096> buf;
    std::string text;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        text.append(buf.data(), n);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
