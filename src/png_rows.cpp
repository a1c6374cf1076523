// SPDX-License-Identifier: MIT
// This program's png_read_image, which SDL_image's PNG loader calls in place
// of libpng's: it runs libpng's own with a row callback installed for the
// call, and a libpng error handler that stops the listener before libpng
// jumps back into SDL_image (which then frees the rows). Nothing here holds an
// object with a destructor across libpng's calls, since an error leaves them
// by longjmp.
#include "png_rows.h"

#include <dlfcn.h>
#include <png.h>

namespace {

using read_image_function = void (*)(png_structrp, png_bytepp);

// libpng's own png_read_image: the next definition after this program's.
read_image_function find_libpng_read_image()
{
    void* symbol = dlvsym(RTLD_NEXT, "png_read_image", "PNG16_0");
    if (symbol == nullptr) {
        symbol = dlsym(RTLD_NEXT, "png_read_image");
    }
    return reinterpret_cast<read_image_function>(symbol);
}

// Looked up at start-up, before the decoder confines itself.
const read_image_function libpng_read_image = find_libpng_read_image();

const png_row_listener* next_listener;

// The png_read_image call being followed, if any.
struct followed_read {
    const png_row_listener* listener;
    png_bytepp rows;
    png_uint_32 rows_done;
};
followed_read followed;

void stop_following(bool complete)
{
    const png_row_listener* listener = followed.listener;
    followed = followed_read{};
    if (listener != nullptr) {
        listener->rows_end(listener->context, complete);
    }
}

// libpng calls this after each row with the number of rows read so far in
// the pass (a non-interlaced PNG has one pass).
void on_row(png_structp, png_uint_32 rows_read, int pass)
{
    if (followed.listener == nullptr) {
        return;
    }
    if (pass != 0 || rows_read != followed.rows_done + 1) {
        stop_following(false); // not the one pass of rows in order: stop listening
        return;
    }
    followed.listener->row_done(followed.listener->context, followed.rows_done, followed.rows[followed.rows_done]);
    followed.rows_done = rows_read;
}

// Runs before libpng's default handler, which reports the error and jumps.
void on_error(png_structp, png_const_charp)
{
    stop_following(false);
}

} // namespace

void listen_to_png_rows(const png_row_listener* listener)
{
    next_listener = listener;
}

void png_read_image(png_structrp png_ptr, png_bytepp image)
{
    if (libpng_read_image == nullptr) {
        png_error(png_ptr, "libpng's png_read_image was not found");
    }
    // Asking for the number of passes after SDL_image turned interlace
    // handling on changes nothing: it is on already for interlaced files.
    if (png_ptr == nullptr || image == nullptr || next_listener == nullptr || png_set_interlace_handling(png_ptr) != 1) {
        libpng_read_image(png_ptr, image);
        return;
    }
    followed = followed_read{next_listener, image, 0};
    next_listener->rows_begin(next_listener->context, image[0]);
    png_set_read_status_fn(png_ptr, on_row);
    // SDL_image sets no error handler of its own (it uses libpng's default,
    // which jumps back to its setjmp); this one only stops the listener first.
    png_set_error_fn(png_ptr, png_get_error_ptr(png_ptr), on_error, nullptr);
    libpng_read_image(png_ptr, image);
    png_set_read_status_fn(png_ptr, nullptr);
    stop_following(true);
}
