// SPDX-License-Identifier: MIT
// Header readers for the formats whose header states the picture's size.
// Each reads only the bytes it checks are there.
#include "picture_limits.h"

#include <cctype>
#include <cstring>

namespace {

std::uint32_t big16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 8 | p[1];
}

std::uint32_t big32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16
           | static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::uint32_t little16(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

std::uint32_t little32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16
           | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

bool png_size(const unsigned char* d, std::size_t n, std::uint32_t* w, std::uint32_t* h)
{
    if (n < 24 || std::memcmp(d + 12, "IHDR", 4) != 0) {
        return false;
    }
    *w = big32(d + 16);
    *h = big32(d + 20);
    return true;
}

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint32_t kPngHeaderLength = 13;
constexpr std::size_t kPngHeaderEnd = 29; // signature, chunk length and type, the header's 13 bytes

bool gif_size(const unsigned char* d, std::size_t n, std::uint32_t* w, std::uint32_t* h)
{
    if (n < 10) {
        return false;
    }
    *w = little16(d + 6);
    *h = little16(d + 8);
    return true;
}

bool bmp_size(const unsigned char* d, std::size_t n, std::uint32_t* w, std::uint32_t* h)
{
    if (n < 26) {
        return false;
    }
    if (little32(d + 14) == 12) {
        *w = little16(d + 18);
        *h = little16(d + 20);
        return true;
    }
    const std::int32_t width = static_cast<std::int32_t>(little32(d + 18));
    const std::int32_t height = static_cast<std::int32_t>(little32(d + 22));
    // A negative height means rows from the top down.
    *w = width < 0 ? 0u - static_cast<std::uint32_t>(width) : static_cast<std::uint32_t>(width);
    *h = height < 0 ? 0u - static_cast<std::uint32_t>(height) : static_cast<std::uint32_t>(height);
    return true;
}

bool tga_size(const unsigned char* d, std::size_t n, std::uint32_t* w, std::uint32_t* h)
{
    if (n < 18) {
        return false;
    }
    *w = little16(d + 12);
    *h = little16(d + 14);
    return true;
}

// The first start-of-frame segment: FF Cn except C4 (tables), C8 and CC.
bool jpeg_size(const unsigned char* d, std::size_t n, std::uint32_t* w, std::uint32_t* h)
{
    std::size_t i = 2;
    while (i + 4 <= n) {
        if (d[i] != 0xFF) {
            return false;
        }
        const unsigned char marker = d[i + 1];
        if (marker == 0xFF) {
            ++i; // fill byte
            continue;
        }
        const std::size_t length = big16(d + i + 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (i + 9 > n) {
                return false;
            }
            *h = big16(d + i + 5);
            *w = big16(d + i + 7);
            return true;
        }
        if (length < 2) {
            return false;
        }
        i += 2 + length;
    }
    return false;
}

// "P1" to "P6", then width and height as decimal text, with comments.
bool pnm_size(const unsigned char* d, std::size_t n, std::uint32_t* w, std::uint32_t* h)
{
    std::size_t i = 2;
    std::uint32_t values[2] = {0, 0};
    for (std::uint32_t& value : values) {
        for (;;) {
            while (i < n && std::isspace(d[i])) {
                ++i;
            }
            if (i < n && d[i] == '#') {
                while (i < n && d[i] != '\n') {
                    ++i;
                }
                continue;
            }
            break;
        }
        if (i >= n || !std::isdigit(d[i])) {
            return false;
        }
        std::uint64_t v = 0;
        while (i < n && std::isdigit(d[i])) {
            v = v * 10 + static_cast<std::uint64_t>(d[i] - '0');
            if (v > 0xFFFFFFFFu) {
                return false;
            }
            ++i;
        }
        value = static_cast<std::uint32_t>(v);
    }
    *w = values[0];
    *h = values[1];
    return true;
}

} // namespace

bool declared_size(const char* format, const unsigned char* data, std::size_t size, std::uint32_t* w,
                   std::uint32_t* h)
{
    if (std::strcmp(format, "PNG") == 0) {
        return png_size(data, size, w, h);
    }
    if (std::strcmp(format, "JPG") == 0) {
        return jpeg_size(data, size, w, h);
    }
    if (std::strcmp(format, "GIF") == 0) {
        return gif_size(data, size, w, h);
    }
    if (std::strcmp(format, "BMP") == 0) {
        return bmp_size(data, size, w, h);
    }
    if (std::strcmp(format, "TGA") == 0) {
        return tga_size(data, size, w, h);
    }
    if (std::strcmp(format, "PNM") == 0) {
        return pnm_size(data, size, w, h);
    }
    return false;
}

std::string too_large_reason(bool size_known, std::uint32_t w, std::uint32_t h)
{
    const std::string limit = "the largest picture SDL can hold is " + std::to_string(kLargestPictureWidth) + " \xC3\x97 "
                              + std::to_string(kLargestPictureHeight);
    if (!size_known) {
        return limit;
    }
    return std::to_string(w) + " \xC3\x97 " + std::to_string(h) + " pixels; " + limit;
}

std::string too_large_to_hold_reason(std::uint32_t w, std::uint32_t h)
{
    return std::to_string(w) + " \xC3\x97 " + std::to_string(h) + " pixels; too many for SDL to hold in memory";
}

bool read_png_header(const unsigned char* data, std::size_t size, png_header* header)
{
    if (size < kPngHeaderEnd || std::memcmp(data, kPngSignature, sizeof kPngSignature) != 0
        || big32(data + 8) != kPngHeaderLength || std::memcmp(data + 12, "IHDR", 4) != 0) {
        return false;
    }
    header->w = big32(data + 16);
    header->h = big32(data + 20);
    header->bit_depth = data[24];
    header->colour_type = data[25];
    header->interlaced = data[28] != 0;
    return true;
}
