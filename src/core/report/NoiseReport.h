#pragma once
// The figures of the "FIT Files" list and of the noise report: per readable
// frame its noise or S/N per plane, the noise of its difference with the
// previous readable frame of the same size, and its size.

#include <string>
#include <vector>

#include "image/PlaneValues.h"
#include "merge/MergeEngine.h"
#include "platform/Host.h"

struct FileListRow {
    std::string path;
    std::string name;        // column "Name": the part after the last separator
    int planes = 0;          // glyph 1 when more than one
    int width = 0;
    int height = 0;
    std::string snText;      // column "S/N": "S/N ..." or "N ...", then " Nd %.2f"
    std::string sizeText;    // column "Size": "col %i x %i" or "bw %i x %i"
    float sortValue = 0.0f;  // mean S/N, or mean noise where no S/N could be measured
    std::string reportLine;  // the report's line for this frame, with its line end
};

// One row per readable frame, in frame order. A frame that cannot be read is
// reported through the sink and removed from files. robust: every figure
// from the robust rectangle statistics, as a robust merge uses them.
std::vector<FileListRow> BuildFileList(FrameSet& files, const ImageRect& rcNoise, const ImageRect& rcLight,
                                       ErrorSink& sink, bool robust = false);

// The report lines of all rows, in row order.
std::string NoiseReportText(const std::vector<FileListRow>& rows);
// Replaces the report file; false when it could not be written completely.
bool WriteNoiseReport(const std::string& path, const std::vector<FileListRow>& rows);

// The list's sort: 1 when row a follows row b, else 0. By row number
// (bySignalToNoise false: reverse frame order) or by planes, then sortValue,
// both descending.
int CompareRows(const std::vector<FileListRow>& rows, int a, int b, bool bySignalToNoise);
