// velmora-cli: the merge engine of Velmora driven from the command line.

#include <QCoreApplication>

#include <cstdio>

#include "cli/Commands.h"

namespace {

const CliCommand kCommands[] = {
    {"info", "print the info line and the Merge caption of an image", RunInfo},
    {"render", "write the preview picture of an image as BMP", RunRender},
    {"merge", "merge frames into one result FITS file", RunMerge},
    {"report", "write the noise report of frames", RunReport},
    {"align", "print the moves of frames against a reference frame", RunAlign},
};

const CliCommand* FindCommand(const QString& name)
{
    for (const CliCommand& c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

void PrintUsage(FILE* stream)
{
    std::fputs("usage: velmora-cli COMMAND [options] ...\n"
               "       velmora-cli help [COMMAND]\n"
               "commands:\n",
               stream);
    for (const CliCommand& c : kCommands)
        std::fprintf(stream, "  %-8s %s\n", c.name, c.summary);
    std::fputs("exit status: 0 success, 1 failure, 2 usage error\n", stream);
}

int UsageError(const char* message, const QString& detail)
{
    std::fprintf(stderr, "velmora-cli: %s%s\n", message, detail.toLocal8Bit().constData());
    PrintUsage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        return UsageError("no command given", QString());
    const QString name = args.at(1);
    if (name == QLatin1String("help") || name == QLatin1String("--help") || name == QLatin1String("-h")) {
        if (args.size() < 3) {
            PrintUsage(stdout);
            return 0;
        }
        const CliCommand* command = FindCommand(args.at(2));
        return command ? command->run({QStringLiteral("--help")}) : UsageError("unknown command ", args.at(2));
    }
    const CliCommand* command = FindCommand(name);
    return command ? command->run(args.mid(2)) : UsageError("unknown command ", name);
}
