// velmora-cli: the merge engine of Velmora driven from the command line.

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include "cli/Commands.h"

namespace {

const CliCommand kCommands[] = {
    {"help", "show this list", [](const QStringList&) { return 0; }},
};

int Usage()
{
    std::fputs("usage: velmora-cli COMMAND [options] ...\ncommands:\n", stderr);
    for (const CliCommand& c : kCommands)
        std::fprintf(stderr, "  %-8s %s\n", c.name, c.summary);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() < 2)
        return Usage();
    const QString name = args.at(1);
    for (const CliCommand& c : kCommands)
        if (name == QLatin1String(c.name))
            return c.run(args.mid(2));
    return Usage();
}
