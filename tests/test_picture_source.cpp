// SPDX-License-Identifier: MIT
// Decoding from memory, in this process: complete pictures of every format
// load, cut ones are refused as cut, pictures without pixels and pictures SDL
// cannot hold say so, and SDL_image's mislabelled grey-with-alpha layout is
// read as grey.
#include "census.h"
#include "picture_source.h"
#include "test_support.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

namespace {

const std::string kFixtures = OMBRIX_FIXTURES;

SDL_Surface* decode(const std::string& bytes, const std::string& name, std::string* why)
{
    return decode_picture(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), name.c_str(), why);
}

const char* const kCompleteFixtures[] = {
    "rgb.png", "rgba.png", "palette.png", "palette.gif", "palette.bmp", "palette.pcx", "palette.xpm",
    "grey.png", "rgb.bmp", "rgb.tga", "rgb.tif", "rgb.jpg", "noise.gif", "noise.jpg", "noise.tga",
    "noise-rle.tga", "noise.ppm", "noise-ascii.ppm", "grey-transparent.png"};

} // namespace

TEST(PictureSource, CompletePicturesOfEveryFormatLoad)
{
    for (const char* name : kCompleteFixtures) {
        SCOPED_TRACE(name);
        std::string why;
        SDL_Surface* picture = decode(read_file(kFixtures + "/" + name), name, &why);
        ASSERT_NE(picture, nullptr) << "a complete picture loads: " << why;
        SDL_Surface* direct = IMG_Load((kFixtures + "/" + name).c_str());
        ASSERT_NE(direct, nullptr) << IMG_GetError();
        EXPECT_EQ(picture->w, direct->w) << "width as IMG_Load reads it";
        EXPECT_EQ(picture->h, direct->h) << "height as IMG_Load reads it";
        SDL_FreeSurface(direct);
        SDL_FreeSurface(picture);
    }
}

TEST(PictureSource, CutPicturesAreRefusedAsCut)
{
    struct cut_case {
        const char* name;
        std::size_t keep_divisor; // keep size / divisor bytes
    };
    const cut_case cases[] = {
        {"noise.gif", 2}, {"noise.jpg", 2}, {"noise.tga", 2}, {"noise-rle.tga", 2},
        {"noise.ppm", 2}, {"noise-ascii.ppm", 2}, {"rgb.png", 2}, {"rgb.bmp", 2}, {"rgb.tif", 2},
    };
    for (const cut_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string whole = read_file(kFixtures + "/" + c.name);
        std::string why;
        SDL_Surface* picture = decode(whole.substr(0, whole.size() / c.keep_divisor), c.name, &why);
        EXPECT_EQ(picture, nullptr) << "a cut picture is not a picture";
        EXPECT_EQ(why, "the file ends before the picture does") << "the reason names the cut";
    }
    // An RLE packet cut by the end of the file: the last pixels would repeat.
    const std::string rle = read_file(kFixtures + "/noise-rle.tga");
    const std::size_t footer = 26; // TGA 2.0 footer "TRUEVISION-XFILE."
    std::string why;
    EXPECT_EQ(decode(rle.substr(0, rle.size() - footer - 1), "cut.tga", &why), nullptr) << "last packet cut";
    EXPECT_EQ(why, "the file ends before the picture does");
}

TEST(PictureSource, PicturesWithoutPixelsOrTooLargeSaySo)
{
    struct refused_case {
        const char* what;
        std::string bytes;
        const char* name;
        const char* reason;
    };
    const std::string zero_tga("\0\0\2\0\0\0\0\0\0\0\0\0\0\0\0\0\30\0", 18);
    std::string wide_png = read_file(kFixtures + "/rgb.png").substr(0, 33);
    wide_png[16] = 0;
    wide_png[17] = 0;
    wide_png[18] = 0x4E;
    wide_png[19] = 0x20; // width 20000
    wide_png[20] = 0;
    wide_png[21] = 0;
    wide_png[22] = 0;
    wide_png[23] = 2; // height 2
    const refused_case cases[] = {
        {"an ASCII PNM declaring 40 x 30 with three samples", "P2\n40 30\n255\n7 8 9\n", "short.pgm",
         "the file ends before the picture does"},
        {"a 0 x 0 TGA", zero_tga, "zero.tga", "the picture has no pixels"},
        {"a PNG 20000 pixels wide", wide_png, "wide.png",
         "20000 \xC3\x97 2 pixels; the largest picture SDL can hold is 16383 \xC3\x97 65535"},
        {"no known format", "hello", "hello.txt", "Unsupported image format"},
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string why;
        EXPECT_EQ(decode(c.bytes, c.name, &why), nullptr) << "refused";
        EXPECT_EQ(why, c.reason) << "reason";
    }
}

TEST(PictureSource, GreyWithATransparentLevelListsItsGreys)
{
    std::string why;
    SDL_Surface* picture = decode(read_file(kFixtures + "/grey-transparent.png"), "grey-transparent.png", &why);
    ASSERT_NE(picture, nullptr) << why;
    EXPECT_EQ(picture->format->BytesPerPixel, 2) << "SDL_image delivers grey and alpha, two bytes";
    census_clear();
    census_count(picture);
    std::vector<std::vector<int>> listed;
    for (const pixel* p = first; p != nullptr; p = p->next) {
        listed.push_back({p->r, p->g, p->b, p->count});
    }
    census_clear();
    const std::vector<std::vector<int>> expected = {{10, 10, 10, 2}, {200, 200, 200, 1}, {77, 77, 77, 1}};
    EXPECT_EQ(listed, expected) << "the grey levels, not grey and alpha as red and green";
    SDL_FreeSurface(picture);
}
