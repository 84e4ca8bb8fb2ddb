// The least-squares similarity between two sets of 3D points (closed form with a unit quaternion
// for the rotation), for the tests that compare a reconstruction with the truth: its scale,
// origin and orientation are arbitrary.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace testutil {

struct Vec3 {
    double v[3];
    double operator[](int i) const { return v[i]; }
};

inline Vec3 Sub(const Vec3& a, const Vec3& b) {
    return {{a[0] - b[0], a[1] - b[1], a[2] - b[2]}};
}
inline double Norm(const Vec3& a) {
    return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
}

// x -> s Q x + d, the similarity that maps one reconstruction's world onto the other's.
struct Similarity {
    double s = 1.0;
    double Q[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Vec3 d = {{0, 0, 0}};
    Vec3 Apply(const Vec3& x) const {
        Vec3 out;
        for (int r = 0; r < 3; r++) {
            out.v[r] = s * (Q[r][0] * x[0] + Q[r][1] * x[1] + Q[r][2] * x[2]) + d[r];
        }
        return out;
    }
};

// The eigenvector of the largest eigenvalue of a symmetric 4 x 4 matrix (cyclic Jacobi).
inline void LargestEigenvector(double A[4][4], double out[4]) {
    double V[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    for (int sweep = 0; sweep < 50; sweep++) {
        double off = 0.0;
        for (int p = 0; p < 4; p++) {
            for (int q = p + 1; q < 4; q++) {
                off += A[p][q] * A[p][q];
            }
        }
        if (off < 1e-30) {
            break;
        }
        for (int p = 0; p < 4; p++) {
            for (int q = p + 1; q < 4; q++) {
                if (std::fabs(A[p][q]) < 1e-300) {
                    continue;
                }
                const double theta = (A[q][q] - A[p][p]) / (2 * A[p][q]);
                const double t =
                    (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1);
                const double s = t * c;
                for (int k = 0; k < 4; k++) {
                    const double akp = A[k][p];
                    const double akq = A[k][q];
                    A[k][p] = c * akp - s * akq;
                    A[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 4; k++) {
                    const double apk = A[p][k];
                    const double aqk = A[q][k];
                    A[p][k] = c * apk - s * aqk;
                    A[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 4; k++) {
                    const double vkp = V[k][p];
                    const double vkq = V[k][q];
                    V[k][p] = c * vkp - s * vkq;
                    V[k][q] = s * vkp + c * vkq;
                }
            }
        }
    }
    int best = 0;
    for (int i = 1; i < 4; i++) {
        if (A[i][i] > A[best][best]) {
            best = i;
        }
    }
    for (int k = 0; k < 4; k++) {
        out[k] = V[k][best];
    }
}

// The least-squares similarity taking points a onto points b (closed form with a unit
// quaternion for the rotation).
inline Similarity Align(const std::vector<Vec3>& a, const std::vector<Vec3>& b) {
    const double n = static_cast<double>(a.size());
    Vec3 ma = {{0, 0, 0}};
    Vec3 mb = {{0, 0, 0}};
    for (size_t i = 0; i < a.size(); i++) {
        for (int k = 0; k < 3; k++) {
            ma.v[k] += a[i][k] / n;
            mb.v[k] += b[i][k] / n;
        }
    }
    double S[3][3] = {};
    double aa = 0.0;
    for (size_t i = 0; i < a.size(); i++) {
        const Vec3 pa = Sub(a[i], ma);
        const Vec3 pb = Sub(b[i], mb);
        aa += pa[0] * pa[0] + pa[1] * pa[1] + pa[2] * pa[2];
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++) {
                S[r][c] += pa[r] * pb[c];
            }
        }
    }
    double N[4][4] = {
        {S[0][0] + S[1][1] + S[2][2], S[1][2] - S[2][1], S[2][0] - S[0][2], S[0][1] - S[1][0]},
        {S[1][2] - S[2][1], S[0][0] - S[1][1] - S[2][2], S[0][1] + S[1][0], S[2][0] + S[0][2]},
        {S[2][0] - S[0][2], S[0][1] + S[1][0], -S[0][0] + S[1][1] - S[2][2], S[1][2] + S[2][1]},
        {S[0][1] - S[1][0], S[2][0] + S[0][2], S[1][2] + S[2][1], -S[0][0] - S[1][1] + S[2][2]}};
    double q[4];
    LargestEigenvector(N, q);
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    Similarity t;
    const double R[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                            {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                            {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    double num = 0.0;
    for (size_t i = 0; i < a.size(); i++) {
        const Vec3 pa = Sub(a[i], ma);
        const Vec3 pb = Sub(b[i], mb);
        for (int r = 0; r < 3; r++) {
            num += pb[r] * (R[r][0] * pa[0] + R[r][1] * pa[1] + R[r][2] * pa[2]);
        }
    }
    t.s = num / aa;
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            t.Q[r][c] = R[r][c];
        }
    }
    const Vec3 moved = t.Apply(ma);
    for (int k = 0; k < 3; k++) {
        t.d.v[k] = mb[k] - moved[k];
    }
    return t;
}

// The angle in degrees of the rotation between two camera-to-world rotations once the
// similarity's rotation is applied to the second: that of Rt^T Q Rc. The matrices are read as
// M(row, column).
template <class Matrix>
double RotationAngleDegrees(const Matrix& Rt, const Similarity& sim, const Matrix& Rc) {
    double trace = 0.0;  // trace(Rt^T Q Rc)
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            double qr = 0.0;  // (Q Rc)(r, c)
            for (int k = 0; k < 3; k++) {
                qr += sim.Q[r][k] * Rc(k, c);
            }
            trace += Rt(r, c) * qr;
        }
    }
    return std::acos(std::clamp((trace - 1) / 2, -1.0, 1.0)) * 180.0 / 3.14159265358979323846;
}

}  // namespace testutil
