// End-to-end tests of what the listed-files mode writes: its report and the
// files' new content, a simulation that only reads, and a diff that applies.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

TEST(ListedOutput, TwoFilesExactOutput) {
  temp_dir d;
  write_file(d / "a.txt", "foo 1 foo 2 foo\n");
  write_file(d / "b.txt", "nothing here\n");
  auto r = run_in(d, {"foo", "bar", "a.txt", "b.txt"});
  EXPECT_TRUE(ran(r, "a.txt 3\nb.txt 0\n", "", 0));
  EXPECT_EQ(read_file(d / "a.txt"), "bar 1 bar 2 bar\n");
  EXPECT_EQ(read_file(d / "b.txt"), "nothing here\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt"}));
}

// --files0-from: the FILEs listed with zero bytes between them, from a
// file or standard input; an empty name is said and fails the run, the
// others are rewritten; with -r each is a start; FILEs beside it are refused.
TEST(ListedOutput, FilesFromAList) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  write_file(d / "a b.txt", "foo\n");
  write_file(d / "t/c.txt", "foo foo\n");
  write_file(d / "list", std::string("a b.txt\0\0t/c.txt", 16));
  EXPECT_TRUE(ran(run_in(d, {"--files0-from=list", "foo", "bar"}), "a b.txt 1\nt/c.txt 2\n",
                  "list:2\tinvalid zero-length file name\n", 1));
  EXPECT_EQ(read_file(d / "a b.txt"), "bar\n");
  auto r = run_zamplet({"-r", "--files0-from", "-", "bar", "baz"},
                       {.input = std::string("t\0a b.txt\0", 10), .cwd = d.path});
  EXPECT_TRUE(ran(r, "t/c.txt 2\na b.txt 1\n", "", 0));
  EXPECT_TRUE(ran(run_in(d, {"--files0-from=list", "baz", "qux", "a b.txt"}), "",
                  "Use no FILE with --files0-from !\n", 1));
  EXPECT_EQ(read_file(d / "a b.txt"), "baz\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a b.txt", "list", "t"}));
}

TEST(ListedOutput, QuietPrintsNothingAtAll) {
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  write_file(d / "a.txt.lock", "busy\n");  // a note that -q must silence too
  write_file(d / "b.txt", "foo foo\n");
  auto r = run_in(d, {"-q", "foo", "bar", "a.txt", "b.txt"});
  EXPECT_TRUE(ran(r, "", "", 0));
  EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
  EXPECT_EQ(read_file(d / "b.txt"), "bar bar\n");
}

// Where /proc is empty (a chroot, a small container), the new file cannot be
// named through /proc/self/fd: it is created under its own name instead.
TEST(ListedOutput, RewritesWithoutProc) {
  if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
  if (ZAMPLET_SANITIZED) GTEST_SKIP() << "the sanitizer runtime needs /proc";
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  write_file(d / "b.txt", "foo foo\n");
  bool isolated = true;
  auto r = run_zamplet({"foo", "bar", "a.txt", "b.txt"}, {.cwd = d.path, .in_child = [] {
    if (unshare(CLONE_NEWNS) < 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount("tmpfs", "/proc", "tmpfs", 0, nullptr) < 0)
      _exit(125);
  }});
  if (r.status == 125) isolated = false;
  if (!isolated) GTEST_SKIP() << "no mount namespace here";
  EXPECT_TRUE(ran(r, "a.txt 1\nb.txt 2\n", "", 0));
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "b.txt"), "bar bar\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt"}));
}

// A simulation only reads: the file keeps its inode, its times and its
// links, nothing is created beside it, in every mode, and a busy file is
// still refused first.
TEST(ListedOutput, SimulateOnlyReads) {
  struct row {
    strings args;
    std::string out, err;
  };
  const std::vector<row> rows = {
      {{"-s", "foo", "bar", "a.txt"}, "a.txt 2\n", ""},
      {{"-s", "-r", "foo", "bar", "t"}, "t/a.link 2\n", ""},
      {{"-s", "-l", "-t", "keep", "-d", "foo", "bar", "a.txt", "c.txt"}, "a.txt 2\nc.txt 1\n", ""},
      {{"-s", "-v", "foo", "bar", "c.txt"}, "c.txt 1\n",
       "\nLoop 1: Read: 4, Counter: 0\n\tWrite: 4, Counter: 1\n"},
      {{"-s", "foo", "bar", "busy.txt", "a.txt"}, "a.txt 2\n",
       "busy.txt\tfile didn't change! busy.txt.lock exists. Try later!\n"},
      // A diff only reads too, and stands in for the names and counts.
      {{"--diff", "foo", "bar", "b.txt", "c.txt"},
       "--- c.txt\t\n+++ c.txt\t\n@@ -1 +1 @@\n-foo\n+bar\n", ""},
      {{"--diff", "-r", "foo", "bar", "t"},
       "--- t/a.link\t\n+++ t/a.link\t\n@@ -1 +1 @@\n-foo foo\n+bar bar\n", ""},
      {{"--diff", "--color=always", "foo", "bar", "busy.txt", "c.txt"},
       "\033[1m--- c.txt\t\033[m\n\033[1m+++ c.txt\t\033[m\n\033[36m@@ -1 +1 @@\033[m\n"
       "\033[31m-foo\033[m\n\033[32m+bar\033[m\n",
       "busy.txt\tfile didn't change! busy.txt.lock exists. Try later!\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / "a.txt", "foo foo\n");
    write_file(d / "b.txt", "nothing\n");
    write_file(d / "c.txt", "foo\n");
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    ASSERT_EQ(link((d / "a.txt").c_str(), (d / "t/a.link").c_str()), 0);
    const bool busy = std::find(row.args.begin(), row.args.end(), "busy.txt") != row.args.end();
    if (busy) {
      write_file(d / "busy.txt", "foo\n");
      write_file(d / "busy.txt.lock", "foo\n");
    }
    const timespec old_times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
      ASSERT_EQ(utimensat(AT_FDCWD, (d / name).c_str(), old_times, 0), 0);
    struct stat before {};
    ASSERT_EQ(stat((d / "a.txt").c_str(), &before), 0);
    const strings names = list_dir(d.path);
    const auto r = run_in(d, row.args);
    EXPECT_TRUE(ran(r, row.out, row.err, 0)) << row.args[1];
    EXPECT_EQ(list_dir(d.path), names) << row.args[1];
    EXPECT_EQ(list_dir(d / "t"), strings{"a.link"}) << row.args[1];
    EXPECT_EQ(read_file(d / "a.txt"), "foo foo\n");
    struct stat after {};
    ASSERT_EQ(stat((d / "a.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << row.args[1];
    EXPECT_EQ(after.st_nlink, 2u) << row.args[1];
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << row.args[1];
    EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec) << row.args[1];
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec) << row.args[1];
  }
}

// A hunk longer than what is held in memory goes through a temporary file,
// or stays in memory where none can be made; either way it applies.  With
// a temporary file the memory stays bounded whatever the lines: a change of
// every line, and one line of 16 MB, each in a 64 MB address space.
TEST(ListedOutput, LongDiffAppliesWhereverItsHunkWaits) {
  if (system("patch --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "patch is not installed";
  std::string every_line;
  for (int i = 0; i < 40000; ++i) every_line += "a foo " + std::to_string(i) + "\n";
  every_line += "last foo";
  std::string big_lines;
  for (int i = 0; big_lines.size() < (16 << 20); ++i) big_lines += "foo " + std::to_string(i) + "\n";
  std::string one_line = big_lines;
  std::replace(one_line.begin(), one_line.end(), '\n', ' ');
  const struct {
    const std::string* text;
    const char* option;  // a TMPDIR where no file can be made, or --whole
    const char* header;
  } rows[] = {
      {&every_line, "", "@@ -1,40001 +1,40001 @@\n"},
      {&every_line, "/nonexistent", "@@ -1,40001 +1,40001 @@\n"},
      // With --whole the search's blocks end at line ends, where the diff's
      // change ends too.
      {&every_line, "--whole", "@@ -1,40001 +1,40001 @@\n"},
      {&big_lines, "", "@@ -1,"},
      {&one_line, "", "@@ -1 +1 @@\n-foo 0 foo 1 "},
      {&one_line, "--whole", "@@ -1 +1 @@\n-foo 0 foo 1 "},
  };
  for (const auto& row : rows) {
    const std::string& old_text = *row.text;
    const std::string what = std::string(row.option) + " " + old_text.substr(0, 9);
    temp_dir d;
    write_file(d / "a.txt", old_text);
    const std::string tmpdir = row.option[0] == '/' ? row.option : "";
    strings args = {"--diff", "-w", "foo", "barbaz", "a.txt"};
    if (row.option[0] == '-') args.insert(args.begin(), row.option);
    auto r = run_zamplet(args, {.cwd = d.path, .in_child = [tmpdir] {
                                  if (!tmpdir.empty()) {
                                    setenv("TMPDIR", tmpdir.c_str(), 1);
                                    return;
                                  }
                                  const struct rlimit most = {64 << 20, 64 << 20};
                                  if (!ZAMPLET_SANITIZED) setrlimit(RLIMIT_AS, &most);
                                }});
    EXPECT_EQ(r.status, 0) << what << r.err;
    const std::string header = "--- a.txt\t\n+++ a.txt\t\n" + std::string(row.header);
    EXPECT_EQ(r.out.substr(0, header.size()), header) << what;
    write_file(d / "patch", r.out);
    ASSERT_EQ(mkdir((d / "p").c_str(), 0755), 0);
    write_file(d / "p/a.txt", old_text);
    EXPECT_EQ(system(("cd '" + d.path + "/p' && patch -s -p0 < ../patch").c_str()), 0);
    args[args.size() - 5] = "-q";  // the same run, rewriting
    EXPECT_TRUE(run_in(d, args).status == 0);
    EXPECT_TRUE(read_file(d / "p/a.txt") == read_file(d / "a.txt")) << what;
  }
}

// The names of the standard streams are ordinary file names here, both as
// operands and as the -t name.
TEST(ListedOutput, StreamNamesAreOrdinaryFiles) {
  struct row {
    strings args;
    std::string out;
  };
  const std::vector<row> rows = {
      {{"foo", "bar", "stdin", "stdout"}, "stdin 1\nstdout 1\n"},
      {{"-t", "stdin", "foo", "bar", "stdout"}, "stdout 1\n"},
      {{"-t", "stdout", "foo", "bar", "stdin"}, "stdin 1\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / "stdin", "foo\n");
    write_file(d / "stdout", "foo\n");
    if (row.args[0] == "-t") unlink((d / row.args[1]).c_str());  // never replaced
    auto r = run_zamplet(row.args, {.input = "foo from the stream\n", .cwd = d.path});
    SCOPED_TRACE(row.out);
    EXPECT_TRUE(ran(r, row.out, "", 0));
    for (const char* name : {"stdin", "stdout"}) {
      const bool operand = row.out.find(std::string(name) + " 1") != std::string::npos;
      if (operand) {
        EXPECT_EQ(read_file(d / name), "bar\n") << name;
      }
    }
  }
}
