#include "stages/journal.h"

#include <chrono>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "io/byteorder.h"
#include "io/writewhole.h"

namespace {

const char* const kHeader = "zel_recover manifest 1";

// The steps whose results are whole outputs of a stage: they have no map in the work folder.
bool IsFinal(const std::string& step) {
    return step == "init" || step == "bo";
}

// Floats as little-endian bytes, whatever the host's order.
std::string EncodeFloats(const std::vector<float>& values) {
    std::string bytes(values.size() * 4, '\0');
    zelio::FloatsToLe(values.data(), values.size(), reinterpret_cast<unsigned char*>(&bytes[0]));
    return bytes;
}

// Reads a whole file of at most `limit` bytes; false when it is missing, unreadable or larger.
bool ReadSmallFile(const std::string& path, uintmax_t limit, std::string& bytes) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > limit) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(static_cast<size_t>(size), '\0');
    in.read(&bytes[0], static_cast<std::streamsize>(size));
    return static_cast<uintmax_t>(in.gcount()) == size;
}

// Writes bytes to path whole, through a temporary name no other process uses: shards that share
// a work folder may keep the same map at once (the same bytes), and must not write into each
// other's temporary file.
bool WriteUnique(const std::string& path, const void* bytes, size_t size, std::string& error) {
    static std::mutex mutex;
    static std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char tag[24];
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::snprintf(tag, sizeof(tag), ".%016" PRIx64, static_cast<uint64_t>(random()));
    }
    const std::string unique = path + tag;
    if (!zelio::WriteBytesWhole(unique, bytes, size, &error)) {
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(unique, path, ec);
    if (ec) {
        error = "can not rename " + unique + ": " + ec.message();
        std::filesystem::remove(unique, ec);
        return false;
    }
    return true;
}

bool HasSize(const std::string& path, uintmax_t a, uintmax_t b) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return !ec && (size == a || size == b);
}

}  // namespace

bool WriteFloatFile(const std::string& path, const std::vector<float>& values, std::string& error) {
    const std::string bytes = EncodeFloats(values);
    return zelio::WriteBytesWhole(path, bytes.data(), bytes.size(), &error);
}

bool ReadFloatFile(const std::string& path, size_t count, bool allowEmpty,
                   std::vector<float>& values, std::string& error) {
    std::string bytes;
    if (!ReadSmallFile(path, static_cast<uintmax_t>(count) * 4, bytes) ||
        !(bytes.size() == count * 4 || (allowEmpty && bytes.empty()))) {
        error = "ERROR: cannot read the map " + path + " (missing, or not " +
                std::to_string(count) + " floats)";
        return false;
    }
    values.assign(bytes.size() / 4, 0.0f);
    zelio::FloatsFromLe(reinterpret_cast<const unsigned char*>(bytes.data()), values.size(),
                        values.data());
    return true;
}

ZelManifest::ZelManifest(std::string manifestPath, std::string workDir, int firstFrame,
                         int lastFrame, size_t pixelCount, std::string optionText)
    : path(std::move(manifestPath)),
      work(std::move(workDir)),
      first(firstFrame),
      last(lastFrame),
      ownFirst(firstFrame),
      ownLast(lastFrame),
      pixels(pixelCount),
      options(std::move(optionText)),
      done(Steps().size(), std::vector<bool>(static_cast<size_t>(lastFrame - firstFrame + 1))) {}

ZelManifest::~ZelManifest() {
    if (file != nullptr) {
        std::fclose(file);
    }
}

const std::vector<std::string>& ZelManifest::Steps() {
    static const std::vector<std::string> steps = {"sweep", "refine", "fuse",   "init", "bo1",
                                                   "bo2",   "bo3",    "bofuse", "bo"};
    return steps;
}

std::string ZelManifest::Hash(const std::string& text) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : text) {
        h = (h ^ c) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof(hex), "%016" PRIx64, h);
    return hex;
}

int ZelManifest::StepIndex(const std::string& step) const {
    const std::vector<std::string>& steps = Steps();
    for (size_t s = 0; s < steps.size(); s++) {
        if (steps[s] == step) {
            return static_cast<int>(s);
        }
    }
    return -1;
}

std::string ZelManifest::MapPath(const std::string& step, int frame) const {
    return work + step + "_" + std::to_string(frame) + ".raw";
}

std::string ZelManifest::MaskPath(const std::string& step, int frame) const {
    return work + step + "_" + std::to_string(frame) + ".mask";
}

bool ZelManifest::Recorded(int step, int frame) const {
    return step >= 0 && frame >= first && frame <= last &&
           done[static_cast<size_t>(step)][static_cast<size_t>(frame - first)];
}

std::vector<std::string> ZelManifest::Read() {
    std::vector<std::string> warnings;
    std::string text;
    // A manifest holds a few short lines per frame and step; anything far larger is not one.
    const uintmax_t limit = 4096 + static_cast<uintmax_t>(last - first + 1) * Steps().size() * 32;
    if (!ReadSmallFile(path, limit, text)) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) {
            warnings.push_back("Warning: cannot read the manifest " + path +
                               " (too large or unreadable); starting afresh");
        }
        return warnings;
    }
    std::istringstream in(text);
    std::string line;
    const std::string optionLine = "options " + Hash(options) + " " + options;
    if (!std::getline(in, line) || line != kHeader || !std::getline(in, line) ||
        line != optionLine) {
        warnings.push_back("Warning: the manifest " + path +
                           " was made with other options or is not one; starting afresh");
        return warnings;
    }
    std::vector<std::vector<bool>> read(done.size(), std::vector<bool>(done[0].size()));
    int count = 0;
    int ignored = 0;
    while (std::getline(in, line)) {
        if (in.eof()) {
            break;  // no line end: cut off while being appended
        }
        char step[16];
        int frame = 0;
        char extra = 0;
        const int fields = std::sscanf(line.c_str(), "%15s %d %c", step, &frame, &extra);
        const int s = fields == 2 ? StepIndex(step) : -1;
        if (s < 0 || frame < first || frame > last) {
            ignored++;
            continue;
        }
        read[static_cast<size_t>(s)][static_cast<size_t>(frame - first)] = true;
        count++;
    }
    if (ignored > 0) {
        warnings.push_back("Warning: " + std::to_string(ignored) +
                           " malformed lines of the manifest " + path + " ignored");
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = std::move(read);
    entries = count;
    return warnings;
}

bool ZelManifest::Start(std::string& error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    std::error_code ec;
    std::filesystem::create_directories(work, ec);
    // What was read back stays in the new manifest, so that it always lists what is done.
    std::string text = std::string(kHeader) + "\noptions " + Hash(options) + " " + options + "\n";
    for (size_t s = 0; s < done.size(); s++) {
        for (size_t k = 0; k < done[s].size(); k++) {
            if (done[s][k]) {
                text += Steps()[s] + " " + std::to_string(first + static_cast<int>(k)) + "\n";
            }
        }
    }
    if (!zelio::WriteBytesWhole(path, text.data(), text.size(), &error)) {
        return false;
    }
    file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        error = "can not append to " + path;
        return false;
    }
    return true;
}

void ZelManifest::Share(int own0, int own1) {
    shared = true;
    ownFirst = own0;
    ownLast = own1;
}

void ZelManifest::Append(const std::string& step, int frame) {
    const int s = StepIndex(step);
    if (s < 0 || frame < first || frame > last) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    done[static_cast<size_t>(s)][static_cast<size_t>(frame - first)] = true;
    if (file != nullptr) {
        // One short line, flushed at once: a killed run loses at most the line being written.
        std::fprintf(file, "%s %d\n", step.c_str(), frame);
        std::fflush(file);
    }
}

bool ZelManifest::Done(const std::string& step, int frame) const {
    const int s = StepIndex(step);
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool recorded = Recorded(s, frame);
        if (IsFinal(step) ||
            (!recorded && !(shared && s >= 0 && frame >= first && frame <= last))) {
            return recorded;
        }
    }
    const std::string map = MapPath(step, frame);
    if (!HasSize(map, 0, pixels * 4)) {
        return false;
    }
    return (step != "fuse" && step != "bofuse") || HasSize(MaskPath(step, frame), 0, pixels);
}

bool ZelManifest::Save(const std::string& step, int frame, const std::vector<float>& map,
                       const std::vector<uint8_t>* mask, std::string& error) {
    // The mask first: Done takes a fusion's map for complete only with its mask.
    if (mask != nullptr) {
        const size_t size = mask->size() == pixels ? pixels : 0;
        if (!WriteUnique(MaskPath(step, frame), mask->data(), size, error)) {
            return false;
        }
    }
    const std::string bytes = EncodeFloats(map.size() == pixels ? map : std::vector<float>());
    if (!WriteUnique(MapPath(step, frame), bytes.data(), bytes.size(), error)) {
        return false;
    }
    Append(step, frame);
    return true;
}

bool ZelManifest::Load(const std::string& step, int frame, std::vector<float>& map,
                       std::vector<uint8_t>* mask, std::string& error) const {
    if (!ReadFloatFile(MapPath(step, frame), pixels, true, map, error)) {
        return false;
    }
    if (mask != nullptr) {
        std::string bytes;
        const std::string maskPath = MaskPath(step, frame);
        if (!ReadSmallFile(maskPath, pixels, bytes) || (!bytes.empty() && bytes.size() != pixels)) {
            error = "ERROR: cannot read the kept mask " + maskPath;
            return false;
        }
        mask->assign(bytes.begin(), bytes.end());
    }
    return true;
}

void ZelManifest::MarkDone(const std::string& step, int frame) {
    Append(step, frame);
}

void ZelManifest::Discard(const std::vector<std::string>& steps) {
    if (!shared) {
        DiscardOwn(steps);
        return;
    }
    // Other shards read a frame's maps of every step but the fusions.
    std::vector<std::string> own;
    for (const std::string& step : steps) {
        if (step == "fuse" || step == "bofuse") {
            own.push_back(step);
        }
    }
    DiscardOwn(own);
}

void ZelManifest::DiscardOwn(const std::vector<std::string>& steps) {
    std::error_code ec;
    for (const std::string& step : steps) {
        for (int i = ownFirst; i <= ownLast; i++) {
            std::filesystem::remove(MapPath(step, i), ec);
            std::filesystem::remove(MaskPath(step, i), ec);
        }
    }
}
