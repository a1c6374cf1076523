// Shared test helpers: output capture, a scratch working directory per test,
// and small surfaces built in memory.
#ifndef OMBRIX_TEST_SUPPORT_H
#define OMBRIX_TEST_SUPPORT_H

#include <SDL.h>
#include <cstdint>
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

// Splits text into lines, each keeping everything but its "\n".
std::vector<std::string> lines_of(const std::string& text);

#endif
