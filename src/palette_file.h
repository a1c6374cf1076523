// SPDX-License-Identifier: MIT
// The colour list written as a GIMP palette (.gpl), which GIMP, Inkscape, Krita
// and Aseprite import. Only the file format lives here; when to write it and
// what to do on failure is the run sequence's business.
#ifndef OMBRIX_PALETTE_FILE_H
#define OMBRIX_PALETTE_FILE_H

#include "census.h"

#include <cstdio>
#include <string>

// The palette's name for a picture argument: its last path component, with any
// control character (a line break would end the Name line) turned into a blank.
// "-" (standard input) is named "stdin".
std::string palette_name(const char* picture_path);

// Writes the palette: the header with name, then one line per colour of the
// list that starts at entries, in list order. False when a write failed.
bool write_palette(std::FILE* out, const std::string& name, const pixel* entries);

// Writes the palette to the file at path, replacing it. False, with *error set
// to the reason, when the file could not be opened, written or closed.
bool save_palette(const char* path, const std::string& name, const pixel* entries, std::string* error);

#endif
