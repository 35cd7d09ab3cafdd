#pragma once
// The subcommands of velmora-cli. Each returns the process exit status:
// 0 success, 1 failure (message on stderr), 2 usage error (usage on stderr).

#include <QStringList>

struct CliCommand {
    const char* name;
    const char* summary;
    int (*run)(const QStringList& args);  // args without the program and command names
};

// Defined in one file per command; listed in main.cpp.
int RunInfo(const QStringList& args);
int RunRender(const QStringList& args);
int RunMerge(const QStringList& args);
int RunReport(const QStringList& args);
int RunAlign(const QStringList& args);
