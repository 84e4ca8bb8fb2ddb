// Comparison helpers for vectors and matrices: each failure names the entry that is wrong.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "wmlmatrix.h"
#include "wmlvector.h"

namespace testutil {

// Absolute tolerances, named by what they allow.
constexpr double kExact = 0.0;              // identical arithmetic on both sides
constexpr double kDoubleTolerance = 1e-12;  // a few double roundings on values near 1

// Entries equal within tol; NaN equals NaN, infinities must match exactly.
inline bool NearEntry(double a, double b, double tol) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    if (std::isinf(a) || std::isinf(b)) {
        return a == b;
    }
    return std::fabs(a - b) <= tol;
}

template <int N>
testing::AssertionResult MatrixNear(const Matrix<N, double>& actual,
                                    const Matrix<N, double>& expected, double tol) {
    std::ostringstream failures;
    bool ok = true;
    for (int r = 0; r < N; r++) {
        for (int c = 0; c < N; c++) {
            if (!NearEntry(actual(r, c), expected(r, c), tol)) {
                ok = false;
                failures.precision(17);
                failures << "\n  entry (" << r << ", " << c << "): " << actual(r, c)
                         << " vs expected " << expected(r, c);
            }
        }
    }
    if (ok) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "matrices differ beyond " << tol << ":" << failures.str();
}

template <int N>
testing::AssertionResult VectorNear(const Vector<N, double>& actual,
                                    const Vector<N, double>& expected, double tol) {
    std::ostringstream failures;
    bool ok = true;
    failures.precision(17);
    for (int i = 0; i < N; i++) {
        if (!NearEntry(actual[i], expected[i], tol)) {
            ok = false;
            failures << "\n  entry [" << i << "]: " << actual[i] << " vs expected " << expected[i];
        }
    }
    if (ok) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "vectors differ beyond " << tol << ":" << failures.str();
}

inline Vector3d Vec(double x, double y, double z) {
    Vector3d v;
    v[0] = x;
    v[1] = y;
    v[2] = z;
    return v;
}

inline Matrix3d Mat3(double a00, double a01, double a02, double a10, double a11, double a12,
                     double a20, double a21, double a22) {
    Matrix3d m;
    m(0, 0) = a00;
    m(0, 1) = a01;
    m(0, 2) = a02;
    m(1, 0) = a10;
    m(1, 1) = a11;
    m(1, 2) = a12;
    m(2, 0) = a20;
    m(2, 1) = a21;
    m(2, 2) = a22;
    return m;
}

inline Matrix3d Identity3() {
    return Mat3(1, 0, 0, 0, 1, 0, 0, 0, 1);
}

// Rotation by angle (radians) about the axis (ax, ay, az), which need not be unit length.
inline Matrix3d Rotation(double ax, double ay, double az, double angle) {
    const double n = std::sqrt(ax * ax + ay * ay + az * az);
    const double x = ax / n, y = ay / n, z = az / n;
    const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
    return Mat3(t * x * x + c, t * x * y - s * z, t * x * z + s * y,  //
                t * x * y + s * z, t * y * y + c, t * y * z - s * x,  //
                t * x * z - s * y, t * y * z + s * x, t * z * z + c);
}

}  // namespace testutil
