// SPDX-License-Identifier: MIT
// The run's own steps under SDL's dummy driver: event handling with injected
// events, start-up's lines around the display object, and shutdown's line.
#include "Main_Loop.h"
#include "base/sdl.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

SDL_Event quit_event()
{
    SDL_Event e{};
    e.type = SDL_QUIT;
    return e;
}

SDL_Event key_event(Uint8 type, SDLKey sym, SDLMod mod)
{
    SDL_Event e{};
    e.type = type;
    e.key.type = type;
    e.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.sym = sym;
    e.key.keysym.mod = mod;
    return e;
}

class EventTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        ASSERT_NE(SDL_SetVideoMode(64, 48, 32, 0), nullptr) << SDL_GetError();
        SDL_Event drop;
        while (SDL_PollEvent(&drop) != 0) {
        }
        sdl.quit = false;
    }
    void TearDown() override
    {
        sdl.quit = false;
        SDL_Quit();
    }
};

constexpr char kCloseLine[] = "DEBUG:  Close Button Exit Command Received \n";
constexpr char kEscapeLine[] = "DEBUG:  Escape Key Exit Command Received \n";

} // namespace

TEST_F(EventTest, QuitRequestsSetTheFlagAndPrintTheirLinesInQueueOrder)
{
    struct event_case {
        const char* name;
        std::vector<SDL_Event> queue;
        std::string lines;
        bool quit;
    };
    const event_case cases[] = {
        {"close button", {quit_event()}, kCloseLine, true},
        {"Escape", {key_event(SDL_KEYDOWN, SDLK_ESCAPE, KMOD_NONE)}, kEscapeLine, true},
        {"Escape with Shift, Control and Alt",
         {key_event(SDL_KEYDOWN, SDLK_ESCAPE, SDLMod(KMOD_LSHIFT | KMOD_LCTRL | KMOD_LALT))}, kEscapeLine, true},
        {"close then Escape", {quit_event(), key_event(SDL_KEYDOWN, SDLK_ESCAPE, KMOD_NONE)},
         std::string(kCloseLine) + kEscapeLine, true},
        {"Escape then close", {key_event(SDL_KEYDOWN, SDLK_ESCAPE, KMOD_NONE), quit_event()},
         std::string(kEscapeLine) + kCloseLine, true},
        {"two Escapes", {key_event(SDL_KEYDOWN, SDLK_ESCAPE, KMOD_NONE), key_event(SDL_KEYDOWN, SDLK_ESCAPE, KMOD_NONE)},
         std::string(kEscapeLine) + kEscapeLine, true},
        {"Escape released", {key_event(SDL_KEYUP, SDLK_ESCAPE, KMOD_NONE)}, "", false},
        {"another key", {key_event(SDL_KEYDOWN, SDLK_q, KMOD_NONE)}, "", false},
        {"nothing queued", {}, "", false},
    };
    for (const event_case& c : cases) {
        SCOPED_TRACE(c.name);
        sdl.quit = false;
        for (SDL_Event e : c.queue) {
            ASSERT_EQ(SDL_PushEvent(&e), 0) << "event queued";
        }
        capture_output();
        event_update();
        const std::string out = captured_stdout();
        captured_stderr();
        EXPECT_EQ(out, c.lines) << "lines printed while draining the queue";
        EXPECT_EQ(sdl.quit, c.quit) << "the quit flag";
        SDL_Event left;
        EXPECT_EQ(SDL_PollEvent(&left), 0) << "the whole queue was drained";
    }
}

TEST(RunSteps, StartUpAndShutdownPrintTheirLines)
{
    scratch_dir dir;
    sdl.quit = false;
    sdl.screen = nullptr;
    capture_output();
    program_init();
    const std::string start = captured_stdout();
    captured_stderr();
    const std::vector<std::string> lines = lines_of(start);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "DEBUG:  Attempting to Init SDL ") << "the first start-up line";
    EXPECT_EQ(lines[lines.size() - 2], "DEBUG:  Setting Window Title ") << "the display's last line";
    EXPECT_EQ(lines.back(), "DEBUG:  SDL Initialized ") << "the last start-up line";
    EXPECT_NE(sdl.screen, nullptr) << "the dummy driver opened a display surface";

    capture_output();
    program_cleanup();
    EXPECT_EQ(captured_stdout(), "DEBUG:  Libraries Cleaned Up, Exiting Program \n") << "shutdown's one line";
    captured_stderr();
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u) << "SDL is shut down";
    sdl.screen = nullptr;
}
