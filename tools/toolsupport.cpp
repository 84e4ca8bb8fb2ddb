#include "tools/toolsupport.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

namespace zeltool {

namespace {

void Silent(const char*) {}

#ifdef _WIN32
int DupFd(int fd) {
    return _dup(fd);
}
int Dup2Fd(int from, int to) {
    return _dup2(from, to);
}
void CloseFd(int fd) {
    _close(fd);
}
int StdoutFd() {
    return _fileno(stdout);
}
int StderrFd() {
    return _fileno(stderr);
}
#else
int DupFd(int fd) {
    return dup(fd);
}
int Dup2Fd(int from, int to) {
    return dup2(from, to);
}
void CloseFd(int fd) {
    close(fd);
}
int StdoutFd() {
    return fileno(stdout);
}
int StderrFd() {
    return fileno(stderr);
}
#endif

// While alive, what the process prints on standard output goes to standard error.
class StdoutToStderr {
  public:
    StdoutToStderr() {
        std::fflush(stdout);
        saved_ = DupFd(StdoutFd());
        if (saved_ >= 0 && Dup2Fd(StderrFd(), StdoutFd()) < 0) {
            CloseFd(saved_);
            saved_ = -1;
        }
    }
    ~StdoutToStderr() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            Dup2Fd(saved_, StdoutFd());
            CloseFd(saved_);
        }
    }
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;

  private:
    int saved_ = -1;
};

bool Parse(const char* path, CZelVideoSequence& sequence, std::string& reason) {
    CTrackFileParser parser(&sequence);
    const bool parsed = parser.Parse(path);
    reason = parser.DescribeError();
    return parsed;
}

}  // namespace

bool LoadProject(const char* path, CZelVideoSequence& sequence, FILE* messages, ParserLines lines) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        std::fprintf(messages, "ERROR: Can not find the project file: %s\n", path);
        return false;
    }
    // The text reader's traces are of no use to a tool; keep standard error quiet.
    SetDiagnosticSink(Silent);
    bool parsed = false;
    std::string reason;
    if (lines == ParserLines::kStderr) {
        StdoutToStderr redirect;
        parsed = Parse(path, sequence, reason);
    } else {
        parsed = Parse(path, sequence, reason);
    }
    SetDiagnosticSink(nullptr);
    if (!parsed) {
        std::fprintf(messages, "ERROR: Can not read the project file: %s (%s)\n", path,
                     reason.c_str());
        return false;
    }
    const int W = CZelVideoFrame::GetWorkingWidth();
    const int H = CZelVideoFrame::GetWorkingHeight();
    if (sequence.GetFrameCount() <= 0 || W <= 0 || H <= 0) {
        std::fprintf(messages,
                     "ERROR: The project has no frames or no image size (%d frames, %d x %d)\n",
                     sequence.GetFrameCount(), W, H);
        return false;
    }
    return true;
}

int TakeScaleOption(int argc, const char* const argv[], int& i, double& scale,
                    std::string* problem) {
    const std::string arg = argv[i];
    std::string value;
    if (arg == "--scale") {
        if (i + 1 >= argc) {
            *problem = "Option --scale needs a value";
            return -1;
        }
        value = argv[++i];
    } else if (arg.rfind("--scale=", 0) == 0) {
        value = arg.substr(8);
    } else {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const double parsed = value.empty() || std::isspace(static_cast<unsigned char>(value[0]))
                              ? 0.0
                              : std::strtod(value.c_str(), &end);
    if (end != value.c_str() + value.size() || errno != 0 || !std::isfinite(parsed) ||
        parsed <= 0.0) {
        *problem = "Bad --scale value '" + value + "' (a finite number greater than 0)";
        return -1;
    }
    scale = parsed;
    return 1;
}

bool OpenDirectoryArgument(std::string& dir, const char* what, FILE* messages) {
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec)) {
        std::fprintf(messages, "ERROR: Can not find the %s: %s\n", what, dir.c_str());
        return false;
    }
    if (dir.back() != '/' && dir.back() != '\\') {
        dir += '/';
    }
    return true;
}

bool ParseBounded(const char* text, int lo, int hi, int& out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool ParseFrameNumber(const char* text, int& out) {
    const char* end = text + std::strlen(text);
    if (text == end || !std::isdigit(static_cast<unsigned char>(*text))) {
        return false;
    }
    const auto result = std::from_chars(text, end, out);
    return result.ec == std::errc() && result.ptr == end && out >= 0;
}

}  // namespace zeltool
