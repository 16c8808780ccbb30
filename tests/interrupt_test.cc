// End-to-end tests of interrupt recovery: SIGINT while a file is rewritten in
// place, or while filter mode waits for input.
//
// The program is started by spawn(), whose pipes stay unread until the test
// drains them, so that it can be stopped at a known point: with -v the chunk
// trace fills the unread standard error pipe and the program blocks in a
// write in the middle of the rewrite.  The tests wait (bounded polling) until
// /proc shows it sleeping in that write, then send SIGINT.  No fixed sleep
// decides any outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <random>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

const std::string STOPPED =
    " recovered\nOperation stopped. You pressed Ctrl-C or received SIGINT.\n";

using clock_type = std::chrono::steady_clock;

// About 3 MB of lines, each with one "OLD" in it.
std::string big_content() {
  std::string s;
  for (int i = 0; s.size() < 3'000'000; ++i) s += "line " + std::to_string(i) + " has OLD in it\n";
  return s;
}

// Runs `args` on big.txt in `dir`, waits until the program is blocked writing
// its trace mid-rewrite of big.txt (moved aside to `aside`), sends `signo`.
// `meanwhile`, if given, runs while it is blocked, before the signal.
run_result interrupt_blocked_rewrite(const temp_dir& dir, const strings& args,
                                     const std::string& aside, int signo = SIGINT,
                                     const std::function<void()>& meanwhile = {}) {
  child c = spawn(args, dir.path, false);
  const bool blocked = wait_until([&] {
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

  const run_result f =
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
      const run_result f = interrupt_blocked_rewrite(dir, {"-v", "OLD", "NEW", "big.txt"},
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
    EXPECT_TRUE(wait_until([&] { return run.filled(4096) && proc_state(run.pid) == 'S'; }));
    kill(run.pid, SIGINT);
    // Ended before anything is read: a drained pipe would let the write go on.
    EXPECT_TRUE(wait_until([&] { return proc_state(run.pid) == 'Z'; }));
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
    EXPECT_TRUE(wait_until([&] { return sleeping_in(run.pid, SYS_write, 2); }));
    kill(run.pid, SIGINT);
    EXPECT_TRUE(wait_until([&] { return proc_state(run.pid) == 'Z'; }));
    const run_result r = run.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a.txt 1\n");
    // Standard error took nothing, so the message was dropped, not waited for.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "a.txt"), "NEW\n");
    EXPECT_EQ(read_file(dir / "c.txt"), "OLD\n");
  }
}

// Once a file's count is out its rewrite is final, and a stop never says
// " recovered" of it, whatever the stop interrupts: the syncs that settle
// its copy at the end of the run, the deletion of that copy, or the look at
// the next file.  The fault library holds the run in the chosen call, for a
// minute or the given milliseconds (the handler's own calls are not held
// while another is).  The syncs and the deletion are the settling thread's:
// the handler settles the batch in flight beside it, or waits for the
// deletion it has begun.  The new content stays, its copy goes, and the
// message is the stop line alone.
TEST(Interrupt, StopAfterTheCountKeepsTheRewrite) {
  if (ZAMPLET_SANITIZED) GTEST_SKIP() << "the fault library does not reach a sanitized program";
  struct row {
    strings args;
    std::string held;  // ZAMPLET_FAULT_DELAY's call, and the path it is held on
    int signo;
    std::string out, stop_line;
  };
  const std::string int_line = "Operation stopped. You pressed Ctrl-C or received SIGINT.\n";
  const std::vector<row> rows = {
      {{"OLD", "NEW", "s"}, "fdatasync", SIGINT, "s 2\n", int_line},
      {{"OLD", "NEW", "s"}, "fsync", SIGINT, "s 2\n", int_line},
      {{"--whole", "OLD", "NEW", "s"}, "fdatasync", SIGTERM, "s 2\n",
       "Operation stopped. Received SIGTERM.\n"},
      {{"-r", "OLD", "NEW", "t"}, "fdatasync", SIGINT, "t/s 2\n", int_line},
      {{"-r", "OLD", "NEW", "t"}, "unlink:1500 t/s.lock", SIGINT, "t/s 2\n", int_line},
      {{"OLD", "NEW", "s", "u"}, "stat u", SIGHUP, "s 2\n",
       "Operation stopped. Received SIGHUP.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args.back() + " held in " + row.held);
    temp_dir dir;
    ASSERT_EQ(mkdir((dir / "t").c_str(), 0755), 0);
    const bool walked = row.args.back() == "t";
    const std::string s = walked ? dir / "t/s" : dir / "s";
    write_file(s, "OLD x OLD\n");
    write_file(dir / "u", "nothing\n");
    const size_t space = row.held.find(' ');
    const std::string call = row.held.substr(0, space);
    strings faults = {"ZAMPLET_FAULT_DELAY=" + call +
                      (call.find(':') == std::string::npos ? ":60000" : "")};
    if (space != std::string::npos)
      faults.push_back("ZAMPLET_FAULT_DELAY_PATH=" + row.held.substr(space + 1));
    child c = spawn(row.args, dir.path, false, with_faults(faults));
    // The program sleeps nowhere else.
    EXPECT_TRUE(
        wait_until([&] { return sleeping_in(c.pid, SYS_clock_nanosleep, CLOCK_REALTIME); }));
    kill(c.pid, row.signo);
    const run_result f = drain(c);
    EXPECT_TRUE(ran(f, row.out, "\n" + row.stop_line, 1));
    EXPECT_EQ(read_file(s), "NEW x NEW\n");
    EXPECT_EQ(read_file(dir / "u"), "nothing\n");
    EXPECT_EQ(list_dir(dir.path), walked ? (strings{"t", "u"}) : (strings{"s", "t", "u"}));
    EXPECT_EQ(list_dir(dir / "t"), walked ? (strings{"s"}) : strings());
  }
}

TEST(Interrupt, EarlierFilesKeepNewContentLaterOnesUntouched) {
  temp_dir dir;
  const std::string big = big_content();
  write_file(dir / "a.txt", "OLD one\nOLD two\n");
  write_file(dir / "big.txt", big);
  write_file(dir / "c.txt", "OLD three\n");

  const run_result f = interrupt_blocked_rewrite(
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

  const run_result f =
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
  EXPECT_TRUE(wait_until([&] { return sleeping_in(c.pid, SYS_read, STDIN_FILENO); }));
  kill(c.pid, SIGINT);
  const run_result f = drain(c);  // closes standard input only after the end
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(f.err, STOPPED);
  EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(Interrupt, QuietFilterModeStopsSilently) {
  temp_dir dir;
  child c = spawn({"-q", "OLD", "NEW"}, dir.path, true);
  EXPECT_TRUE(wait_until([&] { return sleeping_in(c.pid, SYS_read, STDIN_FILENO); }));
  kill(c.pid, SIGINT);
  const run_result f = drain(c);
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.out, "");
  EXPECT_EQ(f.err, "");
}

// Interrupts at random moments: the file must always hold either all of its
// old content (status 1) or all of its new content (status 0).  The number
// of trials comes from ZAMPLET_STRESS_TRIALS (60 by default).
TEST(Interrupt, RandomMomentsNeverLeavePartialFile) {
  const int trials = static_cast<int>(env_number("ZAMPLET_STRESS_TRIALS", 60));
  const unsigned seed = env_number("ZAMPLET_STRESS_SEED", 20240611);

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
  run_result references[2];
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
    const run_result& reference = references[k];
    const std::string& new_content = new_contents[k];
    const std::string& new_out = reference.out;
    child c = spawn(args, dir.path, false);
    // The delay counts from the moment the handler is in place: an interrupt
    // before that would just kill the program, which says nothing.
    wait_until([&] { return catches_interrupt_or_ended(c.pid); });
    const auto start = clock_type::now();
    const auto fire_at = start + std::chrono::microseconds(delay);
    const auto edit_at = start + std::chrono::microseconds(edit_delay);
    bool sent = false, saved_now = !editor;
    const run_result f = drain(c, [&] {
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
      ok = (f.out == without_end && f.err == FINAL) || (f.out == new_out && said_part_then(FINAL));
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

// A stop while the looks run ahead on the workers is the main thread's to
// handle, as without them: the run is held at a write of a tree's report
// with the files after it looked at or being looked at; each file is old or
// new as its line says, no copy is left, and the run ends with the stop's
// message.
TEST(Interrupt, StopWhileLooksRunAheadLeavesEachFileOldOrNew) {
  temp_dir dir;
  ASSERT_EQ(mkdir((dir / "t").c_str(), 0755), 0);
  for (int i = 0; i < 40; ++i) write_file(dir / "t/f" + std::to_string(100 + i), "OLD\n");
  paused_run run({"-r", "-w", "OLD", "NEW", "t"}, dir.path, 1, 90);
  ASSERT_TRUE(wait_until([&] { return waits_to_write(run.pid, 1); }));
  kill(run.pid, SIGTERM);
  const run_result r = run.finish();
  EXPECT_EQ(r.status, 1);
  const std::string stop_line = "Operation stopped. Received SIGTERM.\n";
  ASSERT_GE(r.err.size(), stop_line.size());
  EXPECT_EQ(r.err.substr(r.err.size() - stop_line.size()), stop_line);
  strings rewritten, counted;
  for (const std::string& name : list_dir(dir / "t")) {
    EXPECT_EQ(name.find(".lock"), std::string::npos) << name;
    const std::string text = read_file(dir / "t/" + name);
    EXPECT_TRUE(text == "OLD\n" || text == "NEW\n") << name;
    if (text == "NEW\n") rewritten.push_back("t/" + name + " 1");
  }
  for (const std::string& line : sorted_lines(r.out))
    if (line.size() > 2 && line.compare(line.size() - 2, 2, " 1") == 0) counted.push_back(line);
  EXPECT_EQ(rewritten, counted);
}
