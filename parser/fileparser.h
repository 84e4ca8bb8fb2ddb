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

    // Reads the whole file at path into `buffer` and sets `length` and `fileName`. Returns 1 on
    // success, 0 on failure (the cause is traced on the diagnostic channel). A file of 2 GiB or
    // more is refused. A previously loaded buffer is released first. `position` is not touched.
    virtual int LoadFile(const char* path);

    // Copies the line at `position` into `lineBuffer` (at most 9999 characters, without its
    // '\n') and moves `position` to the start of the next line. Always returns 1; on an empty
    // buffer or at the end it gives an empty line and reads nothing.
    int ReadLine();

    // Reads the line after the current one into `lineBuffer` and leaves `position` at its first
    // character. Returns 1 when such a line exists; otherwise 0 with `position` at `length` - 1
    // (or 0 for an empty buffer).
    int PeekNextLine();

    // Skips white space and copies the next token (at most 999 characters) into `wordBuffer`,
    // consuming the one white-space character that ends it. Returns 1 when a token was read, 0
    // when only white space was left (`wordBuffer` is then empty).
    int ReadWord();

    // Reads lines from `position` until one holds text. Returns 1 with `position` on the first
    // character of the occurrence, or 0 with `position` at or past `length`.
    int FindLine(const char* text);

    // As FindLine, from `from`, examining only lines that start at or before `limit`. On failure
    // `position` is left after the last line read (or at `from` when no line was examined).
    int FindLineInRange(const char* text, int from, int limit);

    // Finds "<name>" and then "</name>" from `position`. `first` becomes the index just after the
    // opening tag's '>', `last` the index just before the closing tag's '<'; each output is
    // written only when its tag is found.
    void FindTag(const std::string& name, int& first, int& last);

    // As FindTag, with both searches done by FindLineInRange(tag, from, limit).
    void FindTagInRange(const std::string& name, int from, int limit, int& first, int& last);

    // Frees the buffer, leaves it null and sets `position` to 0.
    void ReleaseBuffer();

    int32_t length;
    char* buffer;
    int32_t position;
    std::string fileName;
    char lineBuffer[10000];
    char wordBuffer[1000];
};
