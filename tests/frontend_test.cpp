// The programs' front end: the option table's parsing, and every program's usage errors (one line
// on standard error, exit status 2, nothing on standard output) and --help (standard output,
// exit status 0).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/process_util.h"
#include "tools/frontend.h"

namespace {

struct Parsed {
    int status = 0;
    std::string err;
    int levels = 128;
    double share = 0.1;
    bool plan = false;
    std::vector<std::string> positional;
    std::vector<std::string> rest;
};

Parsed Parse(std::vector<const char*> args) {
    Parsed p;
    zeltool::UsageStyle style;
    style.prefix = "prog: ";
    style.suffix = " (prog --help)";
    zeltool::CommandLine line(style, [] {});
    line.Int("--levels", "L", 3, 1024, &p.levels, "levels");
    line.Number("--share", "S", 0.0, 1.0, &p.share, "share", false, true);
    line.Flag("--plan", &p.plan);
    args.insert(args.begin(), "prog");
    testing::internal::CaptureStderr();
    p.status = line.Parse(static_cast<int>(args.size()), args.data(), p.positional, &p.rest);
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

TEST(FrontEnd, ReadsDeclaredOptionsWithinTheirBounds) {
    Parsed p = Parse({"a", "--levels", "3", "--share=0.5", "--plan", "-", "--", "--x", "y"});
    EXPECT_EQ(p.status, -1) << p.err;
    EXPECT_EQ(p.levels, 3);
    EXPECT_EQ(p.share, 0.5);
    EXPECT_TRUE(p.plan);
    EXPECT_EQ(p.positional, (std::vector<std::string>{"a", "-"}));
    EXPECT_EQ(p.rest, (std::vector<std::string>{"--x", "y"}));

    const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
        {{"--levels", "1025"}, "prog: invalid value for --levels: '1025' (prog --help)\n"},
        {{"--levels", "12x"}, "prog: invalid value for --levels: '12x' (prog --help)\n"},
        {{"--levels", ""}, "prog: invalid value for --levels: '' (prog --help)\n"},
        {{"--share", "1"}, "prog: invalid value for --share: '1' (prog --help)\n"},
        {{"--share", " 0.5"}, "prog: invalid value for --share: ' 0.5' (prog --help)\n"},
        {{"--share=nan"}, "prog: invalid value for --share: 'nan' (prog --help)\n"},
        {{"a", "--levels"}, "prog: option --levels needs a value (prog --help)\n"},
        {{"--plan=1"}, "prog: unknown option --plan=1 (prog --help)\n"},
        {{"--bogus"}, "prog: unknown option --bogus (prog --help)\n"},
    };
    for (const auto& [args, message] : bad) {
        p = Parse(args);
        EXPECT_EQ(p.status, 2) << message;
        EXPECT_EQ(p.err, message);
    }
    EXPECT_EQ(Parse({"a", "-h", "--bogus"}).status, 0);
}

// Every program, run as a process: a bad number, a missing value and an unknown option.
TEST(FrontEnd, ProgramsReportUsageErrorsOnOneLineOfStandardError) {
    struct Program {
        const char* exe;
        std::vector<std::string> badNumber;
        std::vector<std::string> missingValue;
    };
    const std::vector<Program> programs = {
        {ZEL_RECOVER_EXE, {"--levels", "2", "p.txt"}, {"p.txt", "--threads"}},
        {ZEL_FUSE_EXE, {"--min-views", "x", "p.txt"}, {"p.txt", "--out"}},
        {ZEL_DEPTHVIEW_EXE, {"--format", "gif", "p.txt"}, {"p.txt", "--format"}},
        {ZEL_DEPTH_EVAL_EXE, {"--scale", "0", "p.txt", "gt"}, {"p.txt", "gt", "--scale"}},
        {ZEL_DEPTH_COMPARE_EXE, {"--scale=-1", "p", "gt", "1", "o.png"}, {"p", "--scale"}},
        {ZEL_VIDEO_DEPTH_EXE, {"--every", "0", "v.mp4", "w"}, {"v.mp4", "w", "--width"}},
        {ZEL_IMPORT_EXE, {"a", "b", "c", "d"}, {"a"}},
        {ZEL_EXPORT_EXE, {"a", "b", "c"}, {}},
        {ZEL_GEN_PROJECT_EXE, {"d", "0"}, {}},
    };
    for (const Program& program : programs) {
        for (const std::vector<std::string>& args :
             {program.badNumber, program.missingValue, std::vector<std::string>{"--bogus", "p"}}) {
            const testutil::ProcessResult run = testutil::RunProcess(program.exe, args);
            EXPECT_EQ(run.status, 2) << program.exe << " " << args[0] << "\n" << run.err;
            EXPECT_EQ(run.out, "") << program.exe;
            EXPECT_EQ(run.err.rfind("ERROR", 0) == 0 || run.err.rfind("zel_", 0) == 0, true)
                << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
        }
        const testutil::ProcessResult help = testutil::RunProcess(program.exe, {"--help"});
        EXPECT_EQ(help.status, 0) << program.exe;
        EXPECT_EQ(help.err, "") << program.exe;
        EXPECT_NE(help.out.find("sage: zel_"), std::string::npos) << help.out;
    }
}

}  // namespace
