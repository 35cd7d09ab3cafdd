// velmora-cli report: the figures of the "FIT Files" list and its noise report.

#include <cstdio>

#include "cli/CliCommon.h"
#include "cli/CliFrames.h"
#include "cli/Commands.h"
#include "report/NoiseReport.h"

int RunReport(const QStringList& args)
{
    CliCommandLine line("report",
                        QStringLiteral("report [--background X,Y,W,H] [--signal X,Y,W,H] [--settings INI] [--csv FILE] "
                                       "[--robust] FRAME...\n"
                                       "Writes the noise report (one ';'-separated line per readable frame) to FILE,\n"
                                       "or to stdout without --csv; with --csv the rows of the \"FIT Files\" list\n"
                                       "(name, S/N, size; tab-separated) go to stdout. Unreadable frames are\n"
                                       "reported on stderr and left out.\n"
                                       "  --csv FILE             the report file (replaced)\n"
                                       "  --robust               the figures a robust merge uses\n") +
                            QString::fromLatin1(kRectOptionsUsage));
    AddRectOptions(line);
    line.AddValueOption(QStringLiteral("csv"), QStringLiteral("FILE"));
    line.m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("robust")}));
    const int status = line.Parse(args, kOneOrMore);
    if (status != kContinue)
        return status;

    ImageRect rcNoise, rcLight;
    if (const int failed = ReadRectArguments(line, rcNoise, rcLight); failed != kContinue)
        return failed;

    CliHost host;
    FrameSet files = ReadFrameArguments(line);
    const std::vector<FileListRow> rows =
        BuildFileList(files, rcNoise, rcLight, host, line.m_parser.isSet(QStringLiteral("robust")));
    if (rows.empty())  // an empty report would pass for a result
        return line.Failure(QStringLiteral("none of the frames could be read"));
    if (!line.m_parser.isSet(QStringLiteral("csv"))) {
        std::fputs(NoiseReportText(rows).c_str(), stdout);
    } else {
        const QString csv = line.m_parser.value(QStringLiteral("csv"));
        if (!WriteNoiseReport(FramePath(csv), rows))
            return line.Failure(QStringLiteral("cannot write %1").arg(csv));
        for (const FileListRow& row : rows)
            std::printf("%s\t%s\t%s\n", row.name.c_str(), row.snText.c_str(), row.sizeText.c_str());
    }
    return std::fflush(stdout) == 0 ? kExitOk : line.Failure(QStringLiteral("cannot write the output"));
}
