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
#include <sys/mman.h>

SDL_Surface* image;
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
    std::fputs("CRITICAL EXISTANCE FAILURE: Out of memory for the colour list \n", stdout);
    std::exit(EXIT_FAILURE);
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
template <int Bytes>
void scan(const SDL_Surface& picture, const SDL_PixelFormat& format_in)
{
    SDL_PixelFormat format = format_in;
    format.BytesPerPixel = Bytes; // the same value: lets get_pixel's switch fold
    SDL_Surface local = picture;
    local.format = &format;
    const channel red = channel_of(format.Rmask, format.Rshift, format.Rloss);
    const channel green = channel_of(format.Gmask, format.Gshift, format.Gloss);
    const channel blue = channel_of(format.Bmask, format.Bshift, format.Bloss);
    // A palette-indexed picture holds indices, not colours: look them up.
    const SDL_Palette* palette = format.palette;
    const std::uint32_t palette_size = palette != nullptr ? static_cast<std::uint32_t>(palette->ncolors) : 0;

    std::uint32_t* const table = counts;
    // Runs of one raw value, common in flat areas, skip the split and the index.
    bool have_previous = false;
    std::uint32_t previous_value = 0;
    std::uint32_t previous_index = 0;
    for (int x = 0; x < local.w; ++x) {
        if (!options.quiet) {
            std::fprintf(stderr, "LINE FINISHED %i \n", x);
        }
        for (int y = 0; y < local.h; ++y) {
            const std::uint32_t value = surface.get_pixel(&local, x, y);
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
    if (SDL_LockSurface(image) < 0) {
        std::printf("ERROR:  Unable to lock the picture for reading: %s \n", SDL_GetError());
        return;
    }
    open_counts();
    switch (image->format->BytesPerPixel) {
    case 1: scan<1>(*image, *image->format); break;
    case 2: scan<2>(*image, *image->format); break;
    case 3: scan<3>(*image, *image->format); break;
    case 4: scan<4>(*image, *image->format); break;
    default: scan<0>(*image, *image->format); break; // get_pixel reports and reads 0
    }
    write_counts();
    close_counts();
    SDL_UnlockSurface(image);
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
