// SPDX-License-Identifier: MIT
// Decoding a picture held in memory with SDL_image, honestly: the format is
// chosen the way SDL_image chooses it, and a decoder that asked for bytes the
// file does not have is an error instead of a picture with made-up pixels.
// Reading the file and confining the decoder are elsewhere.
#ifndef OMBRIX_PICTURE_SOURCE_H
#define OMBRIX_PICTURE_SOURCE_H

#include <SDL.h>
#include <cstddef>
#include <string>

// Decodes the bytes [data, data + size). name is the picture's path, whose
// extension picks the formats that carry no signature (TGA), as with IMG_Load.
// Returns the surface, or null with *error set to why it is unusable: SDL_image's
// own reason, that the file ends before the picture does, or that it has no
// pixels. A surface that SDL_image labelled with an impossible layout is
// relabelled with its real one.
SDL_Surface* decode_picture(const unsigned char* data, std::size_t size, const char* name, std::string* error);

#endif
