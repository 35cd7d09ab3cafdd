#pragma once
// The names derived from a frame's path and the folder and name parts of a
// path, for every host.

#include <cstddef>
#include <string>

// The separators of the folder and name rules: the platform's own.
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "\\/";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// A frame's path without its last four characters (the ".fit" of a frame;
// all of it when shorter): the base of the names derived from a frame.
std::string DropLastFour(const std::string& path);

// "%s_x%i.fit" of the current frame's path without its last four characters.
std::string ProposedResultName(const std::string& currentPath, std::size_t frameCount);

// The current frame's path without its last four characters, with ".bmp".
std::string ProposedBitmapName(const std::string& currentPath);

// The name of the tinted picture "Save Bitmaps" writes beside a frame.
std::string ClipBitmapName(const std::string& framePath);

// The folder of a picked or dropped path with its trailing separator; the
// whole path when it has no separator after its first character.
std::string FolderOfPath(const std::string& path);

// The part of a path after its last separator; "???" when it has none.
std::string FrameName(const std::string& path);
// The part of path after its last separator; all of it without one.
std::string BaseName(const std::string& path);
