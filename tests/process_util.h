// Runs a program of the project as a process, for the tests that check a program's exit status
// and output. One runner for every such test, so that the platform details (quoting, the exit
// status encoding, handles and line ends) live in one place.
//
// POSIX: the command goes through the shell (std::system) with its standard streams redirected
// to files. Windows: CreateProcess with file handles as the standard streams, no command
// interpreter in between, and a time limit after which the program is stopped.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Processes only: leaving out the graphics declarations keeps windows.h's RGBQUAD from clashing
// with the image layer's, for tests that use both.
#ifndef NOGDI
#define NOGDI
#endif
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include "tests/test_util.h"

namespace testutil {

struct ProcessResult {
    std::string out;  // standard output (on Windows with CR LF read as LF)
    std::string err;  // standard error (likewise)
    int status = -1;  // exit status; -1 when the program did not exit normally or did not start
};

#ifdef _WIN32
// One argument as the C runtime's command-line parser reads it back: quoted when it is empty or
// holds a blank or a quote; backslashes are literal except before a quote, where they are doubled.
inline std::string QuoteArg(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// Text the program wrote in text mode, with its CR LF line ends read back as LF.
inline std::string ReadTextOutput(const std::string& path) {
    const std::string bytes = ReadFile(path);
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); i++) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            text += bytes[i];
        }
    }
    return text;
}
#else
// Quotes one argument for the shell.
inline std::string QuoteArg(const std::string& arg) {
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}
#endif

// Runs exe with args; standard input reads stdinText (empty: at its end at once), standard output
// and standard error are captured separately through scratch files of this test program. On
// Windows a program still running after timeoutSeconds is stopped (status -1, a note in err).
inline ProcessResult RunProcess(const std::string& exe, const std::vector<std::string>& args,
                                const std::string& stdinText = "", int timeoutSeconds = 120) {
    static int serial = 0;
    // Named after this process too: CTest runs the cases of one test program as processes of
    // their own, in parallel.
    const std::string base =
        TempPath("process" + std::to_string(ProcessId()) + "-" + std::to_string(serial++));
    const std::string inPath = base + ".in";
    const std::string outPath = base + ".out";
    const std::string errPath = base + ".err";
    WriteFile(inPath, stdinText);
    std::fflush(nullptr);
    ProcessResult result;
#ifdef _WIN32
    std::string program = exe;
    for (char& c : program) {
        c = c == '/' ? '\\' : c;
    }
    std::string command = QuoteArg(program);
    for (const std::string& arg : args) {
        command += " " + QuoteArg(arg);
    }
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE in = CreateFileA(inPath.c_str(), GENERIC_READ, share, &inherit, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, share, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string note;
    if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION process{};
        std::vector<char> commandLine(command.begin(), command.end());
        commandLine.push_back('\0');
        if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                           CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
            const DWORD limit = static_cast<DWORD>(timeoutSeconds) * 1000u;
            DWORD code = 0;
            if (WaitForSingleObject(process.hProcess, limit) != WAIT_OBJECT_0) {
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, 10000);
                note = "RunProcess: stopped after " + std::to_string(timeoutSeconds) + " s\n";
            } else if (GetExitCodeProcess(process.hProcess, &code)) {
                result.status = static_cast<int>(code);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        } else {
            note = "RunProcess: cannot start " + program + " (error " +
                   std::to_string(GetLastError()) + ")\n";
        }
    } else {
        note = "RunProcess: cannot open the scratch files " + base + ".*\n";
    }
    for (HANDLE h : {in, out, err}) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    result.out = ReadTextOutput(outPath);
    result.err = ReadTextOutput(errPath) + note;
#else
    static_cast<void>(timeoutSeconds);
    std::string command = QuoteArg(exe);
    for (const std::string& arg : args) {
        command += " " + QuoteArg(arg);
    }
    command += " <" + QuoteArg(inPath) + " >" + QuoteArg(outPath) + " 2>" + QuoteArg(errPath);
    const int raw = std::system(command.c_str());
    result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
#endif
    return result;
}

}  // namespace testutil
