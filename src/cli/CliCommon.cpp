#include "cli/CliCommon.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

#include "platform/EscapeBytes.h"
#include "settings/Settings.h"

const char* const kRectOptionsUsage =
    "  --background X,Y,W,H   background rectangle (empty sky), in image pixels\n"
    "  --signal X,Y,W,H       signal rectangle (over the object), in image pixels\n"
    "  --settings INI         the rectangles from [NoiseFrame] and [LightFrame] of a\n"
    "                         Velmora.ini; --background and --signal win over it\n";

namespace {

const QString kHelp = QStringLiteral("help");

void PrintLine(FILE* stream, const QString& text) { std::fputs(text.toLocal8Bit().constData(), stream); }

}  // namespace

CliCommandLine::CliCommandLine(const char* command, const QString& usage)
    : m_command(QString::fromLatin1(command)), m_usage(usage)
{
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), kHelp}));
}

void CliCommandLine::AddValueOption(const QString& name, const QString& valueName, const QString& alias)
{
    QStringList names;
    if (!alias.isEmpty())
        names << alias;
    names << name;
    m_parser.addOption(QCommandLineOption(names, QString(), valueName));
}

int CliCommandLine::Parse(const QStringList& args, int positionals)
{
    if (!m_parser.parse(QStringList{QStringLiteral("velmora-cli")} + args))
        return UsageError(m_parser.errorText());
    if (m_parser.isSet(kHelp)) {
        PrintLine(stdout, QStringLiteral("usage: velmora-cli ") + m_usage);
        return kExitOk;
    }
    const qsizetype given = m_parser.positionalArguments().size();
    if (positionals == kOneOrMore && given < 1)
        return UsageError(QStringLiteral("expected at least one file argument"));
    if (positionals != kOneOrMore && given != positionals)
        return UsageError(QStringLiteral("expected %1 file argument(s), got %2").arg(positionals).arg(given));
    return kContinue;
}

int CliCommandLine::UsageError(const QString& message) const
{
    PrintLine(stderr, QStringLiteral("velmora-cli %1: %2\nusage: velmora-cli %3").arg(m_command, message, m_usage));
    return kExitUsage;
}

int CliCommandLine::Failure(const QString& message) const
{
    PrintLine(stderr, QStringLiteral("velmora-cli %1: %2\n").arg(m_command, message));
    return kExitFailure;
}

bool CliCommandLine::ReadInt(const QString& name, int defaultValue, int& value) const
{
    value = defaultValue;
    if (!m_parser.isSet(name))
        return true;
    bool ok = false;
    const QString text = m_parser.value(name);
    value = text.trimmed().toInt(&ok);
    if (!ok)
        UsageError(QStringLiteral("--%1 needs a whole number, not '%2'").arg(name, text));
    return ok;
}

std::string CliCommandLine::Positional(int index) const
{
    return QFile::encodeName(m_parser.positionalArguments().at(index)).toStdString();
}

bool ParseRect(const QString& text, ImageRect& rect)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    ImageRect parsed;
    int32_t* into[4] = {&parsed.StartX, &parsed.StartY, &parsed.SizeX, &parsed.SizeY};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        *into[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return false;
    }
    rect = parsed;
    return true;
}

void AddRectOptions(CliCommandLine& line)
{
    line.AddValueOption(QStringLiteral("background"), QStringLiteral("X,Y,W,H"));
    line.AddValueOption(QStringLiteral("signal"), QStringLiteral("X,Y,W,H"));
    line.AddValueOption(QStringLiteral("settings"), QStringLiteral("INI"));
}

bool OpenSettings(const CliCommandLine& line, std::unique_ptr<QSettings>& settings)
{
    settings.reset();
    if (!line.m_parser.isSet(QStringLiteral("settings")))
        return true;
    const QString path = line.m_parser.value(QStringLiteral("settings"));
    QFile probe(path);
    if (!QFileInfo(path).isFile() || !probe.open(QIODevice::ReadOnly)) {
        line.Failure(QStringLiteral("cannot read the settings file %1").arg(path));
        return false;
    }
    settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    if (settings->status() != QSettings::NoError) {
        line.Failure(QStringLiteral("%1 is not a settings file").arg(path));
        settings.reset();
        return false;
    }
    return true;
}

bool ReadRectOptions(const CliCommandLine& line, const QSettings* settings, ImageRect& rcNoise, ImageRect& rcLight)
{
    if (settings) {
        rcNoise = ReadRect(*settings, QStringLiteral("NoiseFrame"));
        rcLight = ReadRect(*settings, QStringLiteral("LightFrame"));
    }
    for (const auto& [name, rect] : {std::pair<QString, ImageRect*>{QStringLiteral("background"), &rcNoise},
                                     std::pair<QString, ImageRect*>{QStringLiteral("signal"), &rcLight}}) {
        if (line.m_parser.isSet(name) && !ParseRect(line.m_parser.value(name), *rect)) {
            line.UsageError(QStringLiteral("--%1 needs X,Y,W,H, not '%2'").arg(name, line.m_parser.value(name)));
            return false;
        }
    }
    return true;
}

int ReadRectArguments(const CliCommandLine& line, ImageRect& rcNoise, ImageRect& rcLight)
{
    std::unique_ptr<QSettings> settings;
    if (!OpenSettings(line, settings))
        return kExitFailure;
    return ReadRectOptions(line, settings.get(), rcNoise, rcLight) ? kContinue : kExitUsage;
}

void CliHost::ShowError(const std::string& caption, const std::string& text)
{
    EndProgress();
    std::string message;
    for (char c : text)
        if (c != '\r')
            message += c;
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    std::fprintf(stderr, "%s: %s\n", EscapeRawBytes(caption).c_str(), EscapeRawBytes(message).c_str());
}

void CliHost::SetTitle(const std::string& title)
{
    m_title = title;
    DrawProgress();
}

void CliHost::StepProgress(int amount)
{
    m_done += amount;
    DrawProgress();
}

void CliHost::SetProgressRange(int total)
{
    m_total = total;
    m_done = 0;
}

void CliHost::EndProgress()
{
    if (m_drawn)
        std::fputc('\n', stderr);
    m_drawn = false;
}

void CliHost::DrawProgress()
{
    if (!isatty(STDERR_FILENO))
        return;
    const int percent = m_total > 0 ? std::clamp(100 * m_done / m_total, 0, 100) : 0;
    // \033[K clears what a longer title left on the line.
    std::fprintf(stderr, "\r%3d%% %s\033[K", percent, m_title.c_str());
    std::fflush(stderr);
    m_drawn = true;
}
