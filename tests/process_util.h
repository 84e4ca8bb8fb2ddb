// Runs a program of the project as a process, for the tests that check a program's exit status
// and output. One runner for every such test, so that the platform details (quoting, the exit
// status encoding, the null device) live in one place.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "tests/test_util.h"

namespace testutil {

struct ProcessResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, -1 when the program did not exit normally
};

// Quotes one argument for the platform's command interpreter.
inline std::string QuoteArg(const std::string& arg) {
#ifdef _WIN32
    return "\"" + arg + "\"";
#else
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
#endif
}

// Runs exe with args; standard input reads stdinText (empty: at its end at once), standard output
// and standard error are captured separately through scratch files of this test program.
inline ProcessResult RunProcess(const std::string& exe, const std::vector<std::string>& args,
                                const std::string& stdinText = "") {
    static int serial = 0;
    // The process id keeps the names apart when the test runner starts several tests of one
    // program at once (each in its own process, each counting from 0).
    const std::string base =
        TempPath("process" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
    const std::string inPath = base + ".in";
    const std::string outPath = base + ".out";
    const std::string errPath = base + ".err";
    WriteFile(inPath, stdinText);
    std::string command = QuoteArg(exe);
    for (const std::string& arg : args) {
        command += " " + QuoteArg(arg);
    }
    command += " <" + QuoteArg(inPath) + " >" + QuoteArg(outPath) + " 2>" + QuoteArg(errPath);
#ifdef _WIN32
    // cmd.exe strips the outer quotes of a command line that starts with one; wrap it whole.
    command = "\"" + command + "\"";
#endif
    std::fflush(nullptr);
    const int raw = std::system(command.c_str());
    ProcessResult result;
#ifdef _WIN32
    result.status = raw;
#else
    result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

}  // namespace testutil
