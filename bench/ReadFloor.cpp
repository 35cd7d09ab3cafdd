// read-floor: what reading alone costs a merge. Loads the first frame once
// (the reference) and then every frame once per pass, as the passes do.
// usage: read-floor PASSES FRAME...

#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/FitsImage.h"

namespace {

class StderrSink : public ErrorSink {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: read-floor PASSES FRAME...\n");
        return 2;
    }
    const int passes = std::atoi(argv[1]);
    StderrSink sink;
    CFitsImage image;
    bool ok = image.Load(argv[2], sink);
    for (int pass = 0; pass < passes; ++pass)
        for (int i = 2; i < argc; ++i)
            ok = image.Load(argv[i], sink) && ok;
    return ok ? 0 : 1;
}
