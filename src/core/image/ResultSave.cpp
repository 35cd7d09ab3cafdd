#include "image/ResultSave.h"

#include <cstdio>

bool SaveResult(CFitsImage& image, const std::string& path, int outputType, std::size_t frameCount,
                double exposureSum, ErrorSink& sink)
{
    // Without frames there is nothing to average the exposure over.
    image.m_header.m_exposure = frameCount > 0 ? exposureSum / static_cast<double>(frameCount) : exposureSum;
    fitsfile* file = nullptr;
    if (!image.Save(path, outputType, &file, sink))
        return false;

    int status = 0;
    int snapshot = static_cast<int>(frameCount);
    fits_write_key(file, TINT, "SNAPSHOT", &snapshot, "Number of images combined", &status);
    if (!CheckFitsStatus(status, sink)) {
        fits_write_key(file, TDOUBLE, "EXPOSURESUM", &exposureSum, "Summ Exposure", &status);
        CheckFitsStatus(status, sink);
    }
    if (status != 0) {
        DeleteUnfinished(file);
        return false;
    }
    fits_close_file(file, &status);
    if (CheckFitsStatus(status, sink)) {
        // The file is ours (Save never replaces one) and may be incomplete.
        std::remove(path.c_str());
        return false;
    }
    return true;
}
