// SPDX-License-Identifier: MIT
// Display start-up and the settings file: the reader's rules as a table of file
// contents, the writer's exact bytes, the mode survey's accept rule, and the
// start-up paths under SDL's dummy driver and with no video at all.
#include "base/sdl.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <glob.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Puts the display object back to its program-start state.
void reset_display()
{
    resolution* entry = sdl.modes_first;
    while (entry != nullptr) {
        resolution* next = entry->next;
        std::free(entry);
        entry = next;
    }
    sdl.width = 0;
    sdl.height = 0;
    sdl.bpp = 0;
    sdl.fullscreen = false;
    sdl.modes_first = nullptr;
    sdl.modes_last = nullptr;
    sdl.quit = false;
    sdl.screen = nullptr;
}

struct settings {
    std::int32_t width, height, bpp;
    bool fullscreen;
    bool operator==(const settings& o) const
    {
        return width == o.width && height == o.height && bpp == o.bpp && fullscreen == o.fullscreen;
    }
};

std::ostream& operator<<(std::ostream& out, const settings& s)
{
    return out << s.width << "/" << s.height << "/" << s.bpp << "/" << s.fullscreen;
}

settings current() { return {sdl.width, sdl.height, sdl.bpp, sdl.fullscreen}; }

class DisplayTest : public testing::Test {
protected:
    void SetUp() override { reset_display(); }
    void TearDown() override
    {
        SDL_Quit();
        reset_display();
    }
    scratch_dir dir_;
};

} // namespace

TEST_F(DisplayTest, ReaderFollowsItsRulesForEveryKindOfContent)
{
    struct read_case {
        const char* name;
        std::string content;
        settings expected;
    };
    const read_case cases[] = {
        {"four lines", "1024\n768\n16\n1\n", {1024, 768, 16, true}},
        {"one line", "1024 768 16 1", {1024, 768, 16, true}},
        {"CR LF", "640\r\n480\r\n24\r\n0\r\n", {640, 480, 24, false}},
        {"tabs and blank lines", "\t640\t\n\n 480\v\f24\n\n0", {640, 480, 24, false}},
        {"signs", "+640 -480 -8 +1", {640, -480, -8, true}},
        {"800x600", "800x600", {800, 0, 0, false}},
        {"hexadecimal prefix", "0x10 20 30 1", {0, 0, 0, false}},
        {"digit grouping", "1,024 768 16 0", {1, 0, 0, false}},
        {"three values", "640 480 24", {640, 480, 24, false}},
        {"empty file", "", {0, 0, 0, false}},
        {"full-screen 2", "640 480 24 2", {640, 480, 24, false}},
        {"full-screen word", "640 480 24 true", {640, 480, 24, false}},
        {"a sign alone", "- 480 24 1", {0, 0, 0, false}},
        {"width past 32 bits", "99999999999999999999999 480 24 1", {0, 0, 0, false}},
        {"INT_MAX and INT_MIN", "2147483647 -2147483648 0 0", {INT_MAX, INT_MIN, 0, false}},
        {"one past INT_MAX", "2147483648 600 32 0", {0, 0, 0, false}},
        {"one past INT_MIN", "100 -2147483649 32 0", {100, 0, 0, false}},
        {"leading zeros", "000800 0600 032 01", {800, 600, 32, true}},
        {"text after the fourth value", "640 480 24 1 and more\nrubbish", {640, 480, 24, true}},
        {"decimal point", "640.5 480 24 1", {640, 0, 0, false}},
    };
    for (const read_case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_display();
        write_file(kSettingsFile, c.content);
        capture_output();
        const bool opened = sdl.read_config();
        const std::string out = captured_stdout();
        captured_stderr();
        EXPECT_TRUE(opened) << "a file that opens counts as read";
        EXPECT_EQ(out, "") << "reading prints nothing";
        EXPECT_EQ(current(), c.expected) << "settings read from \"" << c.content << "\"";
        EXPECT_EQ(sdl.screen, nullptr) << "reading opens no window";
    }
}

TEST_F(DisplayTest, WriterWritesFourLinesInTheWrittenForm)
{
    struct write_case {
        settings fields;
        const char* bytes;
    };
    const write_case cases[] = {
        {{800, 600, 32, false}, "800\n600\n32\n0\n"},
        {{-1, 0, 2147483647, true}, "-1\n0\n2147483647\n1\n"},
    };
    for (const write_case& c : cases) {
        write_file(kSettingsFile, "old content that is longer than the new one\n");
        sdl.width = c.fields.width;
        sdl.height = c.fields.height;
        sdl.bpp = c.fields.bpp;
        sdl.fullscreen = c.fields.fullscreen;
        capture_output();
        sdl.write_config();
        EXPECT_EQ(captured_stdout(), "") << "a successful write prints nothing";
        captured_stderr();
        EXPECT_EQ(read_file(kSettingsFile), c.bytes) << "the file's exact bytes";
    }
}

TEST_F(DisplayTest, WriterReportsAFileItCannotOpen)
{
    ASSERT_EQ(mkdir(kSettingsFile, 0755), 0) << "a folder in the file's place cannot be opened for writing";
    capture_output();
    sdl.write_config();
    EXPECT_EQ(captured_stdout(), "ERROR:  SDL.WriteConfig -> Unable to Write to File: Video_Settings.cfg\n")
        << "the writing error names the file";
    captured_stderr();
}

TEST_F(DisplayTest, WriterKeepsTheEarlierFileWhenItCannotReplaceIt)
{
    struct fail_case {
        const char* name;
        void (*prepare)();
        bool limit_size;
    };
    const fail_case cases[] = {
        {"a FIFO in the file's place (never waited on)", [] { ASSERT_EQ(mkfifo(kSettingsFile, 0644), 0); }, false},
        {"a write the file-size limit stops", [] { write_file(kSettingsFile, "1280 1024 24 1"); }, true},
    };
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit before = {};
    getrlimit(RLIMIT_FSIZE, &before);
    for (const fail_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        c.prepare();
        sdl.width = 800;
        sdl.height = 600;
        sdl.bpp = 32;
        capture_output();
        if (c.limit_size) {
            const rlimit none = {0, before.rlim_max};
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
        }
        sdl.write_config();
        setrlimit(RLIMIT_FSIZE, &before);
        EXPECT_EQ(captured_stdout(), "ERROR:  SDL.WriteConfig -> Unable to Write to File: Video_Settings.cfg\n")
            << "the writer's error line";
        captured_stderr();
        struct stat info;
        ASSERT_EQ(lstat(kSettingsFile, &info), 0);
        if (c.limit_size) {
            EXPECT_EQ(read_file(kSettingsFile), "1280 1024 24 1") << "the earlier settings stay whole";
        } else {
            EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the FIFO stays";
        }
        glob_t left = {};
        EXPECT_EQ(glob("Video_Settings.cfg?*", 0, nullptr, &left), GLOB_NOMATCH) << "no temporary file is left";
        globfree(&left);
    }
    sigaction(SIGXFSZ, &previous, nullptr);
}

TEST_F(DisplayTest, ALinkIsReadThroughButReplacedWhenWritten)
{
    write_file("shared.cfg", "640 480 24 0");
    ASSERT_EQ(symlink("shared.cfg", kSettingsFile), 0);
    capture_output();
    EXPECT_TRUE(sdl.read_config()) << "the linked file opens";
    sdl.width = 1024;
    sdl.write_config();
    EXPECT_EQ(captured_stdout(), "") << "reading and writing print nothing";
    captured_stderr();
    EXPECT_EQ(sdl.height, 480) << "the settings were read through the link";
    EXPECT_EQ(read_file("shared.cfg"), "640 480 24 0") << "the linked file is not written through";
    struct stat info;
    ASSERT_EQ(lstat(kSettingsFile, &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "the link was replaced by a file of its own";
    EXPECT_EQ(read_file(kSettingsFile), "1024\n480\n24\n0\n") << "the new file holds the settings";
}

TEST_F(DisplayTest, ReaderNeverWaitsOnAFifoOrADevice)
{
    struct kind_case {
        const char* name;
        void (*prepare)();
    };
    const kind_case cases[] = {
        {"a FIFO without a writer", [] { ASSERT_EQ(mkfifo(kSettingsFile, 0644), 0); }},
        {"a link to a terminal-like device", [] { ASSERT_EQ(symlink("/dev/tty", kSettingsFile), 0); }},
        {"a link to an endless device", [] { ASSERT_EQ(symlink("/dev/zero", kSettingsFile), 0); }},
    };
    for (const kind_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        reset_display();
        c.prepare();
        SDL_Init(SDL_INIT_VIDEO);
        capture_output();
        const bool opened = sdl.read_config();
        const std::string out = captured_stdout();
        captured_stderr();
        SDL_Quit();
        EXPECT_FALSE(opened) << "only a regular file is read";
        EXPECT_EQ(lines_of(out).front(),
                  "ERROR:  SDL.ReadConfig -> Unable to Read From File: Video_Settings.cfg - Reverting to Defaults")
            << "the reading error, then the defaults";
        EXPECT_EQ(current(), (settings{800, 600, 32, false})) << "the defaults";
    }
}

TEST_F(DisplayTest, SurveyAcceptsWideAndSquareModesOnly)
{
    SDL_Rect modes[] = {{0, 0, 1024, 768}, {0, 0, 800, 600}, {0, 0, 799, 600},
                        {0, 0, 1024, 1024}, {0, 0, 800, 1280}, {0, 0, 0, 0}};
    SDL_Rect* list[] = {&modes[0], &modes[1], &modes[2], &modes[3], &modes[4], &modes[5], nullptr};
    capture_output();
    sdl.fullscreen_list(list);
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, "DEBUG:  Available Fullscreen Video Modes: \n"
                   "        1024 x 768\n"
                   "        800 x 600\n"
                   "        1024 x 1024\n"
                   "DEBUG:  Fullscreen Resolutions Available: 3 \n")
        << "800 wide and square pass; 799 wide, portrait and 0 wide do not";
    ASSERT_NE(sdl.modes_first, nullptr);
    EXPECT_STREQ(sdl.modes_first->label, "1024 x 768") << "first entry's label";
    EXPECT_STREQ(sdl.modes_last->label, "1024 x 1024") << "last entry's label";
    EXPECT_EQ(sdl.modes_first->next->next, sdl.modes_last) << "three entries in SDL's order";
}

TEST_F(DisplayTest, SurveyAnswersWithoutModeLists)
{
    struct answer_case {
        SDL_Rect** modes;
        const char* out;
    };
    SDL_Rect narrow = {0, 0, 640, 480};
    SDL_Rect* only_narrow[] = {&narrow, nullptr};
    const answer_case cases[] = {
        {nullptr, "DEBUG:  No Available Fullscreen Resolutions \n"},
        {reinterpret_cast<SDL_Rect**>(-1),
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"},
        {only_narrow, "DEBUG:  Available Fullscreen Video Modes: \nDEBUG:  Fullscreen Resolutions Available: 0 \n"},
    };
    for (const answer_case& c : cases) {
        reset_display();
        capture_output();
        sdl.fullscreen_list(c.modes);
        EXPECT_EQ(captured_stdout(), c.out) << "survey lines";
        captured_stderr();
        EXPECT_EQ(sdl.modes_first, nullptr) << "no mode listed";
    }
}

TEST_F(DisplayTest, StartUpPathsUnderTheDummyDriver)
{
    struct start_case {
        const char* name;
        const char* file; // null: no settings file
        const char* lines;
        settings after;
        const char* file_after;
    };
    const start_case cases[] = {
        {"no settings file", nullptr,
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "ERROR:  SDL.ReadConfig -> Unable to Read From File: Video_Settings.cfg - Reverting to Defaults\n"
         "DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
         "DEBUG:  Setting Window Title \n",
         {800, 600, 32, false}, "800\n600\n32\n0\n"},
        {"settings read and opened", "1024 768 16 1",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at 1024 x 768, 16 bit depth \n"
         "DEBUG:  SDL Window Created Sucessfully \n"
         "DEBUG:  Setting Window Title \n",
         {1024, 768, 16, true}, "1024\n768\n16\n1\n"},
        {"a size X cannot hold", "65536 600 32 0",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at 65536 x 600, 32 bit depth \n"
         "CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n"
         "DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
         "DEBUG:  Setting Window Title \n",
         {800, 600, 32, false}, "800\n600\n32\n0\n"},
        // The side limit's boundary: 16383 is asked of SDL, 16384 is not.
        {"width 16383", "16383 600 32 0",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at 16383 x 600, 32 bit depth \n"
         "DEBUG:  SDL Window Created Sucessfully \n"
         "DEBUG:  Setting Window Title \n",
         {16383, 600, 32, false}, "16383\n600\n32\n0\n"},
        {"height 16383", "640 16383 32 0",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at 640 x 16383, 32 bit depth \n"
         "DEBUG:  SDL Window Created Sucessfully \n"
         "DEBUG:  Setting Window Title \n",
         {640, 16383, 32, false}, "640\n16383\n32\n0\n"},
        {"width 16384", "16384 600 32 0",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at 16384 x 600, 32 bit depth \n"
         "CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n"
         "DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
         "DEBUG:  Setting Window Title \n",
         {800, 600, 32, false}, "800\n600\n32\n0\n"},
        {"height 16384", "640 16384 32 0",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at 640 x 16384, 32 bit depth \n"
         "CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n"
         "DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
         "DEBUG:  Setting Window Title \n",
         {800, 600, 32, false}, "800\n600\n32\n0\n"},
        {"a mode SDL refuses", "-5 600 32 0",
         "DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n"
         "DEBUG:  Attempting to make SDL Window at -5 x 600, 32 bit depth \n"
         "CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n"
         "DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
         "DEBUG:  Setting Window Title \n",
         {800, 600, 32, false}, "800\n600\n32\n0\n"},
    };
    for (const start_case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_display();
        std::remove(kSettingsFile);
        if (c.file != nullptr) {
            write_file(kSettingsFile, c.file);
        }
        capture_output();
        sdl.init(SDL_INIT_VIDEO);
        const std::string out = captured_stdout();
        captured_stderr();
        EXPECT_EQ(out, c.lines) << "start-up lines in order";
        EXPECT_EQ(current(), c.after) << "settings after start-up";
        EXPECT_EQ(read_file(kSettingsFile), c.file_after) << "settings file after start-up";
        ASSERT_NE(sdl.screen, nullptr) << "a display surface was opened";
        EXPECT_FALSE(sdl.quit) << "quit stays clear when a window opened";
        EXPECT_EQ(sdl.screen->w, c.after.width) << "the surface has the width asked for";
        EXPECT_EQ(sdl.screen->h, c.after.height) << "the surface has the height asked for";
        char* title = nullptr;
        SDL_WM_GetCaption(&title, nullptr);
        EXPECT_STREQ(title, "Ombrix") << "the window title";
        SDL_Quit();
    }
}

TEST_F(DisplayTest, TheDummyDriverItselfOpensTheSidesTheToolRefuses)
{
    // So the refusals of 16384 above come from the tool's own limit, made
    // before SDL is asked, and not from the driver.
    ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    const SDL_Rect sizes[] = {{0, 0, 16384, 600}, {0, 0, 640, 16384}};
    for (const SDL_Rect& size : sizes) {
        const SDL_Surface* screen = SDL_SetVideoMode(size.w, size.h, 32, 0);
        ASSERT_NE(screen, nullptr) << "the dummy driver opens " << size.w << " x " << size.h;
        EXPECT_EQ(screen->w, size.w) << "at the width asked for";
        EXPECT_EQ(screen->h, size.h) << "at the height asked for";
    }
}

TEST_F(DisplayTest, WithoutVideoStartUpSetsQuitAndLeavesTheSettingsFileAlone)
{
    struct env_case {
        const char* name;
        const char* driver;  // null: unset
        const char* display; // null: unset
        const char* file;    // null: no settings file
    };
    const env_case cases[] = {
        {"a driver that does not exist", "no-such-driver", nullptr, nullptr},
        {"neither display nor driver named", nullptr, nullptr, nullptr},
        {"an empty display name", nullptr, "", nullptr},
        {"a display with no server", nullptr, ":4093", "1280 1024 24 1"},
        {"a display name that makes no sense", nullptr, "garbage:::", "1280 1024 24 1"},
    };
    const std::string read_failure =
        "ERROR:  SDL.ReadConfig -> Unable to Read From File: Video_Settings.cfg - Reverting to Defaults\n";
    const std::string settings_refused = "DEBUG:  Attempting to make SDL Window at 1280 x 1024, 24 bit depth \n"
                                         "CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n";
    const char* saved_driver = std::getenv("SDL_VIDEODRIVER");
    const std::string driver_before = saved_driver != nullptr ? saved_driver : "";
    const char* saved_display = std::getenv("DISPLAY");
    const std::string display_before = saved_display != nullptr ? saved_display : "";
    for (const env_case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_display();
        std::remove(kSettingsFile);
        if (c.file != nullptr) {
            write_file(kSettingsFile, c.file);
        }
        c.driver != nullptr ? setenv("SDL_VIDEODRIVER", c.driver, 1) : unsetenv("SDL_VIDEODRIVER");
        c.display != nullptr ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
        capture_output();
        sdl.init(SDL_INIT_VIDEO);
        const std::string out = captured_stdout();
        captured_stderr();
        EXPECT_EQ(out, "CRITICAL EXISTANCE FAILURE: Unable to Init SDL \n"
                       "DEBUG:  No Available Fullscreen Resolutions \n" +
                           (c.file == nullptr ? read_failure : settings_refused) +
                           "DEBUG:  Attempting to Init SDL Window at 800 x 600, 32 bit depth \n"
                           "SUPER CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window with Default Values \n"
                           "DEBUG:  Setting Window Title \n")
            << "the no-video path, with no escape codes on standard output";
        EXPECT_TRUE(sdl.quit) << "no window: quit is set";
        EXPECT_EQ(sdl.screen, nullptr) << "no display surface";
        if (c.file == nullptr) {
            EXPECT_FALSE(file_exists(kSettingsFile)) << "no window opened: no settings file is made";
        } else {
            EXPECT_EQ(read_file(kSettingsFile), c.file) << "no window opened: the user's settings stay";
        }
        if (c.driver == nullptr) {
            const char* chosen = std::getenv("SDL_VIDEODRIVER");
            EXPECT_STREQ(chosen, "x11") << "SDL is kept to its X11 driver";
        }
        SDL_Quit();
    }
    setenv("SDL_VIDEODRIVER", driver_before.empty() ? "dummy" : driver_before.c_str(), 1);
    if (!display_before.empty()) {
        setenv("DISPLAY", display_before.c_str(), 1);
    } else {
        unsetenv("DISPLAY");
    }
}
