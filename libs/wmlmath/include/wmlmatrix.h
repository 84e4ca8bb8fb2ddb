// Fixed-size square matrix of N x N entries, stored inline and row-major.
//
// Entry (row, col) is storage entry row * N + col. Entries are left unset by default
// construction. Every access goes through one index check, an assertion whose text is
// "0 <= iRow && iRow < N && 0 <= iCol && iCol < N" (compiled out with NDEBUG).
#pragma once

#include <cassert>
#include <type_traits>

#include "wmlvector.h"

template <int N, class Real>
class Matrix {
  public:
    Matrix() = default;

    Real& operator()(int iRow, int iCol) { return m_afEntry[I(iRow, iCol)]; }
    Real operator()(int iRow, int iCol) const { return m_afEntry[I(iRow, iCol)]; }

    // Sets every entry to +0.0.
    void MakeZero() {
        for (int i = 0; i < N * N; i++) {
            m_afEntry[i] = Real(0);
        }
    }

    // Every entry negated (so +0.0 becomes -0.0).
    Matrix operator-() const {
        Matrix result;
        for (int i = 0; i < N * N; i++) {
            result.m_afEntry[i] = -m_afEntry[i];
        }
        return result;
    }

    Matrix Transpose() const {
        Matrix result;
        for (int iRow = 0; iRow < N; iRow++) {
            for (int iCol = 0; iCol < N; iCol++) {
                result.m_afEntry[I(iRow, iCol)] = m_afEntry[I(iCol, iRow)];
            }
        }
        return result;
    }

    // w = M * v; each w[i] starts at 0 and adds M(i, j) * v[j] for j = 0, 1, ... in order.
    Vector<N, Real> operator*(const Vector<N, Real>& v) const {
        Vector<N, Real> w;
        for (int iRow = 0; iRow < N; iRow++) {
            Real sum = Real(0);
            for (int iCol = 0; iCol < N; iCol++) {
                sum += m_afEntry[I(iRow, iCol)] * v[iCol];
            }
            w[iRow] = sum;
        }
        return w;
    }

    // Raw row-major storage.
    const Real* Data() const { return m_afEntry; }

  private:
    // The one index check: maps (row, col) to its storage position.
    static int I(int iRow, int iCol) {
        assert(0 <= iRow && iRow < N && 0 <= iCol && iCol < N);
        return iRow * N + iCol;
    }

    Real m_afEntry[N * N];
};

typedef Matrix<3, double> Matrix3d;
typedef Matrix<4, double> Matrix4d;

static_assert(sizeof(Matrix3d) == 9 * sizeof(double), "Matrix3d holds exactly nine doubles");
static_assert(sizeof(Matrix4d) == 16 * sizeof(double), "Matrix4d holds exactly sixteen doubles");
static_assert(std::is_standard_layout<Matrix3d>::value, "Matrix3d is standard layout");
static_assert(std::is_standard_layout<Matrix4d>::value, "Matrix4d is standard layout");
static_assert(!std::is_polymorphic<Matrix3d>::value, "no virtual operation");
