// A small COLMAP model that the tests and the fuzz-seed maker both start from.
#pragma once

#include <cstdint>
#include <string>

#include "interop/colmap.h"

namespace testutil {

// Three 320 x 240 frames seen by one PINHOLE camera; 3D point 7 is seen in all three, point 8
// only in the last (an import drops it).
inline zelinterop::ColmapModel ThreeFrameModel() {
    using namespace zelinterop;
    ColmapModel m;
    ColmapCamera camera;
    camera.id = 1;
    camera.model = kPinhole;
    camera.width = 320;
    camera.height = 240;
    camera.params = {300.0, 300.0, 160.5, 120.5};
    m.cameras.push_back(camera);
    for (uint32_t i = 0; i < 3; i++) {
        ColmapImage image;
        image.id = 10 + i;
        image.camera = 1;
        image.t[0] = -0.1 * i;
        image.name = "img000" + std::to_string(i) + ".bmp";
        image.points.push_back({160.5 - 6.0 * i, 120.5, 7});
        image.points.push_back({20.25, 30.75, i == 2 ? 8 : -1});
        m.images.push_back(image);
    }
    ColmapPoint3D seen;
    seen.id = 7;
    seen.xyz[2] = 5.0;
    seen.track = {{10, 0}, {11, 0}, {12, 0}};
    ColmapPoint3D once;
    once.id = 8;
    once.xyz[0] = 1.0;
    once.xyz[2] = 8.0;
    once.track = {{12, 1}};
    m.points = {seen, once};
    return m;
}

}  // namespace testutil
