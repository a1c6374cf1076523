// SPDX-License-Identifier: MIT
// Replacing a file whole or not at all: what stands at the path afterwards,
// what the linked file holds, the reasons given, and that no temporary file is
// left behind, for each kind of thing in the way and each way writing fails.
#include "replace_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTarget[] = "out.dat";

std::vector<std::string> folder_entries()
{
    std::vector<std::string> names;
    DIR* dir = opendir(".");
    if (dir == nullptr) {
        return names;
    }
    for (dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

content_writer writes(const std::string& content)
{
    return [content](std::FILE* out, std::string*) {
        return std::fwrite(content.data(), 1, content.size(), out) == content.size();
    };
}

mode_t mode_of(const char* path)
{
    struct stat info;
    return lstat(path, &info) == 0 ? (info.st_mode & 07777) : 0;
}

} // namespace

TEST(ReplaceFile, WritesNewFilesAndReplacesFilesAndLinksThemselves)
{
    struct replace_case {
        const char* name;
        void (*prepare)();
        mode_t mode_after; // 0: 0666 less the umask
    };
    const replace_case cases[] = {
        {"no file yet", [] {}, 0},
        {"an earlier, longer file", [] { write_file(kTarget, std::string(10000, 'o')); }, 0},
        {"an earlier file with its own permissions",
         [] {
             write_file(kTarget, "old");
             chmod(kTarget, 0640);
         },
         0640},
        {"a link to a file elsewhere",
         [] {
             write_file("linked.dat", "precious");
             ASSERT_EQ(symlink("linked.dat", kTarget), 0);
         },
         0},
        {"a dangling link", [] { ASSERT_EQ(symlink("nowhere/at/all", kTarget), 0); }, 0},
    };
    const mode_t mask = umask(022);
    for (const replace_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        c.prepare();
        std::string why;
        EXPECT_TRUE(replace_file(kTarget, writes("new content"), &why)) << "replaced; reason given: " << why;
        EXPECT_EQ(read_file(kTarget), "new content") << "the path holds the new content";
        struct stat info;
        ASSERT_EQ(lstat(kTarget, &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << "the path holds a regular file, not a link";
        EXPECT_EQ(mode_of(kTarget), c.mode_after != 0 ? c.mode_after : 0644) << "permission bits";
        if (file_exists("linked.dat")) {
            EXPECT_EQ(read_file("linked.dat"), "precious") << "the linked file is not written through";
        }
        for (const std::string& name : folder_entries()) {
            EXPECT_TRUE(name == kTarget || name == "linked.dat") << "left behind: " << name;
        }
    }
    umask(mask);
}

TEST(ReplaceFile, LeavesWhatIsInTheWayAloneAndSaysWhy)
{
    struct refuse_case {
        const char* name;
        const char* path;
        void (*prepare)();
        content_writer write;
        const char* why;
    };
    const refuse_case cases[] = {
        {"a directory in the file's place", kTarget, [] { ASSERT_EQ(mkdir(kTarget, 0755), 0); }, writes("x"),
         "Is a directory"},
        {"a FIFO in the file's place", kTarget, [] { ASSERT_EQ(mkfifo(kTarget, 0644), 0); }, writes("x"),
         "not a regular file"},
        {"a folder that does not exist", "no/such/folder/out.dat", [] {}, writes("x"),
         "No such file or directory"},
        {"a writer that gives up", kTarget, [] { write_file(kTarget, "earlier"); },
         [](std::FILE* out, std::string* why) {
             std::fputs("half of it", out);
             *why = "the writer gave up";
             return false;
         },
         "the writer gave up"},
        {"a write the file-size limit stops", kTarget, [] { write_file(kTarget, "earlier"); },
         writes(std::string(1 << 20, 'w')), "File too large"},
    };
    // The size limit makes writes past it fail instead of raising SIGXFSZ.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit limit_before = {};
    getrlimit(RLIMIT_FSIZE, &limit_before);
    for (const refuse_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        c.prepare();
        const std::vector<std::string> before = folder_entries();
        struct stat info;
        const bool regular = lstat(c.path, &info) == 0 && S_ISREG(info.st_mode);
        const std::string content_before = regular ? read_file(c.path) : "";
        const bool limited = std::string(c.name).find("size limit") != std::string::npos;
        if (limited) {
            rlimit small = limit_before;
            small.rlim_cur = 64 * 1024;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        std::string why;
        const bool replaced = replace_file(c.path, c.write, &why);
        if (limited) {
            setrlimit(RLIMIT_FSIZE, &limit_before);
        }
        EXPECT_FALSE(replaced) << "nothing replaced";
        EXPECT_EQ(why, c.why) << "the reason";
        EXPECT_EQ(folder_entries(), before) << "no temporary file left, nothing else added or removed";
        if (!content_before.empty()) {
            EXPECT_EQ(read_file(c.path), content_before) << "the earlier file is untouched";
        }
    }
    sigaction(SIGXFSZ, &previous, nullptr);
}

TEST(ReplaceFile, KeepsAFileTheUserMayNotWrite)
{
    scratch_dir dir;
    write_file(kTarget, "read-only");
    ASSERT_EQ(chmod(kTarget, 0444), 0);
    if (access(kTarget, W_OK) == 0) {
        GTEST_SKIP() << "this user may write any file (root)";
    }
    std::string why;
    EXPECT_FALSE(replace_file(kTarget, writes("new"), &why)) << "a read-only file is not replaced";
    EXPECT_EQ(why, "Permission denied") << "the reason";
    EXPECT_EQ(read_file(kTarget), "read-only") << "its content stays";
}
