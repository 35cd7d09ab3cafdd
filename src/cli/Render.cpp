// velmora-cli render: the preview picture of one image as a 24-bit BMP.

#include <QFile>

#include <cerrno>
#include <cstring>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "image/FitsImage.h"
#include "preview/PreviewBitmap.h"

int RunRender(const QStringList& args)
{
    CliCommandLine line("render", QStringLiteral("render [--gamma G] [--plane P] [--black-floor N] -o OUT.bmp IMAGE\n"
                                                 "Writes the preview picture of IMAGE as the main window shows it.\n"
                                                 "  --gamma G          strength of the gamma curve, 0 = linear (default 10)\n"
                                                 "  --plane P          one plane in grey, -1 = all planes (default -1)\n"
                                                 "  --black-floor N    values below N do not count for the black point\n"
                                                 "                     (default %1)\n"
                                                 "  -o, --output FILE  the BMP file to write (replaced if it exists)\n")
                                      .arg(kNoBlackFloor));
    line.AddValueOption(QStringLiteral("gamma"), QStringLiteral("G"));
    line.AddValueOption(QStringLiteral("plane"), QStringLiteral("P"));
    line.AddValueOption(QStringLiteral("black-floor"), QStringLiteral("N"));
    line.AddValueOption(QStringLiteral("output"), QStringLiteral("FILE"), QStringLiteral("o"));
    const int status = line.Parse(args, 1);
    if (status != kContinue)
        return status;

    CPreviewBitmap bitmap;
    int plane = -1, blackFloor = kNoBlackFloor;
    if (!line.ReadInt(QStringLiteral("gamma"), 10, bitmap.m_gamma) || !line.ReadInt(QStringLiteral("plane"), -1, plane) ||
        !line.ReadInt(QStringLiteral("black-floor"), kNoBlackFloor, blackFloor))
        return kExitUsage;
    if (!line.m_parser.isSet(QStringLiteral("output")))
        return line.UsageError(QStringLiteral("-o OUT.bmp is required"));
    const QString output = line.m_parser.value(QStringLiteral("output"));

    CliHost host;
    CFitsImage image;
    if (!image.Load(line.Positional(0), host))
        return kExitFailure;
    if (plane < -1 || plane >= image.m_planes)
        return line.UsageError(
            QStringLiteral("--plane %1: the image has %2 plane(s); use -1 to %3").arg(plane).arg(image.m_planes).arg(image.m_planes - 1));

    bitmap.RenderImage(image, plane, blackFloor);
    if (!bitmap.HasBitmap())
        return line.Failure(QStringLiteral("not enough memory for a %1 x %2 picture").arg(image.m_width).arg(image.m_height));
    if (!bitmap.SaveBmp(QFile::encodeName(output).toStdString()))
        return line.Failure(QStringLiteral("cannot write %1: %2").arg(output, QString::fromLocal8Bit(std::strerror(errno))));
    return kExitOk;
}
