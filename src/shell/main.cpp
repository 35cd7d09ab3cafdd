#include <QApplication>

#include "shell/CVelmoraApp.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CVelmoraApp theApp;
    return theApp.InitInstance();
}
