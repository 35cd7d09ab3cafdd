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
