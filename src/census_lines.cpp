// SPDX-License-Identifier: MIT
// The lines a census prints besides the listing: a warning per pixel for 2-
// and 3-byte pictures on standard output and a progress line per column on
// standard error. Both follow from the picture's size and pixel size alone,
// so they are written in large blocks rather than one call per line.
#include "census.h"

#include "base/surface.h"

#include <cstdio>
#include <cstring>

namespace {

// Writes the decimal digits of value ending at end; returns their start.
char* put_decimal(char* end, std::uint32_t value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
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

} // namespace

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
