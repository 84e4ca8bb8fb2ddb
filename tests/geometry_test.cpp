// Vectors, matrices and the camera: storage, index checks, conversions and pose inversion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "geometry/camera.h"
#include "geometry/relativeprojection.h"
#include "tests/matrix_util.h"
#include "wmlmatrix.h"
#include "wmlvector.h"

using testutil::Identity3;
using testutil::kDoubleTolerance;
using testutil::kExact;
using testutil::Mat3;
using testutil::MatrixNear;
using testutil::Rotation;
using testutil::Vec;
using testutil::VectorNear;

namespace {

// WorldToPixel stores u, v and d as float: a world point that went through it is off by the
// relative float rounding (2^-24) of those three, scaled up by depth over focal length.
constexpr double kFloatRoundTolerance = 1e-5;

Matrix4d Multiply(const Matrix4d& a, const Matrix4d& b) {
    Matrix4d out;
    for (int r = 0; r < 4; r++) {
        for (int c = 0; c < 4; c++) {
            double sum = 0.0;
            for (int k = 0; k < 4; k++) {
                sum += a(r, k) * b(k, c);
            }
            out(r, c) = sum;
        }
    }
    return out;
}

Matrix4d Identity4() {
    Matrix4d m;
    for (int r = 0; r < 4; r++) {
        for (int c = 0; c < 4; c++) {
            m(r, c) = r == c ? 1.0 : 0.0;
        }
    }
    return m;
}

// A camera with f = fy = 500, principal point (320, 240) and the given pose in camera-to-world
// form. K and ScaledK differ so that useScaled is seen to choose.
CCamera MakeCamera(const Matrix3d& R, const Vector3d& T) {
    CCamera cam;
    cam.K = Mat3(500, 0, 320, 0, 500, 240, 0, 0, 1);
    cam.ScaledK = Mat3(250, 0, 160, 0, 250, 120, 0, 0, 1);
    cam.R = R;
    cam.T = T;
    return cam;
}

}  // namespace

TEST(Matrix3d, NegationFlipsEverySignIncludingZero) {
    Matrix3d m;
    m.MakeZero();
    m(1, 2) = 2.5;
    m(2, 0) = -4.0;
    const Matrix3d n = -m;
    EXPECT_TRUE(std::signbit(n(0, 0))) << "+0.0 must become -0.0";
    EXPECT_EQ(n(0, 0), 0.0);
    EXPECT_EQ(n(1, 2), -2.5);
    EXPECT_EQ(n(2, 0), 4.0);
    EXPECT_FALSE(std::signbit(m(0, 0))) << "negation must not change its operand";
}

TEST(Matrix3d, MakeZeroWritesPositiveZeros) {
    Matrix3d m;
    std::memset(static_cast<void*>(&m), 0xFF, sizeof(m));
    m.MakeZero();
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(m.Data()[i], 0.0) << "entry " << i;
        EXPECT_FALSE(std::signbit(m.Data()[i])) << "entry " << i;
    }
}

TEST(Matrix3d, TransposeExchangesRowAndColumnAndTwiceIsIdentity) {
    const Matrix3d m = Mat3(1, 2, 3, 4, 5, 6, 7, 8, 9);
    const Matrix3d t = m.Transpose();
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            EXPECT_EQ(t(r, c), m(c, r)) << "(" << r << ", " << c << ")";
        }
    }
    EXPECT_TRUE(MatrixNear(t.Transpose(), m, kExact));
}

TEST(Matrix3d, StorageIsRowMajorAndCopiesAreIndependent) {
    Matrix3d m;
    m.MakeZero();
    m(0, 1) = 5.0;
    m(1, 0) = 7.0;
    m(2, 1) = 9.0;
    EXPECT_EQ(m.Data()[1], 5.0);
    EXPECT_EQ(m.Data()[3], 7.0);
    EXPECT_EQ(m.Data()[7], 9.0);

    Matrix3d copy = m;
    copy(0, 1) = -1.0;
    EXPECT_EQ(m(0, 1), 5.0);

    Matrix4d big;
    big(3, 3) = 11.0;  // (3, 3) is valid for a 4 x 4 matrix
    big(1, 2) = 12.0;
    EXPECT_EQ(big.Data()[15], 11.0);
    EXPECT_EQ(big.Data()[6], 12.0);
}

TEST(Matrix3d, ProductWithVectorSumsRows) {
    const Matrix3d m = Mat3(1, 2, 3, 4, 5, 6, 7, 8, 10);
    EXPECT_TRUE(VectorNear(m * Vec(1, -1, 2), Vec(5, 11, 19), kExact));
    // Each row is summed from j = 0 upwards: (1e16 + 1) - 1e16 loses the 1.
    const Matrix3d big = Mat3(1e16, 1, -1e16, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ((big * Vec(1, 1, 1))[0], 0.0);
}

using IndexCheckDeathTest = testing::Test;

TEST_F(IndexCheckDeathTest, VectorIndexOutsideRangeFailsTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Vector3d v = Vec(1, 2, 3);
    const Vector3d& cv = v;
    EXPECT_DEATH(v[3] = 0.0, "0 <= i && i < N");
    EXPECT_DEATH((void)cv[-1], "0 <= i && i < N");
}

TEST_F(IndexCheckDeathTest, MatrixIndexOutsideRangeFailsTheAssertion) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Matrix3d m;
    m.MakeZero();
    const Matrix3d& cm = m;
    const char* text = "0 <= iRow && iRow < N && 0 <= iCol && iCol < N";
    EXPECT_DEATH(m(0, 3) = 1.0, text);
    EXPECT_DEATH((void)cm(3, 0), text);
    EXPECT_DEATH((void)cm(-1, 0), text);
    Matrix4d big;
    EXPECT_DEATH(big(4, 0) = 1.0, text);
    EXPECT_DEATH(big(0, -1) = 1.0, text);
}

TEST(CCamera, PrincipalPointAtDisparityHalfIsTwoAlongTheAxis) {
    CCamera cam = MakeCamera(Identity3(), Vec(0, 0, 0));
    for (bool useScaled : {false, true}) {
        const double cx = useScaled ? 160 : 320;
        const double cy = useScaled ? 120 : 240;
        Vector3d p;
        cam.PixelToCamera(static_cast<int>(cx), static_cast<int>(cy), 0.5, p, useScaled);
        EXPECT_TRUE(VectorNear(p, Vec(0, 0, 2), kExact)) << "useScaled " << useScaled;
        cam.PixelToWorld(static_cast<int>(cx), static_cast<int>(cy), 0.5, p, useScaled);
        EXPECT_TRUE(VectorNear(p, Vec(0, 0, 2), kExact)) << "useScaled " << useScaled;

        float u = 0, v = 0, d = 0;
        cam.WorldToPixel(u, v, d, Vec(0, 0, 2), useScaled);
        EXPECT_EQ(u, cx);
        EXPECT_EQ(v, cy);
        EXPECT_EQ(d, 0.5f);
    }
}

TEST(CCamera, WorldToPixelThenPixelToWorldReturnsThePoint) {
    const Matrix3d R = Rotation(0.3, -1.0, 0.5, 0.7);
    const Vector3d T = Vec(1.5, -2.0, 0.25);
    CCamera cam = MakeCamera(R, T);
    const Vector3d points[] = {Vec(1.5, -2.0, 4.0), Vec(-3.0, 1.0, 8.0), Vec(4.0, 2.5, 3.0),
                               Vec(0.1, -0.2, 20.0)};
    for (bool useScaled : {false, true}) {
        for (const Vector3d& X : points) {
            // Use a point in front of the camera: X = R * Xc + T with Xc[2] > 0.
            const Vector3d Xw = [&] {
                Vector3d w = R * X;
                for (int i = 0; i < 3; i++) {
                    w[i] += T[i];
                }
                return w;
            }();
            float u, v, d;
            cam.WorldToPixel(u, v, d, Xw, useScaled);
            EXPECT_NEAR(d, 1.0 / X[2], 1e-7);
            Vector3d back;
            cam.PixelToWorld(static_cast<double>(u), static_cast<double>(v), static_cast<double>(d),
                             back, useScaled);
            EXPECT_TRUE(VectorNear(back, Xw, kFloatRoundTolerance * X[2]))
                << "useScaled " << useScaled << ", camera point " << X[0] << " " << X[1] << " "
                << X[2];

            // And the other way: the pixel comes back from its world point.
            float u2, v2, d2;
            cam.WorldToPixel(u2, v2, d2, back, useScaled);
            EXPECT_NEAR(u2, u, 1e-3);
            EXPECT_NEAR(v2, v, 1e-3);
            EXPECT_NEAR(d2, d, 1e-7);
        }
    }
}

TEST(CCamera, WorldToCameraAgreesWithPixelConversion) {
    CCamera cam = MakeCamera(Rotation(1, 1, 0, 0.4), Vec(0.5, 0.5, -1));
    Vector3d X;
    cam.PixelToWorld(100, 50, 0.25, X, false);
    Vector3d c;
    cam.WorldToCamera(c, X);
    EXPECT_NEAR(c[2], 4.0, kDoubleTolerance * 10);
    EXPECT_NEAR(c[0], ((100 - 320) * 4.0) / 500, kDoubleTolerance * 10);
    EXPECT_NEAR(c[1], ((50 - 240) * 4.0) / 500, kDoubleTolerance * 10);
}

TEST(CCamera, SkewPlaysNoPartInPixelConversions) {
    const Matrix3d R = Rotation(0.2, 0.4, 1.0, 0.9);
    const Vector3d T = Vec(-1, 3, 2);
    CCamera plain = MakeCamera(R, T);
    CCamera skewed = MakeCamera(R, T);
    skewed.K(0, 1) = 0.5;
    skewed.ScaledK(0, 1) = 7.0;
    for (bool useScaled : {false, true}) {
        Vector3d a, b;
        plain.PixelToWorld(17, 33, 0.2, a, useScaled);
        skewed.PixelToWorld(17, 33, 0.2, b, useScaled);
        EXPECT_TRUE(VectorNear(a, b, kExact));
        plain.PixelToWorld(17.25, 33.5, 0.2, a, useScaled);
        skewed.PixelToWorld(17.25, 33.5, 0.2, b, useScaled);
        EXPECT_TRUE(VectorNear(a, b, kExact));
        plain.PixelToCamera(5, 9, 0.1, a, useScaled);
        skewed.PixelToCamera(5, 9, 0.1, b, useScaled);
        EXPECT_TRUE(VectorNear(a, b, kExact));
        float u1, v1, d1, u2, v2, d2;
        plain.WorldToPixel(u1, v1, d1, Vec(1, 2, 9), useScaled);
        skewed.WorldToPixel(u2, v2, d2, Vec(1, 2, 9), useScaled);
        EXPECT_EQ(u1, u2);
        EXPECT_EQ(v1, v2);
        EXPECT_EQ(d1, d2);
    }
}

TEST(CCamera, InvertPoseMapsIdentityTranslationAndTwiceGivesThePoseBack) {
    CCamera simple = MakeCamera(Identity3(), Vec(1, 2, 3));
    simple.InvertPose();
    EXPECT_TRUE(MatrixNear(simple.R, Identity3(), kExact));
    EXPECT_TRUE(VectorNear(simple.T, Vec(-1, -2, -3), kExact));

    const Matrix3d R = Rotation(-0.5, 0.25, 1.0, 2.5);
    const Vector3d T = Vec(10, -20, 5);
    CCamera cam = MakeCamera(R, T);
    cam.InvertPose();
    EXPECT_TRUE(MatrixNear(cam.R, R.Transpose(), kExact));
    cam.InvertPose();
    EXPECT_TRUE(MatrixNear(cam.R, R, kExact));
    EXPECT_TRUE(VectorNear(cam.T, T, kDoubleTolerance * 100));
}

TEST(CCamera, PoseMatricesAreMutualInverses) {
    CCamera cam = MakeCamera(Rotation(1, -2, 0.5, 1.1), Vec(3, -4, 0.5));
    Matrix4d pose, inverse;
    cam.GetPoseMatrix(pose);
    cam.GetInversePoseMatrix(inverse);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(pose(i, 3), cam.T[i]);
        EXPECT_EQ(pose(3, i), 0.0);
        EXPECT_EQ(inverse(3, i), 0.0);
    }
    EXPECT_EQ(pose(3, 3), 1.0);
    EXPECT_EQ(inverse(3, 3), 1.0);

    // The same arithmetic on both paths: the results are identical, not merely close.
    Matrix4d inverted = pose;
    InvertRigidTransform(inverted);
    EXPECT_TRUE(MatrixNear(inverted, inverse, kExact));

    EXPECT_TRUE(MatrixNear(Multiply(pose, inverse), Identity4(), kDoubleTolerance * 10));
    EXPECT_TRUE(MatrixNear(Multiply(inverse, pose), Identity4(), kDoubleTolerance * 10));
}

TEST(InvertRigidTransform, TwiceGivesTheMatrixBackAndTheBottomRowIsNotRead) {
    CCamera cam = MakeCamera(Rotation(0, 1, 1, -0.8), Vec(-7, 2, 9));
    Matrix4d m;
    cam.GetPoseMatrix(m);
    const Matrix4d original = m;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < 4; i++) {
        m(3, i) = nan;
    }
    InvertRigidTransform(m);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(m(3, i), 0.0) << "column " << i;
    }
    EXPECT_EQ(m(3, 3), 1.0);
    InvertRigidTransform(m);
    EXPECT_TRUE(MatrixNear(m, original, kDoubleTolerance * 100));
}

TEST(CCamera, ZeroDisparityGivesInfiniteResults) {
    CCamera cam = MakeCamera(Identity3(), Vec(0, 0, 0));
    Vector3d p;
    cam.PixelToCamera(400, 100, 0.0, p, false);
    EXPECT_EQ(p[2], std::numeric_limits<double>::infinity());
    EXPECT_EQ(p[0], std::numeric_limits<double>::infinity());
    EXPECT_EQ(p[1], -std::numeric_limits<double>::infinity());
    // At the principal point the offset is 0 and 0 * inf is undefined.
    cam.PixelToCamera(320, 240, 0.0, p, false);
    EXPECT_TRUE(std::isnan(p[0]));
    EXPECT_TRUE(std::isnan(p[1]));

    // A world point in the camera's plane (z = 0) has infinite pixel position and disparity.
    float u, v, d;
    cam.WorldToPixel(u, v, d, Vec(1, -1, 0), false);
    EXPECT_EQ(u, std::numeric_limits<float>::infinity());
    EXPECT_EQ(v, -std::numeric_limits<float>::infinity());
    EXPECT_EQ(d, std::numeric_limits<float>::infinity());
    // Behind the camera the disparity is negative.
    cam.WorldToPixel(u, v, d, Vec(0, 0, -4), false);
    EXPECT_EQ(d, -0.25f);
}

// The projection between two cameras agrees with a round trip through the world: pixel of the
// first camera at a disparity, out to the world, into the second camera.
TEST(RelativeProjection, AgreesWithTheRoundTripThroughTheWorld) {
    const CCamera a = MakeCamera(Rotation(0.2, 1.0, 0.1, 0.3), Vec(0.5, -0.2, 1.0));
    const CCamera b = MakeCamera(Rotation(-0.4, 0.3, 1.0, -0.2), Vec(-0.3, 0.4, 0.6));
    for (bool scaled : {false, true}) {
        const RelativeProjection rel = RelativeProjection::Between(a, b, scaled);
        for (double x : {0.0, 97.5, 310.0}) {
            for (double y : {3.0, 150.25}) {
                for (double d : {0.05, 0.4}) {
                    Vector3d X;
                    a.PixelToWorld(x, y, d, X, scaled);
                    float u = 0;
                    float v = 0;
                    float dj = 0;
                    b.WorldToPixel(u, v, dj, X, scaled);
                    double q[3];
                    rel.Project(x, y, d, q);
                    EXPECT_NEAR(q[0] / q[2], u, 1e-3) << x << " " << y << " " << d;
                    EXPECT_NEAR(q[1] / q[2], v, 1e-3) << x << " " << y << " " << d;
                    EXPECT_NEAR(d / q[2], dj, 1e-6 * (1 + dj)) << x << " " << y << " " << d;
                }
            }
        }
    }
    // A camera projects into itself unchanged.
    const RelativeProjection self = RelativeProjection::Between(a, a, false);
    double q[3];
    self.Project(12.0, 34.0, 0.25, q);
    EXPECT_NEAR(q[0] / q[2], 12.0, 1e-9);
    EXPECT_NEAR(q[1] / q[2], 34.0, 1e-9);
    EXPECT_NEAR(q[2], 1.0, 1e-12);
}
