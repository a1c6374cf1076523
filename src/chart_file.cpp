// SPDX-License-Identifier: MIT
// The chart's BMP file: SDL's own BMP writer over a stream of the caller's,
// through a large buffer, keeping the first error a write or seek met.
// Creating and replacing the file is the caller's.
#include "chart_file.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kChartFileBuffer = std::size_t{1} << 20;

// The chart file as SDL's BMP writer sees it: the stream, through a large
// buffer, and the first error any write or seek met. SDL goes on after a
// failed write (it seeks back to fill in the header, which fails again with
// another reason), so the first error is the one worth reporting.
struct chart_file {
    std::FILE* out;
    int first_error;

    void note(int error)
    {
        if (first_error == 0) {
            first_error = error != 0 ? error : EIO;
        }
    }
};

chart_file* file_of(SDL_RWops* ops)
{
    return static_cast<chart_file*>(ops->hidden.unknown.data1);
}

int chart_file_seek(SDL_RWops* ops, int offset, int whence)
{
    chart_file* file = file_of(ops);
    errno = 0;
    if (std::fflush(file->out) != 0) {
        file->note(errno);
    }
    errno = 0;
    if (std::fseek(file->out, offset, whence) != 0) {
        file->note(errno);
        SDL_SetError("cannot seek in the chart file");
        return -1;
    }
    const long at = std::ftell(file->out);
    return at < 0 || at > 0x7FFFFFFF ? -1 : static_cast<int>(at);
}

int chart_file_read(SDL_RWops*, void*, int, int)
{
    SDL_SetError("the chart file is written, not read");
    return -1;
}

int chart_file_write(SDL_RWops* ops, const void* data, int size, int count)
{
    chart_file* file = file_of(ops);
    if (size <= 0 || count <= 0) {
        return 0;
    }
    errno = 0;
    const std::size_t written =
        std::fwrite(data, static_cast<std::size_t>(size), static_cast<std::size_t>(count), file->out);
    if (written < static_cast<std::size_t>(count)) {
        file->note(errno);
        SDL_SetError("cannot write the chart file");
    }
    return static_cast<int>(written);
}

int chart_file_close(SDL_RWops*)
{
    return 0; // the stream is closed by its owner
}

// SDL's BMP writer into the stream. SDL writes the chart a row at a time;
// through the file's own 4 KiB buffer that is 4,500 system calls for a
// photograph's chart (25 ms, against 8 through this buffer).
} // namespace

bool write_bmp(SDL_Surface* s, std::FILE* out, std::string* why)
{
    static char buffer[kChartFileBuffer];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    chart_file file = {out, 0};
    SDL_RWops stream;
    std::memset(&stream, 0, sizeof stream);
    stream.seek = chart_file_seek;
    stream.read = chart_file_read;
    stream.write = chart_file_write;
    stream.close = chart_file_close;
    stream.hidden.unknown.data1 = &file;
    SDL_ClearError();
    const bool saved = SDL_SaveBMP_RW(s, &stream, 0) == 0;
    errno = 0;
    if (std::fflush(out) != 0) {
        file.note(errno);
    }
    if (file.first_error != 0) {
        *why = std::strerror(file.first_error);
        return false;
    }
    if (!saved) {
        *why = SDL_GetError();
        return false;
    }
    return true;
}
