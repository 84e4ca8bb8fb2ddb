// zel_import_colmap: writes a camera-track project file from a COLMAP sparse model, so that the
// toolkit can work on footage that COLMAP reconstructed. `zel_import_colmap --help` prints the
// usage. Usage errors go to standard error, everything else to standard output.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "imagelib/ximage.h"
#include "interop/colmap.h"
#include "interop/colmap_project.h"
#include "tools/frontend.h"

namespace {

const char* const kUsageLine =
    "Usage: zel_import_colmap <model dir> <image dir> <project file> [--fill-gaps] "
    "[--allow-aspect]";

void PrintUsage() {
    std::printf(
        "%s\n"
        "\n"
        "Reads the COLMAP sparse model in <model dir> (cameras, images and points3D, text or\n"
        "binary) and writes the project file: one pinhole camera (SIMPLE_PINHOLE or PINHOLE;\n"
        "cameras may differ in focal length only), one pose per frame and one track per 3D point\n"
        "seen at least twice. Given the mapper's output folder (e.g. sparse/, with models 0, 1,\n"
        "...), it takes the model with the most registered images and says which on stderr.\n"
        "A warning names the count when COLMAP registered fewer than 90 %% of the sequence's\n"
        "images in <image dir>. The registered images, found in <image dir>, must be one numbered\n"
        "sequence (e.g. img0000.bmp, img0001.bmp, ...); the frames run from the lowest to the\n"
        "highest number. Image positions move by -0.5 pixel (the project puts pixel centres at\n"
        "whole numbers).\n"
        "\n"
        "  --fill-gaps  give a frame whose image COLMAP did not register the pose of the nearest\n"
        "               registered frame (a warning per frame) instead of refusing the model\n"
        "  --allow-aspect  accept a camera whose fx and fy differ by more than 2 %% (refused\n"
        "               otherwise: on square pixels it means COLMAP fitted them apart, with\n"
        "               poses to match; use --ImageReader.camera_model SIMPLE_PINHOLE)\n"
        "\n"
        "For a model with lens distortion, run colmap image_undistorter first and import its\n"
        "output. Exit status: 0 when the project was written, 1 on failure, 2 on a usage error.\n",
        kUsageLine);
}

int Fail(const std::string& what) {
    std::printf("ERROR: %s\n", what.c_str());
    return 1;
}

// What the command line asks for.
struct ImportArgs {
    zelinterop::ImportOptions options;
    std::string modelArg;  // the model folder or the mapper's output folder
    std::string imageDir;
    std::string projectPath;
};

// Reads the command line. Returns -1 to go on, or the exit status to end with (0 after --help,
// 2 after a usage error).
int ParseArguments(int argc, const char* const argv[], ImportArgs& args) {
    zeltool::UsageStyle style;
    style.prefix = "ERROR: ";
    style.suffix = " (zel_import_colmap --help shows the usage)";
    zeltool::CommandLine line(style, PrintUsage);
    line.Flag("--fill-gaps", &args.options.fillGaps);
    line.Flag("--allow-aspect", &args.options.allowAspect);
    std::vector<std::string> paths;
    const int status = line.Parse(argc, argv, paths);
    if (status >= 0) {
        return status;
    }
    if (paths.size() > 3) {
        return line.Usage("one argument too many: " + paths[3]);
    }
    if (paths.size() != 3) {
        return line.Usage("expected a model folder, an image folder and a project file");
    }
    args.modelArg = paths[0];
    args.imageDir = paths[1];
    args.projectPath = paths[2];
    return -1;
}

// The images must be there, and the reference image of the camera's size: the project takes its
// working size from it, and the intrinsics hold only for pictures of that size. Sets the
// project's image sequence as the project file will name it. False with the reason in error.
bool CheckImages(const zelinterop::ColmapModel& model, const ImportArgs& args,
                 zelinterop::ProjectContent& project, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(args.imageDir, ec)) {
        error = "the image folder does not exist: " + args.imageDir;
        return false;
    }
    for (const zelinterop::ColmapImage& image : model.images) {
        const std::string path = (fs::path(args.imageDir) / image.name).string();
        if (!fs::is_regular_file(path, ec)) {
            error = "image " + std::to_string(image.id) +
                    " of the model is not in the image "
                    "folder: " +
                    path;
            return false;
        }
    }
    const std::string reference = (fs::path(args.imageDir) / project.sequence).string();
    CxImage picture;
    if (!picture.Load(reference.c_str(), 0)) {
        error = "can not load the first frame's image (BMP, PNG or JPEG): " + reference;
        return false;
    }
    if (static_cast<int>(picture.GetWidth()) != project.width ||
        static_cast<int>(picture.GetHeight()) != project.height) {
        error = reference + " is " + std::to_string(picture.GetWidth()) + " x " +
                std::to_string(picture.GetHeight()) + " pixels, but the model's camera is " +
                std::to_string(project.width) + " x " + std::to_string(project.height) +
                " (use the images the model was made from, undistorted ones after colmap "
                "image_undistorter)";
        return false;
    }
    project.sequence = zelinterop::SequenceValueFor(args.projectPath, reference);
    if (project.sequence.size() > 999) {
        error = "the image path is longer than the 999 characters a project file allows: " +
                project.sequence;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using namespace zelinterop;
    ImportArgs args;
    const int status = ParseArguments(argc, argv, args);
    if (status >= 0) {
        return status;
    }
    ColmapModel model;
    std::string error;
    std::string modelDir;
    std::string note;
    if (!ReadLargestColmapModel(args.modelArg, model, modelDir, note, error)) {
        return Fail(error);
    }
    if (!note.empty()) {
        std::fprintf(stderr, "%s\n", note.c_str());
    }
    ProjectContent project;
    ImportSummary summary;
    if (!ColmapToProject(model, args.options, project, summary, error)) {
        return Fail(modelDir + ": " + error);
    }
    if (!CheckImages(model, args, project, error) ||
        !WriteFileWhole(args.projectPath, FormatProjectFile(project), error)) {
        return Fail(error);
    }
    const std::string coverage = CoverageWarning(model, project, args.imageDir);
    if (!coverage.empty()) {
        summary.warnings.insert(summary.warnings.begin(), coverage);
    }
    for (const std::string& warning : summary.warnings) {
        std::printf("%s\n", warning.c_str());
    }
    std::printf(
        "Imported %s into %s: %d frames, %d tracks, %d observations, %d points dropped (seen "
        "fewer than twice), %d gaps filled\n",
        modelDir.c_str(), args.projectPath.c_str(), summary.frames, summary.tracks,
        summary.observations, summary.droppedPoints, summary.gaps);
    return 0;
}
