// SPDX-License-Identifier: MIT
// SDL_main and the parts of the run that belong to no helper: start-up order,
// intake, the display loop, event handling, the frame-rate report, shutdown.
#include "Main_Loop.h"

#include "base/fps.h"
#include "base/sdl.h"
#include "base/surface.h"
#include "census.h"
#include "chart.h"
#include "options.h"
#include "output_streams.h"
#include "palette_file.h"
#include "picture.h"
#include "printable_text.h"
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
constexpr int kSignalStatusBase = 128;
constexpr int kWriteFailureStatus = 1;

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

// -p: the palette file beside the chart. False (one error line on standard
// error) when it was asked for and could not be written.
bool palette_step()
{
    if (options.palette_path == nullptr) {
        return true;
    }
    std::string why;
    if (!save_palette(options.palette_path, palette_name(options.picture), first, &why)) {
        std::fprintf(stderr, "ERROR:  Unable to write palette: %s - %s \n", options.palette_path, why.c_str());
        return false;
    }
    return true;
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
    // Options come first: help, version and usage errors end the run before
    // anything starts or any file is touched.
    const parse_result parsed = parse_options(argc, argv, stdout, stderr);
    if (parsed == parse_result::usage_error) {
        return kUsageStatus;
    }
    if (parsed == parse_result::exit_success) {
        // Help or version text that could not be written is a failure too.
        if (std::fflush(stdout) != 0) {
            std::perror("ombrix: standard output");
            return kWriteFailureStatus;
        }
        return 0;
    }
    if (options.quiet && !begin_quiet_output()) {
        std::perror("ombrix: cannot set up quiet output");
        return kWriteFailureStatus;
    }
    if (options.chart_path != nullptr) {
        chart_path = options.chart_path;
    }

    buffer_standard_output();
    // Every exit after start-up shuts SDL down: in full-screen only SDL_Quit
    // gives the desktop its own video mode back.
    std::atexit(SDL_Quit);
    const char* path = options.picture;
    if (path != nullptr) {
        // Decoding starts first, so that it overlaps SDL's start-up.
        picture_start(path);
    }
    if (!options.no_window) {
        program_init();
    }

    if (path == nullptr) {
        std::fputs("ERROR:  No picture passed to program \n", stderr);
        SDL_Quit();
        std::exit(finish_standard_streams(kFailureStatus));
    }
    chart_prepare(); // while the picture decodes
    int shown_w = 0;
    int shown_h = 0;
    if (!sdl.quit && sdl.screen != nullptr) {
        shown_w = sdl.screen->w;
        shown_h = sdl.screen->h;
    }
    first = nullptr;
    SDL_Surface* shown = nullptr;
    std::string why;
    int signal_number = 0;
    switch (picture_finish(shown_w, shown_h, options.quiet, &shown, &why, &signal_number)) {
    case intake_result::loaded:
        break;
    case intake_result::unloadable:
        std::fprintf(stderr, "ERROR:  Unable to load picture: %s - %s \n", printable_text(path).c_str(),
                     printable_text(why.c_str()).c_str());
        SDL_Quit();
        std::exit(finish_standard_streams(kFailureStatus));
    case intake_result::interrupted:
        SDL_Quit();
        std::exit(finish_standard_streams(kSignalStatusBase + signal_number));
    case intake_result::out_of_memory:
        census_out_of_memory();
        break;
    }
    image = shown;
    pixspit();
    flush_standard_error(); // the progress lines, readable while the window is shown

    visual_pixspit();
    if (!palette_step()) {
        note_unwritten_file();
    }
    flush_standard_output();
    if (options.no_window) {
        return finish_standard_streams(0); // -n: no display loop and no shutdown lines
    }

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
