// SPDX-License-Identifier: MIT
// Picture intake through the decoder process: every format arrives with the
// same colours and the same shown pixels as SDL_image gives in-process;
// damaged, empty, hostile and endless pictures come back as errors with a
// truthful reason; a signal ends the wait. Decoding in-process is in
// test_picture_source.cpp.
#include "census.h"
#include "picture.h"
#include "test_support.h"

#include <SDL_image.h>
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kFixtures = OMBRIX_FIXTURES;

struct listed_colour {
    int r, g, b, count;
    bool operator==(const listed_colour& o) const
    {
        return r == o.r && g == o.g && b == o.b && count == o.count;
    }
};

std::ostream& operator<<(std::ostream& out, const listed_colour& c)
{
    return out << "(" << c.r << " " << c.g << " " << c.b << " | " << c.count << ")";
}

std::vector<listed_colour> current_list()
{
    std::vector<listed_colour> list;
    for (const pixel* p = first; p != nullptr; p = p->next) {
        list.push_back({p->r, p->g, p->b, p->count});
    }
    return list;
}

struct intake {
    intake_result result;
    SDL_Surface* shown;
    std::string why;
    int signal_number;
    std::vector<listed_colour> list;
    std::string out;
    std::string err;
};

// Runs the intake on path, as the tool does, with the lines it prints captured.
intake take_in(const std::string& path, int max_w = 16383, int max_h = 65535, bool quiet = false)
{
    census_clear();
    intake got{};
    capture_output();
    picture_start(path.c_str());
    got.result = picture_finish(max_w, max_h, quiet, &got.shown, &got.why, &got.signal_number);
    got.out = captured_stdout();
    got.err = captured_stderr();
    got.list = current_list();
    census_clear();
    return got;
}

// The census of a surface decoded in this process.
std::vector<listed_colour> census_of(SDL_Surface* picture)
{
    census_clear();
    census_count(picture);
    std::vector<listed_colour> list = current_list();
    census_clear();
    return list;
}

const char* const kAllFixtures[] = {"rgb.png", "rgba.png", "palette.png", "palette.gif", "palette.bmp", "palette.pcx",
                                    "palette.xpm", "grey.png", "rgb.bmp", "rgb.tga", "rgb.tif", "rgb.jpg"};

const std::vector<listed_colour> kFixtureColours = {
    {255, 0, 0, 7}, {0, 255, 0, 7}, {0, 0, 255, 7}, {255, 255, 0, 7}, {12, 34, 56, 7}};
const std::vector<listed_colour> kFixtureGreys = {
    {76, 76, 76, 7}, {150, 150, 150, 7}, {29, 29, 29, 7}, {226, 226, 226, 7}, {30, 30, 30, 7}};

} // namespace

TEST(PictureIntake, EveryFormatArrivesAsSDLImageDecodesIt)
{
    for (const char* name : kAllFixtures) {
        SCOPED_TRACE(name);
        const std::string path = kFixtures + "/" + name;
        SDL_Surface* direct = IMG_Load(path.c_str());
        ASSERT_NE(direct, nullptr) << "SDL_image reads the fixture: " << IMG_GetError();
        const intake got = take_in(path);
        ASSERT_EQ(got.result, intake_result::loaded) << "loaded through the decoder: " << got.why;
        ASSERT_NE(got.shown, nullptr) << "the shown part came back";
        EXPECT_EQ(got.list, census_of(direct)) << "the same census as in-process";
        EXPECT_EQ(got.shown->w, direct->w) << "a picture smaller than the window comes back whole";
        EXPECT_EQ(got.shown->h, direct->h);
        const SDL_PixelFormat* a = got.shown->format;
        const SDL_PixelFormat* b = direct->format;
        EXPECT_EQ(a->BitsPerPixel, b->BitsPerPixel) << "bits per pixel";
        EXPECT_EQ(a->Rmask, b->Rmask) << "red mask";
        EXPECT_EQ(a->Gmask, b->Gmask) << "green mask";
        EXPECT_EQ(a->Bmask, b->Bmask) << "blue mask";
        EXPECT_EQ(a->Amask, b->Amask) << "alpha mask";
        EXPECT_EQ(got.shown->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA), direct->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA))
            << "colour key and alpha flags";
        ASSERT_EQ(a->palette != nullptr, b->palette != nullptr) << "a palette exactly when the decoder made one";
        if (b->palette != nullptr) {
            ASSERT_EQ(a->palette->ncolors, b->palette->ncolors) << "palette size";
            EXPECT_EQ(std::memcmp(a->palette->colors, b->palette->colors,
                                  sizeof(SDL_Color) * static_cast<std::size_t>(b->palette->ncolors)), 0)
                << "palette colours";
        }
        for (int y = 0; y < direct->h; ++y) {
            const std::size_t row = static_cast<std::size_t>(direct->w) * b->BytesPerPixel;
            EXPECT_EQ(std::memcmp(static_cast<Uint8*>(got.shown->pixels) + y * got.shown->pitch,
                                  static_cast<Uint8*>(direct->pixels) + y * direct->pitch, row), 0)
                << "row " << y << " of the shown pixels";
        }
        SDL_FreeSurface(direct);
        SDL_FreeSurface(got.shown);
    }
}

TEST(PictureIntake, EveryFixtureListsItsColoursInColumnOrder)
{
    struct fixture_case {
        const char* name;
        const std::vector<listed_colour>* colours;
    };
    const fixture_case cases[] = {
        {"rgb.png", &kFixtureColours},     {"rgba.png", &kFixtureColours},    {"palette.png", &kFixtureColours},
        {"palette.gif", &kFixtureColours}, {"palette.bmp", &kFixtureColours}, {"palette.pcx", &kFixtureColours},
        {"palette.xpm", &kFixtureColours}, {"rgb.bmp", &kFixtureColours},     {"rgb.tga", &kFixtureColours},
        {"rgb.tif", &kFixtureColours},     {"grey.png", &kFixtureGreys},
    };
    for (const fixture_case& c : cases) {
        SCOPED_TRACE(c.name);
        const intake got = take_in(kFixtures + "/" + c.name);
        ASSERT_EQ(got.result, intake_result::loaded) << got.why;
        EXPECT_EQ(got.list, *c.colours) << "the fixture's five colours, seven pixels each, in column order";
        SDL_FreeSurface(got.shown);
    }
}

TEST(PictureIntake, PrintsTheCensusLinesOnceTheSizeIsKnown)
{
    const intake got = take_in(kFixtures + "/rgb.png");
    ASSERT_EQ(got.result, intake_result::loaded) << got.why;
    std::string warnings;
    for (int i = 0; i < 35; ++i) {
        warnings += "WARNING: Using a 24-bit image - surface->get_pixel\n";
    }
    std::string progress;
    for (int x = 0; x < 7; ++x) {
        progress += "LINE FINISHED " + std::to_string(x) + " \n";
    }
    EXPECT_EQ(got.out, warnings) << "one warning per pixel of a 24-bit picture, nothing else";
    EXPECT_EQ(got.err, progress) << "one progress line per column";
    SDL_FreeSurface(got.shown);

    const intake quiet = take_in(kFixtures + "/rgb.png", 16383, 65535, true);
    EXPECT_EQ(quiet.out + quiet.err, "") << "quiet: neither warnings nor progress lines";
    SDL_FreeSurface(quiet.shown);
}

TEST(PictureIntake, LargePicturesAreCountedInsideTheConfinedDecoder)
{
    // Over a million pixels: the decoder counts them on two threads, which
    // its confinement must allow.
    scratch_dir dir;
    SDL_Surface* big = SDL_CreateRGBSurface(SDL_SWSURFACE, 1100, 1000, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(big, nullptr) << SDL_GetError();
    for (int y = 0; y < big->h; ++y) {
        Uint32* row = reinterpret_cast<Uint32*>(static_cast<Uint8*>(big->pixels) + y * big->pitch);
        for (int x = 0; x < big->w; ++x) {
            row[x] = static_cast<Uint32>((x / 7) * 40503u + (y / 5) * 2654435761u) & 0xFFFFFF;
        }
    }
    ASSERT_EQ(SDL_SaveBMP(big, "big.bmp"), 0) << SDL_GetError();
    // Through the decoder first: once this process has started a thread of
    // its own, a forked decoder would inherit what its first thread sets up.
    const intake got = take_in("big.bmp", 0, 0, true);
    const std::vector<listed_colour> expected = census_of(big);
    SDL_FreeSurface(big);
    ASSERT_EQ(got.result, intake_result::loaded) << "loaded through the confined decoder: " << got.why;
    EXPECT_EQ(got.list.size(), expected.size()) << "as many colours as counted in-process";
    EXPECT_TRUE(got.list == expected) << "the same list as counted in-process";
}

TEST(PictureIntake, LargePngsAreCountedAsTheyDecodeInsideTheConfinedDecoder)
{
    // A large RGBA PNG is counted by a thread of the decoder's while libpng
    // decodes it, which its confinement must allow too.
    scratch_dir dir;
    const png_shape shape = {1100, 700, PNG_COLOR_TYPE_RGBA, 8, false, false};
    ASSERT_TRUE(write_png("big.png", shape));
    const intake got = take_in("big.png", 0, 0, true);
    SDL_Surface* direct = IMG_Load("big.png");
    ASSERT_NE(direct, nullptr) << IMG_GetError();
    const std::vector<listed_colour> expected = census_of(direct);
    SDL_FreeSurface(direct);
    ASSERT_EQ(got.result, intake_result::loaded) << "loaded through the confined decoder: " << got.why;
    EXPECT_GT(expected.size(), 1000u) << "a picture of many colours";
    EXPECT_TRUE(got.list == expected) << "the same list as counted in-process";
}

namespace {

void put_chunk(std::string* png, const char* type, const std::string& data)
{
    const std::uint32_t length = static_cast<std::uint32_t>(data.size());
    const unsigned char size[4] = {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
                                   static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    png->append(reinterpret_cast<const char*>(size), 4);
    const std::string body = std::string(type, 4) + data;
    png->append(body);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    const unsigned char check[4] = {static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
                                    static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
    png->append(reinterpret_cast<const char*>(check), 4);
}

// An RGBA PNG that declares w x h pixels but whose image data stops after
// the first rows: a small file that asks for a large picture.
std::string png_cut_short(std::uint32_t w, std::uint32_t h, int rows)
{
    std::string raw;
    for (int y = 0; y < rows; ++y) {
        raw += '\0'; // no filter
        raw += std::string(static_cast<std::size_t>(w) * 4, static_cast<char>(y * 37));
    }
    z_stream z = {};
    deflateInit(&z, 9);
    std::string packed(deflateBound(&z, static_cast<uLong>(raw.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(&raw[0]);
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(&packed[0]);
    z.avail_out = static_cast<uInt>(packed.size());
    deflate(&z, Z_SYNC_FLUSH); // the stream is never finished: more rows were promised
    packed.resize(packed.size() - z.avail_out);
    deflateEnd(&z);
    std::string png = "\x89PNG\r\n\x1a\n";
    const unsigned char header[13] = {static_cast<unsigned char>(w >> 24), static_cast<unsigned char>(w >> 16),
                                      static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w),
                                      static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
                                      static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h),
                                      8, 6, 0, 0, 0};
    put_chunk(&png, "IHDR", std::string(reinterpret_cast<const char*>(header), sizeof header));
    put_chunk(&png, "IDAT", packed);
    put_chunk(&png, "IEND", "");
    return png;
}

} // namespace

TEST(PictureIntake, ASmallFileThatDeclaresAHugePictureGetsLittleMemory)
{
    // 16000 x 16000 RGBA is a 1 GB surface, which SDL_image allocates; the
    // decoder must not fault it all in for the 40 rows the file holds.
    scratch_dir dir;
    write_file("huge-short.png", png_cut_short(16000, 16000, 40));
    const intake got = take_in("huge-short.png", 0, 0, true);
    EXPECT_EQ(got.result, intake_result::unloadable) << "the rows the header promises are not there";
    rusage children = {};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &children), 0);
    constexpr long kMostKilobytes = 200 * 1024;
    EXPECT_LT(children.ru_maxrss, kMostKilobytes) << "the decoder's peak resident memory, in KiB";
}

TEST(PictureIntake, HandsOverOnlyTheTopLeftPartTheWindowShows)
{
    const std::string path = kFixtures + "/rgba.png";
    SDL_Surface* direct = IMG_Load(path.c_str());
    ASSERT_NE(direct, nullptr);
    const intake got = take_in(path, 3, 2);
    ASSERT_EQ(got.result, intake_result::loaded) << got.why;
    ASSERT_NE(got.shown, nullptr);
    EXPECT_EQ(got.shown->w, 3) << "cut to the window's width";
    EXPECT_EQ(got.shown->h, 2) << "cut to the window's height";
    EXPECT_EQ(got.list, census_of(direct)) << "the census still covers the whole picture";
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(std::memcmp(static_cast<Uint8*>(got.shown->pixels) + y * got.shown->pitch,
                              static_cast<Uint8*>(direct->pixels) + y * direct->pitch, 3 * 4), 0)
            << "row " << y << " of the top-left part";
    }
    SDL_FreeSurface(got.shown);

    const intake hidden = take_in(path, 0, 0);
    ASSERT_EQ(hidden.result, intake_result::loaded) << hidden.why;
    EXPECT_EQ(hidden.shown, nullptr) << "no window, nothing to show";
    EXPECT_EQ(hidden.list, census_of(direct)) << "the census without a window";
    SDL_FreeSurface(direct);
}

TEST(PictureIntake, ReadsAPipeOrAFifoWhole)
{
    scratch_dir dir;
    const std::string png = read_file(kFixtures + "/rgb.png");
    // With standard input closed (a runner may start tests so), the pipe
    // would take descriptor 0 itself: keep it occupied first.
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), STDIN_FILENO) << "descriptor 0 reopened";
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int saved_input = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(ends[0], STDIN_FILENO), STDIN_FILENO);
    close(ends[0]);
    std::thread writer([&] {
        ASSERT_EQ(write(ends[1], png.data(), png.size()), static_cast<ssize_t>(png.size()));
        close(ends[1]);
    });
    const intake got = take_in("-");
    writer.join();
    dup2(saved_input, STDIN_FILENO);
    close(saved_input);
    ASSERT_EQ(got.result, intake_result::loaded) << "standard input: " << got.why;
    EXPECT_EQ(got.list, kFixtureColours) << "the picture read from a pipe";
    SDL_FreeSurface(got.shown);

    ASSERT_EQ(mkfifo("fifo.png", 0600), 0);
    const intake fifo = take_in("fifo.png");
    EXPECT_EQ(fifo.result, intake_result::unloadable) << "a FIFO nobody writes to reads as empty, at once";
    EXPECT_EQ(fifo.why, "Unsupported image format") << "reason";
}

TEST(PictureIntake, UnusablePicturesComeBackWithTheirReason)
{
    scratch_dir dir;
    const std::string png = read_file(kFixtures + "/rgb.png");
    write_file("empty.png", "");
    write_file("text.png", "this is not a picture\n");
    write_file("half.png", png.substr(0, png.size() / 2));
    ASSERT_EQ(mkdir("folder.png", 0755), 0);
    ASSERT_EQ(symlink("loop.png", "loop.png"), 0);
    // A GIF whose logical screen is 16384 pixels wide.
    const unsigned char wide_gif[] = {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x40, 0x02, 0x00, 0x80, 0x00, 0x00,
                                      0, 0, 0, 255, 255, 255,
                                      ',', 0, 0, 0, 0, 0x00, 0x40, 0x02, 0x00, 0x00,
                                      0x02, 0x02, 0x44, 0x01, 0x00, ';'};
    write_file("wide.gif", std::string(reinterpret_cast<const char*>(wide_gif), sizeof wide_gif));
    // A GIF of a 2 x 2 screen whose one image is 16384 pixels wide: SDL_image's
    // GIF reader writes past its surface and the decoder dies.
    unsigned char crashing_gif[sizeof wide_gif];
    std::memcpy(crashing_gif, wide_gif, sizeof wide_gif);
    crashing_gif[6] = 2;
    crashing_gif[7] = 0;
    write_file("crash.gif", std::string(reinterpret_cast<const char*>(crashing_gif), sizeof crashing_gif));
    // A TIFF whose first directory has no entries: libtiff fails and SDL_image
    // passes on an empty reason.
    std::string tiff = read_file(kFixtures + "/rgb.tif");
    ASSERT_GT(tiff.size(), 10u);
    tiff[8] = 0; // the directory at offset 8 (little-endian header "II*\0" 8 0 0 0)
    tiff[9] = 0;
    write_file("empty-directory.tif", tiff);
    // A 34-byte XCF on which SDL_image loops for ever.
    const char endless_xcf[] = "gimp xcf file\0\0\0\0\4\0\0\0\4\0\0\0\0\0\0\0\143\377\377\377\360";
    write_file("endless.xcf", std::string(endless_xcf, sizeof endless_xcf - 1));

    struct bad_case {
        const char* path;
        const char* reason;
    };
    const bad_case cases[] = {
        {"missing.png", "No such file or directory"},
        {"folder.png", "Is a directory"},
        {"loop.png", "Too many levels of symbolic links"},
        {"/dev/zero", "not a picture file but a device or other special file"},
        {"empty.png", "Unsupported image format"},
        {"text.png", "Unsupported image format"},
        {"half.png", "the file ends before the picture does"},
        {"wide.gif", "16384 \xC3\x97 2 pixels; the largest picture SDL can hold is 16383 \xC3\x97 65535"},
        {"crash.gif", "the decoder crashed (signal 11, Segmentation fault)"},
        {"empty-directory.tif", "the decoder gave no reason"},
        {"endless.xcf", "the decoder did not finish within its CPU-time budget"},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.path);
        const intake got = take_in(c.path);
        EXPECT_EQ(got.result, intake_result::unloadable) << "the picture counts as not loaded";
        EXPECT_EQ(got.why, c.reason) << "the reason given";
        EXPECT_EQ(got.list.size(), 0u) << "no colour listed";
        EXPECT_EQ(got.out + got.err, "") << "no census lines for a picture that did not load";
    }
}

TEST(PictureIntake, ASignalEndsTheWaitAndTheDecoder)
{
    scratch_dir dir;
    const char endless_xcf[] = "gimp xcf file\0\0\0\0\4\0\0\0\4\0\0\0\0\0\0\0\143\377\377\377\360";
    write_file("endless.xcf", std::string(endless_xcf, sizeof endless_xcf - 1));
    struct sigaction ignore_default;
    std::memset(&ignore_default, 0, sizeof ignore_default);
    ignore_default.sa_handler = SIG_IGN;
    struct sigaction previous;
    sigaction(SIGTERM, &ignore_default, &previous); // kept if the intake failed to catch it

    const auto started = std::chrono::steady_clock::now();
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(getpid(), SIGTERM);
    });
    const intake got = take_in("endless.xcf");
    sender.join();
    const auto waited = std::chrono::steady_clock::now() - started;
    sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(got.result, intake_result::interrupted) << "SIGTERM ends the wait: " << got.why;
    EXPECT_EQ(got.signal_number, SIGTERM) << "and says which signal";
    EXPECT_LT(waited, std::chrono::milliseconds(1500)) << "well before the decoder's budget runs out";
}

TEST(PictureIntake, XVThumbnailsAreSplitByTheirMasks)
{
    // An XV thumbnail ("P7 332"): one byte per pixel, masks E0/1C/03, and the
    // palette SDL gives every 8-bit surface, which names other colours.
    scratch_dir dir;
    const char thumbnail[] = "P7 332\n#IMGINFO:2x1\n#END_OF_COMMENTS\n2 1 255\n\xFF\xE0";
    write_file("thumb.xv", std::string(thumbnail, sizeof thumbnail - 1));
    const intake got = take_in("thumb.xv");
    ASSERT_EQ(got.result, intake_result::loaded) << got.why;
    const std::vector<listed_colour> expected = {{224, 224, 192, 1}, {224, 0, 0, 1}};
    EXPECT_EQ(got.list, expected) << "0xFF and 0xE0 split 3-3-2, not looked up in SDL's made-up palette";
    SDL_FreeSurface(got.shown);
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

    const intake got = take_in("wide.bmp");
    ASSERT_EQ(got.result, intake_result::loaded) << got.why;
    const std::vector<listed_colour> expected = {{255, 255, 255, 1}, {128, 128, 128, 1}};
    EXPECT_EQ(got.list, expected) << "1023 reads 255 and 512 reads 128, not black";
    SDL_FreeSurface(got.shown);
}
