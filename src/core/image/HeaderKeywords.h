#pragma once
// The keywords of a frame beyond the nine of its acquisition that a merge
// result carries on: the reference's world coordinate system and the
// descriptions that stay true for a stack of it, and each frame's start of
// observation.

#include <string>
#include <vector>

#include <fitsio.h>

// WCS keywords (axes, reference point, CD or PC matrix with CDELT, units,
// SIP distortion, frame and equinox) and the descriptive keywords of the
// target, telescope and site. Not the time of observation, which differs
// per frame.
bool IsKeptKeyword(const std::string& name);

// The cards of the current header whose keyword IsKeptKeyword, each as it
// stands (a long string followed by its CONTINUE cards), first occurrence only;
// cards CFITSIO cannot parse are left out.
std::vector<std::string> ReadKeptCards(fitsfile* file);

// DATE-OBS as the header states it; when it holds a date alone, TIME-OBS
// completes it. Empty when there is none.
std::string ReadDateObs(fitsfile* file);
