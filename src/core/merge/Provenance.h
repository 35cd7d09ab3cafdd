#pragma once
// What a merge result tells about its making: the frames the last average
// pass combined, with their weights and times, the reference, and the
// parameters, as the result's NCOMBINE, DATE-OBS, DATE-END, WCS and HISTORY.

#include <map>
#include <string>
#include <vector>

#include "image/PlaneValues.h"
#include "image/ResultSave.h"
#include "merge/MergeParams.h"

struct CombinedFrame {
    std::string m_path;
    PlaneValues m_weight;     // K of each plane
    std::string m_dateObs;    // as the frame states it; empty when it does not
    double m_exposure = 0.0;  // EXPTIME
};

// What the last merge ran with, so that a parameter changed after it does
// not show in its result.
struct MergeSettings {
    MergeParams m_params;
    ImageRect m_rcNoise;
    ImageRect m_rcLight;
    std::map<std::string, PlaneValues> m_sigmaScale;
};

// The last average pass: its reference and the frames it combined, in order,
// and the settings of the last merge.
struct MergeRecord {
    std::string m_reference;  // the reference's file name
    std::vector<std::string> m_referenceCards;
    int m_planes = 0;
    std::vector<CombinedFrame> m_frames;
    MergeSettings m_settings;
};

class CMergeEngine;
struct FrameRejection;

// The HISTORY line of one combined frame: its name and weights, then what
// else the merge knows of it (with rejection, the shares the clipping took).
std::string DescribeFrame(const MergeRecord& record, const CombinedFrame& frame, const FrameRejection* rejection);
// The result header's additions for the engine's last merge.
ResultProvenance DescribeMerge(const CMergeEngine& engine);

// A FITS date (yyyy-mm-ddThh:mm:ss[.s...], or the old dd/mm/yy) as seconds
// on one continuous scale; false when it is none.
bool ParseFitsDate(const std::string& date, double& seconds);
// Those seconds as yyyy-mm-ddThh:mm:ss.sss; empty outside years 0 to 9999.
std::string FormatFitsDate(double seconds);
