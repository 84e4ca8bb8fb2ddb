// The program as a process: exit status, its standard output and the one wait for a key per run,
// on a missing project, a zero-frame project and the bundled sample.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/process_util.h"

namespace {

// A key for the one wait of a run: the wait reads it like a key typed at the console.
const char kKey[] = "\n";

// What the wait for a key prints when given that key. POSIX: the program's own prompt and a line
// end. Windows: whatever the console's own "pause" command prints for the same input (its wording
// differs between Windows versions and Wine), since that is what the program runs.
const std::string& PauseOutput() {
#ifdef _WIN32
    static const std::string text = [] {
        const char* shell = std::getenv("COMSPEC");
        return testutil::RunProcess(shell != nullptr ? shell : "C:\\Windows\\System32\\cmd.exe",
                                    {"/c", "pause"}, kKey)
            .out;
    }();
#else
    static const std::string text = "Press any key to continue . . . \n";
#endif
    return text;
}

// Runs the program with one key at its standard input; returns its standard output and exit
// status.
testutil::ProcessResult RunProgram(const std::string& exe) {
    return testutil::RunProcess(exe, {}, kKey);
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        count++;
    }
    return count;
}

TEST(Driver, ThePauseOutputIsThePrompt) {
    EXPECT_EQ(PauseOutput().rfind("Press any key to continue", 0), 0u) << PauseOutput();
}

TEST(Driver, MissingProjectPrintsTheParserLineWaitsOnceAndExitsOne) {
    const std::string project = ZEL_DRIVER_TEST_DIR "/missing/project.txt";
    std::filesystem::remove(project);
    const testutil::ProcessResult run = RunProgram(ZEL_MISSING_EXE);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "ERROR:Can not find the OVK project file: " + project + " \n" + PauseOutput());
}

TEST(Driver, ZeroFrameProjectRunsTheEmptyRangeAndExitsZero) {
    testutil::WriteFile(ZEL_DRIVER_TEST_DIR "/zero/project.txt",
                        "#camera track project file\n"
                        "<Image Sequence>\nSequence:./img0000.bmp\nstart:5\nstep:1\nend:4\n"
                        "</Image Sequence>\n"
                        "<intrinsic parameter>\n500 500 160 120 0\n</intrinsic parameter>\n"
                        "<Feature Tracks>\n0\n</Feature Tracks>\n"
                        "<Camera Track>\n</Camera Track>\n");
    const testutil::ProcessResult run = RunProgram(ZEL_ZERO_EXE);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Total frame count:0\n\n" + PauseOutput());
}

TEST(Driver, SampleProjectRunsAndExitsZero) {
    ASSERT_TRUE(std::filesystem::exists(ZEL_SAMPLE_PROJECT)) << ZEL_SAMPLE_PROJECT;
    const testutil::ProcessResult run = RunProgram(ZEL_SAMPLE_EXE);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.rfind("Total frame count:30\n\n", 0), 0u) << run.out;
    EXPECT_EQ(CountOf(run.out, PauseOutput()), 1u) << run.out;
    EXPECT_EQ(CountOf(run.out, "ERROR"), 0u) << run.out;
    EXPECT_EQ(CountOf(run.out, "Warning"), 0u) << run.out;
    const std::string& end = PauseOutput();
    EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), end.size())), end);
}

}  // namespace
