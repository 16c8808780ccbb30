// End-to-end tests of the listed-files mode: every FILE operand rewritten in
// place through an intermediate copy, in the order given.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

using strings = std::vector<std::string>;

// Runs the program with `args` in `dir`, so that operands are relative names.
run_result run_in(const temp_dir& dir, const strings& args) {
  return run_zamplet(args, {.cwd = dir.path});
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

// A name of exactly `length` bytes that leads to `leaf` in the working
// directory: "./" repeated in front of it, after one ".//" when the padding
// is odd.
std::string padded_name(const std::string& leaf, size_t length) {
  size_t pad = length - leaf.size();
  std::string name;
  if (pad % 2 != 0) {
    name = ".//";
    pad -= 3;
  }
  for (; pad > 0; pad -= 2) name += "./";
  return name + leaf;
}

}  // namespace

// --- Output and content --------------------------------------------------------

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
       "--- c.txt\n+++ c.txt\n@@ -1 +1 @@\n-foo\n+bar\n", ""},
      {{"--diff", "-r", "foo", "bar", "t"},
       "--- t/a.link\n+++ t/a.link\n@@ -1 +1 @@\n-foo foo\n+bar bar\n", ""},
      {{"--diff", "--color=always", "foo", "bar", "busy.txt", "c.txt"},
       "\033[1m--- c.txt\033[m\n\033[1m+++ c.txt\033[m\n\033[36m@@ -1 +1 @@\033[m\n"
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
// or stays in memory where none can be made; either way it applies.
TEST(ListedOutput, LongDiffAppliesWhereverItsHunkWaits) {
  if (system("patch --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "patch is not installed";
  std::string old_text;
  for (int i = 0; i < 40000; ++i) old_text += "foo " + std::to_string(i) + "\n";
  old_text += "last foo";
  for (const char* tmpdir : {"", "/nonexistent"}) {
    temp_dir d;
    write_file(d / "a.txt", old_text);
    const std::string in_child_tmpdir = tmpdir;
    auto r = run_zamplet({"--diff", "-w", "foo", "barbaz", "a.txt"},
                         {.cwd = d.path, .in_child = [in_child_tmpdir] {
                            if (!in_child_tmpdir.empty())
                              setenv("TMPDIR", in_child_tmpdir.c_str(), 1);
                          }});
    EXPECT_EQ(r.status, 0) << tmpdir;
    EXPECT_EQ(r.out.substr(0, 44), "--- a.txt\n+++ a.txt\n@@ -1,40001 +1,40001 @@\n") << tmpdir;
    write_file(d / "patch", r.out);
    ASSERT_EQ(mkdir((d / "p").c_str(), 0755), 0);
    write_file(d / "p/a.txt", old_text);
    EXPECT_EQ(system(("cd '" + d.path + "/p' && patch -s -p0 < ../patch").c_str()), 0);
    EXPECT_TRUE(run_in(d, {"-q", "-w", "foo", "barbaz", "a.txt"}).status == 0);
    EXPECT_TRUE(read_file(d / "p/a.txt") == read_file(d / "a.txt")) << tmpdir;
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

// --- Attributes ----------------------------------------------------------------

TEST(ListedAttributes, ModeKept) {
  for (mode_t mode : {0600, 0640, 0755, 0444, 0707}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    ASSERT_EQ(chmod((d / "a.txt").c_str(), mode), 0);
    auto r = run_in(d, {"foo", "bar", "a.txt"});
    EXPECT_EQ(r.out, "a.txt 1\n");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    EXPECT_EQ(stat_of(d / "a.txt").st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST(ListedAttributes, OwnerAndSetIdBitsKept) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  for (mode_t mode : {04755, 02755, 06750}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    ASSERT_EQ(chown((d / "a.txt").c_str(), 1234, 1234), 0);
    ASSERT_EQ(chmod((d / "a.txt").c_str(), mode), 0);
    auto r = run_in(d, {"foo", "bar", "a.txt"});
    EXPECT_EQ(r.out, "a.txt 1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    const struct stat st = stat_of(d / "a.txt");
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1234u);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
  }
}

TEST(ListedAttributes, KeepTimesOnlyWithD) {
  const time_t old_atime = 1000000000;
  const time_t old_mtime = 1100000000;
  for (bool keep : {true, false}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    const struct timespec times[2] = {{old_atime, 250000000}, {old_mtime, 750000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, (d / "a.txt").c_str(), times, 0), 0);
    const time_t before = time(nullptr);
    auto r = keep ? run_in(d, {"-d", "foo", "bar", "a.txt"}) : run_in(d, {"foo", "bar", "a.txt"});
    EXPECT_EQ(r.out, "a.txt 1\n");
    // Looked at before the content is read, which would change the access time.
    const struct stat st = stat_of(d / "a.txt");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    if (keep) {
      EXPECT_EQ(st.st_atim.tv_sec, old_atime);
      EXPECT_EQ(st.st_mtim.tv_sec, old_mtime);
    } else {
      EXPECT_GE(st.st_mtim.tv_sec, before);
    }
  }
}

// --- Intermediate copies -----------------------------------------------------

TEST(ListedLocks, KeepWithLThenSecondRunIsBusy) {
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  auto r = run_in(d, {"-l", "foo", "bar", "a.txt"});
  EXPECT_EQ(r.out, "a.txt 1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "a.txt.lock"), "foo\n");

  r = run_in(d, {"bar", "baz", "a.txt"});
  EXPECT_TRUE(ran(r, "", "a.txt\tfile didn't change! a.txt.lock exists. Try later!\n", 0));
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "a.txt.lock"), "foo\n");
}

// Whatever FILE.lock is, even one that cannot be opened, the file stays alone.
TEST(ListedLocks, ExistingLockMeansBusy) {
  enum class kind { readable, no_permission, dangling_link, readable_whole };
  for (kind k : {kind::readable, kind::no_permission, kind::dangling_link, kind::readable_whole}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    if (k == kind::dangling_link) {
      ASSERT_EQ(symlink("nowhere", (d / "a.txt.lock").c_str()), 0);
    } else {
      write_file(d / "a.txt.lock", "old\n");
      if (k == kind::no_permission) {
        ASSERT_EQ(chmod((d / "a.txt.lock").c_str(), 0), 0);
      }
    }
    write_file(d / "b.txt", "foo\n");
    // Searching each file as one text changes nothing of the rule.
    auto r = k == kind::readable_whole ? run_in(d, {"--whole", "foo", "bar", "a.txt", "b.txt"})
                                       : run_in(d, {"foo", "bar", "a.txt", "b.txt"});
    SCOPED_TRACE(static_cast<int>(k));
    EXPECT_TRUE(ran(r, "b.txt 1\n",
                    "a.txt\tfile didn't change! a.txt.lock exists. Try later!\n", 0));
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    EXPECT_EQ(read_file(d / "b.txt"), "bar\n");
    if (k == kind::dangling_link) {
      char target[32] = {};
      EXPECT_GT(readlink((d / "a.txt.lock").c_str(), target, sizeof target - 1), 0);
      EXPECT_STREQ(target, "nowhere");
    } else {
      EXPECT_EQ(read_file(d / "a.txt.lock"), "old\n");
    }
  }
}

// A file named again, under any spelling, is rewritten again: the copy its
// first rewrite left waiting for the disk is this run's own, not a busy mark.
TEST(ListedLocks, FileNamedTwiceIsRewrittenTwice) {
  struct row {
    strings args;
    std::string out;
    std::string content;  // of f
  };
  const std::string longer = padded_name("f", 40);
  const std::vector<row> rows = {
      {{"a", "ab", "f", "f", "./f"}, "f 2\nf 2\n./f 2\n", "abbb-abbb\n"},
      {{"a-a", "b", longer, "f"}, longer + " 1\nf 0\n", "b\n"},
      {{"-t", "tmp", "a", "ab", "f", "./f"}, "f 2\n./f 2\n", "abb-abb\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / "f", "a-a\n");
    auto r = run_in(d, row.args);
    SCOPED_TRACE(row.out);
    EXPECT_TRUE(ran(r, row.out, "", 0));
    EXPECT_EQ(read_file(d / "f"), row.content);
    EXPECT_EQ(list_dir(d.path), strings{"f"});
  }
}

TEST(ListedLocks, LockSuffixOperands) {
  struct row {
    std::string name;
    bool with_temp;
    bool rewritten;
  };
  const std::vector<row> rows = {
      {"notes.lock", false, false}, {"notes.lock", true, true}, {".lock", false, false},
      {".lock", true, true},        {"lock", false, true},      {"a.lockx", false, true},
      {"x.lock", false, false},
  };
  for (const auto& row : rows) {
    temp_dir d;
    write_file(d / row.name, "foo\n");
    strings args = {"foo", "bar", row.name};
    if (row.with_temp) args.insert(args.begin(), {"-t", "scratch"});
    auto r = run_in(d, args);
    SCOPED_TRACE(row.name + (row.with_temp ? " with -t" : ""));
    EXPECT_TRUE(ran(r, row.rewritten ? row.name + " 1\n" : "", "", 0));
    EXPECT_EQ(read_file(d / row.name), row.rewritten ? "bar\n" : "foo\n");
    EXPECT_EQ(list_dir(d.path), strings{row.name});
  }
}

TEST(ListedLocks, TempNameSharedByAllFiles) {
  for (bool keep : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo a\n");
    write_file(d / "b.txt", "foo b\n");
    write_file(d / "c.txt", "foo c foo\n");
    strings args = {"-t", "scratch", "foo", "bar", "a.txt", "b.txt", "c.txt"};
    if (keep) args.insert(args.begin(), "-l");
    auto r = run_in(d, args);
    SCOPED_TRACE(keep ? "with -l" : "without -l");
    EXPECT_EQ(r.out, "a.txt 1\nb.txt 1\nc.txt 2\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(d / "a.txt"), "bar a\n");
    EXPECT_EQ(read_file(d / "b.txt"), "bar b\n");
    EXPECT_EQ(read_file(d / "c.txt"), "bar c bar\n");
    if (keep) {
      EXPECT_EQ(read_file(d / "scratch"), "foo c foo\n");
      EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt", "c.txt", "scratch"}));
    } else {
      EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt", "c.txt"}));
    }
  }
}

// A -t name that is another name of a FILE would make the engine read and
// truncate one file; that FILE is refused and the run goes on.
TEST(ListedLocks, TempNameSameAsFileRefused) {
  for (bool hard_link : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    write_file(d / "b.txt", "foo\n");
    if (hard_link) {
      ASSERT_EQ(link((d / "a.txt").c_str(), (d / "twin").c_str()), 0);
    }
    const std::string temp = hard_link ? "twin" : "a.txt";
    auto r = run_in(d, {"-t", temp, "foo", "bar", "a.txt"});
    SCOPED_TRACE(temp);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("a.txt\t", 0), 0u) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    if (hard_link) {
      EXPECT_EQ(stat_of(d / "twin").st_ino, stat_of(d / "a.txt").st_ino);
    }
  }
}

// A FILE refused because it is the -t name survives the later FILEs: their
// moves aside never replace an existing -t name.
TEST(ListedLocks, TempNameSameAsFileSurvivesLaterFiles) {
  temp_dir d;
  write_file(d / "a.txt", "foo A\n");
  write_file(d / "b.txt", "foo B\n");
  auto r = run_in(d, {"-t", "a.txt", "foo", "bar", "a.txt", "b.txt"});
  EXPECT_EQ(r.err.rfind("a.txt\t", 0), 0u) << r.err;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "a.txt"), "foo A\n");
  EXPECT_EQ(read_file(d / "b.txt"), "foo B\n");
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("b.txt\tfile didn't change! a.txt exists. Try later!\n"), std::string::npos)
      << r.err;
}

// --- Operands that are not rewritten ------------------------------------------

// A FILE that cannot be moved aside is that file's failure, named, and the
// run goes on: a missing one, one whose FILE.lock is too long for the file
// system's names, one in a directory that cannot be written.
TEST(ListedOperands, FailedMoveIsOneFilesFailure) {
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  write_file(d / "c.txt", "foo\n");
  const std::string long_name(252, 'n');  // its ".lock" passes 255 bytes
  write_file(d / long_name, "foo\n");
  ASSERT_EQ(mkdir((d / "ro").c_str(), 0755), 0);
  write_file(d / "ro/f", "foo\n");
  ASSERT_EQ(chmod((d / "ro").c_str(), 0555), 0);
  const bool binds = geteuid() != 0;  // permissions do not bind the superuser
  auto r = run_in(d, {"foo", "bar", "a.txt", "missing.txt", long_name, "ro/f", "c.txt"});
  chmod((d / "ro").c_str(), 0755);
  EXPECT_TRUE(ran(r, binds ? "a.txt 1\nc.txt 1\n" : "a.txt 1\nro/f 1\nc.txt 1\n",
                  "missing.txt\trename error:No such file or directory\n" + long_name +
                      "\trename error:File name too long\n" +
                      (binds ? "ro/f\trename error:Permission denied\n" : ""),
                  1));
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(read_file(d / long_name), "foo\n");
  EXPECT_EQ(read_file(d / "c.txt"), "bar\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "c.txt", long_name, "ro"}));
}

TEST(ListedOperands, DirectoriesAndSpecialFilesRefused) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "dir").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((d / "pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/null", (d / "null").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = d / "sock";
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr), 0);
  write_file(d / "a.txt", "foo\n");

  auto r = run_in(d, {"foo", "bar", "dir", "pipe", "null", "sock", "a.txt"});
  close(sock);
  EXPECT_EQ(r.out, "a.txt 1\n");
  EXPECT_EQ(r.err,
            "dir\tis directory\n"
            "pipe\tis not a regular file\n"
            "null\tis not a regular file\n"
            "sock\tis not a regular file\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "dir", "null", "pipe", "sock"}));
  EXPECT_TRUE(S_ISFIFO(stat_of(d / "pipe").st_mode));
  EXPECT_TRUE(S_ISCHR(stat_of(d / "null").st_mode));
}

TEST(ListedOperands, NameLengthLimits) {
  // FILE.lock of 4095 bytes still fits the name buffer with its zero byte.
  {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    const std::string name = padded_name("a.txt", 4090);
    ASSERT_EQ(name.size(), 4090u);
    auto r = run_in(d, {"foo", "bar", name});
    EXPECT_EQ(r.out, name + " 1\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    EXPECT_EQ(list_dir(d.path), strings{"a.txt"});
  }
  // One byte more: refused with a note, and the run goes on.
  {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    write_file(d / "b.txt", "foo\n");
    const std::string name = padded_name("a.txt", 4091);
    ASSERT_EQ(name.size(), 4091u);
    auto r = run_in(d, {"foo", "bar", name, "b.txt"});
    EXPECT_EQ(r.out, "b.txt 1\n");
    // The name is cut so that the reason still fits the line.
    const std::string reason = "\tfile didn't change! Its name is too long\n";
    EXPECT_EQ(r.err, name.substr(0, 4096 - reason.size()) + reason);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    EXPECT_EQ(read_file(d / "b.txt"), "bar\n");
  }
  // A -t name of 4095 bytes works; one of 4096 bytes ends the run at once.
  for (size_t length : {size_t{4095}, size_t{4096}}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    const std::string temp = padded_name("scratch", length);
    ASSERT_EQ(temp.size(), length);
    auto r = run_in(d, {"-t", temp, "foo", "bar", "a.txt"});
    SCOPED_TRACE(length);
    if (length == 4095) {
      EXPECT_EQ(r.out, "a.txt 1\n");
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err, "");
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    }
    EXPECT_EQ(list_dir(d.path), strings{"a.txt"});
  }
}

// --- The engine gives up: the original comes back ------------------------------

TEST(ListedFailures, WriteErrorRestoresOriginal) {
  temp_dir d;
  const std::string content(5000, 'x');
  write_file(d / "a.txt", content + "foo\n");
  write_file(d / "b.txt", "foo\n");
  auto r = run_zamplet({"foo", "bar", "a.txt", "b.txt"}, {.cwd = d.path, .in_child = [] {
                                                   signal(SIGXFSZ, SIG_IGN);
                                                   struct rlimit limit = {100, 100};
                                                   setrlimit(RLIMIT_FSIZE, &limit);
                                                 }});
  EXPECT_TRUE(ran(r, "a.txt\nb.txt 1\n", "a.txt\twrite error:File too large\n", 1));
  EXPECT_EQ(read_file(d / "a.txt"), content + "foo\n");
  EXPECT_EQ(read_file(d / "b.txt"), "bar\n");
  EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt"}));
}

// A report that cannot be written (a full device, a closed pipe) does not
// stop the work: every file is rewritten, the failure is said once, and
// the run ends with status 1.
TEST(ListedFailures, LostReportIsToldOnceAndTheWorkIsDone) {
  struct row {
    strings args;
    bool closed_pipe;
    std::string err;
  };
  const std::vector<row> rows = {
      {{"foo", "bar", "a.txt", "b.txt", "c.txt"}, false, "write error:No space left on device\n"},
      {{"-r", "foo", "bar", "."}, false, "write error:No space left on device\n"},
      {{"foo", "bar", "a.txt", "b.txt", "c.txt"}, true, "write error:Broken pipe\n"},
      {{"-r", "foo", "bar", "."}, true, "write error:Broken pipe\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) write_file(d / name, "foo\n");
    const bool closed_pipe = row.closed_pipe;
    auto r = run_zamplet(row.args, {.cwd = d.path, .in_child = [closed_pipe] {
                                      int fds[2];
                                      if (closed_pipe && pipe(fds) == 0) {
                                        close(fds[0]);
                                        dup2(fds[1], 1);
                                      } else {
                                        dup2(open("/dev/full", O_WRONLY), 1);
                                      }
                                    }});
    EXPECT_TRUE(ran(r, "", row.err, 1)) << row.args[0] << " " << closed_pipe;
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
      EXPECT_EQ(read_file(d / name), "bar\n") << name;
    EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt", "c.txt"}));
  }
}

// With -v no write runs ahead of the trace, nor the trace ahead of the
// writes: the failing write comes right after the trace of its own chunk,
// the second, before the occurrence in the third.
TEST(ListedFailures, VerboseTraceStopsAtTheFailingWrite) {
  temp_dir d;
  const std::string content = std::string(2100, 'x') + "foo" + std::string(897, 'x');
  write_file(d / "a.txt", content);
  auto r = run_zamplet({"-v", "foo", "bar", "a.txt"}, {.cwd = d.path, .in_child = [] {
                                                         signal(SIGXFSZ, SIG_IGN);
                                                         struct rlimit limit = {1500, 1500};
                                                         setrlimit(RLIMIT_FSIZE, &limit);
                                                       }});
  EXPECT_EQ(r.out, "a.txt\n");
  EXPECT_EQ(r.err,
            "\nLoop 1: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: 0\n"
            "Loop 2: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: 0\n"
            "a.txt\twrite error:File too large\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(d / "a.txt"), content);
}

// A file under another process's record lock is left exactly as it is,
// with or without an occurrence: not moved, not re-created.
TEST(ListedFailures, HeldLockLeavesFileAlone) {
  for (const std::string content : {"foo\n", "none\n"}) {
    temp_dir d;
    write_file(d / "a.txt", content);
    write_file(d / "b.txt", "foo\n");
    const ino_t inode = stat_of(d / "a.txt").st_ino;
    // Record locks belong to a process: this one holds it, the program cannot
    // share it.
    const int fd = open((d / "a.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
    auto r = run_in(d, {"foo", "bar", "a.txt", "b.txt"});
    close(fd);
    SCOPED_TRACE(content);
    EXPECT_TRUE(ran(r, "a.txt\nb.txt 1\n",
                    "a.txt\tfcntl error:Resource temporarily unavailable\n", 1));
    EXPECT_EQ(read_file(d / "a.txt"), content);
    EXPECT_EQ(stat_of(d / "a.txt").st_ino, inode);
    EXPECT_EQ(read_file(d / "b.txt"), "bar\n");
    EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "b.txt"}));
  }
}

// --- Other runs and other programs ---------------------------------------------

// An existing -t name is never replaced: the FILE is refused and both stay.
TEST(ListedRaces, ExistingTempNameIsNeverReplaced) {
  for (bool dangling : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    if (dangling) {
      ASSERT_EQ(symlink("nowhere", (d / "important.db").c_str()), 0);
    } else {
      write_file(d / "important.db", "precious\n");
    }
    auto r = run_in(d, {"-t", "important.db", "foo", "bar", "a.txt"});
    SCOPED_TRACE(dangling ? "dangling link" : "file");
    EXPECT_TRUE(ran(r, "", "a.txt\tfile didn't change! important.db exists. Try later!\n", 0));
    EXPECT_EQ(read_file(d / "a.txt"), "foo\n");
    if (!dangling) {
      EXPECT_EQ(read_file(d / "important.db"), "precious\n");
    }
  }
}

// A run paused right after its move aside holds the only copy of a file's
// original.  A second run, with or without a -t name, keeps off it, and
// killing the first leaves both originals.
TEST(ListedRaces, SecondRunKeepsOffTheFirstRunsCopy) {
  struct row {
    strings first, second;
    std::string copy, second_err;
  };
  const std::vector<row> rows = {
      {{"-t", "shared", "foo", "bar", "a.txt"}, {"-t", "shared", "foo", "bar", "b.txt"}, "shared",
       "b.txt\tfile didn't change! shared exists. Try later!\n"},
      {{"foo", "bar", "a.txt"}, {"-t", "other", "foo", "bar", "a.txt"}, "a.txt.lock",
       "a.txt\tfile didn't change! a.txt.lock exists. Try later!\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.copy);
    temp_dir d;
    write_file(d / "a.txt", "foo a\n");
    write_file(d / "b.txt", "foo b\n");
    paused_run first(row.first, d.path);
    ASSERT_TRUE(wait_until([&] { return exists(d / row.copy); }));
    auto r = run_in(d, row.second);
    EXPECT_TRUE(ran(r, "", row.second_err, 0));
    EXPECT_EQ(first.kill_now(), 128 + SIGKILL);
    EXPECT_EQ(read_file(d / row.copy), "foo a\n");
    EXPECT_EQ(read_file(d / "b.txt"), "foo b\n");
    EXPECT_FALSE(exists(d / "a.txt"));
  }
}

// A run that takes another run's half-written file as its source fails its
// read lock and leaves it alone; the first run then completes its rewrite.
TEST(ListedRaces, HalfWrittenTargetIsNeverASource) {
  temp_dir d;
  std::string content;
  for (int i = 0; i < 200000; ++i) content += "line " + std::to_string(i) + " x\n";
  std::string expected = content;  // one-byte pattern: no chunk boundary cuts it
  std::replace(expected.begin(), expected.end(), 'x', 'y');
  write_file(d / "big.txt", content);
  // The -v trace fills the unread pipe while the file is half written.
  paused_run first({"-v", "-w", "-t", "aside.tmp", "x", "y", "big.txt"}, d.path, 2, -1);
  ASSERT_TRUE(wait_until([&] { return first.filled(65536 - 512); }));
  const size_t partial = read_file(d / "big.txt").size();
  EXPECT_GT(partial, 0u);
  EXPECT_LT(partial, expected.size());
  auto second = run_in(d, {"-w", "x", "z", "big.txt"});
  EXPECT_EQ(second.out, "big.txt\n");
  EXPECT_EQ(second.err.rfind("big.txt\tfcntl error:", 0), 0u) << second.err;
  EXPECT_EQ(second.status, 1);
  const run_result r = first.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "big.txt 200000\n");
  EXPECT_TRUE(read_file(d / "big.txt") == expected);
  EXPECT_EQ(list_dir(d.path), strings{"big.txt"});
}

// The engine rewrites only the file that FILE was when it was looked at: a
// relative link that resolves elsewhere under the -t name, or a FIFO put in
// place of the copy, is refused without a hang and moved back.
TEST(ListedRaces, OnlyTheCheckedFileIsRewritten) {
  {
    temp_dir d;
    write_file(d / "target.txt", "foo mine\n");
    ASSERT_EQ(mkdir((d / "sub").c_str(), 0755), 0);
    write_file(d / "sub/target.txt", "foo other\n");
    ASSERT_EQ(symlink("target.txt", (d / "link").c_str()), 0);
    auto r = run_in(d, {"-t", "sub/aside", "foo", "bar", "link"});
    EXPECT_TRUE(ran(r, "link\n",
                    "link\tfile didn't change! sub/aside is no longer the same file\n", 1));
    EXPECT_EQ(read_file(d / "link"), "foo mine\n");
    EXPECT_EQ(read_file(d / "sub/target.txt"), "foo other\n");
    EXPECT_EQ(list_dir(d / "sub"), strings{"target.txt"});
  }
  {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    paused_run run({"foo", "bar", "a.txt"}, d.path);
    ASSERT_TRUE(wait_until([&] { return exists(d / "a.txt.lock"); }));
    ASSERT_EQ(rename((d / "a.txt.lock").c_str(), (d / "saved").c_str()), 0);
    ASSERT_EQ(mkfifo((d / "a.txt.lock").c_str(), 0644), 0);
    const run_result r = run.finish();
    EXPECT_TRUE(ran(r, "a.txt\n",
                    "a.txt\tfile didn't change! a.txt.lock is no longer the same file\n", 1));
    EXPECT_TRUE(S_ISFIFO(stat_of(d / "a.txt").st_mode));
    EXPECT_EQ(read_file(d / "saved"), "foo\n");
    EXPECT_EQ(list_dir(d.path), (strings{"a.txt", "saved"}));
  }
}

// A file another program creates under FILE's name while FILE is moved aside
// is never truncated or replaced; the user is told where the original is.
TEST(ListedRaces, NewcomerUnderTheNameIsKept) {
  temp_dir d;
  write_file(d / "a.txt", "foo\n");
  paused_run run({"foo", "bar", "a.txt"}, d.path);
  ASSERT_TRUE(wait_until([&] { return exists(d / "a.txt.lock"); }));
  write_file(d / "a.txt", "newcomer foo\n");
  const run_result r = run.finish();
  EXPECT_EQ(r.out, "a.txt\n");
  EXPECT_EQ(r.err,
            "a.txt\topen error:File exists\n"
            "a.txt\tfile didn't change! Its old content is in a.txt.lock\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(d / "a.txt"), "newcomer foo\n");
  EXPECT_EQ(read_file(d / "a.txt.lock"), "foo\n");
}

// Closed standard descriptors are never taken by a file of the run, and the
// run's own output is never rewritten.
TEST(ListedRaces, StandardStreamsAreNotFiles) {
  for (bool with_stdin : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    auto r = run_zamplet({"-v", "foo", "bar", "a.txt"}, {.cwd = d.path, .in_child = [&] {
                                                          if (with_stdin) close(0);
                                                          close(1);
                                                          close(2);
                                                        }});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
    EXPECT_EQ(list_dir(d.path), strings{"a.txt"});
  }
  for (bool recursive : {false, true}) {
    temp_dir d;
    write_file(d / "a.txt", "foo\n");
    write_file(d / "log.txt", "foo log\n");
    const strings args =
        recursive ? strings{"-r", "foo", "bar", "."} : strings{"foo", "bar", "a.txt", "log.txt"};
    const std::string log = d / "log.txt";
    auto r = run_zamplet(args, {.cwd = d.path, .in_child = [&] {
                                  const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
                                  dup2(fd, 1);
                                }});
    const std::string name = recursive ? "./log.txt" : "log.txt";
    EXPECT_EQ(r.err, name + "\tfile didn't change! It is this run's output\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(log), "foo log\n" + std::string(recursive ? "./" : "") + "a.txt 1\n");
    EXPECT_EQ(read_file(d / "a.txt"), "bar\n");
  }
}

// --- Files left as they are -------------------------------------------------------

// A file without an occurrence is not touched at all: same inode, times and
// link count, and a symbolic link stays a link; only its line says "0".
TEST(ListedUnchanged, FilesWithoutAnOccurrenceKeepEverything) {
  for (bool recursive : {false, true}) {
    SCOPED_TRACE(recursive ? "-r" : "listed");
    temp_dir d;
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    write_file(d / "t/a.txt", "foo\n");
    write_file(d / "t/b.txt", "nothing here\n");
    ASSERT_EQ(link((d / "t/b.txt").c_str(), (d / "twin").c_str()), 0);
    write_file(d / "c.txt", "nothing either\n");
    ASSERT_EQ(symlink("../c.txt", (d / "t/link").c_str()), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (d / "t/b.txt").c_str(), times, 0), 0);
    const struct stat before = stat_of(d / "t/b.txt");
    auto r = recursive ? run_in(d, {"-r", "foo", "bar", "t"})
                       : run_in(d, {"foo", "bar", "t/a.txt", "t/b.txt", "t/link"});
    std::vector<std::string> lines;
    for (size_t at = 0; at < r.out.size();) {
      const size_t end = r.out.find('\n', at);
      lines.push_back(r.out.substr(at, end - at));
      at = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (strings{"t/a.txt 1", "t/b.txt 0", "t/link 0"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const struct stat after = stat_of(d / "t/b.txt");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mtim.tv_sec, 1100000000);
    EXPECT_EQ(after.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
    struct stat link_st {};
    ASSERT_EQ(lstat((d / "t/link").c_str(), &link_st), 0);
    EXPECT_TRUE(S_ISLNK(link_st.st_mode));
    EXPECT_EQ(read_file(d / "t/a.txt"), "bar\n");
    EXPECT_EQ(list_dir(d / "t"), (strings{"a.txt", "b.txt", "link"}));
  }
}

// The -v trace of a file left alone is the trace of its rewrite, byte for
// byte, and neither -l nor -s gives it a copy or a new inode.
TEST(ListedUnchanged, TraceAndOptionsAsIfRewritten) {
  struct row {
    strings options;
    std::string content, err;
  };
  const std::string loop = "Loop 1: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: 0\n";
  const std::vector<row> rows = {
      {{"-v"}, std::string(2500, 'x'),
       "\n" + loop + "Loop 2: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: 0\n" +
           "Loop 3: Read: 454, Counter: 0\n\tWrite: 454, Counter: 0\n"},
      {{"-v"}, "", "\n"},
      {{"-v", "-q"}, "x", "\n"},
      {{"-l"}, "nothing\n", ""},
      {{"-s"}, "nothing\n", ""},
      {{"-l", "-t", "kept"}, "nothing\n", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.options) + " " + std::to_string(row.content.size()));
    temp_dir d;
    write_file(d / "b.txt", row.content);
    const ino_t inode = stat_of(d / "b.txt").st_ino;
    strings args = row.options;
    args.insert(args.end(), {"foo", "bar", "b.txt"});
    auto r = run_in(d, args);
    const bool quiet = std::find(args.begin(), args.end(), "-q") != args.end();
    EXPECT_TRUE(ran(r, quiet ? "" : "b.txt 0\n", row.err, 0));
    EXPECT_EQ(stat_of(d / "b.txt").st_ino, inode);
    EXPECT_EQ(list_dir(d.path), strings{"b.txt"});
  }
}

// A rewritten file keeps its ACL, its user attributes, mode and owner.
TEST(ListedAttributes, AclAndExtendedAttributesKept) {
  if (system("command -v setfacl >/dev/null && command -v getfacl >/dev/null") != 0)
    GTEST_SKIP() << "setfacl and getfacl are not installed (the acl package)";
  temp_dir d;
  const std::string file = d / "a.txt";
  write_file(file, "foo\n");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(file.c_str(), 1234, 1234), 0);
  }
  if (system(("setfacl -m u:1234:rw,g::---,m::rw,o::r '" + file + "'").c_str()) != 0 ||
      setxattr(file.c_str(), "user.note", "kept", 4, 0) != 0)
    GTEST_SKIP() << "this file system takes no ACL or user attribute";
  auto acl_of = [&] {
    const std::string out = d / "acl.out";
    EXPECT_EQ(system(("getfacl -cp '" + file + "' > '" + out + "'").c_str()), 0);
    const std::string text = read_file(out);
    unlink(out.c_str());
    return text;
  };
  const std::string acl = acl_of();
  const struct stat before = stat_of(file);
  auto r = run_in(d, {"foo", "bar", "a.txt"});
  EXPECT_EQ(r.out, "a.txt 1\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(file), "bar\n");
  const struct stat after = stat_of(file);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(acl_of(), acl);
  char value[16] = {};
  EXPECT_EQ(getxattr(file.c_str(), "user.note", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
}

// --- Matches cut by chunk boundaries ------------------------------------------------

// The note follows the line of its input in every mode, names it as that
// line does, and -q silences it; the counts and contents stay as they are.
TEST(ListedCutMatches, NoteAfterTheFilesLine) {
  const std::string content = std::string(1020, '.') + "size_t a;\n" +
                              std::string(1013, '.') + "size_t b;\n";  // the second cut at 2046
  struct row {
    strings args;
    bool from_stdin;
    std::string out, err;
  };
  // A note for each input, and the sum at the end of the run.
  const std::string a_cut = cut_note("a.txt", 2);
  const std::vector<row> rows = {
      {{"-w", "size_t", "T", "a.txt"}, false, "a.txt 0\n", a_cut + cut_total(2, 1)},
      {{"size_t", "T", "a.txt", "b.txt"}, false, "a.txt 0\nb.txt 1\n", a_cut + cut_total(2, 1)},
      {{"-w", "size_t", "T", "a.txt", "a.txt"}, false, "a.txt 0\na.txt 0\n",
       a_cut + a_cut + cut_total(4, 2)},
      {{"-r", "-w", "size_t", "T", "."}, false, "./a.txt 0\n",
       cut_note("./a.txt", 2) + cut_total(2, 1)},
      {{"-q", "-w", "size_t", "T", "a.txt"}, false, "", ""},
      {{"-w", "size_t", "T"}, true, content + " 0", cut_note("stdin", 2) + cut_total(2, 1)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    temp_dir d;
    write_file(d / "a.txt", content);
    if (row.args[0] != "-r") write_file(d / "b.txt", "size_t\n");
    run_options o = row.from_stdin ? stdin_from_file(d / "a.txt") : run_options{};
    o.cwd = d.path;
    auto r = run_zamplet(row.args, o);
    EXPECT_TRUE(ran(r, row.out, row.err, 0));
    EXPECT_EQ(read_file(d / "a.txt"), content);
  }
}

// With --whole, what the chunk rule cuts is replaced in every mode, a match
// longer than the window is left alone with a note, and -s, -q and -v keep
// their meaning.
TEST(ListedCutMatches, WholeReplacesWhatChunksCut) {
  const std::string content = std::string(1020, '.') + "size_t a;\n" +
                              std::string(1013, '.') + "uint8_t b;\n";  // both cut
  const std::string replaced = std::string(1020, '.') + "T a;\n" + std::string(1013, '.') +
                               "T b;\n";
  const std::string longer = "<" + std::string(70000, 'a') + "> <aa>";
  const std::string note = "\tmatches longer than 65536 bytes left alone: 1\n";
  struct row {
    strings args;
    bool from_stdin;
    std::string out, err, a_after;
  };
  const std::string expression = "size_t|u?int(8|16)_t";
  const std::vector<row> rows = {
      {{"--whole", "-e", expression, "T", "a.txt"}, false, "a.txt 2\n", "", replaced},
      {{"--whole", "-r", "-e", expression, "T", "."}, false, "./a.txt 2\n", "", replaced},
      {{"--whole", "-e", expression, "T"}, true, replaced + " 2", "", content},
      {{"--whole", "-s", "-e", expression, "T", "a.txt"}, false, "a.txt 2\n", "", content},
      {{"--whole", "-q", "<a*>", "X", "long.txt"}, false, "", "", content},
      {{"--whole", "-v", "-e", expression, "T", "a.txt"}, false, "a.txt 2\n",
       "\nLoop 1: Read: 2054, Counter: 0\n\tWrite: 2043, Counter: 2\n", replaced},
      {{"--whole", "<a*>", "X", "long.txt"}, false, "long.txt 1\n", "long.txt" + note, content},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    temp_dir d;
    write_file(d / "a.txt", content);
    const bool with_long = row.args.back() == "long.txt";
    if (with_long) write_file(d / "long.txt", longer);
    run_options o = row.from_stdin ? stdin_from_file(d / "a.txt") : run_options{};
    o.cwd = d.path;
    auto r = run_zamplet(row.args, o);
    EXPECT_TRUE(ran(r, row.out, row.err, 0));
    EXPECT_EQ(read_file(d / "a.txt"), row.a_after);
    if (with_long) {
      EXPECT_EQ(read_file(d / "long.txt"),
                row.args[row.args.size() - 3] == "<a*>" ? "<" + std::string(70000, 'a') + "> X" : longer);
    }
  }
}
