// The child decodes with IMG_Load and writes a fixed header, the palette and the
// pixel rows into an anonymous memory file; the parent checks the header against
// the file's size and maps the rows as the pixels of a new SDL surface, so the
// hand-over copies the picture once. The child never touches the X connection
// and leaves through _exit, so none of the parent's buffers or handlers run twice.
#include "picture.h"

#include <SDL_image.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kHandOverMagic = 0x4F4D4258; // "OMBX"
constexpr int kMaxColours = 256;
constexpr std::size_t kErrorTextSize = 512;
constexpr const char kUnreadable[] = "the decoded picture cannot be read safely";

struct hand_over {
    std::uint32_t magic;
    std::uint32_t loaded; // 1: a surface follows; 0: error holds IMG_GetError
    std::int32_t w;
    std::int32_t h;
    std::int32_t pitch;
    std::uint32_t flags;
    std::uint32_t bits_per_pixel;
    std::uint32_t bytes_per_pixel;
    std::uint32_t rmask, gmask, bmask, amask;
    std::uint32_t colorkey;
    std::uint32_t alpha;
    std::int32_t ncolors; // -1: no palette
    SDL_Color colours[kMaxColours];
    char error[kErrorTextSize];
};

// The pixel rows start on a page boundary so the parent can map them directly.
std::size_t pixels_offset()
{
    const long page = sysconf(_SC_PAGESIZE);
    const std::size_t p = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (sizeof(hand_over) + p - 1) / p * p;
}

bool write_all(int fd, const void* data, std::size_t size, off_t offset)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = pwrite(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

void copy_text(char* to, std::size_t size, const char* from)
{
    std::snprintf(to, size, "%s", from != nullptr ? from : "");
}

[[noreturn]] void decode_in_child(const char* path, int fd)
{
    // SDL's fatal-signal handler would shut SDL down, and so write to the X
    // connection this process shares with its parent: a crash here must simply
    // end the child.
    const int fatal_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGPIPE};
    for (int sig : fatal_signals) {
        std::signal(sig, SIG_DFL);
    }
    // Decoders' own complaints (libpng, libtiff) stay out of the tool's output;
    // SDL_image's error text travels back in the header instead.
    const int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) {
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
    }
    static hand_over header;
    header.magic = kHandOverMagic;
    SDL_Surface* picture = IMG_Load(path);
    if (picture == nullptr) {
        copy_text(header.error, sizeof header.error, IMG_GetError());
        _exit(write_all(fd, &header, sizeof header, 0) ? 0 : 3);
    }
    const SDL_PixelFormat* format = picture->format;
    header.loaded = 1;
    header.w = picture->w;
    header.h = picture->h;
    header.pitch = picture->pitch;
    header.flags = picture->flags;
    header.bits_per_pixel = format->BitsPerPixel;
    header.bytes_per_pixel = format->BytesPerPixel;
    header.rmask = format->Rmask;
    header.gmask = format->Gmask;
    header.bmask = format->Bmask;
    header.amask = format->Amask;
    header.colorkey = format->colorkey;
    header.alpha = format->alpha;
    header.ncolors = -1;
    if (format->palette != nullptr) {
        const int n = format->palette->ncolors;
        header.ncolors = n < 0 ? 0 : (n > kMaxColours ? kMaxColours : n);
        std::memcpy(header.colours, format->palette->colors,
                    static_cast<std::size_t>(header.ncolors) * sizeof(SDL_Color));
    }
    if (!picture_is_readable(picture)) {
        header.loaded = 0;
        copy_text(header.error, sizeof header.error, kUnreadable);
        _exit(write_all(fd, &header, sizeof header, 0) ? 0 : 3);
    }
    const std::size_t rows = static_cast<std::size_t>(picture->pitch) * static_cast<std::size_t>(picture->h);
    if (SDL_LockSurface(picture) < 0) {
        header.loaded = 0;
        copy_text(header.error, sizeof header.error, SDL_GetError());
        _exit(write_all(fd, &header, sizeof header, 0) ? 0 : 3);
    }
    const bool ok = (rows == 0 || write_all(fd, picture->pixels, rows, static_cast<off_t>(pixels_offset())))
                    && write_all(fd, &header, sizeof header, 0);
    _exit(ok ? 0 : 3);
}

std::string describe_end(int status)
{
    char text[160];
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = strsignal(sig);
        std::snprintf(text, sizeof text, "the decoder crashed (signal %d, %s)", sig, name != nullptr ? name : "unknown");
    } else if (WIFEXITED(status)) {
        std::snprintf(text, sizeof text, "the decoder failed (exit status %d)", WEXITSTATUS(status));
    } else {
        std::snprintf(text, sizeof text, "the decoder ended abnormally");
    }
    return text;
}

// Checks the child's header against itself and the file's size before any of
// it is trusted.
bool consistent(const hand_over& header, std::size_t file_size)
{
    if (header.magic != kHandOverMagic || header.loaded != 1) {
        return false;
    }
    if (header.w < 0 || header.h < 0 || header.pitch < 0) {
        return false;
    }
    if (header.bytes_per_pixel < 1 || header.bytes_per_pixel > 4
        || header.bits_per_pixel < 1 || header.bits_per_pixel > 32
        || (header.bits_per_pixel + 7) / 8 != header.bytes_per_pixel) {
        return false;
    }
    if (static_cast<std::uint64_t>(header.pitch) < static_cast<std::uint64_t>(header.w) * header.bytes_per_pixel
        || header.pitch > 0xFFFF) {
        return false;
    }
    if (header.ncolors < -1 || header.ncolors > kMaxColours) {
        return false;
    }
    const std::uint64_t rows = static_cast<std::uint64_t>(header.pitch) * static_cast<std::uint64_t>(header.h);
    return rows == 0 || pixels_offset() + rows <= file_size;
}

SDL_Surface* rebuild(const hand_over& header, int fd, std::size_t file_size, std::string* error)
{
    void* rows = nullptr;
    const std::uint64_t row_bytes = static_cast<std::uint64_t>(header.pitch) * static_cast<std::uint64_t>(header.h);
    if (row_bytes > 0) {
        // Private and writable: the surface may be locked and written like any
        // other; nothing ever goes back to the file.
        void* map = mmap(nullptr, file_size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) {
            *error = std::string("cannot map the decoded picture: ") + std::strerror(errno);
            return nullptr;
        }
        rows = static_cast<char*>(map) + pixels_offset();
    }
    SDL_Surface* picture = SDL_CreateRGBSurfaceFrom(rows, header.w, header.h,
                                                    static_cast<int>(header.bits_per_pixel), header.pitch,
                                                    header.rmask, header.gmask, header.bmask, header.amask);
    if (picture == nullptr) {
        *error = SDL_GetError();
        return nullptr;
    }
    SDL_PixelFormat* format = picture->format;
    if (header.ncolors >= 0) {
        if (format->palette == nullptr || format->palette->ncolors < header.ncolors) {
            *error = "the decoded palette does not fit the picture's format";
            SDL_FreeSurface(picture);
            return nullptr;
        }
        std::memcpy(format->palette->colors, header.colours,
                    static_cast<std::size_t>(header.ncolors) * sizeof(SDL_Color));
        format->palette->ncolors = header.ncolors;
    } else if (format->palette != nullptr) {
        // The decoder gave no palette; an index then names no colour.
        format->palette->ncolors = 0;
    }
    SDL_SetColorKey(picture, header.flags & SDL_SRCCOLORKEY, header.colorkey);
    SDL_SetAlpha(picture, header.flags & SDL_SRCALPHA, static_cast<Uint8>(header.alpha));
    return picture;
}

} // namespace

bool picture_is_readable(const SDL_Surface* picture)
{
    if (picture == nullptr || picture->format == nullptr || picture->w < 0 || picture->h < 0) {
        return false;
    }
    const int bytes = picture->format->BytesPerPixel;
    if (bytes < 1 || bytes > 4) {
        return false;
    }
    if (static_cast<long long>(picture->pitch) < static_cast<long long>(picture->w) * bytes) {
        return false;
    }
    return picture->pixels != nullptr || picture->w == 0 || picture->h == 0;
}

SDL_Surface* load_picture(const char* path, std::string* error, bool (*while_waiting)())
{
    const int fd = memfd_create("ombrix-picture", MFD_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot make room for the decoded picture: ") + std::strerror(errno);
        return nullptr;
    }
    // The child holds the write end of this pipe until it ends: end of file on
    // the read end tells the parent that the decoder is done, however it ended.
    int running[2];
    if (pipe2(running, O_CLOEXEC) < 0) {
        *error = std::string("cannot start the decoder: ") + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        *error = std::string("cannot start the decoder: ") + std::strerror(errno);
        close(running[0]);
        close(running[1]);
        close(fd);
        return nullptr;
    }
    if (child == 0) {
        close(running[0]);
        decode_in_child(path, fd);
    }
    close(running[1]);
    if (while_waiting != nullptr) {
        pollfd done = {running[0], POLLIN, 0};
        while (poll(&done, 1, 0) == 0 && while_waiting()) {
        }
    }
    close(running[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            *error = std::string("lost the decoder: ") + std::strerror(errno);
            close(fd);
            return nullptr;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = describe_end(status);
        close(fd);
        return nullptr;
    }
    struct stat info;
    hand_over header;
    if (fstat(fd, &info) < 0 || static_cast<std::size_t>(info.st_size) < sizeof header
        || pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        *error = "the decoder handed back nothing readable";
        close(fd);
        return nullptr;
    }
    header.error[kErrorTextSize - 1] = '\0';
    if (header.magic == kHandOverMagic && header.loaded == 0) {
        *error = header.error;
        close(fd);
        return nullptr;
    }
    const std::size_t file_size = static_cast<std::size_t>(info.st_size);
    if (!consistent(header, file_size)) {
        *error = kUnreadable;
        close(fd);
        return nullptr;
    }
    SDL_Surface* picture = rebuild(header, fd, file_size, error);
    close(fd); // the mapping stays valid after the descriptor is closed
    return picture;
}
