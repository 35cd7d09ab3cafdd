#include "platform/FileNames.h"

std::string DropLastFour(const std::string& path) { return path.substr(0, path.size() >= 4 ? path.size() - 4 : 0); }

std::string ProposedResultName(const std::string& currentPath, std::size_t frameCount)
{
    return DropLastFour(currentPath) + "_x" + std::to_string(frameCount) + ".fit";
}

std::string ProposedBitmapName(const std::string& currentPath) { return DropLastFour(currentPath) + ".bmp"; }

std::string ClipBitmapName(const std::string& framePath) { return DropLastFour(framePath) + "_.bmp"; }

std::string FolderOfPath(const std::string& path)
{
    const std::size_t last = path.find_last_of(kPathSeparators);
    return last != std::string::npos && last > 0 ? path.substr(0, last + 1) : path;
}

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of(kPathSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FrameName(const std::string& path)
{
    return path.find_last_of(kPathSeparators) == std::string::npos ? "???" : BaseName(path);
}
