// End-to-end tests of the listed-files mode when something fails or gets in
// the way: a failed write puts the original back, and other runs and other
// programs never make a file lose its content.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

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
