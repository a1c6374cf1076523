// SPDX-License-Identifier: MIT
// The GIMP palette writer: the exact file text for a list, the Name line made
// from the picture argument, and failures to open or write the file.
#include "census.h"
#include "palette_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(PaletteFile, ListBecomesHeaderAndOneLinePerColourInListOrder)
{
    pixel third{nullptr, 255, 255, 255, 1234567};
    pixel second{&third, 0, 128, 9, 1};
    pixel head{&second, 10, 200, 3, 42};
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    EXPECT_TRUE(write_palette(out, "photo.png", &head)) << "writing into memory succeeds";
    std::fclose(out);
    const std::string written(text, size);
    std::free(text);
    EXPECT_EQ(written,
              "GIMP Palette\n"
              "Name: photo.png\n"
              "Columns: 16\n"
              "#\n"
              " 10 200   3\t#0ac803 42 px\n"
              "  0 128   9\t#008009 1 px\n"
              "255 255 255\t#ffffff 1234567 px\n")
        << "the palette text";

    out = open_memstream(&text, &size);
    EXPECT_TRUE(write_palette(out, "empty.png", nullptr)) << "an empty list";
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), "GIMP Palette\nName: empty.png\nColumns: 16\n#\n") << "only the header";
    std::free(text);
}

TEST(PaletteFile, NameIsThePicturesFileNameOnOneLine)
{
    const struct {
        const char* argument;
        const char* name;
    } cases[] = {
        {"photo.jpg", "photo.jpg"},
        {"some/folder/photo.jpg", "photo.jpg"},
        {"/abs/photo.jpg", "photo.jpg"},
        {"folder/", "folder"},
        {"/", "/"},
        {"-", "stdin"},
        {"./-", "-"},
        {"two\nlines\r.png", "two lines .png"},
        {"tab\there.png", "tab here.png"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(palette_name(c.argument), c.name) << "the name for " << c.argument;
    }
}

TEST(PaletteFile, SavingReplacesTheFileOrReportsWhy)
{
    scratch_dir dir;
    pixel only{nullptr, 1, 2, 3, 4};
    write_file("colours.gpl", "an older, longer file that must be replaced entirely\n");
    std::string why;
    ASSERT_TRUE(save_palette("colours.gpl", "p.png", &only, &why)) << why;
    EXPECT_EQ(read_file("colours.gpl"), "GIMP Palette\nName: p.png\nColumns: 16\n#\n  1   2   3\t#010203 4 px\n")
        << "the file holds exactly the new palette";

    const struct {
        const char* path;
        const char* reason;
    } failures[] = {
        {"no-such-folder/colours.gpl", "No such file or directory"},
        {".", "Is a directory"},
        {"/dev/full", "No space left on device"},
    };
    for (const auto& f : failures) {
        why.clear();
        EXPECT_FALSE(save_palette(f.path, "p.png", &only, &why)) << "saving to " << f.path << " fails";
        EXPECT_EQ(why, f.reason) << "the reason for " << f.path;
    }
}
