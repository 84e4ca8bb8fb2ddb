// Builds against the installed headers and library: a frame with a disparity map, a camera
// round trip and a file-name helper. Prints "consumer ok" and exits 0 when all agree.
#include <cmath>
#include <cstdio>

#include "geometry/camera.h"
#include "sequence/videoframe.h"
#include "util/filename.h"
#include "wmlmatrix.h"

int main() {
    CZelVideoFrame::SetImageSize(2, 1);
    CZelVideoFrame frame;
    frame.dspImg = new ZImage<float>(2, 1, 1);
    frame.SetDisparity(0, 0, 2.0f);
    frame.SetDisparity(1, 0, 4.0f);
    const double d = frame.GetDisparity(0.5, 0.0);

    CCamera camera;
    camera.K.MakeZero();
    camera.K(0, 0) = 500.0;
    camera.K(1, 1) = 500.0;
    camera.K(0, 2) = 320.0;
    camera.K(1, 2) = 240.0;
    camera.K(2, 2) = 1.0;
    camera.R.MakeZero();
    for (int i = 0; i < 3; i++) {
        camera.R(i, i) = 1.0;
        camera.T[i] = 0.0;
    }
    Vector3d p;
    camera.PixelToCamera(320, 240, 0.5, p, false);

    const std::string next = IncrementFileName("seq/img0009.png", 1);
    if (d != 3.0 || p[2] != 2.0 || next != "seq/img0010.png") {
        std::printf("consumer failed: %g %g %s\n", d, p[2], next.c_str());
        return 1;
    }
    std::printf("consumer ok\n");
    return 0;
}
