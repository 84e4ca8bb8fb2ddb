// Helpers shared by the tests: a scratch directory per test program, whole-file I/O, and BMP
// pictures written through the test support (tests/support/).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "tests/support/bmp.h"

namespace testutil {

// This test program's process id, to name scratch files apart from other test programs'.
inline long ProcessId() {
#ifdef _WIN32
    return static_cast<long>(::_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

// A directory for this test program's files, created on first use and emptied of the given
// test's leftovers by the caller as needed.
inline std::string TempDir() {
    const std::string dir = ZEL_TEST_TMP_DIR;
    std::filesystem::create_directories(dir);
    return dir + "/";
}

inline std::string TempPath(const std::string& name) {
    return TempDir() + name;
}

// Writes the file whole under a scratch name and renames it into place, so that a test program
// running beside this one (ctest runs tests in parallel) never reads it half-written.
inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string scratch = path + ".part" + std::to_string(ProcessId());
    {
        std::ofstream out(scratch, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::filesystem::rename(scratch, path);
}

// Writes Bmp24Bytes(width, height, pixels) whole (see WriteFile).
inline void WriteBmp24(const std::string& path, int width, int height,
                       const std::vector<Rgb>& pixels) {
    WriteFile(path, Bmp24Bytes(width, height, pixels));
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Captures what a callable prints on standard output (through printf and friends).
template <class F>
std::string CaptureStdout(F&& f) {
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace testutil
