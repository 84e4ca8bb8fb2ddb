// The projective map between two cameras of a sequence: pixel (x, y) of the reference camera at
// disparity d (1 / z) lands in the other camera at (q0 / q2, q1 / q2) with disparity d / q2,
// where q = M (x, y, 1) + d e. Matching, consistency checks and fusion all warp through it.
#pragma once

#include "geometry/camera.h"

// The four intrinsics that enter pixel conversions: fx, fy, cx, cy (of the reduced-size
// pictures with `scaled`).
void CameraIntrinsics(const CCamera& camera, bool scaled, double k[4]);

struct RelativeProjection {
    double M[9];
    double e[3];

    // Built from the same matrices that PixelToWorld and WorldToPixel use (pose camera-to-world).
    static RelativeProjection Between(const CCamera& ref, const CCamera& other, bool scaled);

    // q of pixel (x, y) at disparity d, in double precision.
    void Project(double x, double y, double d, double q[3]) const {
        q[0] = M[0] * x + M[1] * y + M[2] + d * e[0];
        q[1] = M[3] * x + M[4] * y + M[5] + d * e[1];
        q[2] = M[6] * x + M[7] * y + M[8] + d * e[2];
    }

    // The change of the other camera's disparity (q from Project, q2 > 0) that moves the
    // projection by `pixels`: where the cameras carry errors of that size, two views'
    // disparities cannot agree more closely. Near the epipole a pixel barely moves with its
    // disparity, so the tolerance is capped at a quarter of the disparity there.
    double PoseTolerance(double q0, double q1, double q2, double pixels) const;
};
