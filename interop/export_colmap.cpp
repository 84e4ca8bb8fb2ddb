// zel_export_colmap: writes a project's cameras and tracks as a COLMAP text model, for looking at
// and refining them with COLMAP's own tools. `zel_export_colmap --help` prints the usage.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "interop/colmap.h"
#include "interop/colmap_project.h"
#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videosequence.h"

namespace {

const char* const kUsageLine = "Usage: zel_export_colmap <project file> <model dir>";

void PrintUsage() {
    std::printf(
        "%s\n"
        "\n"
        "Parses the project file as the program does and writes its cameras and tracks as a\n"
        "COLMAP text model (cameras.txt, images.txt, points3D.txt) into <model dir>, which is\n"
        "created when missing: one PINHOLE camera per distinct focal length, one image per frame\n"
        "named after the frame's image file, one 3D point per track with its observations in the\n"
        "frames. Image positions move by +0.5 pixel (COLMAP puts pixel centres at half integers).\n"
        "\n"
        "Exit status: 0 when the model was written, 1 on failure, 2 on a usage error.\n",
        kUsageLine);
}

void Silent(const char*) {}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using namespace zelinterop;
    const char* paths[2] = {nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            PrintUsage();
            return 0;
        }
        if ((arg[0] == '-' && arg[1] != '\0') || pathCount == 2) {
            std::printf("ERROR: %s %s (zel_export_colmap --help shows the usage)\n",
                        pathCount == 2 ? "one argument too many:" : "unknown option", arg);
            return 2;
        }
        paths[pathCount++] = arg;
    }
    if (pathCount != 2) {
        std::printf(
            "ERROR: expected a project file and a model folder (zel_export_colmap --help shows "
            "the usage)\n");
        return 2;
    }
    const std::string projectPath = paths[0];
    const std::string modelDir = paths[1];

    std::error_code ec;
    if (!std::filesystem::is_regular_file(projectPath, ec)) {
        std::printf("ERROR: can not find the project file: %s\n", projectPath.c_str());
        return 1;
    }
    // The parser names every other fault with an ERROR line of its own; the header it reports
    // without one, so that is checked here.
    const std::string header = "#camera track project file";
    std::string first(header.size(), '\0');
    if (FILE* file = std::fopen(projectPath.c_str(), "rb")) {
        first.resize(std::fread(&first[0], 1, first.size(), file));
        std::fclose(file);
    }
    if (first != header) {
        std::printf("ERROR: %s is not a project file (its first line must begin with \"%s\")\n",
                    projectPath.c_str(), header.c_str());
        return 1;
    }
    ProjectContent project;
    {
        // The text reader's traces are of no use here; the parser names what is wrong itself.
        SetDiagnosticSink(Silent);
        CZelVideoSequence sequence;
        CTrackFileParser parser(&sequence);
        const bool parsed = parser.Parse(projectPath.c_str());
        SetDiagnosticSink(nullptr);
        if (!parsed) {
            std::printf("Nothing exported: the project file could not be parsed (%s)\n",
                        parser.DescribeError().c_str());
            return 1;
        }
        ProjectFromParsed(parser, sequence, project);
    }
    ColmapModel model;
    ExportSummary summary;
    std::string error;
    if (!ProjectToColmap(project, model, summary, error)) {
        std::printf("ERROR: %s: %s\n", projectPath.c_str(), error.c_str());
        return 1;
    }
    if (!WriteColmapText(modelDir, model, error)) {
        std::printf("ERROR: %s\n", error.c_str());
        return 1;
    }
    std::printf(
        "Exported %s into %s: %d images, %d cameras, %d points, %d observations (%d tracks "
        "without observations and %d observations outside the frames left out)\n",
        projectPath.c_str(), modelDir.c_str(), summary.images, summary.cameras, summary.points,
        summary.observations, summary.emptyTracks, summary.outsideObservations);
    return 0;
}
