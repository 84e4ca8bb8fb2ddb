// Fixed-size vector of N entries, stored inline with nothing else.
//
// Entries are left unset by default construction; copies are by value. Every access checks its
// index with an assertion whose text is "0 <= i && i < N" (compiled out with NDEBUG).
#pragma once

#include <cassert>
#include <type_traits>

template <int N, class Real>
class Vector {
  public:
    Vector() = default;

    Real& operator[](int i) {
        assert(0 <= i && i < N);
        return m_afTuple[i];
    }
    Real operator[](int i) const {
        assert(0 <= i && i < N);
        return m_afTuple[i];
    }

    // Raw storage, entry 0 first.
    const Real* Data() const { return m_afTuple; }

  private:
    Real m_afTuple[N];
};

typedef Vector<3, double> Vector3d;

static_assert(sizeof(Vector3d) == 3 * sizeof(double), "Vector3d holds exactly three doubles");
static_assert(std::is_standard_layout<Vector3d>::value, "Vector3d is standard layout");
static_assert(std::is_trivially_copyable<Vector3d>::value, "Vector3d copies by value");
