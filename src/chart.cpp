// SPDX-License-Identifier: MIT
// The chart step: font, chart surface, one band per listed colour (at most as
// many as SDL's 16-bit rectangles can place), then the BMP file, which replaces
// the earlier chart whole or not at all. The chart surface is kept until the
// process ends.
#include "chart.h"

#include "base/base_ttf.h"
#include "census.h"
#include "chart_file.h"
#include "replace_file.h"
#include "standard_streams.h"

#include <SDL.h>
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <system_error>
#include <thread>

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

// SDL's row length for the chart: three bytes a pixel, rounded up to four.
constexpr std::size_t kChartPitch = (static_cast<std::size_t>(kChartWidth) * 3 + 3) / 4 * 4;
constexpr std::size_t kLargestChartBytes = kChartPitch * kBandHeight * kMaxBands;
// Charts smaller than this are not worth the prepared memory.
constexpr std::size_t kSmallestPreparedChart = std::size_t{1} << 20;

// Zeroed memory for the largest chart, faulted in by a thread of its own
// while the picture decodes (chart_prepare), for the first chart to draw on.
struct prepared_canvas {
    void* memory;
    std::atomic<bool> filled; // every page is in; the thread has ended
};
prepared_canvas canvas;

// Gives back the prepared pages past the first used bytes, once the thread
// that faults them in has ended (until then they stay).
void trim_canvas(void* memory, std::size_t used)
{
    if (!canvas.filled.load(std::memory_order_acquire)) {
        return;
    }
    constexpr std::uintptr_t page = 4096;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t keep = (start + used + page - 1) / page * page;
    const std::uintptr_t end = start + kLargestChartBytes;
    if (end > keep) {
        munmap(reinterpret_cast<void*>(keep), end - keep);
    }
}

// A chart surface of the given number of bands, zeroed: on the prepared
// memory when there is some, otherwise newly allocated and faulted in.
SDL_Surface* new_chart_surface(int bands)
{
    const std::size_t bytes = kChartPitch * kBandHeight * static_cast<std::size_t>(bands);
    if (canvas.memory != nullptr && bytes >= kSmallestPreparedChart) {
        void* memory = canvas.memory;
        canvas.memory = nullptr; // one chart only; it is kept until the process ends
        SDL_Surface* s = SDL_CreateRGBSurfaceFrom(memory, kChartWidth, kBandHeight * bands, kChartDepth,
                                                  static_cast<int>(kChartPitch), kChartRedMask, kChartGreenMask,
                                                  kChartBlueMask, 0);
        if (s != nullptr) {
            trim_canvas(memory, bytes);
            return s;
        }
    }
    if (canvas.memory != nullptr && canvas.filled.load(std::memory_order_acquire)) {
        munmap(canvas.memory, kLargestChartBytes); // too large for this chart: give it back
        canvas.memory = nullptr;
    }
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, kChartWidth, kBandHeight * bands, kChartDepth,
                                          kChartRedMask, kChartGreenMask, kChartBlueMask, 0);
    if (s != nullptr) {
        prefault(s);
    }
    return s;
}

// Writes the chart file; when that fails, says so with the system's reason and
// marks the run as failed. The run goes on either way.
void save_chart(SDL_Surface* s)
{
    std::string why;
    const bool saved = replace_file(
        chart_path, [s](std::FILE* file, std::string* reason) { return write_bmp(s, file, reason); }, &why);
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
    chart = new_chart_surface(bands);
    if (chart == nullptr) {
        std::printf("ERROR:  Unable to create the chart surface: %s \n", SDL_GetError());
        note_unwritten_file();
        ttf.close_font(&font);
        return;
    }

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

void chart_prepare()
{
    if (canvas.memory != nullptr) {
        return;
    }
    void* memory = mmap(nullptr, kLargestChartBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return; // the chart allocates its own memory, as without this
    }
    canvas.filled.store(false, std::memory_order_relaxed);
    canvas.memory = memory;
    try {
        // Populating leaves the (zero) contents as they are, so the chart may
        // be drawn on pages the thread has not reached yet.
        std::thread([memory] {
            madvise(memory, kLargestChartBytes, MADV_POPULATE_WRITE);
            canvas.filled.store(true, std::memory_order_release);
        }).detach();
    } catch (const std::system_error&) {
        // The pages are faulted in as the chart is drawn.
    }
}
