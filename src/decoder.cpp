// SPDX-License-Identifier: MIT
// The child's side of the picture intake, in the order it runs: keep only
// its own descriptors, die with the tool, take the picture's bytes, set the
// CPU budget, confine itself, decode, count, hand over, then hand over the
// displayed crop on request. Leaves through _exit, so nothing of the tool's
// (buffers, handlers) runs twice.
#include "decoder.h"

#include "census.h"
#include "census_stream.h"
#include "confinement.h"
#include "handover.h"
#include "picture_source.h"

#include <SDL_image.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPictureFd = 3;
constexpr int kFileFd = 4;
constexpr int kLinkFd = 5;
constexpr std::uint32_t kBaseSeconds = 2;
constexpr std::uint64_t kBytesPerSecond = 32 * 1024;

handover_header header;

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

void tell(char message)
{
    while (send(kLinkFd, &message, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

bool write_header()
{
    return write_all(kFileFd, &header, sizeof header, 0);
}

[[noreturn]] void fail(const std::string& why)
{
    std::snprintf(header.text, sizeof header.text, "%s", why.c_str());
    if (write_header()) {
        tell(kMessageFailed);
    }
    _exit(0);
}

// The census could not get memory: the tool prints its out-of-memory line.
void out_of_memory()
{
    header.out_of_memory = 1;
    fail("out of memory for the colour list");
}

// Moves the three descriptors to 3, 4 and 5, puts /dev/null on 0, 1 and 2,
// and closes every other descriptor the tool had.
void keep_own_descriptors(decoder_descriptors fds)
{
    const int moved[3] = {fcntl(fds.picture, F_DUPFD, 10), fcntl(fds.file, F_DUPFD, 10),
                          fcntl(fds.link, F_DUPFD, 10)};
    if (moved[0] < 0 || moved[1] < 0 || moved[2] < 0 || dup2(moved[0], kPictureFd) < 0
        || dup2(moved[1], kFileFd) < 0 || dup2(moved[2], kLinkFd) < 0) {
        _exit(3);
    }
    const int quiet = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (quiet < 0 || dup2(quiet, STDIN_FILENO) < 0 || dup2(quiet, STDOUT_FILENO) < 0
        || dup2(quiet, STDERR_FILENO) < 0) {
        _exit(3);
    }
    close_range(kLinkFd + 1, ~0U, 0);
}

// Ends this process when the tool ends, however it ends. The tool may have
// ended between fork and this call, so that is checked after it.
void die_with(int parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(3);
    }
}

struct picture_bytes {
    const unsigned char* data;
    std::size_t size;
};

// A regular file is mapped; a pipe or FIFO is read whole, since the decoders
// seek. Anything else (a device, a folder) is no picture.
picture_bytes take_bytes()
{
    struct stat info;
    if (fstat(kPictureFd, &info) != 0) {
        fail(std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        fail(std::strerror(EISDIR));
    }
    if (S_ISREG(info.st_mode)) {
        if (info.st_size == 0) {
            return {nullptr, 0};
        }
        void* map = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, kPictureFd, 0);
        if (map == MAP_FAILED) {
            fail(std::string("cannot map the file: ") + std::strerror(errno));
        }
        return {static_cast<const unsigned char*>(map), static_cast<std::size_t>(info.st_size)};
    }
    if (!S_ISFIFO(info.st_mode) && !S_ISSOCK(info.st_mode)) {
        fail("not a picture file but a device or other special file");
    }
    const int flags = fcntl(kPictureFd, F_GETFL);
    if (flags >= 0) {
        fcntl(kPictureFd, F_SETFL, flags & ~O_NONBLOCK);
    }
    std::size_t capacity = std::size_t{1} << 20;
    void* buffer = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::size_t size = 0;
    for (;;) {
        if (buffer == MAP_FAILED) {
            fail("out of memory while reading the picture");
        }
        if (size == capacity) {
            if (capacity >= kLargestStreamedPicture) {
                fail("a picture read from a pipe may be at most 1 GiB");
            }
            buffer = mremap(buffer, capacity, capacity * 2, MREMAP_MAYMOVE);
            capacity *= 2;
            continue;
        }
        const ssize_t n = read(kPictureFd, static_cast<char*>(buffer) + size, capacity - size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail(std::string("cannot read the picture: ") + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    return {static_cast<const unsigned char*>(buffer), size};
}

void set_budget(std::uint64_t size)
{
    const rlim_t seconds = decoder_budget_seconds(size);
    // The soft limit sends SIGXCPU; the hard one, a second later, SIGKILL.
    const rlimit budget = {seconds, seconds + 1};
    setrlimit(RLIMIT_CPU, &budget);
    // A decoder that crashes or overruns leaves no core file in the user's
    // folder (nor its memory, the picture, in a core handler's hands).
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0);
}

void fill_layout(const SDL_Surface* picture)
{
    const SDL_PixelFormat* format = picture->format;
    header.w = picture->w;
    header.h = picture->h;
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
        header.ncolors = n < 0 ? 0 : (n > kHandOverPaletteSize ? kHandOverPaletteSize : n);
        std::memcpy(header.colours, format->palette->colors,
                    static_cast<std::size_t>(header.ncolors) * sizeof(SDL_Color));
    }
}

void hand_over_list(const census_colour* colours, std::size_t n)
{
    static_assert(sizeof(census_colour) == sizeof(handover_colour), "the list is handed over as it is");
    if (n > 0 && !write_all(kFileFd, colours, n * sizeof(census_colour), static_cast<off_t>(handover_list_offset()))) {
        fail("cannot hand the colour list over");
    }
    header.colour_count = n;
    if (!write_header()) {
        _exit(3);
    }
    tell(kMessageList);
}

// Waits for the size of the part of the picture the window shows, and writes
// those rows; a request of 0 x 0 (no window) just ends the decoder.
void hand_over_crop(const SDL_Surface* picture)
{
    crop_request request = {0, 0};
    ssize_t got;
    while ((got = recv(kLinkFd, &request, sizeof request, MSG_WAITALL)) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof request) || request.w <= 0 || request.h <= 0) {
        _exit(0);
    }
    const int w = request.w < picture->w ? request.w : picture->w;
    const int h = request.h < picture->h ? request.h : picture->h;
    const std::size_t pitch = handover_crop_pitch(w, header.bytes_per_pixel);
    const std::size_t offset = handover_crop_offset(header.colour_count);
    const std::size_t row_bytes = static_cast<std::size_t>(w) * header.bytes_per_pixel;
    const Uint8* rows = static_cast<const Uint8*>(picture->pixels);
    for (int y = 0; y < h; ++y) {
        if (!write_all(kFileFd, rows + static_cast<std::size_t>(y) * picture->pitch, row_bytes,
                       static_cast<off_t>(offset + static_cast<std::size_t>(y) * pitch))) {
            _exit(3);
        }
    }
    // The last row's padding: the file must hold every row at full pitch.
    if (ftruncate(kFileFd, static_cast<off_t>(offset + pitch * static_cast<std::size_t>(h))) != 0) {
        _exit(3);
    }
    tell(kMessageCrop);
    _exit(0);
}

} // namespace

std::uint32_t decoder_budget_seconds(std::uint64_t size)
{
    const std::uint64_t seconds = kBaseSeconds + size / kBytesPerSecond;
    return seconds > 0xFFFFFFF ? 0xFFFFFFF : static_cast<std::uint32_t>(seconds);
}

void decoder_main(const char* path, decoder_descriptors fds, int parent)
{
    die_with(parent);
    // The tool's handlers (if any) are not the decoder's: a crash ends it.
    const int defaults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGPIPE, SIGXCPU, SIGINT, SIGTERM};
    for (int sig : defaults) {
        std::signal(sig, SIG_DFL);
    }
    keep_own_descriptors(fds);
    header.magic = kHandOverMagic;

    const picture_bytes bytes = take_bytes();
    set_budget(bytes.size);
    IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);

    std::string why;
    if (confine_decoder(&why)) {
        tell(kMessageConfined);
    } else {
        std::snprintf(header.confinement, sizeof header.confinement, "%s", why.c_str());
        write_header();
        tell(kMessageUnconfined);
    }

    census_out_of_memory = out_of_memory;
    census_follow_png(bytes.data, bytes.size);
    SDL_Surface* picture = decode_picture(bytes.data, bytes.size, path, &why);
    census_stop_following();
    if (picture == nullptr) {
        fail(why.empty() ? std::string("the decoder gave no reason") : why);
    }
    fill_layout(picture);
    if (!write_header()) {
        _exit(3);
    }
    tell(kMessageLayout);

    census_colour* colours = nullptr;
    const std::size_t n = census_colours(picture, &colours);
    hand_over_list(colours, n);
    hand_over_crop(picture);
    _exit(0);
}
