// The colour list and the census that fills it. The list is a plain linked list
// in first-seen order; an open-addressing index keyed by the packed colour finds
// a colour's entry without walking the list, so a photograph with hundreds of
// thousands of colours costs a few nanoseconds per pixel instead of hours.
#include "census.h"

#include "base/surface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

SDL_Surface* image;
pixel* first;
pixel* last;
std::int32_t color_count;

namespace {

// One slot of the index: the packed colour 0xRRGGBB and its list entry.
struct slot {
    std::uint32_t key;
    pixel* entry;
};

constexpr std::uint32_t kEmptyKey = 0xFFFFFFFFu; // no packed colour reaches it
constexpr std::uint32_t kFirstIndexBits = 12;

slot* index_slots;
std::uint32_t index_bits;
std::uint32_t index_used;
pixel* recent; // the entry counted last: runs of one colour skip the index

[[noreturn]] void out_of_memory()
{
    std::fputs("CRITICAL EXISTANCE FAILURE: Out of memory for the colour list \n", stdout);
    std::exit(EXIT_FAILURE);
}

std::uint32_t pack(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    return static_cast<std::uint32_t>(r) << 16 | static_cast<std::uint32_t>(g) << 8 | b;
}

std::uint32_t home_slot(std::uint32_t key, std::uint32_t bits)
{
    return (key * 0x9E3779B1u) >> (32 - bits);
}

slot* allocate_slots(std::uint32_t bits)
{
    const std::size_t n = std::size_t{1} << bits;
    slot* slots = static_cast<slot*>(std::malloc(n * sizeof(slot)));
    if (slots == nullptr) {
        out_of_memory();
    }
    for (std::size_t i = 0; i < n; ++i) {
        slots[i].key = kEmptyKey;
        slots[i].entry = nullptr;
    }
    return slots;
}

void insert_slot(slot* slots, std::uint32_t bits, std::uint32_t key, pixel* entry)
{
    const std::uint32_t mask = (1u << bits) - 1;
    std::uint32_t i = home_slot(key, bits);
    while (slots[i].key != kEmptyKey) {
        i = (i + 1) & mask;
    }
    slots[i].key = key;
    slots[i].entry = entry;
}

// Keeps the index at most half full, so probes stay short.
void grow_index_if_needed()
{
    if (index_slots == nullptr) {
        index_bits = kFirstIndexBits;
        index_slots = allocate_slots(index_bits);
        return;
    }
    if ((index_used + 1) * 2 <= (1u << index_bits)) {
        return;
    }
    const std::uint32_t bits = index_bits + 1;
    slot* slots = allocate_slots(bits);
    const std::uint32_t n = 1u << index_bits;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (index_slots[i].key != kEmptyKey) {
            insert_slot(slots, bits, index_slots[i].key, index_slots[i].entry);
        }
    }
    std::free(index_slots);
    index_slots = slots;
    index_bits = bits;
}

pixel* find_entry(std::uint32_t key)
{
    if (index_slots == nullptr) {
        return nullptr;
    }
    const std::uint32_t mask = (1u << index_bits) - 1;
    std::uint32_t i = home_slot(key, index_bits);
    while (index_slots[i].key != kEmptyKey) {
        if (index_slots[i].key == key) {
            return index_slots[i].entry;
        }
        i = (i + 1) & mask;
    }
    return nullptr;
}

// Writes the decimal digits of value (0 or more) ending at end; returns the start.
char* put_decimal(char* end, std::uint32_t value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

} // namespace

void pixify()
{
    const SDL_PixelFormat* format = image->format;
    const Uint32 rmask = format->Rmask, gmask = format->Gmask, bmask = format->Bmask;
    const Uint8 rshift = format->Rshift, gshift = format->Gshift, bshift = format->Bshift;
    const Uint8 rloss = format->Rloss, gloss = format->Gloss, bloss = format->Bloss;
    // A palette-indexed picture holds indices, not colours: look them up.
    const SDL_Palette* palette = format->palette;

    if (SDL_LockSurface(image) < 0) {
        std::printf("ERROR:  Unable to lock the picture for reading: %s \n", SDL_GetError());
        return;
    }
    const int w = image->w;
    const int h = image->h;
    for (int x = 0; x < w; ++x) {
        std::fprintf(stderr, "LINE FINISHED %i \n", x);
        for (int y = 0; y < h; ++y) {
            const std::uint32_t value = surface.get_pixel(image, x, y);
            std::uint8_t r, g, b;
            if (palette != nullptr) {
                if (value < static_cast<std::uint32_t>(palette->ncolors)) {
                    r = palette->colors[value].r;
                    g = palette->colors[value].g;
                    b = palette->colors[value].b;
                } else {
                    r = g = b = 0;
                }
            } else {
                r = static_cast<std::uint8_t>(((value & rmask) >> rshift) << rloss);
                g = static_cast<std::uint8_t>(((value & gmask) >> gshift) << gloss);
                b = static_cast<std::uint8_t>(((value & bmask) >> bshift) << bloss);
            }
            pixcompare(r, g, b);
        }
    }
    SDL_UnlockSurface(image);
}

void pixcompare(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    if (recent != nullptr && recent->r == r && recent->g == g && recent->b == b) {
        ++recent->count;
        return;
    }
    pixel* entry = find_entry(pack(r, g, b));
    if (entry != nullptr) {
        ++entry->count;
        recent = entry;
        return;
    }
    addpix(r, g, b);
}

void addpix(std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    grow_index_if_needed();
    pixel* entry = static_cast<pixel*>(std::malloc(sizeof(pixel)));
    if (entry == nullptr) {
        out_of_memory();
    }
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

    insert_slot(index_slots, index_bits, pack(r, g, b), entry);
    ++index_used;
    recent = entry;
}

void pixspit()
{
    // Formatted by hand: a photograph lists hundreds of thousands of lines.
    char line[48];
    char* const end = line + sizeof line;
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
        fwrite_unlocked(p, 1, static_cast<std::size_t>(end - p), stdout);
    }
}

void census_clear()
{
    pixel* entry = first;
    while (entry != nullptr) {
        pixel* next = entry->next;
        std::free(entry);
        entry = next;
    }
    first = nullptr;
    last = nullptr;
    color_count = 0;
    std::free(index_slots);
    index_slots = nullptr;
    index_bits = 0;
    index_used = 0;
    recent = nullptr;
}
