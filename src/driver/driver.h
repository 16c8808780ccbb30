// What the driver's files offer each other: the start-up steps, the in-place
// protocol around one file, the two in-place modes and the interrupt handling.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "engine/engine.h"

namespace zamplet {

// Size of the name buffer for an intermediate name or a -t name, with its zero.
constexpr int NAME_BUFFER_BYTES = 4096;
// Size of the recursive visit's intermediate-name buffer, with its zero.
constexpr int VISIT_NAME_BYTES = 1024;
// Descriptors a run holds besides the walk's directories and the new files
// the batch keeps open: the standard streams, the engine's source and target,
// the probe of an intermediate copy, the file systems that the waiting
// copies are synced on, and what a sync opens, for the batch in flight and
// for a file synced at once.
constexpr long RUN_DESCRIPTORS = 14;

// Prints the usage text to standard output and ends the run with `status`:
// 0 when it was asked for, 1 after a wrong command line, so that a script
// never takes a usage error for a finished run.
[[noreturn]] void show_usage(int status);
// --help: the usage text and a line for each long option, status 0.
[[noreturn]] void show_help();
// --version: the program's name and version, and its notice, status 0.
[[noreturn]] void show_version();

// What the options say besides the run-wide flags, which parse_options()
// sets itself.
// What -r leaves out of its walk, silently: version-control directories
// (--exclude-vcs), files and directories whose names match a glob
// (--exclude, --exclude-dir).  A directory's glob is kept without the
// trailing slashes it may be given with.
struct walk_exclusions {
  bool vcs = false;
  bool ignores = false;  // --exclude-vcs-ignores: what git's ignore files leave out
  std::vector<std::string> files;
  std::vector<std::string> dirs;
};

struct command_line {
  int extended = 0;            // -e
  int icase = 0;               // -i
  int recursive = 0;           // -r
  bool have_temp = false;      // -t given
  bool temp_too_long = false;  // its argument does not fit temp_name
  char temp_name[NAME_BUFFER_BYTES] = {};
  walk_exclusions excluded;
  enum { AUTO, ALWAYS, NEVER } color = AUTO;  // --color
  bool backrefs = false;  // --backrefs: NEWPATTERN is a template of the match
  const char* files0_from = nullptr;  // --files0-from: where the FILEs are listed
};

// Reads the options with getopt, up to the first operand; after it, optind
// is the index of OLDPATTERN.  -h, an unknown option and -t without its
// argument end the run here, with the usage text.
void parse_options(int argc, char** argv, command_line* cl);

// Installs the stop handler for SIGINT, and for SIGTERM, SIGHUP and SIGQUIT
// unless they are ignored.
void install_interrupt_handler();

// The file in hand (recovery.cc).  While one is, a stop signal moves its copy
// back over its name and ends the run; each call below is one step for that
// handler.
//
// Begins a file: moves `file` aside to `copy`, never over an existing name
// except over the copy with the identity `replaceable`.  0, or -1 with errno.
int begin_file(const char* file, const char* copy, const file_identity* replaceable);
// The engine's new file has taken the file's name (name_taken).
void new_file_named(const in_place_conversation& files);
// Writes the file's count (counted, final) and makes its rewrite
// final in one step: a stop comes before the write, and the old content goes
// back with no count out, or after it, and the new content stays.
bool file_counted(const char* text, size_t len);
// Ends a failed file: its copy goes back under its name, over it only when
// the name holds the engine's new file.  0, or -1 with errno (EEXIST: another
// program's file holds the name, and the copy stays).
int put_file_back(const in_place_conversation& files);
// Ends a rewritten file: with `delete_copy`, its copy joins the batch that
// waits for a sync when `can_wait`, or is deleted at once (after the caller
// synced the new file).  The result of that deletion, with errno.
int end_file(const in_place_conversation& files, bool delete_copy, bool can_wait);

// Reports that `file` is left alone because `copy`, its intermediate name,
// exists: another run works on it, or an earlier one left its copy.
void note_busy(const char* file, const char* copy);

// Reports that `name` is left alone because its intermediate name would not
// fit; the name is cut where needed so that the reason always shows.
void note_name_too_long(const char* name);

// True when `name` is longer than four characters and ends in ".lock".
bool has_lock_suffix(const char* name);

// Opens /dev/null on each of the standard descriptors that is not open, so
// that no file the run opens can take their place; ends the run with status
// 1 when that fails.  Called before anything else is opened.
void open_standard_descriptors();

// Records what the run's standard output and error are, for
// is_run_output().  Called once before the first file.
void record_run_output();
// True when `st` is the run's standard output or error: rewriting that file
// would send the rest of the report into the deleted copy.
bool is_run_output(const struct stat& st);

// The identity of the file `st` describes.
inline file_identity identity_of(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// Looks at the files the run reaches next on worker threads, as many as
// the run has cores (none with one core, with -v, or with few descriptors),
// while the main thread works on the file in hand (look_ahead.cc).  The
// workers only read: each holds at most one descriptor, that of the file it
// looks at, and never moves, creates, deletes or says anything.  Files are
// taken back in the order they were offered; what a worker saw is a hint
// that rewrite_in_place() checks against the file as it is in its turn.
class look_ahead {
 public:
  explicit look_ahead(const rewrite_job& job);
  ~look_ahead();  // stops the workers and waits for them
  look_ahead(const look_ahead&) = delete;
  look_ahead& operator=(const look_ahead&) = delete;
  // How many files may wait at once; 0 without workers.
  size_t room() const { return room_; }
  // The descriptors the workers may hold at once.
  long descriptors() const { return static_cast<long>(workers_.size()); }
  // Queues `path` (at most room() files wait) for a look when `wanted`:
  // the regular file `checked`, or, with `checked` unknown (0, 0), the one
  // stat() finds there when its look begins.
  void offer(const char* path, const file_identity& checked, bool wanted);
  // The hint for the oldest file offered, which leaves the queue.  Waits
  // for a look in progress; a look not yet begun is not made.
  look_hint take();

 private:
  struct worker;
  struct slot;
  void work(worker& self);
  void stop();  // stops the workers and waits for them; room() is 0 after
  std::vector<std::unique_ptr<worker>> workers_;
  std::vector<slot> slots_;
  size_t room_ = 0;
  uint64_t head_ = 0;  // the oldest file waiting
  uint64_t next_ = 0;  // the next file a worker takes
  uint64_t tail_ = 0;  // where the next file offered goes
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable offered_;
  std::condition_variable looked_;
};

// The hint `hint` holds for `path` when stat() finds there the very file the
// look saw, regular, with the identity `checked`, and unchanged since: the
// same size and times.
bool hint_holds(const look_hint& hint, const char* path, const file_identity& checked);

// Rewrites `path` in place through the intermediate name `temp`: once the
// engine finds an occurrence, moves the file aside (never over an existing
// `temp`, except over the copy with the identity `replaceable` when one is
// given), lets the engine write the new file under `path`, and then either
// deletes `temp` (unless -l) or, when the engine gave up, moves it back
// without replacing anything but the engine's own file.  A file without an
// occurrence is left exactly as it is.  `checked` is what `path` was when
// the caller looked at it; the engine refuses anything else.  A failed move
// is reported as that file's failure, and the run goes on.  Owns the file's
// report line, from its name to its cut note.  rewritten (counted with -s
// or --diff), unchanged, passed_over, left_alone, failed or restored.
// With a `hint` that holds, a file the look ahead found unchanged (or binary
// with -I) is reported so at once, as its own look would have.
outcome rewrite_in_place(const rewrite_job& job, const char* path, const char* temp,
                         const file_identity& checked, const file_identity* replaceable,
                         const look_hint* hint = nullptr);

// Filter mode: standard input rewritten to standard output, then its count
// and cut note (report.cc).  The run's exit status.
int rewrite_filter(const rewrite_job& job);

// The cut note of one input (report.cc): that chunk boundaries cut `cuts`
// occurrences, if they cut any, counted for the end of the run; with
// --whole, that `cuts` matches were left alone as longer than WHOLE_WINDOW.
void report_cuts(const rewrite_job& job, const char* name, long cuts);
// Once at the end of a run whose chunk boundaries cut any occurrence: how
// many, in how many inputs, and that --whole replaces them.
void report_cut_total();

// Copies of old contents wait until the new contents are on disk (see
// durable.cc).  make_room_to_settle() hands the filling batch over to be
// settled if it cannot take `copy` of `target` (on device `dev`), or if it
// is due, and returns false when the copy cannot wait: the new file must
// then be synced at once (sync_file_now) before its copy is deleted.  When it
// can wait, the new file is opened, and settle_later() adds the copy, with
// the stop signals blocked, and keeps that descriptor for the sync if it is
// still the new file `new_file`.  A batch handed over is settled beside the
// run, one at a time: its new files synced, then each copy whose new content
// is on disk deleted; a copy whose sync failed stays, with a note when the
// batch lands.  settle_copies() settles every waiting copy and waits for it;
// false when a sync failed.  settle_copies_now() does the same from the stop
// handler, silently.
bool make_room_to_settle(const char* copy, const char* target, dev_t dev);
void settle_later(const char* copy, const char* file, const file_identity& old_file,
                  const file_identity& new_file, off_t bytes);
bool sync_file_now(const char* file, const file_identity& identity);
// Lets the batches keep at most `spare` new files open between them (never
// more than they have copies); the filling batch is handed over early when
// they are all in use.  How many they take.  Without a call, they take what
// RUN_DESCRIPTORS leaves of the process's limit.
long hold_new_files(long spare);
bool settle_copies();
void settle_copies_now();
// For atexit: whatever ends the run, a fatal message included.
void settle_at_exit();
// Hands the batch over once its oldest copy has waited a second, so that no
// copy (and the busy mark it is to other runs) outlives its second by much;
// called for every operand and every walked entry.
void settle_if_due();
// True once a sync of this run's files has failed: the run must end with
// status 1.
bool any_sync_failed();
// True when `name`, under any spelling, or the file with `identity` (as
// followed from any of its names), is a copy of this run that waits for a
// sync: neither a busy mark nor a file to report.
bool names_waiting_copy(const char* name);
bool is_waiting_copy(const file_identity& identity);

// The FILE operands of --files0-from: the bytes read, and the names in them.
struct file_list {
  std::vector<char> bytes;
  std::vector<char*> names;
};
// Reads the names listed in `from` ("-": standard input), each ended by a
// zero byte (the last one may lack it).  An empty name is said, with its
// place in the list, and makes the result false; the others are kept.  A
// list that cannot be read ends the run.
bool read_file_list(const char* from, file_list* list);

// The listed-files mode over `count` FILE operands; `temp_name` is the -t
// name, or null.  Returns the run's exit status: 1 when a file could not be
// rewritten because something failed, 0 when every file was rewritten or
// left alone on purpose.
int rewrite_listed(const rewrite_job& job, char* const* files, int count,
                   const char* temp_name);

// A file as -r remembers it: its device and inode, and a time stamp in
// nanoseconds that tells it from a later file given the same inode number
// after it was deleted.
struct stamped_file {
  dev_t dev;
  ino_t ino;
  long long stamp;
  auto operator<=>(const stamped_file&) const = default;
};
long long stamp_of(const struct timespec& t);
// The file `st` with its change time as the stamp.
stamped_file stamped_by_change(const struct stat& st);
// The file that `path` leads to, with its birth time as the stamp where its
// file system keeps one, else its change time: a rename, a new link or a
// change of its attributes by another program leaves the birth time as it
// is.  False when the file cannot be looked at.
bool stamped_by_birth(const char* path, stamped_file* file);

// A set of stamped files, 16 bytes a file (identity_set.cc).  count() is 1
// for a file with the same device, inode and stamp, else 0; has_inode()
// asks for the device and inode alone.
class identity_set {
 public:
  void insert(const stamped_file& file);
  size_t count(const stamped_file& file) const;
  bool has_inode(dev_t dev, ino_t ino) const;

 private:
  struct slot {
    unsigned long long ino;
    long long stamp;
  };
  struct shard {
    std::vector<slot> slots;
    size_t used = 0;
  };
  struct device {
    dev_t dev;
    std::vector<shard> shards;
  };
  const shard* shard_of(dev_t dev, unsigned long long hash) const;
  static void put(shard* s, const slot& entry, unsigned long long hash);
  static void grow(shard* s);
  std::vector<device> devices_;
};

// The recursive mode below each of the `count` starts in turn.  Returns the
// run's exit status, as rewrite_listed() does, and 1 when a start could not
// be walked or its walk could not finish.
int rewrite_recursive(const rewrite_job& job, char* const* starts, int count,
                      const walk_exclusions& excluded);

}  // namespace zamplet
