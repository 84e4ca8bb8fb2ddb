// The camera of one video frame: intrinsic matrices and pose.
//
// Conventions:
// - As read from a project file, (R, T) maps world to camera: Xc = R * X + T.
// - After InvertPose (applied once to every camera at the end of parsing), R maps camera axes
//   into the world and T is the camera centre: X = R * Xc + T, and Xc = R^T * (X - T).
//   The pixel conversions, WorldToCamera and the pose matrices assume this second convention.
// - Camera z points along the viewing direction; the disparity of a point is 1 / z.
// - Only K(0,0), K(0,2), K(1,1) and K(1,2) enter pixel conversions; the skew entry does not.
//
// Everything is inline: stages call these per pixel and must not pay for a call.
#pragma once

#include "wmlmatrix.h"
#include "wmlvector.h"

// The inverse of the rigid transform X -> R * X + T, which is X -> R^T * X - R^T * T. Every
// inversion of a pose (the camera's own, its inverse pose matrix, the world-to-camera mapping,
// 4 x 4 transforms and the disparity estimate) is formed here, in one order of operations, so
// that they all give bit-identical results.
struct RigidInverse {
    Matrix3d R;  // R^T
    Vector3d T;  // -R^T * T
};
inline RigidInverse InvertRigid(const Matrix3d& R, const Vector3d& T) {
    RigidInverse inverse;
    inverse.R = R.Transpose();
    inverse.T = (-inverse.R) * T;
    return inverse;
}

// The 4 x 4 matrix [R | T; 0 0 0 1].
inline void MakeRigidMatrix(const Matrix3d& R, const Vector3d& T, Matrix4d& out) {
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            out(i, j) = R(i, j);
        }
        out(i, 3) = T[i];
        out(3, i) = 0.0;
    }
    out(3, 3) = 1.0;
}

class CCamera {
  public:
    Matrix3d K;        // intrinsics of the full-size images
    Matrix3d ScaledK;  // intrinsics of the reduced-size images
    Matrix3d R;        // rotation
    Vector3d T;        // translation

    // Camera-space point of pixel (x, y) at disparity d:
    // z = 1/d, (((x - cx) * z) / fx, ((y - cy) * z) / fy, z).
    void PixelToCamera(int x, int y, double d, Vector3d& out, bool useScaled) const {
        PixelToCameraD(static_cast<double>(x), static_cast<double>(y), d, out, useScaled);
    }

    // World point of pixel (x, y) at disparity d: R * p + T with p from PixelToCamera.
    void PixelToWorld(int x, int y, double d, Vector3d& out, bool useScaled) const {
        PixelToWorld(static_cast<double>(x), static_cast<double>(y), d, out, useScaled);
    }
    void PixelToWorld(double x, double y, double d, Vector3d& out, bool useScaled) const {
        Vector3d p;
        PixelToCameraD(x, y, d, p, useScaled);
        for (int i = 0; i < 3; i++) {
            double sum = 0.0;
            for (int j = 0; j < 3; j++) {
                sum += R(i, j) * p[j];
            }
            out[i] = sum + T[i];
        }
    }

    // Pixel position (u, v) and disparity d of world point X; T is subtracted before rotating.
    void WorldToPixel(float& u, float& v, float& d, const Vector3d& X, bool useScaled) const {
        const Matrix3d& k = useScaled ? ScaledK : K;
        double c[3];
        for (int i = 0; i < 3; i++) {
            double sum = 0.0;
            for (int j = 0; j < 3; j++) {
                sum += R(j, i) * (X[j] - T[j]);
            }
            c[i] = sum;
        }
        u = static_cast<float>((k(0, 0) * c[0]) / c[2] + k(0, 2));
        v = static_cast<float>((k(1, 1) * c[1]) / c[2] + k(1, 2));
        d = static_cast<float>(1.0 / c[2]);
    }

    // Camera coordinates of world point X: rotate by R^T, then add the rotated translation.
    void WorldToCamera(Vector3d& out, const Vector3d& X) const {
        const RigidInverse toCamera = InvertRigid(R, T);
        for (int i = 0; i < 3; i++) {
            double sum = 0.0;
            for (int j = 0; j < 3; j++) {
                sum += toCamera.R(i, j) * X[j];
            }
            out[i] = sum + toCamera.T[i];
        }
    }

    // The camera-to-world transform [R | T; 0 0 0 1].
    void GetPoseMatrix(Matrix4d& out) const { MakeRigidMatrix(R, T, out); }

    // The world-to-camera transform [R^T | -R^T T; 0 0 0 1].
    void GetInversePoseMatrix(Matrix4d& out) const {
        const RigidInverse toCamera = InvertRigid(R, T);
        MakeRigidMatrix(toCamera.R, toCamera.T, out);
    }

    // Replaces (R, T) by (R^T, -R^T * T).
    void InvertPose() {
        const RigidInverse inverse = InvertRigid(R, T);
        R = inverse.R;
        T = inverse.T;
    }

  private:
    void PixelToCameraD(double x, double y, double d, Vector3d& out, bool useScaled) const {
        const Matrix3d& k = useScaled ? ScaledK : K;
        const double z = 1.0 / d;
        out[0] = ((x - k(0, 2)) * z) / k(0, 0);
        out[1] = ((y - k(1, 2)) * z) / k(1, 1);
        out[2] = z;
    }
};

static_assert(std::is_standard_layout<CCamera>::value, "CCamera is a plain record");
static_assert(!std::is_polymorphic<CCamera>::value, "CCamera has no virtual operation");

// Inverts the rigid transform m in place: the upper-left block A becomes A^T, the translation
// t becomes -A^T t, and the bottom row becomes (0, 0, 0, 1). The input's bottom row is not read.
void InvertRigidTransform(Matrix4d& m);
