#include "app/CVelmoraApp.h"

#include <QCoreApplication>

#include "settings/Settings.h"
#include "app/CMainDlg.h"

int CVelmoraApp::InitInstance()
{
    // Names the per-user configuration folder the settings fall back to.
    QCoreApplication::setApplicationName(QStringLiteral("Velmora"));
    CMainDlg dlg(SettingsFilePath());
    dlg.exec();
    return 0;
}
