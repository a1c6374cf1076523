// SPDX-License-Identifier: MIT
// Display start-up and the video settings file: SDL_Init, the full-screen mode
// survey, the reader and writer of "Video_Settings.cfg", the window with its
// fallback to the defaults, and the title.
#include "base/sdl.h"

#include "replace_file.h"

#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class sdl sdl;

namespace {

// When X cannot be reached (no DISPLAY, an empty one, no server behind it, a
// name that makes no sense) and the user named no driver, SDL 1.2 falls back
// to a text-mode driver that writes escape codes into standard output and
// waits for keys no one can send. Keeping it to X11 makes start-up fail
// cleanly instead.
void keep_to_x11()
{
    if (std::getenv("SDL_VIDEODRIVER") == nullptr) {
        setenv("SDL_VIDEODRIVER", "x11", 1);
    }
}

// Opens the settings file for reading without waiting: a FIFO without a
// writer would block the open, and a FIFO or a device its reads, so those count
// as files that cannot be opened. A regular file (or a link to one) is read; a
// directory opens as it always did and reads as empty.
std::FILE* open_settings(const char* path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
        close(fd);
        return nullptr;
    }
    std::FILE* in = fdopen(fd, "r");
    if (in == nullptr) {
        close(fd);
    }
    return in;
}

bool write_settings(std::FILE* out, std::int32_t width, std::int32_t height, std::int32_t bpp, bool fullscreen)
{
    const std::int32_t values[] = {width, height, bpp, fullscreen ? 1 : 0};
    for (std::int32_t value : values) {
        if (std::fprintf(out, "%i\n", value) < 0 || std::fflush(out) != 0) {
            return false;
        }
    }
    return true;
}

bool video_running()
{
    return SDL_WasInit(SDL_INIT_VIDEO) != 0;
}

} // namespace

bool read_settings_value(std::FILE* in, std::int32_t* value)
{
    int c = std::getc(in);
    while (c != EOF && std::isspace(c)) {
        c = std::getc(in);
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = (c == '-');
        c = std::getc(in);
    }
    if (c == EOF || !std::isdigit(c)) {
        return false;
    }
    // Accumulate as a magnitude that may reach 2^31 (for INT32_MIN); stop
    // accepting once it passes that, but still consume the digits.
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t magnitude = 0;
    bool too_large = false;
    while (c != EOF && std::isdigit(c)) {
        if (!too_large) {
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > limit) {
                too_large = true;
            }
        }
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    if (too_large) {
        return false;
    }
    *value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return true;
}

void sdl::init(std::uint32_t subsystem_flags)
{
    keep_to_x11();
    if (SDL_Init(subsystem_flags) < 0) {
        std::fputs("CRITICAL EXISTANCE FAILURE: Unable to Init SDL \n", stdout);
    }
    fullscreen_check();
    if (read_config()) {
        set_video(width, height, bpp, fullscreen ? SDL_FULLSCREEN : 0);
    }
    std::fputs("DEBUG:  Setting Window Title \n", stdout);
    SDL_WM_SetCaption(kWindowTitle, nullptr);
}

void sdl::set_video(std::int32_t w, std::int32_t h, std::int32_t bits, std::uint32_t flags)
{
    std::printf("DEBUG:  Attempting to make SDL Window at %i x %i, %i bit depth \n", w, h, bits);
    if (w > kLargestWindowSide || h > kLargestWindowSide) {
        screen = nullptr;
    } else {
        screen = SDL_SetVideoMode(w, h, bits, flags);
    }
    if (screen == nullptr) {
        std::fputs("CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window \n", stdout);
        revert_defaults();
    } else {
        std::fputs("DEBUG:  SDL Window Created Sucessfully \n", stdout);
        write_config();
    }
}

void sdl::fullscreen_check()
{
    // SDL_ListModes crashes when the video subsystem never started.
    SDL_Rect** modes = video_running() ? SDL_ListModes(nullptr, SDL_FULLSCREEN) : nullptr;
    fullscreen_list(modes);
}

void sdl::fullscreen_list(SDL_Rect** modes)
{
    if (modes == nullptr) {
        std::fputs("DEBUG:  No Available Fullscreen Resolutions \n", stdout);
        return;
    }
    if (modes == reinterpret_cast<SDL_Rect**>(-1)) {
        std::fputs("DEBUG:  Infinite Potential Fullscreen Resolutions (How Did You Manage That?) \n", stdout);
        return;
    }
    int accepted = 0;
    std::fputs("DEBUG:  Available Fullscreen Video Modes: \n", stdout);
    for (int i = 0; modes[i] != nullptr; ++i) {
        const Uint16 w = modes[i]->w;
        const Uint16 h = modes[i]->h;
        if (w > 799 && static_cast<double>(h) / static_cast<double>(w) <= 1.0) {
            ++accepted;
            std::printf("        %d x %d\n", w, h);
            resolution_add(w, h);
        }
    }
    std::printf("DEBUG:  Fullscreen Resolutions Available: %i \n", accepted);
}

void sdl::resolution_add(std::int32_t w, std::int32_t h)
{
    resolution* entry = static_cast<resolution*>(std::malloc(sizeof(resolution)));
    if (entry == nullptr) {
        return; // the list is only printed and kept: a missing entry loses nothing
    }
    entry->w = w;
    entry->h = h;
    std::snprintf(entry->label, sizeof entry->label, "%i x %i", w, h);
    entry->next = nullptr;
    if (modes_first == nullptr) {
        modes_first = entry;
    } else {
        modes_last->next = entry;
    }
    modes_last = entry;
}

bool sdl::read_config()
{
    std::FILE* in = open_settings(kSettingsFile);
    if (in == nullptr) {
        std::printf("ERROR:  SDL.ReadConfig -> Unable to Read From File: %s - Reverting to Defaults\n",
                    kSettingsFile);
        revert_defaults();
        return false;
    }
    // The first value that cannot be read ends reading; later fields keep theirs.
    std::int32_t value = 0;
    if (read_settings_value(in, &value)) {
        width = value;
        if (read_settings_value(in, &value)) {
            height = value;
            if (read_settings_value(in, &value)) {
                bpp = value;
                if (read_settings_value(in, &value) && (value == 0 || value == 1)) {
                    fullscreen = (value == 1);
                }
            }
        }
    }
    std::fclose(in);
    return true;
}

// The file is replaced whole: a full disk cannot leave it cut short, and a
// link in its place is replaced itself instead of the file it points to.
void sdl::write_config()
{
    std::string why;
    const bool written = replace_file(
        kSettingsFile,
        [this](std::FILE* out, std::string*) { return write_settings(out, width, height, bpp, fullscreen); },
        &why);
    if (!written) {
        // Its line says so; the run's own work is not lost, so the status stays.
        std::printf("ERROR:  SDL.WriteConfig -> Unable to Write to File: %s\n", kSettingsFile);
    }
}

void sdl::revert_defaults()
{
    width = kDefaultWidth;
    height = kDefaultHeight;
    bpp = kDefaultBpp;
    fullscreen = false;
    std::printf("DEBUG:  Attempting to Init SDL Window at %i x %i, %i bit depth \n", width, height, bpp);
    screen = SDL_SetVideoMode(width, height, bpp, 0);
    if (screen == nullptr) {
        std::fputs("SUPER CRITICAL EXISTANCE FAILURE: Unable to Create SDL Window with Default Values \n", stdout);
        quit = true;
        return; // no window opened: the user's settings file stays as it is
    }
    write_config();
}
