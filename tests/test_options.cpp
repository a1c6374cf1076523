// SPDX-License-Identifier: MIT
// The option parser: each command line's choices, the picture argument, and
// the text and result of help, version and usage errors.
#include "options.h"
#include "version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Runs parse_options on words (the program's path first) and keeps what it
// wrote to each stream.
struct parsed {
    parse_result result;
    std::string out;
    std::string errors;
};

// Closes a memory stream and takes its text (the buffer and size are only
// final once the stream is closed).
std::string drain(std::FILE* stream, char*& buffer, std::size_t& size)
{
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Parses words as a command line. The choices in options point into words,
// so a caller that reads them passes words it keeps.
parsed parse_kept(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);
    char* out_text = nullptr;
    std::size_t out_size = 0;
    char* error_text = nullptr;
    std::size_t error_size = 0;
    std::FILE* out = open_memstream(&out_text, &out_size);
    std::FILE* errors = open_memstream(&error_text, &error_size);
    parsed p;
    p.result = parse_options(static_cast<int>(words.size()), argv.data(), out, errors);
    p.out = drain(out, out_text, out_size);
    p.errors = drain(errors, error_text, error_size);
    return p;
}

parsed parse(std::vector<std::string> words)
{
    return parse_kept(words);
}

std::string text_or_null(const char* s)
{
    return s != nullptr ? s : "(null)";
}

} // namespace

TEST(Options, CommandLinesThatRunSetTheirChoices)
{
    struct line_case {
        std::vector<std::string> words;
        bool quiet;
        bool no_window;
        std::string chart;
        std::string palette;
        std::string picture;
    };
    const line_case cases[] = {
        {{"ombrix", "pic.png"}, false, false, "(null)", "(null)", "pic.png"},
        {{"ombrix"}, false, false, "(null)", "(null)", "(null)"},
        {{"ombrix", "-n", "-q", "pic.png"}, true, true, "(null)", "(null)", "pic.png"},
        {{"ombrix", "-nq", "pic.png"}, true, true, "(null)", "(null)", "pic.png"},
        {{"ombrix", "--no-window", "--quiet", "pic.png"}, true, true, "(null)", "(null)", "pic.png"},
        {{"ombrix", "-o", "c.bmp", "-p", "c.gpl", "pic.png"}, false, false, "c.bmp", "c.gpl", "pic.png"},
        {{"ombrix", "-oc.bmp", "-pc.gpl", "pic.png"}, false, false, "c.bmp", "c.gpl", "pic.png"},
        {{"ombrix", "--chart", "c.bmp", "--palette=c.gpl", "pic.png"}, false, false, "c.bmp", "c.gpl", "pic.png"},
        {{"ombrix", "-qo", "c.bmp", "pic.png"}, true, false, "c.bmp", "(null)", "pic.png"},
        // POSIX order: options end at the picture; what follows is ignored.
        {{"ombrix", "pic.png", "-q", "--bogus"}, false, false, "(null)", "(null)", "pic.png"},
        {{"ombrix", "--", "-name.png"}, false, false, "(null)", "(null)", "-name.png"},
        {{"ombrix", "-q", "--", "--help"}, true, false, "(null)", "(null)", "--help"},
        {{"ombrix", "-n", "-"}, false, true, "(null)", "(null)", "-"},
        {{"ombrix", "-o", "-", "pic.png"}, false, false, "-", "(null)", "pic.png"},
        {{"ombrix", "--no", "pic.png"}, false, true, "(null)", "(null)", "pic.png"}, // an unambiguous prefix
    };
    for (const line_case& c : cases) {
        std::string shown;
        for (const std::string& w : c.words) {
            shown += w + " ";
        }
        SCOPED_TRACE(shown);
        std::vector<std::string> words = c.words;
        const parsed p = parse_kept(words);
        EXPECT_EQ(p.result, parse_result::run) << "the command line runs";
        EXPECT_EQ(p.out + p.errors, "") << "nothing printed while parsing";
        EXPECT_EQ(options.quiet, c.quiet) << "the quiet choice";
        EXPECT_EQ(options.no_window, c.no_window) << "the no-window choice";
        EXPECT_EQ(text_or_null(options.chart_path), c.chart) << "the chart path";
        EXPECT_EQ(text_or_null(options.palette_path), c.palette) << "the palette path";
        EXPECT_EQ(text_or_null(options.picture), c.picture) << "the picture argument";
    }
}

TEST(Options, HelpAndVersionPrintOnStandardOutputAndEndTheRun)
{
    for (const char* word : {"-h", "--help", "--he"}) {
        SCOPED_TRACE(word);
        const parsed p = parse({"ombrix", word, "pic.png"});
        EXPECT_EQ(p.result, parse_result::exit_success) << "help ends the run with status 0";
        EXPECT_EQ(p.errors, "") << "nothing on the error stream";
        EXPECT_EQ(p.out.rfind("Usage: ombrix [OPTION]... PICTURE\n", 0), 0u) << "the usage line first: " << p.out;
        for (const char* listed : {"--help", "--version", "--no-window", "--quiet", "--chart FILE",
                                   "--palette FILE", "-h,", "-n,", "-q,", "-o,", "-p,"}) {
            EXPECT_NE(p.out.find(listed), std::string::npos) << "the help lists " << listed;
        }
    }
    const parsed v = parse({"ombrix", "--version"});
    EXPECT_EQ(v.result, parse_result::exit_success) << "--version ends the run with status 0";
    EXPECT_EQ(v.out, std::string("ombrix ") + kVersion + "\n") << "one version line";
    EXPECT_EQ(v.errors, "") << "nothing on the error stream";
    EXPECT_NE(std::string(kVersion).find('.'), std::string::npos) << "a dotted version from CMake: " << kVersion;

    // Help wins over a usage error that comes after it, and loses to one before it.
    EXPECT_EQ(parse({"ombrix", "-h", "-x"}).result, parse_result::exit_success) << "help before a bad option";
    EXPECT_EQ(parse({"ombrix", "-x", "-h"}).result, parse_result::usage_error) << "a bad option before help";
}

TEST(Options, UsageErrorsPrintOneLineNamingTheOption)
{
    struct error_case {
        std::vector<std::string> words;
        std::string line;
    };
    const error_case cases[] = {
        {{"ombrix", "-x", "pic.png"}, "ombrix: unknown option '-x' (try 'ombrix --help')\n"},
        {{"ombrix", "-qx", "pic.png"}, "ombrix: unknown option '-x' (try 'ombrix --help')\n"},
        {{"ombrix", "--bogus", "pic.png"}, "ombrix: unknown option '--bogus' (try 'ombrix --help')\n"},
        {{"ombrix", "--bogus=1", "pic.png"}, "ombrix: unknown option '--bogus' (try 'ombrix --help')\n"},
        {{"ombrix", "-o"}, "ombrix: missing file name for option '-o' (try 'ombrix --help')\n"},
        {{"ombrix", "--palette"}, "ombrix: missing file name for option '--palette' (try 'ombrix --help')\n"},
        {{"ombrix", "-o", "", "pic.png"}, "ombrix: option '--chart' needs a file name, got an empty one\n"},
        {{"ombrix", "--palette=", "pic.png"}, "ombrix: option '--palette' needs a file name, got an empty one\n"},
        {{"ombrix", "-o", "same", "-p", "same", "pic.png"},
         "ombrix: the chart and the palette cannot both be written to 'same'\n"},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.line);
        const parsed p = parse(c.words);
        EXPECT_EQ(p.result, parse_result::usage_error) << "a usage error";
        EXPECT_EQ(p.errors, c.line) << "one line on the error stream";
        EXPECT_EQ(p.out, "") << "nothing on the output stream";
    }
    EXPECT_EQ(kUsageStatus, 2) << "usage errors end with status 2";
}
