// SPDX-License-Identifier: MIT
// The decoders read through an SDL_RWops over the file's bytes that notes
// every read the file could not satisfy. The format probes (IMG_isPNG and the
// like) read a few bytes and seek back, so reads are only watched once the
// format is chosen and its loader runs.
#include "picture_source.h"

#include "picture_limits.h"

#include <SDL_image.h>

#include <cstring>
#include <strings.h>

namespace {

constexpr char kTruncated[] = "the file ends before the picture does";
constexpr char kNoPixels[] = "the picture has no pixels";
constexpr char kUnknownFormat[] = "Unsupported image format";

// How a format's loader reads when all is well.
enum class reading {
    exact,  // asks only for bytes the picture needs: any short read means the file is cut
    blocks, // reads ahead in blocks, so its last read is short by nature; a read
            // that finds nothing left means the file is cut
    tokens, // a text format: the last number may end at the end of the file, so
            // one empty one-byte read is allowed
};

struct memory_source {
    const unsigned char* data;
    std::size_t size;
    std::size_t position;
    bool watching;
    std::size_t short_reads;       // reads that got fewer bytes than asked for
    std::size_t empty_reads;       // reads that got nothing at all
    std::size_t empty_single_byte; // of those, reads of one byte
};

memory_source* source_of(SDL_RWops* ops)
{
    return static_cast<memory_source*>(ops->hidden.unknown.data1);
}

int source_seek(SDL_RWops* ops, int offset, int whence)
{
    memory_source* s = source_of(ops);
    long long base = 0;
    if (whence == RW_SEEK_CUR) {
        base = static_cast<long long>(s->position);
    } else if (whence == RW_SEEK_END) {
        base = static_cast<long long>(s->size);
    } else if (whence != RW_SEEK_SET) {
        SDL_SetError("unknown seek origin");
        return -1;
    }
    const long long target = base + offset;
    if (target < 0) {
        SDL_SetError("seek before the start of the file");
        return -1;
    }
    // Seeking past the end is allowed, as for a file; reads there find nothing.
    s->position = static_cast<std::size_t>(target);
    return target > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(target);
}

int source_read(SDL_RWops* ops, void* to, int object_size, int objects)
{
    memory_source* s = source_of(ops);
    if (object_size <= 0 || objects <= 0) {
        return 0;
    }
    const std::size_t wanted = static_cast<std::size_t>(object_size) * static_cast<std::size_t>(objects);
    const std::size_t left = s->position < s->size ? s->size - s->position : 0;
    // Whole objects only, as SDL's own file reader delivers them.
    std::size_t whole = (left < wanted ? left : wanted) / static_cast<std::size_t>(object_size);
    const std::size_t bytes = whole * static_cast<std::size_t>(object_size);
    if (bytes > 0) {
        std::memcpy(to, s->data + s->position, bytes);
        s->position += bytes;
    }
    if (s->watching && bytes < wanted) {
        ++s->short_reads;
        if (bytes == 0) {
            ++s->empty_reads;
            if (wanted == 1) {
                ++s->empty_single_byte;
            }
        }
    }
    return static_cast<int>(whole);
}

int source_write(SDL_RWops*, const void*, int, int)
{
    SDL_SetError("the picture is read-only");
    return -1;
}

int source_close(SDL_RWops*)
{
    return 0; // the ops live on the caller's stack
}

struct format_entry {
    const char* name;
    int (*is)(SDL_RWops*);
    SDL_Surface* (*load)(SDL_RWops*);
    reading how;
};

// SDL_image's own order: the format without a signature first (chosen by the
// file's extension), then the signatures.
const format_entry kFormats[] = {
    {"TGA", nullptr, IMG_LoadTGA_RW, reading::exact},
    {"CUR", IMG_isCUR, IMG_LoadCUR_RW, reading::exact},
    {"ICO", IMG_isICO, IMG_LoadICO_RW, reading::exact},
    {"BMP", IMG_isBMP, IMG_LoadBMP_RW, reading::exact},
    {"GIF", IMG_isGIF, IMG_LoadGIF_RW, reading::exact},
    {"JPG", IMG_isJPG, IMG_LoadJPG_RW, reading::blocks},
    {"LBM", IMG_isLBM, IMG_LoadLBM_RW, reading::exact},
    {"PCX", IMG_isPCX, IMG_LoadPCX_RW, reading::exact},
    {"PNG", IMG_isPNG, IMG_LoadPNG_RW, reading::exact},
    {"PNM", IMG_isPNM, IMG_LoadPNM_RW, reading::tokens},
    {"TIF", IMG_isTIF, IMG_LoadTIF_RW, reading::exact},
    {"XCF", IMG_isXCF, IMG_LoadXCF_RW, reading::exact},
    {"XPM", IMG_isXPM, IMG_LoadXPM_RW, reading::blocks},
    {"XV", IMG_isXV, IMG_LoadXV_RW, reading::exact},
    {"WEBP", IMG_isWEBP, IMG_LoadWEBP_RW, reading::exact},
};

const char* extension_of(const char* name)
{
    const char* dot = std::strrchr(name, '.');
    const char* slash = std::strrchr(name, '/');
    if (dot == nullptr || (slash != nullptr && dot < slash)) {
        return nullptr;
    }
    return dot + 1;
}

bool was_cut(const memory_source& s, reading how)
{
    switch (how) {
    case reading::exact:
        return s.short_reads > 0;
    case reading::blocks:
        return s.empty_reads > 0;
    case reading::tokens:
        return s.empty_reads > 1 || (s.empty_reads == 1 && s.empty_single_byte != 1)
               || s.short_reads > s.empty_reads;
    }
    return true;
}

// SDL_image hands a grey PNG with a transparent grey level over as two bytes
// per pixel (grey, then alpha) but labels it with three-channel masks, the
// blue one outside the pixel. Relabel it: grey under all three colour masks,
// alpha in the high byte.
void relabel_grey_with_alpha(SDL_Surface* picture)
{
    SDL_PixelFormat* f = picture->format;
    if (f->BytesPerPixel != 2 || f->palette != nullptr || f->Rmask != 0x00FF || f->Gmask != 0xFF00
        || (f->Bmask & 0xFFFF) != 0) {
        return;
    }
    f->Rmask = f->Gmask = f->Bmask = 0x00FF;
    f->Rshift = f->Gshift = f->Bshift = 0;
    f->Rloss = f->Gloss = f->Bloss = 0;
    f->Amask = 0xFF00;
    f->Ashift = 8;
    f->Aloss = 0;
}

// SDL refuses a surface it cannot address with these words, and SDL_image
// passes them on or reports the refusal as a lack of memory.
bool refused_as_too_large(const std::string& why)
{
    return why.find("Out of memory") != std::string::npos || why.find("too large") != std::string::npos;
}

// A source over the bytes, reads not yet watched.
void open_source(memory_source* source, SDL_RWops* ops, const unsigned char* data, std::size_t size)
{
    *source = memory_source{data, size, 0, false, 0, 0, 0};
    std::memset(ops, 0, sizeof *ops);
    ops->seek = source_seek;
    ops->read = source_read;
    ops->write = source_write;
    ops->close = source_close;
    ops->hidden.unknown.data1 = source;
}

// The format SDL_image would choose for the bytes, or null.
const format_entry* format_of(SDL_RWops* ops, const char* name)
{
    const char* extension = extension_of(name);
    for (const format_entry& format : kFormats) {
        if (format.is != nullptr) {
            if (format.is(ops) != 0) {
                return &format;
            }
        } else if (extension != nullptr && strcasecmp(extension, format.name) == 0) {
            return &format;
        }
    }
    return nullptr;
}

} // namespace

SDL_Surface* decode_picture(const unsigned char* data, std::size_t size, const char* name, std::string* error)
{
    memory_source source;
    SDL_RWops ops;
    open_source(&source, &ops, data, size);
    const format_entry* found = format_of(&ops, name);
    if (found == nullptr) {
        *error = kUnknownFormat;
        return nullptr;
    }
    const format_entry& format = *found;
    // A size SDL cannot hold is refused before the loader runs: some
    // loaders crash on such headers instead of failing.
    std::uint32_t declared_w = 0;
    std::uint32_t declared_h = 0;
    const bool known = declared_size(format.name, data, size, &declared_w, &declared_h);
    if (known && (declared_w > kLargestPictureWidth || declared_h > kLargestPictureHeight)) {
        *error = too_large_reason(true, declared_w, declared_h);
        return nullptr;
    }
    source.position = 0;
    source.watching = true;
    SDL_Surface* picture = format.load(&ops);
    source.watching = false;
    if (picture == nullptr) {
        const char* why = IMG_GetError();
        *error = why != nullptr ? why : "";
        if (was_cut(source, format.how) || source.empty_reads > 0) {
            // A loader that failed after finding the file's end ran out of bytes.
            *error = kTruncated;
        } else if (refused_as_too_large(*error)) {
            *error = known ? too_large_to_hold_reason(declared_w, declared_h)
                           : *error + "; " + too_large_reason(false, 0, 0);
        }
        return nullptr;
    }
    if (was_cut(source, format.how)) {
        SDL_FreeSurface(picture);
        *error = kTruncated;
        return nullptr;
    }
    if (picture->w <= 0 || picture->h <= 0) {
        SDL_FreeSurface(picture);
        *error = kNoPixels;
        return nullptr;
    }
    relabel_grey_with_alpha(picture);
    return picture;
}
