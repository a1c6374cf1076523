// SPDX-License-Identifier: MIT
// The text renderer over SDL_ttf: one call per operation, each failure reported
// as one line on standard output and the caller left to carry on. In quiet mode,
// where standard output carries only the listing, a failure to start the font
// library or open the font goes to standard error instead.
#include "base/base_ttf.h"

#include "font_file.h"
#include "options.h"

#include <cstdarg>
#include <cstdio>

base_ttf ttf;

namespace {
constexpr int kTextBufferSize = 1024;

std::FILE* failure_stream()
{
    return options.quiet ? stderr : stdout;
}
} // namespace

void base_ttf::init()
{
    std::fputs("DEBUG:  Attempting to Init SDL_TTF \n", stdout);
    if (TTF_Init() == -1) {
        std::fprintf(failure_stream(), "CRITICAL EXISTANCE FAILURE: TTF did not Init: %s\n", SDL_GetError());
    } else {
        std::fputs("DEBUG:  SDL_TTF Initialized sucessfully \n", stdout);
    }
}

void base_ttf::load_font(TTF_Font** handle, const char* path, int point_size)
{
    *handle = open_font_file(path, point_size);
    if (*handle == nullptr) {
        std::fprintf(failure_stream(), "CRITICAL EXISTANCE FAILURE: TTF Failed to Load: %s\n", path);
    }
}

void base_ttf::text_render(SDL_Surface* target, int x, int y, TTF_Font* font,
                           int r, int g, int b, int a, const char* format, ...)
{
    if (font == nullptr) {
        std::fputs("CRITICAL EXISTANCE FAILURE: Attempting to draw NULL font \n", stdout);
        return;
    }
    SDL_Color colour;
    colour.r = static_cast<Uint8>(r & 0xFF);
    colour.g = static_cast<Uint8>(g & 0xFF);
    colour.b = static_cast<Uint8>(b & 0xFF);
    colour.unused = static_cast<Uint8>(a & 0xFF);

    char text[kTextBufferSize];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);

    SDL_Surface* rendered = TTF_RenderText_Solid(font, text, colour);
    if (rendered == nullptr) {
        std::printf("CRITICAL EXISTANCE FAILURE: TTF Failed to Render: %s\n", text);
        return;
    }
    SDL_Rect where;
    where.x = static_cast<Sint16>(x);
    where.y = static_cast<Sint16>(y);
    where.w = 0;
    where.h = 0;
    SDL_UpperBlit(rendered, nullptr, target, &where);
    SDL_FreeSurface(rendered);
}

void base_ttf::close_font(TTF_Font** handle)
{
    if (handle == nullptr || *handle == nullptr) {
        return;
    }
    TTF_CloseFont(*handle);
    *handle = nullptr;
}
