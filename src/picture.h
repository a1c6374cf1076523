// Picture intake: decodes a picture file with SDL_image in a child process, so
// that a decoder crash on a damaged file cannot take the tool down, and rebuilds
// the decoded surface in this process.
#ifndef OMBRIX_PICTURE_H
#define OMBRIX_PICTURE_H

#include <SDL.h>
#include <string>

// The decoded picture, or null with *error set to SDL_image's error text or a
// description of what went wrong. The surface is never freed by the program.
// While the child decodes, while_waiting (if given) is called for as long as
// it returns true and the child is still at work.
SDL_Surface* load_picture(const char* path, std::string* error, bool (*while_waiting)() = nullptr);

// Where reading the child's memory is forbidden, the child writes the rows into
// a memory file instead. Tests turn the direct copy off to take that path.
void picture_allow_direct_copy(bool allowed);

// True when the surface's fields let every pixel be read safely.
bool picture_is_readable(const SDL_Surface* picture);

#endif
