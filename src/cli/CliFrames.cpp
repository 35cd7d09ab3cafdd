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
