// End-to-end tests of the recursive mode: every file below the first FILE
// operand rewritten in place.  The walk's order is the directories' order,
// so output lines are compared as sorted sets.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

// t/top.txt, t/sub/a.txt, t/sub/deep/b.txt and an empty t/empty.
void make_tree(const temp_dir& d) {
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d / "t/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d / "t/sub/deep").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d / "t/empty").c_str(), 0755), 0);
  write_file(d / "t/top.txt", "foo\n");
  write_file(d / "t/sub/a.txt", "foo foo\n");
  write_file(d / "t/sub/deep/b.txt", "none\n");
}

}  // namespace

// --- The walk over a tree --------------------------------------------------------

TEST(RecursiveTree, EveryFileRewrittenOnce) {
  temp_dir d;
  make_tree(d);
  auto r = run_zamplet({"-r", "foo", "bar", "t"}, {.cwd = d.path});
  EXPECT_EQ(sorted_lines(r.out), (strings{"t/sub/a.txt 2", "t/sub/deep/b.txt 0", "t/top.txt 1"}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "t/top.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "t/sub/a.txt"), "bar bar\n");
  EXPECT_EQ(read_file(d / "t/sub/deep/b.txt"), "none\n");
  EXPECT_EQ(tree_files(d / "t"), (strings{"sub/a.txt", "sub/deep/b.txt", "top.txt"}));
}

// How the start operand is written shows in every printed path.
TEST(RecursiveTree, StartOperandForms) {
  struct row {
    strings args;
    strings lines;
    std::string top, a;  // content of t/top.txt and t/sub/a.txt afterwards
    std::string err = "";
    int status = 0;
  };
  const std::vector<row> rows = {
      {{"-r", "foo", "bar", "t/"},
       {"t//sub/a.txt 2", "t//sub/deep/b.txt 0", "t//top.txt 1"}, "bar\n", "bar bar\n"},
      {{"-r", "foo", "bar", "t/top.txt"}, {"t/top.txt 1"}, "bar\n", "foo foo\n"},
      // Every start in its turn; one that is missing is said, and the
      // others are still walked.
      {{"-r", "foo", "bar", "t/sub/deep", "missing", "t/top.txt"},
       {"t/sub/deep/b.txt 0", "t/top.txt 1"}, "bar\n", "foo foo\n",
       "missing\tNo such file or directory\n", 1},
      {{"-r", "-q", "foo", "bar", "t/sub"}, {}, "foo\n", "bar bar\n"},
      // What the exclusions leave out is passed over in silence.
      {{"-r", "--exclude-dir=deep", "foo", "bar", "t"}, {"t/sub/a.txt 2", "t/top.txt 1"}, "bar\n",
       "bar bar\n"},
      {{"-r", "--exclude=a.*", "--exclude", "none", "foo", "bar", "t"},
       {"t/sub/deep/b.txt 0", "t/top.txt 1"}, "bar\n", "foo foo\n"},
      {{"-r", "--exclude=*.txt", "--exclude-dir=s?b", "foo", "bar", "t"}, {}, "foo\n",
       "foo foo\n"},
      {{"-r", "--exclude-dir=sub", "--exclude-dir", "t", "foo", "bar", "t"}, {"t/top.txt 1"},
       "bar\n", "foo foo\n"},
  };
  for (const auto& row : rows) {
    temp_dir d;
    make_tree(d);
    auto r = run_zamplet(row.args, {.cwd = d.path});
    SCOPED_TRACE(row.args[row.args.size() - 1]);
    EXPECT_EQ(sorted_lines(r.out), row.lines);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(read_file(d / "t/top.txt"), row.top);
    EXPECT_EQ(read_file(d / "t/sub/a.txt"), row.a);
    EXPECT_EQ(tree_files(d / "t"), (strings{"sub/a.txt", "sub/deep/b.txt", "top.txt"}));
  }
}

// A directory's glob leaves out what grep -r leaves out with it, trailing
// slashes and all: the files rewritten are the files grep lists.  Grep runs
// without an operand, so that no glob applies to the start itself.
TEST(RecursiveTree, DirectoryGlobsAsGrepReadsThem) {
  if (!shell("grep --version | grep -q GNU")) GTEST_SKIP() << "GNU grep is not installed";
  for (const char* glob : {"vendor", "vendor/", "vendor//", "s?b/", "*/", "[sv]*//", "sub/",
                           ".*/", "/", "vendor/*", "./vendor", "\\vendor/"}) {
    SCOPED_TRACE(glob);
    temp_dir d;
    for (const char* dir : {"vendor", "vendor/sub", "sub", "sab", ".hidden", "plain"})
      ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0);
    for (const char* file : {"top.txt", "vendor/v.txt", "vendor/sub/w.txt", "sub/a.txt",
                             "sab/b.txt", ".hidden/h.txt", "plain/vendor"})
      write_file(d / file, "widget\n");
    std::string listed;
    shell("cd '" + d.path + "' && grep -rl --exclude-dir='" + glob + "' widget", &listed);
    const auto r = run_zamplet({"-r", "-q", std::string("--exclude-dir=") + glob, "widget",
                                "gadget", "."}, {.cwd = d.path});
    EXPECT_TRUE(ran(r, "", "", 0));
    strings rewritten;
    for (const auto& file : tree_files(d.path))
      if (read_file(d / file) == "gadget\n") rewritten.push_back(file);
    EXPECT_EQ(rewritten, sorted_lines(listed));
  }
}

TEST(RecursiveTree, MissingStartOperand) {
  temp_dir d;
  auto r = run_zamplet({"-r", "foo", "bar", "nope"}, {.cwd = d.path});
  EXPECT_TRUE(ran(r, "", "nope\tNo such file or directory\n", 1));
}

// The walk holds few directories open at a time and reopens what it gave up.
TEST(RecursiveTree, DeepTreeUnderLowDescriptorLimit) {
  temp_dir d;
  std::string dir = d / "t";
  strings expected;
  std::string rel = "t";
  for (int level = 0; level < 30; ++level) {
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/f.txt", "a\n");
    expected.push_back(rel + "/f.txt 1");
    dir += "/d";
    rel += "/d";
  }
  std::sort(expected.begin(), expected.end());
  auto r = run_zamplet({"-r", "a", "ab", "t"}, {.cwd = d.path, .in_child = [] {
                                                  struct rlimit limit = {16, 16};
                                                  setrlimit(RLIMIT_NOFILE, &limit);
                                                }});
  EXPECT_EQ(sorted_lines(r.out), expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  std::string path = d / "t";
  for (int level = 0; level < 30; ++level, path += "/d") {
    EXPECT_EQ(read_file(path + "/f.txt"), "ab\n") << path;
  }
}

// --- Entries that are not plain files ----------------------------------------

// A link to a file stays a link: the file it leads to is rewritten under its
// own name, once however many links lead to it, wherever it lies.
TEST(RecursiveEntries, SymlinkToFileRewritesItsTarget) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  write_file(d / "outside.txt", "foo\n");
  ASSERT_EQ(symlink("../outside.txt", (d / "t/link").c_str()), 0);
  ASSERT_EQ(symlink("link", (d / "t/via-link").c_str()), 0);
  auto r = run_zamplet({"-r", "foo", "bar", "t"}, {.cwd = d.path});
  char* target = realpath((d / "outside.txt").c_str(), nullptr);
  ASSERT_NE(target, nullptr);
  EXPECT_TRUE(ran(r, std::string(target) + " 1\n", "", 0));
  free(target);
  EXPECT_EQ(read_file(d / "outside.txt"), "bar\n");
  EXPECT_TRUE(S_ISLNK(lstat_of(d / "t/link").st_mode));
  EXPECT_TRUE(S_ISLNK(lstat_of(d / "t/via-link").st_mode));
}

// A directory reached again through a symbolic link holds the same files:
// each is rewritten, or said unchanged, once, under the path the walk met
// first.  A hard link is an entry of its own and is looked at in its turn,
// changed or not.
TEST(RecursiveEntries, FileMetAgainThroughALinkOnce) {
  for (bool hard_links : {false, true}) {
    SCOPED_TRACE(hard_links ? "hard links" : "one name each");
    temp_dir d;
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d / "t/real").c_str(), 0755), 0);
    write_file(d / "t/real/c", "a\n");
    write_file(d / "t/real/u", "x\n");
    ASSERT_EQ(symlink("real", (d / "t/via").c_str()), 0);
    if (hard_links) {
      ASSERT_EQ(link((d / "t/real/c").c_str(), (d / "t/real/c2").c_str()), 0);
      ASSERT_EQ(link((d / "t/real/u").c_str(), (d / "t/real/u2").c_str()), 0);
    }
    std::string first;  // real or via, as the walk meets them
    DIR* dir = opendir((d / "t").c_str());
    for (dirent* e; first.empty() && (e = readdir(dir)) != nullptr;)
      if (e->d_name[0] != '.') first = e->d_name;
    closedir(dir);
    const run_result r = run_zamplet({"-r", "a", "ab", "t"}, {.cwd = d.path});
    const std::string at = "t/" + first + "/";
    strings lines = {at + "c 1", at + "u 0"};
    if (hard_links) lines = {at + "c 1", at + "c2 1", at + "u 0", at + "u2 0"};
    EXPECT_EQ(sorted_lines(r.out), lines);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(d / "t/real/c"), "ab\n");
    EXPECT_EQ(read_file(d / "t/real/u"), "x\n");
    if (hard_links) {
      EXPECT_EQ(read_file(d / "t/real/c2"), "ab\n");
      EXPECT_EQ(lstat_of(d / "t/real/u").st_nlink, 2u);
    }
  }
}

TEST(RecursiveEntries, FifoPassedOver) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((d / "t/pipe").c_str(), 0644), 0);
  write_file(d / "t/a.txt", "foo\n");
  auto r = run_zamplet({"-r", "foo", "bar", "t"}, {.cwd = d.path});
  EXPECT_TRUE(ran(r, "t/a.txt 1\n", "t/pipe\tis not a regular file\n", 0));
  EXPECT_EQ(read_file(d / "t/a.txt"), "bar\n");
  struct stat st {};
  ASSERT_EQ(lstat((d / "t/pipe").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// A link back to an ancestor makes the walk meet the same files again, until
// the paths grow too long.  A growing replacement shows any second rewrite.
// What the walk cannot look at is said and passed over, and the rest of the
// tree is still rewritten, with status 1: a link to an ancestor (a cycle), a
// path too long for the walk, a directory that cannot be read (as a user
// other than root, through setpriv, so that the case runs as root too).  A
// symbolic link that leads nowhere holds nothing to rewrite.
TEST(RecursiveEntries, WhatCannotBeWalkedIsSaidAndTheWalkGoesOn) {
  enum class obstacle { cycle, too_long, unreadable, dangling };
  for (obstacle o : {obstacle::cycle, obstacle::too_long, obstacle::unreadable,
                     obstacle::dangling}) {
    SCOPED_TRACE(static_cast<int>(o));
    temp_dir d;
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d / "t/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d / "t/z").c_str(), 0755), 0);
    write_file(d / "t/a.txt", "a\n");
    write_file(d / "t/sub/b.txt", "a\n");
    write_file(d / "t/z/c.txt", "a\n");
    const strings args = {"-r", "a", "ab", "t"};
    std::string note;
    std::function<void()> as_nobody;
    if (o == obstacle::cycle) {
      ASSERT_EQ(symlink("..", (d / "t/sub/up").c_str()), 0);
      note = "t/sub/up\tFile system loop\n";
    } else if (o == obstacle::too_long) {
      std::string path = d / "t/sub";
      std::string rel = "t/sub";
      while (rel.size() < 900) {
        path += "/" + std::string(200, 'n');
        rel += "/" + std::string(200, 'n');
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
      }
      const std::string leaf(1030 - rel.size(), 'f');
      write_file(path + "/" + leaf, "a\n");
      note = (rel + "/" + leaf).substr(0, 1024) + "\tFile name too long\n";
    } else if (o == obstacle::unreadable) {
      ASSERT_EQ(mkdir((d / "t/locked").c_str(), 0700), 0);
      write_file(d / "t/locked/x.txt", "a\n");
      if (geteuid() == 0) {
        // The run goes as nobody, who must be able to reach the program
        // (a build below a private directory is out of reach).
        const pid_t probe = fork();
        if (probe == 0) {
          if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
          _exit(access(ZAMPLET_BINARY, X_OK) == 0 ? 0 : 1);
        }
        int probed = 1;
        if (probe < 0 || waitpid(probe, &probed, 0) < 0 || probed != 0) {
          std::cout << "[ skipped  ] the unreadable directory: user nobody cannot run "
                    << ZAMPLET_BINARY << std::endl;
          continue;
        }
        // It is nobody's tree but for the locked directory.
        ASSERT_EQ(chmod(d.path.c_str(), 0755), 0);
        for (const char* name : {"/t", "/t/a.txt", "/t/sub", "/t/sub/b.txt", "/t/z",
                                 "/t/z/c.txt"})
          ASSERT_EQ(chown((d.path + name).c_str(), 65534, 65534), 0);
        as_nobody = [] {
          if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
        };
      } else {
        ASSERT_EQ(chmod((d / "t/locked").c_str(), 0), 0);
      }
      note = "t/locked\tPermission denied\n";
    } else {
      ASSERT_EQ(symlink("nowhere", (d / "t/sub/dangling").c_str()), 0);
    }
    const run_result r = run_zamplet(args, {.cwd = d.path, .in_child = as_nobody});
    SCOPED_TRACE(r.err);
    EXPECT_EQ(r.err, note);
    EXPECT_EQ(r.status, note.empty() ? 0 : 1);
    EXPECT_EQ(sorted_lines(r.out), (strings{"t/a.txt 1", "t/sub/b.txt 1", "t/z/c.txt 1"}));
    for (const char* name : {"t/a.txt", "t/sub/b.txt", "t/z/c.txt"})
      EXPECT_EQ(read_file(d / name), "ab\n") << name;
  }
}

// An entry that another program renames away after the walk read its
// directory and before it looked at it was never looked at: the note says
// which, the walk goes on, and the run ends with status 1.  The run is held
// writing its first file's name (the directory has been read by then) while
// the last entry in the directory's order goes, or becomes a symbolic link
// that leads nowhere, which holds nothing to rewrite.  A file the run wrote,
// renamed by another program into the last directory, which the walk has
// yet to reach, is met again there and passed over: it holds its
// replacement once.
TEST(RecursiveEntries, EntryGoneBeforeTheWalkLooksIsSaid) {
  enum class change { dir_renamed, file_renamed, now_dangling, new_file_moved_ahead };
  for (change c : {change::dir_renamed, change::file_renamed, change::now_dangling,
                   change::new_file_moved_ahead}) {
    SCOPED_TRACE(static_cast<int>(c));
    const bool moved_ahead = c == change::new_file_moved_ahead;
    const bool dirs = c == change::dir_renamed || moved_ahead;
    temp_dir d;
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    for (const char* name : {"e0", "e1", "e2", "e3"}) {
      const std::string entry = d / "t/" + name;
      if (dirs) {
        ASSERT_EQ(mkdir(entry.c_str(), 0755), 0);
      }
      write_file(dirs ? entry + "/f" : entry, "a\n");
    }
    strings order;  // the walk's order: the directory's own
    DIR* dir = opendir((d / "t").c_str());
    for (dirent* e; (e = readdir(dir)) != nullptr;)
      if (e->d_name[0] != '.') order.push_back(e->d_name);
    closedir(dir);
    const std::string first = "t/" + order.front() + (dirs ? "/f" : "");
    const std::string last = "t/" + order.back();

    paused_run run({"-r", "a", "ab", "t"}, d.path);
    ASSERT_TRUE(
        wait_until([&] { return waits_to_write(run.pid, 1) && exists(d / first + ".lock"); }));
    std::string seen;
    if (moved_ahead) {
      // Let go until the first file's count is out: its new file is made.
      char page[4096];
      while (seen.find(first + " 1\n") == std::string::npos) {
        const ssize_t n = read(run.out, page, sizeof page);
        ASSERT_GT(n, 0);
        seen.append(page, static_cast<size_t>(n));
        ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1); }));
      }
      seen.erase(0, static_cast<size_t>(run.prefilled));
      run.prefilled = 0;
      ASSERT_EQ(rename((d / first).c_str(), (d / last + "/g").c_str()), 0);
    } else if (c == change::now_dangling) {
      ASSERT_EQ(unlink((d / last).c_str()), 0);
      ASSERT_EQ(symlink("nowhere", (d / last).c_str()), 0);
    } else {
      ASSERT_EQ(rename((d / last).c_str(), (d / "moved").c_str()), 0);
    }
    run_result r = run.finish();
    r.out.insert(0, seen);
    const std::string note = c == change::now_dangling || moved_ahead
                                 ? ""
                                 : last + "\tNo such file or directory\n";
    strings lines;
    for (size_t i = 0; i + 1 < order.size() + (moved_ahead ? 1 : 0); ++i)
      lines.push_back("t/" + order[i] + (dirs ? "/f" : "") + " 1");
    std::sort(lines.begin(), lines.end());
    if (moved_ahead) {
      EXPECT_EQ(read_file(d / last + "/g"), "ab\n");
    }
    EXPECT_EQ(sorted_lines(r.out), lines);
    EXPECT_EQ(r.err, note);
    EXPECT_EQ(r.status, note.empty() ? 0 : 1);
    if (c != change::now_dangling && !moved_ahead) {
      EXPECT_EQ(read_file(d / (dirs ? "moved/f" : "moved")), "a\n");
    }
  }
}

// --- Intermediate copies -----------------------------------------------------

TEST(RecursiveLocks, LockNamedFileReported) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  write_file(d / "t/x.lock", "foo\n");
  write_file(d / "t/a.txt", "foo\n");
  auto r = run_zamplet({"-r", "foo", "bar", "t"}, {.cwd = d.path});
  EXPECT_TRUE(ran(r, "t/a.txt 1\n", "t/x.lock\tfile didn't change! Try -t option!\n", 0));
  EXPECT_EQ(read_file(d / "t/x.lock"), "foo\n");
  EXPECT_EQ(read_file(d / "t/a.txt"), "bar\n");
}

TEST(RecursiveLocks, KeptCopiesMakeSecondRunBusy) {
  temp_dir d;
  make_tree(d);
  // -t is not used in this mode: the copies are path.lock.
  auto r = run_zamplet({"-l", "-t", "scratch", "-r", "foo", "bar", "t"}, {.cwd = d.path});
  EXPECT_EQ(sorted_lines(r.out), (strings{"t/sub/a.txt 2", "t/sub/deep/b.txt 0", "t/top.txt 1"}));
  // A copy met again while its directory is still read is reported.
  for (const auto& line : sorted_lines(r.err)) {
    EXPECT_NE(line.find(".lock\tfile didn't change! Try -t option!"), std::string::npos) << line;
  }
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "t/sub/a.txt.lock"), "foo foo\n");
  EXPECT_EQ(read_file(d / "t/top.txt.lock"), "foo\n");
  // b.txt holds no occurrence: left as it is, it gets no copy.
  EXPECT_EQ(tree_files(d / "t"),
            (strings{"sub/a.txt", "sub/a.txt.lock", "sub/deep/b.txt", "top.txt", "top.txt.lock"}));
  EXPECT_FALSE(exists(d / "scratch"));

  r = run_zamplet({"-r", "bar", "baz", "t"}, {.cwd = d.path});
  EXPECT_EQ(r.out, "t/sub/deep/b.txt 0\n");
  strings expected;
  for (const char* path : {"t/top.txt", "t/sub/a.txt"}) {
    expected.push_back(std::string(path) + "\tfile didn't change! " + path +
                       ".lock exists. Try later!");
    expected.push_back(std::string(path) + ".lock\tfile didn't change! Try -t option!");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted_lines(r.err), expected);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(d / "t/top.txt"), "bar\n");
  EXPECT_EQ(read_file(d / "t/sub/a.txt"), "bar bar\n");
  EXPECT_EQ(read_file(d / "t/sub/a.txt.lock"), "foo foo\n");
}

// A copy that cannot be opened still marks its file as busy.
TEST(RecursiveLocks, DanglingLockMeansBusy) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  write_file(d / "t/a.txt", "foo\n");
  ASSERT_EQ(symlink("nowhere", (d / "t/a.txt.lock").c_str()), 0);
  auto r = run_zamplet({"-r", "foo", "bar", "t"}, {.cwd = d.path});
  EXPECT_TRUE(ran(r, "", "t/a.txt\tfile didn't change! t/a.txt.lock exists. Try later!\n", 0));
  EXPECT_EQ(read_file(d / "t/a.txt"), "foo\n");
  EXPECT_EQ(tree_files(d / "t"), (strings{"a.txt", "a.txt.lock"}));
}

// Repositories within repositories: a submodule and a worktree, whose .git
// is a file that says where the repository lies, and symbolic links to a
// .git directory or file under other names, made before and after it, so
// that the walk meets a link on either side of its target.  With
// --exclude-vcs nothing of any repository is even looked at, and each stays
// sound; the user's files are rewritten, and -I passes over a binary file.
TEST(RecursiveEntries, RepositoriesAndBinaryFilesAreLeftOut) {
  if (system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "git is not installed";
  temp_dir d;
  for (const char* dir : {"lib", "main"}) ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0);
  write_file(d / "lib/lib.txt", "widget\n");
  write_file(d / "main/a.txt", "widget\n");
  write_file(d / "main/img.bin", std::string("widget\0", 7) + "widget\n");
  ASSERT_EQ(symlink(".git", (d / "main/before").c_str()), 0);
  const std::string git = "git -c user.email=t@t -c user.name=t -c protocol.file.allow=always ";
  const std::string in_d = "cd '" + d.path + "' && ";
  std::string said;
  ASSERT_TRUE(shell(in_d + "cd lib && " + git + "init -q && " + git + "add . && " + git +
                        "commit -q -m widget && cd ../main && " + git + "init -q && " + git +
                        "remote add widget /widget && " + git + "add a.txt img.bin && " + git +
                        "commit -q -m widget && " + git + "submodule add -q ../lib libwidget && " +
                        git + "commit -q -m lib && " + git + "worktree add -q ../wt-widget",
                    &said))
      << said;
  ASSERT_EQ(symlink(".git", (d / "main/after").c_str()), 0);
  ASSERT_EQ(symlink("libwidget/.git", (d / "main/pointer").c_str()), 0);
  ASSERT_EQ(symlink("../main/pointer", (d / "lib/chain").c_str()), 0);
  // Every file of every repository, the .git files too.
  const std::string sums =
      in_d + "find . -name .git | while read -r g; do find \"$g\" -type f; done | sort | "
             "xargs md5sum";
  std::string before, after;
  ASSERT_TRUE(shell(sums, &before)) << before;
  for (const char* file : {"  ./main/libwidget/.git\n", "  ./wt-widget/.git\n"})
    ASSERT_NE((before + "\n").find(file), std::string::npos) << file;

  auto r = run_zamplet({"-r", "--exclude-vcs", "-I", "-w", "widget", "gadget", "."},
                       {.cwd = d.path});
  EXPECT_EQ(sorted_lines(r.out),
            (strings{"./lib/lib.txt 1", "./main/.gitmodules 2", "./main/a.txt 1",
                     "./main/libwidget/lib.txt 1", "./wt-widget/.gitmodules 2",
                     "./wt-widget/a.txt 1"}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(shell(sums, &after));
  EXPECT_EQ(after, before);
  EXPECT_EQ(read_file(d / "main/img.bin"), std::string("widget\0", 7) + "widget\n");
  for (const auto& [repository, changes] : std::vector<std::pair<std::string, std::string>>{
           {"main", " M .gitmodules\n M a.txt\n M libwidget\n?? after\n?? before\n?? pointer"},
           {"main/libwidget", " M lib.txt"},
           {"wt-widget", " M .gitmodules\n M a.txt"},
           {"lib", " M lib.txt\n?? chain"}}) {
    std::string status;
    EXPECT_TRUE(shell(in_d + "cd " + repository + " && git fsck --no-progress 2>&1 && " +
                          "git status --porcelain",
                      &status));
    EXPECT_EQ(status, changes) << repository;
  }
}

// A rename that keeps a group, over a tree: the run rewrites every file,
// and its preview, applied with patch -p0 to another copy, gives the same.
TEST(RecursiveTree, RenameKeepingAGroupAndItsPreview) {
  temp_dir d;
  for (const char* dir : {"run", "run/lib", "run/lib/vtls", "preview", "preview/lib",
                          "preview/lib/vtls"})
    ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"lib/easy.c", "Curl_easy_init(data);\nCurl_init_done(x);\n"},
      {"lib/vtls/ssl.c", "if(Curl_ssl_init()) return Curl_ssl_init (1);\n"}};
  for (const auto& [name, text] : files)
    for (const char* copy : {"run/", "preview/"}) write_file(d / (copy + name), text);
  const strings args = {"-r", "--backrefs", "-e", "Curl_([a-z]+)_init\\(", "Curl_\\1_setup(",
                        "lib"};
  auto r = run_zamplet(args, {.cwd = d / "run"});
  EXPECT_EQ(sorted_lines(r.out), (strings{"lib/easy.c 1", "lib/vtls/ssl.c 1"}));
  EXPECT_TRUE(ran(r, r.out, "", 0));
  EXPECT_EQ(read_file(d / "run/lib/easy.c"), "Curl_easy_setup(data);\nCurl_init_done(x);\n");
  EXPECT_EQ(read_file(d / "run/lib/vtls/ssl.c"),
            "if(Curl_ssl_setup()) return Curl_ssl_init (1);\n");
  strings preview = args;
  preview.insert(preview.begin(), "--diff");
  auto diff = run_zamplet(preview, {.cwd = d / "preview"});
  EXPECT_EQ(diff.status, 0);
  write_file(d / "p.diff", diff.out);
  if (system("patch --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "patch is not installed";
  std::string said;
  ASSERT_TRUE(shell("cd '" + (d / "preview") + "' && patch -s -p0 < ../p.diff", &said)) << said;
  for (const auto& [name, text] : files)
    EXPECT_EQ(read_file(d / ("preview/" + name)), read_file(d / ("run/" + name))) << name;
}

// With --exclude-vcs-ignores what git leaves out is never opened: ignored
// directories and files at any depth, the global file's patterns too; the
// tracked files and the untracked ones git would show change, and git
// status shows nothing else.
TEST(RecursiveEntries, WhatGitIgnoresIsLeftOut) {
  if (system("git --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "git is not installed";
  temp_dir d;
  for (const char* dir : {"repo", "repo/node_modules", "repo/node_modules/x", "repo/build",
                          "repo/src", "xdg", "xdg/git"})
    ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0);
  for (const char* file : {"node_modules/x/i.js", "build/o.txt", "top.log", "src/m.c",
                           "src/new.c", "src/keep.log", "src/local.tmp", "README"})
    write_file(d / ("repo/" + std::string(file)), "widget\n");
  write_file(d / "repo/.gitignore", "node_modules/\n/build\n*.log\n");
  write_file(d / "repo/src/.gitignore", "!keep.log\n");
  write_file(d / "xdg/git/ignore", "*.tmp\n");
  std::string said;
  ASSERT_TRUE(shell("cd '" + (d / "repo") + "' && git init -q && git add .gitignore src/m.c "
                    "README && git -c user.email=t@t -c user.name=t commit -q -m widget", &said))
      << said;
  auto r = run_zamplet({"-r", "--exclude-vcs-ignores", "-w", "widget", "gadget", "repo"},
                       {.cwd = d.path, .in_child = [&] {
                         setenv("XDG_CONFIG_HOME", (d / "xdg").c_str(), 1);
                       }});
  EXPECT_EQ(sorted_lines(r.out), (strings{"repo/.gitignore 0", "repo/README 1",
                                          "repo/src/.gitignore 0", "repo/src/keep.log 1",
                                          "repo/src/m.c 1", "repo/src/new.c 1"}));
  EXPECT_TRUE(ran(r, r.out, "", 0));
  for (const char* file : {"node_modules/x/i.js", "build/o.txt", "top.log", "src/local.tmp"})
    EXPECT_EQ(read_file(d / ("repo/" + std::string(file))), "widget\n") << file;
  std::string status;
  EXPECT_TRUE(shell("cd '" + (d / "repo") + "' && XDG_CONFIG_HOME='" + (d / "xdg") +
                        "' git status --porcelain", &status));
  EXPECT_EQ(status, " M README\n M src/m.c\n?? src/.gitignore\n?? src/keep.log\n?? src/new.c");
}

// --- Failures ------------------------------------------------------------------

// A file whose write fails keeps its old content, the walk goes on to the
// others, and the run ends with status 1.
TEST(RecursiveFailures, WriteErrorMakesStatusOne) {
  temp_dir d;
  make_tree(d);
  const std::string big = std::string(5000, 'x') + "foo\n";
  write_file(d / "t/sub/big.txt", big);
  auto r = run_zamplet({"-r", "foo", "bar", "t"}, {.cwd = d.path, .in_child = [] {
                                                     signal(SIGXFSZ, SIG_IGN);
                                                     struct rlimit limit = {100, 100};
                                                     setrlimit(RLIMIT_FSIZE, &limit);
                                                   }});
  EXPECT_EQ(sorted_lines(r.out),
            (strings{"t/sub/a.txt 2", "t/sub/big.txt", "t/sub/deep/b.txt 0", "t/top.txt 1"}));
  EXPECT_EQ(r.err, "t/sub/big.txt\twrite error:File too large\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(read_file(d / "t/sub/big.txt") == big);
  EXPECT_EQ(read_file(d / "t/top.txt"), "bar\n");
  EXPECT_EQ(tree_files(d / "t"),
            (strings{"sub/a.txt", "sub/big.txt", "sub/deep/b.txt", "top.txt"}));
}

// --- Looks made ahead on worker threads -------------------------------------

namespace {

// Keeps the run to the first core it may use, where it starts no workers.
void on_one_core() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) _exit(126);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) {
      CPU_ZERO(&set);
      CPU_SET(cpu, &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(126);
      return;
    }
}

// t/ with four directories of 100 files, every ninth with occurrences of
// "needle", and beside them what a look must not settle on its own: a link
// to a file beside it and two hard links of one file (each rewritten once),
// a file another process holds locked, a binary file, a .lock file and a
// FIFO.  The descriptor of the lock comes back in *locked.
void make_many(const temp_dir& d, int* locked) {
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  for (const char* dir : {"t/d0", "t/d1", "t/d2", "t/d3", "t/pair"})
    ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0);
  for (int i = 0; i < 400; ++i) {
    std::string text = "line " + std::to_string(i) + "\n";
    if (i % 9 == 0) text += "a needle, and a neeedle\n";
    write_file(d / "t/d" + std::to_string(i % 4) + "/f" + std::to_string(i), text);
  }
  write_file(d / "t/pair/target", "needle\n");
  ASSERT_EQ(symlink("target", (d / "t/pair/link").c_str()), 0);
  write_file(d / "t/pair/hard1", "needle\n");
  ASSERT_EQ(link((d / "t/pair/hard1").c_str(), (d / "t/pair/hard2").c_str()), 0);
  write_file(d / "t/d1/locked", "needle\n");
  write_file(d / "t/d2/binary", std::string("needle\0", 7));
  write_file(d / "t/d2/old.lock", "needle\n");
  ASSERT_EQ(mkfifo((d / "t/d3/fifo").c_str(), 0644), 0);
  *locked = open((d / "t/d1/locked").c_str(), O_RDWR | O_CLOEXEC);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(*locked, F_SETLK, &lock), 0);
}

// Every file below `dir` with its content, a symbolic link with its target.
std::string tree_contents(const std::string& dir) {
  std::string all;
  for (const std::string& name : tree_files(dir)) {
    const std::string path = dir + "/" + name;
    char target[256];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    const bool fifo = S_ISFIFO(lstat_of(path).st_mode);
    all += name + ": " +
           (n >= 0 ? "-> " + std::string(target, static_cast<size_t>(n))
                   : fifo ? "fifo" : read_file(path)) + "\n";
  }
  return all;
}

}  // namespace

// With the looks made ahead on every core the run says and does exactly what
// it does on one core, where it has no workers: every byte of both streams in
// the same order, the status and every file.  The files of the listed mode
// are the tree's own, in the order the tree lists them.
TEST(RecursiveLooks, EveryCoreSaysAndDoesWhatOneCoreDoes) {
  struct row {
    strings options;
    bool listed = false;
  };
  const row rows[] = {
      {{"-r", "-w", "needle", "pin"}},
      {{"-r", "ne*dle", "pin"}},
      {{"-r", "-l", "-I", "-w", "needle", "pin"}},
      {{"-r", "-s", "-e", "ne+dle", "pin"}},
      {{"-r", "--diff", "-w", "needle", "pin"}},
      {{"-w", "needle", "pin"}, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(::testing::PrintToString(r.options));
    temp_dir one, all;
    int held_one = -1, held_all = -1;
    make_many(one, &held_one);
    make_many(all, &held_all);
    strings args = r.options;
    if (r.listed) {
      for (const std::string& name : tree_files(one / "t")) args.push_back("t/" + name);
    } else {
      args.push_back("t");
    }
    const run_result single = run_zamplet(args, {.cwd = one.path, .in_child = on_one_core});
    const run_result ahead = run_zamplet(args, {.cwd = all.path});
    close(held_one);
    close(held_all);
    EXPECT_TRUE(ran(ahead, single.out, single.err, single.status));
    const bool diff = r.options[1] == "--diff";
    EXPECT_NE(single.out.find(diff ? "+a pin" : " 1\n"), std::string::npos);
    EXPECT_EQ(tree_contents(all / "t"), tree_contents(one / "t"));
  }
}

// A file that changes after a worker looked at it, and before its turn, is
// rewritten as it then is: the run is held writing a line while the files
// after it in the walk's order get an occurrence.
TEST(RecursiveLooks, FileChangedAfterItsLookIsRewrittenInItsTurn) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  for (int i = 0; i < 40; ++i) write_file(d / "t/f" + std::to_string(100 + i), "x\n");
  strings order;  // the walk's order: the directory's own
  DIR* dir = opendir((d / "t").c_str());
  for (dirent* e; (e = readdir(dir)) != nullptr;)
    if (e->d_name[0] != '.') order.push_back(e->d_name);
  closedir(dir);
  // Ten lines of "t/fNNN 0\n" fit; the run waits with the eleventh name.
  paused_run run({"-r", "-w", "needle", "pin", "t"}, d.path, 1, 90);
  ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1); }));
  for (size_t i = 11; i < order.size(); ++i) write_file(d / "t/" + order[i], "needle\n");
  const run_result r = run.finish();
  std::string expected;
  for (size_t i = 0; i < order.size(); ++i)
    expected += "t/" + order[i] + (i < 11 ? " 0\n" : " 1\n");
  EXPECT_TRUE(ran(r, expected, "", 0));
  for (size_t i = 11; i < order.size(); ++i) EXPECT_EQ(read_file(d / "t/" + order[i]), "pin\n");
}
