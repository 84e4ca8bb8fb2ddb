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
    MakeRigidMatrix(inverse.R, inverse.T, m);
}
