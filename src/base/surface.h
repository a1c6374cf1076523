// SPDX-License-Identifier: MIT
// Surface helpers: the raw read of one pixel and the copy of a whole surface
// onto another. Callers lock surfaces and keep coordinates in range; nothing
// here checks for null surfaces or out-of-range positions.
#ifndef OMBRIX_BASE_SURFACE_H
#define OMBRIX_BASE_SURFACE_H

#include <SDL.h>
#include <cstdint>
#include <cstdio>

class surface {
public:
    // Raw value of the pixel at column x, row y. The caller holds the lock.
    // Inline because the census calls it once for every pixel of a picture.
    std::uint32_t get_pixel(SDL_Surface* source, int x, int y);

    // Copies the whole of source onto destination with its top-left corner at
    // (x, y); SDL clips. A failed blit prints one error line.
    void draw(SDL_Surface* source, SDL_Surface* destination, int x, int y);
};

extern class surface surface;

// Lines printed by get_pixel, kept with their lengths so the per-pixel path
// writes them without formatting.
constexpr char kWarning16Bit[] = "WARNING: Using a 16-bit image - surface->get_pixel\n";
constexpr char kWarning24Bit[] = "WARNING: Using a 24-bit image - surface->get_pixel\n";
constexpr char kErrorNonstandardFormat[] = "ERROR: Surface.GetPixel -> Nonstandard pixel format\n";

inline std::uint32_t surface::get_pixel(SDL_Surface* source, int x, int y)
{
    const int bytes = source->format->BytesPerPixel;
    const Uint8* p = static_cast<const Uint8*>(source->pixels)
                     + static_cast<std::ptrdiff_t>(y) * source->pitch
                     + static_cast<std::ptrdiff_t>(x) * bytes;
    switch (bytes) {
    case 1:
        return *p;
    case 2: {
        fwrite_unlocked(kWarning16Bit, 1, sizeof kWarning16Bit - 1, stdout);
        Uint16 word;
        __builtin_memcpy(&word, p, sizeof word);
        return word;
    }
    case 3:
        fwrite_unlocked(kWarning24Bit, 1, sizeof kWarning24Bit - 1, stdout);
        // Lowest address in the lowest bits, whatever the machine's byte order.
        return static_cast<std::uint32_t>(p[0])
               | static_cast<std::uint32_t>(p[1]) << 8
               | static_cast<std::uint32_t>(p[2]) << 16;
    case 4: {
        Uint32 word;
        __builtin_memcpy(&word, p, sizeof word);
        return word;
    }
    default:
        fwrite_unlocked(kErrorNonstandardFormat, 1, sizeof kErrorNonstandardFormat - 1, stdout);
        return 0;
    }
}

#endif
