#include "image/ResultSave.h"

#include <algorithm>

namespace {

// CFITSIO stamps the current time into the comments of CHECKSUM and DATASUM;
// fixed comments keep a result the same bytes whenever it is written. The
// HDU checksum is then encoded again as CFITSIO does: over the header with
// a zero CHECKSUM, complemented.
void WriteChecksums(fitsfile* file, int& status)
{
    fits_write_chksum(file, &status);
    fits_modify_comment(file, "DATASUM", "data unit checksum", &status);
    fits_modify_key_str(file, "CHECKSUM", "0000000000000000", "HDU checksum", &status);
    unsigned long dataSum = 0, hduSum = 0;
    fits_get_chksum(file, &dataSum, &hduSum, &status);
    char checksum[FLEN_VALUE] = {};
    fits_encode_chksum(hduSum, TRUE, checksum);
    fits_modify_key_str(file, "CHECKSUM", checksum, "&", &status);
}

void WriteProvenance(fitsfile* file, const ResultProvenance& provenance, int& status)
{
    int combined = provenance.m_combined;
    fits_write_key(file, TINT, "NCOMBINE", &combined, "Number of frames combined", &status);
    if (!provenance.m_dateObs.empty())
        fits_write_key_str(file, "DATE-OBS", provenance.m_dateObs.c_str(), "Start of the earliest frame combined",
                           &status);
    if (!provenance.m_dateEnd.empty())
        fits_write_key_str(file, "DATE-END", provenance.m_dateEnd.c_str(), "End of the latest frame combined", &status);
    // A long string copied with its CONTINUE cards needs the convention
    // declared, as fitsverify asks.
    if (std::any_of(provenance.m_cards.begin(), provenance.m_cards.end(),
                    [](const std::string& card) { return card.rfind("CONTINUE", 0) == 0; }))
        fits_write_key_longwarn(file, &status);
    for (const std::string& card : provenance.m_cards)
        fits_write_record(file, card.c_str(), &status);
    for (const std::string& text : provenance.m_history)
        fits_write_history(file, text.c_str(), &status);
    WriteChecksums(file, status);
}

}  // namespace

bool SaveResult(CFitsImage& image, const std::string& path, int outputType, std::size_t frameCount,
                double exposureSum, ErrorSink& sink, const ResultProvenance* provenance)
{
    // Without frames there is nothing to average the exposure over.
    image.m_header.m_exposure = frameCount > 0 ? exposureSum / static_cast<double>(frameCount) : exposureSum;
    CFitsOutput output;
    if (!image.Save(path, outputType, &output, sink))
        return false;

    int status = 0;
    int snapshot = static_cast<int>(frameCount);
    fits_write_key(output.m_file, TINT, "SNAPSHOT", &snapshot, "Number of images combined", &status);
    if (CheckFitsStatus(status, sink))
        return false;
    fits_write_key(output.m_file, TDOUBLE, "EXPOSURESUM", &exposureSum, "Summ Exposure", &status);
    if (CheckFitsStatus(status, sink))
        return false;
    if (provenance) {
        WriteProvenance(output.m_file, *provenance, status);
        if (CheckFitsStatus(status, sink))
            return false;
    }
    return output.Close(sink);
}
