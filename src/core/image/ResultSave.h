#pragma once
// Saving the merge result: the image with the number of combined frames and
// the summed exposure in its header.

#include <cstddef>
#include <string>

#include "image/FitsImage.h"

// Sets the image's exposure to exposureSum / frameCount (the sum itself for an
// empty set), writes it in outputType with SNAPSHOT and EXPOSURESUM, and closes
// the file in every case; a file left incomplete is removed.
bool SaveResult(CFitsImage& image, const std::string& path, int outputType, std::size_t frameCount,
                double exposureSum, ErrorSink& sink);
