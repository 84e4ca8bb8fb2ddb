// Writes an output file whole: the content goes to a temporary file beside it (same folder, so
// the rename never crosses file systems), which replaces the target only when it is complete.
// A failure, or a run killed half-way, never leaves a half-written file under the target's name;
// at worst a stale "<name>.part" stays beside it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace zelio {

// The temporary name used while `path` is being written.
inline std::string PartialName(const std::string& path) {
    return path + ".part";
}

// Calls write(temporary path, error) and, when it returns true, renames the temporary file to
// path. On any failure the temporary file is removed, path is left as it was, and *error (when
// given) says why.
template <class F>
bool WriteWhole(const std::string& path, F&& write, std::string* error) {
    const std::string partial = PartialName(path);
    std::string reason;
    bool ok = write(partial, &reason);
    if (ok) {
        std::error_code ec;
        std::filesystem::rename(partial, path, ec);
        if (ec) {
            ok = false;
            reason = "can not rename " + partial + ": " + ec.message();
        }
    }
    if (!ok) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        if (error != nullptr) {
            *error = reason;
        }
    }
    return ok;
}

// Opens path for binary writing; null with a reason in *error when it can not.
inline std::FILE* OpenForWriting(const std::string& path, std::string* error) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr && error != nullptr) {
        *error = "can not create " + path;
        if (errno != 0) {
            *error += std::string(": ") + std::strerror(errno);
        }
    }
    return file;
}

// Closes a file opened by OpenForWriting; false (with a reason) when earlier writes or the close
// itself failed.
inline bool CloseWritten(std::FILE* file, const std::string& path, std::string* error) {
    const bool failed = std::ferror(file) != 0;
    const bool closeFailed = std::fclose(file) != 0;
    if ((failed || closeFailed) && error != nullptr) {
        *error = "can not write " + path;
    }
    return !failed && !closeFailed;
}

// Writes bytes to path whole; false with the reason in *error.
inline bool WriteBytesWhole(const std::string& path, const void* bytes, size_t size,
                            std::string* error) {
    auto write = [&](const std::string& partial, std::string* reason) {
        std::FILE* file = OpenForWriting(partial, reason);
        if (file == nullptr) {
            return false;
        }
        if (size > 0 && std::fwrite(bytes, 1, size, file) != size) {
            std::fclose(file);
            *reason = "can not write " + partial + " (disk full?)";
            return false;
        }
        return CloseWritten(file, partial, reason);
    };
    return WriteWhole(path, write, error);
}

}  // namespace zelio
