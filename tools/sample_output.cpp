// zel_make_sample's files: the frames' pictures (BMP or JPEG) and true disparity maps, the
// feature tracks, the project files, and the cameras and observations that --pose-noise disturbs.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "imagelib/ximage.h"
#include "io/depthfile.h"
#include "io/projectfile.h"
#include "io/writewhole.h"
#include "tools/sample_scene.h"

// The build says whether libjpeg is there: --jpeg needs it.
#ifndef ZEL_HAVE_JPEG
#define ZEL_HAVE_JPEG 0
#endif
#if ZEL_HAVE_JPEG
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <csetjmp>
#include <jpeglib.h>
// clang-format on
#endif

namespace zelsample {

namespace {

#if ZEL_HAVE_JPEG
struct JpegJob {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    std::jmp_buf jump;
};

void OnJpegError(j_common_ptr cinfo) {
    std::longjmp(static_cast<JpegJob*>(cinfo->client_data)->jump, 1);
}

// Compresses width x height pixels of rgb (rows top first) at the quality into file. libjpeg's
// errors jump back here, so the function owns no C++ object with a destructor.
bool CompressJpeg(const uint8_t* rgb, int width, int height, int quality, FILE* file) {
    JpegJob job;
    job.cinfo.err = jpeg_std_error(&job.errors);
    job.errors.error_exit = OnJpegError;
    job.cinfo.client_data = &job;
    if (setjmp(job.jump) != 0) {
        jpeg_destroy_compress(&job.cinfo);
        return false;
    }
    jpeg_create_compress(&job.cinfo);
    jpeg_stdio_dest(&job.cinfo, file);
    job.cinfo.image_width = static_cast<JDIMENSION>(width);
    job.cinfo.image_height = static_cast<JDIMENSION>(height);
    job.cinfo.input_components = 3;
    job.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&job.cinfo);
    jpeg_set_quality(&job.cinfo, quality, TRUE);
    jpeg_start_compress(&job.cinfo, TRUE);
    while (job.cinfo.next_scanline < job.cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(job.cinfo.next_scanline) *
                                                      static_cast<size_t>(width) * 3);
        jpeg_write_scanlines(&job.cinfo, &row, 1);
    }
    jpeg_finish_compress(&job.cinfo);
    jpeg_destroy_compress(&job.cinfo);
    return true;
}
#endif

// Says that path could not be written; false.
bool CannotWrite(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "ERROR: zel_make_sample can not write %s%s%s\n", path.c_str(),
                 reason.empty() ? "" : ": ", reason.c_str());
    return false;
}

// Writes the picture as a JPEG file of the quality at path; false when it cannot be written (or
// the build has no libjpeg, which the options refuse before).
bool SaveJpeg(const CxImage& image, int quality, const std::string& path) {
#if ZEL_HAVE_JPEG
    const size_t width = image.GetWidth();
    const size_t height = image.GetHeight();
    // The picture's rows are blue, green, red and bottom first; libjpeg takes red, green, blue,
    // top first.
    std::vector<uint8_t> rgb(width * height * 3);
    const uint8_t* bgr = image.GetBits();
    for (size_t row = 0; row < height; row++) {
        const uint8_t* from = bgr + (height - 1 - row) * width * 3;
        uint8_t* to = rgb.data() + row * width * 3;
        for (size_t k = 0; k < width; k++) {
            to[3 * k] = from[3 * k + 2];
            to[3 * k + 1] = from[3 * k + 1];
            to[3 * k + 2] = from[3 * k];
        }
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool encoded =
        CompressJpeg(rgb.data(), static_cast<int>(width), static_cast<int>(height), quality, file);
    const bool written = encoded && std::ferror(file) == 0;
    return std::fclose(file) == 0 && written;
#else
    (void)image;
    (void)quality;
    (void)path;
    return false;
#endif
}

// The frames that see point X: in front of the camera, inside the picture and the first thing
// its ray meets.
std::vector<Observation> Observe(const Scene& scene, const std::vector<Camera>& cameras, Vec X) {
    std::vector<Observation> seen;
    for (int i = 0; i < scene.frames; i++) {
        const Camera& cam = cameras[static_cast<size_t>(i)];
        const Vec c = ToCamera(cam, X);
        if (c.z <= 0.05) {
            continue;
        }
        const double u = scene.focal * c.x / c.z + scene.cx;
        const double v = scene.focal * c.y / c.z + scene.cy;
        if (u < 0.0 || v < 0.0 || u > scene.width - 1 || v > scene.height - 1) {
            continue;
        }
        const Hit hit = CastRay(scene, cam.centre, RayDirection(scene, cam, u, v));
        if (std::fabs(hit.t - c.z) > 1e-6 * c.z) {
            continue;
        }
        seen.push_back({i, u, v});
    }
    return seen;
}

// A camera turned by angle (radians) about the unit axis (in camera coordinates) and moved to
// centre + offset.
Camera Disturb(const Camera& cam, Vec axis, double angle, Vec offset) {
    // Rodrigues: Q = cos(a) I + sin(a) [k]x + (1 - cos(a)) k k^T.
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    const double k[3] = {axis.x, axis.y, axis.z};
    const double cross[3][3] = {
        {0.0, -axis.z, axis.y}, {axis.z, 0.0, -axis.x}, {-axis.y, axis.x, 0.0}};
    Camera out;
    for (int i = 0; i < 3; i++) {
        Vec row{0.0, 0.0, 0.0};
        for (int j = 0; j < 3; j++) {
            const double q = (i == j ? c : 0.0) + s * cross[i][j] + (1.0 - c) * k[i] * k[j];
            row = row + q * cam.row[j];
        }
        out.row[i] = row;
    }
    out.centre = cam.centre + offset;
    for (int i = 0; i < 3; i++) {
        out.T[i] = -Dot(out.row[i], out.centre);
    }
    return out;
}

}  // namespace

bool RenderFrame(const Scene& scene, const std::string& dir, int i, const Camera& cam) {
    const int width = scene.width;
    const int height = scene.height;
    CxImage image;
    if (!image.Create(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 24,
                      CXIMAGE_FORMAT_BMP)) {
        std::fprintf(stderr, "ERROR: zel_make_sample can not make a %d x %d picture\n", width,
                     height);
        return false;
    }
    std::vector<float> disparity(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int row = 0; row < height; row++) {
        for (int col = 0; col < width; col++) {
            const Vec d = RayDirection(scene, cam, col, row);
            const Hit hit = CastRay(scene, cam.centre, d);
            disparity[static_cast<size_t>(row) * static_cast<size_t>(width) +
                      static_cast<size_t>(col)] =
                hit.surface >= 0 ? static_cast<float>(1.0 / hit.t) : 0.0f;
            // The picture library counts rows from the bottom.
            image.SetPixelColor(col, height - 1 - row,
                                scene.kind == SceneKind::kPlain
                                    ? PlainColor(scene, hit, cam.centre + hit.t * d)
                                    : SurfaceColor(scene, hit));
        }
    }
    ApplyGainAndNoise(scene, i, image);
    char name[64];
    std::snprintf(name, sizeof(name), "img%04d.%s", i, scene.jpegQuality > 0 ? "jpg" : "bmp");
    const std::string imagePath = dir + "/" + name;
    auto save = [&](const std::string& partial, std::string*) {
        return scene.jpegQuality > 0 ? SaveJpeg(image, scene.jpegQuality, partial)
                                     : image.Save(partial.c_str(), CXIMAGE_FORMAT_BMP);
    };
    std::string reason;
    if (!zelio::WriteWhole(imagePath, save, &reason)) {
        return CannotWrite(imagePath, reason);
    }
    const std::string path = zelio::DepthFilePath(dir + "/groundtruth/", i);
    if (zelio::WriteRawFloats(path, disparity.data(), disparity.size(), reason) !=
        zelio::RawWrite::kSaved) {
        return CannotWrite(path, reason);
    }
    return true;
}

std::vector<Track> MakeTracks(const Scene& scene, const std::vector<Camera>& cameras) {
    std::vector<Track> tracks;
    std::vector<int> keyFrames;
    for (int key = 0; key < scene.frames - 1; key += 10) {
        keyFrames.push_back(key);
    }
    keyFrames.push_back(scene.frames - 1);
    const int spacing = std::max(8, static_cast<int>(std::lround(24.0 * scene.width / kBaseWidth)));
    const double jitter = spacing / 3.0;
    for (int key : keyFrames) {
        const Camera& cam = cameras[static_cast<size_t>(key)];
        for (int gy = spacing / 2; gy < scene.height; gy += spacing) {
            for (int gx = spacing / 2; gx < scene.width; gx += spacing) {
                const uint32_t h = Hash(gx, gy, static_cast<uint32_t>(key) + 101u);
                const double u = gx + static_cast<double>(h & 0xff) / 255.0 * jitter - jitter / 2.0;
                const double v =
                    gy + static_cast<double>((h >> 8) & 0xff) / 255.0 * jitter - jitter / 2.0;
                const Vec d = RayDirection(scene, cam, u, v);
                const Hit hit = CastRay(scene, cam.centre, d);
                if (hit.surface < 0) {
                    continue;
                }
                Track track;
                track.point = cam.centre + hit.t * d;
                track.observations = Observe(scene, cameras, track.point);
                if (track.observations.size() >= 2) {
                    tracks.push_back(std::move(track));
                }
            }
        }
    }
    return tracks;
}

bool WriteProject(const Scene& scene, const std::string& path, const char* comment,
                  const std::string& firstImage, const std::vector<Camera>& cameras,
                  const std::vector<Track>& tracks) {
    zelio::ProjectContent project;
    project.sequence = firstImage;
    project.end = scene.frames - 1;
    project.f = project.fy = scene.focal;
    project.cx = scene.cx;
    project.cy = scene.cy;
    for (const Track& track : tracks) {
        zelio::ProjectTrack out;
        out.id = static_cast<int>(project.tracks.size());
        out.point[0] = track.point.x;
        out.point[1] = track.point.y;
        out.point[2] = track.point.z;
        for (const Observation& o : track.observations) {
            out.observations.push_back({o.frame, o.u, o.v});
        }
        project.tracks.push_back(std::move(out));
    }
    project.frames.resize(static_cast<size_t>(scene.frames));
    for (size_t i = 0; i < project.frames.size(); i++) {
        zelio::ProjectFrame& frame = project.frames[i];
        frame.focal = scene.focal;
        for (int r = 0; r < 3; r++) {
            const Vec& row = cameras[i].row[r];
            frame.R[r][0] = row.x;
            frame.R[r][1] = row.y;
            frame.R[r][2] = row.z;
            frame.t[r] = cameras[i].T[r];
        }
    }
    zelio::ProjectFileStyle style;
    style.comment = std::string("camera track project file (") + comment + ")";
    std::string reason;
    if (!zelio::WriteProjectFile(path, project, style, &reason)) {
        return CannotWrite(path, reason);
    }
    return true;
}

void DisturbPoses(const Scene& scene, double strength, std::vector<Camera>& cameras,
                  std::vector<Track>& tracks) {
    double baseline = 0.0;
    for (size_t i = 1; i < cameras.size(); i++) {
        const Vec step = cameras[i].centre - cameras[i - 1].centre;
        baseline += std::sqrt(Dot(step, step));
    }
    baseline /= static_cast<double>(cameras.size() - 1);
    // A 3D Gaussian with this deviation per axis has an RMS length of strength * baseline.
    const double shift = strength * baseline / std::sqrt(3.0);
    for (size_t i = 0; i < cameras.size(); i++) {
        Gaussian random{StreamOf(scene.seed, Stream::kPose, i)};
        const double z = random.random.Uniform(-1.0, 1.0);
        const double phi = random.random.Uniform(0.0, 2.0 * kPi);
        const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
        const Vec axis{r * std::cos(phi), r * std::sin(phi), z};
        const double angle = strength * random.Next() * kPi / 180.0;
        const double dx = random.Next();
        const double dy = random.Next();
        const double dz = random.Next();
        cameras[i] = Disturb(cameras[i], axis, angle, shift * Vec{dx, dy, dz});
    }
    for (size_t t = 0; t < tracks.size(); t++) {
        Gaussian random{StreamOf(scene.seed, Stream::kObservations, t)};
        for (Observation& o : tracks[t].observations) {
            const double du = random.Next();
            const double dv = random.Next();
            o.u = std::clamp(o.u + kObservationNoise * du, 0.0, scene.width - 1.0);
            o.v = std::clamp(o.v + kObservationNoise * dv, 0.0, scene.height - 1.0);
        }
    }
}

}  // namespace zelsample
