// SPDX-License-Identifier: MIT
// The tool's side of the decoder: open and fork, then a loop over the
// decoder's one-byte messages and the signals that may end the wait. Every
// field the decoder hands back is checked before it is used, since a picture
// that took over the decoder could write anything there.
#include "picture.h"

#include "census.h"
#include "decoder.h"
#include "handover.h"
#include "picture_limits.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kLargestColourCount = std::uint64_t{1} << 24;
constexpr char kStandardInput[] = "-";

struct decoder_job {
    bool started;
    pid_t pid;
    int link;
    int file;
    std::string early_error; // a failure before the decoder could start
};

decoder_job job;
// A decoder that handed its picture over and is ending on its own: reaped by
// the next intake, or by the system once the tool has ended.
pid_t finished_decoder;

// The signal that ended the wait, written by the handler; the pipe wakes poll.
volatile sig_atomic_t caught_signal;
int signal_pipe[2] = {-1, -1};

void on_signal(int sig)
{
    caught_signal = sig;
    const char byte = 's';
    const int saved = errno;
    if (write(signal_pipe[1], &byte, 1) < 0) {
        // Nothing to do: the flag is set and poll times out soon after.
    }
    errno = saved;
}

std::string system_reason(int code)
{
    return std::strerror(code);
}

// Opens the picture without waiting for a FIFO's writer; a FIFO with none
// then reads as empty.
int open_picture(const char* path)
{
    if (std::strcmp(path, kStandardInput) == 0) {
        return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    }
    return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

void close_job()
{
    if (job.link >= 0) {
        close(job.link);
    }
    if (job.file >= 0) {
        close(job.file);
    }
    job.link = -1;
    job.file = -1;
    job.started = false;
}

std::string reap(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::string("lost the decoder: ") + system_reason(errno);
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    char text[200];
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGSYS) {
            return "the decoder tried to do something it is not allowed to do (a blocked system call)";
        }
        if (sig == SIGXCPU || sig == SIGKILL) {
            return "the decoder did not finish within its CPU-time budget";
        }
        const char* name = strsignal(sig);
        std::snprintf(text, sizeof text, "the decoder crashed (signal %d, %s)", sig,
                      name != nullptr ? name : "unknown");
    } else if (WIFEXITED(status)) {
        std::snprintf(text, sizeof text, "the decoder failed (exit status %d)", WEXITSTATUS(status));
    } else {
        std::snprintf(text, sizeof text, "the decoder ended abnormally");
    }
    return text;
}

bool read_header(handover_header* header)
{
    if (pread(job.file, header, sizeof *header, 0) != static_cast<ssize_t>(sizeof *header)
        || header->magic != kHandOverMagic) {
        return false;
    }
    header->text[kHandOverTextSize - 1] = '\0';
    header->confinement[kHandOverTextSize - 1] = '\0';
    return true;
}

// The layout fields describe a picture SDL can hold and the tool can read.
bool layout_is_sound(const handover_header& h)
{
    if (h.w < 1 || h.h < 1 || static_cast<std::uint32_t>(h.w) > kLargestPictureWidth
        || static_cast<std::uint32_t>(h.h) > kLargestPictureHeight) {
        return false;
    }
    if (h.bytes_per_pixel < 1 || h.bytes_per_pixel > 4 || h.bits_per_pixel < 1 || h.bits_per_pixel > 32
        || (h.bits_per_pixel + 7) / 8 != h.bytes_per_pixel) {
        return false;
    }
    return h.ncolors >= -1 && h.ncolors <= kHandOverPaletteSize;
}

// Reads the colour list and appends it; the counts must add up to the pixels.
bool take_list(const handover_header& h)
{
    const std::uint64_t pixels = static_cast<std::uint64_t>(h.w) * static_cast<std::uint64_t>(h.h);
    if (h.colour_count > kLargestColourCount || h.colour_count > pixels) {
        return false;
    }
    constexpr std::size_t kBatch = 4096;
    static handover_colour batch[kBatch];
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    while (done < h.colour_count) {
        const std::size_t n = static_cast<std::size_t>(h.colour_count - done < kBatch ? h.colour_count - done : kBatch);
        const std::size_t bytes = n * sizeof(handover_colour);
        const off_t at = static_cast<off_t>(handover_list_offset() + done * sizeof(handover_colour));
        if (pread(job.file, batch, bytes, at) != static_cast<ssize_t>(bytes)) {
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (batch[i].count == 0 || batch[i].count > pixels) {
                return false;
            }
            addpix(batch[i].r, batch[i].g, batch[i].b);
            last->count = static_cast<std::int32_t>(batch[i].count);
            total += batch[i].count;
        }
        done += n;
    }
    return total == pixels;
}

// The crop as a surface with the decoded picture's layout, palette, colour
// key and alpha, so that it blits exactly as the whole picture would.
SDL_Surface* take_crop(const handover_header& h, int w, int hgt)
{
    SDL_Surface* crop = SDL_CreateRGBSurface(SDL_SWSURFACE, w, hgt, static_cast<int>(h.bits_per_pixel), h.rmask,
                                             h.gmask, h.bmask, h.amask);
    if (crop == nullptr) {
        return nullptr;
    }
    const std::size_t pitch = handover_crop_pitch(w, h.bytes_per_pixel);
    const std::size_t bytes = pitch * static_cast<std::size_t>(hgt);
    if (static_cast<std::size_t>(crop->pitch) != pitch
        || pread(job.file, crop->pixels, bytes, static_cast<off_t>(handover_crop_offset(h.colour_count)))
               != static_cast<ssize_t>(bytes)) {
        SDL_FreeSurface(crop);
        return nullptr;
    }
    SDL_PixelFormat* format = crop->format;
    if (h.ncolors >= 0) {
        if (format->palette == nullptr || format->palette->ncolors < h.ncolors) {
            SDL_FreeSurface(crop);
            return nullptr;
        }
        std::memcpy(format->palette->colors, h.colours, static_cast<std::size_t>(h.ncolors) * sizeof(SDL_Color));
        format->palette->ncolors = h.ncolors;
    } else if (format->palette != nullptr) {
        format->palette->ncolors = 0; // the decoder gave no palette
    }
    SDL_SetColorKey(crop, h.flags & SDL_SRCCOLORKEY, h.colorkey);
    SDL_SetAlpha(crop, h.flags & SDL_SRCALPHA, static_cast<Uint8>(h.alpha));
    return crop;
}

// Waits for the next message byte; 0 when the decoder is gone, -1 when a
// signal ended the wait.
int next_message()
{
    for (;;) {
        if (caught_signal != 0) {
            return -1;
        }
        pollfd ready[2] = {{job.link, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
        const int n = poll(ready, 2, 1000);
        if (n < 0 && errno != EINTR) {
            return 0;
        }
        if (caught_signal != 0) {
            return -1;
        }
        if (n > 0 && (ready[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char message = 0;
            const ssize_t got = recv(job.link, &message, 1, MSG_DONTWAIT);
            if (got == 1) {
                return static_cast<unsigned char>(message);
            }
            if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                return 0;
            }
        }
    }
}

struct saved_handlers {
    struct sigaction interrupt;
    struct sigaction terminate;
};

void catch_signals(saved_handlers* saved)
{
    caught_signal = 0;
    if (signal_pipe[0] < 0 && pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signal_pipe[0] = signal_pipe[1] = -1;
    }
    struct sigaction ours;
    std::memset(&ours, 0, sizeof ours);
    ours.sa_handler = on_signal;
    sigemptyset(&ours.sa_mask);
    sigaction(SIGINT, &ours, &saved->interrupt);
    sigaction(SIGTERM, &ours, &saved->terminate);
}

void restore_signals(const saved_handlers& saved)
{
    sigaction(SIGINT, &saved.interrupt, nullptr);
    sigaction(SIGTERM, &saved.terminate, nullptr);
}

intake_result end_with(intake_result result, const std::string& reason, std::string* why)
{
    *why = reason;
    return result;
}

intake_result collect(int max_w, int max_h, bool quiet, SDL_Surface** shown, std::string* why)
{
    handover_header header;
    std::memset(&header, 0, sizeof header);
    bool layout_known = false;
    for (;;) {
        const int message = next_message();
        if (message < 0) {
            return intake_result::interrupted;
        }
        if (message == 0) {
            // The decoder ended without handing over: a crash, the budget or the filter.
            const std::string ended = reap(job.pid);
            job.pid = 0;
            return end_with(intake_result::unloadable,
                            ended.empty() ? "the decoder handed back nothing readable" : ended, why);
        }
        if (message == kMessageUnconfined) {
            if (read_header(&header)) {
                std::fprintf(stderr, "WARNING: The picture decoder runs without its system-call filter: %s \n",
                             header.confinement);
            }
        } else if (message == kMessageFailed) {
            if (!read_header(&header)) {
                return end_with(intake_result::unloadable, "the decoder handed back nothing readable", why);
            }
            if (header.out_of_memory != 0) {
                return intake_result::out_of_memory;
            }
            return end_with(intake_result::unloadable, header.text, why);
        } else if (message == kMessageLayout) {
            if (!read_header(&header) || !layout_is_sound(header)) {
                return end_with(intake_result::unloadable, "the decoded picture cannot be read safely", why);
            }
            layout_known = true;
            if (!quiet) {
                census_lines(header.w, header.h, static_cast<int>(header.bytes_per_pixel));
                std::fflush(stderr);
            }
        } else if (message == kMessageList) {
            if (!layout_known || !read_header(&header) || !layout_is_sound(header) || !take_list(header)) {
                census_clear();
                return end_with(intake_result::unloadable, "the decoder handed back an impossible colour list", why);
            }
            const int w = max_w < header.w ? max_w : header.w;
            const int h = max_h < header.h ? max_h : header.h;
            const crop_request request = {w > 0 && h > 0 ? w : 0, w > 0 && h > 0 ? h : 0};
            send(job.link, &request, sizeof request, MSG_NOSIGNAL);
            if (request.w == 0) {
                *shown = nullptr;
                return intake_result::loaded;
            }
            const int reply = next_message();
            if (reply < 0) {
                return intake_result::interrupted;
            }
            *shown = reply == kMessageCrop ? take_crop(header, w, h) : nullptr;
            if (*shown == nullptr) {
                return end_with(intake_result::unloadable, "the decoder did not hand over the picture to show", why);
            }
            return intake_result::loaded;
        }
        // Anything else (kMessageConfined, stray bytes) needs no action.
    }
}

} // namespace

void picture_start(const char* path)
{
    if (finished_decoder > 0) {
        reap(finished_decoder);
        finished_decoder = 0;
    }
    job = decoder_job{};
    job.link = -1;
    job.file = -1;
    const int picture = open_picture(path);
    if (picture < 0) {
        job.early_error = system_reason(errno);
        return;
    }
    job.file = memfd_create("ombrix-picture", MFD_CLOEXEC);
    int link[2];
    if (job.file < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0) {
        job.early_error = std::string("cannot start the decoder: ") + system_reason(errno);
        close(picture);
        close_job();
        return;
    }
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        job.early_error = std::string("cannot start the decoder: ") + system_reason(errno);
        close(link[0]);
        close(link[1]);
        close(picture);
        close_job();
        return;
    }
    if (child == 0) {
        decoder_main(path, decoder_descriptors{picture, job.file, link[1]}, parent);
    }
    close(picture);
    close(link[1]);
    job.link = link[0];
    job.pid = child;
    job.started = true;
}

intake_result picture_finish(int max_w, int max_h, bool quiet, SDL_Surface** shown, std::string* why,
                             int* signal_number)
{
    *shown = nullptr;
    if (!job.started) {
        return end_with(intake_result::unloadable,
                        job.early_error.empty() ? "the decoder was not started" : job.early_error, why);
    }
    saved_handlers saved;
    catch_signals(&saved);
    const intake_result result = collect(max_w, max_h, quiet, shown, why);
    *signal_number = caught_signal;
    if (result == intake_result::loaded) {
        // The decoder has handed everything over and ends by itself; freeing
        // its memory takes the system a while, which the run need not wait for.
        finished_decoder = job.pid;
        job.pid = 0;
    } else if (job.pid > 0) {
        kill(job.pid, SIGKILL);
        reap(job.pid);
        job.pid = 0;
    }
    close_job();
    restore_signals(saved);
    return result;
}
