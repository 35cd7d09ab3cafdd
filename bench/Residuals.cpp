// residuals: how many pixels of one merge stand out from another of the same
// field: the difference, less its median, beyond 6 times its robust sigma
// (1.4826 x the median absolute deviation), away from a margin at the edges.
// usage: residuals A.fit B.fit [MARGIN]   prints "pixels sigma"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/FitsImage.h"

namespace {

class StderrSink : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
};

float Median(std::vector<float> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: residuals A.fit B.fit [MARGIN]\n");
        return 2;
    }
    StderrSink sink;
    CFitsImage a, b;
    if (!a.Load(argv[1], sink) || !b.Load(argv[2], sink) || !a.SameSize(b))
        return 1;
    const int margin = argc > 3 ? std::atoi(argv[3]) : 48;
    std::vector<float> diff;
    for (int p = 0; p < a.m_planes; ++p)
        for (int y = margin; y < a.m_height - margin; ++y)
            for (int x = margin; x < a.m_width - margin; ++x) {
                const float d = *a.PixelAt(x, y, p) - *b.PixelAt(x, y, p);
                if (std::isfinite(d))
                    diff.push_back(d);
            }
    if (diff.empty())
        return 1;
    const float median = Median(diff);
    std::vector<float> deviation(diff.size());
    std::transform(diff.begin(), diff.end(), deviation.begin(), [&](float d) { return std::fabs(d - median); });
    const double sigma = 1.4826 * Median(deviation);
    const auto beyond = std::count_if(diff.begin(), diff.end(), [&](float d) { return std::fabs(d - median) > 6.0 * sigma; });
    std::printf("%ld %.3f\n", static_cast<long>(beyond), sigma);
    return 0;
}
