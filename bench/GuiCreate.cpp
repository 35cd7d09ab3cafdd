// The desktop program's "Create" as a user runs it, for `make bench`: the
// main window (on whatever platform Qt is given, offscreen in the bench) adds
// the frames, marks the rectangles, sets sigma clipping and saves the result
// from the save dialog that Create opens. Prints the seconds of Create alone.
// usage: gui-create-bench OUT.fit SIGMA NORMALIZE_AREA BX,BY,BW,BH SX,SY,SW,SH FRAME...

#include <chrono>
#include <cstdio>

#include <QAbstractButton>
#include <QApplication>
#include <QTemporaryDir>

#include "app/CMainDlg.h"
#include "app/ShellSeams.h"

namespace {

ImageRect ParseRect(const char* text)
{
    ImageRect r;
    std::sscanf(text, "%d,%d,%d,%d", &r.StartX, &r.StartY, &r.SizeX, &r.SizeY);
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 8) {
        std::fprintf(stderr, "usage: gui-create-bench OUT.fit SIGMA NORMALIZE_AREA BACKGROUND SIGNAL FRAME...\n");
        return 2;
    }
    QStringList frames;
    for (int i = 6; i < argc; ++i)
        frames << QString::fromLocal8Bit(argv[i]);
    const QString out = QString::fromLocal8Bit(argv[1]);
    bool failed = false;
    Seams().showMessage = [&failed](QWidget*, const QString& caption, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
        failed = true;
    };
    Seams().openFiles = [&frames](QWidget*, const FileDialogRequest&) { return frames; };
    Seams().saveFile = [&out](QWidget*, const FileDialogRequest&) { return out; };

    QTemporaryDir settings;
    CMainDlg dlg(settings.filePath(QStringLiteral("Velmora.ini")));
    MergeParams& params = dlg.m_engine.m_params;
    params.m_useSigma = true;
    params.m_sigma = static_cast<float>(std::atof(argv[2]));
    params.m_sigmaFade = 0.0f;
    params.m_normalizeArea = std::atoi(argv[3]);
    dlg.m_engine.m_rcNoise = ParseRect(argv[4]);
    dlg.m_engine.m_rcLight = ParseRect(argv[5]);
    dlg.show();
    QApplication::processEvents();
    dlg.OnAdd();  // opens Merge Parameters with the parameters above
    QApplication::processEvents();

    const auto start = std::chrono::steady_clock::now();
    static_cast<QAbstractButton*>(dlg.m_mergeDlg.GetDlgItem(IDC_CREATE))->click();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", seconds.count());
    return failed ? 1 : 0;
}
