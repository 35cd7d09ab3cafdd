#pragma once
// The FRAME... arguments of merge and report as the frame set: full paths,
// as the desktop program's file dialog gives them, duplicates dropped.

#include <QString>

#include <string>

#include "cli/CliCommon.h"
#include "merge/MergeEngine.h"

// The absolute, cleaned path of a file argument, for the core.
std::string FramePath(const QString& argument);
// Every positional argument as a frame path.
FrameSet ReadFrameArguments(const CliCommandLine& line);
// The reference: --reference, or the first frame of files that can be read.
bool LoadReference(const CliCommandLine& line, const FrameSet& files, CFitsImage& image, std::string& path,
                   CoreHost& host);
