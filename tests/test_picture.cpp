// Picture intake through the decoding child: every format comes back with the
// same layout, palette and census as SDL_image gives in-process; pictures that
// cannot be used come back as null with a reason, and the tool lives on.
#include "census.h"
#include "picture.h"
#include "test_support.h"

#include <SDL_image.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

namespace {

const std::string kFixtures = OMBRIX_FIXTURES;

struct listed_colour {
    int r, g, b, count;
    bool operator==(const listed_colour& o) const
    {
        return r == o.r && g == o.g && b == o.b && count == o.count;
    }
};

std::vector<listed_colour> census_of(SDL_Surface* picture)
{
    census_clear();
    image = picture;
    capture_output();
    pixify();
    captured_stdout();
    captured_stderr();
    std::vector<listed_colour> list;
    for (const pixel* p = first; p != nullptr; p = p->next) {
        list.push_back({p->r, p->g, p->b, p->count});
    }
    census_clear();
    image = nullptr;
    return list;
}

SDL_Surface* load_quietly(const std::string& path, std::string* why)
{
    capture_output();
    SDL_Surface* picture = load_picture(path.c_str(), why);
    const std::string out = captured_stdout();
    const std::string err = captured_stderr();
    EXPECT_EQ(out + err, "") << "loading prints nothing of its own, nor the decoders' complaints";
    return picture;
}

// Loads the fixture both ways and expects the same layout, palette and census.
void expect_same_as_in_process(const std::string& name)
{
    SCOPED_TRACE(name);
    const std::string path = kFixtures + "/" + name;
    SDL_Surface* direct = IMG_Load(path.c_str());
    ASSERT_NE(direct, nullptr) << "SDL_image reads the fixture: " << IMG_GetError();
    std::string why;
    SDL_Surface* handed = load_quietly(path, &why);
    ASSERT_NE(handed, nullptr) << "loaded through the child: " << why;

    EXPECT_EQ(handed->w, direct->w) << "width";
    EXPECT_EQ(handed->h, direct->h) << "height";
    EXPECT_EQ(handed->pitch, direct->pitch) << "row padding kept";
    const SDL_PixelFormat* a = handed->format;
    const SDL_PixelFormat* b = direct->format;
    EXPECT_EQ(a->BitsPerPixel, b->BitsPerPixel) << "bits per pixel";
    EXPECT_EQ(a->BytesPerPixel, b->BytesPerPixel) << "bytes per pixel";
    EXPECT_EQ(a->Rmask, b->Rmask) << "red mask";
    EXPECT_EQ(a->Gmask, b->Gmask) << "green mask";
    EXPECT_EQ(a->Bmask, b->Bmask) << "blue mask";
    EXPECT_EQ(a->Amask, b->Amask) << "alpha mask";
    EXPECT_EQ(handed->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA), direct->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA))
        << "colour key and alpha flags";
    ASSERT_EQ(a->palette != nullptr, b->palette != nullptr) << "a palette exactly when the decoder made one";
    if (b->palette != nullptr) {
        ASSERT_EQ(a->palette->ncolors, b->palette->ncolors) << "palette size";
        EXPECT_EQ(std::memcmp(a->palette->colors, b->palette->colors,
                              sizeof(SDL_Color) * static_cast<std::size_t>(b->palette->ncolors)), 0)
            << "palette colours";
    }
    EXPECT_TRUE(census_of(handed) == census_of(direct)) << "the same census either way";
    SDL_FreeSurface(direct);
    SDL_FreeSurface(handed);
}

const char* const kAllFixtures[] = {"rgb.png", "rgba.png", "palette.png", "palette.gif", "palette.bmp", "palette.pcx",
                                    "palette.xpm", "grey.png", "rgb.bmp", "rgb.tga", "rgb.tif", "rgb.jpg"};

} // namespace

TEST(PictureIntake, EveryFormatArrivesAsSDLImageDecodesIt)
{
    for (const char* name : kAllFixtures) {
        expect_same_as_in_process(name);
    }
}

TEST(PictureIntake, EveryFormatArrivesThroughTheMemoryFileToo)
{
    picture_allow_direct_copy(false);
    for (const char* name : kAllFixtures) {
        expect_same_as_in_process(name);
    }
    picture_allow_direct_copy(true);
}

TEST(PictureIntake, LosslessFormatsAllListTheSameColours)
{
    std::string why;
    SDL_Surface* reference = load_quietly(kFixtures + "/rgb.png", &why);
    ASSERT_NE(reference, nullptr) << why;
    const std::vector<listed_colour> expected = census_of(reference);
    ASSERT_EQ(expected.size(), 5u) << "the fixture holds five colours";
    EXPECT_TRUE((expected[0] == listed_colour{255, 0, 0, 7})) << "red first, on 7 of 35 pixels";

    const char* names[] = {"rgba.png", "palette.png", "palette.gif", "palette.bmp", "palette.pcx",
                           "palette.xpm", "rgb.bmp", "rgb.tga", "rgb.tif"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        SDL_Surface* picture = load_quietly(kFixtures + "/" + name, &why);
        ASSERT_NE(picture, nullptr) << why;
        EXPECT_TRUE(census_of(picture) == expected) << "palette pictures list their real colours, not black";
        SDL_FreeSurface(picture);
    }
    SDL_FreeSurface(reference);

    // Grey pictures read through their palette: each grey v lists as v v v.
    SDL_Surface* grey = load_quietly(kFixtures + "/grey.png", &why);
    ASSERT_NE(grey, nullptr) << why;
    const std::vector<listed_colour> greys = census_of(grey);
    ASSERT_EQ(greys.size(), expected.size()) << "one grey per colour";
    for (const listed_colour& c : greys) {
        EXPECT_TRUE(c.r == c.g && c.g == c.b) << "a grey lists equal channels, got " << c.r << " " << c.g << " " << c.b;
    }
    SDL_FreeSurface(grey);
}

TEST(PictureIntake, TenBitChannelsListTheirTopEightBits)
{
    // A 2 x 1 BMP with BI_BITFIELDS masks of 10 bits per channel: SDL records
    // each channel's loss as 254.
    scratch_dir dir;
    std::string bmp;
    const auto put16 = [&bmp](std::uint16_t v) { bmp.append(reinterpret_cast<const char*>(&v), 2); };
    const auto put32 = [&bmp](std::uint32_t v) { bmp.append(reinterpret_cast<const char*>(&v), 4); };
    const std::uint32_t pixels_offset = 14 + 40 + 12;
    bmp += "BM";
    put32(pixels_offset + 8);
    put32(0);
    put32(pixels_offset);
    put32(40);          // header size
    put32(2);           // width
    put32(1);           // height
    put16(1);           // planes
    put16(32);          // bits per pixel
    put32(3);           // BI_BITFIELDS
    put32(8);           // image size
    put32(2835);
    put32(2835);
    put32(0);
    put32(0);
    put32(0x3FF00000);  // red
    put32(0x000FFC00);  // green
    put32(0x000003FF);  // blue
    put32(0x3FFFFFFF);  // white: every channel 1023
    put32(0x20080200);  // every channel 512
    write_file("wide.bmp", bmp);

    std::string why;
    SDL_Surface* picture = load_quietly("wide.bmp", &why);
    ASSERT_NE(picture, nullptr) << why;
    EXPECT_EQ(picture->format->Rloss, 254) << "SDL's loss for a 10-bit channel";
    const std::vector<listed_colour> expected = {{255, 255, 255, 1}, {128, 128, 128, 1}};
    EXPECT_TRUE(census_of(picture) == expected) << "1023 reads 255 and 512 reads 128, not black";
    SDL_FreeSurface(picture);
}

TEST(PictureIntake, UnusablePicturesComeBackNullWithAReason)
{
    scratch_dir dir;
    const std::string png = read_file(kFixtures + "/rgb.png");
    const std::string bmp = read_file(kFixtures + "/rgb.bmp");
    write_file("empty.png", "");
    write_file("text.png", "this is not a picture\n");
    write_file("half.png", png.substr(0, png.size() / 2));
    write_file("cut.bmp", bmp.substr(0, 20));
    ASSERT_EQ(mkdir("folder.png", 0755), 0);
    // A GIF whose 16384-pixel-wide logical screen crashes SDL_image's decoder.
    const unsigned char wide_gif[] = {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x40, 0x02, 0x00, 0x80, 0x00, 0x00,
                                      0, 0, 0, 255, 255, 255,
                                      ',', 0, 0, 0, 0, 0x00, 0x40, 0x02, 0x00, 0x00,
                                      0x02, 0x02, 0x44, 0x01, 0x00, ';'};
    write_file("wide.gif", std::string(reinterpret_cast<const char*>(wide_gif), sizeof wide_gif));

    struct bad_case {
        const char* path;
        const char* reason_contains; // empty: any reason
    };
    const bad_case cases[] = {
        {"missing.png", "Couldn't open"},
        {"empty.png", "Unsupported image format"},
        {"text.png", "Unsupported image format"},
        {"half.png", ""},
        {"cut.bmp", ""},
        {"folder.png", ""},
        {"wide.gif", ""},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string why;
        SDL_Surface* picture = load_quietly(c.path, &why);
        EXPECT_EQ(picture, nullptr) << "the picture counts as not loaded";
        EXPECT_FALSE(why.empty()) << "a reason is given";
        EXPECT_NE(why.find(c.reason_contains), std::string::npos) << "reason: " << why;
    }
}

TEST(PictureIntake, ReadabilityCheckRejectsBogusLayouts)
{
    SDL_PixelFormat format{};
    Uint8 pixels[64] = {};
    SDL_Surface s{};
    s.format = &format;
    s.pixels = pixels;
    struct layout_case {
        const char* name;
        int bytes, w, h, pitch;
        bool has_pixels;
        bool readable;
    };
    const layout_case cases[] = {
        {"4 bytes, exact pitch", 4, 4, 2, 16, true, true},
        {"1 byte, padded pitch", 1, 3, 2, 4, true, true},
        {"0 bytes per pixel", 0, 3, 2, 0, true, false},
        {"5 bytes per pixel", 5, 1, 1, 5, true, false},
        {"pitch shorter than a row", 4, 4, 2, 15, true, false},
        {"no pixels", 4, 4, 2, 16, false, false},
        {"no pixels, width 0", 4, 0, 2, 0, false, true},
        {"no pixels, height 0", 4, 4, 0, 16, false, true},
        {"negative width", 4, -1, 2, 16, true, false},
    };
    for (const layout_case& c : cases) {
        format.BytesPerPixel = static_cast<Uint8>(c.bytes);
        s.w = c.w;
        s.h = c.h;
        s.pitch = static_cast<Uint16>(c.pitch);
        s.pixels = c.has_pixels ? pixels : nullptr;
        EXPECT_EQ(picture_is_readable(&s), c.readable) << c.name;
    }
    EXPECT_FALSE(picture_is_readable(nullptr)) << "no surface";
}
