// SPDX-License-Identifier: MIT
// The font lookup and a blocking-safe open. TTF_OpenFont would block on a FIFO
// and read a device; the file is opened here without blocking, accepted only
// when fstat calls it a regular file, and handed to SDL_ttf as a stream.
#include "font_file.h"

#include "version.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The path of the running executable, or empty.
std::string own_executable()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return std::string();
    }
    return std::string(path, static_cast<std::size_t>(length));
}

} // namespace

std::string installed_font_path(const std::string& executable_path, const char* name)
{
    const std::size_t slash = executable_path.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    return executable_path.substr(0, slash + 1) + kFontDirFromExecutable + "/" + name;
}

TTF_Font* open_font_at(const char* path, int point_size)
{
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(descriptor);
        return nullptr;
    }
    std::FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
        return nullptr;
    }
    SDL_RWops* stream = SDL_RWFromFP(file, 1); // closes the file when freed
    if (stream == nullptr) {
        std::fclose(file);
        return nullptr;
    }
    return TTF_OpenFontRW(stream, 1, point_size); // frees the stream, also on failure
}

TTF_Font* open_font_file(const char* name, int point_size)
{
    struct stat here;
    if (lstat(name, &here) == 0 || errno != ENOENT) {
        return open_font_at(name, point_size); // the working folder's entry decides
    }
    const std::string installed = installed_font_path(own_executable(), name);
    if (installed.empty()) {
        return nullptr;
    }
    return open_font_at(installed.c_str(), point_size);
}
