// SPDX-License-Identifier: MIT
// Following a PNG's rows while it decodes: the rows libpng hands out through
// SDL_image, and the census counted from them, which must equal the census
// counted from the decoded picture afterwards, for the PNGs it follows and
// those it leaves alone, and after a decode that failed halfway.
#include "census.h"
#include "census_stream.h"
#include "picture_source.h"
#include "png_rows.h"
#include "test_support.h"

#include <SDL.h>
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Flips one byte in the middle of the third IDAT chunk's data, so libpng
// fails on its checksum after decoding some rows.
bool damage_third_idat(std::string* bytes)
{
    std::size_t at = 8;
    int seen = 0;
    while (at + 12 <= bytes->size()) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes->data()) + at;
        const std::size_t length = static_cast<std::size_t>(p[0]) << 24 | static_cast<std::size_t>(p[1]) << 16
                                   | static_cast<std::size_t>(p[2]) << 8 | p[3];
        if (bytes->compare(at + 4, 4, "IDAT") == 0 && ++seen == 3 && length > 0) {
            (*bytes)[at + 8 + length / 2] ^= 0x5A;
            return true;
        }
        at += 12 + length;
    }
    return false;
}

std::vector<std::string> colours_of(const census_colour* colours, std::size_t n)
{
    std::vector<std::string> listed;
    for (std::size_t i = 0; i < n; ++i) {
        listed.push_back(std::to_string(colours[i].r) + " " + std::to_string(colours[i].g) + " "
                         + std::to_string(colours[i].b) + " | " + std::to_string(colours[i].count));
    }
    return listed;
}

// The census of a decoded picture, counted from the picture itself.
std::vector<std::string> counted_afterwards(SDL_Surface* picture)
{
    census_colour* colours = nullptr;
    const std::size_t n = census_colours(picture, &colours);
    std::vector<std::string> listed = colours_of(colours, n);
    std::free(colours);
    census_release();
    return listed;
}

struct decoded {
    SDL_Surface* picture = nullptr;
    std::string why;
    bool followed = false;
    std::vector<std::string> listed; // the census made right after decoding
};

// Decodes bytes the way the decoder does: following the rows, then the census.
decoded decode_followed(const std::string& bytes, const char* name)
{
    decoded d;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    census_follow_png(data, bytes.size());
    d.picture = decode_picture(data, bytes.size(), name, &d.why);
    d.followed = census_stop_following();
    if (d.picture != nullptr) {
        census_colour* colours = nullptr;
        const std::size_t n = census_colours(d.picture, &colours);
        d.listed = colours_of(colours, n);
        std::free(colours);
        census_release();
    }
    return d;
}

// What a listener heard of one decode.
struct heard_rows {
    SDL_Surface* picture = nullptr;
    std::vector<std::uint32_t> rows;
    std::vector<const unsigned char*> addresses;
    int begins = 0;
    const unsigned char* first_row = nullptr;
    int ends = 0;
    bool complete = false;
};

void heard_row(void* context, std::uint32_t y, const unsigned char* row)
{
    heard_rows* heard = static_cast<heard_rows*>(context);
    heard->rows.push_back(y);
    heard->addresses.push_back(row);
}

void heard_end(void* context, bool complete)
{
    heard_rows* heard = static_cast<heard_rows*>(context);
    ++heard->ends;
    heard->complete = complete;
}

void heard_begin(void* context, const unsigned char* first_row)
{
    heard_rows* heard = static_cast<heard_rows*>(context);
    ++heard->begins;
    heard->first_row = first_row;
}

heard_rows listen_while_loading(const std::string& path)
{
    heard_rows heard;
    const png_row_listener listener = {&heard, heard_begin, heard_row, heard_end};
    listen_to_png_rows(&listener);
    heard.picture = IMG_Load(path.c_str());
    listen_to_png_rows(nullptr);
    return heard;
}

class PngStream : public ::testing::Test {
protected:
    void SetUp() override { IMG_Init(IMG_INIT_PNG); }
    scratch_dir dir;
};

TEST_F(PngStream, SdlImageHandsEachRowOfANonInterlacedPngToTheListenerInOrder)
{
    const png_shape shape = {640, 480, PNG_COLOR_TYPE_RGBA, 8, false, false};
    ASSERT_TRUE(write_png("rows.png", shape));
    const heard_rows heard = listen_while_loading("rows.png");
    ASSERT_NE(heard.picture, nullptr) << IMG_GetError();
    ASSERT_EQ(heard.rows.size(), 480u) << "one call per row: SDL_image's png_read_image is this program's";
    bool in_order = true;
    bool at_the_rows = true;
    const Uint8* pixels = static_cast<const Uint8*>(heard.picture->pixels);
    for (std::size_t y = 0; y < heard.rows.size(); ++y) {
        in_order = in_order && heard.rows[y] == y;
        at_the_rows = at_the_rows && heard.addresses[y] == pixels + y * heard.picture->pitch;
    }
    EXPECT_TRUE(in_order) << "rows 0, 1, 2, ... each once";
    EXPECT_TRUE(at_the_rows) << "each row's address is that row of the decoded picture";
    EXPECT_EQ(heard.begins, 1) << "one beginning";
    EXPECT_EQ(heard.first_row, pixels) << "which names the picture's first row";
    EXPECT_EQ(heard.ends, 1) << "one end";
    EXPECT_TRUE(heard.complete) << "the end of a PNG that decoded whole";
    SDL_FreeSurface(heard.picture);
}

TEST_F(PngStream, InterlacedAndDamagedPngsTellTheListenerNothingOrAnIncompleteEnd)
{
    const png_shape interlaced = {640, 480, PNG_COLOR_TYPE_RGBA, 8, true, false};
    ASSERT_TRUE(write_png("interlaced.png", interlaced));
    const heard_rows from_interlaced = listen_while_loading("interlaced.png");
    ASSERT_NE(from_interlaced.picture, nullptr) << IMG_GetError();
    EXPECT_EQ(from_interlaced.begins, 0) << "an interlaced PNG's rows are complete only at the end";
    EXPECT_TRUE(from_interlaced.rows.empty()) << "so none is handed out";
    EXPECT_EQ(from_interlaced.ends, 0) << "and the listener is not asked to follow it";
    SDL_FreeSurface(from_interlaced.picture);

    const png_shape whole = {640, 480, PNG_COLOR_TYPE_RGBA, 8, false, false};
    ASSERT_TRUE(write_png("whole.png", whole));
    std::string bytes = read_file("whole.png");
    ASSERT_TRUE(damage_third_idat(&bytes)) << "the PNG has at least three IDAT chunks";
    write_file("damaged.png", bytes);
    const heard_rows from_damaged = listen_while_loading("damaged.png");
    EXPECT_EQ(from_damaged.picture, nullptr) << "libpng refuses the damaged chunk";
    EXPECT_GT(from_damaged.rows.size(), 0u) << "rows before the damage were decoded";
    EXPECT_LT(from_damaged.rows.size(), 480u) << "rows after it were not";
    EXPECT_EQ(from_damaged.ends, 1) << "the listener hears the end before SDL_image frees the rows";
    EXPECT_FALSE(from_damaged.complete) << "an incomplete end";
}

struct stream_case {
    const char* name;
    png_shape shape;
    int followed; // 1: counted while decoding, 0: counted afterwards, -1: either
};

TEST_F(PngStream, TheCensusCountedWhileDecodingEqualsTheCensusCountedAfterwards)
{
    const stream_case cases[] = {
        {"8-bit RGBA", {640, 480, PNG_COLOR_TYPE_RGBA, 8, false, false}, 1},
        {"8-bit RGB", {600, 500, PNG_COLOR_TYPE_RGB, 8, false, false}, 1},
        {"16-bit RGBA", {512, 512, PNG_COLOR_TYPE_RGBA, 16, false, false}, 1},
        {"16-bit RGB", {515, 511, PNG_COLOR_TYPE_RGB, 16, false, false}, 1},
        {"RGB with a transparent colour", {640, 480, PNG_COLOR_TYPE_RGB, 8, false, true}, -1},
        {"interlaced RGBA", {640, 480, PNG_COLOR_TYPE_RGBA, 8, true, false}, 0},
        {"grey", {640, 480, PNG_COLOR_TYPE_GRAY, 8, false, false}, 0},
        {"RGBA too small to follow", {300, 200, PNG_COLOR_TYPE_RGBA, 8, false, false}, 0},
    };
    for (const stream_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_png("case.png", c.shape));
        decoded d = decode_followed(read_file("case.png"), "case.png");
        ASSERT_NE(d.picture, nullptr) << d.why;
        if (c.followed >= 0) {
            EXPECT_EQ(d.followed, c.followed == 1) << "counted while decoding: " << c.followed;
        }
        const std::vector<std::string> afterwards = counted_afterwards(d.picture);
        EXPECT_FALSE(afterwards.empty()) << "the picture has colours";
        EXPECT_EQ(d.listed, afterwards) << "the same colours, counts and order";
        SDL_FreeSurface(d.picture);
    }
}

TEST_F(PngStream, ADecodeThatFailedHalfwayLeavesNothingForTheNextCensus)
{
    const png_shape shape = {640, 480, PNG_COLOR_TYPE_RGBA, 8, false, false};
    ASSERT_TRUE(write_png("good.png", shape));
    const std::string good = read_file("good.png");
    std::string damaged = good;
    ASSERT_TRUE(damage_third_idat(&damaged));

    decoded failed = decode_followed(damaged, "damaged.png");
    EXPECT_EQ(failed.picture, nullptr) << "the damaged PNG does not decode";
    EXPECT_FALSE(failed.followed) << "its rows were not all counted";

    // A picture of the same size and layout: counts left over from the
    // failed decode would add to its own.
    decoded next = decode_followed(good, "good.png");
    ASSERT_NE(next.picture, nullptr) << next.why;
    EXPECT_TRUE(next.followed) << "the good PNG is counted while it decodes";
    EXPECT_EQ(next.listed, counted_afterwards(next.picture)) << "and only its own pixels are counted";
    SDL_FreeSurface(next.picture);
}

} // namespace
