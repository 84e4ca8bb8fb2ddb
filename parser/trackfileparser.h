// CTrackFileParser: reads a camera-track project file into a CZelVideoSequence.
//
// The file has a header line beginning "#camera track project file" and four tagged sections:
// "Image Sequence" (keyed lines), "intrinsic parameter", "Feature Tracks" (optional) and
// "Camera Track" (streams of white-space separated words). The parser keeps the feature tracks
// in two views (parser/featuretracks.h): `tracks` in file order, and `frameMatchPoints` with one
// shared array of observations per frame (null for a frame that no observation names).
#pragma once

#include <memory>
#include <vector>

#include "parser/featuretracks.h"
#include "parser/fileparser.h"

class CZelVideoSequence;
class CZelVideoFrame;

class CTrackFileParser : public CFileParser {
  public:
    // Binds the parser to the sequence it fills; the sequence is not owned.
    explicit CTrackFileParser(CZelVideoSequence* sequence);
    // Releases `tracks`, then `frameMatchPoints`, then the buffer.
    ~CTrackFileParser() override;

    // Parses the project file at path into the sequence. Returns true when the file was loaded,
    // carries the header, has its required sections and its images could be loaded. Prints
    // "ERROR:Can not find the OVK project file: %s \n" when the file cannot be loaded and
    // "This is not camera track Project File!" when the header is wrong.
    bool Parse(const char* path);

    // Reads the "Image Sequence" section into the sequence and loads the image sequence;
    // returns the result of LoadImageSequence (false also when the section is unusable).
    bool ReadImageSequence();
    void ReadIntrinsics();
    void ReadFeatureTracks();
    void ReadCameraTrack();
    // Reads the 13 words of one camera block starting at `first` into the frame.
    void ReadFrameCamera(CZelVideoFrame* frame, int first, int last);

    CZelVideoSequence* sequence;
    std::vector<std::shared_ptr<std::vector<CMatchPoint>>> frameMatchPoints;
    std::vector<std::shared_ptr<CMatchLinker>> tracks;
};
