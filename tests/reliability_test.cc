// The in-place rewrite against the worst a system does to it: the program
// killed outright at any moment, several runs on the same files at once, and
// a file system that fills up in the middle of a file.  No test depends on
// timing to pass: delays and simultaneous starts only pick which allowed
// outcome a trial meets, and the tallies are printed.  Trials and seeds come
// from ZAMPLET_KILL_TRIALS/_SEED and ZAMPLET_RACE_TRIALS/_SEED (seed: random).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "e2e_support.h"

using namespace zamplet_test;

namespace {

using clock_type = std::chrono::steady_clock;

int create(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

std::string count_of(const std::string& text) {
  return std::to_string(std::count(text.begin(), text.end(), 'a'));
}

const std::string TRY_LATER = "file didn't change! ";
std::string busy_line(const std::string& path) {
  return path + "\t" + TRY_LATER + path + ".lock exists. Try later!";
}

}  // namespace

// A run killed at any moment leaves the whole original under FILE or under
// FILE.lock, or the finished new content under FILE alone.  A FILE.lock left
// behind keeps later runs off the file until the user moves it back, as the
// README tells.
TEST(Reliability, KillAtAnyMomentKeepsTheOriginal) {
  const unsigned trials = env_number("ZAMPLET_KILL_TRIALS", 100);
  const unsigned seed = env_number("ZAMPLET_KILL_SEED", std::random_device{}());
  std::mt19937 rng(seed);
  // Few 'a's, so that a run takes milliseconds rather than a second.
  const std::string old_content =
      text_without_b(rng, 2'000'000, "a cdefghij\n cdefghij\n cdefghij");
  const std::string new_content = rewritten(old_content, 1);
  const strings args = {"a", "ab", "big.txt"};
  temp_dir dir;
  const std::string file = dir / "big.txt", lock = dir / "big.txt.lock";

  // One undisturbed run gives the scale of the delays.
  write_file(file, old_content);
  const auto began = clock_type::now();
  const run_result reference = run_zamplet(args, {.cwd = dir.path});
  const long run_us =
      std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - began).count();
  ASSERT_EQ(reference.status, 0) << reference.err;
  ASSERT_EQ(reference.out, "big.txt " + count_of(old_content) + "\n");
  ASSERT_TRUE(read_file(file) == new_content);
  std::uniform_int_distribution<long> delay_us(0, run_us * 5 / 4);

  // Outcomes: killed before the move; original in FILE.lock with FILE
  // missing, partial or complete; finished (exited, or killed after it).
  int untouched = 0, aside[3] = {0, 0, 0}, finished = 0, violations = 0;
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (unsigned t = 0; t < trials; ++t) {
    write_file(file, old_content);
    const long delay = delay_us(rng);
    const pid_t pid = start_zamplet(args, dir.path, -1, null_fd, null_fd);
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
    kill(pid, SIGKILL);  // unreaped, a run that ended already keeps its pid
    const int status = reap(pid);

    const bool has_file = exists(file), has_lock = exists(lock);
    const std::string now = has_file ? read_file(file) : "";
    const std::string kept = has_lock ? read_file(lock) : "";
    const strings names = list_dir(dir.path);
    std::string fault;
    if (status != 128 + SIGKILL && status != 0) fault = "status " + std::to_string(status);
    else if (names.size() != size_t{has_file} + size_t{has_lock}) fault = "stray files";
    else if (has_lock && kept != old_content) fault = "FILE.lock is not the original";
    else if (!has_lock && now != old_content && now != new_content) fault = "FILE is damaged";
    else if (status == 0 && (has_lock || now != new_content)) fault = "finished, not rewritten";

    if (fault.empty() && has_lock) {
      ++aside[!has_file ? 0 : now == new_content ? 2 : 1];
      // The next run must keep off the file and leave both names as they are.
      const run_result again = run_zamplet(args, {.cwd = dir.path});
      if (again.status != 0 || !again.out.empty() || again.err != busy_line("big.txt") + "\n")
        fault = "busy file not refused: status " + std::to_string(again.status) + ", out \"" +
                again.out + "\", err \"" + again.err + "\"";
      else if (exists(file) != has_file || (has_file && read_file(file) != now) ||
               read_file(lock) != kept)
        fault = "the refusing run changed FILE or FILE.lock";
      // The README's recovery: move FILE.lock back by hand.
      else if (rename(lock.c_str(), file.c_str()) != 0 || read_file(file) != old_content ||
               list_dir(dir.path) != strings{"big.txt"})
        fault = "moving FILE.lock back did not restore the original";
    } else if (fault.empty()) {
      (now == old_content ? untouched : finished)++;
    }
    if (!fault.empty() && ++violations <= 5)
      ADD_FAILURE() << "trial " << t << ", kill after " << delay << " us, status " << status
                    << ": " << fault << " (FILE " << (has_file ? now.size() : 0) << " bytes, "
                    << "FILE.lock " << (has_lock ? kept.size() : 0) << " bytes)";
    (void)unlink(lock.c_str());
  }
  std::cout << "[ kill     ] trials " << trials << ", seed " << seed << ", run " << run_us
            << " us, delays 0.." << run_us * 5 / 4 << " us: before the move " << untouched
            << ", original in FILE.lock " << aside[0] + aside[1] + aside[2] << " (FILE missing "
            << aside[0] << ", partial " << aside[1] << ", complete " << aside[2] << "), finished "
            << finished << ", violations " << violations << std::endl;
  close(null_fd);
}

namespace {

struct race_tally {
  int runs = 0, applications = 0, busy = 0, rename_errors = 0, stopped = 0;
  int copy_only = 0, gave_up = 0, gone = 0;
};

// Checks what one of the concurrent runs says against the rules, adds its
// counts to `applied` and its figures to `tally`; returns the fault found.
// A file that a run does not count must be named in a refusal: busy (its
// .lock or the run's -t name `temp` exists, or already holds it), or a rename
// that found it gone.  A walk that meets only another run's copy of a file
// reports that copy instead, and one that reads a name just before another
// run moves the file aside (or deletes its copy) finds nothing there when it
// looks, and says so, with status 1: the other run counts it.  No walk passes
// over a file without a word.  A file that another run moves aside between a
// run's busy probe and its own move is busy too; one found gone with no copy
// under its intermediate name is that file's "rename error", status 1, and the
// run goes on.  A run that moved aside a file other than
// the one it looked at (another run's result, or its half-written target)
// gives up on it, prints the bare name and puts the file back.
std::string check_run(const std::map<std::string, std::string>& original, const strings& order,
                      bool recursive, const std::string& temp, int status, const std::string& out,
                      const std::string& err, std::map<std::string, int>& applied,
                      race_tally& tally) {
  std::string fault;
  std::map<std::string, int> answered;
  std::set<std::string> gave_up;
  for (const auto& line : lines_of(out)) {
    if (original.count(line)) {
      gave_up.insert(line);
      ++answered[line];
      ++tally.gave_up;
      continue;
    }
    const std::string path = line.substr(0, line.rfind(' '));
    if (!original.count(path) || line != path + " " + count_of(original.at(path)))
      fault = "bad count line \"" + line + "\"";
    ++answered[path];
    ++applied[path];
    ++tally.applications;
  }
  const std::string enoent = strerror(ENOENT);
  bool ended = false;
  int tally_rename_errors = 0, tally_gone = 0;
  std::set<std::string> copy_seen, explained;
  for (const auto& line : lines_of(err)) {
    const std::string path = line.substr(0, line.find('\t'));
    const std::string file = path.size() > 5 ? path.substr(0, path.size() - 5) : "";
    const std::string copy = temp.empty() ? path + ".lock" : temp;
    if (ended) {
      fault = "a line after the end of the run";
    } else if (original.count(path) &&
               (line == busy_line(path) ||
                line == path + "\t" + TRY_LATER + temp + " exists. Try later!" ||
                line == path + "\t" + TRY_LATER + "It is the same file as the -t name " + temp)) {
      ++answered[path];
      ++tally.busy;
    } else if (original.count(path) && line == path + "\trename error:" + enoent) {
      ++answered[path];
      ++tally.rename_errors;
      ++tally_rename_errors;
    } else if (recursive && original.count(path) && line == path + "\t" + enoent) {
      ++answered[path];
      ++tally.gone;
      ++tally_gone;
    } else if (recursive && original.count(file) && line == path + "\t" + enoent) {
      // Another run's copy, deleted once its file was on disk.
      copy_seen.insert(file);
      ++tally_gone;
    } else if (recursive && original.count(file) &&
               line == path + "\t" + TRY_LATER + "Try -t option!") {
      copy_seen.insert(file);
    } else if (gave_up.count(path) &&
               line == path + "\t" + TRY_LATER + copy + " is no longer the same file") {
      explained.insert(path);
    } else if (line.rfind(path + "\tfcntl error:", 0) == 0 &&
               (gave_up.count(path) != 0 ||
                std::any_of(gave_up.begin(), gave_up.end(), [&](const std::string& g) {
                  return path == (temp.empty() ? g + ".lock" : temp);
                }))) {
      // Its source was another run's half-written target, locked by it: the
      // look refused it under its own name, or the copy was refused.
      if (gave_up.count(path) != 0) explained.insert(path);
      for (const auto& g : gave_up)
        if (path == (temp.empty() ? g + ".lock" : temp)) explained.insert(g);
    } else {
      fault = "unexpected message \"" + line + "\"";
    }
  }
  for (const auto& g : gave_up)
    if (!explained.count(g)) fault = g + " given up without a reason";
  // A file given up on, a move that failed, or an entry gone when the walk
  // looked makes the run's status 1.
  const bool failed = ended || !gave_up.empty() || tally_rename_errors > 0 || tally_gone > 0;
  if (status != (failed ? 1 : 0)) fault = "status " + std::to_string(status);
  tally.stopped += ended;
  bool passed_stop = false;
  for (const auto& f : order) {
    const int a = answered[f];
    if (a > 1 || (a == 1 && passed_stop)) fault = f + " answered " + std::to_string(a) + " times";
    if (a == 0 && recursive && copy_seen.count(f) != 0) {
      ++tally.copy_only;
    } else if (a == 0 && !ended) {
      fault = f + " neither rewritten nor reported";
    }
    passed_stop = passed_stop || (a == 0 && !recursive);
  }
  if (ended && !passed_stop) fault = "stopped after every file was answered";
  return fault;
}

}  // namespace

// Several runs started at one moment on the same files: each file is its
// original rewritten once for every count reported for it, and nothing named
// .lock stays behind.
TEST(Reliability, ConcurrentRunsRewriteOncePerReportedCount) {
  const unsigned trials = env_number("ZAMPLET_RACE_TRIALS", 60);
  const unsigned seed = env_number("ZAMPLET_RACE_SEED", std::random_device{}());
  constexpr int RUNS = 5;
  std::mt19937 rng(seed);
  const strings files = {"t/f0.txt", "t/f1.txt", "t/sub/f2.txt", "t/sub/f3.txt"};
  std::map<std::string, std::string> original;
  for (size_t i = 0; i < files.size(); ++i)
    original[files[i]] = text_without_b(rng, 20'000 * (i + 1));

  // Listed runs, -r runs, and listed runs of which every other one moves
  // its files aside to one shared -t name.
  const char* const kinds[] = {"listed", "-r", "listed, half with -t"};
  race_tally tallies[3];
  int faults = 0;
  for (unsigned t = 0; t < trials; ++t) {
    const int kind = static_cast<int>(t % 3);
    const bool recursive = kind == 1;
    SCOPED_TRACE(kinds[kind]);
    race_tally& tally = tallies[kind];
    temp_dir d;
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d / "t/sub").c_str(), 0755), 0);
    for (const auto& f : files) write_file(d / f, original.at(f));

    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    std::vector<strings> order(RUNS, files);
    std::vector<pid_t> pids;
    for (int r = 0; r < RUNS; ++r) {
      std::shuffle(order[r].begin(), order[r].end(), rng);
      // Listed runs use the fixed-string engine, -r runs the expression one.
      strings args = recursive ? strings{"-r", "a", "ab", "t"} : strings{"-w", "a", "ab"};
      if (!recursive) args.insert(args.end(), order[r].begin(), order[r].end());
      if (kind == 2 && r % 2 == 0) args.insert(args.begin(), {"-t", "shared.tmp"});
      const std::string n = std::to_string(r);
      const int out = create(d / ("out" + n)), err = create(d / ("err" + n));
      // Each run waits for the end of the gate, so that all go at one moment.
      pids.push_back(start_zamplet(args, d.path, -1, out, err, [&gate] {
        close(gate[1]);
        char byte;
        while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
        }
      }));
      close(out);
      close(err);
    }
    close(gate[0]);
    close(gate[1]);  // all runs go at once

    std::map<std::string, int> applied;
    for (int r = 0; r < RUNS; ++r) {
      const int status = reap(pids[r]);
      const std::string n = std::to_string(r);
      const std::string out = read_file(d / ("out" + n)), err = read_file(d / ("err" + n));
      const std::string temp = kind == 2 && r % 2 == 0 ? "shared.tmp" : "";
      const std::string fault =
          check_run(original, order[r], recursive, temp, status, out, err, applied, tally);
      if (!fault.empty() && ++faults <= 5)
        ADD_FAILURE() << "trial " << t << ", run " << r << ": " << fault << "\nout:\n"
                      << out << "err:\n" << err;
    }
    tally.runs += RUNS;
    // Every file is taken by some run, which then finishes it.  With -t
    // runs all may be refused or stopped: a shared name held by one of them
    // keeps the others off, and runs that find a file gone stop.
    for (const auto& f : files)
      if (((applied[f] < 1 && kind != 2) ||
           read_file(d / f) != rewritten(original.at(f), applied[f])) &&
          ++faults <= 5)
        ADD_FAILURE() << "trial " << t << ": " << f << " is not its original rewritten "
                      << applied[f] << " times";
    const strings left[] = {list_dir(d / "t"), list_dir(d / "t/sub")};
    if ((left[0] != strings{"f0.txt", "f1.txt", "sub"} ||
         left[1] != strings{"f2.txt", "f3.txt"} || exists(d / "shared.tmp")) &&
        ++faults <= 5)
      ADD_FAILURE() << "trial " << t << ": left " << testing::PrintToString(left);
  }
  for (int kind = 0; kind < 3; ++kind) {
    const race_tally& tally = tallies[kind];
    std::cout << "[ race     ] " << kinds[kind] << ": seed " << seed
              << ", trials " << tally.runs / RUNS << ", runs " << tally.runs << ", applications "
              << tally.applications << ", busy reports " << tally.busy << ", rename errors "
              << tally.rename_errors << ", given up " << tally.gave_up << ", runs stopped "
              << tally.stopped
              << ", only the copy seen " << tally.copy_only << ", gone when looked at "
              << tally.gone << std::endl;
  }
}

// A -r run remembers the files it has written, so that it never rewrites one
// twice.  One of them replaced while the run goes on (saved anew by an editor,
// rewritten by another run) frees its inode number; a later file that gets
// the number is another file and must still be rewritten.
TEST(Reliability, RecursiveRunRewritesFileThatGetsAFreedInodeNumber) {
  temp_dir d;
  ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
  for (int i = 0; i < 12; ++i) write_file(d / ("t/n" + std::to_string(i) + ".txt"), "a\n");
  strings walked;  // the directory's own order, which the walk follows
  DIR* dir = opendir((d / "t").c_str());
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') walked.push_back(std::string("t/") + e->d_name);
  closedir(dir);
  const std::string first = d / walked[0], third = d / walked[2];
  // The run stops inside the second file once its unread trace fills the pipe.
  write_file(d / walked[1], std::string(3'000'000, 'x'));
  int trace[2];
  ASSERT_EQ(pipe2(trace, O_CLOEXEC), 0);
  const int out = create(d / "out");
  const pid_t pid = start_zamplet({"-v", "-r", "a", "ab", "t"}, d.path, -1, out, trace[1]);
  close(out);
  close(trace[1]);
  // Within a few trace lines of a full pipe the run cannot leave that file.
  const int nearly_full = fcntl(trace[0], F_GETPIPE_SZ) - 512;
  int queued = 0;
  EXPECT_TRUE(wait_until([&] {
    return ioctl(trace[0], FIONREAD, &queued) == 0 && queued >= nearly_full;
  })) << "the run never stopped in " << walked[1];

  struct stat st {};
  EXPECT_EQ(stat(first.c_str(), &st), 0);
  const ino_t written = st.st_ino;
  write_file(first + ".new", "ab\n");
  EXPECT_EQ(rename((first + ".new").c_str(), first.c_str()), 0);
  // Copies of the third file until the file system hands the number out again.
  bool reused = false;
  for (int k = 0; k < 5000 && !reused; ++k) {
    const std::string copy = third + ".new" + std::to_string(k);
    write_file(copy, "a\n");
    reused = stat(copy.c_str(), &st) == 0 && st.st_ino == written &&
             rename(copy.c_str(), third.c_str()) == 0;
  }
  for (const auto& name : list_dir(d / "t"))
    if (name.find(".new") != std::string::npos) unlink((d / ("t/" + name)).c_str());

  char buffer[65536];
  while (read(trace[0], buffer, sizeof buffer) > 0) {
  }
  close(trace[0]);
  EXPECT_EQ(reap(pid), 0);
  if (!reused) GTEST_SKIP() << "this file system did not give out the freed inode number again";
  const std::string listing = read_file(d / "out");
  EXPECT_NE(listing.find(walked[2] + " 1\n"), std::string::npos)
      << walked[2] << " was passed over; the run printed:\n" << listing;
  EXPECT_EQ(read_file(third), "ab\n");
}

// Directories renamed back and forth while a -r run walks the tree, as a
// program reorganising it would do.  Afterwards every file holds its old
// content (under its name, or in its copy when its directory was away for
// the move back) or its new content, none is lost and none is rewritten
// twice; every file that kept its old content is named on standard error,
// by its own path, its copy's or a directory's above it, and so is every copy
// left behind.  Nothing stops the run, so nothing says " recovered".  A note
// gives the path the walk had, so the ".moved" of a directory that was away
// at that moment is taken out.  Trials and seed from ZAMPLET_RENAME_TRIALS
// and ZAMPLET_RENAME_SEED (seed: random).
TEST(Reliability, DirectoriesRenamedDuringTheWalkLeaveNothingUnsaid) {
  const unsigned trials = env_number("ZAMPLET_RENAME_TRIALS", 16);
  const unsigned seed = env_number("ZAMPLET_RENAME_SEED", std::random_device{}());
  std::mt19937 rng(seed);
  constexpr int DIRS = 12, FILES = 15, DEEPER = 10;  // 300 files
  const std::string away = ".moved";
  int rewritten_files = 0, kept_named = 0, copies_named = 0, walk_notes = 0, violations = 0;
  std::atomic<long> renames{0};
  for (unsigned t = 0; t < trials; ++t) {
    temp_dir d;
    std::map<std::string, std::string> original;
    std::vector<std::pair<std::string, std::string>> moves;  // a directory, its name while away
    ASSERT_EQ(mkdir((d / "t").c_str(), 0755), 0);
    for (int i = 0; i < DIRS; ++i) {
      const std::string dir = "t/d" + std::to_string(i);
      for (const std::string& moved : {dir, dir + "/s"})
        moves.emplace_back(d / moved, d / moved + away);
      ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0);
      ASSERT_EQ(mkdir((d / dir + "/s").c_str(), 0755), 0);
      for (int j = 0; j < FILES + DEEPER; ++j) {
        const std::string name =
            j < FILES ? dir + "/f" + std::to_string(j) : dir + "/s/g" + std::to_string(j);
        original[name] = text_without_b(rng, 100 + rng() % 2000);
        write_file(d / name, original[name]);
      }
    }
    // One directory at a time is away, for a moment, and always comes back.
    std::atomic<bool> stop{false};
    std::thread renamer([&, thread_seed = rng()] {
      std::mt19937 local(thread_seed);
      while (!stop) {
        const auto& [from, to] = moves[local() % moves.size()];
        if (rename(from.c_str(), to.c_str()) != 0) continue;
        ++renames;
        if (local() % 2 != 0)
          std::this_thread::sleep_for(std::chrono::microseconds(local() % 100));
        if (rename(to.c_str(), from.c_str()) != 0) std::abort();
      }
    });
    const run_result r = run_zamplet({"-r", "a", "ab", "t"}, {.cwd = d.path});
    stop = true;
    renamer.join();

    std::vector<std::pair<std::string, std::string>> notes;  // path, the rest of the line
    for (std::string line : lines_of(r.err)) {
      for (size_t at; (at = line.find(away)) != std::string::npos;) line.erase(at, away.size());
      const size_t tab = line.find('\t');
      notes.emplace_back(line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab));
      walk_notes += notes.back().second == "\t" + std::string(strerror(ENOENT));
    }
    auto named = [&](const std::string& path) {
      return std::any_of(notes.begin(), notes.end(), [&](const auto& n) {
        return path == n.first || path.rfind(n.first + "/", 0) == 0 ||
               (n.second.size() > path.size() &&
                n.second.compare(n.second.size() - path.size() - 1, std::string::npos,
                                 " " + path) == 0);
      });
    };
    auto fault = [&](const std::string& what) {
      if (++violations <= 5)
        ADD_FAILURE() << "trial " << t << ": " << what << "\nerr:\n" << r.err;
    };
    bool any_kept = false;
    std::set<std::string> expected_left;
    for (const auto& [name, old] : original) {
      const std::string copy = name + ".lock";
      const bool has_file = exists(d / name), has_copy = exists(d / copy);
      const std::string now = has_file ? read_file(d / name) : "";
      if (has_file) expected_left.insert(name);
      if (has_copy) expected_left.insert(copy);
      if (has_copy && (read_file(d / copy) != old || !(named(copy) || named(name)))) {
        fault(copy + " is left behind unnamed, or is not the old content");
      } else if (has_copy) {
        ++copies_named;
      }
      if (has_file && now == rewritten(old, 1)) {
        ++rewritten_files;
      } else if ((has_file && now == old) || (!has_file && has_copy)) {
        any_kept = true;
        if (named(name) || named(copy)) ++kept_named;
        else fault(name + " kept its old content without a word");
      } else {
        fault(name + (has_file ? " holds neither its old nor its new content" : " is lost"));
      }
    }
    const strings left = tree_files(d / "t");
    for (const auto& path : left)
      if (!expected_left.count("t/" + path)) fault("t/" + path + " is left in the tree");
    if (r.err.find(" recovered") != std::string::npos) fault("a note says \" recovered\"");
    if (r.status != (any_kept ? 1 : r.status) || r.status > 1)
      fault("status " + std::to_string(r.status) + (any_kept ? " with old content kept" : ""));
  }
  std::cout << "[ renames  ] seed " << seed << ", trials " << trials << ", directory renames "
            << renames << ": files rewritten " << rewritten_files << ", kept and named "
            << kept_named << ", copies left and named " << copies_named << ", entries gone "
            << walk_notes << ", violations " << violations << std::endl;
  EXPECT_EQ(violations, 0);
}

// A file that fits on its file system while its rewrite does not: the write
// fails and the original comes back whole under its own name.
TEST(Reliability, FullDiskRestoresTheOriginal) {
  std::mt19937 rng(11);
  const std::string content = text_without_b(rng, 40'000);  // grows past the 24 KiB left
  const std::string full = "\twrite error:No space left on device\n";
  struct disk_case {
    strings options;  // before the patterns; "OTHER" is a directory elsewhere
    std::string out, err;
    int status;
  };
  const disk_case cases[] = {
      {{}, "f.txt\n", "f.txt" + full, 1},
      {{"-t", "aside.tmp"}, "f.txt\n", "f.txt" + full, 1},
      {{"-r"}, "./f.txt\n", "./f.txt" + full, 1},
      // A move to another file system is refused before anything changes.
      {{"-t", "OTHER/aside.tmp"}, "", "f.txt\trename error:Invalid cross-device link\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.options));
    temp_dir d;
    small_fs fs(d / "small");
    if (!fs.mounted) GTEST_SKIP() << fs.why;
    write_file(fs.path + "/f.txt", content);
    strings args;
    for (const auto& o : c.options) args.push_back(o == "OTHER/aside.tmp" ? d / "aside.tmp" : o);
    args.insert(args.end(), {"a", "ab", c.options == strings{"-r"} ? "." : "f.txt"});
    const run_result r = run_zamplet(args, {.cwd = fs.path});
    EXPECT_TRUE(ran(r, c.out, c.err, c.status));
    EXPECT_TRUE(read_file(fs.path + "/f.txt") == content) << "f.txt is not its original";
    EXPECT_EQ(list_dir(fs.path), strings{"f.txt"});
    EXPECT_EQ(list_dir(d.path), strings{"small"});
  }
}
