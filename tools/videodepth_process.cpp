// Running the steps' programs as processes, their output into a log: zel_video_depth's ffmpeg,
// COLMAP and sibling programs.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "tools/videodepth_lib.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace zelvideo {

namespace fs = std::filesystem;

#ifdef _WIN32
int RunLogged(const std::vector<std::string>&, bool, const std::string&,
              const std::function<void(const std::string&)>&, std::string& error) {
    error = "starting programs is not supported on this platform";
    return -1;
}
#else
namespace {

// Starts args[0] (looked up on the PATH when searchPath) with standard input from /dev/null and
// standard output and error into the pipe's writing end. Returns posix_spawn's result.
int SpawnIntoPipe(const std::vector<std::string>& args, bool searchPath, const int pipeEnds[2],
                  pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const int spawned = searchPath
                            ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                            : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned;
}

// Copies what comes out of fd into the log as it comes, and hands over each complete line.
void CopyOutput(int fd, std::FILE* log, const std::function<void(const std::string&)>& onLine) {
    std::string line;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::fwrite(chunk, 1, static_cast<size_t>(n), log);
        std::fflush(log);
        for (ssize_t i = 0; i < n; i++) {
            if (chunk[i] == '\n' || chunk[i] == '\r') {
                if (onLine && !line.empty()) {
                    onLine(line);
                }
                line.clear();
            } else if (line.size() < 4096) {
                line += chunk[i];
            }
        }
    }
    if (onLine && !line.empty()) {
        onLine(line);
    }
}

// Waits for the child to end. Returns its exit status, or -1 with the reason in error.
int WaitForExit(pid_t pid, const std::string& program, std::string& error) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = std::string("can not wait for ") + program + ": " + std::strerror(errno);
            return -1;
        }
    }
    if (!WIFEXITED(status)) {
        error = program + " was stopped by signal " +
                std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

int RunLogged(const std::vector<std::string>& args, bool searchPath, const std::string& logPath,
              const std::function<void(const std::string&)>& onLine, std::string& error) {
    if (args.empty()) {
        error = "no program given";
        return -1;
    }
    // Neither the log nor the pipe's ends stay open in the child beyond what it is given.
    std::FILE* log = std::fopen(logPath.c_str(), "wbe");
    if (log == nullptr) {
        error = "can not create the log " + logPath;
        return -1;
    }
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        std::fclose(log);
        error = std::string("can not make a pipe: ") + std::strerror(errno);
        return -1;
    }
    fcntl(pipeEnds[0], F_SETFD, FD_CLOEXEC);
    fcntl(pipeEnds[1], F_SETFD, FD_CLOEXEC);
    pid_t pid = 0;
    const int spawned = SpawnIntoPipe(args, searchPath, pipeEnds, pid);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        std::fclose(log);
        error = "can not start " + args[0] + ": " + std::strerror(spawned);
        return -1;
    }
    CopyOutput(pipeEnds[0], log, onLine);
    close(pipeEnds[0]);
    std::fclose(log);
    return WaitForExit(pid, args[0], error);
}
#endif

std::vector<std::string> LastLines(const std::string& path, size_t count) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    // The tail is enough: logs of COLMAP's steps run to megabytes.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    const std::streamoff start = std::max<std::streamoff>(0, size - 16384);
    in.seekg(start);
    std::string text(static_cast<size_t>(size - start), '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > begin) {
            lines.push_back(text.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    if (start > 0 && !lines.empty()) {
        lines.erase(lines.begin());  // most likely cut
    }
    if (lines.size() > count) {
        lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    }
    return lines;
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "";
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(':', begin);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::error_code ec;
        if (end > begin &&
            fs::is_regular_file(fs::path(list.substr(begin, end - begin)) / program, ec)) {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

}  // namespace zelvideo
