// SPDX-License-Identifier: MIT
// get_pixel's raw reads and warnings for every pixel size, row addressing
// through the pitch, and draw's clipping and failure line.
#include "base/surface.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct read_case {
    const char* name;
    int bytes_per_pixel;
    std::vector<Uint8> pixel_bytes; // the pixel's bytes in memory order
    std::uint32_t expected;
    const char* expected_line;
};

// The words the 2- and 4-byte pixels below hold, written out for each byte order.
constexpr bool kLittleEndian = SDL_BYTEORDER == SDL_LIL_ENDIAN;
constexpr std::uint32_t kTwoByteWord = kLittleEndian ? 0x1234u : 0x3412u;
constexpr std::uint32_t kFourByteWord = kLittleEndian ? 0x80336699u : 0x99663380u;

} // namespace

TEST(GetPixel, ReadsEachPixelSizeAndPrintsItsLine)
{
    const read_case cases[] = {
        {"1 byte", 1, {0xAB}, 0xAB, ""},
        {"2 bytes", 2, {0x34, 0x12}, kTwoByteWord, kWarning16Bit},
        {"3 bytes", 3, {0x10, 0x20, 0x30}, 0x302010, kWarning24Bit},
        {"4 bytes with alpha", 4, {0x99, 0x66, 0x33, 0x80}, kFourByteWord, ""},
        {"0 bytes", 0, {0x55}, 0, kErrorNonstandardFormat},
        {"5 bytes", 5, {0x55, 0x55, 0x55, 0x55, 0x55}, 0, kErrorNonstandardFormat},
    };
    for (const read_case& c : cases) {
        SCOPED_TRACE(c.name);
        SDL_PixelFormat format{};
        format.BytesPerPixel = static_cast<Uint8>(c.bytes_per_pixel);
        std::vector<Uint8> memory(16, 0);
        std::memcpy(memory.data() + 8, c.pixel_bytes.data(), c.pixel_bytes.size());
        SDL_Surface picture{};
        picture.format = &format;
        picture.pitch = 8;
        picture.pixels = memory.data();

        capture_output();
        const std::uint32_t value = surface.get_pixel(&picture, 0, 1);
        const std::string out = captured_stdout();
        captured_stderr();

        if (c.bytes_per_pixel >= 1 && c.bytes_per_pixel <= 4) {
            EXPECT_EQ(value, c.expected) << "raw value of the pixel at row 1";
        } else {
            EXPECT_EQ(value, 0u) << "a nonstandard format reads as 0";
        }
        EXPECT_EQ(out, c.expected_line) << "line printed for one read";
    }
}

TEST(GetPixel, WarnsOnEveryReadNotOnce)
{
    Uint8 memory[4] = {1, 2, 3, 4};
    SDL_PixelFormat format{};
    format.BytesPerPixel = 2;
    SDL_Surface picture{};
    picture.format = &format;
    picture.pitch = 4;
    picture.pixels = memory;
    capture_output();
    surface.get_pixel(&picture, 1, 0);
    surface.get_pixel(&picture, 1, 0);
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, std::string(kWarning16Bit) + kWarning16Bit) << "two reads, two warnings";
}

TEST(GetPixel, FindsRowsThroughThePitch)
{
    // 3 pixels of 4 bytes per row, rows 20 bytes apart: 8 bytes of padding each.
    SDL_Surface* picture = SDL_CreateRGBSurfaceFrom(nullptr, 3, 2, 32, 20, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(picture, nullptr);
    std::vector<std::uint32_t> memory(10, 0xDEADBEEF);
    memory[2] = 0x000102;  // row 0, last pixel
    memory[5 + 2] = 0x0A0B0C; // row 1, last pixel (row 1 starts at word 5)
    picture->pixels = memory.data();
    EXPECT_EQ(surface.get_pixel(picture, 2, 0), 0x000102u) << "last pixel of row 0";
    EXPECT_EQ(surface.get_pixel(picture, 2, 1), 0x0A0B0Cu) << "last pixel of row 1, found through the pitch";
    picture->pixels = nullptr;
    SDL_FreeSurface(picture);
}

TEST(Draw, ClipsALargerPictureSilently)
{
    SDL_Surface* big = SDL_CreateRGBSurface(SDL_SWSURFACE, 40, 30, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    SDL_Surface* small = SDL_CreateRGBSurface(SDL_SWSURFACE, 10, 10, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(big, nullptr);
    ASSERT_NE(small, nullptr);
    SDL_FillRect(big, nullptr, 0x00FF00);
    capture_output();
    surface.draw(big, small, 0, 0);
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, "") << "a clipped blit prints nothing";
    SDL_LockSurface(small);
    EXPECT_EQ(surface.get_pixel(small, 9, 9), 0x00FF00u) << "the destination's corner holds the source's colour";
    SDL_UnlockSurface(small);
    SDL_FreeSurface(big);
    SDL_FreeSurface(small);
}

TEST(Draw, PrintsOneLinePerFailedBlit)
{
    SDL_Surface* picture = SDL_CreateRGBSurface(SDL_SWSURFACE, 4, 4, 32, 0, 0, 0, 0);
    SDL_Surface* target = SDL_CreateRGBSurface(SDL_SWSURFACE, 4, 4, 32, 0, 0, 0, 0);
    ASSERT_NE(picture, nullptr);
    ASSERT_NE(target, nullptr);
    // SDL refuses to blit from a surface that is locked.
    SDL_LockSurface(picture);
    capture_output();
    surface.draw(picture, target, 0, 0);
    surface.draw(picture, target, 0, 0);
    const std::string out = captured_stdout();
    captured_stderr();
    SDL_UnlockSurface(picture);
    EXPECT_EQ(out, "ERROR: Surface.Draw -> Unable to blit surface \n"
                   "ERROR: Surface.Draw -> Unable to blit surface \n")
        << "one error line per failed blit";
    SDL_FreeSurface(picture);
    SDL_FreeSurface(target);
}
