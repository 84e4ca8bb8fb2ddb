#include "parser/fileparser.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "util/chars.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Sizes of the two fixed buffers, terminator included.
constexpr int32_t kLineSize = 10000;
constexpr int32_t kWordSize = 1000;

// The file layer: open for binary reading, length, read, close. Failures carry the operating
// system's error number.
class InputFile {
  public:
    InputFile() = default;
    ~InputFile() { Close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Returns 0 on success, else the error number.
    int Open(const char* path) {
#ifdef _WIN32
        fd_ = _open(path, _O_RDONLY | _O_BINARY);
#else
        do {
            fd_ = open(path, O_RDONLY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
#endif
        return fd_ < 0 ? errno : 0;
    }

    // The size in bytes, or -1 with the error number in *cause.
    int64_t Length(int* cause) const {
#ifdef _WIN32
        struct _stat64 info;
        if (_fstat64(fd_, &info) != 0) {
#else
        struct stat info;
        if (fstat(fd_, &info) != 0) {
#endif
            *cause = errno;
            return -1;
        }
        return static_cast<int64_t>(info.st_size);
    }

    // Reads exactly count bytes. Returns 0 on success, else the error number; reaching the end of
    // the file before count bytes (the file shrank) is an error too, reported as EIO.
    int Read(char* data, int64_t count) {
        while (count > 0) {
            const int64_t chunk = count < (int64_t{1} << 30) ? count : (int64_t{1} << 30);
#ifdef _WIN32
            const int64_t got = _read(fd_, data, static_cast<unsigned>(chunk));
#else
            const int64_t got = read(fd_, data, static_cast<size_t>(chunk));
#endif
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            if (got == 0) {
                return EIO;
            }
            data += got;
            count -= got;
        }
        return 0;
    }

    void Close() {
        if (fd_ >= 0) {
#ifdef _WIN32
            _close(fd_);
#else
            close(fd_);
#endif
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

}  // namespace

CFileParser::CFileParser() : length(0), buffer(nullptr), position(0) {
    lineBuffer[0] = '\0';
    wordBuffer[0] = '\0';
}

CFileParser::~CFileParser() {
    ReleaseBuffer();
}

int CFileParser::Hook(void*) {
    return 1;
}

int CFileParser::LoadFile(const char* path) {
    fileName = path;
    DiagnosticWrite("  opening...");
    InputFile file;
    if (const int cause = file.Open(fileName.c_str())) {
        DiagnosticDump("File could not be opened ", cause);
        DiagnosticWrite("unable to open file for reading\n");
        return 0;
    }
    DiagnosticWrite("ok\n");

    // The new file replaces whatever an earlier call loaded. A failure from here on leaves the
    // reader without a buffer (length 0), never with a stale one.
    delete[] buffer;
    buffer = nullptr;
    length = 0;

    int cause = 0;
    const int64_t size = file.Length(&cause);
    if (size < 0) {
        DiagnosticDump("File could not be opened ", cause);
        DiagnosticWrite("unable to open file for reading\n");
        return 0;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "  length : %lld bytes\n", static_cast<long long>(size));
    DiagnosticWrite(text);
    if (size > INT32_MAX) {
        // length is a 32-bit int: a file of 2 GiB or more is refused rather than truncated.
        DiagnosticWrite("file too large (2 GiB or more)\n");
        return 0;
    }

    DiagnosticWrite("  alloc...");
    buffer = new (std::nothrow) char[static_cast<size_t>(size)];
    if (buffer == nullptr) {
        DiagnosticWrite("insuffisant memory\n");
        return 0;
    }
    length = static_cast<int32_t>(size);
    DiagnosticWrite("ok\n");

    DiagnosticWrite("  reading...");
    if (const int readCause = file.Read(buffer, size)) {
        DiagnosticDump("Error during reading ", readCause);
        DiagnosticWrite("error during reading\n");
        return 0;
    }
    DiagnosticWrite("ok\n");
    return 1;
}

int CFileParser::ReadLine() {
    int32_t pos = position;
    if (static_cast<uint32_t>(pos) >= static_cast<uint32_t>(length)) {
        if (pos >= length || length <= 0) {
            lineBuffer[0] = '\0';
            return 1;
        }
        pos = 0;  // a negative position reads from the start
    }
    const int32_t remaining = length - pos;
    const int32_t window = remaining < kLineSize ? remaining : kLineSize;
    const char* start = buffer + pos;
    const void* newline = std::memchr(start, '\n', static_cast<size_t>(window));
    int32_t count;  // characters kept
    if (newline != nullptr) {
        count = static_cast<int32_t>(static_cast<const char*>(newline) - start);
        position = pos + count + 1;
    } else if (window == kLineSize) {
        // No line end within 10000 characters: keep 9999, the 10000th is consumed and lost.
        count = kLineSize - 1;
        position = pos + kLineSize;
    } else {
        // The last line has no line end: it is kept whole.
        count = window;
        position = length;
    }
    std::memcpy(lineBuffer, start, static_cast<size_t>(count));
    lineBuffer[count] = '\0';
    return 1;
}

int CFileParser::PeekNextLine() {
    int32_t pos = position < 0 ? 0 : position;
    if (pos < length) {
        const void* newline = std::memchr(buffer + pos, '\n', static_cast<size_t>(length - pos));
        pos = newline != nullptr
                  ? static_cast<int32_t>(static_cast<const char*>(newline) - buffer) + 1
                  : length;
    }
    if (pos >= length) {
        position = length > 0 ? length - 1 : 0;
        return 0;
    }
    position = pos;
    ReadLine();
    position = pos;
    return 1;
}

int CFileParser::ReadWord() {
    wordBuffer[0] = '\0';
    const unsigned char* data = reinterpret_cast<const unsigned char*>(buffer);
    const int32_t end = length;
    int32_t pos = position < 0 ? 0 : position;
    while (pos < end && IsWordSpace(data[pos])) {
        ++pos;
    }
    if (pos >= end) {
        position = pos;
        return 0;
    }
    const int32_t stop = end - pos > kWordSize ? pos + kWordSize : end;
    int32_t i = pos;
    while (i < stop && !IsWordSpace(data[i])) {
        ++i;
    }
    int32_t count = i - pos;  // token characters seen
    if (i < stop) {
        position = i + 1;  // the white-space character that ends the token is consumed
    } else if (count == kWordSize) {
        // 1000 token characters: keep 999, the 1000th is consumed and lost.
        count = kWordSize - 1;
        position = pos + kWordSize;
    } else {
        // The token ends at the end of the buffer: it is kept whole.
        position = end;
    }
    std::memcpy(wordBuffer, data + pos, static_cast<size_t>(count));
    wordBuffer[count] = '\0';
    return 1;
}

namespace {

// Index of the last byte equal to c in [from, to), or -1.
int32_t LastIndexOf(const char* buffer, int32_t from, int32_t to, char c) {
    if (to <= from) {
        return -1;
    }
#if defined(__GLIBC__)
    const void* found = memrchr(buffer + from, c, static_cast<size_t>(to - from));
    return found != nullptr ? static_cast<int32_t>(static_cast<const char*>(found) - buffer) : -1;
#else
    for (int32_t i = to - 1; i >= from; i--) {
        if (buffer[i] == c) {
            return i;
        }
    }
    return -1;
#endif
}

// The lines of a buffer as ReadLine cuts them when reading from `from` on: a line starts at
// from, after every '\n', and every 10000 characters into a line that has no '\n' by then.
// Queries must come in increasing order; the buffer between them is scanned once.
class LineMap {
  public:
    LineMap(const char* buffer, int32_t from)
        : buffer_(buffer), scanned_(from), lineStart_(from), lastNul_(-1) {}

    // The start of the line that holds index i (i >= the previous query).
    int32_t LineStartOf(int32_t i) {
        Advance(i);
        return lineStart_ + (i - lineStart_) / kLineSize * kLineSize;
    }

    // Whether a NUL byte lies in [from, i), for from at or after the construction index and
    // i the last query.
    bool NulBetween(int32_t from) const { return lastNul_ >= from; }

  private:
    void Advance(int32_t i) {
        if (i <= scanned_) {
            return;
        }
        const int32_t newline = LastIndexOf(buffer_, scanned_, i, '\n');
        if (newline >= 0) {
            lineStart_ = newline + 1;
        }
        const int32_t nul = LastIndexOf(buffer_, scanned_, i, '\0');
        if (nul >= 0) {
            lastNul_ = nul;
        }
        scanned_ = i;
    }

    const char* buffer_;
    int32_t scanned_;    // [construction index, scanned_) has been looked at
    int32_t lineStart_;  // start of the physical line (after the last '\n') holding scanned_
    int32_t lastNul_;    // index of the last NUL seen, or -1
};

}  // namespace

// The line-by-line search, kept for the texts that the direct search below does not handle (the
// empty text, which matches the first line at its start).
int CFileParser::FindLineByLines(const char* text, int32_t limit) {
    while (position < length && position <= limit) {
        const int32_t lineStart = position;
        ReadLine();
        if (const char* found = std::strstr(lineBuffer, text)) {
            // The buffer index of the occurrence: the line's start plus its offset in the line
            // (the same as position - strlen(lineBuffer) - 1 + offset for a line ended by '\n',
            // and also right for a last line without one or a line holding a NUL byte).
            position = lineStart + static_cast<int32_t>(found - lineBuffer);
            assert(position >= 0);
            return 1;
        }
    }
    return 0;
}

// Finds, from `position`, the first line starting at or before limit that holds text, with the
// result and the state (position, lineBuffer) that reading line by line gives, but without
// copying every line: the buffer is searched for the text directly, and only an occurrence is
// checked against the line cutting (it must lie within the 9999 characters a line keeps, with
// no NUL byte before it in its line, where strstr would stop).
int CFileParser::FindLineFrom(const char* text, int32_t limit) {
    const size_t textLength = std::strlen(text);
    if (textLength == 0) {
        return FindLineByLines(text, limit);
    }
    const int32_t from = position;
    const int32_t last = limit < length - 1 ? limit : length - 1;  // last possible line start
    if (from > last) {
        return 0;  // no line is examined; position stays
    }
    LineMap lines(buffer, from);
    // Lines never hold '\n', so such a text is found nowhere.
    const bool searchable = std::memchr(text, '\n', textLength) == nullptr &&
                            textLength < static_cast<size_t>(kLineSize);
    // An occurrence in a line starting at or before `last` starts before last + kLineSize.
    const int64_t searchEnd = std::min<int64_t>(length, int64_t{last} + kLineSize);
    int32_t at = from;
    while (searchable && at < searchEnd) {
        const void* hit = std::memchr(buffer + at, text[0], static_cast<size_t>(searchEnd - at));
        if (hit == nullptr) {
            break;
        }
        const int32_t c = static_cast<int32_t>(static_cast<const char*>(hit) - buffer);
        at = c + 1;
        if (static_cast<size_t>(length - c) < textLength ||
            std::memcmp(buffer + c + 1, text + 1, textLength - 1) != 0) {
            continue;
        }
        const int32_t lineStart = lines.LineStartOf(c);
        if (lineStart > last) {
            break;
        }
        if (c + static_cast<int64_t>(textLength) > lineStart + int64_t{kLineSize} - 1 ||
            lines.NulBetween(lineStart)) {
            continue;  // cut by the line end, or hidden behind a NUL
        }
        position = lineStart;
        ReadLine();
        position = c;
        return 1;
    }
    // Not found: every line up to `last` was read; the last of them is in lineBuffer and
    // position is where it ends.
    const int32_t newline = LastIndexOf(buffer, from, last, '\n');
    const int32_t physicalStart = newline >= 0 ? newline + 1 : from;
    position = physicalStart + (last - physicalStart) / kLineSize * kLineSize;
    ReadLine();
    return 0;
}

int CFileParser::FindLine(const char* text) {
    if (position < 0) {
        position = 0;
    }
    return FindLineFrom(text, INT32_MAX);
}

int CFileParser::FindLineInRange(const char* text, int from, int limit) {
    position = from < 0 ? 0 : from;
    return FindLineFrom(text, limit);
}

namespace {

// Builds "<name>" or "</name>" in a stack buffer when it fits, so tag searches allocate nothing
// for ordinary names; longer names use the string.
class TagText {
  public:
    TagText(const std::string& name, bool closing) {
        const size_t size = name.size() + (closing ? 3 : 2);
        char* out = local_;
        if (size >= sizeof(local_)) {
            heap_.resize(size);
            out = &heap_[0];
        }
        size_t n = 0;
        out[n++] = '<';
        if (closing) {
            out[n++] = '/';
        }
        std::memcpy(out + n, name.data(), name.size());
        n += name.size();
        out[n++] = '>';
        if (out == local_) {
            out[n] = '\0';
        }
        text_ = out;
        size_ = static_cast<int32_t>(n);
    }
    TagText(const TagText&) = delete;
    TagText& operator=(const TagText&) = delete;
    const char* c_str() const { return text_; }
    int32_t size() const { return size_; }

  private:
    char local_[128];
    std::string heap_;
    const char* text_ = nullptr;
    int32_t size_ = 0;
};

}  // namespace

void CFileParser::FindTag(const std::string& name, int& first, int& last) {
    const TagText open(name, false);
    const TagText close(name, true);
    if (FindLine(open.c_str())) {
        first = position + open.size();
    }
    if (FindLine(close.c_str())) {
        last = position - 1;
    }
}

void CFileParser::FindTagInRange(const std::string& name, int from, int limit, int& first,
                                 int& last) {
    const TagText open(name, false);
    const TagText close(name, true);
    if (FindLineInRange(open.c_str(), from, limit)) {
        first = position + open.size();
    }
    if (FindLineInRange(close.c_str(), from, limit)) {
        last = position - 1;
    }
}

void CFileParser::ReleaseBuffer() {
    delete[] buffer;
    buffer = nullptr;
    length = 0;  // no bytes without a buffer, so later reads see an empty reader
    position = 0;
}
