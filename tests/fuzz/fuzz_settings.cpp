// SPDX-License-Identifier: MIT
// libFuzzer target for the video settings reader: the input is the content of
// "Video_Settings.cfg". The values read_settings_value gives, and the fields
// sdl::read_config sets, are checked against an independent reading of the bytes.
#include "base/sdl.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_settings: %s\n", what);
    std::abort();
}

bool is_blank(std::uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(std::uint8_t c)
{
    return c >= '0' && c <= '9';
}

// One value read by the rules: blanks skipped, an optional sign, decimal
// digits up to the first non-digit, converted by strtoll and kept only inside
// the signed 32-bit range. next is where the following value is looked for.
struct reading {
    bool ok;
    std::int32_t value;
    std::size_t next;
};

reading reference_read(const std::uint8_t* data, std::size_t size, std::size_t pos)
{
    std::size_t i = pos;
    while (i < size && is_blank(data[i])) {
        ++i;
    }
    const std::size_t start = i;
    if (i < size && (data[i] == '+' || data[i] == '-')) {
        ++i;
    }
    const std::size_t digits = i;
    while (i < size && is_digit(data[i])) {
        ++i;
    }
    if (i == digits) {
        return {false, 0, i};
    }
    const std::string text(reinterpret_cast<const char*>(data) + start, i - start);
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size()) {
        fail("strtoll stopped inside the digits");
    }
    const bool ok = errno != ERANGE && v >= INT32_MIN && v <= INT32_MAX;
    return {ok, ok ? static_cast<std::int32_t>(v) : 0, i};
}

// The four values one after another, as the settings file is read.
void check_values(const std::uint8_t* data, std::size_t size)
{
    FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (in == nullptr) {
        fail("fmemopen failed");
    }
    std::size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        const reading want = reference_read(data, size, pos);
        const std::int32_t untouched = 0x5EEDF00D;
        std::int32_t got = untouched;
        const bool ok = read_settings_value(in, &got);
        if (ok != want.ok) {
            fail(ok ? "a value was accepted that is not a signed 32-bit decimal"
                    : "a signed 32-bit decimal value was refused");
        }
        if (!ok) {
            if (got != untouched) {
                fail("a refused value changed the output");
            }
            break;
        }
        if (got != want.value) {
            fail("the value read differs from strtoll on the same digits");
        }
        // The character that ended the value must be the next one read.
        const int c = std::getc(in);
        const int expected = want.next < size ? data[want.next] : EOF;
        if (c != expected) {
            fail("reading did not stop right after the digits");
        }
        if (c != EOF) {
            std::ungetc(c, in);
        }
        pos = want.next;
    }
    std::fclose(in);
}

std::string scratch;
std::string settings_path;
int scratch_fd = -1;
int home_fd = -1;

// The same content as a real file read by read_config into the global sdl.
void check_read_config(const std::uint8_t* data, std::size_t size)
{
    FILE* out = std::fopen(settings_path.c_str(), "wb");
    if (out == nullptr || (size > 0 && std::fwrite(data, 1, size, out) != size) || std::fclose(out) != 0) {
        fail("cannot write the settings file in the scratch directory");
    }
    // Start values that no file sets by accident, and both full-screen states.
    const std::int32_t start_width = -101, start_height = -202, start_bpp = -303;
    const bool start_fullscreen = (size % 2) == 1;
    sdl.width = start_width;
    sdl.height = start_height;
    sdl.bpp = start_bpp;
    sdl.fullscreen = start_fullscreen;

    std::int32_t want[3] = {start_width, start_height, start_bpp};
    bool want_fullscreen = start_fullscreen;
    std::size_t pos = 0;
    for (int field = 0; field < 4; ++field) {
        const reading r = reference_read(data, size, pos);
        if (!r.ok) {
            break;
        }
        if (field < 3) {
            want[field] = r.value;
        } else if (r.value == 0 || r.value == 1) {
            want_fullscreen = r.value == 1;
        }
        pos = r.next;
    }

    // read_config opens the file by name in the working directory: step into
    // the scratch directory for the call only, so paths given to libFuzzer
    // relative to where it started keep working.
    if (fchdir(scratch_fd) != 0) {
        fail("cannot enter the scratch directory");
    }
    const bool opened = sdl.read_config();
    if (fchdir(home_fd) != 0) {
        fail("cannot return to the starting directory");
    }
    if (!opened) {
        fail("read_config reported an openable file as unreadable");
    }
    if (sdl.width != want[0] || sdl.height != want[1] || sdl.bpp != want[2]) {
        fail("read_config set width, height or bpp differently from the reading rules");
    }
    if (sdl.fullscreen != want_fullscreen) {
        fail("read_config set fullscreen differently from the reading rules");
    }
}

void remove_scratch()
{
    if (!scratch.empty()) {
        unlink(settings_path.c_str());
        rmdir(scratch.c_str());
    }
}

} // namespace

// No real settings are touched: the file lives in a private scratch directory.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ombrix-fuzz-settings.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        fail("cannot make a scratch directory");
    }
    scratch = dir;
    settings_path = dir + "/" + kSettingsFile;
    std::atexit(remove_scratch);
    scratch_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scratch_fd < 0 || home_fd < 0) {
        fail("cannot open the scratch or the starting directory");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    check_values(data, size);
    check_read_config(data, size);
    return 0;
}
