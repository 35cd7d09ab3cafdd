// velmora-cli merge: the merge of the Merge Parameters dialog's "Create" and
// the main window's Save, headless. The image on display is played by the
// reference frame, as the desktop program shows it before a merge.

#include <QFileInfo>

#include <cmath>
#include <cstdio>

#include "cli/CliCommon.h"
#include "cli/CliFrames.h"
#include "cli/Commands.h"
#include "image/ResultSave.h"
#include "merge/MergeEngine.h"
#include "platform/FileNames.h"
#include "report/NoiseReport.h"
#include "settings/Settings.h"

namespace {

const char* const kUsage =
    "merge [options] -o OUT.fit FRAME...\n"
    "Merges the frames as the desktop program's \"Create\" does and saves the result\n"
    "as its Save does (SNAPSHOT = number of frames given, EXPOSURESUM, EXPTIME,\n"
    "NCOMBINE, DATE-OBS and DATE-END, the reference's WCS, HISTORY, CHECKSUM).\n"
    "  -o, --output FILE      the result; an existing file is refused\n"
    "  --type float|uint|int  stored pixels: 32-bit floats (default), 16-bit with\n"
    "                         BZERO 32768, or 16-bit with BZERO 0\n"
    "  --reference FILE       the frame the others are brought to (default: the\n"
    "                         first readable frame in frame order)\n"
    "  --black-limit N        ignore values at or below N (\"Ignore Black\")\n"
    "  --white-limit N        ignore values at or above N (\"Ignore White\")\n"
    "  --sigma S              merge with sigma clipping at S deviations\n"
    "  --fade F               width of the fade band above the threshold (0.2)\n"
    "  --normalize-area N     block size of the local correction, 5 or more (0)\n"
    "  --local-scale FRAME=R[,G,B]\n"
    "                         sigma scale of one frame per plane; one value serves\n"
    "                         every plane (repeatable; default 1)\n"
    "  --save-bitmaps         write FRAME_.bmp with the clipped pixels tinted\n"
    "  --align                register every frame on the reference's stars and\n"
    "                         resample it into the reference's grid first; frames\n"
    "                         that cannot be aligned are reported and left out\n"
    "  --gamma G              gamma of those pictures (10)\n"
    "  --average FILE         also save the average image (floats; header up to\n"
    "                         EXPOSURESUM)\n"
    "  --deviation FILE       also save the deviation image (floats; needs --sigma)\n"
    "  --robust               robust rectangle statistics and leave-one-out\n"
    "                         clipping (\"Robust\"); see the README\n"
    "  --stats FILE           the clipping's rejected and faded share per frame\n"
    "                         and plane as CSV (frame;plane;rejected;faded)\n"
    "  --rejection-map FILE   per pixel, how many frames the clipping rejected\n"
    "                         (faded ones by their rejected part; floats)\n"
    "  --threads N            threads of the passes (default: one per core); the\n"
    "                         result is the same for every count\n"
    "  -q, --quiet            no progress line and no per-frame rejection lines\n";

const char* const kSettingsUsage =
    "  --settings also supplies [Params] and [Preview] PreviewGamma; options win.\n";

// Progress and titles dropped, reports passed on.
class QuietHost : public CoreHost {
public:
    explicit QuietHost(CoreHost& inner) : m_inner(inner) {}
    void ShowError(const std::string& caption, const std::string& text) override { m_inner.ShowError(caption, text); }
    void SetTitle(const std::string&) override {}
    void StepProgress(int) override {}
    void ShowFrame() override {}

private:
    CoreHost& m_inner;
};

bool ReadFloat(const CliCommandLine& line, const QString& name, float& value)
{
    if (!line.m_parser.isSet(name))
        return true;
    bool ok = false;
    const QString text = line.m_parser.value(name);
    const float parsed = text.trimmed().toFloat(&ok);
    if (!ok || !std::isfinite(parsed)) {
        line.UsageError(QStringLiteral("--%1 needs a number, not '%2'").arg(name, text));
        return false;
    }
    value = parsed;
    return true;
}

// The integer of a limit option; setting it turns its "Ignore" check on.
bool ReadLimit(const CliCommandLine& line, const QString& name, bool& ignore, int32_t& limit)
{
    if (!line.m_parser.isSet(name))
        return true;
    int value = 0;
    if (!line.ReadInt(name, 0, value))
        return false;
    ignore = true;
    limit = value;
    return true;
}

bool ReadOutputType(const CliCommandLine& line, int& type)
{
    const QString text = line.m_parser.value(QStringLiteral("type"));
    if (text.isEmpty() || text == QLatin1String("float"))
        type = FITS_SAVE_FLOAT;
    else if (text == QLatin1String("uint"))
        type = FITS_SAVE_UINT;
    else if (text == QLatin1String("int"))
        type = FITS_SAVE_INT;
    else {
        line.UsageError(QStringLiteral("--type must be float, uint or int, not '%1'").arg(text));
        return false;
    }
    return true;
}

// --local-scale FRAME=R[,G,B] of frames in the set.
bool ReadLocalScales(const CliCommandLine& line, CMergeEngine& engine)
{
    for (const QString& text : line.m_parser.values(QStringLiteral("local-scale"))) {
        const qsizetype eq = text.lastIndexOf(QLatin1Char('='));
        const QStringList parts = eq > 0 ? text.mid(eq + 1).split(QLatin1Char(',')) : QStringList();
        PlaneValues scale;
        bool ok = parts.size() == 1 || parts.size() == 3;
        for (int c = 0; ok && c < 3; ++c) {
            scale[c] = parts[parts.size() == 1 ? 0 : c].trimmed().toFloat(&ok);
            ok = ok && std::isfinite(scale[c]);
        }
        if (!ok) {
            line.UsageError(QStringLiteral("--local-scale needs FRAME=R[,G,B], not '%1'").arg(text));
            return false;
        }
        const std::string path = FramePath(text.left(eq));
        if (!engine.m_files.count(path)) {
            line.UsageError(QStringLiteral("--local-scale names a frame not merged: '%1'").arg(text.left(eq)));
            return false;
        }
        engine.m_sigmaScale[path] = scale;
    }
    return true;
}

// Every parameter from the settings file, then from the options.
bool ReadParameters(const CliCommandLine& line, const QSettings* settings, CMergeEngine& engine, int& gamma)
{
    MergeParams& p = engine.m_params;
    gamma = 10;
    if (settings) {
        p = ReadMergeParams(*settings);
        gamma = ReadProfileInt(*settings, QStringLiteral("Preview"), QStringLiteral("PreviewGamma"), 10);
    }
    if (!ReadRectOptions(line, settings, engine.m_rcNoise, engine.m_rcLight) ||
        !ReadLimit(line, QStringLiteral("black-limit"), p.m_ignoreBlack, p.m_blackLimit) ||
        !ReadLimit(line, QStringLiteral("white-limit"), p.m_ignoreWhite, p.m_whiteLimit) ||
        !ReadFloat(line, QStringLiteral("sigma"), p.m_sigma) || !ReadFloat(line, QStringLiteral("fade"), p.m_sigmaFade) ||
        !line.ReadInt(QStringLiteral("normalize-area"), p.m_normalizeArea, p.m_normalizeArea) ||
        !line.ReadInt(QStringLiteral("gamma"), gamma, gamma) ||
        !line.ReadInt(QStringLiteral("threads"), engine.m_threads, engine.m_threads) || !ReadLocalScales(line, engine))
        return false;
    if (line.m_parser.isSet(QStringLiteral("sigma")))
        p.m_useSigma = true;
    if (line.m_parser.isSet(QStringLiteral("save-bitmaps")))
        p.m_saveBitmaps = true;
    if (line.m_parser.isSet(QStringLiteral("align")))
        p.m_align = true;
    if (line.m_parser.isSet(QStringLiteral("robust")))
        p.m_robust = true;
    for (const char* name : {"deviation", "stats", "rejection-map"})
        if (line.m_parser.isSet(QString::fromLatin1(name)) && !p.m_useSigma) {
            line.UsageError(QStringLiteral("--%1 needs sigma clipping (--sigma)").arg(QString::fromLatin1(name)));
            return false;
        }
    engine.m_mapRejections = line.m_parser.isSet(QStringLiteral("rejection-map"));
    // A robust result names every frame's share in its HISTORY, as the
    // desktop program's does.
    engine.m_rejectionFigures = p.m_robust || !line.m_parser.isSet(QStringLiteral("quiet")) ||
                                line.m_parser.isSet(QStringLiteral("stats"));
    return true;
}

// An extra output as the desktop program saves the view that shows it: the
// pixels under the header of the image on display.
bool SaveView(const CFitsImage& pixels, const CFitsImage& image, const std::string& path, const CMergeEngine& engine,
              CoreHost& host)
{
    CFitsImage view;
    view.m_header = image.m_header;
    view.CopyPixelsFrom(pixels);
    return SaveResult(view, path, FITS_SAVE_FLOAT, engine.m_files.size(), engine.m_exposureSum, host);
}

// One line per merged frame on stderr: "NAME: rejected R %, faded F %".
void PrintRejections(const CMergeEngine& engine, int planes)
{
    for (const FrameRejection& frame : engine.m_rejections)
        std::fprintf(stderr, "%s: %s\n", FrameName(frame.path).c_str(), FormatRejection(frame, planes).c_str());
}

bool WriteRejectionStats(const std::string& path, const CMergeEngine& engine, int planes)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    bool ok = std::fputs("frame;plane;rejected;faded\n", file) >= 0;
    for (const FrameRejection& frame : engine.m_rejections)
        for (int c = 0; c < planes; ++c)
            ok = ok && std::fprintf(file, "%s;%d;%.6f;%.6f\n", frame.path.c_str(), c,
                                    static_cast<double>(frame.rejected[c]), static_cast<double>(frame.faded[c])) > 0;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int RunMerge(const QStringList& args)
{
    CliCommandLine line("merge", QString::fromLatin1(kUsage) + QString::fromLatin1(kRectOptionsUsage) +
                                     QString::fromLatin1(kSettingsUsage));
    line.AddValueOption(QStringLiteral("output"), QStringLiteral("FILE"), QStringLiteral("o"));
    for (const char* name : {"type", "reference", "black-limit", "white-limit", "sigma", "fade", "normalize-area",
                             "local-scale", "gamma", "average", "deviation", "threads", "stats", "rejection-map"})
        line.AddValueOption(QString::fromLatin1(name), QStringLiteral("VALUE"));
    line.m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("save-bitmaps")}));
    line.m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("align")}));
    line.m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("robust")}));
    line.m_parser.addOption(QCommandLineOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")}));
    AddRectOptions(line);
    const int status = line.Parse(args, kOneOrMore);
    if (status != kContinue)
        return status;
    if (!line.m_parser.isSet(QStringLiteral("output")))
        return line.UsageError(QStringLiteral("--output is required"));
    int outputType = FITS_SAVE_FLOAT;
    if (!ReadOutputType(line, outputType))
        return kExitUsage;

    std::unique_ptr<QSettings> settings;
    if (!OpenSettings(line, settings))
        return kExitFailure;
    CMergeEngine engine;
    for (const std::string& path : ReadFrameArguments(line))
        engine.AddFrame(path);
    int gamma = 10;
    if (!ReadParameters(line, settings.get(), engine, gamma))
        return kExitUsage;

    // Refused before the work, so that a merge is not lost at the end.
    for (const char* name : {"output", "average", "deviation", "rejection-map"}) {
        const QString path = line.m_parser.value(QString::fromLatin1(name));
        if (!path.isEmpty() && QFileInfo::exists(path))
            return line.Failure(QStringLiteral("%1 exists already; it is left unchanged").arg(path));
    }

    CliHost cliHost;
    QuietHost quietHost(cliHost);
    CoreHost& host = line.m_parser.isSet(QStringLiteral("quiet")) ? static_cast<CoreHost&>(quietHost) : cliHost;
    CFitsImage image;
    std::string referencePath;
    if (!LoadReference(line, engine.m_files, image, referencePath, host))
        return line.Failure(QStringLiteral("no reference image could be read"));
    engine.m_referencePath = referencePath;

    cliHost.SetProgressRange(static_cast<int>(engine.m_files.size()) * engine.ProgressPerFrame(image));
    CPreviewBitmap bitmap;
    bitmap.m_gamma = gamma;
    const bool merged = engine.Merge(image, bitmap, host, false);
    cliHost.EndProgress();
    if (!merged)
        return kExitFailure;

    const std::string output = FramePath(line.m_parser.value(QStringLiteral("output")));
    const ResultProvenance provenance = DescribeMerge(engine);
    if (!SaveResult(image, output, outputType, engine.m_files.size(), engine.m_exposureSum, host, &provenance))
        return kExitFailure;
    if (line.m_parser.isSet(QStringLiteral("average")) &&
        !SaveView(engine.m_average, image, FramePath(line.m_parser.value(QStringLiteral("average"))), engine, host))
        return kExitFailure;
    if (line.m_parser.isSet(QStringLiteral("deviation")) &&
        !SaveView(engine.m_deviation, image, FramePath(line.m_parser.value(QStringLiteral("deviation"))), engine,
                  host))
        return kExitFailure;
    if (engine.m_mapRejections &&
        !SaveView(engine.m_rejectionMap, image, FramePath(line.m_parser.value(QStringLiteral("rejection-map"))),
                  engine, host))
        return kExitFailure;
    if (engine.m_params.m_useSigma && !line.m_parser.isSet(QStringLiteral("quiet")))
        PrintRejections(engine, image.m_planes);
    if (line.m_parser.isSet(QStringLiteral("stats"))) {
        const QString stats = line.m_parser.value(QStringLiteral("stats"));
        if (!WriteRejectionStats(FramePath(stats), engine, image.m_planes))
            return line.Failure(QStringLiteral("cannot write %1").arg(stats));
    }
    return kExitOk;
}
