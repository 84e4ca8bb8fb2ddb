// Feature tracks in two linked views.
//
// By track: a CMatchLinker holds the 3D point and its CTrackPoint observations in file order.
// By frame: each frame's array of CMatchPoint holds the observations made in that frame, each
// pointing back to its track through a shared pointer. A track finds its CMatchPoints through
// (frame, index), so the references form no cycle.
#pragma once

#include <memory>
#include <stdexcept>
#include <vector>

#include "wmlvector.h"

// One observation as seen from its track. A new one is all zero.
struct CTrackPoint {
    int frame = 0;   // 0-based frame position in the sequence
    int index = 0;   // position of the matching CMatchPoint in that frame's array
    double x = 0.0;  // image position
    double y = 0.0;
};

class CMatchLinker;

// One observation as seen from its frame. Copies share the linker.
//
// A default-constructed CMatchPoint has x and y undefined and no linker.
class CMatchPoint {
  public:
    CMatchPoint() = default;
    CMatchPoint(double px, double py, std::shared_ptr<CMatchLinker> track)
        : x(px), y(py), linker(std::move(track)) {}

    double x;
    double y;
    std::shared_ptr<CMatchLinker> linker;
};

// The exception that GetTrackPoint throws for an index out of range.
class CTrackPointIndexError : public std::exception {
  public:
    const char* what() const noexcept override { return "ERROR:CTrackPoint::index out of range!"; }
};

// One track: a 3D point in world coordinates and its observations. Only ever created with
// std::make_shared and handled through shared pointers; never copied.
class CMatchLinker {
  public:
    CMatchLinker() = default;
    CMatchLinker(const CMatchLinker&) = delete;
    CMatchLinker& operator=(const CMatchLinker&) = delete;

    // Observation number index; throws CTrackPointIndexError (what() ==
    // "ERROR:CTrackPoint::index out of range!") when index is not below the count.
    CTrackPoint& GetTrackPoint(unsigned i) {
        if (i >= trackPoints.size()) {
            throw CTrackPointIndexError();
        }
        return trackPoints[i];
    }

    // Resizes the observations to n; added observations are all zero.
    void SetTrackPointCount(unsigned n) { trackPoints.resize(n); }

    unsigned GetTrackPointCount() const { return static_cast<unsigned>(trackPoints.size()); }

    // id, index, status and point start undefined (no initialiser, as the parser writes every
    // one of them); a linker made elsewhere must set them before use. trackPoints starts empty.
    int id;          // the track's id from the file
    int index;       // position of the track in the parser's `tracks`
    int status;      // tracks with status -1 or 3 are left out of the disparity estimate
    Vector3d point;  // the 3D point in world coordinates
    std::vector<CTrackPoint> trackPoints;
};
