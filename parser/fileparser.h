// CFileParser: an in-memory text reader with a read position, a line reader, a token reader and
// searches for the first line that holds a text.
//
// The whole file is read with one read call into one allocation of exactly its size. `buffer`
// holds `length` bytes with no terminator appended and line ends untranslated, so every scan
// stops at `length`. Lines and tokens are copied into the two fixed buffers inside the object;
// reading and searching allocate nothing.
//
// White space for tokens is exactly '\n', '\t', '\r' and ' '. A line is returned without its
// '\n'; a '\r' before it stays. Traces of LoadFile go to the diagnostic channel
// (platform/platform.h), never to standard output.
#pragma once

#include <cstdint>
#include <string>

class CFileParser {
  public:
    CFileParser();
    // Releases the buffer.
    virtual ~CFileParser();

    CFileParser(const CFileParser&) = delete;
    CFileParser& operator=(const CFileParser&) = delete;

    // Ignores its argument and returns 1.
    virtual int Hook(void* arg);

    // Reads the whole file at path into `buffer` (owned by the reader) and sets `length` and
    // `fileName`. Returns 1 on success, 0 on failure; the progress and the failure cause (the
    // operating system's error number) go to the diagnostic channel, nothing to standard output.
    // A file that cannot be opened leaves the reader as it was. Once the file is open, an earlier
    // buffer is released; then a file of 2 GiB or more is refused and a failed allocation leaves
    // `buffer` null with `length` 0. A failed or short read returns 0 with `buffer` allocated and
    // `length` set. `position` is not touched.
    virtual int LoadFile(const char* path);

    // Copies the line at `position` into `lineBuffer` (at most 9999 characters, without its
    // '\n') and moves `position` to the start of the next line. A longer line keeps its first
    // 9999 characters and loses the 10000th; a last line without '\n' is kept whole. Always
    // returns 1; on an empty buffer or at the end it gives an empty line and reads nothing. A
    // negative `position` reads from 0.
    int ReadLine();

    // Reads the line after the current one into `lineBuffer` and leaves `position` at its first
    // character. Returns 1 when such a line exists; otherwise 0 with `position` at `length` - 1
    // (or 0 for an empty buffer).
    int PeekNextLine();

    // Skips white space and copies the next token (at most 999 characters) into `wordBuffer`,
    // consuming the one white-space character that ends it. A longer token keeps its first 999
    // characters and loses the 1000th; a token that ends the buffer is kept whole. Returns 1 when
    // a token was read, 0 when only white space was left (`wordBuffer` is then empty).
    int ReadWord();

    // Reads lines from `position` until one holds text (a case-sensitive byte search of the line
    // as a C string). Returns 1 with `position` on the buffer index of the occurrence's first
    // character, or 0 with `position` at `length`. An empty text matches the first line read.
    int FindLine(const char* text);

    // As FindLine, from `from` (a negative one counts as 0), examining only lines that start at
    // or before `limit`; such a line is searched whole. On failure `position` is left after the
    // last line read (or at `from` when no line was examined).
    int FindLineInRange(const char* text, int from, int limit);

    // Finds "<name>" and then "</name>" from `position`. `first` becomes the index just after the
    // opening tag's '>', `last` the index just before the closing tag's '<'; each output is
    // written only when its tag is found.
    void FindTag(const std::string& name, int& first, int& last);

    // As FindTag, with both searches done by FindLineInRange(tag, from, limit).
    void FindTagInRange(const std::string& name, int from, int limit, int& first, int& last);

    // Frees the buffer, leaves it null and sets `length` and `position` to 0.
    void ReleaseBuffer();

  private:
    // The two halves of FindLine and FindLineInRange: both search from `position` through the
    // lines that start at or before limit.
    int FindLineFrom(const char* text, int32_t limit);
    int FindLineByLines(const char* text, int32_t limit);

  public:
    int32_t length;
    char* buffer;
    int32_t position;
    std::string fileName;
    char lineBuffer[10000];
    char wordBuffer[1000];
};
