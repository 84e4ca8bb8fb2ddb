#include "interop/colmap_project.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <numeric>
#include <unordered_map>

#include "util/filename.h"

namespace zelinterop {

namespace {

// A registered image's name taken apart: everything before the digit run that ends the file
// title, the run's value, and its width.
struct NumberedName {
    std::string name;
    long long number = -1;
    size_t width = 0;
};

bool SplitNumberedName(const std::string& name, NumberedName& out) {
    const size_t slash = name.find_last_of("/\\");
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return false;
    }
    size_t run = dot;
    while (run > 0 && name[run - 1] >= '0' && name[run - 1] <= '9') {
        run--;
    }
    // At most nine digits, so that every number and difference fits an int.
    if (run == dot || dot - run > 9) {
        return false;
    }
    out.name = name;
    out.number = std::stoll(name.substr(run, dot - run));
    out.width = dot - run;
    return true;
}

// The camera's focal lengths and principal point in COLMAP's convention; false for a model with
// lens distortion.
bool PinholeOf(const ColmapCamera& c, double& fx, double& fy, double& cx, double& cy) {
    if (c.model == kSimplePinhole) {
        fx = fy = c.params[0];
        cx = c.params[1];
        cy = c.params[2];
        return true;
    }
    if (c.model == kPinhole) {
        fx = c.params[0];
        fy = c.params[1];
        cx = c.params[2];
        cy = c.params[3];
        return true;
    }
    return false;
}

bool Close(double a, double b) {
    return std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

std::string Join(const std::vector<std::string>& names, size_t limit) {
    std::string out;
    for (size_t i = 0; i < names.size() && i < limit; i++) {
        out += (i ? ", " : "") + names[i];
    }
    if (names.size() > limit) {
        out += " and " + std::to_string(names.size() - limit) + " more";
    }
    return out;
}

}  // namespace

void QuaternionToRotation(const double qIn[4], double R[3][3]) {
    const double n =
        std::sqrt(qIn[0] * qIn[0] + qIn[1] * qIn[1] + qIn[2] * qIn[2] + qIn[3] * qIn[3]);
    const double w = qIn[0] / n, x = qIn[1] / n, y = qIn[2] / n, z = qIn[3] / n;
    R[0][0] = 1 - 2 * (y * y + z * z);
    R[0][1] = 2 * (x * y - w * z);
    R[0][2] = 2 * (x * z + w * y);
    R[1][0] = 2 * (x * y + w * z);
    R[1][1] = 1 - 2 * (x * x + z * z);
    R[1][2] = 2 * (y * z - w * x);
    R[2][0] = 2 * (x * z - w * y);
    R[2][1] = 2 * (y * z + w * x);
    R[2][2] = 1 - 2 * (x * x + y * y);
}

void RotationToQuaternion(const double R[3][3], double q[4]) {
    // The largest of 4w^2, 4x^2, 4y^2, 4z^2 decides the square root taken; the others follow
    // from the off-diagonal sums and differences without cancellation.
    const double trace = R[0][0] + R[1][1] + R[2][2];
    double w, x, y, z;
    if (trace > 0) {
        const double s = 2 * std::sqrt(trace + 1);
        w = s / 4;
        x = (R[2][1] - R[1][2]) / s;
        y = (R[0][2] - R[2][0]) / s;
        z = (R[1][0] - R[0][1]) / s;
    } else if (R[0][0] > R[1][1] && R[0][0] > R[2][2]) {
        const double s = 2 * std::sqrt(1 + R[0][0] - R[1][1] - R[2][2]);
        w = (R[2][1] - R[1][2]) / s;
        x = s / 4;
        y = (R[0][1] + R[1][0]) / s;
        z = (R[0][2] + R[2][0]) / s;
    } else if (R[1][1] > R[2][2]) {
        const double s = 2 * std::sqrt(1 + R[1][1] - R[0][0] - R[2][2]);
        w = (R[0][2] - R[2][0]) / s;
        x = (R[0][1] + R[1][0]) / s;
        y = s / 4;
        z = (R[1][2] + R[2][1]) / s;
    } else {
        const double s = 2 * std::sqrt(1 + R[2][2] - R[0][0] - R[1][1]);
        w = (R[1][0] - R[0][1]) / s;
        x = (R[0][2] + R[2][0]) / s;
        y = (R[1][2] + R[2][1]) / s;
        z = s / 4;
    }
    const double n = std::sqrt(w * w + x * x + y * y + z * z) * (w < 0 ? -1.0 : 1.0);
    q[0] = w / n;
    q[1] = x / n;
    q[2] = y / n;
    q[3] = z / n;
}

namespace {

// How the registered images number the frames: the reference (lowest number) image, the step
// between frames, and which image each frame shows.
struct FrameNumbering {
    std::vector<NumberedName> names;  // the images' names taken apart, in the model's order
    size_t reference = 0;             // the image with the lowest number
    size_t highest = 0;               // the image with the highest number
    long long step = 1;
    int frameCount = 0;
    std::vector<int> imageOfFrame;  // -1 for a gap
    std::unordered_map<uint32_t, int> frameOfImage;
};

// The numbered sequence: the lowest number is the reference; every other name must be the one
// the project file's numbering gives for its number. Sets names, reference, highest and step.
bool NumberImages(const ColmapModel& model, FrameNumbering& n, std::string& error) {
    n.names.resize(model.images.size());
    for (size_t i = 0; i < model.images.size(); i++) {
        if (!SplitNumberedName(model.images[i].name, n.names[i])) {
            error = "image " + std::to_string(model.images[i].id) + " (" + model.images[i].name +
                    ") has no frame number (names must look like <prefix><number>.<ext>, the "
                    "number of 1 to 9 digits, e.g. img0000.bmp)";
            return false;
        }
    }
    const std::vector<NumberedName>& names = n.names;
    std::vector<size_t> order(names.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&names](size_t a, size_t b) { return names[a].number < names[b].number; });
    const NumberedName& ref = names[order[0]];
    long long step = 0;
    for (size_t k = 0; k < order.size(); k++) {
        const NumberedName& name = names[order[k]];
        if (k > 0 && name.number == names[order[k - 1]].number) {
            error = "images " + names[order[k - 1]].name + " and " + name.name +
                    " have the same frame number";
            return false;
        }
        const long long offset = name.number - ref.number;
        if (IncrementFileName(ref.name, static_cast<int>(offset)) != name.name) {
            error = "the image names are not one numbered sequence: " + ref.name + " and " +
                    name.name + " differ in folder, prefix, extension or zero-padded width";
            return false;
        }
        step = std::gcd(step, offset);
    }
    n.reference = order[0];
    n.highest = order.back();
    n.step = step == 0 ? 1 : step;
    return true;
}

// The frames the numbers span and which image each shows; refuses too long a span, and gaps
// unless options allow them.
bool MapFrames(const ColmapModel& model, const ImportOptions& options, FrameNumbering& n,
               std::string& error) {
    const NumberedName& ref = n.names[n.reference];
    const NumberedName& last = n.names[n.highest];
    const long long span = (last.number - ref.number) / n.step + 1;
    if (span > options.maxFrames) {
        error = "the image numbers " + std::to_string(ref.number) + " to " +
                std::to_string(last.number) + " in steps of " + std::to_string(n.step) + " span " +
                std::to_string(span) + " frames, more than the " +
                std::to_string(options.maxFrames) + " allowed";
        return false;
    }
    n.frameCount = static_cast<int>(span);
    n.imageOfFrame.assign(static_cast<size_t>(n.frameCount), -1);
    for (size_t i = 0; i < n.names.size(); i++) {
        const int frame = static_cast<int>((n.names[i].number - ref.number) / n.step);
        n.imageOfFrame[static_cast<size_t>(frame)] = static_cast<int>(i);
        n.frameOfImage[model.images[i].id] = frame;
    }
    std::vector<std::string> missing;
    for (int frame = 0; frame < n.frameCount; frame++) {
        if (n.imageOfFrame[static_cast<size_t>(frame)] < 0) {
            missing.push_back(IncrementFileName(ref.name, static_cast<int>(frame * n.step)));
        }
    }
    if (!missing.empty() && !options.fillGaps) {
        error = std::to_string(missing.size()) + " image(s) of the frame range " + ref.name +
                " to " + last.name + " were not registered: " + Join(missing, 20) +
                " (--fill-gaps gives them the nearest registered pose)";
        return false;
    }
    return true;
}

using CameraMap = std::unordered_map<uint32_t, const ColmapCamera*>;

// One camera on its own: a pinhole camera with positive focal lengths that differ by no more
// than the options allow. fx, fy, cx and cy receive its intrinsics.
bool CheckCamera(const ColmapCamera& c, const ImportOptions& options, double& fx, double& fy,
                 double& cx, double& cy, std::string& error) {
    if (!PinholeOf(c, fx, fy, cx, cy)) {
        error = "camera " + std::to_string(c.id) + " uses the " + ColmapModelName(c.model) +
                " model, which has lens distortion; undistort the images with colmap "
                "image_undistorter and import its sparse model (a PINHOLE camera) instead";
        return false;
    }
    if (!(fx > 0 && fy > 0)) {
        error = "camera " + std::to_string(c.id) + " has a focal length that is not positive";
        return false;
    }
    if (!options.allowAspect && std::max(fx, fy) > (1.0 + kMaxAspectDeviation) * std::min(fx, fy)) {
        char values[160];
        std::snprintf(values, sizeof(values), "fx %.6g and fy %.6g, %.1f %% apart", fx, fy,
                      100.0 * (std::max(fx, fy) / std::min(fx, fy) - 1.0));
        error = "camera " + std::to_string(c.id) + " has " + values +
                ": COLMAP fitted two focal lengths, which on square pixels comes with wrong "
                "poses; run its feature_extractor with --ImageReader.camera_model "
                "SIMPLE_PINHOLE (one focal length), or give --allow-aspect when the pixels "
                "really are not square";
        return false;
    }
    return true;
}

// The intrinsics: pinhole cameras only; the reference image's camera gives the project's
// intrinsics and image size, any other camera may differ from it in focal length alone.
bool TakeIntrinsics(const ColmapModel& model, const ImportOptions& options,
                    const CameraMap& cameras, const ColmapCamera& refCamera,
                    ProjectContent& project, std::string& error) {
    double fx0 = 0, fy0 = 0, cx0 = 0, cy0 = 0;
    for (const ColmapImage& image : model.images) {
        const ColmapCamera& c = *cameras.at(image.camera);
        double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0;
        if (!CheckCamera(c, options, fx, fy, cx, cy, error)) {
            return false;
        }
        if (&c == &refCamera) {
            fx0 = fx, fy0 = fy, cx0 = cx, cy0 = cy;
        }
    }
    for (const ColmapImage& image : model.images) {
        const ColmapCamera& c = *cameras.at(image.camera);
        double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0;
        PinholeOf(c, fx, fy, cx, cy);
        if (c.width != refCamera.width || c.height != refCamera.height || !Close(cx, cx0) ||
            !Close(cy, cy0) || !Close(fy / fx, fy0 / fx0)) {
            error = "cameras " + std::to_string(refCamera.id) + " and " + std::to_string(c.id) +
                    " differ in more than the focal length (image size, principal point or "
                    "aspect ratio); a project has one camera whose focal length alone may change "
                    "per frame";
            return false;
        }
    }
    if (refCamera.width > 1000000 || refCamera.height > 1000000) {
        error = "camera " + std::to_string(refCamera.id) + " has an image size out of range";
        return false;
    }
    project.width = static_cast<int>(refCamera.width);
    project.height = static_cast<int>(refCamera.height);
    project.f = fx0;
    project.fy = fy0;
    project.cx = cx0 - 0.5;
    project.cy = cy0 - 0.5;
    project.skew = 0.0;
    return true;
}

// Poses: registered frames from their image, gaps from the nearest registered frame (the
// earlier one on a tie), each gap with a warning.
void TakePoses(const ColmapModel& model, const CameraMap& cameras, const FrameNumbering& n,
               ProjectContent& project, ImportSummary& summary) {
    const std::string& refName = n.names[n.reference].name;
    const std::vector<int>& imageOfFrame = n.imageOfFrame;
    project.frames.resize(static_cast<size_t>(n.frameCount));
    for (int frame = 0; frame < n.frameCount; frame++) {
        int source = frame;
        if (imageOfFrame[static_cast<size_t>(frame)] < 0) {
            for (int d = 1; source == frame; d++) {
                if (frame - d >= 0 && imageOfFrame[static_cast<size_t>(frame - d)] >= 0) {
                    source = frame - d;
                } else if (frame + d < n.frameCount &&
                           imageOfFrame[static_cast<size_t>(frame + d)] >= 0) {
                    source = frame + d;
                }
            }
            summary.gaps++;
            summary.warnings.push_back(
                "Warning: frame " + std::to_string(frame) + " (" +
                IncrementFileName(refName, static_cast<int>(frame * n.step)) +
                ") was not registered by COLMAP; it takes the pose of frame " +
                std::to_string(source) + " (" +
                model.images[static_cast<size_t>(imageOfFrame[static_cast<size_t>(source)])].name +
                ")");
        }
        const ColmapImage& image =
            model.images[static_cast<size_t>(imageOfFrame[static_cast<size_t>(source)])];
        double fx = 0.0, fy = 0.0, cx = 0.0, cy = 0.0;
        PinholeOf(*cameras.at(image.camera), fx, fy, cx, cy);
        ProjectFrame& out = project.frames[static_cast<size_t>(frame)];
        out.image = IncrementFileName(refName, static_cast<int>(frame * n.step));
        out.focal = fx;
        QuaternionToRotation(image.q, out.R);
        std::copy(image.t, image.t + 3, out.t);
    }
}

// Tracks: every observation of a 3D point, in frame order; points seen fewer than twice carry
// no depth information and are dropped.
void TakeTracks(const ColmapModel& model, const FrameNumbering& n, ProjectContent& project,
                ImportSummary& summary) {
    std::unordered_map<uint32_t, size_t> imageIndex;
    for (size_t i = 0; i < model.images.size(); i++) {
        imageIndex[model.images[i].id] = i;
    }
    for (const ColmapPoint3D& point : model.points) {
        if (point.track.size() < 2) {
            summary.droppedPoints++;
            continue;
        }
        ProjectTrack track;
        track.id = static_cast<int>(project.tracks.size());
        std::copy(point.xyz, point.xyz + 3, track.point);
        for (const ColmapTrackElement& e : point.track) {
            const ColmapPoint2D& p = model.images[imageIndex.at(e.image)].points[e.point2D];
            track.observations.push_back({n.frameOfImage.at(e.image), p.x - 0.5, p.y - 0.5});
        }
        std::stable_sort(track.observations.begin(), track.observations.end(),
                         [](const ProjectObservation& a, const ProjectObservation& b) {
                             return a.frame < b.frame;
                         });
        summary.observations += static_cast<int>(track.observations.size());
        project.tracks.push_back(std::move(track));
    }
}

}  // namespace

bool ColmapToProject(const ColmapModel& model, const ImportOptions& options,
                     ProjectContent& project, ImportSummary& summary, std::string& error) {
    project = ProjectContent();
    summary = ImportSummary();
    if (model.images.empty()) {
        error = "the model has no registered images";
        return false;
    }
    FrameNumbering numbering;
    if (!NumberImages(model, numbering, error) || !MapFrames(model, options, numbering, error)) {
        return false;
    }
    CameraMap cameras;
    for (const ColmapCamera& c : model.cameras) {
        cameras[c.id] = &c;
    }
    const ColmapCamera& refCamera = *cameras.at(model.images[numbering.reference].camera);
    if (!TakeIntrinsics(model, options, cameras, refCamera, project, error)) {
        return false;
    }
    project.sequence = numbering.names[numbering.reference].name;
    project.start = 0;
    project.step = static_cast<int>(numbering.step);
    project.end = (numbering.frameCount - 1) * project.step;
    TakePoses(model, cameras, numbering, project, summary);
    TakeTracks(model, numbering, project, summary);
    summary.frames = numbering.frameCount;
    summary.tracks = static_cast<int>(project.tracks.size());
    return true;
}

int CountSequenceImages(const std::string& imageDir, const std::string& referenceName,
                        std::string& first, std::string& last) {
    namespace fs = std::filesystem;
    NumberedName ref;
    if (!SplitNumberedName(referenceName, ref)) {
        return 0;
    }
    const size_t slash = referenceName.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : referenceName.substr(0, slash + 1);
    int count = 0;
    long long lowest = 0, highest = 0;
    std::error_code ec;
    for (fs::directory_iterator it(fs::path(imageDir) / folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        NumberedName n;
        const std::string name = folder + it->path().filename().string();
        if (!SplitNumberedName(name, n) ||
            IncrementFileName(ref.name, static_cast<int>(n.number - ref.number)) != name ||
            !it->is_regular_file(ec)) {
            continue;
        }
        if (count == 0 || n.number < lowest) {
            lowest = n.number;
            first = name;
        }
        if (count == 0 || n.number > highest) {
            highest = n.number;
            last = name;
        }
        count++;
    }
    return count;
}

std::string CoverageWarning(const ColmapModel& model, const ProjectContent& project,
                            const std::string& imageDir) {
    std::string first, last;
    const int inFolder = CountSequenceImages(
        imageDir, project.frames.empty() ? std::string() : project.frames.front().image, first,
        last);
    const int registered = static_cast<int>(model.images.size());
    if (inFolder == 0 || registered >= kMinRegisteredShare * inFolder) {
        return std::string();
    }
    char share[32];
    std::snprintf(share, sizeof(share), "%.0f %%", 100.0 * registered / inFolder);
    return "Warning: COLMAP registered only " + std::to_string(registered) + " of the " +
           std::to_string(inFolder) + " frames " + first + " to " + last + " (" + share +
           "); the project covers " + project.frames.front().image + " to " +
           project.frames.back().image +
           " (more overlap between frames, or a matcher that pairs more of them, may join the "
           "rest)";
}

namespace {

// One PINHOLE camera per distinct focal length of the frames' blocks (ids from 1); a block
// without a usable focal length takes the project's. cameraOfFrame receives each frame's camera.
void MakeCameras(const ProjectContent& project, ColmapModel& model,
                 std::vector<uint32_t>& cameraOfFrame) {
    std::map<double, uint32_t> cameraOfFocal;
    cameraOfFrame.assign(project.frames.size(), 0);
    for (size_t i = 0; i < project.frames.size(); i++) {
        const double focal = project.frames[i].focal > 0 && std::isfinite(project.frames[i].focal)
                                 ? project.frames[i].focal
                                 : project.f;
        auto it = cameraOfFocal.find(focal);
        if (it == cameraOfFocal.end()) {
            ColmapCamera camera;
            camera.id = static_cast<uint32_t>(model.cameras.size() + 1);
            camera.model = kPinhole;
            camera.width = static_cast<uint64_t>(project.width);
            camera.height = static_cast<uint64_t>(project.height);
            const double fy = focal == project.f ? project.fy : project.fy * (focal / project.f);
            camera.params = {focal, fy, project.cx + 0.5, project.cy + 0.5};
            model.cameras.push_back(camera);
            it = cameraOfFocal.emplace(focal, camera.id).first;
        }
        cameraOfFrame[i] = it->second;
    }
}

// A rotation's rows are orthonormal and its determinant is +1; anything else has no quaternion.
bool IsRigid(const ProjectFrame& frame) {
    double worst = 0.0;
    for (int a = 0; a < 3; a++) {
        for (int b = 0; b < 3; b++) {
            double dot = 0.0;
            for (int k = 0; k < 3; k++) {
                dot += frame.R[a][k] * frame.R[b][k];
            }
            worst = std::max(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
        }
    }
    const double det =
        frame.R[0][0] * (frame.R[1][1] * frame.R[2][2] - frame.R[1][2] * frame.R[2][1]) -
        frame.R[0][1] * (frame.R[1][0] * frame.R[2][2] - frame.R[1][2] * frame.R[2][0]) +
        frame.R[0][2] * (frame.R[1][0] * frame.R[2][1] - frame.R[1][1] * frame.R[2][0]);
    return worst < 1e-6 && det > 0 && std::isfinite(frame.t[0] + frame.t[1] + frame.t[2]);
}

// Image i + 1 for frame i, with its camera and pose; false for a frame without a rigid pose.
bool MakeImages(const ProjectContent& project, const std::vector<uint32_t>& cameraOfFrame,
                ColmapModel& model, ExportSummary& summary, std::string& error) {
    model.images.resize(project.frames.size());
    for (size_t i = 0; i < project.frames.size(); i++) {
        const ProjectFrame& frame = project.frames[i];
        if (!IsRigid(frame)) {
            error = "frame " + std::to_string(i) + " (block <FRAME" + std::to_string(i) +
                    ">) has no rigid pose: its 3 x 3 part is not a rotation or a value is not "
                    "finite";
            return false;
        }
        ColmapImage& image = model.images[i];
        image.id = static_cast<uint32_t>(i + 1);
        image.camera = cameraOfFrame[i];
        image.name = frame.image;
        RotationToQuaternion(frame.R, image.q);
        std::copy(frame.t, frame.t + 3, image.t);
        summary.images++;
    }
    return true;
}

// 3D point k + 1 for track k, with its observations in the frames and their mean reprojection
// error in the exported cameras (COLMAP's ERROR column); tracks without one are left out.
void MakePoints(const ProjectContent& project, ColmapModel& model, ExportSummary& summary) {
    const int frameCount = static_cast<int>(project.frames.size());
    for (size_t k = 0; k < project.tracks.size(); k++) {
        const ProjectTrack& track = project.tracks[k];
        ColmapPoint3D point;
        point.id = k + 1;
        std::copy(track.point, track.point + 3, point.xyz);
        point.rgb[0] = point.rgb[1] = point.rgb[2] = 128;
        double errorSum = 0.0;
        int errorCount = 0;
        for (const ProjectObservation& o : track.observations) {
            if (o.frame < 0 || o.frame >= frameCount) {
                summary.outsideObservations++;
                continue;
            }
            ColmapImage& image = model.images[static_cast<size_t>(o.frame)];
            point.track.push_back({image.id, static_cast<uint32_t>(image.points.size())});
            image.points.push_back({o.x + 0.5, o.y + 0.5, static_cast<int64_t>(point.id)});
            const ProjectFrame& f = project.frames[static_cast<size_t>(o.frame)];
            double c[3];
            for (int r = 0; r < 3; r++) {
                c[r] = f.R[r][0] * track.point[0] + f.R[r][1] * track.point[1] +
                       f.R[r][2] * track.point[2] + f.t[r];
            }
            const ColmapCamera& camera = model.cameras[image.camera - 1];
            if (c[2] > 0) {
                const double u = camera.params[0] * c[0] / c[2] + project.cx;
                const double v = camera.params[1] * c[1] / c[2] + project.cy;
                errorSum += std::hypot(u - o.x, v - o.y);
                errorCount++;
            }
        }
        if (point.track.empty()) {
            summary.emptyTracks++;
            continue;
        }
        point.error = errorCount > 0 ? errorSum / errorCount : 0.0;
        summary.observations += static_cast<int>(point.track.size());
        model.points.push_back(std::move(point));
    }
}

}  // namespace

bool ProjectToColmap(const ProjectContent& project, ColmapModel& model, ExportSummary& summary,
                     std::string& error) {
    model = ColmapModel();
    summary = ExportSummary();
    if (!(project.f > 0 && project.fy > 0 && std::isfinite(project.f) &&
          std::isfinite(project.fy) && std::isfinite(project.cx) && std::isfinite(project.cy))) {
        error = "the project's intrinsics are not usable (f and fy must be positive)";
        return false;
    }
    if (project.frames.empty()) {
        error = "the project has no frames";
        return false;
    }
    if (project.width <= 0 || project.height <= 0) {
        error = "the project has no image size";
        return false;
    }
    std::vector<uint32_t> cameraOfFrame;
    MakeCameras(project, model, cameraOfFrame);
    if (!MakeImages(project, cameraOfFrame, model, summary, error)) {
        return false;
    }
    MakePoints(project, model, summary);
    summary.cameras = static_cast<int>(model.cameras.size());
    summary.points = static_cast<int>(model.points.size());
    return true;
}

}  // namespace zelinterop
