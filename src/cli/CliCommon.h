#pragma once
// What every subcommand of velmora-cli shares: exit statuses, option
// parsing with usage errors, the rectangles from options and settings, and
// the host that tells the user on stderr what the core reports.

#include <QCommandLineParser>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <memory>
#include <string>

#include "image/PlaneValues.h"
#include "platform/Host.h"

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// What CliCommandLine::Parse returns when the command is to go on.
constexpr int kContinue = -1;
// The positional count for CliCommandLine::Parse of commands taking FRAME...
constexpr int kOneOrMore = -2;

// The option lines of --background, --signal and --settings for a usage text.
extern const char* const kRectOptionsUsage;

// A subcommand's command line: its name, its usage text (shown on --help and
// after every usage error) and a QCommandLineParser holding its options.
class CliCommandLine {
public:
    // usage: the text after "usage: velmora-cli ", e.g.
    // "info [--settings INI] IMAGE\n  --settings INI  ...\n".
    CliCommandLine(const char* command, const QString& usage);

    QCommandLineParser m_parser;

    // Adds an option that takes a value (long name, optional one-letter alias).
    void AddValueOption(const QString& name, const QString& valueName, const QString& alias = QString());
    // Parses args (without the program and command names) expecting exactly
    // `positionals` arguments (at least one with kOneOrMore). kContinue to go on, otherwise the exit status
    // (0 after --help, 2 after a usage error, both already printed).
    int Parse(const QStringList& args, int positionals);
    // Prints "velmora-cli COMMAND: message" and the usage on stderr; returns 2.
    int UsageError(const QString& message) const;
    // Prints "velmora-cli COMMAND: message" on stderr; returns 1.
    int Failure(const QString& message) const;
    // The whole-number value of an option, or defaultValue when it is absent;
    // false after a usage error was printed.
    bool ReadInt(const QString& name, int defaultValue, int& value) const;
    // A positional argument as a path for the core (local 8-bit encoding).
    std::string Positional(int index) const;

private:
    QString m_command;
    QString m_usage;
};

// "X,Y,W,H" (whole numbers, spaces allowed around them) into a rectangle.
bool ParseRect(const QString& text, ImageRect& rect);

// Adds --background, --signal and --settings.
void AddRectOptions(CliCommandLine& line);
// The settings file named by --settings, or null when the option is absent;
// false after the failure was printed (missing or unreadable file: exit 1).
bool OpenSettings(const CliCommandLine& line, std::unique_ptr<QSettings>& settings);
// The two rectangles: [NoiseFrame] and [LightFrame] of the settings when
// given, replaced by --background and --signal when given; false after a
// usage error was printed.
bool ReadRectOptions(const CliCommandLine& line, const QSettings* settings, ImageRect& rcNoise, ImageRect& rcLight);
// OpenSettings and ReadRectOptions for a command that reads nothing else from
// the settings: kContinue to go on, otherwise the exit status (1 or 2, the
// failure already printed).
int ReadRectArguments(const CliCommandLine& line, ImageRect& rcNoise, ImageRect& rcLight);

// The core's host in a terminal: every report goes to stderr as
// "caption: text"; title and progress are drawn on one line of stderr when
// it is a terminal, and not at all otherwise.
class CliHost : public CoreHost {
public:
    void ShowError(const std::string& caption, const std::string& text) override;
    void SetTitle(const std::string& title) override;
    void StepProgress(int amount) override;
    void ShowFrame() override {}

    // The number of progress steps a whole run takes (frames x passes).
    void SetProgressRange(int total);
    // Ends the progress line, if one was drawn.
    void EndProgress();

private:
    void DrawProgress();

    std::string m_title;
    int m_total = 0;
    int m_done = 0;
    bool m_drawn = false;
};
