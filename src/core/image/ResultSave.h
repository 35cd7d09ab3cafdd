#pragma once
// Saving the merge result: the image with the number of combined frames and
// the summed exposure in its header.

#include <cstddef>
#include <string>

#include "image/FitsImage.h"

// A frame's path without its last four characters (the ".fit" of a frame;
// all of it when shorter): the base of the names derived from a frame.
std::string DropLastFour(const std::string& path);

// "%s_x%i.fit" of the current frame's path without its last four characters.
std::string ProposedResultName(const std::string& currentPath, std::size_t frameCount);

// Sets the image's exposure to exposureSum / frameCount (the sum itself for an
// empty set), writes it in outputType with SNAPSHOT and EXPOSURESUM, and closes
// the file in every case; a file left incomplete is removed.
bool SaveResult(CFitsImage& image, const std::string& path, int outputType, std::size_t frameCount,
                double exposureSum, ErrorSink& sink);
