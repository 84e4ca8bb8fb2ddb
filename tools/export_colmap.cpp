// zel_export_colmap: writes a project's cameras and tracks as a COLMAP text model, for looking at
// and refining them with COLMAP's own tools. `zel_export_colmap --help` prints the usage. Usage
// errors go to standard error, everything else to standard output.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "interop/colmap.h"
#include "interop/colmap_project.h"
#include "parser/trackfileparser.h"
#include "tools/frontend.h"

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

// Reads the command line into the two paths. Returns -1 to go on, or the exit status to end with
// (0 after --help, 2 after a usage error).
int ParseArguments(int argc, const char* const argv[], std::string& projectPath,
                   std::string& modelDir) {
    zeltool::UsageStyle style;
    style.prefix = "ERROR: ";
    style.suffix = " (zel_export_colmap --help shows the usage)";
    const zeltool::CommandLine line(style, PrintUsage);
    std::vector<std::string> paths;
    const int status = line.Parse(argc, argv, paths);
    if (status >= 0) {
        return status;
    }
    if (paths.size() != 2) {
        return line.Usage(paths.size() > 2 ? "one argument too many: " + paths[2]
                                           : "expected a project file and a model folder");
    }
    projectPath = paths[0];
    modelDir = paths[1];
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using namespace zelinterop;
    std::string projectPath;
    std::string modelDir;
    const int status = ParseArguments(argc, argv, projectPath, modelDir);
    if (status >= 0) {
        return status;
    }

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
        zeltool::Project parsed;
        std::string reason;
        if (zeltool::ReadProject(projectPath.c_str(), parsed, zeltool::ParserLines::kStdout,
                                 &reason) == zeltool::LoadResult::kUnreadable) {
            std::printf("Nothing exported: the project file could not be parsed (%s)\n",
                        reason.c_str());
            return 1;
        }
        ProjectFromParsed(*parsed.parser, parsed.sequence, project);
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
