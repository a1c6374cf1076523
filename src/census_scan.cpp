// SPDX-License-Identifier: MIT
// The counting behind the census. The picture is read row by row, in memory
// order, since a column-by-column walk touches a new page for every pixel.
// Each colour's slot in a table indexed by the colour keeps its pixel count
// and the position at which a column-by-column scan would first meet it
// (x * height + y, the smallest over its pixels); sorting the colours by that
// position gives the list in the order the column scan would build it.
#include "census.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t kColourKeys = std::size_t{1} << 24;

struct slot {
    std::uint32_t count;
    std::uint32_t first; // column-scan position of the first pixel; valid once count > 0
};

constexpr std::size_t kTableBytes = kColourKeys * sizeof(slot);
constexpr std::size_t kPageBytes = 4096;

// What one scan of some rows builds: the table, null outside a census, and
// the colours in the order that scan found them, as 24-bit RGB values.
struct census_part {
    slot* table;
    std::uint32_t* found;
    std::size_t found_count;
    std::size_t found_capacity;
    bool used; // the table holds counts: a new census needs a new one
};

// Pictures this large are counted in two halves at once, one per core.
constexpr std::uint64_t kSplitPixels = std::uint64_t{1} << 20;

census_part whole;  // the first half, and in the end the whole picture
census_part second; // the second half of a split census

[[noreturn]] void out_of_memory()
{
    census_out_of_memory();
    std::_Exit(kOutOfMemoryStatus); // a handler that returns is a mistake; never go on
}

// The table's index of a colour interleaves the bits of red, green and blue
// (bit i of each channel lands in bits 3i+2, 3i+1 and 3i), so colours that
// differ only in their low bits, as neighbouring pixels of a photograph do,
// share a page of the table.
struct interleave_table {
    std::uint32_t spread[256];
    constexpr interleave_table() : spread{}
    {
        for (std::uint32_t v = 0; v < 256; ++v) {
            std::uint32_t s = 0;
            for (int bit = 0; bit < 8; ++bit) {
                s |= (v >> bit & 1u) << (3 * bit);
            }
            spread[v] = s;
        }
    }
};
constexpr interleave_table interleave;

inline std::uint32_t table_index(std::uint32_t r, std::uint32_t g, std::uint32_t b)
{
    return interleave.spread[r] << 2 | interleave.spread[g] << 1 | interleave.spread[b];
}

// 128 MiB of address space; only the pages of colours that occur are
// touched, and the kernel hands them out zeroed (in huge pages where it can).
void close_part(census_part* part);

bool open_table(census_part* part)
{
    if (part->table != nullptr && !part->used) {
        return true;
    }
    close_part(part);
    void* memory = mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (memory == MAP_FAILED) {
        return false;
    }
    madvise(memory, kTableBytes, MADV_HUGEPAGE);
    part->table = static_cast<slot*>(memory);
    return true;
}

void close_part(census_part* part)
{
    if (part->table != nullptr) {
        munmap(part->table, kTableBytes);
    }
    std::free(part->found);
    *part = census_part{};
}

// False when the list of found colours cannot grow.
bool note_found(census_part* part, std::uint32_t rgb)
{
    if (part->found_count == part->found_capacity) {
        const std::size_t capacity = part->found_capacity == 0 ? 4096 : part->found_capacity * 2;
        void* grown = std::realloc(part->found, capacity * sizeof *part->found);
        if (grown == nullptr) {
            return false;
        }
        part->found = static_cast<std::uint32_t*>(grown);
        part->found_capacity = capacity;
    }
    part->found[part->found_count++] = rgb;
    return true;
}

// One channel of a raw value: mask, shift down, shift up by the loss, low 8
// bits. SDL stores the loss of a channel wider than 8 bits as 8 - width in an
// unsigned byte (a 10-bit channel has loss 254); such a channel keeps its top
// 8 bits instead of an undefined shift.
struct channel {
    std::uint32_t mask;
    std::uint8_t shift;
    int up;   // left shift for channels of 8 bits or fewer
    int down; // right shift for wider channels
};

channel channel_of(std::uint32_t mask, std::uint8_t shift, std::uint8_t loss)
{
    const int signed_loss = static_cast<std::int8_t>(loss);
    channel c;
    c.mask = shift < 32 && signed_loss > -32 && signed_loss < 32 ? mask : 0;
    c.shift = shift < 32 ? shift : 0;
    c.up = signed_loss > 0 && signed_loss < 32 ? signed_loss : 0;
    c.down = signed_loss < 0 && signed_loss > -32 ? -signed_loss : 0;
    return c;
}

inline std::uint32_t split(std::uint32_t value, const channel& c)
{
    const std::uint32_t bits = (value & c.mask) >> c.shift;
    return static_cast<std::uint8_t>((bits << c.up) >> c.down);
}

// The raw value of one pixel, as surface::get_pixel reads it, without its
// per-pixel warning: census_lines prints those for the whole picture at once.
template <int Bytes>
inline std::uint32_t raw_pixel(const Uint8* p)
{
    if (Bytes == 1) {
        return *p;
    }
    if (Bytes == 2) {
        Uint16 word;
        __builtin_memcpy(&word, p, sizeof word);
        return word;
    }
    if (Bytes == 3) {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
               | static_cast<std::uint32_t>(p[2]) << 16;
    }
    if (Bytes == 4) {
        Uint32 word;
        __builtin_memcpy(&word, p, sizeof word);
        return word;
    }
    return 0;
}

// A one-byte picture holds palette indices unless its masks describe a real
// layout within its eight bits (XV thumbnails are 3-3-2). SDL gives every
// 8-bit surface a palette, and SDL_image labels grey PNGs with masks wider
// than the pixel: those read through their palette.
bool reads_through_palette(const SDL_PixelFormat& format)
{
    if (format.BytesPerPixel != 1 || format.palette == nullptr) {
        return false;
    }
    const std::uint32_t masks = format.Rmask | format.Gmask | format.Bmask;
    return masks == 0 || (masks & ~std::uint32_t{0xFF}) != 0;
}

// The colour of a raw value as 24-bit RGB.
struct colour_reader {
    channel red, green, blue;
    const SDL_Palette* palette;
    std::uint32_t palette_size;

    explicit colour_reader(const SDL_PixelFormat& format)
        : red(channel_of(format.Rmask, format.Rshift, format.Rloss)),
          green(channel_of(format.Gmask, format.Gshift, format.Gloss)),
          blue(channel_of(format.Bmask, format.Bshift, format.Bloss)),
          palette(reads_through_palette(format) ? format.palette : nullptr),
          palette_size(palette != nullptr ? static_cast<std::uint32_t>(palette->ncolors) : 0)
    {
    }

    std::uint32_t rgb(std::uint32_t value) const
    {
        if (palette != nullptr) {
            if (value >= palette_size) {
                return 0; // an index past the palette names no colour: black
            }
            const SDL_Color& c = palette->colors[value];
            return static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
        }
        return split(value, red) << 16 | split(value, green) << 8 | split(value, blue);
    }
};

// The common layouts (every 24- and 32-bit picture SDL_image makes): three
// whole bytes, no palette. Their split is a shift and a mask per channel.
struct byte_reader {
    unsigned red_shift, green_shift, blue_shift;

    static bool fits(const SDL_PixelFormat& format)
    {
        return !reads_through_palette(format) && format.Rloss == 0 && format.Gloss == 0 && format.Bloss == 0
               && format.Rshift < 32 && format.Gshift < 32 && format.Bshift < 32
               && format.Rmask == std::uint32_t{0xFF} << format.Rshift
               && format.Gmask == std::uint32_t{0xFF} << format.Gshift
               && format.Bmask == std::uint32_t{0xFF} << format.Bshift;
    }

    explicit byte_reader(const SDL_PixelFormat& format)
        : red_shift(format.Rshift), green_shift(format.Gshift), blue_shift(format.Bshift)
    {
    }

    byte_reader(unsigned red, unsigned green, unsigned blue) : red_shift(red), green_shift(green), blue_shift(blue)
    {
    }

    std::uint32_t rgb(std::uint32_t value) const
    {
        return (value >> red_shift & 0xFF) << 16 | (value >> green_shift & 0xFF) << 8 | (value >> blue_shift & 0xFF);
    }
};

inline std::uint32_t index_of(std::uint32_t rgb)
{
    return table_index(rgb >> 16, rgb >> 8 & 0xFF, rgb & 0xFF);
}

// Counts one run of equal raw values that starts at column-scan position
// start; its later pixels lie further along the same row, so further in the
// column scan too.
inline bool count_run(census_part* part, std::uint32_t index, std::uint32_t rgb, std::uint32_t length,
                      std::uint32_t start)
{
    slot& s = part->table[index];
    if (s.count == 0) {
        s.first = start;
        if (!note_found(part, rgb)) {
            return false;
        }
    } else if (start < s.first) {
        s.first = start;
    }
    s.count += length;
    return true;
}

// One run of equal raw values within a row.
struct run {
    std::uint32_t index;
    std::uint32_t rgb;
    std::uint32_t start;
    std::uint32_t length;
};

constexpr int kWidestRow = 16383;

// Where a scan finds its rows: at a fixed pitch from the first, or (rows
// counted while they are decoded) through the decoder's array of rows.
struct row_source {
    const Uint8* pixels;
    std::ptrdiff_t pitch;
    const Uint8* const* rows; // when set, row y is rows[y]
    int w;
    int h;

    explicit row_source(const SDL_Surface& picture)
        : pixels(static_cast<const Uint8*>(picture.pixels)), pitch(picture.pitch), rows(nullptr), w(picture.w),
          h(picture.h)
    {
    }

    row_source(const Uint8* const* row_array, int width, int height)
        : pixels(nullptr), pitch(0), rows(row_array), w(width), h(height)
    {
    }

    const Uint8* row(int y) const
    {
        return rows != nullptr ? rows[y] : pixels + static_cast<std::ptrdiff_t>(y) * pitch;
    }
};

// Each row is read in two passes: the first splits its runs and asks for
// their table slots ahead (the table is far larger than the caches, and many
// requests in flight cost little more than one); the second counts them.
// Rows [y_begin, y_end) go into part; false when memory ran out.
template <int Bytes, typename Reader>
bool scan(const row_source& picture, const Reader& reader, int y_begin, int y_end, census_part* part)
{
    const std::uint32_t height = static_cast<std::uint32_t>(picture.h);
    const int width = picture.w < kWidestRow ? picture.w : kWidestRow;
    if (width <= 0) {
        return true;
    }
    static thread_local run row_runs[kWidestRow];
    slot* const table = part->table;
    for (int y = y_begin; y < y_end; ++y) {
        const Uint8* p = picture.row(y);
        std::size_t runs = 0;
        std::uint32_t run_value = raw_pixel<Bytes>(p);
        std::uint32_t rgb = reader.rgb(run_value);
        std::uint32_t index = index_of(rgb);
        __builtin_prefetch(&table[index], 1);
        row_runs[0] = {index, rgb, static_cast<std::uint32_t>(y), 1};
        std::uint32_t position = static_cast<std::uint32_t>(y);
        for (int x = 1; x < width; ++x) {
            p += Bytes;
            position += height;
            const std::uint32_t value = raw_pixel<Bytes>(p);
            if (value == run_value) {
                ++row_runs[runs].length;
                continue;
            }
            run_value = value;
            rgb = reader.rgb(value);
            index = index_of(rgb);
            __builtin_prefetch(&table[index], 1);
            row_runs[++runs] = {index, rgb, position, 1};
        }
        for (std::size_t i = 0; i <= runs; ++i) {
            if (!count_run(part, row_runs[i].index, row_runs[i].rgb, row_runs[i].length, row_runs[i].start)) {
                return false;
            }
        }
    }
    return true;
}

bool scan_rows(const SDL_Surface& surface, const colour_reader& reader, int y_begin, int y_end, census_part* part)
{
    const row_source picture(surface);
    if (byte_reader::fits(*surface.format)) {
        const byte_reader bytes(*surface.format);
        if (surface.format->BytesPerPixel == 4) {
            return scan<4>(picture, bytes, y_begin, y_end, part);
        }
        if (surface.format->BytesPerPixel == 3) {
            return scan<3>(picture, bytes, y_begin, y_end, part);
        }
    }
    switch (surface.format->BytesPerPixel) {
    case 1: return scan<1>(picture, reader, y_begin, y_end, part);
    case 2: return scan<2>(picture, reader, y_begin, y_end, part);
    case 3: return scan<3>(picture, reader, y_begin, y_end, part);
    case 4: return scan<4>(picture, reader, y_begin, y_end, part);
    default: return scan<0>(picture, reader, y_begin, y_end, part); // every pixel reads 0
    }
}

// Adds the second half's counts into the whole's table.
bool merge_second_into_whole()
{
    for (std::size_t i = 0; i < second.found_count; ++i) {
        const std::uint32_t rgb = second.found[i];
        const slot& theirs = second.table[index_of(rgb)];
        if (!count_run(&whole, index_of(rgb), rgb, theirs.count, theirs.first)) {
            return false;
        }
    }
    return true;
}

// Sorts keys by their bits 24 and up (the column-scan position, of which
// position_bits are in use), keeping equal keys in order: a radix sort of
// 12-bit digits, two passes for pictures up to 16 Mpx. The digits' counts are
// all taken in one read of the keys. Returns keys or spare, whichever holds
// the result.
std::uint64_t* sort_by_position(std::uint64_t* keys, std::uint64_t* spare, std::size_t n, int position_bits)
{
    constexpr int kDigitBits = 12;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    constexpr int kMostPasses = 3; // positions take at most 30 bits
    const int passes = (position_bits + kDigitBits - 1) / kDigitBits;
    static std::uint32_t counts[kMostPasses][kBuckets];
    std::memset(counts, 0, sizeof counts);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t position = keys[i] >> 24;
        for (int pass = 0; pass < passes; ++pass) {
            ++counts[pass][position >> (pass * kDigitBits) & (kBuckets - 1)];
        }
    }
    for (int pass = 0; pass < passes; ++pass) {
        std::uint32_t total = 0;
        for (std::uint32_t& c : counts[pass]) {
            const std::uint32_t here = c;
            c = total;
            total += here;
        }
        const int shift = 24 + pass * kDigitBits;
        std::uint32_t* const starts = counts[pass];
        for (std::size_t i = 0; i < n; ++i) {
            spare[starts[keys[i] >> shift & (kBuckets - 1)]++] = keys[i];
        }
        std::uint64_t* swap = keys;
        keys = spare;
        spare = swap;
    }
    return keys;
}

// The found colours in column-scan order, with their counts, in a new array
// of found_count entries (the caller frees it), for a picture of this many
// pixels. The table is read once, in the order colours were found; the sort
// then moves only each colour's position and its index in that order
// (positions take at most 30 bits, indices 24).
census_colour* colours_in_column_order(std::uint64_t pixels)
{
    const std::size_t n = whole.found_count;
    std::uint64_t* keys = static_cast<std::uint64_t*>(std::malloc(n * 2 * sizeof(std::uint64_t) + 1));
    census_colour* found = static_cast<census_colour*>(std::malloc(n * sizeof(census_colour) + 1));
    census_colour* colours = static_cast<census_colour*>(std::malloc(n * sizeof(census_colour) + 1));
    if (keys == nullptr || found == nullptr || colours == nullptr) {
        out_of_memory();
    }
    // The slots are far apart in the table: ask for them a little ahead.
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) {
            __builtin_prefetch(&whole.table[index_of(whole.found[i + kAhead])]);
        }
        const std::uint32_t rgb = whole.found[i];
        const slot& s = whole.table[index_of(rgb)];
        keys[i] = static_cast<std::uint64_t>(s.first) << 24 | i;
        found[i] = {static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                    static_cast<std::uint8_t>(rgb), 0, s.count};
    }
    int position_bits = 0;
    while (position_bits < 32 && (std::uint64_t{1} << position_bits) < pixels) {
        ++position_bits;
    }
    const std::uint64_t* sorted = sort_by_position(keys, keys + n, n, position_bits);
    for (std::size_t i = 0; i < n; ++i) {
        colours[i] = found[sorted[i] & 0xFFFFFF];
    }
    std::free(found);
    std::free(keys);
    return colours;
}

// Counts the picture's rows, in two halves on two threads when it is large.
bool count_rows(const SDL_Surface& picture, const colour_reader& reader)
{
    const std::uint64_t pixels = static_cast<std::uint64_t>(picture.w) * static_cast<std::uint64_t>(picture.h);
    if (pixels < kSplitPixels || picture.h < 2) {
        return scan_rows(picture, reader, 0, picture.h, &whole);
    }
    const int middle = picture.h / 2;
    if (!open_table(&second)) {
        return scan_rows(picture, reader, 0, picture.h, &whole);
    }
    bool second_done = false;
    std::thread helper;
    try {
        helper = std::thread([&] { second_done = scan_rows(picture, reader, middle, picture.h, &second); });
    } catch (const std::system_error&) {
        close_part(&second);
        return scan_rows(picture, reader, 0, picture.h, &whole);
    }
    const bool first_done = scan_rows(picture, reader, 0, middle, &whole);
    helper.join();
    const bool merged = first_done && second_done && merge_second_into_whole();
    close_part(&second);
    return merged;
}

// Rows counted while they were decoded: their layout, whether every row was
// counted, and the decoder's array of their addresses.
struct counted_rows {
    census_row_layout layout;
    bool open;
    bool complete;
    const Uint8* const* rows;
};
counted_rows streamed;

// The rows counted while decoding are exactly this picture's rows, read with
// this picture's layout.
bool streamed_rows_are(const SDL_Surface& picture)
{
    if (!streamed.complete) {
        return false;
    }
    const census_row_layout& layout = streamed.layout;
    const SDL_PixelFormat& format = *picture.format;
    if (picture.w != layout.w || picture.h != layout.h || format.BytesPerPixel != layout.bytes_per_pixel
        || !byte_reader::fits(format) || format.Rshift != layout.red_shift || format.Gshift != layout.green_shift
        || format.Bshift != layout.blue_shift) {
        return false;
    }
    const Uint8* const pixels = static_cast<const Uint8*>(picture.pixels);
    for (int y = 0; y < picture.h; ++y) {
        if (streamed.rows[y] != pixels + static_cast<std::ptrdiff_t>(y) * picture.pitch) {
            return false;
        }
    }
    return true;
}

} // namespace

bool census_rows_open(const census_row_layout& layout)
{
    streamed = counted_rows{};
    const bool layout_known = (layout.bytes_per_pixel == 3 || layout.bytes_per_pixel == 4) && layout.w > 0
                              && layout.h > 0 && layout.w <= kWidestRow && layout.red_shift < 32
                              && layout.green_shift < 32 && layout.blue_shift < 32;
    if (!layout_known || !open_table(&whole)) {
        return false;
    }
    whole.used = true;
    streamed.layout = layout;
    streamed.open = true;
    return true;
}

bool census_rows_count(const unsigned char* const* rows, int y_begin, int y_end)
{
    if (!streamed.open || y_begin < 0 || y_end > streamed.layout.h) {
        return false;
    }
    const census_row_layout& layout = streamed.layout;
    const row_source source(rows, layout.w, layout.h);
    const byte_reader reader(layout.red_shift, layout.green_shift, layout.blue_shift);
    if (layout.bytes_per_pixel == 4) {
        return scan<4>(source, reader, y_begin, y_end, &whole);
    }
    return scan<3>(source, reader, y_begin, y_end, &whole);
}

void census_rows_close(bool complete, const unsigned char* const* rows)
{
    if (!streamed.open) {
        return;
    }
    streamed.open = false;
    streamed.complete = complete && rows != nullptr;
    streamed.rows = rows;
    if (!streamed.complete) {
        close_part(&whole); // a part-counted table is no use to any census
    }
}

std::size_t census_colours(SDL_Surface* picture, census_colour** colours)
{
    *colours = nullptr;
    if (SDL_LockSurface(picture) < 0) {
        std::printf("ERROR:  Unable to lock the picture for reading: %s \n", SDL_GetError());
        return 0;
    }
    const bool counted = streamed_rows_are(*picture);
    streamed = counted_rows{};
    if (!counted) {
        // A table of rows counted while decoding that are not this picture's
        // is used, so this opens a new one.
        if (!open_table(&whole)) {
            out_of_memory();
        }
        whole.found_count = 0;
        const colour_reader reader(*picture->format);
        if (!count_rows(*picture, reader)) {
            out_of_memory();
        }
    }
    const std::size_t n = whole.found_count;
    *colours = colours_in_column_order(static_cast<std::uint64_t>(picture->w) * static_cast<std::uint64_t>(picture->h));
    whole.used = true; // freed by the next census or by census_release
    SDL_UnlockSurface(picture);
    return n;
}

void census_count(SDL_Surface* picture)
{
    census_colour* colours = nullptr;
    const std::size_t n = census_colours(picture, &colours);
    for (std::size_t i = 0; i < n; ++i) {
        addpix(colours[i].r, colours[i].g, colours[i].b);
        last->count = static_cast<std::int32_t>(colours[i].count);
    }
    std::free(colours);
    census_release();
}

void census_prepare(std::uint64_t pixels)
{
    census_part* const parts[] = {&whole, &second};
    const int used = pixels >= kSplitPixels ? 2 : 1;
    for (int i = 0; i < used; ++i) {
        if (!open_table(parts[i])) {
            return; // the census itself reports a table it cannot have
        }
        // Faults every page in with one call where the kernel can; by touching
        // a byte of each page where it cannot (the pages are zero already).
        if (madvise(parts[i]->table, kTableBytes, MADV_POPULATE_WRITE) != 0) {
            volatile char* table = reinterpret_cast<char*>(parts[i]->table);
            for (std::size_t offset = 0; offset < kTableBytes; offset += kPageBytes) {
                table[offset] = 0;
            }
        }
    }
}

void census_release()
{
    streamed = counted_rows{};
    close_part(&whole);
    close_part(&second);
}
