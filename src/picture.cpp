// The child decodes with IMG_Load and writes a fixed header (layout, palette,
// where its pixel rows lie) into an anonymous memory file, then waits. The
// parent checks the header and copies the rows straight out of the child's
// memory; where the system forbids that, the child writes the rows into the
// memory file for the parent to map. The child never touches the X connection
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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
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
    std::uint64_t rows_address; // where the pixel rows lie in the child
    char error[kErrorTextSize];
};

bool direct_copy_allowed = true;

// One byte each way on the socket pair between parent and child.
constexpr char kReady = 'R';      // child: the header is written, the rows wait
constexpr char kWriteRows = 'W';  // parent: put the rows into the memory file

// In the memory file the pixel rows start on a page boundary so the parent can
// map them directly.
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

[[noreturn]] void decode_in_child(const char* path, int fd, int link)
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
        copy_text(header.error, sizeof header.error, kUnreadable);
        _exit(write_all(fd, &header, sizeof header, 0) ? 0 : 3);
    }
    if (SDL_LockSurface(picture) < 0) {
        copy_text(header.error, sizeof header.error, SDL_GetError());
        _exit(write_all(fd, &header, sizeof header, 0) ? 0 : 3);
    }
    header.loaded = 1;
    header.rows_address = reinterpret_cast<std::uintptr_t>(picture->pixels);
    if (!write_all(fd, &header, sizeof header, 0) || send(link, &kReady, 1, MSG_NOSIGNAL) != 1) {
        _exit(3);
    }
    // The parent now copies the rows out of this process, or asks for them in
    // the memory file; either way it ends the wait.
    char request = 0;
    while (recv(link, &request, 1, 0) < 0 && errno == EINTR) {
    }
    if (request == kWriteRows) {
        const std::size_t rows = static_cast<std::size_t>(picture->pitch) * static_cast<std::size_t>(picture->h);
        _exit(rows == 0 || write_all(fd, picture->pixels, rows, static_cast<off_t>(pixels_offset())) ? 0 : 3);
    }
    _exit(0);
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

// Checks the child's header against itself before any of it is trusted.
bool consistent(const hand_over& header)
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
    return header.ncolors >= -1 && header.ncolors <= kMaxColours;
}

std::size_t row_bytes(const hand_over& header)
{
    return static_cast<std::size_t>(header.pitch) * static_cast<std::size_t>(header.h);
}

// Wraps the rows (kept until the process ends) in a surface with the child's
// layout, palette, colour key and alpha.
SDL_Surface* rebuild(const hand_over& header, void* rows, std::string* error)
{
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

namespace {

// Waits for the child to end and describes how it ended when that was not a
// plain success; empty when it was.
std::string reap(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::string("lost the decoder: ") + std::strerror(errno);
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    return describe_end(status);
}

// Anonymous memory for the rows, in huge pages where the system has them: the
// census reads it column by column.
void* rows_memory(std::size_t size)
{
    void* rows = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (rows == MAP_FAILED) {
        return nullptr;
    }
    madvise(rows, size, MADV_HUGEPAGE);
    return rows;
}

// Copies the rows straight out of the waiting child's memory.
bool copy_from_child(pid_t child, std::uint64_t address, void* rows, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        iovec local = {static_cast<char*>(rows) + done, size - done};
        iovec remote = {reinterpret_cast<void*>(static_cast<std::uintptr_t>(address + done)), size - done};
        const ssize_t n = process_vm_readv(child, &local, 1, &remote, 1, 0);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Maps the rows the child wrote into the memory file, after checking it holds them.
void* map_from_file(int fd, std::size_t size)
{
    struct stat info;
    if (fstat(fd, &info) < 0 || static_cast<std::size_t>(info.st_size) < pixels_offset() + size) {
        return nullptr;
    }
    // Private and writable: the surface may be locked and written like any
    // other; nothing ever goes back to the file.
    void* map = mmap(nullptr, pixels_offset() + size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    return map == MAP_FAILED ? nullptr : static_cast<char*>(map) + pixels_offset();
}

SDL_Surface* take_over(int fd, int link, pid_t child, bool (*while_waiting)(), std::string* error)
{
    if (while_waiting != nullptr) {
        pollfd ready = {link, POLLIN, 0};
        while (poll(&ready, 1, 0) == 0 && while_waiting()) {
        }
    }
    char signal_byte = 0;
    ssize_t got;
    while ((got = recv(link, &signal_byte, 1, 0)) < 0 && errno == EINTR) {
    }
    hand_over header;
    const bool header_read = pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    header.error[kErrorTextSize - 1] = '\0';

    if (got != 1 || signal_byte != kReady) {
        // The child ended without handing over rows: a decoding error or a crash.
        const std::string ended = reap(child);
        if (!ended.empty()) {
            *error = ended;
        } else if (header_read && header.magic == kHandOverMagic && header.loaded == 0) {
            *error = header.error;
        } else {
            *error = "the decoder handed back nothing readable";
        }
        return nullptr;
    }
    if (!header_read || !consistent(header)) {
        shutdown(link, SHUT_RDWR);
        reap(child);
        *error = kUnreadable;
        return nullptr;
    }

    const std::size_t size = row_bytes(header);
    void* rows = nullptr;
    if (size > 0) {
        rows = direct_copy_allowed ? rows_memory(size) : nullptr;
        if (rows != nullptr && !copy_from_child(child, header.rows_address, rows, size)) {
            munmap(rows, size);
            rows = nullptr;
        }
        if (rows == nullptr) {
            // Reading another process's memory can be forbidden (a container's
            // policy, say): the child writes the rows into the memory file.
            if (send(link, &kWriteRows, 1, MSG_NOSIGNAL) != 1) {
                reap(child);
                *error = "lost the decoder before it handed over the picture";
                return nullptr;
            }
            const std::string ended = reap(child);
            if (!ended.empty()) {
                *error = ended;
                return nullptr;
            }
            rows = map_from_file(fd, size);
            if (rows == nullptr) {
                *error = "the decoder handed back nothing readable";
                return nullptr;
            }
        }
    }
    shutdown(link, SHUT_RDWR); // ends the child's wait
    reap(child);
    return rebuild(header, rows, error);
}

} // namespace

void picture_allow_direct_copy(bool allowed)
{
    direct_copy_allowed = allowed;
}

SDL_Surface* load_picture(const char* path, std::string* error, bool (*while_waiting)())
{
    const int fd = memfd_create("ombrix-picture", MFD_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot make room for the decoded picture: ") + std::strerror(errno);
        return nullptr;
    }
    // The child holds its end of this pair until it ends: end of file tells the
    // parent that the decoder is gone, however it ended.
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) < 0) {
        *error = std::string("cannot start the decoder: ") + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        *error = std::string("cannot start the decoder: ") + std::strerror(errno);
        close(link[0]);
        close(link[1]);
        close(fd);
        return nullptr;
    }
    if (child == 0) {
        close(link[0]);
        decode_in_child(path, fd, link[1]);
    }
    close(link[1]);
    SDL_Surface* picture = take_over(fd, link[0], child, while_waiting, error);
    close(link[0]);
    close(fd);
    return picture;
}
