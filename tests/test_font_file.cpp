// SPDX-License-Identifier: MIT
// The font file lookup: a regular font opens; a FIFO, a device, a folder, a
// broken or missing file are refused at once; the installed font's path.
#include "font_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <SDL_ttf.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPoints = 16;

class FontFileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(TTF_Init(), 0) << TTF_GetError(); }
};

} // namespace

TEST_F(FontFileTest, OnlyARegularFontFileOpens)
{
    scratch_dir dir;
    place_font();
    TTF_Font* font = open_font_file("Aaargh.ttf", kPoints);
    ASSERT_NE(font, nullptr) << "the bundled font in the working folder opens";
    int w = 0;
    int h = 0;
    EXPECT_EQ(TTF_SizeText(font, "255 255 255 | 1", &w, &h), 0) << "the font measures text";
    EXPECT_GT(w, 0) << "text has a width";
    TTF_CloseFont(font);

    ASSERT_EQ(mkfifo("fifo.ttf", 0600), 0) << "a FIFO for the test";
    ASSERT_EQ(mkdir("folder.ttf", 0700), 0) << "a folder for the test";
    write_file("empty.ttf", "");
    write_file("text.ttf", "not a font at all, just a line of text\n");
    ASSERT_EQ(symlink("fifo.ttf", "link-to-fifo.ttf"), 0) << "a link for the test";
    const char* refused[] = {"fifo.ttf", "link-to-fifo.ttf", "/dev/null", "/dev/zero", "folder.ttf",
                             "empty.ttf", "text.ttf", "missing.ttf"};
    for (const char* name : refused) {
        // A FIFO without a writer would block a plain open for ever; the test
        // would then hang until CTest's timeout fails it.
        EXPECT_EQ(open_font_at(name, kPoints), nullptr) << name << " is not opened as a font";
        EXPECT_EQ(open_font_file(name, kPoints), nullptr) << name << " is not opened as a font";
    }
}

TEST(FontFile, InstalledFontLiesInTheShareFolderBesideTheExecutable)
{
    const struct {
        const char* executable;
        const char* path;
    } cases[] = {
        {"/usr/local/bin/ombrix", "/usr/local/bin/../share/ombrix/Aaargh.ttf"},
        {"/opt/x/bin/ombrix", "/opt/x/bin/../share/ombrix/Aaargh.ttf"},
        {"/ombrix", "/../share/ombrix/Aaargh.ttf"},
        {"ombrix", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(installed_font_path(c.executable, "Aaargh.ttf"), c.path) << "for " << c.executable;
    }
}
