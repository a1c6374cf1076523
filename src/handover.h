// SPDX-License-Identifier: MIT
// What the decoder process hands back to the tool: a fixed header, the colour
// list and the displayed part of the picture, laid out in one anonymous memory
// file, plus the one-byte messages on the socket pair that say what is ready.
// The tool checks everything here before it trusts it.
#ifndef OMBRIX_HANDOVER_H
#define OMBRIX_HANDOVER_H

#include <SDL.h>
#include <cstddef>
#include <cstdint>

constexpr std::uint32_t kHandOverMagic = 0x4F4D4258; // "OMBX"
constexpr int kHandOverPaletteSize = 256;
constexpr std::size_t kHandOverTextSize = 512;

// Decoder to tool.
constexpr char kMessageConfined = 'C';   // the filter is on
constexpr char kMessageUnconfined = 'U'; // the kernel refused the filter; header.confinement says why
constexpr char kMessageLayout = 'H';     // the header's layout fields are filled in
constexpr char kMessageList = 'L';       // the colour list is in the file
constexpr char kMessageFailed = 'E';     // the picture is unusable; header.text says why
constexpr char kMessageCrop = 'P';       // the requested crop is in the file

struct handover_header {
    std::uint32_t magic;
    std::int32_t w;
    std::int32_t h;
    std::uint32_t flags;
    std::uint32_t bits_per_pixel;
    std::uint32_t bytes_per_pixel;
    std::uint32_t rmask, gmask, bmask, amask;
    std::uint32_t colorkey;
    std::uint32_t alpha;
    std::int32_t ncolors; // -1: no palette
    SDL_Color colours[kHandOverPaletteSize];
    std::uint64_t colour_count; // entries of the list
    std::uint32_t out_of_memory; // 1: the census could not get memory for the list
    char text[kHandOverTextSize];        // why the picture is unusable
    char confinement[kHandOverTextSize]; // why the filter could not be installed
};

// One entry of the colour list, in first-seen order.
struct handover_colour {
    std::uint8_t r, g, b, unused;
    std::uint32_t count;
};

// Tool to decoder: the size of the top-left part of the picture to hand over.
struct crop_request {
    std::int32_t w;
    std::int32_t h;
};

// Where the list and the crop start in the memory file.
std::size_t handover_list_offset();
std::size_t handover_crop_offset(std::uint64_t colour_count);
// The crop's row length in bytes, 4-byte aligned as SDL lays out rows.
std::size_t handover_crop_pitch(std::int32_t w, std::uint32_t bytes_per_pixel);

#endif
