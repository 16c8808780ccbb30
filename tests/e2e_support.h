// Helpers for end-to-end tests: run the built program on real files in a
// temporary directory, capture its streams and exit status exactly, watch it
// while it runs, and compare what it did with the reference models.
#pragma once

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace zamplet_test {

using strings = std::vector<std::string>;

struct run_result {
  int status = -1;     // exit status, or 128 + signal number
  std::string out;     // standard output (everything, when merged)
  std::string err;     // standard error (empty when merged)
};

struct run_options {
  std::string input;                 // fed to standard input, then closed
  size_t feed_piece = 0;             // if not 0, the input goes in writes of at most this size
  bool merge = false;                // standard error into the standard output pipe
  std::string cwd;                   // working directory of the child, if not empty
  std::function<void()> in_child;    // runs in the child before exec (rlimits, signals)
};

// What every run says: its standard output, its standard error and its exit
// status, compared at once, so that a failure shows all three.
testing::AssertionResult ran(const run_result& r, const std::string& out, const std::string& err,
                             int status);

// Options that give the program a regular file as standard input, so that
// every read returns a full chunk.
run_options stdin_from_file(const std::string& path, bool merge = false);

// In a child process: replaces it with the program and `args` (not counting
// the program name); exit status 127 when that fails.
[[noreturn]] void exec_zamplet(const std::vector<std::string>& args);

// Waits for the process `pid`: its exit status, or 128 + the number of the
// signal that ended it.
int reap(int pid);

// Starts the program with `args` in `cwd` (the test's own when empty), its
// standard input, output and error on `in` (/dev/null when < 0), `out` and
// `err`, and the stop signals at their default disposition; `in_child` runs
// in the child just before the program replaces it.  Its pid, for reap().
int start_zamplet(const strings& args, const std::string& cwd, int in, int out, int err,
                  const std::function<void()>& in_child = {});

// Runs the program with `args` (not counting the program name).
run_result run_zamplet(const std::vector<std::string>& args, const run_options& options = {});

// For run_options::in_child or spawn(): preloads the fault library
// (tests/fault/fault_inject.cc) with its variables, each "NAME=VALUE".
// Where the program is sanitized the library does not reach its calls: tests
// skip there.
std::function<void()> with_faults(const strings& variables);

// A run whose pipes the test holds: it writes the input when it chooses, and
// may signal the run while its output waits unread.
struct child {
  int pid = -1;
  int in = -1;   // write end of standard input, -1 once closed
  int out = -1;  // read end of standard output
  int err = -1;  // read end of standard error
};
// Starts the program in `cwd`.  Standard input stays open (and silent) when
// `keep_stdin`; otherwise it is at its end from the start.  `in_child` runs in
// the child just before the program replaces it.
child spawn(const strings& args, const std::string& cwd, bool keep_stdin,
            const std::function<void()>& in_child = {});
// Reads both pipes to their ends, closes standard input and reaps the run.
// When `on_tick` is given, it is called after each read and whenever the run
// has written nothing for `tick`.
run_result drain(child& c, const std::function<void()>& on_tick = {},
                 std::chrono::microseconds tick = std::chrono::microseconds(200));

// A run caught in the middle.  Its standard output and error are pipes that
// the test does not read until finish().  With `room` >= 0 the chosen
// stream's pipe is one page, filled so that only `room` bytes fit, and the
// run blocks at the write that passes them: with 0, in place, that is the
// file's name, right after the move aside and before the engine opens
// anything.  With `room` < 0 the pipe is an ordinary empty one that fills as
// the run writes (for example its -v trace), which stops it in the middle of
// a file.  The stop signals have their default disposition in the run, and
// `in_child` runs in it just before the program replaces it.
struct paused_run {
  paused_run(const std::vector<std::string>& args, const std::string& cwd, int stream = 1,
             int room = 0, const std::function<void()>& in_child = {});
  ~paused_run();
  paused_run(const paused_run&) = delete;
  paused_run& operator=(const paused_run&) = delete;
  // True once the pipe of the paused stream holds at least `bytes`.
  bool filled(int bytes) const;
  // Drains both streams and reaps the run; the prefilled bytes are dropped.
  run_result finish();
  // Ends the run with SIGKILL; its status.
  int kill_now();
  int pid = -1;
  int out = -1, err = -1;  // read ends
  int stream = 1;
  int prefilled = 0;
};

// The reference of a fixed-string rewrite: chunks of 1023 bytes searched on
// their own, each up to its first zero byte, and the boundaries at which an
// occurrence begins in one chunk and ends in the next.
struct literal_result {
  std::string text;
  long count = 0;
  long cuts = 0;
};
literal_result literal_model(const std::string& input, const std::string& old_text,
                             const std::string& new_text);

// What a run says of occurrences that chunk boundaries cut: the note after
// the input's line, and the line at the end of the run.
std::string cut_note(const std::string& name, long occurrences);
std::string cut_total(long occurrences, long inputs);

// Text with many 'a's and no 'b': after k rewrites of "a" into "ab" every
// 'a' is followed by exactly k 'b's, so the file itself says how often it
// was rewritten, and each rewrite counts every 'a' once.
std::string text_without_b(std::mt19937& rng, size_t size,
                           const std::string& letters = "aaaa cdefghij\n");
// `text` after `times` rewrites of "a" into "ab".
std::string rewritten(const std::string& text, int times);

// The state letter of /proc/PID/stat, or '?' when it cannot be read.
char proc_state(int pid);
// True once the process catches SIGINT (its handler is installed), or once it
// is gone or a zombie, where nothing more can be learnt.
bool catches_interrupt_or_ended(int pid);
// True when one of the process's threads sleeps in system call `number` on
// descriptor `fd`.
// Where /proc/PID/syscall is not available the sleeping state alone counts.
bool sleeping_in(int pid, long number, int fd);
// True when the process is blocked writing to `fd`, or waiting for room in
// it before a count (ppoll).
bool waits_to_write(int pid, int fd);

// Polls `done` every millisecond for up to 30 s; false if it never held.
bool wait_until(const std::function<bool()>& done);

// Runs a shell command, its standard error merged; true when it succeeded.
// Its output, without the final newlines, goes to `out`.
bool shell(const std::string& command, std::string* out = nullptr);

// The number in the environment variable `name`, or `fallback`.
unsigned env_number(const char* name, unsigned fallback);

// A temporary directory, removed with everything in it on destruction.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Runs the program with `args` in `dir`, so that operands are relative names.
run_result run_in(const temp_dir& dir, const strings& args);

// Removes `path` and everything below it, making directories writable first.
void remove_tree(const std::string& path);

// A tmpfs of `size` mounted on `dir` for one case and detached on every way
// out; `why` says what kept it from being mounted.
struct small_fs {
  explicit small_fs(const std::string& dir, const std::string& size = "64k");
  ~small_fs();
  small_fs(const small_fs&) = delete;
  small_fs& operator=(const small_fs&) = delete;
  std::string path, why;
  bool mounted = false;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Names in `dir`, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir);
// Every name below `dir` that is not a directory, relative to `dir`, sorted.
// Symbolic links are listed, not followed.
strings tree_files(const std::string& dir, const std::string& prefix = "");
// What stat() says of `path`, which must exist.
struct stat stat_of(const std::string& path);
struct stat lstat_of(const std::string& path);  // the link itself
// A name of exactly `length` bytes that leads to `leaf` in the working
// directory: "./" repeated in front of it, after one ".//" when the padding
// is odd.
std::string padded_name(const std::string& leaf, size_t length);

// The lines of `text`, without their newlines, in their order or sorted (the
// lines of a walk come in the directories' order).
strings lines_of(const std::string& text);
strings sorted_lines(const std::string& text);

}  // namespace zamplet_test
