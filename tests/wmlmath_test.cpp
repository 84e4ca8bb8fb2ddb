#include <gtest/gtest.h>

#include "wmlmatrix.h"

TEST(Matrix3d, StorageIsRowMajor) {
    Matrix3d m;
    m.MakeZero();
    m(0, 1) = 5.0;
    m(1, 0) = 7.0;
    EXPECT_EQ(m.Data()[1], 5.0);
    EXPECT_EQ(m.Data()[3], 7.0);
}
