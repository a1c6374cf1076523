// SPDX-License-Identifier: MIT
// Text renderer: starts SDL_ttf, opens and closes a font, and draws one line of
// printf-formatted text onto a surface. Holds no state and caches nothing;
// every failure is one line on standard output.
#ifndef OMBRIX_BASE_TTF_H
#define OMBRIX_BASE_TTF_H

#include <SDL.h>
#include <SDL_ttf.h>

class base_ttf {
public:
    void init();
    // Stores the opened font, or null, through handle.
    void load_font(TTF_Font** handle, const char* path, int point_size);
    // Formats into a 1024-byte buffer (longer text is cut short) and copies the
    // solid-rendered text onto target with its top-left corner at (x, y).
    void text_render(SDL_Surface* target, int x, int y, TTF_Font* font,
                     int r, int g, int b, int a, const char* format, ...)
        __attribute__((format(printf, 10, 11)));
    // Closes the font and sets the handle to null; null address or handle: nothing.
    void close_font(TTF_Font** handle);
};

extern base_ttf ttf;

#endif
