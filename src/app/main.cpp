#include <QApplication>

#include "app/CVelmoraApp.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CVelmoraApp theApp;
    return theApp.InitInstance();
}
