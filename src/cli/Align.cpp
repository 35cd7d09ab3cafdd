// velmora-cli align: the moves of frames against a reference frame, for
// other programs to read.

#include <cstdio>
#include <map>

#include "align/FrameAligner.h"
#include "platform/Threads.h"
#include "cli/CliCommon.h"
#include "cli/CliFrames.h"
#include "cli/Commands.h"

namespace {

const char* const kUsage =
    "align [--reference FRAME] FRAME...\n"
    "Prints the move of every frame against the reference, one tab-separated\n"
    "line per frame in frame order after the line\n"
    "# name dx dy angle_deg scale stars rms_px\n"
    "with the path as given. The move maps a reference pixel (x column, y row,\n"
    "0-based, centres at whole numbers, rows in file order) to the frame:\n"
    "x' = cx + dx + s*(cos a*(x-cx) - sin a*(y-cy)), y' = cy + dy + s*(sin a*(x-cx) + cos a*(y-cy))\n"
    "with cx = (W-1)/2, cy = (H-1)/2, a = angle_deg, s = scale; stars is the\n"
    "number of stars matched, rms_px their residual. A frame that cannot be\n"
    "aligned prints its path, 'failed' and the reason. Exit status 1 unless\n"
    "every frame aligned.\n"
    "  --reference FRAME  the frame the others are aligned to (default: the\n"
    "                     first readable frame in frame order)\n";

void PrintAlignment(const QString& name, const FrameAlignment& a, const CFitsImage& reference)
{
    const QByteArray text = name.toLocal8Bit();
    if (!a.m_aligned) {
        std::printf("%s\tfailed\t%s\n", text.constData(), a.m_reason.c_str());
        return;
    }
    const FrameMove move = ToFrameMove(a.m_move, reference.m_width, reference.m_height);
    std::printf("%s\t%.4f\t%.4f\t%.5f\t%.6f\t%d\t%.3f\n", text.constData(), move.m_dx, move.m_dy, move.m_angleDeg,
                move.m_scale, a.m_starsMatched, a.m_rmsPx);
}

}  // namespace

int RunAlign(const QStringList& args)
{
    CliCommandLine line("align", QString::fromLatin1(kUsage));
    line.AddValueOption(QStringLiteral("reference"), QStringLiteral("FRAME"));
    const int status = line.Parse(args, kOneOrMore);
    if (status != kContinue)
        return status;

    // Frame order, each path once, printed as the user gave it.
    std::map<std::string, QString> names;
    for (const QString& argument : line.m_parser.positionalArguments())
        names.emplace(FramePath(argument), argument);
    FrameSet files;
    std::vector<std::string> paths;
    for (const auto& [path, name] : names) {
        files.insert(path);
        paths.push_back(path);
    }

    CliHost host;
    CFitsImage reference;
    std::string referencePath;
    if (!LoadReference(line, files, reference, referencePath, host))
        return line.Failure(QStringLiteral("no reference image could be read"));
    host.SetProgressRange(static_cast<int>(paths.size()));
    std::vector<FrameAlignment> alignments;
    AlignFrameSet(reference, referencePath, paths, DefaultThreadCount(), host, alignments);
    host.EndProgress();

    std::puts("# name dx dy angle_deg scale stars rms_px");
    bool allAligned = true;
    for (size_t i = 0; i < paths.size(); ++i) {
        PrintAlignment(names[paths[i]], alignments[i], reference);
        allAligned = allAligned && alignments[i].m_aligned;
    }
    if (std::fflush(stdout) != 0)
        return line.Failure(QStringLiteral("cannot write the output"));
    return allAligned ? kExitOk : kExitFailure;
}
