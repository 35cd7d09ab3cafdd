#pragma once
// The settings file (an INI file beside the executable): where it lives and
// the typed reads and writes of its sections, shared by the desktop program
// and the batch tool.

#include <QSettings>
#include <QString>

#include "image/PlaneValues.h"
#include "merge/MergeParams.h"

// The settings file for the running executable: beside it when its file name
// is the program's own, else its full path with "Velmora.ini" appended; the
// per-user configuration folder when that folder cannot be written.
QString SettingsFilePath();
// The same rule for a given executable path and fallback folder.
QString SettingsFilePathFor(const QString& executablePath, const QString& fallbackFolder);

// An integer key; the default when the key is missing or holds no number.
int ReadProfileInt(const QSettings& settings, const QString& section, const QString& key, int defaultValue);
void WriteProfileInt(QSettings& settings, const QString& section, const QString& key, int value);
QString ReadProfileString(const QSettings& settings, const QString& section, const QString& key);
void WriteProfileString(QSettings& settings, const QString& section, const QString& key, const QString& value);

// [NoiseFrame] / [LightFrame]: StartX, StartY, SizeX, SizeY.
ImageRect ReadRect(const QSettings& settings, const QString& section);
void WriteRect(QSettings& settings, const QString& section, const ImageRect& rect);

// [Params]: the nine merge parameters, sigma and fade stored x1000, and
// Robust (0 or 1).
MergeParams ReadMergeParams(const QSettings& settings);
void WriteMergeParams(QSettings& settings, const MergeParams& params);
