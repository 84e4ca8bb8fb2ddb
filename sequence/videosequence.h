// CZelVideoSequence: the video being processed, an ordered list of frames with the image
// sequence's description, the camera intrinsics and the processing stages.
//
// Conventions:
// - Ownership: the sequence owns its frames (plain pointers in `frames`, deleted by SetFrameCount
//   and the destructor); GetFrame hands out non-owning pointers that stay valid until the next
//   SetFrameCount or LoadImageSequence.
// - Invariant: frames.size() == frameCount at all times; every entry is non-null.
// - Intrinsics, as read from the project file: f is the horizontal focal length in pixels, fy
//   the vertical one (replaced by aspect * f when the file gives an aspect ratio), (cx, cy) the
//   principal point in pixels with pixel centres at integral positions, skew the skew factor
//   (K(0,1) = skew * f) and aspect the ratio fy / f (1 unless the file gives one).
// - Poses: while parsing, each frame's camera holds the file's world-to-camera pose
//   (Xc = R * X + T); InvertCameraPoses, called once at the end of parsing, turns every pose
//   into camera-to-world (X = R * Xc + T, T the camera centre), which is what the frames'
//   services expect afterwards.
// - LoadImageSequence writes the frame class's shared settings (image size, reduced switch, the
//   TMP/ and DATA/ directories) once, before any frame reads them; they are process-wide, so two
//   sequences loaded in one process share the settings of the last one loaded.
#pragma once

#include <string>
#include <vector>

class CZelVideoFrame;
class CTrackFileParser;
class CZelVideoSequence;

// The work of the two depth-recovery stages, supplied from outside the core. A sequence with an
// implementation installed calls Init from InitStage and Optimise from BOStage with the same
// inclusive frame range; without one both stages do nothing.
class CDepthStages {
  public:
    virtual ~CDepthStages();
    // Initialises the disparity maps of frames first .. last (inclusive).
    virtual void Init(CZelVideoSequence& sequence, int first, int last) = 0;
    // Refines the maps of frames first .. last (inclusive) once every one of them exists.
    virtual void Optimise(CZelVideoSequence& sequence, int first, int last) = 0;
};

// The largest frame count a sequence accepts. A range that gives more frames (or fewer than
// zero) is refused with an "ERROR..." line by LoadImageSequence.
constexpr int kMaxFrameCount = 1 << 20;

class CZelVideoSequence {
  public:
    // An empty sequence: no frames, empty paths, start 0, step 1, end 0, the intrinsic
    // parameters 0 and aspect 1. A project file overwrites these before anything reads them.
    CZelVideoSequence();
    // Deletes every frame.
    ~CZelVideoSequence();

    CZelVideoSequence(const CZelVideoSequence&) = delete;
    CZelVideoSequence& operator=(const CZelVideoSequence&) = delete;

    int GetFrameCount() const { return frameCount; }

    // Frame i (0-based), owned by the sequence; throws std::out_of_range outside the list.
    CZelVideoFrame* GetFrame(int i) const;

    // Deletes every frame (earlier GetFrame pointers become invalid), then makes n default
    // frames. A negative n makes none.
    void SetFrameCount(int n);

    // Creates and names the frames from imagePath, start, step and end (a step below 1 is
    // stored as 1): frame i gets index i and the image file numbered start + i * step past
    // imagePath's number. Prints "Total frame count:%d\n\n". When there is at least one frame it
    // reads the reference image imagePath for the size only, clears the reduced switch and
    // makes "TMP/" then "DATA/" beside it (one level, result ignored).
    // Returns true on success. Returns false after printing
    // - "ERROR: Can not load imag file: %s\n" when the reference image cannot be loaded (the
    //   frames then exist with default contents), or
    // - "ERROR: Invalid frame range (...)" instead of the count line when the count is negative
    //   or above kMaxFrameCount (no frames are made).
    bool LoadImageSequence();

    // Runs InitStage and then BOStage over frames first .. endExclusive - 1.
    void Run(int first, int endExclusive);
    // Call the installed stages' Init and Optimise with (first, last); nothing without them.
    void InitStage(int first, int last);
    void BOStage(int first, int last);

    // Installs the stage implementation that InitStage and BOStage call (null removes it). The
    // sequence does not own it; it must outlive every Run.
    void SetStages(CDepthStages* implementation) { stages = implementation; }
    CDepthStages* GetStages() const { return stages; }

    // Gives every frame's camera K and ScaledK built from f, fy, cx, cy and skew.
    void BuildIntrinsicMatrices();
    // Turns every frame's pose from world-to-camera into camera-to-world, once.
    void InvertCameraPoses();

    // The largest disparity of the scene estimated from the parser's tracks, or -1.0 when no
    // usable depth exists. Changes nothing.
    double EstimateMaxDisparity(const CTrackFileParser& parser) const;

    std::vector<CZelVideoFrame*> frames;
    int frameCount;
    std::string imagePath;
    std::string projectPath;
    int start;
    int step;
    int end;
    float f;
    float fy;
    float cx;
    float cy;
    float skew;
    float aspect;

  private:
    CDepthStages* stages = nullptr;
};
