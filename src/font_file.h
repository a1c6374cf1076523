// SPDX-License-Identifier: MIT
// Finding and opening the chart's font file: the working folder first, then the
// installed copy beside the executable. Drawing text is left to base_ttf.
#ifndef OMBRIX_FONT_FILE_H
#define OMBRIX_FONT_FILE_H

#include <SDL_ttf.h>
#include <string>

// The installed font's path for an executable at executable_path:
// "<its folder>/../share/ombrix/<name>" (the relative part set at build time).
// Empty when executable_path has no folder part.
std::string installed_font_path(const std::string& executable_path, const char* name);

// Opens name in the working folder, or, when no file of that name is there,
// the installed copy next to the running executable (/proc/self/exe). Only a
// regular file is opened as a font: a FIFO, a device or a folder is refused
// without blocking. Null when no font could be opened.
TTF_Font* open_font_file(const char* name, int point_size);

// The same for one path only, without the fallback.
TTF_Font* open_font_at(const char* path, int point_size);

#endif
