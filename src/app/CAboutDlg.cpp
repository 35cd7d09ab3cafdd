#include "app/CAboutDlg.h"

#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "app/DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Velmora"));
    setFont(DialogFont());
    setFixedSize(MapDialogRect(font(), 0, 0, 235, 55).size());

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/about.png")));
    icon->setGeometry(QRect(MapDialogRect(font(), 11, 17, 0, 0).topLeft(), QSize(32, 32)));

    auto* version = new QLabel(QStringLiteral("Velmora Version 1.0"), this);
    version->setGeometry(MapDialogRect(font(), 40, 10, 119, 8));
    auto* purpose = new QLabel(QStringLiteral("Merges CCD FITS frames into one cleaner image"), this);
    purpose->setGeometry(MapDialogRect(font(), 40, 25, 135, 16));
    purpose->setWordWrap(true);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setGeometry(MapDialogRect(font(), 178, 7, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
