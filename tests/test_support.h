// SPDX-License-Identifier: MIT
// Shared test helpers: output capture, a scratch working directory per test,
// a function run in a child process, and small file helpers.
#ifndef OMBRIX_TEST_SUPPORT_H
#define OMBRIX_TEST_SUPPORT_H

#include <SDL.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Starts capturing standard output (and standard error) at the descriptor level.
void capture_output();
// Ends the capture; returns what was written to each stream meanwhile.
std::string captured_stdout();
std::string captured_stderr();

// Moves the process into a fresh empty directory for the life of the object.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    const std::string& path() const { return path_; }
private:
    std::string path_;
    std::string previous_;
};

// Copies the project's bundled font into the working directory as "Aaargh.ttf".
void place_font();

std::string read_file(const std::string& name);
void write_file(const std::string& name, const std::string& content);
bool file_exists(const std::string& name);

// How a function run by run_in_child ended, and what it wrote.
struct child_run {
    bool exited = false;    // ended through exit (or by returning), not by a signal
    int status = -1;        // the exit status, when it exited
    int signal = 0;         // the signal that ended it, when it did not exit
    bool timed_out = false; // still running at the deadline, then killed
    std::string out;        // everything written on standard output
    std::string err;        // everything written on standard error
};

// Runs body in a forked child in the current working directory, with standard
// output and error going to files outside it. A body that returns ends the
// child with status 0. Waits at most timeout_seconds, then kills the child.
// For code that ends the process (exit) or may hang.
child_run run_in_child(const std::function<void()>& body, int timeout_seconds);

// A PNG written with libpng: about 4,000 colours in small blocks whose
// first sightings differ between a row-by-row and a column-by-column walk,
// and an alpha channel (when there is one) that varies on its own.
struct png_shape {
    int w;
    int h;
    int colour_type; // PNG_COLOR_TYPE_RGB, _RGBA or _GRAY
    int depth;       // 8 or 16
    bool interlaced;
    bool transparent_colour; // a tRNS chunk naming one RGB colour
};
bool write_png(const std::string& path, const png_shape& shape);

// Splits text into lines, each keeping everything but its "\n".
std::vector<std::string> lines_of(const std::string& text);

#endif
