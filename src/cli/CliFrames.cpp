#include "cli/CliFrames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

std::string FramePath(const QString& argument)
{
    return QFile::encodeName(QDir::cleanPath(QFileInfo(argument).absoluteFilePath())).toStdString();
}

FrameSet ReadFrameArguments(const CliCommandLine& line)
{
    FrameSet files;
    for (const QString& argument : line.m_parser.positionalArguments())
        files.insert(FramePath(argument));
    return files;
}

bool LoadReference(const CliCommandLine& line, const FrameSet& files, CFitsImage& image, std::string& path,
                   CoreHost& host)
{
    if (line.m_parser.isSet(QStringLiteral("reference"))) {
        path = FramePath(line.m_parser.value(QStringLiteral("reference")));
        return image.Load(path, host);
    }
    for (const std::string& frame : files)
        if (image.Load(frame, host)) {
            path = frame;
            return true;
        }
    return false;
}
