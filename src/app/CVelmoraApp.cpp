#include "app/CVelmoraApp.h"

#include <QCoreApplication>

#include "settings/Settings.h"
#include "app/MainWindow.h"

int CVelmoraApp::InitInstance()
{
    // Names the per-user configuration folder the settings fall back to.
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    RunMainWindow(SettingsFilePath());
    return 0;
}
