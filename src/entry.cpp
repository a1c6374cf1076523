// SPDX-License-Identifier: MIT
// SDL 1.2 has no entry wrapper on Linux: this is the least one.
#include "Main_Loop.h"

#if defined(__SANITIZE_ADDRESS__)
// In the sanitizer build an allocation too large to make returns null, as it
// does in the plain build, so that the decoder reports a picture too large to
// hold instead of AddressSanitizer ending it.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
#endif

int main(int argc, char** argv)
{
    return SDL_main(argc, argv);
}
