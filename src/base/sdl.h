// SPDX-License-Identifier: MIT
// The display object: starts SDL's video, surveys the full-screen modes, keeps
// the video settings and their file "Video_Settings.cfg", opens the window and
// holds the display surface and the quit flag. Events and drawing live elsewhere.
#ifndef OMBRIX_BASE_SDL_H
#define OMBRIX_BASE_SDL_H

#include <SDL.h>
#include <cstdint>
#include <cstdio>

// One full-screen mode that the survey accepted.
struct resolution {
    resolution* next;
    std::int32_t w;
    std::int32_t h;
    char label[16];
};

class sdl {
public:
    std::int32_t width;
    std::int32_t height;
    std::int32_t bpp;
    bool fullscreen;
    resolution* modes_first;
    resolution* modes_last;
    bool quit;
    SDL_Surface* screen;

    void init(std::uint32_t subsystem_flags);
    void set_video(std::int32_t w, std::int32_t h, std::int32_t bits, std::uint32_t flags);
    void fullscreen_check();
    // Steps of the survey after SDL_ListModes has answered; fullscreen_check
    // hands SDL's answer here, tests hand made-up mode lists.
    void fullscreen_list(SDL_Rect** modes);
    void resolution_add(std::int32_t w, std::int32_t h);
    bool read_config();
    void write_config();
    void revert_defaults();
};

extern class sdl sdl;

constexpr const char kWindowTitle[] = "Ombrix";
constexpr const char kSettingsFile[] = "Video_Settings.cfg";
constexpr std::int32_t kDefaultWidth = 800;
constexpr std::int32_t kDefaultHeight = 600;
constexpr std::int32_t kDefaultBpp = 32;
// The widest and tallest window SDL 1.2 on X can address; larger sizes wrap
// when SDL hands them to the X server.
constexpr std::int32_t kLargestWindowSide = 16383;

// Reads one settings value from in: whitespace, an optional sign, decimal
// digits up to the first non-digit (which stays unread), within the signed
// 32-bit range. Returns false, leaving *value alone, when no value can be read.
bool read_settings_value(std::FILE* in, std::int32_t* value);

#endif
