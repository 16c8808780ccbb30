// End-to-end tests of interrupt recovery: SIGINT while a file is rewritten in
// place, or while filter mode waits for input.
//
// The program is run by a fork/exec helper of this file that keeps the pipes
// unread, so that it can be stopped at a known point: with -v the chunk trace
// fills the unread standard error pipe and the program blocks in a write in
// the middle of the rewrite.  The tests wait (bounded polling) until
// /proc shows it sleeping in that write, then send SIGINT.  No fixed sleep
// decides any outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

const std::string STOPPED =
    " recovered\nOperation stopped. You pressed Ctrl-C or received SIGINT.\n";

using clock_type = std::chrono::steady_clock;

// A running program with the parent's ends of its three pipes.
struct child {
  pid_t pid = -1;
  int in = -1;   // write end of standard input, -1 once closed
  int out = -1;  // read end of standard output
  int err = -1;  // read end of standard error
};

struct finished {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Starts the program in `cwd`.  Standard input stays open (and silent) when
// `keep_stdin`; otherwise it is at its end from the start.
child spawn(const std::vector<std::string>& args, const std::string& cwd, bool keep_stdin) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
    throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(signo, SIG_DFL);
    if (chdir(cwd.c_str()) < 0) _exit(126);
    exec_zamplet(args);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  child c{pid, in[1], out[0], err[0]};
  if (!keep_stdin) {
    close(c.in);
    c.in = -1;
  }
  return c;
}

// Reads both pipes to their ends and reaps the program.  When `on_tick` is
// given, it is called after each read and whenever the program has produced
// nothing for `tick`.
finished drain(child& c, const std::function<void()>& on_tick = {},
               std::chrono::microseconds tick = std::chrono::microseconds(200)) {
  finished f;
  int fds_open[2] = {c.out, c.err};
  while (fds_open[0] >= 0 || fds_open[1] >= 0) {
    pollfd fds[2];
    int n = 0;
    for (int fd : fds_open)
      if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
    const timespec timeout{0, static_cast<long>(tick.count()) * 1000};
    const int ready = ppoll(fds, static_cast<nfds_t>(n), on_tick ? &timeout : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < n && ready > 0; ++i) {
      if (fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t r = read(fds[i].fd, buf, sizeof buf);
      int& slot = fds[i].fd == fds_open[0] ? fds_open[0] : fds_open[1];
      if (r <= 0) {
        close(slot);
        slot = -1;
        continue;
      }
      (slot == c.out ? f.out : f.err).append(buf, static_cast<size_t>(r));
    }
    if (on_tick) on_tick();
  }
  if (c.in >= 0) close(c.in);
  c.in = -1;
  f.status = reap(c.pid);
  return f;
}

std::string proc_file(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// True once the program catches SIGINT (its handler is installed), or once it
// is gone or a zombie, where nothing more can be learnt.
bool catches_interrupt_or_ended(pid_t pid) {
  const std::string status = proc_file(pid, "status");
  if (status.empty() || status.find("State:\tZ") != std::string::npos) return true;
  const size_t at = status.find("SigCgt:\t");
  if (at == std::string::npos) return true;
  const unsigned long long mask = strtoull(status.c_str() + at + 8, nullptr, 16);
  return (mask >> (SIGINT - 1)) & 1u;
}

// Polls `condition` every millisecond for at most 30 seconds.
bool wait_for(const std::function<bool()>& condition) {
  const auto deadline = clock_type::now() + std::chrono::seconds(30);
  while (clock_type::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

// About 3 MB of lines, each with one "OLD" in it.
std::string big_content() {
  std::string s;
  for (int i = 0; s.size() < 3'000'000; ++i) s += "line " + std::to_string(i) + " has OLD in it\n";
  return s;
}

// Runs `args` on big.txt in `dir`, waits until the program is blocked writing
// its trace mid-rewrite of big.txt (moved aside to `aside`), sends `signo`.
// `meanwhile`, if given, runs while it is blocked, before the signal.
finished interrupt_blocked_rewrite(const temp_dir& dir, const std::vector<std::string>& args,
                                   const std::string& aside, int signo = SIGINT,
                                   const std::function<void()>& meanwhile = {}) {
  child c = spawn(args, dir.path, false);
  const bool blocked = wait_for([&] {
    return sleeping_in(c.pid, SYS_write, STDERR_FILENO) && exists(dir / aside) &&
           exists(dir / "big.txt");
  });
  EXPECT_TRUE(blocked) << "the program never blocked in the middle of big.txt";
  if (meanwhile) meanwhile();
  kill(c.pid, signo);
  return drain(c);
}

}  // namespace

TEST(Interrupt, BlockedRewriteRestoresFile) {
  temp_dir dir;
  const std::string old_content = big_content();
  write_file(dir / "big.txt", old_content);

  const finished f =
      interrupt_blocked_rewrite(dir, {"-v", "OLD", "NEW", "big.txt"}, "big.txt.lock");

  EXPECT_EQ(f.status, 1);
  EXPECT_TRUE(read_file(dir / "big.txt") == old_content) << "big.txt differs from its old content";
  EXPECT_FALSE(exists(dir / "big.txt.lock"));
  EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"big.txt"});
  EXPECT_EQ(f.out, "big.txt");
  // The trace of the first chunks, then the message; the last trace line may
  // be cut where the blocked write was interrupted.
  EXPECT_EQ(f.err.rfind("\nLoop 1: Read: 1023, Counter: 0\n\tWrite: 1023, Counter: ", 0), 0u)
      << f.err.substr(0, 80);
  ASSERT_GE(f.err.size(), STOPPED.size() + 65536 / 2);
  EXPECT_EQ(f.err.substr(f.err.size() - STOPPED.size()), STOPPED);
  EXPECT_EQ(f.err.find(" recovered"), f.err.size() - STOPPED.size());
}

// Every stop signal restores the file, and says which signal it was.  When
// another program saved the file meanwhile (an editor: by a rename over it,
// or by deleting and creating it), its file stays, and the old content is
// kept under the copy's name, which the message gives.
TEST(Interrupt, EveryStopSignalRestoresFile) {
  const std::pair<int, std::string> rows[] = {
      {SIGINT, "Operation stopped. You pressed Ctrl-C or received SIGINT.\n"},
      {SIGTERM, "Operation stopped. Received SIGTERM.\n"},
      {SIGHUP, "Operation stopped. Received SIGHUP.\n"},
      {SIGQUIT, "Operation stopped. Received SIGQUIT.\n"},
  };
  enum class editor { none, renames_over, recreates };
  const std::string old_content = big_content();
  for (const auto& [signo, stop_line] : rows) {
    for (editor e : {editor::none, editor::renames_over, editor::recreates}) {
      SCOPED_TRACE(stop_line + " editor " + std::to_string(static_cast<int>(e)));
      temp_dir dir;
      write_file(dir / "big.txt", old_content);
      const auto save = [&] {
        if (e == editor::none) return;
        if (e == editor::renames_over) {
          write_file(dir / "big.txt.new", "the editor's save\n");
          ASSERT_EQ(rename((dir / "big.txt.new").c_str(), (dir / "big.txt").c_str()), 0);
        } else {
          ASSERT_EQ(unlink((dir / "big.txt").c_str()), 0);
          write_file(dir / "big.txt", "the editor's save\n");
        }
      };
      const finished f = interrupt_blocked_rewrite(dir, {"-v", "OLD", "NEW", "big.txt"},
                                                   "big.txt.lock", signo, save);
      EXPECT_EQ(f.status, 1);
      EXPECT_EQ(f.out, "big.txt");
      const std::string message =
          e == editor::none
              ? " recovered\n" + stop_line
              : "\nbig.txt\tfile didn't change! Its old content is in big.txt.lock\n" + stop_line;
      ASSERT_GE(f.err.size(), message.size());
      EXPECT_EQ(f.err.substr(f.err.size() - message.size()), message);
      if (e == editor::none) {
        EXPECT_TRUE(read_file(dir / "big.txt") == old_content) << "big.txt is not its old content";
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"big.txt"});
      } else {
        EXPECT_EQ(read_file(dir / "big.txt"), "the editor's save\n");
        EXPECT_TRUE(read_file(dir / "big.txt.lock") == old_content) << "the old content is lost";
        EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"big.txt", "big.txt.lock"}));
      }
    }
  }
}

// An interrupt is never held back: not while the run is blocked writing the
// line end after a count (the count is out, so the file keeps its new
// content), nor while it is blocked reporting a file it skips.
TEST(Interrupt, NeverHeldBackWhileBlockedInAWrite) {
  {
    temp_dir dir;
    write_file(dir / "a.txt", "OLD OLD OLD\n");
    paused_run run({"OLD", "NEW", "a.txt"}, dir.path, 1, static_cast<int>(strlen("a.txt")));
    // The count waits for room in standard output, which is where a stop
    // may come: the count is not out, so the old content goes back.
    EXPECT_TRUE(wait_for([&] { return run.filled(4096) && proc_state(run.pid) == 'S'; }));
    kill(run.pid, SIGINT);
    // Ended before anything is read: a drained pipe would let the write go on.
    EXPECT_TRUE(wait_for([&] { return proc_state(run.pid) == 'Z'; }));
    const run_result r = run.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.txt");
    EXPECT_EQ(r.err, STOPPED);
    EXPECT_EQ(read_file(dir / "a.txt"), "OLD OLD OLD\n");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"a.txt"});
  }
  {
    temp_dir dir;
    write_file(dir / "a.txt", "OLD\n");
    write_file(dir / "b.txt", "OLD\n");
    write_file(dir / "b.txt.lock", "busy\n");
    write_file(dir / "c.txt", "OLD\n");
    paused_run run({"OLD", "NEW", "a.txt", "b.txt", "c.txt"}, dir.path, 2, 0);
    EXPECT_TRUE(wait_for([&] { return sleeping_in(run.pid, SYS_write, 2); }));
    kill(run.pid, SIGINT);
    EXPECT_TRUE(wait_for([&] { return proc_state(run.pid) == 'Z'; }));
    const run_result r = run.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.txt 1\n");
    // Standard error took nothing, so the message was dropped, not waited for.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "a.txt"), "NEW\n");
    EXPECT_EQ(read_file(dir / "c.txt"), "OLD\n");
  }
}

TEST(Interrupt, EarlierFilesKeepNewContentLaterOnesUntouched) {
  temp_dir dir;
  const std::string big = big_content();
  write_file(dir / "a.txt", "OLD one\nOLD two\n");
  write_file(dir / "big.txt", big);
  write_file(dir / "c.txt", "OLD three\n");

  const finished f = interrupt_blocked_rewrite(
      dir, {"-v", "OLD", "NEW", "a.txt", "big.txt", "c.txt"}, "big.txt.lock");

  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(read_file(dir / "a.txt"), "NEW one\nNEW two\n");
  EXPECT_TRUE(read_file(dir / "big.txt") == big) << "big.txt differs from its old content";
  EXPECT_EQ(read_file(dir / "c.txt"), "OLD three\n");
  EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.txt", "big.txt", "c.txt"}));
  EXPECT_EQ(f.out, "a.txt 2\nbig.txt");
  ASSERT_GE(f.err.size(), STOPPED.size());
  EXPECT_EQ(f.err.substr(f.err.size() - STOPPED.size()), STOPPED);
}

TEST(Interrupt, NamedIntermediateCopyIsMovedBack) {
  temp_dir dir;
  const std::string big = big_content();
  write_file(dir / "big.txt", big);

  const finished f =
      interrupt_blocked_rewrite(dir, {"-v", "-t", "aside.tmp", "OLD", "NEW", "big.txt"},
                                "aside.tmp");

  EXPECT_EQ(f.status, 1);
  EXPECT_TRUE(read_file(dir / "big.txt") == big) << "big.txt differs from its old content";
  EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"big.txt"});
  EXPECT_EQ(f.out, "big.txt");
  ASSERT_GE(f.err.size(), STOPPED.size());
  EXPECT_EQ(f.err.substr(f.err.size() - STOPPED.size()), STOPPED);
}

TEST(Interrupt, FilterModeWaitingForInputStops) {
  temp_dir dir;
  child c = spawn({"OLD", "NEW"}, dir.path, true);
  EXPECT_TRUE(wait_for([&] { return sleeping_in(c.pid, SYS_read, STDIN_FILENO); }));
  kill(c.pid, SIGINT);
  const finished f = drain(c);  // closes standard input only after the end
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(f.err, STOPPED);
  EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(Interrupt, QuietFilterModeStopsSilently) {
  temp_dir dir;
  child c = spawn({"-q", "OLD", "NEW"}, dir.path, true);
  EXPECT_TRUE(wait_for([&] { return sleeping_in(c.pid, SYS_read, STDIN_FILENO); }));
  kill(c.pid, SIGINT);
  const finished f = drain(c);
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(f.err, "");
}

// Interrupts at random moments: the file must always hold either all of its
// old content (status 1) or all of its new content (status 0).  The number
// of trials comes from ZAMPLET_STRESS_TRIALS (60 by default).
TEST(Interrupt, RandomMomentsNeverLeavePartialFile) {
  int trials = 60;
  if (const char* env = getenv("ZAMPLET_STRESS_TRIALS"); env != nullptr && *env != '\0')
    trials = atoi(env);
  unsigned seed = 20240611;
  if (const char* env = getenv("ZAMPLET_STRESS_SEED"); env != nullptr && *env != '\0')
    seed = static_cast<unsigned>(strtoul(env, nullptr, 10));

  // Words of varied lengths; "word" grows to "WORDWORDWORD".
  std::string old_content;
  std::mt19937 words(7);
  const char* vocabulary[] = {"alpha", "word", "be", "gamma", "wordy", "x", "delta"};
  while (old_content.size() < 3'000'000) {
    old_content += vocabulary[words() % 7];
    old_content += words() % 11 == 0 ? '\n' : ' ';
  }
  // Every fourth trial searches the file as one text.
  const std::vector<std::string> arg_sets[] = {
      {"-w", "word", "WORDWORDWORD", "big.txt"},
      {"--whole", "-w", "word", "WORDWORDWORD", "big.txt"}};

  // The reference runs give the new content and how long a run takes.
  finished references[2];
  std::string new_contents[2];
  auto run_time = clock_type::duration::zero();
  for (int k = 0; k < 2; ++k) {
    temp_dir ref;
    write_file(ref / "big.txt", old_content);
    const auto started = clock_type::now();
    child rc = spawn(arg_sets[k], ref.path, false);
    references[k] = drain(rc);
    run_time = std::max(run_time, clock_type::now() - started);
    ASSERT_EQ(references[k].status, 0) << references[k].err;
    new_contents[k] = read_file(ref / "big.txt");
    ASSERT_NE(new_contents[k], old_content);
  }

  // Delays up to twice a run, at most 30 ms, so that both outcomes occur.
  const long max_delay = std::min<long>(
      30'000, std::max<long>(
                  1'000,
                  2 * std::chrono::duration_cast<std::chrono::microseconds>(run_time).count()));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long> delay_us(0, max_delay);

  // Every third trial, an editor saves the file (by a rename over it) at a
  // random moment before the interrupt, unless the run ended before: its
  // save must survive.
  const std::string saved = "the editor's save, one word\n";
  const std::string saved_rewritten = "the editor's save, one WORDWORDWORD\n";
  const std::string FINAL = "\nOperation stopped. You pressed Ctrl-C or received SIGINT.\n";
  int stopped = 0, completed = 0, stopped_after = 0, edited = 0, violations = 0;
  temp_dir dir;
  for (int t = 0; t < trials; ++t) {
    write_file(dir / "big.txt", old_content);
    const long delay = delay_us(rng);
    const bool editor = t % 3 == 2;
    const long edit_delay =
        delay > 0 ? static_cast<long>(rng() % static_cast<unsigned long>(delay)) : 0;
    const int k = t % 4 == 1 ? 1 : 0;
    const std::vector<std::string>& args = arg_sets[k];
    const finished& reference = references[k];
    const std::string& new_content = new_contents[k];
    const std::string& new_out = reference.out;
    child c = spawn(args, dir.path, false);
    // The delay counts from the moment the handler is in place: an interrupt
    // before that would just kill the program, which says nothing.
    wait_for([&] { return catches_interrupt_or_ended(c.pid); });
    const auto start = clock_type::now();
    const auto fire_at = start + std::chrono::microseconds(delay);
    const auto edit_at = start + std::chrono::microseconds(edit_delay);
    bool sent = false, saved_now = !editor;
    const finished f = drain(c, [&] {
      if (!saved_now && clock_type::now() >= edit_at) {
        write_file(dir / "big.txt.new", saved);
        rename((dir / "big.txt.new").c_str(), (dir / "big.txt").c_str());
        saved_now = true;
      }
      if (!sent && clock_type::now() >= fire_at) {
        kill(c.pid, SIGINT);
        sent = true;
      }
    });

    const std::string content = read_file(dir / "big.txt");
    const std::vector<std::string> names = list_dir(dir.path);
    const bool only_file = names == std::vector<std::string>{"big.txt"};
    const std::string without_end =
        new_out.empty() ? new_out : new_out.substr(0, new_out.size() - 1);
    bool ok = false;
    if (editor && saved_now) {
      // Whatever the run did, the editor's file is under the name (rewritten
      // when it came before the run's look), and an old content kept beside
      // it is whole.
      const std::string copy = exists(dir / "big.txt.lock") ? read_file(dir / "big.txt.lock") : "";
      ok = (content == saved || content == saved_rewritten) &&
           (copy.empty() || copy == old_content) &&
           (copy.empty() || f.err.find("Its old content is in big.txt.lock") != std::string::npos);
      ++edited;
    } else if (f.status == 1 && content == old_content && only_file) {
      // Stopped before the count: the old content is back, and nothing on
      // standard output says otherwise.
      ok = f.err == STOPPED && (f.out == "" || f.out == "big.txt");
      ++stopped;
    } else if (f.status == 0 && content == new_content && only_file) {
      ok = f.err == reference.err && f.out == new_out;
      ++completed;
    } else if (f.status == 1 && content == new_content && only_file) {
      // Stopped once the count was out: the rewrite is final.  An interrupt
      // is never ignored.
      // What the finished run says on standard error may be cut short
      // after any of its lines (the sum of what chunk boundaries cut comes
      // last).
      auto said_part_then = [&](const std::string& end) {
        if (f.err.size() < end.size() || f.err.compare(f.err.size() - end.size(), end.size(), end))
          return false;
        const std::string said = f.err.substr(0, f.err.size() - end.size());
        return reference.err.compare(0, said.size(), said) == 0 &&
               (said.empty() || said.back() == '\n');
      };
      ok = (f.out == without_end && f.err == FINAL) ||
           (f.out == new_out && (said_part_then(FINAL) || said_part_then(STOPPED)));
      ++stopped_after;
    }
    if (!ok) {
      ++violations;
      ADD_FAILURE() << "trial " << t << " (delay " << delay << " us, editor "
                    << (editor ? std::to_string(edit_delay) + " us" : "none") << "): status "
                    << f.status << ", " << content.size() << " bytes, " << names.size()
                    << " names, out \"" << f.out << "\", err \"" << f.err << "\"";
      if (violations >= 5) break;
    }
    for (const auto& name : names)
      if (name != "big.txt") unlink((dir / name).c_str());
  }
  std::cout << "[ stress   ] trials " << trials << ", seed " << seed << ", delays 0.." << max_delay
            << " us: stopped and restored " << stopped << ", completed " << completed
            << ", stopped after the count " << stopped_after << ", with an editor's save "
            << edited << ", violations " << violations << std::endl;
  EXPECT_EQ(violations, 0);
  EXPECT_GT(completed + stopped, 0);
}
