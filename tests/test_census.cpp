// SPDX-License-Identifier: MIT
// The census over small pictures built in memory: the split of each pixel
// format, palette lookup, column-by-column order, counts, progress lines and
// the listing's exact text.
#include "census.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

namespace {

struct colour {
    int r, g, b;
    int count;
    bool operator==(const colour& o) const { return r == o.r && g == o.g && b == o.b && count == o.count; }
};

std::ostream& operator<<(std::ostream& out, const colour& c)
{
    return out << "(" << c.r << " " << c.g << " " << c.b << " | " << c.count << ")";
}

std::vector<colour> listed()
{
    std::vector<colour> list;
    for (const pixel* p = first; p != nullptr; p = p->next) {
        list.push_back({p->r, p->g, p->b, p->count});
    }
    return list;
}

// Runs the census on picture and returns what it printed on stdout and stderr.
struct census_output {
    std::string out;
    std::string err;
};

census_output run_census(SDL_Surface* picture)
{
    census_clear();
    image = picture;
    capture_output();
    pixify();
    census_output result;
    result.out = captured_stdout();
    result.err = captured_stderr();
    return result;
}

class CensusTest : public testing::Test {
protected:
    void TearDown() override
    {
        census_clear();
        image = nullptr;
        for (SDL_Surface* s : made_) {
            SDL_FreeSurface(s);
        }
    }
    SDL_Surface* make(int w, int h, int depth, Uint32 rmask, Uint32 gmask, Uint32 bmask, Uint32 amask)
    {
        SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, depth, rmask, gmask, bmask, amask);
        EXPECT_NE(s, nullptr) << SDL_GetError();
        made_.push_back(s);
        return s;
    }
    // Writes the raw value into pixel (x, y) in the surface's own byte layout.
    static void put(SDL_Surface* s, int x, int y, Uint32 value)
    {
        Uint8* p = static_cast<Uint8*>(s->pixels) + y * s->pitch + x * s->format->BytesPerPixel;
        switch (s->format->BytesPerPixel) {
        case 1: *p = static_cast<Uint8>(value); break;
        case 2: { Uint16 v = static_cast<Uint16>(value); std::memcpy(p, &v, 2); break; }
        case 3: p[0] = value & 0xFF; p[1] = (value >> 8) & 0xFF; p[2] = (value >> 16) & 0xFF; break;
        default: std::memcpy(p, &value, 4); break;
        }
    }
    std::vector<SDL_Surface*> made_;
};

} // namespace

TEST_F(CensusTest, SplitsEachPixelFormatByItsMasksShiftsAndLosses)
{
    struct split_case {
        const char* name;
        int depth;
        Uint32 rmask, gmask, bmask, amask;
        Uint32 value;
        colour expected;
    };
    const split_case cases[] = {
        {"XRGB, top byte 0", 32, 0xFF0000, 0xFF00, 0xFF, 0, 0x00336699, {51, 102, 153, 1}},
        {"ARGB, alpha FF", 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000, 0xFF336699, {51, 102, 153, 1}},
        {"XRGB, top byte ignored", 32, 0xFF0000, 0xFF00, 0xFF, 0, 0xFF336699, {51, 102, 153, 1}},
        {"ABGR", 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000, 0x80112233, {0x33, 0x22, 0x11, 1}},
        {"5-6-5 white", 16, 0xF800, 0x07E0, 0x001F, 0, 0xFFFF, {248, 252, 248, 1}},
        {"5-6-5 top bits", 16, 0xF800, 0x07E0, 0x001F, 0, (1u << 15) | (1u << 10) | (1u << 4), {128, 128, 128, 1}},
        {"5-6-5 low bits", 16, 0xF800, 0x07E0, 0x001F, 0, (1u << 11) | (1u << 5) | 1u, {8, 4, 8, 1}},
        {"5-5-5 top bit ignored", 15, 0x7C00, 0x03E0, 0x001F, 0, 0x8000 | 0x7FFF, {248, 248, 248, 1}},
        {"3 bytes 10 20 30", 24, 0xFF0000, 0xFF00, 0xFF, 0, 0x302010, {0x30, 0x20, 0x10, 1}},
        {"1 byte with masks 3-3-2", 8, 0xE0, 0x1C, 0x03, 0, 0xFF, {224, 224, 192, 1}},
        {"1 byte with masks 3-3-2, red only", 8, 0xE0, 0x1C, 0x03, 0, 0xE0, {224, 0, 0, 1}},
        {"10-10-10 keeps each channel's top 8 bits", 32, 0x3FF00000, 0x000FFC00, 0x000003FF, 0,
         (0x3FFu << 20) | (0x200u << 10) | 0x007u, {255, 128, 1, 1}},
    };
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.name);
        SDL_Surface* s = make(1, 1, c.depth, c.rmask, c.gmask, c.bmask, c.amask);
        ASSERT_NE(s, nullptr);
        // A masked 8-bit surface still gets a made-up palette from SDL, as XV
        // thumbnails do: the masks decide, not the palette.
        put(s, 0, 0, c.value);
        run_census(s);
        ASSERT_EQ(listed().size(), 1u) << "one pixel, one colour";
        EXPECT_EQ(listed()[0], c.expected) << "split of raw value " << std::hex << c.value;
    }
}

TEST_F(CensusTest, ScansColumnByColumnAndListsInFirstSeenOrder)
{
    // Top row red, green; bottom row blue, red.
    SDL_Surface* s = make(2, 2, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    put(s, 0, 0, 0xFF0000);
    put(s, 1, 0, 0x00FF00);
    put(s, 0, 1, 0x0000FF);
    put(s, 1, 1, 0xFF0000);
    const census_output printed = run_census(s);

    const std::vector<colour> expected = {{255, 0, 0, 2}, {0, 0, 255, 1}, {0, 255, 0, 1}};
    EXPECT_EQ(listed(), expected) << "red, blue, green: column order, not row order";
    EXPECT_EQ(color_count, 3) << "three distinct colours";
    EXPECT_EQ(last, first->next->next) << "last is the tail";
    EXPECT_EQ(last->next, nullptr) << "the tail ends the list";
    EXPECT_EQ(printed.err, "LINE FINISHED 0 \nLINE FINISHED 1 \n") << "one progress line per column";
    EXPECT_EQ(printed.out, "") << "a 32-bit picture prints nothing while counted";

    capture_output();
    pixspit();
    const std::string listing = captured_stdout();
    captured_stderr();
    EXPECT_EQ(listing, "255 0 0 | 2 \n0 0 255 | 1 \n0 255 0 | 1 \n") << "the listing, one line per colour";
}

TEST_F(CensusTest, LooksPaletteIndicesUpInThePalette)
{
    SDL_Surface* s = make(3, 2, 8, 0, 0, 0, 0);
    ASSERT_NE(s->format->palette, nullptr);
    SDL_Color colours[3] = {{255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}};
    SDL_SetColors(s, colours, 0, 3);
    s->format->palette->ncolors = 3;
    put(s, 0, 0, 2);
    put(s, 0, 1, 0);
    put(s, 1, 0, 1);
    put(s, 1, 1, 2);
    put(s, 2, 0, 3);   // at ncolors: no colour
    put(s, 2, 1, 200); // far beyond
    run_census(s);
    const std::vector<colour> expected = {{0, 0, 255, 2}, {255, 0, 0, 1}, {0, 255, 0, 1}, {0, 0, 0, 2}};
    EXPECT_EQ(listed(), expected) << "palette colours in first-seen order; indices at or past ncolors read black";
}

TEST_F(CensusTest, PixelsDifferingOnlyInAlphaAreOneColour)
{
    SDL_Surface* s = make(1, 3, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000);
    put(s, 0, 0, 0x00102030);
    put(s, 0, 1, 0x80102030);
    put(s, 0, 2, 0xFF102030);
    run_census(s);
    const std::vector<colour> expected = {{0x10, 0x20, 0x30, 3}};
    EXPECT_EQ(listed(), expected) << "alpha is no part of a colour";
}

TEST_F(CensusTest, TwoAndThreeBytePicturesWarnForEveryPixel)
{
    struct warn_case {
        int depth;
        const char* line;
    };
    const warn_case cases[] = {{16, "WARNING: Using a 16-bit image - surface->get_pixel\n"},
                               {24, "WARNING: Using a 24-bit image - surface->get_pixel\n"}};
    for (const warn_case& c : cases) {
        SCOPED_TRACE(c.depth);
        SDL_Surface* s = make(3, 2, c.depth, 0, 0, 0, 0);
        const census_output printed = run_census(s);
        std::string six;
        for (int i = 0; i < 6; ++i) {
            six += c.line;
        }
        EXPECT_EQ(printed.out, six) << "one warning per pixel read";
        const std::vector<colour> expected = {{0, 0, 0, 6}};
        EXPECT_EQ(listed(), expected) << "a zero-filled picture is one black colour";
    }
}

TEST_F(CensusTest, EmptyPicturesGiveAnEmptyList)
{
    struct size_case {
        int w, h;
        const char* progress;
    };
    const size_case cases[] = {{0, 4, ""}, {3, 0, "LINE FINISHED 0 \nLINE FINISHED 1 \nLINE FINISHED 2 \n"}};
    for (const size_case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        SDL_Surface* s = make(c.w, c.h, 32, 0xFF0000, 0xFF00, 0xFF, 0);
        ASSERT_NE(s, nullptr);
        const census_output printed = run_census(s);
        EXPECT_EQ(printed.err, c.progress) << "one progress line per column, none without columns";
        EXPECT_EQ(first, nullptr) << "no colour listed";
        EXPECT_EQ(color_count, 0) << "no colour counted";
        capture_output();
        pixspit();
        EXPECT_EQ(captured_stdout(), "") << "an empty list prints nothing";
        captured_stderr();
    }
}

TEST_F(CensusTest, ManyColoursAreEachCountedOnceInOrder)
{
    // Enough colours to make the index grow several times; every colour
    // appears in two separate places so a lookup miss would duplicate it.
    const int w = 300, h = 100;
    SDL_Surface* s = make(w, h, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) {
            const Uint32 n = static_cast<Uint32>((x % 150) * h + y); // columns 150.. repeat 0..
            put(s, x, y, n * 7919u & 0xFFFFFF);
        }
    }
    run_census(s);
    const std::vector<colour> list = listed();
    ASSERT_EQ(list.size(), 15000u) << "150 columns of 100 distinct colours";
    EXPECT_EQ(color_count, 15000) << "color_count matches the list";
    std::set<std::tuple<int, int, int>> seen;
    long long total = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_TRUE(seen.insert({list[i].r, list[i].g, list[i].b}).second) << "colour listed twice at " << i;
        EXPECT_EQ(list[i].count, 2) << "each colour appears twice, entry " << i;
        const Uint32 n = static_cast<Uint32>(i) * 7919u & 0xFFFFFF;
        EXPECT_EQ(list[i], (colour{int(n >> 16), int(n >> 8 & 0xFF), int(n & 0xFF), 2})) << "entry " << i << " in scan order";
        total += list[i].count;
    }
    EXPECT_EQ(total, static_cast<long long>(w) * h) << "counts add up to width x height";
}

TEST_F(CensusTest, LargePicturesListAsAColumnScanWouldFindThem)
{
    // Over a million pixels, so the census splits the rows between two
    // threads; colours recur across both halves and at smaller columns in
    // later rows, so every merge and first-position rule is exercised.
    const int w = 1500, h = 800;
    SDL_Surface* s = make(w, h, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    std::uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const std::uint32_t shade = (seed >> 16) % 4000; // repeats: about 300 pixels per colour
            put(s, x, y, (shade * 2654435761u) & 0xFFFFFF);
        }
    }
    // The reference: a plain walk column by column.
    std::vector<colour> expected;
    std::vector<int> where(1 << 24, -1);
    const Uint32* pixels = static_cast<const Uint32*>(s->pixels);
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) {
            const Uint32 v = pixels[y * (s->pitch / 4) + x] & 0xFFFFFF;
            if (where[v] < 0) {
                where[v] = static_cast<int>(expected.size());
                expected.push_back({int(v >> 16), int(v >> 8 & 0xFF), int(v & 0xFF), 0});
            }
            ++expected[static_cast<std::size_t>(where[v])].count;
        }
    }
    run_census(s);
    EXPECT_EQ(listed(), expected) << "the same colours, order and counts as a column-by-column walk";
}

TEST(Listing, PrintsWideCountsAndNegativeNumbersExactly)
{
    census_clear();
    addpix(0, 0, 0);
    first->count = 2147483647;
    addpix(255, 128, 7);
    last->count = -5;
    capture_output();
    pixspit();
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, "0 0 0 | 2147483647 \n255 128 7 | -5 \n") << "decimal, no leading zeros, sign kept";
    census_clear();
}

TEST_F(CensusTest, RowsCountedForAnotherPictureOrLayoutAreNotUsed)
{
    // Rows counted while a picture decoded are used only for that very
    // picture read with that very layout; for any other the census counts
    // afresh, and leaves nothing of the earlier counts in the list. Either
    // way the list is the picture's own.
    const int w = 64, h = 48;
    SDL_Surface* counted = make(w, h, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            put(counted, x, y, ((x / 4) * 2654435761u ^ (y / 3) * 40503u) & 0xFFFFFF);
        }
    }
    SDL_Surface* same_bytes_other_masks = make(w, h, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000);
    SDL_Surface* same_layout = make(w, h, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000);
    SDL_Surface* wider = make(w + 1, h, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000);
    for (SDL_Surface* other : {same_bytes_other_masks, same_layout}) {
        std::memcpy(other->pixels, counted->pixels, static_cast<std::size_t>(counted->pitch) * h);
    }
    put(same_layout, 5, 7, 0xABCDEF); // one pixel differs
    SDL_FillRect(wider, nullptr, 0x123456);
    const census_row_layout layout = {w, h, 4, 0, 8, 16};
    std::vector<const unsigned char*> rows;
    for (int y = 0; y < h; ++y) {
        rows.push_back(static_cast<const unsigned char*>(counted->pixels) + y * counted->pitch);
    }
    const struct {
        const char* name;
        SDL_Surface* picture;
    } cases[] = {
        {"the same pixels under other masks", same_bytes_other_masks},
        {"another picture of the same size and layout", same_layout},
        {"a picture of another size", wider},
        {"the very picture the rows were counted from", counted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_census(c.picture);
        const std::vector<colour> fresh = listed();
        census_clear();

        ASSERT_TRUE(census_rows_open(layout));
        ASSERT_TRUE(census_rows_count(rows.data(), 0, h));
        census_rows_close(true, rows.data());
        census_count(c.picture);
        EXPECT_EQ(listed(), fresh) << "the same list as counted from the picture itself";
        census_clear();
    }
}

TEST_F(CensusTest, ColumnPositionsPastTwentyFourBitsKeepTheirOrder)
{
    // 16383 x 1025 pixels: column-scan positions reach past 2^24, so sorting
    // by position takes a third digit. The colour met first row by row sits at
    // position 2^24 + 10 (column 16368, row 26); the one a column scan meets
    // first is at position 20,000 (column 19, row 525). Compared on their low
    // 24 bits alone they would swap.
    const int w = 16383, h = 1025;
    SDL_Surface* s = make(w, h, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(s, nullptr);
    SDL_FillRect(s, nullptr, 0x102030);
    put(s, 16368, 26, 0xAA0000);
    put(s, 19, 525, 0x00BB00);
    run_census(s);
    const std::uint64_t pixels = std::uint64_t{w} * h;
    const std::vector<colour> expected = {
        {0x10, 0x20, 0x30, static_cast<int>(pixels - 2)}, {0, 0xBB, 0, 1}, {0xAA, 0, 0, 1}};
    EXPECT_EQ(listed(), expected) << "the background, then column 19's colour, then column 16368's";
}

TEST_F(CensusTest, ACensusAfterAnotherCountsOnlyItsOwnPicture)
{
    // The table of one census stays until the next (the decoder never frees
    // it); the next must not add its pixels to the earlier counts.
    SDL_Surface* red = make(3, 2, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    SDL_FillRect(red, nullptr, 0xFF0000);
    SDL_Surface* mixed = make(2, 2, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    SDL_FillRect(mixed, nullptr, 0xFF0000);
    put(mixed, 1, 1, 0x0000FF);
    census_colour* colours = nullptr;
    ASSERT_EQ(census_colours(red, &colours), 1u);
    EXPECT_EQ(colours[0].count, 6u) << "six red pixels";
    std::free(colours);
    ASSERT_EQ(census_colours(mixed, &colours), 2u) << "red and blue, right after the first census";
    EXPECT_EQ(colours[0].count, 3u) << "three red pixels of the second picture only";
    EXPECT_EQ(colours[1].count, 1u) << "one blue pixel";
    std::free(colours);
}
