#include "report/NoiseReport.h"

#include "platform/AtomicFile.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "merge/RectStats.h"
#include "platform/FileNames.h"

namespace {

constexpr double kDifferenceFactor = 0.707;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

// The noise alone when the signal rectangle (or both) cannot be used. A
// background rectangle that cannot be used measures no plane: all 0.
void MeasureNoiseOnly(const CFitsImage& image, const ImageRect& rcNoise, PlaneValues& noise, bool robust)
{
    PlaneValues background;
    if (!CalcRectStats(image, rcNoise, background, noise, robust))
        noise = PlaneValues{};
}

// Text, sortValue and the report's noise and S/N fields of one frame.
void DescribeQuality(const CFitsImage& image, const ImageRect& rcNoise, const ImageRect& rcLight, bool robust,
                     FileListRow& row)
{
    PlaneValues background, signal, noise;
    const bool ok = CalcFrameStats(image, rcNoise, rcLight, background, signal, noise, robust);
    if (!ok)
        MeasureNoiseOnly(image, rcNoise, noise, robust);
    double sn[3];
    for (int c = 0; c < 3; ++c)
        sn[c] = static_cast<double>(signal[c]) / static_cast<double>(noise[c]);

    if (image.m_planes == 3) {
        if (ok) {
            row.snText = Format("S/N %.1f %.1f %.1f", sn[0], sn[1], sn[2]);
            row.sortValue = static_cast<float>((sn[0] + sn[1] + sn[2]) / 3);
        } else {
            row.snText = Format("N %.1f %.1f %.1f", noise[0], noise[1], noise[2]);
            row.sortValue = (noise[0] + noise[1] + noise[2]) / 3;
        }
        row.reportLine += Format(";%f;%f;%f;%f;%f;%f;", noise[0], noise[1], noise[2], sn[0], sn[1], sn[2]);
    } else {
        if (ok) {
            row.snText = Format("S/N %.2f", sn[0]);
            row.sortValue = static_cast<float>(sn[0]);
        } else {
            row.snText = Format("N %.2f", noise[0]);
            row.sortValue = noise[0];
        }
        row.reportLine += Format(";%f;%f;", noise[0], sn[0]);
    }
}

}  // namespace

std::vector<FileListRow> BuildFileList(FrameSet& files, const ImageRect& rcNoise, const ImageRect& rcLight,
                                       ErrorSink& sink, bool robust)
{
    std::vector<FileListRow> rows;
    CFitsImage current, previous;
    for (auto it = files.begin(); it != files.end();) {
        if (!current.Load(*it, sink)) {
            it = files.erase(it);
            continue;
        }
        FileListRow row;
        row.path = *it;
        row.name = FrameName(*it);
        row.planes = current.m_planes;
        row.width = current.m_width;
        row.height = current.m_height;
        row.reportLine = row.name;
        DescribeQuality(current, rcNoise, rcLight, robust, row);

        PlaneValues dn, scratch;
        if (previous.SameSize(current)) {
            previous.Subtract(current);
            CalcRectStats(previous, rcNoise, scratch, dn, robust);
            row.snText += Format(" Nd %.2f", dn[0] * kDifferenceFactor);
        }
        previous.CopyPixelsFrom(current);

        if (current.m_planes > 1) {
            row.sizeText = Format("col %i x %i", current.m_width, current.m_height);
            row.reportLine += Format("%f;%f;%f;", dn[0] * kDifferenceFactor, dn[1] * kDifferenceFactor,
                                     dn[2] * kDifferenceFactor);
        } else {
            row.sizeText = Format("bw %i x %i", current.m_width, current.m_height);
            row.reportLine += Format("%f;", dn[0] * kDifferenceFactor);
        }
        row.reportLine += Format("%i;%i;%i;\n", current.m_width, current.m_height, current.m_planes);
        rows.push_back(std::move(row));
        ++it;
    }
    return rows;
}

std::string NoiseReportText(const std::vector<FileListRow>& rows)
{
    std::string text;
    for (const FileListRow& row : rows)
        text += row.reportLine;
    return text;
}

bool WriteNoiseReport(const std::string& path, const std::vector<FileListRow>& rows)
{
    CAtomicFile output(path, true);
    FILE* file = output.OpenStream();
    if (!file)
        return false;
    const std::string text = NoiseReportText(rows);
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() && output.Commit();
}

int CompareRows(const std::vector<FileListRow>& rows, int a, int b, bool bySignalToNoise)
{
    if (!bySignalToNoise)
        return a < b ? 1 : 0;
    const FileListRow& ra = rows[static_cast<size_t>(a)];
    const FileListRow& rb = rows[static_cast<size_t>(b)];
    if (ra.planes != rb.planes)
        return ra.planes < rb.planes ? 1 : 0;
    // A NaN (S/N of 0 / 0) counts as the smallest key: compared as it is, it
    // would equal every number and break the sort's ordering.
    if (std::isnan(ra.sortValue) || std::isnan(rb.sortValue))
        return std::isnan(ra.sortValue) && !std::isnan(rb.sortValue) ? 1 : 0;
    return ra.sortValue < rb.sortValue ? 1 : 0;
}
