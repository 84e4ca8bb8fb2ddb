#include "platform/platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

void DefaultSink(const char* text) {
    std::fputs(text, stderr);
}

void DefaultConsole(const char* text) {
    std::fputs(text, stdout);
}

void DefaultWait() {
#ifdef _WIN32
    std::fflush(stdout);
    std::system("pause");
#else
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);
    const int fd = fileno(stdin);
    termios saved{};
    const bool isTerminal = isatty(fd) && tcgetattr(fd, &saved) == 0;
    if (isTerminal) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
    }
    char key = 0;
    // One byte, or the end of input (pipes, /dev/null, a closed stdin): either way go on.
    ssize_t got = -1;
    do {
        got = read(fd, &key, 1);
    } while (got < 0 && errno == EINTR);
    if (isTerminal) {
        tcsetattr(fd, TCSANOW, &saved);
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
#endif
}

void (*g_sink)(const char*) = DefaultSink;
void (*g_wait)() = DefaultWait;
void (*g_console)(const char*) = DefaultConsole;

}  // namespace

void SetDiagnosticSink(void (*sink)(const char* text)) {
    g_sink = sink ? sink : DefaultSink;
}

void DiagnosticWrite(const char* text) {
    g_sink(text);
}

void DiagnosticDump(const char* text, int cause) {
    char number[16];
    std::snprintf(number, sizeof(number), "%d\n", cause);
    g_sink(text);
    g_sink(number);
}

void SetConsoleSink(void (*sink)(const char* text)) {
    g_console = sink ? sink : DefaultConsole;
}

void ConsolePrintf(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof(small)) {
        va_end(again);
        g_console(small);
        return;
    }
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    g_console(text.data());
}

void SetWaitForKeyFunction(void (*wait)()) {
    g_wait = wait ? wait : DefaultWait;
}

void WaitForKey() {
    g_wait();
}

bool MakeDirectory(const char* path) {
#ifdef _WIN32
    return CreateDirectoryA(path, nullptr) != 0;
#else
    return mkdir(path, 0777) == 0;
#endif
}
