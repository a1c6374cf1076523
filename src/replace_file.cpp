// SPDX-License-Identifier: MIT
// Temporary file, writer, checked flush and close, rename: the steps of
// replacing one file, each checked, with the temporary removed on any failure.
#include "replace_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kNewFileMode = 0666;
constexpr char kTemporarySuffix[] = ".XXXXXX";

std::string reason(int error)
{
    return std::strerror(error != 0 ? error : EIO);
}

// Whether what stands at path may be replaced, and the mode the new file gets.
bool may_replace(const char* path, mode_t* mode, std::string* why)
{
    struct stat info;
    if (lstat(path, &info) != 0) {
        if (errno != ENOENT) {
            *why = reason(errno);
            return false;
        }
        const mode_t mask = umask(0);
        umask(mask);
        *mode = kNewFileMode & ~mask;
        return true;
    }
    if (S_ISLNK(info.st_mode)) {
        const mode_t mask = umask(0);
        umask(mask);
        *mode = kNewFileMode & ~mask;
        return true;
    }
    if (S_ISDIR(info.st_mode)) {
        *why = reason(EISDIR);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "not a regular file";
        return false;
    }
    // A file the user made read-only stays as it is, as it would if it were
    // opened for writing in place.
    if (access(path, W_OK) != 0) {
        *why = reason(errno);
        return false;
    }
    *mode = info.st_mode & 07777;
    return true;
}

} // namespace

bool replace_file(const char* path, const content_writer& write, std::string* why)
{
    mode_t mode = 0;
    if (!may_replace(path, &mode, why)) {
        return false;
    }
    std::string temporary = std::string(path) + kTemporarySuffix;
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        *why = reason(errno);
        return false;
    }
    if (fchmod(fd, mode) != 0) {
        *why = reason(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    std::FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        *why = reason(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    errno = 0;
    bool written = write(out, why);
    if (!written && why->empty()) {
        *why = reason(errno);
    }
    if (written) {
        errno = 0;
        if (std::fflush(out) != 0 || std::ferror(out) != 0) {
            *why = reason(errno);
            written = false;
        }
    }
    errno = 0;
    if (std::fclose(out) != 0 && written) {
        *why = reason(errno);
        written = false;
    }
    if (written && rename(temporary.c_str(), path) != 0) {
        *why = reason(errno);
        written = false;
    }
    if (!written) {
        unlink(temporary.c_str());
    }
    return written;
}
