// The chart step: font, chart surface, one band per listed colour (at most as
// many as SDL's 16-bit rectangles can place), then the BMP file. The chart
// surface is kept until the process ends.
#include "chart.h"

#include "base/base_ttf.h"
#include "census.h"

#include <SDL.h>
#include <cstdio>
#include <cstdint>
#include <sys/mman.h>

const char* chart_path = kChartFile;

namespace {
// The chart surface is kept until the process ends; one census, one chart.
SDL_Surface* chart;

// Faults the chart's pixel memory in with one call instead of a page fault per
// page as the bands are drawn (the chart of a photograph is 24 MB). Only a
// hint: without it the bands fault the pages in as before.
void prefault(SDL_Surface* s)
{
    constexpr std::uintptr_t page = 4096;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(s->pixels) + page - 1) / page * page;
    const std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(s->pixels) + static_cast<std::size_t>(s->pitch) * s->h) / page * page;
    if (end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
        madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
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
    chart = SDL_CreateRGBSurface(SDL_SWSURFACE, kChartWidth, kBandHeight * bands, 32, 0, 0, 0, 0);
    if (chart == nullptr) {
        std::printf("ERROR:  Unable to create the chart surface: %s \n", SDL_GetError());
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
    SDL_SaveBMP_RW(chart, SDL_RWFromFile(chart_path, "wb"), 1);
}
