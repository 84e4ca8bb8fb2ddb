// zel_import_colmap: writes a camera-track project file from a COLMAP sparse model, so that the
// toolkit can work on footage that COLMAP reconstructed. `zel_import_colmap --help` prints the
// usage.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "imagelib/ximage.h"
#include "interop/colmap.h"
#include "interop/colmap_project.h"
#include "io/projectfile.h"

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

int UsageError(const std::string& what) {
    std::printf("ERROR: %s (zel_import_colmap --help shows the usage)\n", what.c_str());
    return 2;
}

int Fail(const std::string& what) {
    std::printf("ERROR: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using namespace zelinterop;
    namespace fs = std::filesystem;
    ImportOptions options;
    const char* paths[3] = {nullptr, nullptr, nullptr};
    int pathCount = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            PrintUsage();
            return 0;
        }
        if (std::strcmp(arg, "--fill-gaps") == 0) {
            options.fillGaps = true;
        } else if (std::strcmp(arg, "--allow-aspect") == 0) {
            options.allowAspect = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return UsageError(std::string("unknown option ") + arg);
        } else if (pathCount == 3) {
            return UsageError(std::string("one argument too many: ") + arg);
        } else {
            paths[pathCount++] = arg;
        }
    }
    if (pathCount != 3) {
        return UsageError("expected a model folder, an image folder and a project file");
    }
    const std::string imageDir = paths[1];
    const std::string projectPath = paths[2];

    ColmapModel model;
    std::string error;
    std::string chosen;
    std::string note;
    if (!ReadLargestColmapModel(paths[0], model, chosen, note, error)) {
        return Fail(error);
    }
    const std::string modelDir = chosen;
    if (!note.empty()) {
        std::fprintf(stderr, "%s\n", note.c_str());
    }
    ProjectContent project;
    ImportSummary summary;
    if (!ColmapToProject(model, options, project, summary, error)) {
        return Fail(modelDir + ": " + error);
    }

    // The images must be there, and the reference image of the camera's size: the project
    // takes its working size from it, and the intrinsics hold only for pictures of that size.
    std::error_code ec;
    if (!fs::is_directory(imageDir, ec)) {
        return Fail("the image folder does not exist: " + imageDir);
    }
    for (const ColmapImage& image : model.images) {
        const std::string path = (fs::path(imageDir) / image.name).string();
        if (!fs::is_regular_file(path, ec)) {
            return Fail("image " + std::to_string(image.id) +
                        " of the model is not in the image "
                        "folder: " +
                        path);
        }
    }
    const std::string reference = (fs::path(imageDir) / project.sequence).string();
    CxImage picture;
    if (!picture.Load(reference.c_str(), 0)) {
        return Fail("can not load the first frame's image (BMP, PNG or JPEG): " + reference);
    }
    if (static_cast<int>(picture.GetWidth()) != project.width ||
        static_cast<int>(picture.GetHeight()) != project.height) {
        return Fail(reference + " is " + std::to_string(picture.GetWidth()) + " x " +
                    std::to_string(picture.GetHeight()) + " pixels, but the model's camera is " +
                    std::to_string(project.width) + " x " + std::to_string(project.height) +
                    " (use the images the model was made from, undistorted ones after colmap "
                    "image_undistorter)");
    }
    project.sequence = SequenceValueFor(projectPath, reference);
    if (project.sequence.size() > 999) {
        return Fail("the image path is longer than the 999 characters a project file allows: " +
                    project.sequence);
    }

    if (!zelio::WriteProjectFile(projectPath, project, ImportedProjectStyle(), &error)) {
        return Fail(error);
    }
    const std::string coverage = CoverageWarning(model, project, imageDir);
    if (!coverage.empty()) {
        summary.warnings.insert(summary.warnings.begin(), coverage);
    }
    for (const std::string& warning : summary.warnings) {
        std::printf("%s\n", warning.c_str());
    }
    std::printf(
        "Imported %s into %s: %d frames, %d tracks, %d observations, %d points dropped (seen "
        "fewer than twice), %d gaps filled\n",
        modelDir.c_str(), projectPath.c_str(), summary.frames, summary.tracks, summary.observations,
        summary.droppedPoints, summary.gaps);
    return 0;
}
