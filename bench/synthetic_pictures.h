// SPDX-License-Identifier: MIT
// Pictures made in memory for the census benchmark: a landscape with smooth
// gradients and a little sensor noise (hundreds of thousands of colours, like a
// photograph), and a poster of sixteen flat colours in blocks.
#ifndef OMBRIX_BENCH_SYNTHETIC_PICTURES_H
#define OMBRIX_BENCH_SYNTHETIC_PICTURES_H

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace synthetic {

struct rgb {
    std::uint8_t r, g, b;
};

// A well-mixed 64-bit hash; the noise must not show patterns of its own.
inline std::uint64_t mix(std::uint64_t v)
{
    v += 0x9E3779B97F4A7C15ull;
    v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
    v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
    return v ^ (v >> 31);
}

inline std::uint8_t clamp_channel(double v)
{
    return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

// A landscape: sky darkening upwards with soft clouds and a sun with its glow,
// rolling hills on the horizon, a field fading into the foreground, and
// per-pixel noise of at most +-noise in each channel.
inline void landscape(int w, int h, int noise, std::vector<rgb>* out)
{
    out->resize(static_cast<std::size_t>(w) * h);
    const double pi = 3.14159265358979323846;
    const double sun_x = 0.72 * w, sun_y = 0.22 * h, sun_r = 0.035 * w;
    // Per-column terms: the horizon line and the cloud bands' phase.
    std::vector<double> horizon(w), cloud_col(w);
    for (int x = 0; x < w; ++x) {
        const double u = static_cast<double>(x) / w;
        horizon[x] = h * (0.58 + 0.05 * std::sin(2 * pi * u * 1.3 + 0.7) + 0.02 * std::sin(2 * pi * u * 4.1 + 2.1)
                          + 0.006 * std::sin(2 * pi * u * 13.0));
        cloud_col[x] = std::sin(2 * pi * u * 2.2) + 0.5 * std::sin(2 * pi * u * 5.3 + 1.0);
    }
    for (int y = 0; y < h; ++y) {
        const double v = static_cast<double>(y) / h;
        for (int x = 0; x < w; ++x) {
            const double u = static_cast<double>(x) / w;
            double r, g, b;
            if (y < horizon[x]) {
                const double t = y / horizon[x]; // 0 at the top, 1 at the horizon
                r = 30 + 170 * t * t;
                g = 75 + 140 * t;
                b = 160 + 75 * t;
                // Clouds: bright, slightly warm bands that thin out near the horizon.
                const double c = 0.5 + 0.5 * std::sin(2 * pi * v * 3.1 + cloud_col[x]) * std::cos(2 * pi * u * 1.7 - v * 4);
                const double cloud = std::pow(c, 3) * (1 - t) * 0.8;
                r += (235 - r) * cloud;
                g += (232 - g) * cloud;
                b += (228 - b) * cloud;
                // The sun and its glow.
                const double dx = x - sun_x, dy = y - sun_y;
                const double d = std::sqrt(dx * dx + dy * dy);
                const double glow = d < sun_r ? 1.0 : std::exp(-(d - sun_r) / (0.12 * w));
                r += (255 - r) * glow;
                g += (236 - g) * glow * 0.95;
                b += (190 - b) * glow * 0.85;
            } else {
                const double t = (y - horizon[x]) / (h - horizon[x]); // 0 at the horizon, 1 at the bottom
                const double field = 0.5 + 0.5 * std::sin(2 * pi * (u * 3.0 + t * t * 6.0))
                                                     * std::sin(2 * pi * (t * 2.5 - u * 1.2 + 0.3));
                r = 70 + 50 * field + 30 * t;
                g = 105 + 45 * field - 45 * t;
                b = 40 + 15 * field - 20 * t;
                const double haze = (1 - t) * (1 - t) * 0.45; // distance fades into the sky's colour
                r += (190 - r) * haze;
                g += (205 - g) * haze;
                b += (215 - b) * haze;
                const double shade = 1 - 0.35 * t; // the foreground in shadow
                r *= shade;
                g *= shade;
                b *= shade;
            }
            const std::uint64_t n = mix(static_cast<std::uint64_t>(y) << 32 | static_cast<std::uint32_t>(x));
            const int span = 2 * noise + 1;
            const int nr = static_cast<int>(n % span) - noise;
            const int ng = static_cast<int>((n >> 16) % span) - noise;
            const int nb = static_cast<int>((n >> 32) % span) - noise;
            (*out)[static_cast<std::size_t>(y) * w + x] = {clamp_channel(r + nr), clamp_channel(g + ng),
                                                           clamp_channel(b + nb)};
        }
    }
}

// Sixteen flat colours laid out as a poster: a grid of blocks of a few sizes,
// so columns cross a colour edge every few hundred pixels.
inline void poster16(int w, int h, std::vector<rgb>* out)
{
    static const rgb colours[16] = {
        {0, 0, 0},       {255, 255, 255}, {200, 30, 40},  {30, 160, 60},  {20, 60, 190},   {250, 210, 40},
        {240, 120, 20},  {120, 40, 160},  {40, 200, 210}, {230, 90, 160}, {110, 70, 30},   {128, 128, 128},
        {190, 230, 120}, {60, 40, 90},    {250, 180, 170}, {10, 90, 100},
    };
    out->resize(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int bx = x / 250, by = y / (y < h / 2 ? 150 : 375);
            const std::uint64_t n = mix(static_cast<std::uint64_t>(by) << 32 | static_cast<std::uint32_t>(bx));
            (*out)[static_cast<std::size_t>(y) * w + x] = colours[n & 15];
        }
    }
}

// A 32-bit X-R-G-B surface (red in bits 16 to 23) holding the colours.
inline SDL_Surface* surface32(int w, int h, const std::vector<rgb>& colours)
{
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0);
    if (s == nullptr) {
        return nullptr;
    }
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(s->pixels) + y * s->pitch);
        for (int x = 0; x < w; ++x) {
            const rgb c = colours[static_cast<std::size_t>(y) * w + x];
            row[x] = 0xFF000000u | static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
        }
    }
    return s;
}

// A 24-bit surface with red in bits 16 to 23 of the value read: the bytes in
// memory are blue, green, red.
inline SDL_Surface* surface24(int w, int h, const std::vector<rgb>& colours)
{
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 24, 0x00FF0000, 0x0000FF00, 0x000000FF, 0);
    if (s == nullptr) {
        return nullptr;
    }
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = static_cast<std::uint8_t*>(s->pixels) + y * s->pitch;
        for (int x = 0; x < w; ++x) {
            const rgb c = colours[static_cast<std::size_t>(y) * w + x];
            row[3 * x] = c.b;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.r;
        }
    }
    return s;
}

// Number of distinct colours.
inline std::size_t distinct(const std::vector<rgb>& colours)
{
    std::vector<std::uint64_t> seen((1u << 24) / 64, 0);
    std::size_t n = 0;
    for (const rgb& c : colours) {
        const std::uint32_t key = static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
        std::uint64_t& word = seen[key >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (key & 63);
        if ((word & bit) == 0) {
            word |= bit;
            ++n;
        }
    }
    return n;
}

} // namespace synthetic

#endif
