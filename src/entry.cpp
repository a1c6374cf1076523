// SPDX-License-Identifier: MIT
// SDL 1.2 has no entry wrapper on Linux: this is the least one.
#include "Main_Loop.h"

int main(int argc, char** argv)
{
    return SDL_main(argc, argv);
}
