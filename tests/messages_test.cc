// Unit tests of the message formatter and the note/fail entry points.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_support.h"
#include "support/state.h"
#include "support/support.h"

namespace {

__attribute__((format(printf, 3, 4))) std::string format(bool with_errno, int saved_errno,
                                                         const char* fmt, ...) {
  char line[zamplet::MESSAGE_MAX + 1];
  memset(line, 'Z', sizeof line);
  va_list args;
  va_start(args, fmt);
  int n = zamplet::format_message(line, fmt, args, with_errno, saved_errno);
  va_end(args);
  EXPECT_GE(n, 1);
  EXPECT_LE(n, zamplet::MESSAGE_MAX);
  return std::string(line, n > 0 ? static_cast<size_t>(n) : 0);
}

const std::string enoent = std::string(": ") + strerror(ENOENT);

}  // namespace

TEST(FormatMessage, PlainAndWithErrorSuffix) {
  EXPECT_EQ(format(false, ENOENT, "x %d\t%s", 5, "y"), "x 5\ty\n");
  EXPECT_EQ(format(true, ENOENT, "rename error"), "rename error" + enoent + "\n");
  EXPECT_EQ(format(true, 0, "e"), std::string("e: ") + strerror(0) + "\n");
  EXPECT_EQ(format(false, 0, "%s", ""), "\n");
}

TEST(FormatMessage, SuffixUsesSavedNumberNotCurrentErrno) {
  errno = EACCES;
  EXPECT_EQ(format(true, ENOENT, "f"), "f" + enoent + "\n");
}

TEST(FormatMessage, TrailingNewlineGivesEmptyLine) {
  EXPECT_EQ(format(false, 0, "?? wrong option ??\n"), "?? wrong option ??\n\n");
  EXPECT_EQ(format(true, ENOENT, "bad (%s)\n", "p"), "bad (p)\n" + enoent + "\n");
}

TEST(FormatMessage, LengthLimits) {
  const size_t max = zamplet::MESSAGE_MAX - 1;  // 4095
  const std::string full(max, 'a');
  EXPECT_EQ(format(true, ENOENT, "%s", full.c_str()), full + "\n");
  EXPECT_EQ(format(false, 0, "%s", full.c_str()), full + "\n");

  for (size_t len : {max - 1, max - 2, max - 5, max - enoent.size(), max - enoent.size() - 1}) {
    SCOPED_TRACE(len);
    const std::string text(len, 'b');
    std::string want = text + enoent;
    if (want.size() > max) want.resize(max);
    EXPECT_EQ(format(true, ENOENT, "%s", text.c_str()), want + "\n");
  }

  const std::string over(6000, 'c');
  EXPECT_EQ(format(false, 0, "%s", over.c_str()), std::string(max, 'c') + "\n");
  EXPECT_EQ(format(true, ENOENT, "%s", over.c_str()), std::string(max, 'c') + "\n");
  EXPECT_EQ(format(false, 0, "%s%s", full.c_str(), "\n"), full + "\n");
}

namespace {

struct child_result {
  int status = -1;
  std::string out, err;  // err empty when merged
};

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t r;
  while ((r = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(r));
  close(fd);
  return s;
}

// Runs `body` in a child with standard output and error on pipes (one pipe
// for both when `merge`); the child ends with _exit(0) unless `body` exits.
child_result in_child(bool merge, const std::function<void()>& body) {
  int out[2], err[2];
  if (pipe(out) < 0 || pipe(err) < 0) return {};
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(merge ? out[1] : err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    body();
    _exit(0);  // no flush: unflushed stdio data is lost
  }
  close(out[1]);
  close(err[1]);
  child_result r;
  r.out = drain(out[0]);  // small outputs: the pipes cannot fill up
  r.err = drain(err[0]);
  r.status = zamplet_test::reap(pid);
  return r;
}

}  // namespace

TEST(Messages, NoteFlushesStandardOutputFirst) {
  auto r = in_child(true, [] {
    zamplet::opt_quiet = 0;
    printf("name");
    zamplet::note("%s\tis directory", "d");
    printf(" 3");
    zamplet::note("second");
  });
  EXPECT_EQ(r.out, "named\tis directory\n 3second\n");
  EXPECT_EQ(r.status, 0);
}

TEST(Messages, NoteGoesToStandardError) {
  auto r = in_child(false, [] {
    zamplet::opt_quiet = 0;
    printf("out");
    zamplet::note("msg %d", 7);
  });
  EXPECT_EQ(r.out, "out");
  EXPECT_EQ(r.err, "msg 7\n");
}

TEST(Messages, FailExitsWithStatusOne) {
  auto r = in_child(true, [] {
    zamplet::opt_quiet = 0;
    printf("before ");
    zamplet::fail("Use not so long PATTERN !");
  });
  EXPECT_EQ(r.out, "before Use not so long PATTERN !\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Messages, FailErrnoUsesErrnoAtEntry) {
  auto r = in_child(false, [] {
    zamplet::opt_quiet = 0;
    errno = ENOENT;
    zamplet::fail_errno("%s error", "rename");
  });
  EXPECT_EQ(r.err, "rename error" + enoent + "\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Messages, QuietSilencesButStillFlushesAndExits) {
  auto note = in_child(false, [] {
    zamplet::opt_quiet = 1;
    printf("kept");
    zamplet::note("hidden");
  });
  EXPECT_EQ(note.out, "kept");
  EXPECT_EQ(note.err, "");
  EXPECT_EQ(note.status, 0);

  auto fail = in_child(false, [] {
    zamplet::opt_quiet = 1;
    printf("kept");
    zamplet::fail("hidden");
  });
  EXPECT_EQ(fail.out, "kept");
  EXPECT_EQ(fail.err, "");
  EXPECT_EQ(fail.status, 1);

  auto fail_errno = in_child(false, [] {
    zamplet::opt_quiet = 1;
    errno = EACCES;
    zamplet::fail_errno("hidden");
  });
  EXPECT_EQ(fail_errno.err, "");
  EXPECT_EQ(fail_errno.status, 1);
}
