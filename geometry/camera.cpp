#include "geometry/camera.h"

void InvertRigidTransform(Matrix4d& m) {
    Matrix3d A;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            A(i, j) = m(j, i);
        }
    }
    Vector3d t;
    for (int i = 0; i < 3; i++) {
        t[i] = m(i, 3);
    }
    const Vector3d tInv = (-A) * t;
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) {
            m(i, j) = A(i, j);
        }
        m(i, 3) = tInv[i];
        m(3, i) = 0.0;
    }
    m(3, 3) = 1.0;
}
