#include "settings/Settings.h"

#include <QCoreApplication>
#include <QVariant>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

const QString kIniName = QStringLiteral("Velmora.ini");

bool IsProgramFileName(const QString& name)
{
#ifdef Q_OS_WIN
    return name == QLatin1String("Velmora.exe");
#else
    return name == QLatin1String("velmora");
#endif
}

bool FolderWritable(const QString& folder)
{
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".velmora-XXXXXX")));
    return probe.open();
}

QString Key(const QString& section, const QString& key) { return section + QLatin1Char('/') + key; }

// x1000 values are stored rounded by adding 0.5 before truncation; a value
// no integer can hold is stored as 0.
int To1000(float value)
{
    const double scaled = value * 1000.0 + 0.5;
    if (!(scaled > -2147483648.0 && scaled < 2147483648.0))
        return 0;
    return static_cast<int>(scaled);
}

// An opt-in switch is written once it was ever on, so a settings file that
// never used it keeps the specified keys alone.
void WriteOptInFlag(QSettings& settings, const QString& section, const QString& key, bool on)
{
    if (on || settings.contains(Key(section, key)))
        WriteProfileInt(settings, section, key, on ? 1 : 0);
}

}  // namespace

QString SettingsFilePathFor(const QString& executablePath, const QString& fallbackFolder)
{
    const QFileInfo exe(executablePath);
    const QString folder = exe.absolutePath();
    QString path = IsProgramFileName(exe.fileName()) ? QDir(folder).filePath(kIniName)
                                                     : exe.absoluteFilePath() + kIniName;
    if (FolderWritable(folder))
        return path;
    QDir().mkpath(fallbackFolder);
    return QDir(fallbackFolder).filePath(QFileInfo(path).fileName());
}

QString SettingsFilePath()
{
    return SettingsFilePathFor(QCoreApplication::applicationFilePath(),
                               QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

int ReadProfileInt(const QSettings& settings, const QString& section, const QString& key, int defaultValue)
{
    const QVariant value = settings.value(Key(section, key));
    if (!value.isValid())
        return defaultValue;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok ? number : defaultValue;
}

void WriteProfileInt(QSettings& settings, const QString& section, const QString& key, int value)
{
    settings.setValue(Key(section, key), value);
}

QString ReadProfileString(const QSettings& settings, const QString& section, const QString& key)
{
    return settings.value(Key(section, key)).toString();
}

void WriteProfileString(QSettings& settings, const QString& section, const QString& key, const QString& value)
{
    settings.setValue(Key(section, key), value);
}

ImageRect ReadRect(const QSettings& settings, const QString& section)
{
    ImageRect rect;
    rect.StartX = ReadProfileInt(settings, section, QStringLiteral("StartX"), 0);
    rect.StartY = ReadProfileInt(settings, section, QStringLiteral("StartY"), 0);
    rect.SizeX = ReadProfileInt(settings, section, QStringLiteral("SizeX"), 0);
    rect.SizeY = ReadProfileInt(settings, section, QStringLiteral("SizeY"), 0);
    return rect;
}

void WriteRect(QSettings& settings, const QString& section, const ImageRect& rect)
{
    WriteProfileInt(settings, section, QStringLiteral("StartX"), rect.StartX);
    WriteProfileInt(settings, section, QStringLiteral("StartY"), rect.StartY);
    WriteProfileInt(settings, section, QStringLiteral("SizeX"), rect.SizeX);
    WriteProfileInt(settings, section, QStringLiteral("SizeY"), rect.SizeY);
}

MergeParams ReadMergeParams(const QSettings& settings)
{
    const QString s = QStringLiteral("Params");
    MergeParams p;
    p.m_ignoreBlack = ReadProfileInt(settings, s, QStringLiteral("IgnoreBlack"), 0) != 0;
    p.m_ignoreWhite = ReadProfileInt(settings, s, QStringLiteral("IgnoreWhite"), 0) != 0;
    p.m_whiteLimit = ReadProfileInt(settings, s, QStringLiteral("WhiteLimit"), 50000);
    p.m_blackLimit = ReadProfileInt(settings, s, QStringLiteral("BlackLimit"), 0);
    p.m_useSigma = ReadProfileInt(settings, s, QStringLiteral("UseSigma"), 0) != 0;
    p.m_sigma = static_cast<unsigned>(ReadProfileInt(settings, s, QStringLiteral("SigmaVal1000"), 3000)) / 1000.0f;
    p.m_sigmaFade = static_cast<unsigned>(ReadProfileInt(settings, s, QStringLiteral("SigmaFade1000"), 200)) / 1000.0f;
    p.m_normalizeArea = ReadProfileInt(settings, s, QStringLiteral("NormalizeArea"), 0);
    p.m_saveBitmaps = ReadProfileInt(settings, s, QStringLiteral("SaveBitmaps"), 0) != 0;
    p.m_align = ReadProfileInt(settings, s, QStringLiteral("Align"), 0) != 0;
    p.m_robust = ReadProfileInt(settings, s, QStringLiteral("Robust"), 0) != 0;
    return p;
}

void WriteMergeParams(QSettings& settings, const MergeParams& p)
{
    const QString s = QStringLiteral("Params");
    WriteProfileInt(settings, s, QStringLiteral("IgnoreBlack"), p.m_ignoreBlack ? 1 : 0);
    WriteProfileInt(settings, s, QStringLiteral("IgnoreWhite"), p.m_ignoreWhite ? 1 : 0);
    WriteProfileInt(settings, s, QStringLiteral("WhiteLimit"), p.m_whiteLimit);
    WriteProfileInt(settings, s, QStringLiteral("BlackLimit"), p.m_blackLimit);
    WriteProfileInt(settings, s, QStringLiteral("UseSigma"), p.m_useSigma ? 1 : 0);
    WriteProfileInt(settings, s, QStringLiteral("SigmaVal1000"), To1000(p.m_sigma));
    WriteProfileInt(settings, s, QStringLiteral("SigmaFade1000"), To1000(p.m_sigmaFade));
    WriteProfileInt(settings, s, QStringLiteral("NormalizeArea"), p.m_normalizeArea);
    WriteProfileInt(settings, s, QStringLiteral("SaveBitmaps"), p.m_saveBitmaps ? 1 : 0);
    WriteOptInFlag(settings, s, QStringLiteral("Align"), p.m_align);
    WriteOptInFlag(settings, s, QStringLiteral("Robust"), p.m_robust);
}
