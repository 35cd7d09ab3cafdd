// velmora-cli info: the main window's info line and Merge caption for one image.

#include <cstdio>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "image/FitsImage.h"
#include "merge/RectStats.h"

int RunInfo(const QStringList& args)
{
    CliCommandLine line("info", QStringLiteral("info [--background X,Y,W,H] [--signal X,Y,W,H] [--settings INI] "
                                               "[--robust] IMAGE\n"
                                               "Prints the info line of IMAGE as the main window shows it, then the\n"
                                               "Merge button's caption (\"Simple\" or \"Adaptive\").\n"
                                               "  --robust               the figures a robust merge uses\n") +
                                    QString::fromLatin1(kRectOptionsUsage));
    AddRectOptions(line);
    line.m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("robust")}));
    const int status = line.Parse(args, 1);
    if (status != kContinue)
        return status;

    ImageRect rcNoise, rcLight;
    if (const int failed = ReadRectArguments(line, rcNoise, rcLight); failed != kContinue)
        return failed;

    CliHost host;
    CFitsImage image;
    if (!image.Load(line.Positional(0), host))
        return kExitFailure;
    const InfoLine info = FormatInfoLine(image, rcNoise, rcLight, line.m_parser.isSet(QStringLiteral("robust")));
    std::printf("%s\n%s\n", info.text.c_str(), info.caption.c_str());
    return std::fflush(stdout) == 0 ? kExitOk : line.Failure(QStringLiteral("cannot write the output"));
}
