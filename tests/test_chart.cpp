// SPDX-License-Identifier: MIT
// The text renderer's lines and drawing, and the chart file read back pixel by
// pixel: size, swatches, band order, each band's text against SDL_ttf's own
// rendering of the expected words, the cap on bands, no font, an unwritable file.
#include "base/base_ttf.h"
#include "census.h"
#include "chart.h"
#include "standard_streams.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <glob.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where and how the chart's text is drawn, written out here rather than taken
// from the code under test.
constexpr int kBandRows = 25;
constexpr int kTextLeft = 25;
constexpr int kChartColumns = 185;
constexpr int kTextPoints = 16;

struct rgb {
    int r, g, b;
    bool operator==(const rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

std::ostream& operator<<(std::ostream& out, const rgb& c)
{
    return out << "(" << c.r << "," << c.g << "," << c.b << ")";
}

rgb pixel_at(SDL_Surface* s, int x, int y)
{
    SDL_LockSurface(s);
    const Uint8* p = static_cast<const Uint8*>(s->pixels) + y * s->pitch + x * s->format->BytesPerPixel;
    Uint32 value = 0;
    std::memcpy(&value, p, s->format->BytesPerPixel);
    SDL_UnlockSurface(s);
    Uint8 r, g, b;
    SDL_GetRGB(value, s->format, &r, &g, &b);
    return {r, g, b};
}

// Counts pure white pixels and pixels that are neither white nor black in the
// rectangle x0..x1-1, y0..y1-1.
struct tally {
    int white = 0;
    int other = 0;
};

tally count_text_pixels(SDL_Surface* s, int x0, int y0, int x1, int y1)
{
    tally t;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const rgb c = pixel_at(s, x, y);
            if (c == rgb{255, 255, 255}) {
                ++t.white;
            } else if (!(c == rgb{0, 0, 0})) {
                ++t.other;
            }
        }
    }
    return t;
}

// The words a band must show: "R G B | COUNT".
std::string band_words(int r, int g, int b, int count)
{
    return std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b) + " | " + std::to_string(count);
}

// Compares band k's text area (right of the swatch) with words rendered here by
// SDL_ttf's solid renderer: a pixel must be white exactly where the rendering,
// placed at the band's top-left text corner, has a glyph pixel, and black
// elsewhere. Returns an empty string when they agree, else where they first
// differ and how many pixels do.
std::string band_text_difference(SDL_Surface* chart, TTF_Font* font, int k, const std::string& words)
{
    const SDL_Color white = {255, 255, 255, 0};
    SDL_Surface* rendered = TTF_RenderText_Solid(font, words.c_str(), white);
    if (rendered == nullptr) {
        return "SDL_ttf could not render \"" + words + "\"";
    }
    if (rendered->h > kBandRows) {
        SDL_FreeSurface(rendered);
        return "the rendered text is taller than a band";
    }
    SDL_LockSurface(rendered);
    int differing = 0;
    std::string first_difference;
    for (int y = 0; y < kBandRows; ++y) {
        for (int x = kTextLeft; x < kChartColumns; ++x) {
            const int rx = x - kTextLeft;
            // Solid rendering: palette index 0 is the see-through background.
            const bool glyph = rx < rendered->w && y < rendered->h
                               && static_cast<const Uint8*>(rendered->pixels)[y * rendered->pitch + rx] != 0;
            const rgb expected = glyph ? rgb{255, 255, 255} : rgb{0, 0, 0};
            const rgb found = pixel_at(chart, x, kBandRows * k + y);
            if (!(found == expected)) {
                if (differing == 0) {
                    std::ostringstream where;
                    where << "pixel " << x << "," << kBandRows * k + y << " is " << found << ", expected "
                          << expected;
                    first_difference = where.str();
                }
                ++differing;
            }
        }
    }
    SDL_UnlockSurface(rendered);
    SDL_FreeSurface(rendered);
    if (differing == 0) {
        return "";
    }
    return std::to_string(differing) + " pixels differ from \"" + words + "\"; first: " + first_difference;
}

// The names in a folder, sorted, without "." and "..".
std::vector<std::string> folder_entries(const char* folder)
{
    std::vector<std::string> names;
    DIR* d = opendir(folder);
    if (d == nullptr) {
        return names;
    }
    for (const dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string repeat(const std::string& line, int n)
{
    std::string all;
    for (int i = 0; i < n; ++i) {
        all += line;
    }
    return all;
}

class ChartTest : public testing::Test {
protected:
    void SetUp() override
    {
        census_clear();
        ASSERT_EQ(TTF_Init(), 0) << "SDL_ttf starts for the reference rendering";
        reference_font_ = TTF_OpenFont(OMBRIX_FONT_PATH, kTextPoints);
        ASSERT_NE(reference_font_, nullptr) << "the bundled font opens for the reference rendering";
    }
    void TearDown() override
    {
        census_clear();
        if (chart_ != nullptr) {
            SDL_FreeSurface(chart_);
        }
        if (reference_font_ != nullptr) {
            TTF_CloseFont(reference_font_);
        }
        TTF_Quit();
    }
    // Empty when band k shows exactly the words SDL_ttf draws for them.
    std::string text_difference(int k, const std::string& words)
    {
        return band_text_difference(chart_, reference_font_, k, words);
    }
    // Runs the chart step and returns its standard output.
    std::string draw_chart()
    {
        capture_output();
        visual_pixspit();
        const std::string out = captured_stdout();
        captured_stderr();
        return out;
    }
    SDL_Surface* load_chart()
    {
        chart_ = SDL_LoadBMP(kChartFile);
        EXPECT_NE(chart_, nullptr) << "output.bmp reads back as a BMP: " << SDL_GetError();
        return chart_;
    }
    scratch_dir dir_;
    SDL_Surface* chart_ = nullptr;
    TTF_Font* reference_font_ = nullptr;
};

constexpr char kStartLines[] = "DEBUG:  Attempting to Init SDL_TTF \nDEBUG:  SDL_TTF Initialized sucessfully \n";
constexpr char kNullFontLine[] = "CRITICAL EXISTANCE FAILURE: Attempting to draw NULL font \n";

} // namespace

TEST_F(ChartTest, OneColourGivesOneBandWithSwatchAndWhiteText)
{
    place_font();
    addpix(255, 0, 0);
    first->count = 12;
    EXPECT_EQ(draw_chart(), kStartLines) << "only the font library's start lines";
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    EXPECT_EQ(chart->w, 185) << "chart width";
    EXPECT_EQ(chart->h, 25) << "one band of 25 rows";
    for (int y = 0; y < 25; ++y) {
        for (int x = 0; x < 25; ++x) {
            ASSERT_EQ(pixel_at(chart, x, y), (rgb{255, 0, 0})) << "swatch pixel " << x << "," << y;
        }
    }
    const tally text = count_text_pixels(chart, 25, 0, 185, 25);
    EXPECT_GT(text.white, 50) << "the band's text is drawn in white";
    EXPECT_EQ(text.other, 0) << "outside the swatch only black and pure white";
    EXPECT_EQ(text_difference(0, "255 0 0 | 12"), "") << "the band shows red, green, blue and the count";
}

TEST_F(ChartTest, BandsFollowListOrderAndEachCarriesText)
{
    place_font();
    addpix(0, 0, 255);
    addpix(255, 0, 0);
    addpix(0, 0, 0);
    last->count = 7;
    draw_chart();
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    ASSERT_EQ(chart->h, 75) << "three bands";
    const rgb expected[] = {{0, 0, 255}, {255, 0, 0}, {0, 0, 0}};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(pixel_at(chart, 0, 25 * k), expected[k]) << "band " << k << " top-left swatch pixel";
        EXPECT_EQ(pixel_at(chart, 24, 25 * k + 24), expected[k]) << "band " << k << " bottom-right swatch pixel";
        const tally text = count_text_pixels(chart, 25, 25 * k, 185, 25 * k + 25);
        EXPECT_GT(text.white, 30) << "band " << k << " has white text, a black swatch's band too";
        EXPECT_EQ(text.other, 0) << "band " << k << " holds only black and white beside the swatch";
    }
    EXPECT_EQ(text_difference(0, "0 0 255 | 1"), "") << "band 0's words";
    EXPECT_EQ(text_difference(1, "255 0 0 | 1"), "") << "band 1's words";
    EXPECT_EQ(text_difference(2, "0 0 0 | 7"), "") << "band 2's words";
}

TEST_F(ChartTest, EachBandShowsItsColourAndCountAsSDLTtfDrawsThem)
{
    struct band_case {
        int r, g, b, count;
        const char* words; // written out, not formatted by the code under test
    };
    // Channels that differ, so that a swapped order shows; counts of one and
    // of many digits; the widest count runs past the chart's right edge.
    const band_case cases[] = {
        {12, 34, 56, 7, "12 34 56 | 7"},
        {200, 100, 1, 1, "200 100 1 | 1"},
        {0, 128, 255, 40000, "0 128 255 | 40000"},
        {255, 255, 255, 1, "255 255 255 | 1"},
        {9, 87, 234, 2147483647, "9 87 234 | 2147483647"},
    };
    place_font();
    for (const band_case& c : cases) {
        addpix(static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g), static_cast<std::uint8_t>(c.b));
        last->count = c.count;
    }
    EXPECT_EQ(draw_chart(), kStartLines) << "only the font library's start lines";
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    ASSERT_EQ(chart->h, 5 * kBandRows) << "five bands";
    for (int k = 0; k < 5; ++k) {
        const band_case& c = cases[k];
        ASSERT_EQ(band_words(c.r, c.g, c.b, c.count), c.words) << "the test's own table is consistent";
        EXPECT_EQ(pixel_at(chart, 0, kBandRows * k), (rgb{c.r, c.g, c.b})) << "band " << k << "'s swatch";
        EXPECT_EQ(text_difference(k, c.words), "") << "band " << k << "'s words";
    }
}

TEST_F(ChartTest, WithoutTheFontBandsKeepTheirSwatchesAndNoText)
{
    addpix(10, 200, 30);
    addpix(40, 50, 60);
    const std::string out = draw_chart();
    EXPECT_EQ(out, std::string(kStartLines) + "CRITICAL EXISTANCE FAILURE: TTF Failed to Load: Aaargh.ttf\n" +
                       repeat(kNullFontLine, 2))
        << "the load failure, then one NULL-font line per band";
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    EXPECT_EQ(pixel_at(chart, 12, 12), (rgb{10, 200, 30})) << "band 0 swatch";
    EXPECT_EQ(pixel_at(chart, 12, 37), (rgb{40, 50, 60})) << "band 1 swatch";
    const tally text = count_text_pixels(chart, 25, 0, 185, 50);
    EXPECT_EQ(text.white + text.other, 0) << "no text: everything beside the swatches is black";
}

TEST_F(ChartTest, AnEmptyListWritesAHeaderOnlyChart)
{
    place_font();
    EXPECT_EQ(draw_chart(), kStartLines) << "no band, no band line";
    const std::string bmp = read_file(kChartFile);
    ASSERT_GE(bmp.size(), 26u) << "a BMP header was written";
    EXPECT_EQ(bmp.substr(0, 2), "BM") << "BMP signature";
    std::int32_t width = 0, height = 0;
    std::memcpy(&width, bmp.data() + 18, 4);
    std::memcpy(&height, bmp.data() + 22, 4);
    EXPECT_EQ(width, 185) << "chart width in the header";
    EXPECT_EQ(height, 0) << "no rows";
}

TEST_F(ChartTest, AnEarlierChartIsReplaced)
{
    place_font();
    write_file(kChartFile, std::string(100000, 'x'));
    addpix(1, 2, 3);
    draw_chart();
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    EXPECT_EQ(chart->h, 25) << "the new chart replaced the old file";
}

TEST_F(ChartTest, ColoursPastTheLastPlaceableBandAreLeftOutWithAWarning)
{
    // 1312 colours: bands 0..1310 fit (the last starts at row 32750), 1311 does not.
    for (int i = 0; i < 1312; ++i) {
        addpix(static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i & 0xFF), 77);
    }
    const std::string out = draw_chart();
    const std::vector<std::string> lines = lines_of(out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], "WARNING: The chart shows the first 1311 of 1312 colours; the rest do not fit ")
        << "one warning names the shown and the total colours";
    EXPECT_EQ(lines.size(), 4u + 1311u) << "the NULL-font line comes once per drawn band only";
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    EXPECT_EQ(chart->h, 1311 * 25) << "the chart holds 1311 bands";
    EXPECT_EQ(pixel_at(chart, 0, 32750), (rgb{5, 30, 77})) << "band 1310 starts at row 32750";
    EXPECT_EQ(pixel_at(chart, 24, 32774), (rgb{5, 30, 77})) << "band 1310 is drawn in full, to row 32774";
}

TEST_F(ChartTest, AChartDrawnOnPreparedMemoryIsTheSameFile)
{
    // Memory prepared while the picture decodes serves a large chart; a
    // small one gets its own. Either way the file matches a chart drawn
    // without preparing anything, band for band.
    place_font();
    for (int colours : {1311, 3}) {
        SCOPED_TRACE(colours);
        census_clear();
        for (int i = 0; i < colours; ++i) {
            addpix(static_cast<std::uint8_t>(i * 7), static_cast<std::uint8_t>(i >> 3), static_cast<std::uint8_t>(i));
            last->count = 1000 + i;
        }
        const std::string plain_out = draw_chart();
        const std::string plain = read_file(kChartFile);
        chart_prepare();
        const std::string prepared_out = draw_chart();
        const std::string prepared = read_file(kChartFile);
        EXPECT_EQ(prepared_out, plain_out) << "the same lines";
        EXPECT_EQ(prepared.size(), plain.size()) << "the same file size";
        EXPECT_TRUE(prepared == plain) << "the same bytes";
    }
}

TEST_F(ChartTest, TheLastPlaceableBandCarriesItsText)
{
    place_font();
    // 1312 colours, each counted as often as its place in the list plus one.
    for (int i = 0; i < 1312; ++i) {
        addpix(static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i & 0xFF), 77);
        last->count = i + 1;
    }
    const std::vector<std::string> lines = lines_of(draw_chart());
    EXPECT_EQ(lines.size(), 3u) << "the font lines and the one warning, nothing per band";
    SDL_Surface* chart = load_chart();
    ASSERT_NE(chart, nullptr);
    ASSERT_EQ(chart->h, 1311 * kBandRows) << "the chart holds 1311 bands";
    EXPECT_EQ(text_difference(0, "0 0 77 | 1"), "") << "the first band's words";
    EXPECT_EQ(text_difference(1309, "5 29 77 | 1310"), "") << "the last band but one";
    EXPECT_EQ(text_difference(1310, "5 30 77 | 1311"), "") << "band 1310, at row 32750, shows its words in full";
}

TEST_F(ChartTest, AChartThatCannotBeWrittenLeavesTheFolderAsItWas)
{
    // A folder named output.bmp cannot be opened for writing, by root either.
    place_font();
    addpix(9, 9, 9);
    ASSERT_EQ(mkdir(kChartFile, 0755), 0);
    write_file(std::string(kChartFile) + "/kept.txt", "kept");
    const std::vector<std::string> before = folder_entries(".");
    const std::string font = read_file("Aaargh.ttf");

    // In a child, so that however the step ends it cannot end the test.
    const child_run run = run_in_child([] { visual_pixspit(); }, 30);
    ASSERT_FALSE(run.timed_out) << "the chart step ends";
    EXPECT_TRUE(run.exited) << "the chart step does not die from signal " << run.signal;
    EXPECT_EQ(run.out, kStartLines) << "nothing about the file on standard output";

    struct stat info;
    ASSERT_EQ(stat(kChartFile, &info), 0) << "output.bmp is still there";
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << "output.bmp is still a folder";
    EXPECT_EQ(folder_entries(kChartFile), std::vector<std::string>{"kept.txt"}) << "the folder's content is kept";
    EXPECT_EQ(read_file(std::string(kChartFile) + "/kept.txt"), "kept") << "the file in it is untouched";
    EXPECT_EQ(folder_entries("."), before) << "no file was added or removed beside it";
    EXPECT_EQ(read_file("Aaargh.ttf"), font) << "the font is untouched";
}

TEST_F(ChartTest, AnUnwritableFolderIsReportedOnStandardError)
{
    place_font();
    addpix(9, 9, 9);
    ASSERT_EQ(chmod(".", 0555), 0);
    if (access(".", W_OK) == 0) {
        chmod(".", 0755);
        GTEST_SKIP() << "this user writes into read-only folders (root)";
    }
    capture_output();
    visual_pixspit();
    const std::string out = captured_stdout();
    const std::string err = captured_stderr();
    chmod(".", 0755);
    EXPECT_EQ(out, kStartLines) << "standard output carries only the font library's lines";
    EXPECT_EQ(err, "ERROR:  Unable to save the chart: output.bmp - Permission denied \n")
        << "one error line naming the file and the reason";
    EXPECT_FALSE(file_exists(kChartFile)) << "no file in a read-only folder";
}

TEST_F(ChartTest, AChartThatCannotBeSavedLeavesTheEarlierOneAndFailsTheRun)
{
    struct fail_case {
        const char* name;
        void (*prepare)();
        const char* err;
    };
    const fail_case cases[] = {
        {"a folder in the chart's place", [] { ASSERT_EQ(mkdir(kChartFile, 0755), 0); },
         "ERROR:  Unable to save the chart: output.bmp - Is a directory \n"},
        {"a write the file-size limit stops",
         [] {
             write_file(kChartFile, "the earlier chart");
             signal(SIGXFSZ, SIG_IGN);
             const rlimit small = {16 * 1024, 16 * 1024};
             ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
         },
         "ERROR:  Unable to save the chart: output.bmp - File too large \n"},
    };
    for (const fail_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        place_font();
        for (int i = 0; i < 40; ++i) {
            addpix(static_cast<std::uint8_t>(i), 0, 0); // 40 bands: far more than 16 KiB
        }
        // The run's status is kept for the whole process: each case in a child.
        EXPECT_EXIT(
            {
                c.prepare();
                visual_pixspit();
                std::exit(finish_standard_streams(0));
            },
            testing::ExitedWithCode(1), std::string("^") + c.err + "$")
            << "one error line on standard error and status 1";
        struct stat info;
        ASSERT_EQ(lstat(kChartFile, &info), 0) << "something still stands at output.bmp";
        if (S_ISREG(info.st_mode)) {
            EXPECT_EQ(read_file(kChartFile), "the earlier chart") << "the earlier chart is untouched";
        } else {
            EXPECT_TRUE(S_ISDIR(info.st_mode)) << "the folder is left in place";
        }
        glob_t left = {};
        EXPECT_EQ(glob("output.bmp?*", 0, nullptr, &left), GLOB_NOMATCH) << "no temporary file is left";
        globfree(&left);
        census_clear();
    }
}

TEST_F(ChartTest, TheChartGoesWhereChartPathSaysAndLinksAreReplacedNotFollowed)
{
    place_font();
    addpix(1, 200, 3);
    ASSERT_EQ(mkdir("elsewhere", 0755), 0);
    write_file("precious.bmp", "not a chart");
    ASSERT_EQ(symlink("../precious.bmp", "elsewhere/chart.bmp"), 0);
    chart_path = "elsewhere/chart.bmp";
    capture_output();
    visual_pixspit();
    captured_stdout();
    const std::string err = captured_stderr();
    chart_path = kChartFile;
    EXPECT_EQ(err, "") << "the chart was saved";
    EXPECT_FALSE(file_exists(kChartFile)) << "nothing written under the default name";
    EXPECT_EQ(read_file("precious.bmp"), "not a chart") << "the linked file is not written through";
    chart_ = SDL_LoadBMP("elsewhere/chart.bmp");
    ASSERT_NE(chart_, nullptr) << "the link's place holds the chart: " << SDL_GetError();
    EXPECT_EQ(pixel_at(chart_, 3, 3), (rgb{1, 200, 3})) << "the one band's swatch";
}

TEST(TextRenderer, LoadsClosesAndRefusesNullFonts)
{
    scratch_dir dir;
    TTF_Font* font = reinterpret_cast<TTF_Font*>(0x1);
    capture_output();
    ttf.init();
    ttf.load_font(&font, "no-such-font.ttf", 16);
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, std::string(kStartLines) + "CRITICAL EXISTANCE FAILURE: TTF Failed to Load: no-such-font.ttf\n")
        << "start lines, then the load failure naming the path";
    EXPECT_EQ(font, nullptr) << "a failed load stores null over what the handle held";

    SDL_Surface* target = SDL_CreateRGBSurface(SDL_SWSURFACE, 40, 20, 32, 0, 0, 0, 0);
    ASSERT_NE(target, nullptr);
    capture_output();
    ttf.text_render(target, 0, 0, nullptr, 255, 255, 255, 0, "%s %i", "never formatted", 5);
    const std::string null_out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(null_out, kNullFontLine) << "only the NULL-font line";
    EXPECT_EQ(count_text_pixels(target, 0, 0, 40, 20).white, 0) << "the target is unchanged";
    SDL_FreeSurface(target);

    ttf.close_font(nullptr);
    TTF_Font* none = nullptr;
    ttf.close_font(&none);
    EXPECT_EQ(none, nullptr) << "closing a null handle does nothing";
}

TEST(TextRenderer, DrawsInTheLowBitsOfEachColourAndClipsAtEdges)
{
    scratch_dir dir;
    place_font();
    TTF_Font* font = nullptr;
    capture_output();
    ttf.init();
    ttf.load_font(&font, "Aaargh.ttf", 16);
    captured_stdout();
    captured_stderr();
    ASSERT_NE(font, nullptr);

    SDL_Surface* target = SDL_CreateRGBSurface(SDL_SWSURFACE, 60, 30, 32, 0, 0, 0, 0);
    ASSERT_NE(target, nullptr);
    capture_output();
    ttf.text_render(target, 2, 2, font, 256, -1, 255, 0, "%s", "WW");
    // Partly outside: only the overlap is drawn. Wholly outside: nothing, silently.
    ttf.text_render(target, 50, 20, font, 256, -1, 255, 0, "%s", "WW");
    ttf.text_render(target, 500, 500, font, 256, -1, 255, 0, "%s", "WW");
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, "") << "successful renders print nothing";
    int cyan = 0, other = 0;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 60; ++x) {
            const rgb c = pixel_at(target, x, y);
            if (c == rgb{0, 255, 255}) {
                ++cyan;
            } else if (!(c == rgb{0, 0, 0})) {
                ++other;
            }
        }
    }
    EXPECT_GT(cyan, 20) << "256 draws as red 0 and -1 as green 255";
    EXPECT_EQ(other, 0) << "solid text: glyph pixels in the colour, the rest untouched";
    int corner = 0;
    for (int y = 20; y < 30; ++y) {
        for (int x = 50; x < 60; ++x) {
            corner += pixel_at(target, x, y) == rgb{0, 255, 255};
        }
    }
    EXPECT_GT(corner, 0) << "text placed partly outside is drawn where it overlaps";

    // A formatted text longer than the buffer is cut short, not overflowed.
    const std::string long_text(5000, 'i');
    capture_output();
    ttf.text_render(target, 0, 0, font, 255, 255, 255, 0, "%s", long_text.c_str());
    EXPECT_EQ(captured_stdout(), "") << "a long text still renders (cut to 1023 characters)";
    captured_stderr();

    ttf.close_font(&font);
    EXPECT_EQ(font, nullptr) << "close_font sets the handle to null";
    ttf.close_font(&font);
    SDL_FreeSurface(target);
}
