// SPDX-License-Identifier: MIT
// The largest picture SDL 1.2 can hold, and the size a picture's header
// declares, read without decoding, so that a refused picture can be reported
// with its size instead of SDL_image's "Out of memory".
#ifndef OMBRIX_PICTURE_LIMITS_H
#define OMBRIX_PICTURE_LIMITS_H

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::uint32_t kLargestPictureWidth = 16383;
constexpr std::uint32_t kLargestPictureHeight = 65535;

// The width and height declared in the header of a PNG, JPEG, GIF, BMP, TGA
// or PNM file (format as SDL_image names it: "PNG", "JPG", ...). False when
// the format is another or the header is cut or malformed.
bool declared_size(const char* format, const unsigned char* data, std::size_t size, std::uint32_t* w,
                   std::uint32_t* h);

// What a PNG's header (its first chunk, IHDR) declares.
struct png_header {
    std::uint32_t w;
    std::uint32_t h;
    unsigned bit_depth;
    unsigned colour_type; // 2: RGB, 6: RGBA, ...
    bool interlaced;
};
// False when the bytes do not start with the PNG signature and an IHDR chunk.
bool read_png_header(const unsigned char* data, std::size_t size, png_header* header);

// The reason for a picture SDL cannot hold: "W × H pixels; the largest picture
// SDL can hold is 16383 × 65535", or only the limit when the size is unknown.
std::string too_large_reason(bool size_known, std::uint32_t w, std::uint32_t h);

// The reason for a picture within those sides that SDL still cannot hold: its
// pixels take more memory than SDL 1.2 can address in one surface (2 GiB), or
// than the system gives. "W × H pixels; too many for SDL to hold in memory".
std::string too_large_to_hold_reason(std::uint32_t w, std::uint32_t h);

#endif
