// SPDX-License-Identifier: MIT
// GIMP palette writer: "GIMP Palette", "Name: ...", "Columns: 16", "#", then
// "R G B" right-aligned in three columns, a tab and "#rrggbb COUNT px" per
// colour.
#include "palette_file.h"

#include <cerrno>
#include <cstring>

namespace {
constexpr int kPaletteColumns = 16; // how many swatches a row GIMP shows
} // namespace

std::string palette_name(const char* picture_path)
{
    if (std::strcmp(picture_path, "-") == 0) {
        return "stdin";
    }
    std::string name = picture_path;
    // "dir/" names the folder: drop trailing slashes before taking the last part.
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos && name.size() > 1) {
        name.erase(0, slash + 1);
    }
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        }
    }
    return name;
}

bool write_palette(std::FILE* out, const std::string& name, const pixel* entries)
{
    bool ok = std::fprintf(out, "GIMP Palette\nName: %s\nColumns: %d\n#\n", name.c_str(), kPaletteColumns) > 0;
    for (const pixel* entry = entries; entry != nullptr && ok; entry = entry->next) {
        ok = std::fprintf(out, "%3d %3d %3d\t#%02x%02x%02x %ld px\n", entry->r, entry->g, entry->b, entry->r,
                          entry->g, entry->b, static_cast<long>(entry->count)) > 0;
    }
    return ok;
}

bool save_palette(const char* path, const std::string& name, const pixel* entries, std::string* error)
{
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    const bool written = write_palette(out, name, entries);
    const int write_errno = errno;
    const bool flushed = std::fflush(out) == 0;
    const int flush_errno = errno;
    const bool closed = std::fclose(out) == 0;
    if (!written || !flushed || !closed) {
        *error = std::strerror(!written ? write_errno : !flushed ? flush_errno : errno);
        return false;
    }
    return true;
}
