// SPDX-License-Identifier: MIT
// The colour list: its entries in first-seen order, the census that fills it
// (census_scan.cpp counts) and the listing that prints it. Entries come from
// blocks of many, since a photograph has hundreds of thousands of colours.
#include "census.h"

#include "output_streams.h"

#include <cstdio>
#include <cstdlib>

SDL_Surface* image;
pixel* first;
pixel* last;
std::int32_t color_count;

namespace {

[[noreturn]] void default_out_of_memory()
{
    SDL_Quit();
    std::fflush(stdout);
    std::fputs("CRITICAL EXISTANCE FAILURE: Out of memory for the colour list \n", stderr);
    std::fflush(stderr);
    std::_Exit(kOutOfMemoryStatus);
}

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

// Writes the decimal digits of value ending at end; returns their start.
char* put_decimal(char* end, std::uint32_t value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// A new list entry, from the current block or a new one.
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

} // namespace

// A fatal error like the others: on standard error, SDL shut down first (a
// full-screen mode is only undone by SDL_Quit), status 255.
void (*census_out_of_memory)() = default_out_of_memory;

void pixify()
{
    census_lines(image->w, image->h, image->format->BytesPerPixel);
    census_count(image);
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
    census_release();
}
