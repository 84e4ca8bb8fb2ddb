#include "geometry/relativeprojection.h"

#include <algorithm>
#include <cmath>

void CameraIntrinsics(const CCamera& camera, bool scaled, double k[4]) {
    const Matrix3d& K = scaled ? camera.ScaledK : camera.K;
    k[0] = K(0, 0);
    k[1] = K(1, 1);
    k[2] = K(0, 2);
    k[3] = K(1, 2);
}

RelativeProjection RelativeProjection::Between(const CCamera& ref, const CCamera& nb, bool scaled) {
    double ki[4];
    double kj[4];
    CameraIntrinsics(ref, scaled, ki);
    CameraIntrinsics(nb, scaled, kj);
    // A = Rj^T Ri, b = Rj^T (Ti - Tj).
    double A[9];
    double b[3];
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            double s = 0.0;
            for (int k = 0; k < 3; k++) {
                s += nb.R(k, r) * ref.R(k, c);
            }
            A[r * 3 + c] = s;
        }
        double s = 0.0;
        for (int k = 0; k < 3; k++) {
            s += nb.R(k, r) * (ref.T[k] - nb.T[k]);
        }
        b[r] = s;
    }
    // Ki^-1 (x, y, 1) = ((x - cx) / fx, (y - cy) / fy, 1): fold it into the columns of A.
    double B[9];
    for (int r = 0; r < 3; r++) {
        B[r * 3 + 0] = A[r * 3 + 0] / ki[0];
        B[r * 3 + 1] = A[r * 3 + 1] / ki[1];
        B[r * 3 + 2] = A[r * 3 + 2] - A[r * 3 + 0] * ki[2] / ki[0] - A[r * 3 + 1] * ki[3] / ki[1];
    }
    // Then Kj on the left.
    RelativeProjection rel;
    for (int c = 0; c < 3; c++) {
        rel.M[0 * 3 + c] = kj[0] * B[0 * 3 + c] + kj[2] * B[2 * 3 + c];
        rel.M[1 * 3 + c] = kj[1] * B[1 * 3 + c] + kj[3] * B[2 * 3 + c];
        rel.M[2 * 3 + c] = B[2 * 3 + c];
    }
    rel.e[0] = kj[0] * b[0] + kj[2] * b[2];
    rel.e[1] = kj[1] * b[1] + kj[3] * b[2];
    rel.e[2] = b[2];
    return rel;
}

double RelativeProjection::PoseTolerance(double q0, double q1, double q2, double pixels) const {
    if (!(pixels > 0.0)) {
        return 0.0;
    }
    const double inv2 = 1.0 / (q2 * q2);
    const double du = (e[0] * q2 - q0 * e[2]) * inv2;
    const double dv = (e[1] * q2 - q1 * e[2]) * inv2;
    const double motion = std::sqrt(du * du + dv * dv);  // pixels per unit of disparity in i
    return pixels / std::max(motion, 1e-12) / q2;
}
