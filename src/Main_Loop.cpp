// SDL_main and the parts of the run that belong to no helper: start-up order,
// intake, the display loop, event handling, the frame-rate report, shutdown.
#include "Main_Loop.h"

#include "base/fps.h"
#include "base/sdl.h"
#include "base/surface.h"
#include "census.h"
#include "chart.h"
#include "picture.h"
#include "standard_streams.h"

#include <SDL.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr int kTargetFps = 60;
constexpr std::size_t kCaptionSize = 128;
constexpr std::size_t kOutputBufferSize = std::size_t{1} << 20;
constexpr std::size_t kErrorBufferSize = std::size_t{1} << 16;
constexpr int kFailureStatus = -1;

// A picture of 2 or 3 bytes per pixel prints a warning per pixel, and the
// census a progress line per column; into a pipe or a file large buffers keep
// that cheap (a write per column also costs the scan its cached page
// translations). A terminal keeps its usual buffering.
void buffer_standard_output()
{
    if (!isatty(STDOUT_FILENO)) {
        static char buffer[kOutputBufferSize];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
    if (!isatty(STDERR_FILENO)) {
        static char buffer[kErrorBufferSize];
        std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
    }
}

} // namespace

void program_init()
{
    std::fputs("DEBUG:  Attempting to Init SDL \n", stdout);
    sdl.init(SDL_INIT_VIDEO);
    std::fputs("DEBUG:  SDL Initialized \n", stdout);
    fps.init();
}

void event_update()
{
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        if (event.type == SDL_QUIT) {
            sdl.quit = true;
            std::fputs("DEBUG:  Close Button Exit Command Received \n", stdout);
        }
        if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE) {
            sdl.quit = true;
            std::fputs("DEBUG:  Escape Key Exit Command Received \n", stdout);
        }
    }
}

void fps_update()
{
    if ((sdl.screen->flags & SDL_FULLSCREEN) != 0) {
        std::printf("FPS:%i/%i fps - Min:%ims Max:%ims Avg:%fms \n", fps_data.frames, kTargetFps,
                    fps_data.min_ms, fps_data.max_ms, fps_data.avg_ms);
        flush_standard_output(); // the report is read while it is current
    } else {
        char caption[kCaptionSize];
        std::snprintf(caption, sizeof caption, "%s - %i/%i fps - Min:%ims Max:%ims Avg:%fms", kWindowTitle,
                      fps_data.frames, kTargetFps, fps_data.min_ms, fps_data.max_ms, fps_data.avg_ms);
        SDL_WM_SetCaption(caption, nullptr);
    }
}

void program_cleanup()
{
    SDL_Quit();
    std::fputs("DEBUG:  Libraries Cleaned Up, Exiting Program \n", stdout);
}

int SDL_main(int argc, char** argv)
{
    open_standard_descriptors();
    buffer_standard_output();
    // Every exit after start-up shuts SDL down, the out-of-memory one too: in
    // full-screen only SDL_Quit gives the desktop its own video mode back.
    std::atexit(SDL_Quit);
    program_init();

    if (argc < 2 || argv[1] == nullptr) {
        std::fputs("ERROR:  No picture passed to program \n", stderr);
        SDL_Quit();
        std::exit(finish_standard_streams(kFailureStatus));
    }
    std::string why;
    // The census table's page faults are taken while the picture decodes.
    image = load_picture(argv[1], &why, census_prepare);
    if (image == nullptr) {
        std::fprintf(stderr, "ERROR:  Unable to load picture: %s - %s \n", argv[1], why.c_str());
        SDL_Quit();
        std::exit(finish_standard_streams(kFailureStatus));
    }
    first = nullptr;
    pixify();
    pixspit();
    flush_standard_error(); // the progress lines, readable while the window is shown

    visual_pixspit();
    flush_standard_output();

    while (!sdl.quit) {
        event_update();
        surface.draw(image, sdl.screen, 0, 0);
        SDL_Flip(sdl.screen);
        if (fps.limit()) {
            fps_update();
        }
    }
    program_cleanup();
    return finish_standard_streams(0);
}
