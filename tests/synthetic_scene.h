// A small synthetic project for the depth-recovery tests: a textured plane seen by a camera that
// moves sideways, rendered with supersampling into numbered BMP pictures, with a project file
// (intrinsics, exact feature tracks, cameras) and the true disparity of every pixel.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "io/projectfile.h"
#include "tests/support/bmp.h"
#include "tests/test_util.h"

namespace testutil {

struct PlaneScene {
    int width = 96;
    int height = 72;
    int frames = 5;
    double focal = 90.0;
    double baseline = 0.1;  // camera step along X between frames
    double depth = 2.0;     // the plane is Z = depth + slope * X
    double slope = 0.0;

    double Cx() const { return (width - 1) / 2.0; }
    double Cy() const { return (height - 1) / 2.0; }
    double CentreX(int i) const { return (i - (frames - 1) / 2.0) * baseline; }

    // The number of other frames whose picture holds the scene point seen at pixel (u, v) of
    // frame i.
    int SeenBy(int i, double u, double v) const {
        const double z = DepthAt(i, u, v);
        const double X = CentreX(i) + (u - Cx()) / focal * z;
        int seen = 0;
        for (int j = 0; j < frames; j++) {
            const double uj = focal * (X - CentreX(j)) / z + Cx();
            seen += j != i && uj >= 0.0 && uj <= width - 1;
        }
        return seen;
    }

    // Camera depth of the plane along the ray through pixel (u, v) of frame i (the camera looks
    // along +Z without rotation).
    double DepthAt(int i, double u, double v) const {
        static_cast<void>(v);
        const double dx = (u - Cx()) / focal;
        return (depth + slope * CentreX(i)) / (1.0 - slope * dx);
    }

    // A smooth texture on the plane: a few sines at several scales and directions.
    static double Texture(double X, double Y) {
        return 128.0 + 40.0 * std::sin(9.0 * X + 2.3 * Y) +
               30.0 * std::sin(3.7 * X - 7.1 * Y + 0.5) +
               25.0 * std::sin(13.1 * Y + 4.2 * X + 1.0) + 15.0 * std::sin(17.3 * X - 11.0 * Y);
    }

    // Frame i's picture, 4 x 4 samples per pixel.
    std::vector<Rgb> Render(int i) const {
        std::vector<Rgb> pixels(static_cast<size_t>(width) * height);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                double sum = 0.0;
                for (int s = 0; s < 16; s++) {
                    const double u = x + (s % 4 - 1.5) / 4.0;
                    const double v = y + (s / 4 - 1.5) / 4.0;
                    const double z = DepthAt(i, u, v);
                    const double X = CentreX(i) + (u - Cx()) / focal * z;
                    const double Y = (v - Cy()) / focal * z;
                    sum += Texture(X, Y);
                }
                const double g = std::fmin(std::fmax(sum / 16.0, 0.0), 255.0);
                const uint8_t b = static_cast<uint8_t>(g);
                pixels[static_cast<size_t>(y) * width + x] =
                    Rgb{b, static_cast<uint8_t>(b * 4 / 5 + 20), static_cast<uint8_t>(b / 2 + 60)};
            }
        }
        return pixels;
    }

    // Writes img0000.bmp ... and project.txt into dir (which must exist); returns the project
    // path.
    std::string Write(const std::string& dir) const {
        for (int i = 0; i < frames; i++) {
            char name[32];
            std::snprintf(name, sizeof(name), "img%04d.bmp", i);
            WriteBmp24(dir + name, width, height, Render(i));
        }
        zelio::ProjectContent project;
        project.sequence = "./img0000.bmp";
        project.end = frames - 1;
        project.f = project.fy = focal;
        project.cx = Cx();
        project.cy = Cy();
        // Plane points seen from the middle frame on a coarse grid, observed in every frame.
        const int mid = frames / 2;
        for (int gy = 8; gy < height; gy += 16) {
            for (int gx = 8; gx < width; gx += 16) {
                const double z = DepthAt(mid, gx, gy);
                zelio::ProjectTrack track;
                track.id = static_cast<int>(project.tracks.size());
                track.point[0] = CentreX(mid) + (gx - Cx()) / focal * z;
                track.point[1] = (gy - Cy()) / focal * z;
                track.point[2] = z;
                for (int i = 0; i < frames; i++) {
                    const double u = focal * (track.point[0] - CentreX(i)) / z + Cx();
                    const double v = focal * track.point[1] / z + Cy();
                    track.observations.push_back({i, u, v});
                }
                project.tracks.push_back(track);
            }
        }
        // World to camera: identity rotation, T = -centre.
        project.frames.resize(static_cast<size_t>(frames));
        for (int i = 0; i < frames; i++) {
            project.frames[static_cast<size_t>(i)].focal = focal;
            project.frames[static_cast<size_t>(i)].t[0] = -CentreX(i);
        }
        zelio::ProjectFileStyle style;
        style.comment = "camera track project file (test scene)";
        const std::string text = zelio::FormatProjectFile(project, style);
        WriteFile(dir + "project.txt", text);
        return dir + "project.txt";
    }
};

}  // namespace testutil
