// SPDX-License-Identifier: MIT
// Writing a surface as a BMP file with SDL's own writer, through a 1 MiB
// buffer, with the system's reason for the first write that failed.
#ifndef OMBRIX_CHART_FILE_H
#define OMBRIX_CHART_FILE_H

#include <SDL.h>
#include <cstdio>
#include <string>

// Writes s to out as a BMP file; false with *why set when it could not.
bool write_bmp(SDL_Surface* s, std::FILE* out, std::string* why);

#endif
