// The colour list and the census that fills it. The list is a plain linked list
// in first-seen order. While the scan runs, each colour's pixels are counted in
// a table indexed directly by the colour's 24 bits, so finding a colour
// costs one memory access instead of a walk of the list, and neighbouring
// pixels of similar colours land close together; the totals are written into
// the list entries when the scan ends.
#include "census.h"

#include "base/surface.h"
#include "options.h"
#include "output_streams.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

SDL_Surface* image;
[[noreturn]] void census_default_out_of_memory();
void (*census_out_of_memory)() = census_default_out_of_memory;

// A fatal error like the others: on standard error, SDL shut down first (a
// full-screen mode is only undone by SDL_Quit), status 255.
void census_default_out_of_memory()
{
    SDL_Quit();
    std::fflush(stdout);
    std::fputs("CRITICAL EXISTANCE FAILURE: Out of memory for the colour list \n", stderr);
    std::fflush(stderr);
    std::_Exit(kOutOfMemoryStatus);
}
pixel* first;
pixel* last;
std::int32_t color_count;

namespace {

constexpr std::size_t kColourKeys = std::size_t{1} << 24;

// Pixel counts per colour; null outside a census.
std::uint32_t* counts;
// How much of the table census_prepare has faulted in.
std::size_t prepared_bytes;
constexpr std::size_t kTableBytes = kColourKeys * sizeof(std::uint32_t);
constexpr std::size_t kPrepareStep = std::size_t{2} << 20; // one huge page
constexpr std::size_t kPageBytes = 4096;

// List entries are handed out from blocks of many entries: a photograph has
// hundreds of thousands of colours, and one heap call per entry costs more
// than the census itself. Blocks are kept until the process ends.
constexpr std::size_t kBlockEntries = 16384;
struct entry_block {
    entry_block* previous;
    std::size_t used;
    pixel entries[kBlockEntries];
};
entry_block* current_block;

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

inline std::uint32_t table_index(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    return interleave.spread[r] << 2 | interleave.spread[g] << 1 | interleave.spread[b];
}

// 64 MiB of address space; only the pages of colours that occur are ever
// touched, and the kernel hands them out zeroed.
void open_counts()
{
    if (counts != nullptr) {
        return;
    }
    void* table = mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (table == MAP_FAILED) {
        out_of_memory();
    }
    madvise(table, kTableBytes, MADV_HUGEPAGE);
    counts = static_cast<std::uint32_t*>(table);
    prepared_bytes = 0;
}

void close_counts()
{
    if (counts != nullptr) {
        munmap(counts, kTableBytes);
        counts = nullptr;
        prepared_bytes = 0;
    }
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

inline std::uint8_t split(std::uint32_t value, const channel& c)
{
    const std::uint32_t bits = (value & c.mask) >> c.shift;
    return static_cast<std::uint8_t>((bits << c.up) >> c.down);
}

// Writes the decimal digits of value ending at end; returns their start.
char* put_decimal(char* end, std::uint32_t value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// The scan for one pixel size. The picture's fields are copied into locals so
// the per-pixel path does not reload them after every call it makes.
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

template <int Bytes>
void scan(const SDL_Surface& picture, const SDL_PixelFormat& format)
{
    const channel red = channel_of(format.Rmask, format.Rshift, format.Rloss);
    const channel green = channel_of(format.Gmask, format.Gshift, format.Gloss);
    const channel blue = channel_of(format.Bmask, format.Bshift, format.Bloss);
    const SDL_Palette* palette = reads_through_palette(format) ? format.palette : nullptr;
    const std::uint32_t palette_size = palette != nullptr ? static_cast<std::uint32_t>(palette->ncolors) : 0;
    const Uint8* const pixels = static_cast<const Uint8*>(picture.pixels);
    const std::ptrdiff_t pitch = picture.pitch;

    std::uint32_t* const table = counts;
    // Runs of one raw value, common in flat areas, skip the split and the index.
    bool have_previous = false;
    std::uint32_t previous_value = 0;
    std::uint32_t previous_index = 0;
    for (int x = 0; x < picture.w; ++x) {
        const Uint8* p = pixels + static_cast<std::ptrdiff_t>(x) * Bytes;
        for (int y = 0; y < picture.h; ++y, p += pitch) {
            const std::uint32_t value = raw_pixel<Bytes>(p);
            if (have_previous && value == previous_value) {
                ++table[previous_index];
                continue;
            }
            std::uint8_t r, g, b;
            if (palette != nullptr) {
                if (value < palette_size) {
                    r = palette->colors[value].r;
                    g = palette->colors[value].g;
                    b = palette->colors[value].b;
                } else {
                    r = g = b = 0;
                }
            } else {
                r = split(value, red);
                g = split(value, green);
                b = split(value, blue);
            }
            const std::uint32_t index = table_index(r, g, b);
            if (table[index]++ == 0) {
                addpix(r, g, b);
            }
            have_previous = true;
            previous_value = value;
            previous_index = index;
        }
    }
}

// Writes count copies of line: the per-pixel warnings of a 12-megapixel
// picture are 600 MB, so they go out in blocks of whole lines.
void write_repeated(std::FILE* out, const char* line, std::size_t length, std::uint64_t count)
{
    constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    static char block[kBlockBytes];
    const std::size_t per_block = kBlockBytes / length;
    const std::size_t filled = static_cast<std::size_t>(count < per_block ? count : per_block);
    for (std::size_t i = 0; i < filled; ++i) {
        std::memcpy(block + i * length, line, length);
    }
    while (count > 0) {
        const std::size_t lines = static_cast<std::size_t>(count < filled ? count : filled);
        fwrite_unlocked(block, length, lines, out);
        count -= lines;
    }
}

// "LINE FINISHED x \n" for every column x, formatted in a block at a time.
void write_progress(std::FILE* out, int w)
{
    constexpr std::size_t kBlockBytes = std::size_t{1} << 16;
    constexpr char kHead[] = "LINE FINISHED ";
    constexpr std::size_t kLongestLine = sizeof kHead - 1 + 11 + 2;
    char block[kBlockBytes];
    std::size_t used = 0;
    for (int x = 0; x < w; ++x) {
        if (used + kLongestLine > sizeof block) {
            fwrite_unlocked(block, 1, used, out);
            used = 0;
        }
        std::memcpy(block + used, kHead, sizeof kHead - 1);
        used += sizeof kHead - 1;
        char digits[12];
        char* end = digits + sizeof digits;
        char* start = put_decimal(end, static_cast<std::uint32_t>(x));
        std::memcpy(block + used, start, static_cast<std::size_t>(end - start));
        used += static_cast<std::size_t>(end - start);
        block[used++] = ' ';
        block[used++] = '\n';
    }
    fwrite_unlocked(block, 1, used, out);
}

pixel* new_entry()
{
    if (current_block == nullptr || current_block->used == kBlockEntries) {
        entry_block* block = static_cast<entry_block*>(std::malloc(sizeof(entry_block)));
        if (block == nullptr) {
            out_of_memory();
        }
        block->previous = current_block;
        block->used = 0;
        current_block = block;
    }
    return &current_block->entries[current_block->used++];
}

// Brings every entry's count up from the table.
void write_counts()
{
    for (pixel* entry = first; entry != nullptr; entry = entry->next) {
        entry->count = static_cast<std::int32_t>(counts[table_index(entry->r, entry->g, entry->b)]);
    }
}

} // namespace

void pixify()
{
    census_lines(image->w, image->h, image->format->BytesPerPixel);
    census_count(image);
}

void census_count(SDL_Surface* picture)
{
    if (SDL_LockSurface(picture) < 0) {
        std::printf("ERROR:  Unable to lock the picture for reading: %s \n", SDL_GetError());
        return;
    }
    open_counts();
    switch (picture->format->BytesPerPixel) {
    case 1: scan<1>(*picture, *picture->format); break;
    case 2: scan<2>(*picture, *picture->format); break;
    case 3: scan<3>(*picture, *picture->format); break;
    case 4: scan<4>(*picture, *picture->format); break;
    default: scan<0>(*picture, *picture->format); break; // every pixel reads 0
    }
    write_counts();
    close_counts();
    SDL_UnlockSurface(picture);
}

void census_lines(int w, int h, int bytes_per_pixel)
{
    const char* line = nullptr;
    std::size_t length = 0;
    if (bytes_per_pixel == 2) {
        line = kWarning16Bit;
        length = sizeof kWarning16Bit - 1;
    } else if (bytes_per_pixel == 3) {
        line = kWarning24Bit;
        length = sizeof kWarning24Bit - 1;
    } else if (bytes_per_pixel < 1 || bytes_per_pixel > 4) {
        line = kErrorNonstandardFormat;
        length = sizeof kErrorNonstandardFormat - 1;
    }
    if (line != nullptr && w > 0 && h > 0) {
        write_repeated(stdout, line, length, static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h));
    }
    write_progress(stderr, w);
}

bool census_prepare()
{
    open_counts();
    if (prepared_bytes >= kTableBytes) {
        return false;
    }
    volatile char* step = reinterpret_cast<char*>(counts) + prepared_bytes;
    for (std::size_t offset = 0; offset < kPrepareStep; offset += kPageBytes) {
        step[offset] = 0; // the page is zero already: this only faults it in
    }
    prepared_bytes += kPrepareStep;
    return true;
}

void pixcompare(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    open_counts();
    if (counts[table_index(r, g, b)]++ == 0) {
        addpix(r, g, b);
    }
}

void addpix(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    pixel* entry = new_entry();
    entry->r = r;
    entry->g = g;
    entry->b = b;
    entry->count = 1;
    entry->next = nullptr;
    if (first == nullptr) {
        first = entry;
    } else {
        last->next = entry;
    }
    ++color_count;
    last = entry;
}

void pixspit()
{
    // Formatted by hand: a photograph lists hundreds of thousands of lines.
    char line[48];
    char* const end = line + sizeof line;
    std::FILE* const out = listing_stream();
    for (const pixel* entry = first; entry != nullptr; entry = entry->next) {
        char* p = end;
        *--p = '\n';
        *--p = ' ';
        if (entry->count < 0) {
            p = put_decimal(p, 0u - static_cast<std::uint32_t>(entry->count));
            *--p = '-';
        } else {
            p = put_decimal(p, static_cast<std::uint32_t>(entry->count));
        }
        *--p = ' ';
        *--p = '|';
        *--p = ' ';
        p = put_decimal(p, entry->b);
        *--p = ' ';
        p = put_decimal(p, entry->g);
        *--p = ' ';
        p = put_decimal(p, entry->r);
        fwrite_unlocked(p, 1, static_cast<std::size_t>(end - p), out);
    }
}

void census_clear()
{
    while (current_block != nullptr) {
        entry_block* previous = current_block->previous;
        std::free(current_block);
        current_block = previous;
    }
    first = nullptr;
    last = nullptr;
    color_count = 0;
    close_counts();
}
