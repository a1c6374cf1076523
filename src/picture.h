// SPDX-License-Identifier: MIT
// Picture intake, the tool's side: starts the decoder process on the picture
// as early as possible, then collects what it hands back, the colour list and
// the part of the picture the window shows, while it stays responsive to
// SIGINT and SIGTERM. The decoder's own work is in decoder.cpp.
#ifndef OMBRIX_PICTURE_H
#define OMBRIX_PICTURE_H

#include <SDL.h>
#include <string>

// Opens the picture (without blocking on a FIFO) and forks the decoder. path
// "-" reads standard input. Errors are kept for picture_finish to report.
void picture_start(const char* path);

enum class intake_result {
    loaded,        // the colour list is built; *shown holds the crop (or null)
    unloadable,    // *why says why
    interrupted,   // SIGINT or SIGTERM arrived; *signal_number says which
    out_of_memory, // the census could not get memory for the list
};

// Waits for the decoder started by picture_start. While it waits, the census's
// warning and progress lines are printed as soon as the picture's size is
// known (unless quiet). On success the colour list (first, last, color_count)
// is built and *shown is the top-left part of the picture, at most
// max_w x max_h pixels (null when either is 0), laid out as decoded.
intake_result picture_finish(int max_w, int max_h, bool quiet, SDL_Surface** shown, std::string* why,
                             int* signal_number);

#endif
