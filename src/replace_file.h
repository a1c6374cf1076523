// SPDX-License-Identifier: MIT
// Replacing a file whole or not at all: the new content goes to a temporary
// file beside it, which is renamed over the old one only once it is complete.
// Knows nothing of what is written; the caller's writer does that.
#ifndef OMBRIX_REPLACE_FILE_H
#define OMBRIX_REPLACE_FILE_H

#include <cstdio>
#include <functional>
#include <string>

// Writes the whole content to out; returns false, with *why saying what went
// wrong, when it cannot. A failure of out itself need not be explained: the
// caller finds it from the stream.
using content_writer = std::function<bool(std::FILE* out, std::string* why)>;

// Writes path anew through write. A symbolic link at path is replaced itself,
// never written through; a directory, a FIFO, a device or a file this process
// may not write is left alone and reported. The new file keeps the old file's
// permission bits (a new one gets 0666 less the umask). Returns true when path
// holds the new content; otherwise path is as it was, no temporary file is
// left, and *why holds the reason.
bool replace_file(const char* path, const content_writer& write, std::string* why);

#endif
