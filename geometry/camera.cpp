#include "geometry/camera.h"

void InvertRigidTransform(Matrix4d& m) {
    Matrix3d A;
    Vector3d t;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            A(i, j) = m(i, j);
        }
        t[i] = m(i, 3);
    }
    const RigidInverse inverse = InvertRigid(A, t);
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            m(i, j) = inverse.R(i, j);
        }
        m(i, 3) = inverse.T[i];
        m(3, i) = 0.0;
    }
    m(3, 3) = 1.0;
}
