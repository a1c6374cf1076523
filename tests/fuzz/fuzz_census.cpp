// SPDX-License-Identifier: MIT
// libFuzzer target for the colour census: builds a small SDL surface of any
// pixel size, masks, pitch and palette from the input, runs pixify on it and
// checks the colour list against an independent census of the same pixels.
//
// Input layout (bytes read from the front; missing bytes read as 0):
//   0  width  = byte % 17          1  height = byte % 17
//   2  depth  = 1 + byte % 32 bits (BytesPerPixel is what SDL makes of it: 1 to 4)
//   3  bits 0-1: masks   0 SDL's own for the depth, 1 four arbitrary 32-bit masks,
//                        2 four contiguous masks given as (shift, width) byte pairs,
//                        3 same as 0
//      bits 2-3: palette 0 as SDL made it (depths up to 8 get one), 1 none,
//                        2 one from the input, 3 same as 0
//      bits 4-7: bytes added to width x BytesPerPixel to make the pitch
//   masks:   mode 1: R, G, B, A as little-endian 32-bit words (16 bytes)
//            mode 2: R, G, B, A as (shift % 32, width % 33) pairs (8 bytes)
//   palette: mode 2: a 16-bit little-endian count % 257, then count x (r, g, b)
//   pixels:  pitch x height bytes, row after row
#include "base/surface.h"
#include "census.h"

#include <SDL.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class input {
public:
    input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte()
    {
        return pos_ < size_ ? data_[pos_++] : 0;
    }
    std::uint32_t word32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return v;
    }
    std::uint16_t word16()
    {
        const std::uint16_t lo = byte();
        return static_cast<std::uint16_t>(lo | byte() << 8);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::uint32_t contiguous_mask(std::uint8_t shift_byte, std::uint8_t width_byte)
{
    const unsigned shift = shift_byte % 32;
    const unsigned width = width_byte % 33;
    const std::uint64_t bits = width == 0 ? 0 : ((std::uint64_t{1} << width) - 1) << shift;
    return static_cast<std::uint32_t>(bits);
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_census: %s\n", what);
    std::abort();
}

// The value a pixel holds, read from the bytes the target wrote: one byte; a
// 16- or 32-bit word in the machine's order; three bytes with the lowest
// address lowest.
std::uint32_t raw_value(const std::uint8_t* row, int x, int bytes)
{
    const std::uint8_t* p = row + static_cast<std::size_t>(x) * bytes;
    switch (bytes) {
    case 1:
        return p[0];
    case 2: {
        std::uint16_t w;
        std::memcpy(&w, p, 2);
        return w;
    }
    case 3:
        return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16;
    default: {
        std::uint32_t w;
        std::memcpy(&w, p, 4);
        return w;
    }
    }
}

// One channel of the split: mask, shift right, shift left by the loss, low 8
// bits. A loss of 8 or more leaves nothing in the low 8 bits. SDL records a
// channel wider than 8 bits as a loss of 8 - width modulo 256 (a 10-bit
// channel has 254): such a channel keeps its top 8 bits.
std::uint8_t channel(std::uint32_t value, std::uint32_t mask, unsigned shift, unsigned loss)
{
    const std::uint32_t bits = (value & mask) >> shift;
    if (loss >= 128) {
        const unsigned extra = 256 - loss; // bits beyond the top 8
        return extra >= 32 ? 0 : static_cast<std::uint8_t>(bits >> extra);
    }
    return loss >= 8 ? 0 : static_cast<std::uint8_t>(bits << loss);
}

struct colour_count {
    std::uint8_t r, g, b;
    long long count;
};

// The census done the slow, obvious way: column by column, a linear search
// of the colours seen so far.
std::vector<colour_count> reference_census(const SDL_Surface* s)
{
    std::vector<colour_count> list;
    const SDL_PixelFormat* f = s->format;
    for (int x = 0; x < s->w; ++x) {
        for (int y = 0; y < s->h; ++y) {
            const auto* row = static_cast<const std::uint8_t*>(s->pixels) + static_cast<std::size_t>(y) * s->pitch;
            const std::uint32_t v = raw_value(row, x, f->BytesPerPixel);
            std::uint8_t r, g, b;
            // Indices only in one-byte pixels whose masks describe no layout
            // within the byte (none, or wider than it).
            const std::uint32_t masks = f->Rmask | f->Gmask | f->Bmask;
            const bool indexed = f->palette != nullptr && f->BytesPerPixel == 1 && (masks == 0 || masks > 0xFF);
            if (indexed) {
                if (v < static_cast<std::uint32_t>(f->palette->ncolors)) {
                    r = f->palette->colors[v].r;
                    g = f->palette->colors[v].g;
                    b = f->palette->colors[v].b;
                } else {
                    r = g = b = 0;
                }
            } else {
                r = channel(v, f->Rmask, f->Rshift, f->Rloss);
                g = channel(v, f->Gmask, f->Gshift, f->Gloss);
                b = channel(v, f->Bmask, f->Bshift, f->Bloss);
            }
            bool found = false;
            for (colour_count& c : list) {
                if (c.r == r && c.g == g && c.b == b) {
                    ++c.count;
                    found = true;
                    break;
                }
            }
            if (!found) {
                list.push_back({r, g, b, 1});
            }
        }
    }
    return list;
}

// What the census prints goes to memory, not to the real streams, so the
// sanitizers' and libFuzzer's own reports (written straight to descriptor 2)
// stay visible; it is checked too.
struct captured {
    char* out_text = nullptr;
    std::size_t out_size = 0;
    char* err_text = nullptr;
    std::size_t err_size = 0;
};

void check_list(const SDL_Surface* s, const captured& printed)
{
    const long long pixels = static_cast<long long>(s->w) * s->h;

    // The invariants of a finished census.
    long long sum = 0;
    std::int32_t entries = 0;
    const pixel* tail = nullptr;
    for (const pixel* e = first; e != nullptr; e = e->next) {
        if (entries > 256) {
            fail("more entries than a 16 x 16 picture has pixels (or a cycle in the list)");
        }
        for (const pixel* o = first; o != e; o = o->next) {
            if (o->r == e->r && o->g == e->g && o->b == e->b) {
                fail("two entries hold the same colour");
            }
        }
        if (e->count < 1) {
            fail("an entry with a count below 1");
        }
        sum += e->count;
        ++entries;
        tail = e;
    }
    if (sum != pixels) {
        fail("counts do not add up to width x height");
    }
    if (entries != color_count) {
        fail("color_count differs from the number of entries");
    }
    if (tail != last) {
        fail("last is not the entry whose next is null");
    }

    // The same list, in the same order, as the slow census.
    const std::vector<colour_count> expected = reference_census(s);
    if (expected.size() != static_cast<std::size_t>(entries)) {
        fail("number of colours differs from the reference census");
    }
    std::size_t i = 0;
    for (const pixel* e = first; e != nullptr; e = e->next, ++i) {
        const colour_count& c = expected[i];
        if (e->r != c.r || e->g != c.g || e->b != c.b || e->count != c.count) {
            fail("an entry differs from the reference census (colour, count or order)");
        }
    }

    // One progress line per column on standard error; one warning per pixel
    // read on standard output for 2- and 3-byte pixels, nothing for 1 and 4.
    std::string progress;
    for (int x = 0; x < s->w; ++x) {
        progress += "LINE FINISHED " + std::to_string(x) + " \n";
    }
    if (std::string(printed.err_text, printed.err_size) != progress) {
        fail("standard error is not one progress line per column");
    }
    std::string warnings;
    const int bytes = s->format->BytesPerPixel;
    const char* line = bytes == 2 ? kWarning16Bit : bytes == 3 ? kWarning24Bit : "";
    for (long long p = 0; p < pixels; ++p) {
        warnings += line;
    }
    if (std::string(printed.out_text, printed.out_size) != warnings) {
        fail("standard output is not one warning line per pixel read");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    input in(data, size);
    const int w = in.byte() % 17;
    const int h = in.byte() % 17;
    const int depth = 1 + in.byte() % 32;
    const std::uint8_t flags = in.byte();
    const int mask_mode = flags & 3;
    const int palette_mode = (flags >> 2) & 3;
    const int pitch_extra = flags >> 4;

    std::uint32_t masks[4] = {0, 0, 0, 0};
    if (mask_mode == 1) {
        for (std::uint32_t& m : masks) {
            m = in.word32();
        }
    } else if (mask_mode == 2) {
        for (std::uint32_t& m : masks) {
            const std::uint8_t shift = in.byte();
            m = contiguous_mask(shift, in.byte());
        }
    }
    const int bytes_per_pixel = (depth + 7) / 8;
    const int pitch = w * bytes_per_pixel + pitch_extra;

    std::vector<SDL_Color> colours;
    if (palette_mode == 2) {
        colours.resize(in.word16() % 257);
        for (SDL_Color& c : colours) {
            c.r = in.byte();
            c.g = in.byte();
            c.b = in.byte();
            c.unused = 0;
        }
    }

    // Exactly the bytes the rows need, so a read past them is caught.
    const std::size_t row_bytes = static_cast<std::size_t>(pitch) * h;
    auto* pixels = static_cast<std::uint8_t*>(std::malloc(row_bytes > 0 ? row_bytes : 1));
    for (std::size_t i = 0; i < row_bytes; ++i) {
        pixels[i] = in.byte();
    }

    SDL_Surface* s = SDL_CreateRGBSurfaceFrom(pixels, w, h, depth, pitch, masks[0], masks[1], masks[2], masks[3]);
    if (s == nullptr) {
        std::free(pixels);
        return 0;
    }
    if (s->format->BytesPerPixel != bytes_per_pixel) {
        fail("SDL made a different pixel size than the depth implies");
    }

    // Swap in the palette the input asks for; SDL's own goes back before the
    // surface is freed.
    SDL_Palette* sdl_palette = s->format->palette;
    SDL_Palette own_palette{};
    if (palette_mode == 1) {
        s->format->palette = nullptr;
    } else if (palette_mode == 2) {
        own_palette.ncolors = static_cast<int>(colours.size());
        own_palette.colors = colours.empty() ? nullptr : colours.data();
        s->format->palette = &own_palette;
    }

    captured printed;
    FILE* out = open_memstream(&printed.out_text, &printed.out_size);
    FILE* err = open_memstream(&printed.err_text, &printed.err_size);
    if (out == nullptr || err == nullptr) {
        fail("cannot open memory streams");
    }
    FILE* const real_out = stdout;
    FILE* const real_err = stderr;
    census_clear();
    image = s;
    first = nullptr;
    stdout = out;
    stderr = err;
    pixify();
    stdout = real_out;
    stderr = real_err;
    std::fclose(out);
    std::fclose(err);

    check_list(s, printed);

    census_clear();
    image = nullptr;
    std::free(printed.out_text);
    std::free(printed.err_text);
    s->format->palette = sdl_palette;
    SDL_FreeSurface(s);
    std::free(pixels);
    return 0;
}
