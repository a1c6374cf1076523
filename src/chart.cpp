// SPDX-License-Identifier: MIT
// The chart step: font, chart surface, one band per listed colour (at most as
// many as SDL's 16-bit rectangles can place), then the BMP file, which replaces
// the earlier chart whole or not at all. The chart surface is kept until the
// process ends.
#include "chart.h"

#include "base/base_ttf.h"
#include "census.h"
#include "replace_file.h"
#include "standard_streams.h"

#include <SDL.h>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>

const char* chart_path = kChartFile;

namespace {

// The chart is drawn in the layout of a 24-bit BMP's rows (blue, green, red
// bytes), so SDL's BMP writer writes them as they are instead of converting
// the whole chart (18 MB for a photograph) into a copy first. The file is the
// same as from any other layout of red, green and blue.
constexpr int kChartDepth = 24;
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
constexpr Uint32 kChartRedMask = 0x00FF0000;
constexpr Uint32 kChartGreenMask = 0x0000FF00;
constexpr Uint32 kChartBlueMask = 0x000000FF;
#else
constexpr Uint32 kChartRedMask = 0x000000FF;
constexpr Uint32 kChartGreenMask = 0x0000FF00;
constexpr Uint32 kChartBlueMask = 0x00FF0000;
#endif

constexpr std::size_t kChartFileBuffer = std::size_t{1} << 20;

// The chart surface is kept until the process ends; one census, one chart.
SDL_Surface* chart;

// Faults the chart's pixel memory in with one call instead of a page fault per
// page as the bands are drawn (the chart of a photograph is 18 MB). Only a
// hint: without it the bands fault the pages in as before. Huge pages are not
// asked for: finding free 2 MB blocks made the kernel compact memory first,
// which took 25 ms where the small pages took 7.
void prefault(SDL_Surface* s)
{
    constexpr std::uintptr_t page = 4096;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(s->pixels) + page - 1) / page * page;
    const std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(s->pixels) + static_cast<std::size_t>(s->pitch) * s->h) / page * page;
    if (end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
    }
}

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

// Writes the chart file; when that fails, says so with the system's reason and
// marks the run as failed. The run goes on either way.
void save_chart(SDL_Surface* s)
{
    std::string why;
    const bool saved = replace_file(
        chart_path, [s](std::FILE* out, std::string* reason) { return write_bmp(s, out, reason); }, &why);
    if (!saved) {
        std::fprintf(stderr, "ERROR:  Unable to save the chart: %s - %s \n", chart_path, why.c_str());
        note_unwritten_file();
    }
}

} // namespace

void visual_pixspit()
{
    ttf.init();
    TTF_Font* font = nullptr;
    ttf.load_font(&font, kFontFile, kFontPoints);

    const int bands = color_count < kMaxBands ? color_count : kMaxBands;
    if (bands < color_count) {
        std::printf("WARNING: The chart shows the first %i of %i colours; the rest do not fit \n",
                    bands, color_count);
    }
    if (chart != nullptr) {
        SDL_FreeSurface(chart); // an earlier chart of the same process (tests draw several)
    }
    chart = SDL_CreateRGBSurface(SDL_SWSURFACE, kChartWidth, kBandHeight * bands, kChartDepth, kChartRedMask,
                                 kChartGreenMask, kChartBlueMask, 0);
    if (chart == nullptr) {
        std::printf("ERROR:  Unable to create the chart surface: %s \n", SDL_GetError());
        note_unwritten_file();
        ttf.close_font(&font);
        return;
    }

    prefault(chart);
    SDL_Rect swatch;
    swatch.w = kBandHeight;
    swatch.h = kBandHeight;
    int k = 0;
    for (const pixel* entry = first; entry != nullptr && k < bands; entry = entry->next) {
        swatch.x = 0;
        swatch.y = static_cast<Sint16>(kBandHeight * k);
        SDL_FillRect(chart, &swatch, SDL_MapRGB(chart->format, entry->r, entry->g, entry->b));
        ttf.text_render(chart, kTextX, kBandHeight * k, font, 255, 255, 255, 0,
                        "%i %i %i | %i", entry->r, entry->g, entry->b, entry->count);
        ++k;
    }

    ttf.close_font(&font);
    save_chart(chart);
}
