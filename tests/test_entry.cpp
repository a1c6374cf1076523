// SPDX-License-Identifier: MIT
// The program's entry (SDL_main) run whole in a child process under SDL's dummy
// driver, for the runs that end before the display loop: no picture named, and
// pictures that cannot be loaded. Exit status, the one error line, the files.
// The display loop itself is left to the end-to-end tests.
#include "Main_Loop.h"
#include "chart.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

constexpr int kFailureStatus = 255;
constexpr int kTimeoutSeconds = 30;
constexpr char kStartedLine[] = "DEBUG:  SDL Initialized \n";
constexpr char kClosingLine[] = "DEBUG:  Libraries Cleaned Up, Exiting Program \n";
constexpr char kDefaults[] = "800\n600\n32\n0\n";
constexpr char kEarlierChart[] = "an earlier chart, left as it was";

// Runs SDL_main with the given arguments (after the program's name).
child_run run_entry(const std::vector<std::string>& args)
{
    return run_in_child(
        [&args] {
            std::vector<std::string> words = {"ombrix"};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& word : words) {
                argv.push_back(&word[0]);
            }
            argv.push_back(nullptr);
            SDL_main(static_cast<int>(words.size()), argv.data());
        },
        kTimeoutSeconds);
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

TEST(Entry, AnUnloadablePictureEndsWithStatus255AndOneErrorLine)
{
    struct bad_case {
        const char* name;
        const char* path;
        const char* content; // null: no file of that name
        const char* reason;  // what the reason after the path must contain
    };
    const bad_case cases[] = {
        {"missing file", "missing.png", nullptr, "No such file or directory"},
        {"empty file", "empty.png", "", "Unsupported image format"},
        {"text named .png", "notes.png", "milk\nbread\n", "Unsupported image format"},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        write_file(kChartFile, kEarlierChart);
        if (c.content != nullptr) {
            write_file(c.path, c.content);
        }
        const child_run run = run_entry({c.path});
        ASSERT_FALSE(run.timed_out) << "the run ends by itself";
        ASSERT_TRUE(run.exited) << "the run exits instead of dying from signal " << run.signal;
        EXPECT_EQ(run.status, kFailureStatus) << "an unloadable picture ends with status 255";

        const std::string head = std::string("ERROR:  Unable to load picture: ") + c.path + " - ";
        EXPECT_EQ(run.err.compare(0, head.size(), head), 0) << "stderr starts with the error and the path: "
                                                            << run.err;
        EXPECT_TRUE(ends_with(run.err, " \n")) << "the error line ends with \" \\n\": " << run.err;
        EXPECT_EQ(lines_of(run.err).size(), 1u) << "one line on stderr: " << run.err;
        EXPECT_NE(run.err.find(c.reason, head.size()), std::string::npos)
            << "the reason after the path names what went wrong: " << run.err;

        EXPECT_TRUE(ends_with(run.out, kStartedLine)) << "stdout holds the start-up lines and nothing after them: "
                                                      << run.out;
        EXPECT_EQ(run.out.find(kClosingLine), std::string::npos) << "no closing line after an error";
        EXPECT_EQ(read_file(kChartFile), kEarlierChart) << "the earlier output.bmp is left as it was";
        EXPECT_EQ(read_file("Video_Settings.cfg"), kDefaults) << "start-up wrote the default settings";
    }
}

TEST(Entry, NoPictureNamedEndsWithStatus255)
{
    scratch_dir dir;
    const child_run run = run_entry({});
    ASSERT_FALSE(run.timed_out) << "the run ends by itself";
    ASSERT_TRUE(run.exited) << "the run exits instead of dying from signal " << run.signal;
    EXPECT_EQ(run.status, kFailureStatus) << "no picture named ends with status 255";
    EXPECT_EQ(run.err, "ERROR:  No picture passed to program \n") << "the one error line";
    EXPECT_TRUE(ends_with(run.out, kStartedLine)) << "stdout ends with start-up: " << run.out;
    EXPECT_FALSE(file_exists(kChartFile)) << "no chart without a picture";
}
