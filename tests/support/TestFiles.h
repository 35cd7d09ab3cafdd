#pragma once
// Shared test fixtures: a scratch folder, FITS files written straight through
// CFITSIO (independent of the code under test), and an error recorder.

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/Host.h"

// A fresh folder removed again at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Every report the core made, in order.
class ErrorRecorder : public CoreHost {
public:
    struct Report {
        std::string caption;
        std::string text;
    };
    std::vector<Report> errors;
    std::vector<std::string> titles;
    int progressSteps = 0;
    int framesShown = 0;
    int shownWidth = 0;  // 0: shows every pixel
    int shownHeight = 0;

    void ShowError(const std::string& caption, const std::string& text) override { errors.push_back({caption, text}); }
    void SetTitle(const std::string& title) override { titles.push_back(title); }
    void StepProgress(int amount) override { progressSteps += amount; }
    void ShowFrame() override { ++framesShown; }
    void GetShownSize(int& width, int& height) const override
    {
        if (shownWidth > 0) {
            width = shownWidth;
            height = shownHeight;
        }
    }
};

// A keyword to put into a test file: name, and value as it is to be written
// (numbers as double, or text).
struct TestKey {
    std::string name;
    double number = 0.0;
    std::string text;
    bool isText = false;
};
TestKey NumberKey(const std::string& name, double value);
TestKey TextKey(const std::string& name, const std::string& value);

// Writes a primary image of the given BITPIX with CFITSIO. pixels holds the
// physical values in plane-major order (width * height * planes). When
// bzero/bscale are given they are written and CFITSIO scales on write.
// planes 1 writes two axes, more writes three.
void WriteTestFits(const std::string& path, int bitpix, int width, int height, int planes,
                   const std::vector<float>& pixels, const std::vector<TestKey>& keys = {},
                   double bzero = 0.0, double bscale = 1.0);

// A FITS file put together card by card, for headers CFITSIO would not
// write: the cards padded to 80 characters, END, blanks up to a multiple of
// 2880 bytes, then dataBytes zero bytes (not padded).
std::string RawFits(const std::vector<std::string>& cards, size_t dataBytes = 0);
// The SIMPLE, BITPIX, NAXIS and NAXISn cards of a primary image.
std::vector<std::string> ImageCards(int bitpix, const std::vector<long long>& axes);
void WriteBytes(const std::string& path, const std::string& bytes);
// The whole file as bytes (empty when it cannot be read).
std::string ReadBytes(const std::string& path);
// A 16 x 16 Rice-compressed 16-bit frame with one header card then replaced
// by a card of the same length. CFITSIO 4.2 crashes on two of them:
// "ZVAL2   =                    4" (its decoder reads past the tile's bytes)
// and "ZVAL1   =                    0" (it divides by the block size).
void WritePatchedRiceFits(const std::string& path, const std::string& card, const std::string& replacement);

// The keyword records (name, value text) of the first HDU, in file order.
std::vector<std::pair<std::string, std::string>> ReadKeywordRecords(const std::string& path);
// The pixels of the first image HDU as floats (physical values).
std::vector<float> ReadTestPixels(const std::string& path, int* width = nullptr, int* height = nullptr,
                                  int* planes = nullptr, int* bitpix = nullptr);
// Runs a command; returns its exit status and (optionally) captured output.
int RunCommand(const std::string& command, std::string* output = nullptr);
