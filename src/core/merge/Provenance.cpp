#include "merge/Provenance.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include <fitsio.h>

#include "merge/MergeEngine.h"
#include "platform/FileNames.h"

namespace {

// Longer sets are summarised in the HISTORY instead of one line per frame.
constexpr std::size_t kListedFrames = 100;
constexpr int64_t kMillisPerDay = 86400000;

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

std::string DescribeWeights(const PlaneValues& weight, int planes)
{
    std::string text;
    for (int c = 0; c < planes && c < 3; ++c)
        text += Format(c == 0 ? "%.4g" : " %.4g", static_cast<double>(weight[c]));
    return text;
}

std::string DescribeRect(const ImageRect& rc)
{
    return Format("%d,%d,%d,%d", rc.StartX, rc.StartY, rc.SizeX, rc.SizeY);
}

std::vector<std::string> DescribeParameters(const MergeSettings& settings)
{
    const MergeParams& p = settings.m_params;
    return {Format("Ignore Black %s (limit %d), Ignore White %s (limit %d)", p.m_ignoreBlack ? "on" : "off",
                   p.m_blackLimit, p.m_ignoreWhite ? "on" : "off", p.m_whiteLimit),
            Format("Sigma Clip %s, sigma %g, fade %g, Normalize Area %d", p.m_useSigma ? "on" : "off",
                   static_cast<double>(p.m_sigma), static_cast<double>(p.m_sigmaFade), p.m_normalizeArea),
            Format("Robust %s, Align frames %s", p.m_robust ? "on" : "off", p.m_align ? "on" : "off"),
            "Background rectangle " + DescribeRect(settings.m_rcNoise) + ", signal rectangle " +
                DescribeRect(settings.m_rcLight)};
}

// Weight range of each plane over a long set.
std::string SummariseFrames(const MergeRecord& record)
{
    const std::vector<CombinedFrame>& frames = record.m_frames;
    std::string text = "first " + BaseName(frames.front().m_path) + ", last " + BaseName(frames.back().m_path) +
                       ", weights";
    for (int c = 0; c < record.m_planes && c < 3; ++c) {
        const auto [lo, hi] = std::minmax_element(frames.begin(), frames.end(), [c](const auto& a, const auto& b) {
            return a.m_weight[c] < b.m_weight[c];
        });
        text += Format(" %.4g-%.4g", static_cast<double>(lo->m_weight[c]), static_cast<double>(hi->m_weight[c]));
    }
    return text;
}

// The earliest start and the latest end of the frames that state a start.
void DateFrames(const std::vector<CombinedFrame>& frames, ResultProvenance& provenance)
{
    bool any = false;
    double first = 0.0, last = 0.0;
    for (const CombinedFrame& frame : frames) {
        double start = 0.0;
        if (!ParseFitsDate(frame.m_dateObs, start))
            continue;
        const double exposure = std::isfinite(frame.m_exposure) && frame.m_exposure > 0.0 ? frame.m_exposure : 0.0;
        first = any ? std::min(first, start) : start;
        last = any ? std::max(last, start + exposure) : start + exposure;
        any = true;
    }
    if (!any)
        return;
    provenance.m_dateObs = FormatFitsDate(first);
    provenance.m_dateEnd = FormatFitsDate(last);
}

}  // namespace

bool ParseFitsDate(const std::string& date, double& seconds)
{
    if (date.empty())
        return false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, status = 0;
    double second = 0.0;
    fits_str2time(const_cast<char*>(date.c_str()), &year, &month, &day, &hour, &minute, &second, &status);
    if (status != 0) {
        fits_clear_errmsg();
        return false;
    }
    seconds = static_cast<double>(DaysFromCivil(year, month, day)) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
    return std::isfinite(seconds);
}

std::string FormatFitsDate(double seconds)
{
    // Whole milliseconds first, so that 59.9996 s carries into the minute.
    const double millis = std::round(seconds * 1000.0);
    if (!(std::fabs(millis) < 1e15))
        return {};
    const auto total = static_cast<int64_t>(millis);
    const int64_t days = total >= 0 ? total / kMillisPerDay : -((-total + kMillisPerDay - 1) / kMillisPerDay);
    const int64_t ms = total - days * kMillisPerDay;
    int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    if (year < 0 || year > 9999)
        return {};
    char text[FLEN_VALUE] = {};
    int status = 0;
    fits_time2str(static_cast<int>(year), month, day, static_cast<int>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                  static_cast<double>(ms % 60000) / 1000.0, 3, text, &status);
    if (status != 0) {
        fits_clear_errmsg();
        return {};
    }
    return text;
}

std::string DescribeFrame(const MergeRecord& record, const CombinedFrame& frame, const FrameRejection* rejection)
{
    std::string text = "  " + BaseName(frame.m_path) + " weight " + DescribeWeights(frame.m_weight, record.m_planes);
    const MergeSettings& settings = record.m_settings;
    const auto scale = settings.m_sigmaScale.find(frame.m_path);
    if (settings.m_params.m_useSigma && scale != settings.m_sigmaScale.end()) {
        const std::string scales = DescribeWeights(scale->second, record.m_planes);
        if (scales != DescribeWeights(PlaneValues{{1.0f, 1.0f, 1.0f}}, record.m_planes))
            text += " sigma scale " + scales;
    }
    if (rejection)
        text += ", " + FormatRejection(*rejection, record.m_planes);
    return text;
}

ResultProvenance DescribeMerge(const CMergeEngine& engine)
{
    const MergeRecord& record = engine.m_record;
    ResultProvenance provenance;
    provenance.m_combined = static_cast<int>(record.m_frames.size());
    DateFrames(record.m_frames, provenance);
    provenance.m_cards = record.m_referenceCards;

    std::vector<std::string>& history = provenance.m_history;
    history.push_back(Format("Velmora %s merge of %zu frames, %zu combined", VELMORA_VERSION, engine.m_files.size(),
                             record.m_frames.size()));
    for (std::string& line : DescribeParameters(record.m_settings))
        history.push_back(std::move(line));
    history.push_back("Reference " + (record.m_reference.empty() ? std::string("none") : record.m_reference));
    if (record.m_frames.empty())
        return provenance;
    if (record.m_frames.size() > kListedFrames) {
        history.push_back("Frames combined: " + SummariseFrames(record));
        return provenance;
    }
    history.push_back("Frames combined (name, weight per plane):");
    // Both hosts count what a robust clipping rejected; the specified one
    // counts only on request, so its share would differ between them.
    const MergeParams& params = record.m_settings.m_params;
    const bool shares = params.m_robust && params.m_useSigma;
    for (const CombinedFrame& frame : record.m_frames) {
        const auto rejection = std::find_if(engine.m_rejections.begin(), engine.m_rejections.end(),
                                            [&frame](const FrameRejection& r) { return r.path == frame.m_path; });
        const bool known = shares && rejection != engine.m_rejections.end();
        history.push_back(DescribeFrame(record, frame, known ? &*rejection : nullptr));
    }
    return provenance;
}
