// Fuzzes the text reader and the string helpers.
//
// The input is split into a short script of reader operations, two search texts and the buffer
// itself. Every operation runs on a CFileParser whose buffer is exactly the fuzzer's bytes (one
// allocation of exactly that size, so AddressSanitizer sees any read past it) and on a plain
// byte-by-byte model of the reader written here from the documented rules; the two must agree
// on the result, the read position and the line and word buffers after every step.
//
// The file-name helpers run on names taken from the input and must keep their documented
// relations (a path is its directory plus its file name, and so on); ParseInt and ParseDouble
// must give exactly what (int) strtol and strtod give on every word read and on the whole text,
// and the conversions straight from the buffer must agree with them on every word they take.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "parser/fileparser.h"
#include "platform/platform.h"
#include "util/filename.h"
#include "util/numparse.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_text: mismatch: %s\n", what);
        std::abort();
    }
}

bool IsReaderSpace(unsigned char c) {
    return c == '\n' || c == '\t' || c == '\r' || c == ' ';
}

// The reader's documented behaviour, one byte at a time, with the choices this project made:
// a last line or token that ends the buffer is kept whole, a negative position reads from 0.
class ModelReader {
  public:
    ModelReader(const unsigned char* data, int32_t size) : buf_(data), length_(size) {}

    int32_t position = 0;
    std::string line;
    std::string word;

    int ReadLine() {
        int32_t pos = position;
        if (pos < 0 && length_ > 0) {
            pos = 0;
        }
        if (pos < 0 || pos >= length_) {
            line.clear();
            return 1;
        }
        std::string out;
        int i = 0;
        unsigned char c = 0;
        do {
            c = buf_[pos];
            out.push_back(static_cast<char>(c));
            ++i;
            ++pos;
        } while (c != '\n' && i != 10000 && pos != length_);
        if (c == '\n' || i == 10000) {
            out.pop_back();
        }
        line = out;
        position = pos;
        return 1;
    }

    int PeekNextLine() {
        int32_t pos = position < 0 ? 0 : position;
        while (pos < length_) {
            if (buf_[pos++] == '\n') {
                break;
            }
        }
        if (pos >= length_) {
            position = length_ > 0 ? length_ - 1 : 0;
            return 0;
        }
        position = pos;
        ReadLine();
        position = pos;
        return 1;
    }

    int ReadWord() {
        word.clear();
        int32_t pos = position < 0 ? 0 : position;
        while (pos < length_ && IsReaderSpace(buf_[pos])) {
            ++pos;
        }
        if (pos >= length_) {
            position = pos;
            return 0;
        }
        int i = 0;
        unsigned char c = 0;
        do {
            c = buf_[pos];
            word.push_back(static_cast<char>(c));
            ++i;
            ++pos;
        } while (!IsReaderSpace(c) && i != 1000 && pos != length_);
        if (IsReaderSpace(c) || i == 1000) {
            word.pop_back();
        }
        position = pos;
        return 1;
    }

    int FindLine(const char* text) {
        if (position < 0) {
            position = 0;
        }
        return Scan(text, INT32_MAX);
    }

    int FindLineInRange(const char* text, int from, int limit) {
        position = from < 0 ? 0 : from;
        return Scan(text, limit);
    }

    void FindTag(const std::string& name, int& first, int& last) {
        const std::string open = "<" + name + ">";
        const std::string close = "</" + name + ">";
        if (FindLine(open.c_str())) {
            first = position + static_cast<int>(open.size());
        }
        if (FindLine(close.c_str())) {
            last = position - 1;
        }
    }

    void FindTagInRange(const std::string& name, int from, int limit, int& first, int& last) {
        const std::string open = "<" + name + ">";
        const std::string close = "</" + name + ">";
        if (FindLineInRange(open.c_str(), from, limit)) {
            first = position + static_cast<int>(open.size());
        }
        if (FindLineInRange(close.c_str(), from, limit)) {
            last = position - 1;
        }
    }

  private:
    int Scan(const char* text, int limit) {
        while (position < length_ && position <= limit) {
            const int32_t lineStart = position;
            ReadLine();
            if (const char* found = std::strstr(line.c_str(), text)) {
                position = lineStart + static_cast<int32_t>(found - line.c_str());
                return 1;
            }
        }
        return 0;
    }

    const unsigned char* buf_;
    int32_t length_;
};

void CheckNumbers(const char* text) {
    Check(ParseInt(text) == static_cast<int>(std::strtol(text, nullptr, 10)), "ParseInt");
    const double ours = ParseDouble(text);
    const double libc = std::strtod(text, nullptr);
    Check(std::memcmp(&ours, &libc, sizeof(double)) == 0, "ParseDouble");
}

// The buffer conversions of the word at begin must agree with ParseInt / ParseDouble on that
// word whenever they take it, and end on the white space that follows it.
void CheckWordConversions(const char* begin, const char* end) {
    int intValue = 0;
    if (const char* stop = ParseWordInt(begin, end, &intValue)) {
        Check(stop > begin && stop < end && IsReaderSpace(static_cast<unsigned char>(*stop)),
              "ParseWordInt stop");
        const std::string word(begin, stop);
        Check(intValue == ParseInt(word.c_str()), "ParseWordInt value");
    }
    double doubleValue = 0.0;
    if (const char* stop = ParseWordDouble(begin, end, &doubleValue)) {
        Check(stop > begin && stop < end && IsReaderSpace(static_cast<unsigned char>(*stop)),
              "ParseWordDouble stop");
        const std::string word(begin, stop);
        const double libc = std::strtod(word.c_str(), nullptr);
        Check(std::memcmp(&doubleValue, &libc, sizeof(double)) == 0, "ParseWordDouble value");
    }
}

void CheckSame(const CFileParser& reader, const ModelReader& model, int got, int want,
               const char* op) {
    Check(got == want, op);
    Check(reader.position == model.position, "position");
    Check(std::memcmp(reader.lineBuffer, model.line.data(), model.line.size()) == 0 &&
              reader.lineBuffer[model.line.size()] == '\0',
          "lineBuffer");
    Check(std::memcmp(reader.wordBuffer, model.word.data(), model.word.size()) == 0 &&
              reader.wordBuffer[model.word.size()] == '\0',
          "wordBuffer");
}

// A search bound near the interesting places: before the buffer, inside it, at and past its end.
int PickBound(uint8_t selector, uint8_t value, int32_t length) {
    switch (selector % 6) {
        case 0:
            return -1 - value % 4;
        case 1:
            return length - 1;
        case 2:
            return length + value % 4;
        case 3:
            return value % 2 ? INT32_MAX : INT32_MIN;
        default:
            return length > 0 ? static_cast<int>((value * 131u) % static_cast<unsigned>(length))
                              : 0;
    }
}

void CheckNames(const std::string& name, int increment) {
    const std::string dir = Directory(name);
    const std::string file = FileName(name);
    Check(dir + file == name, "Directory + FileName");
    const size_t dot = name.rfind('.');
    const std::string ext = Extension(name);
    const std::string stem = StripExtension(name);
    Check(dot == std::string::npos ? (stem == name && ext.empty()) : stem + "." + ext == name,
          "StripExtension + Extension");
    Check(FileTitle(name) == StripExtension(file), "FileTitle");

    // The digit run before the extension dot, for the numbering checks.
    const int number = FileNumber(name);
    size_t runStart = dot == std::string::npos ? 0 : dot;
    while (runStart > 0 && name[runStart - 1] >= '0' && name[runStart - 1] <= '9') {
        --runStart;
    }
    const size_t runLength = dot == std::string::npos ? 0 : dot - runStart;
    Check((number == -1) == (runLength == 0), "FileNumber without digits");
    if (runLength > 0 && runLength <= 9) {
        Check(number == std::atoi(name.c_str() + runStart), "FileNumber value");
    }

    const std::string next = IncrementFileName(name, increment);
    Check(Directory(next) == dir, "IncrementFileName keeps the directory");
    const bool fileHasDot = file.find('.') != std::string::npos;
    if (fileHasDot) {
        Check(Extension(next) == ext, "IncrementFileName keeps the extension");
        const long long value = (runLength == 0 ? 0LL : static_cast<long long>(number)) +
                                static_cast<long long>(increment);
        if (runLength <= 9 && value >= 0 && value <= INT_MAX) {
            Check(FileNumber(next) == value, "IncrementFileName value");
            // Zero padding to the run's width for widths 2 to 10, never truncation.
            const size_t nextDot = next.rfind('.');
            size_t nextRun = nextDot;
            while (nextRun > 0 && next[nextRun - 1] >= '0' && next[nextRun - 1] <= '9') {
                --nextRun;
            }
            const size_t digits = std::to_string(value).size();
            const size_t want = runLength >= 2 && digits < runLength ? runLength : digits;
            Check(nextDot - nextRun == want, "IncrementFileName width");
            Check(next.compare(0, runStart, name, 0, runStart) == 0,
                  "IncrementFileName keeps the prefix");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetDiagnosticSink([](const char*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::vector<uint8_t> script =
        provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(0, 48));
    const std::string text1 = provider.ConsumeRandomLengthString(24);
    const std::string text2 = provider.ConsumeRandomLengthString(24);
    const int increment = provider.ConsumeIntegral<int>();
    const std::vector<uint8_t> bytes = provider.ConsumeRemainingBytes<uint8_t>();
    const int32_t length = static_cast<int32_t>(bytes.size());

    CFileParser reader;
    reader.buffer = new char[bytes.size()];
    if (!bytes.empty()) {
        std::memcpy(reader.buffer, bytes.data(), bytes.size());
    }
    reader.length = length;
    ModelReader model(reinterpret_cast<const uint8_t*>(reader.buffer), length);

    for (size_t i = 0; i + 2 < script.size() || i == 0; i += 3) {
        const uint8_t op = i < script.size() ? script[i] : 0;
        const uint8_t a = i + 1 < script.size() ? script[i + 1] : 0;
        const uint8_t b = i + 2 < script.size() ? script[i + 2] : 0;
        const std::string& text = (op & 0x80) ? text2 : text1;
        switch (op % 9) {
            case 0: {
                const int want = model.ReadLine();
                CheckSame(reader, model, reader.ReadLine(), want, "ReadLine");
                break;
            }
            case 1: {
                const int want = model.PeekNextLine();
                CheckSame(reader, model, reader.PeekNextLine(), want, "PeekNextLine");
                break;
            }
            case 2: {
                const int want = model.ReadWord();
                int32_t before = reader.position < 0 ? 0 : reader.position;
                while (before < length &&
                       IsReaderSpace(static_cast<unsigned char>(reader.buffer[before]))) {
                    ++before;
                }
                CheckSame(reader, model, reader.ReadWord(), want, "ReadWord");
                CheckNumbers(reader.wordBuffer);
                if (before < length) {
                    CheckWordConversions(reader.buffer + before, reader.buffer + length);
                }
                break;
            }
            case 3: {
                const int want = model.FindLine(text.c_str());
                const int got = reader.FindLine(text.c_str());
                CheckSame(reader, model, got, want, "FindLine");
                if (got) {
                    const size_t n = std::strlen(text.c_str());
                    Check(reader.position >= 0 && reader.position + n <= bytes.size() &&
                              std::memcmp(reader.buffer + reader.position, text.c_str(), n) == 0,
                          "FindLine lands on the text");
                }
                break;
            }
            case 4: {
                const int from = PickBound(a, b, length);
                const int limit = PickBound(b, a, length);
                const int want = model.FindLineInRange(text.c_str(), from, limit);
                CheckSame(reader, model, reader.FindLineInRange(text.c_str(), from, limit), want,
                          "FindLineInRange");
                break;
            }
            case 5: {
                int first = -7;
                int last = -7;
                int modelFirst = -7;
                int modelLast = -7;
                model.FindTag(text, modelFirst, modelLast);
                reader.FindTag(text, first, last);
                CheckSame(reader, model, first, modelFirst, "FindTag first");
                Check(last == modelLast, "FindTag last");
                break;
            }
            case 6: {
                const int from = PickBound(a, b, length);
                const int limit = PickBound(b, a, length);
                int first = -7;
                int last = -7;
                int modelFirst = -7;
                int modelLast = -7;
                model.FindTagInRange(text, from, limit, modelFirst, modelLast);
                reader.FindTagInRange(text, from, limit, first, last);
                CheckSame(reader, model, first, modelFirst, "FindTagInRange first");
                Check(last == modelLast, "FindTagInRange last");
                break;
            }
            case 7: {
                const int32_t at = PickBound(a, b, length);
                if (at >= 0 && at < length) {
                    CheckWordConversions(reader.buffer + at, reader.buffer + length);
                }
                break;
            }
            default: {
                const int to = PickBound(a, b, length);
                reader.position = to;
                model.position = to;
                break;
            }
        }
    }

    // The whole text as one C string, for the number conversions and as a file name.
    const std::string whole(bytes.begin(), bytes.end());
    CheckNumbers(whole.c_str());
    CheckNumbers(text1.c_str());
    CheckNames(whole.substr(0, 512), increment);
    CheckNames(text1, increment);
    CheckNames(text2, static_cast<int>(script.size()) - 24);
    return 0;
}
