#include "parser/trackfileparser.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "util/filename.h"
#include "util/numparse.h"

namespace {

const char kHeader[] = "#camera track project file";
const size_t kHeaderLength = sizeof(kHeader) - 1;  // 26 characters

// The largest value a keyed line may carry: what wordBuffer holds.
const size_t kMaxValueLength = sizeof(CFileParser::wordBuffer) - 1;

// The fewest bytes that n words can occupy: one character and one separator each, except that
// the last word may end the file. Used to refuse counts that the rest of a file cannot hold.
int64_t MinBytesOfWords(int64_t n) {
    return n > 0 ? 2 * n - 1 : 0;
}

bool IsTrimSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Reads words as ReadWord does and converts them as ParseInt and ParseDouble do, but takes a
// plain number standing alone straight from the buffer, without copying it into wordBuffer
// first; any other word goes through ReadWord and the general conversion. Position moves
// exactly as with ReadWord. wordBuffer is brought up to date by Finish(): callers that look at
// it call Finish() first.
class WordNumberReader {
  public:
    explicit WordNumberReader(CFileParser& reader) : reader_(reader) {}
    WordNumberReader(const WordNumberReader&) = delete;
    WordNumberReader& operator=(const WordNumberReader&) = delete;

    int Int() {
        int value = 0;
        if (const char* word = NextWord()) {
            if (const char* stop = ParseWordInt(word, End(), &value)) {
                Took(word, stop);
                return value;
            }
        }
        General();
        return ParseInt(reader_.wordBuffer);
    }

    double Double() {
        double value = 0;
        if (const char* word = NextWord()) {
            if (const char* stop = ParseWordDouble(word, End(), &value)) {
                Took(word, stop);
                return value;
            }
        }
        General();
        return ParseDouble(reader_.wordBuffer);
    }

    // ReadWord itself.
    int Skip() {
        last_ = nullptr;
        return reader_.ReadWord();
    }

    // Copies the last word taken from the buffer into wordBuffer, as ReadWord would have.
    void Finish() {
        if (last_ != nullptr) {
            const size_t size = static_cast<size_t>(lastEnd_ - last_);
            std::memcpy(reader_.wordBuffer, last_, size);
            reader_.wordBuffer[size] = '\0';
            last_ = nullptr;
        }
    }

  private:
    const char* End() const { return reader_.buffer + reader_.length; }

    // The first character of the next word, or nullptr at the end of the buffer.
    const char* NextWord() const {
        int32_t pos = reader_.position < 0 ? 0 : reader_.position;
        while (pos < reader_.length && IsWordSpace(reader_.buffer[pos])) {
            pos++;
        }
        return pos < reader_.length ? reader_.buffer + pos : nullptr;
    }

    // The word [word, stop) was converted; the white space at stop ends it and is consumed.
    void Took(const char* word, const char* stop) {
        reader_.position = static_cast<int32_t>(stop - reader_.buffer) + 1;
        last_ = word;
        lastEnd_ = stop;
    }

    void General() {
        last_ = nullptr;
        reader_.ReadWord();
    }

    CFileParser& reader_;
    const char* last_ = nullptr;
    const char* lastEnd_ = nullptr;
};

// The "Sequence:" value: trimmed of blanks; "./name" is relative to the project file's folder.
// The first two characters go whatever they are, so "../x" becomes folder + "/x".
void SetImagePath(CZelVideoSequence& sequence, const std::string& raw) {
    size_t begin = 0;
    size_t end = raw.size();
    while (begin < end && IsTrimSpace(raw[begin])) {
        begin++;
    }
    while (end > begin && IsTrimSpace(raw[end - 1])) {
        end--;
    }
    std::string value = raw.substr(begin, end - begin);
    if (!value.empty() && value[0] == '.') {
        value.erase(0, 2);
        sequence.imagePath = Directory(sequence.projectPath) + value;
    } else {
        sequence.imagePath = value;
    }
}

}  // namespace

CTrackFileParser::CTrackFileParser(CZelVideoSequence* seq) : sequence(seq) {}

CTrackFileParser::~CTrackFileParser() {
    tracks.clear();
    frameMatchPoints.clear();
}

const char* ProjectErrorText(ProjectError error) {
    switch (error) {
        case ProjectError::kNone:
            return "no error";
        case ProjectError::kCannotOpen:
            return "cannot open the project file";
        case ProjectError::kNotProjectFile:
            return "not a camera track project file";
        case ProjectError::kMissingSection:
            return "missing section";
        case ProjectError::kValueTooLong:
            return "value too long";
        case ProjectError::kFrameRange:
            return "refused frame range";
        case ProjectError::kReferenceImage:
            return "cannot load the reference image";
        case ProjectError::kMissingFrame0:
            return "missing FRAME0 block";
    }
    return "unknown error";
}

std::string CTrackFileParser::DescribeError() const {
    std::string text = ProjectErrorText(lastError);
    if (!errorSubject.empty()) {
        text += ": " + errorSubject;
    }
    return text;
}

bool CTrackFileParser::Fail(ProjectError error, const std::string& subject) {
    lastError = error;
    errorSubject = subject;
    const char* project = sequence->projectPath.c_str();
    switch (error) {
        case ProjectError::kCannotOpen:
            ConsolePrintf("ERROR:Can not find the OVK project file: %s \n", subject.c_str());
            break;
        case ProjectError::kNotProjectFile:
            ConsolePrintf("This is not camera track Project File!\n");
            break;
        case ProjectError::kMissingSection:
            ConsolePrintf("ERROR:Can not find the %s section in the project file: %s\n",
                          subject.c_str(), project);
            break;
        case ProjectError::kValueTooLong:
            ConsolePrintf(
                "ERROR:The value of \"%s\" is longer than %d characters in the project file: %s\n",
                subject.c_str(), static_cast<int>(kMaxValueLength), project);
            break;
        case ProjectError::kMissingFrame0:
            ConsolePrintf(
                "ERROR:Can not find the FRAME0 block in the Camera Track section of the project "
                "file: %s\n",
                project);
            break;
        case ProjectError::kNone:
        case ProjectError::kFrameRange:
        case ProjectError::kReferenceImage:
            // The sequence has printed its own line.
            break;
    }
    std::fflush(stdout);
    return false;
}

void CTrackFileParser::HandOverMatchPoints() const {
    for (int i = 0; i < sequence->GetFrameCount(); i++) {
        const size_t n = static_cast<size_t>(i);
        sequence->GetFrame(i)->matchPoints =
            n < frameMatchPoints.size() ? frameMatchPoints[n] : nullptr;
    }
}

bool CTrackFileParser::Parse(const char* path) {
    lastError = ProjectError::kNone;
    errorSubject.clear();
    if (!LoadFile(path)) {
        return Fail(ProjectError::kCannotOpen, path);
    }
    sequence->projectPath = path;
    position = 0;

    ReadLine();
    if (std::strncmp(lineBuffer, kHeader, kHeaderLength) != 0) {
        return Fail(ProjectError::kNotProjectFile);
    }

    if (!ReadImageSequence()) {
        return false;
    }
    if (!ReadIntrinsicsChecked()) {
        return false;
    }
    if (!ReadCameraTrackChecked()) {
        return false;
    }
    ReadFeatureTracks();

    sequence->BuildIntrinsicMatrices();
    sequence->InvertCameraPoses();
    return true;
}

int CTrackFileParser::ReadKeyValue(const char* key, int first, int last) {
    if (!FindLineInRange(key, first, last)) {
        return 0;
    }
    // The value starts as many characters into the line as the key has, wherever the key
    // stands in the line: a key must begin its line.
    const size_t keyLength = std::strlen(key);
    const size_t lineLength = std::strlen(lineBuffer);
    const size_t valueLength = lineLength > keyLength ? lineLength - keyLength : 0;
    if (valueLength > kMaxValueLength) {
        Fail(ProjectError::kValueTooLong, key);
        return -1;
    }
    std::memcpy(wordBuffer, lineBuffer + (lineLength - valueLength), valueLength);
    wordBuffer[valueLength] = '\0';
    return 1;
}

bool CTrackFileParser::FindRequiredSection(const char* name, int& first, int& last) {
    FindTag(name, first, last);
    if (first < 0 || last < 0) {
        return Fail(ProjectError::kMissingSection, name);
    }
    return true;
}

bool CTrackFileParser::ReadImageSequence() {
    // The search starts where the header line ended.
    int first = -1;
    int last = -1;
    if (!FindRequiredSection("Image Sequence", first, last)) {
        return false;
    }

    // The four keys, each looked up as the first line of the section that holds it.
    struct Key {
        const char* name;
        void (*apply)(CZelVideoSequence& sequence, const std::string& value);
    };
    static const Key kKeys[] = {
        {"Sequence:", SetImagePath},
        {"start:",
         [](CZelVideoSequence& seq, const std::string& v) { seq.start = ParseInt(v.c_str()); }},
        {"step:",
         [](CZelVideoSequence& seq, const std::string& v) {
             const int step = ParseInt(v.c_str());
             seq.step = step < 1 ? 1 : step;
         }},
        {"end:",
         [](CZelVideoSequence& seq, const std::string& v) { seq.end = ParseInt(v.c_str()); }},
    };
    for (const Key& key : kKeys) {
        const int found = ReadKeyValue(key.name, first, last);
        if (found < 0) {
            return false;
        }
        if (found > 0) {
            key.apply(*sequence, wordBuffer);
        }
    }

    // The frame count in 64 bits: end - start may not fit an int. A count that the sequence
    // will refuse does not size the per-frame arrays.
    const int64_t s = sequence->step >= 1 ? sequence->step : 1;
    const int64_t count = (static_cast<int64_t>(sequence->end) - sequence->start) / s + 1;
    frameMatchPoints.clear();
    if (count >= 0 && count <= kMaxFrameCount) {
        frameMatchPoints.resize(static_cast<size_t>(count));
    }

    if (!sequence->LoadImageSequence()) {
        const bool refused = count < 0 || count > kMaxFrameCount;
        return Fail(refused ? ProjectError::kFrameRange : ProjectError::kReferenceImage,
                    refused ? std::string() : sequence->imagePath);
    }
    return true;
}

void CTrackFileParser::ReadIntrinsics() {
    ReadIntrinsicsChecked();
}

bool CTrackFileParser::ReadIntrinsicsChecked() {
    position = 0;
    int first = -1;
    int last = -1;
    if (!FindRequiredSection("intrinsic parameter", first, last)) {
        return false;
    }
    position = first;
    float* const values[] = {&sequence->f, &sequence->fy, &sequence->cx, &sequence->cy,
                             &sequence->skew};
    for (float* value : values) {
        ReadWord();
        *value = static_cast<float>(ParseDouble(wordBuffer));
    }
    // The aspect ratio counts only when at least one more character of the section follows the
    // white space that ended it.
    ReadWord();
    if (position <= last) {
        sequence->aspect = static_cast<float>(ParseDouble(wordBuffer));
        sequence->fy = sequence->aspect * sequence->f;
    }
    return true;
}

void CTrackFileParser::ReadFeatureTracks() {
    int first = -1;
    int last = -1;
    position = 0;
    FindTag("Feature Tracks", first, last);
    if (first < 0 || last < 0) {
        return;
    }
    position = first;

    TrackHeader header = ReadTrackHeader();
    tracks.clear();
    if (header.recordCount <= 0) {
        return;
    }
    // A record is at least six words. More records than the rest of the file could hold means a
    // damaged count: read only the records that stand inside the section.
    header.countTooLarge =
        MinBytesOfWords(6 * static_cast<int64_t>(header.recordCount)) > length - position;
    if (header.countTooLarge) {
        ConsolePrintf(
            "Warning: the project file announces %d feature tracks, more than it can hold; "
            "reading the tracks up to </Feature Tracks>\n",
            header.recordCount);
        std::fflush(stdout);
    } else {
        tracks.reserve(static_cast<size_t>(header.recordCount));
    }

    // Each observation's index in its frame's array is counted while the tracks are read, so
    // that the frame arrays can then be allocated at their exact size.
    std::vector<uint32_t> frameCounts(frameMatchPoints.size());
    for (size_t i = 0; i < frameCounts.size(); i++) {
        frameCounts[i] =
            frameMatchPoints[i] ? static_cast<uint32_t>(frameMatchPoints[i]->size()) : 0u;
    }
    const std::vector<uint32_t> frameBase = frameCounts;
    const int outsideFrames = ReadTrackRecords(header, last, frameCounts);
    FillFrameArrays(frameBase, frameCounts);

    if (outsideFrames > 0) {
        ConsolePrintf(
            "Warning: %d feature observations name a frame outside 0..%d; they are kept in "
            "their tracks but in no frame\n",
            outsideFrames, static_cast<int>(frameMatchPoints.size()) - 1);
        std::fflush(stdout);
    }
}

CTrackFileParser::TrackHeader CTrackFileParser::ReadTrackHeader() {
    TrackHeader header;
    ReadWord();
    if (std::strcmp(wordBuffer, "kpts:") == 0) {
        ReadWord();
        header.extraWords = ParseInt(wordBuffer);
        header.marker = true;
        ReadWord();
    }
    header.recordCount = ParseInt(wordBuffer);
    return header;
}

int CTrackFileParser::ReadTrackRecords(const TrackHeader& header, int last,
                                       std::vector<uint32_t>& frameCounts) {
    const size_t frameEntries = frameCounts.size();
    int outsideFrames = 0;
    WordNumberReader words(*this);
    for (int record = 0; record < header.recordCount; record++) {
        if (header.countTooLarge) {
            int next = position;
            while (next < length && IsWordSpace(buffer[next])) {
                next++;
            }
            if (next > last) {
                break;
            }
        }

        int observationCount = words.Int();
        const int id = words.Int();
        const int status = words.Int();
        Vector3d point;
        for (int k = 0; k < 3; k++) {
            point[k] = words.Double();
        }
        if (observationCount < 0) {
            observationCount = 0;
        }
        // Three words per observation.
        if (MinBytesOfWords(3 * static_cast<int64_t>(observationCount)) > length - position) {
            if (!header.countTooLarge) {
                ConsolePrintf(
                    "Warning: feature track %d announces %d observations, more than the project "
                    "file can hold; the feature tracks end before it\n",
                    static_cast<int>(tracks.size()), observationCount);
                std::fflush(stdout);
            }
            break;
        }

        auto linker = std::make_shared<CMatchLinker>();
        linker->id = id;
        linker->status = status;
        linker->point = point;
        linker->SetTrackPointCount(static_cast<unsigned>(observationCount));
        CTrackPoint* points = linker->trackPoints.data();
        for (int j = 0; j < observationCount; j++) {
            CTrackPoint& p = points[j];
            p.frame = words.Int();
            if (p.frame >= 0 && static_cast<size_t>(p.frame) < frameEntries) {
                p.index = static_cast<int>(frameCounts[static_cast<size_t>(p.frame)]++);
            } else {
                p.index = -1;
                outsideFrames++;
            }
            p.x = words.Double();
            p.y = words.Double();
        }
        linker->index = static_cast<int>(tracks.size());
        tracks.push_back(std::move(linker));

        if (header.marker) {
            // Past the end every word is empty: stop discarding there.
            for (int k = 0; k < header.extraWords; k++) {
                if (!words.Skip()) {
                    break;
                }
            }
        }
    }
    words.Finish();
    return outsideFrames;
}

void CTrackFileParser::FillFrameArrays(const std::vector<uint32_t>& frameBase,
                                       const std::vector<uint32_t>& frameCounts) {
    // Each array is allocated once at its final size and filled in reading order, which gives
    // every observation the index counted while reading.
    for (size_t i = 0; i < frameCounts.size(); i++) {
        if (frameCounts[i] == frameBase[i]) {
            continue;
        }
        if (!frameMatchPoints[i]) {
            frameMatchPoints[i] = std::make_shared<std::vector<CMatchPoint>>();
        }
        frameMatchPoints[i]->reserve(frameCounts[i]);
    }
    for (const std::shared_ptr<CMatchLinker>& linker : tracks) {
        for (const CTrackPoint& p : linker->trackPoints) {
            if (p.index >= 0) {
                frameMatchPoints[static_cast<size_t>(p.frame)]->emplace_back(p.x, p.y, linker);
            }
        }
    }
}

void CTrackFileParser::ReadCameraTrack() {
    ReadCameraTrackChecked();
}

bool CTrackFileParser::ReadCameraTrackChecked() {
    position = 0;
    int first = -1;
    int last = -1;
    if (!FindRequiredSection("Camera Track", first, last)) {
        return false;
    }
    // The block of frame i is searched after the end of the block of frame i - 1; a frame whose
    // block is not found reuses the block found last.
    int searchStart = first;
    int blockFirst = -1;
    int blockLast = -1;
    const int frameCount = sequence->GetFrameCount();
    // A search can only find a tag that occurs at or after its start. Knowing where each block
    // tag occurs last lets the loop skip the searches that must fail, so that many missing blocks
    // do not rescan the rest of the section once each.
    std::vector<int> lastTag;
    IndexFrameTags(first, last, frameCount, lastTag);
    for (int i = 0; i < frameCount; i++) {
        char name[32];
        std::snprintf(name, sizeof(name), "FRAME%d", i);
        if (lastTag[static_cast<size_t>(i)] >= searchStart) {
            FindTagInRange(name, searchStart, last, blockFirst, blockLast);
        }
        if (i == 0 && (blockFirst < 0 || blockLast < 0)) {
            return Fail(ProjectError::kMissingFrame0);
        }
        ReadFrameCamera(sequence->GetFrame(i), blockFirst, blockLast);
        searchStart = blockLast;
    }
    return true;
}

void CTrackFileParser::IndexFrameTags(int first, int last, int frameCount,
                                      std::vector<int>& lastTag) const {
    lastTag.assign(static_cast<size_t>(frameCount > 0 ? frameCount : 0), -1);
    // Lines that start at or before last are searched whole, and a line holds at most
    // sizeof(lineBuffer) - 1 characters: no occurrence that a search can find starts later.
    const int64_t scanEnd =
        std::min<int64_t>(length, static_cast<int64_t>(last) + 1 + sizeof(lineBuffer));
    const char* const end = buffer + scanEnd;
    const char* p = buffer + first;
    while (p < end) {
        const char* tag =
            static_cast<const char*>(std::memchr(p, '<', static_cast<size_t>(end - p)));
        if (tag == nullptr) {
            break;
        }
        p = tag + 1;
        const char* q = p;
        if (q < end && *q == '/') {
            q++;
        }
        if (end - q < 7 || std::memcmp(q, "FRAME", 5) != 0) {
            continue;
        }
        q += 5;
        // The number as "%d" prints it: no sign, no leading zero.
        if (*q < '0' || *q > '9' || (*q == '0' && q + 1 < end && q[1] >= '0' && q[1] <= '9')) {
            continue;
        }
        int64_t number = 0;
        while (q < end && *q >= '0' && *q <= '9' && number < frameCount) {
            number = number * 10 + (*q - '0');
            q++;
        }
        if (q < end && *q == '>' && number < frameCount) {
            lastTag[static_cast<size_t>(number)] = static_cast<int>(tag - buffer);
        }
    }
}

void CTrackFileParser::ReadFrameCamera(CZelVideoFrame* frame, int first, int /*last*/) {
    position = first;
    ReadWord();
    frame->focalScale =
        static_cast<float>(ParseDouble(wordBuffer) / static_cast<double>(sequence->f));
    for (int row = 0; row < 3; row++) {
        for (int col = 0; col < 4; col++) {
            ReadWord();
            const double value = ParseDouble(wordBuffer);
            if (col < 3) {
                frame->SetRotation(row, col, value);
            } else {
                frame->SetTranslation(row, value);
            }
        }
    }
}
