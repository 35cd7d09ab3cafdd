// render-bench: the time of one RenderImage of a colour frame (as every gamma
// step costs) against the time of reading that frame with CFITSIO.
// usage: render-bench FRAME [RUNS]; prints "read SECONDS render SECONDS",
// each the median of RUNS (5).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"

namespace {

class StderrSink : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
};

template <typename Work>
double MedianSeconds(int runs, Work&& work)
{
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work(i);
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[seconds.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: render-bench FRAME [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    StderrSink sink;
    CFitsImage image;
    bool ok = true;
    const double read = MedianSeconds(runs, [&](int) { ok = image.Load(argv[1], sink) && ok; });
    if (!ok)
        return 1;
    CPreviewBitmap bitmap;
    bitmap.RenderImage(image, -1, -65536);  // the first render allocates the picture
    const double render = MedianSeconds(runs, [&](int i) {
        bitmap.m_gamma = 11 + i;  // one gamma step each
        bitmap.RenderImage(image, -1, -65536);
    });
    std::printf("read %.3f render %.3f\n", read, render);
    return 0;
}
