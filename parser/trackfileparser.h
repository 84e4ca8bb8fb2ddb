// CTrackFileParser: reads a camera-track project file into a CZelVideoSequence.
//
// The file has a header line beginning "#camera track project file" and four tagged sections:
// "Image Sequence" (keyed lines), "intrinsic parameter", "Feature Tracks" (optional) and
// "Camera Track" (streams of white-space separated words). The parser keeps the feature tracks
// in two views (parser/featuretracks.h): `tracks` in file order, and `frameMatchPoints` with one
// shared array of observations per frame (null for a frame that no observation names).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "parser/featuretracks.h"
#include "parser/fileparser.h"

class CZelVideoSequence;
class CZelVideoFrame;

// Why Parse failed, for library callers that want more than true or false.
enum class ProjectError {
    kNone,            // no failure (yet)
    kCannotOpen,      // the file cannot be opened or read
    kNotProjectFile,  // the first line lacks the header
    kMissingSection,  // a required section's tags are missing (GetErrorSubject names it)
    kValueTooLong,    // a keyed value is longer than 999 characters (GetErrorSubject: the key)
    kFrameRange,      // the frame range gives a negative or too large frame count
    kReferenceImage,  // the reference image cannot be loaded
    kMissingFrame0,   // the camera track has no FRAME0 block for a non-empty sequence
};

// A short text for the reason: "cannot open the project file", "missing section", ...
const char* ProjectErrorText(ProjectError error);

class CTrackFileParser : public CFileParser {
  public:
    // Binds the parser to the sequence it fills; the sequence is not owned.
    explicit CTrackFileParser(CZelVideoSequence* sequence);
    // Releases `tracks`, then `frameMatchPoints`, then the buffer.
    ~CTrackFileParser() override;

    // Parses the project file at path into the sequence. Returns true when the file was loaded,
    // carries the header, has its required sections ("Image Sequence", "intrinsic parameter",
    // "Camera Track" with a FRAME0 block when there is a frame) and its images could be loaded.
    // Prints "ERROR:Can not find the OVK project file: %s \n" when the file cannot be loaded,
    // "This is not camera track Project File!" when the header is wrong, and an "ERROR..." line
    // naming the section or block that is missing.
    //
    // Order: header, "Image Sequence" (its tags are checked before any image is loaded), the
    // intrinsics, the camera track (the section and FRAME0 are checked before any frame is
    // written), and the feature tracks last, so that a file without cameras fails before its
    // largest section is read. The cameras and the tracks do not depend on each other.
    bool Parse(const char* path);

    // Gives every frame of the sequence the observation list held here for it (shared, so the
    // lists and through them the tracks stay alive after the parser is gone). Frames without a
    // list get null. Programs call it once after a successful Parse.
    void HandOverMatchPoints() const;

    // The reason of the last failed Parse (kNone after a successful one), the section or key it
    // names (empty for the other reasons), and both in one line ("missing section: Camera
    // Track").
    ProjectError GetLastError() const { return lastError; }
    const std::string& GetErrorSubject() const { return errorSubject; }
    std::string DescribeError() const;

    // Reads the "Image Sequence" section into the sequence and loads the image sequence;
    // returns the result of LoadImageSequence. Returns false with an "ERROR..." line, before any
    // image is loaded, when the section's tags are missing or a keyed value is longer than 999
    // characters. Sizes frameMatchPoints to the frame count (null entries) only when that count
    // is between 0 and kMaxFrameCount; otherwise it is left empty and LoadImageSequence refuses
    // the count with its own message.
    bool ReadImageSequence();
    // Reads f, fy, cx, cy, skew and the optional aspect ratio into the sequence. Prints an
    // "ERROR..." line and reads nothing when the section is missing.
    void ReadIntrinsics();
    // Reads the "Feature Tracks" section (optional: without it the store is unchanged) into
    // `tracks` and `frameMatchPoints`. An observation whose frame index is outside
    // frameMatchPoints stays in its track with index -1 and enters no frame array; one
    // "Warning..." line counts them. A negative observation count reads as 0. A record or
    // observation count that the rest of the file could not hold prints one "Warning..." line and
    // ends the reading, keeping the whole records read so far.
    void ReadFeatureTracks();
    // Reads one camera block per frame from the "Camera Track" section; a frame whose block is
    // missing gets the camera of the block found last. Prints an "ERROR..." line and writes no
    // frame when the section, or the FRAME0 block of a non-empty sequence, is missing.
    void ReadCameraTrack();
    // Reads the 13 words of one camera block starting at `first` into the frame: the focal
    // length (focalScale = value / f) and the 3 x 4 world-to-camera pose, row by row.
    void ReadFrameCamera(CZelVideoFrame* frame, int first, int last);

    CZelVideoSequence* sequence;
    std::vector<std::shared_ptr<std::vector<CMatchPoint>>> frameMatchPoints;
    std::vector<std::shared_ptr<CMatchLinker>> tracks;

  private:
    // Records the reason and prints its "ERROR..." line (every line of the parser's own comes
    // from here; the sequence prints those of kFrameRange and kReferenceImage). Returns false.
    bool Fail(ProjectError error, const std::string& subject = std::string());

    ProjectError lastError = ProjectError::kNone;
    std::string errorSubject;

    // The readers with their outcome: false when a required section or block is missing (the
    // "ERROR..." line is printed then).
    bool ReadIntrinsicsChecked();
    bool ReadCameraTrackChecked();
    // Finds the section's tags from `position`; false with "ERROR:Can not find the <name>
    // section in the project file: <path>" when either tag is missing.
    bool FindRequiredSection(const char* name, int& first, int& last);
    // Copies the value of the first line of [first, last] holding key into wordBuffer. Returns
    // 1 when found, 0 when absent, -1 (with an "ERROR..." line) when the value is too long.
    int ReadKeyValue(const char* key, int first, int last);
    // The head of the "Feature Tracks" section: the optional "kpts:" marker with the number of
    // extra words per record, and the record count. countTooLarge is set by the caller when the
    // rest of the file cannot hold that many records.
    struct TrackHeader {
        int extraWords = 0;
        bool marker = false;
        int recordCount = 0;
        bool countTooLarge = false;
    };
    TrackHeader ReadTrackHeader();
    // Reads the records into `tracks`, giving each observation of a frame below
    // frameCounts.size() the next index of that frame (counted in frameCounts); returns the
    // number of observations that name no such frame. Stops at `last` when the count is too
    // large, and before a record whose observation count the file cannot hold.
    int ReadTrackRecords(const TrackHeader& header, int last, std::vector<uint32_t>& frameCounts);
    // Appends every track's observations to their frames' arrays, allocated once at their final
    // sizes.
    void FillFrameArrays(const std::vector<uint32_t>& frameBase,
                         const std::vector<uint32_t>& frameCounts);
    // lastTag[i] = the buffer position of the last "<FRAMEi>" or "</FRAMEi>" that a block search
    // over [first, last] could find, or -1 when there is none; i below frameCount.
    void IndexFrameTags(int first, int last, int frameCount, std::vector<int>& lastTag) const;
};
