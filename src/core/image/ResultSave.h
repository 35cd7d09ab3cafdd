#pragma once
// Saving the merge result: the image with the number of combined frames and
// the summed exposure in its header.

#include <cstddef>
#include <string>
#include <vector>

#include "image/FitsImage.h"

// What a merge result's header says beyond SNAPSHOT and EXPOSURESUM, for the
// tools that read it next.
struct ResultProvenance {
    int m_combined = 0;                    // NCOMBINE
    std::string m_dateObs;                 // DATE-OBS; none when empty
    std::string m_dateEnd;                 // DATE-END; none when empty
    std::vector<std::string> m_cards;      // the reference's cards, as they stand
    std::vector<std::string> m_history;    // HISTORY texts
};

// Sets the image's exposure to exposureSum / frameCount (the sum itself for an
// empty set), writes it in outputType with SNAPSHOT and EXPOSURESUM, and with
// a provenance its keywords, HISTORY, CHECKSUM and DATASUM. The file appears
// under path only when complete; nothing is left otherwise.
bool SaveResult(CFitsImage& image, const std::string& path, int outputType, std::size_t frameCount,
                double exposureSum, ErrorSink& sink, const ResultProvenance* provenance = nullptr);
