// What the driver calls: one input rewritten, standard input to standard
// output or a file in place, with the outcome and the conversation around it.
// The engine's internals are in scan.h and steps.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

#include "engine/matcher.h"
#include "support/state.h"

namespace zamplet {

// --whole replaces a match of at most this many bytes; longer ones are left
// alone and counted.
constexpr size_t WHOLE_WINDOW = 65536;

// What stays the same of a file under every name it gets.
struct file_identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const file_identity&) const = default;
};

// What became of one input, in every mode: the one vocabulary of the engine
// and the driver.
enum class outcome {
  rewritten,    // the new content is complete: in place under the file's name
  counted,      // in place with -s or --diff: counted, the file only read
  unchanged,    // no occurrence: the file left exactly as it is, counted 0
  passed_over,  // -I: a binary file, left alone without a word
  left_alone,   // not moved on purpose (busy, say), with a note
  failed,       // failed before any move: the file is as it was
  gave_up,      // failed after the move aside: the copy must go back
  restored,     // gave up, and the old content is back under its name
  moved,        // of the move aside alone: the file is aside (with -s, could be)
};

// NEWPATTERN read as a template of the match and its groups (--backrefs).
struct replacement_template;
// Reads `text` as a template for an expression with `groups` groups; null,
// with the problem in one line in *problem, when it is not one.
const replacement_template* read_template(const char* text, size_t groups, std::string* problem);

// What one run asks of every rewrite: the search, the replacement and the
// options that shape it.  The driver fills it once, from the command line.
struct rewrite_job {
  const matcher* pattern = nullptr;  // the expression, or null with
  const char* old_text = nullptr;    // the fixed string (-w)
  const char* replacement = "";
  // With --backrefs the replacement of each match is this template's
  // expansion instead.
  const replacement_template* backrefs = nullptr;
  bool whole = false;        // --whole: each input searched as one text
  bool diff = false;         // --diff: only read, the change printed as a diff
  bool color = false;        // the diff's lines coloured
  bool simulate = false;     // -s: only read; in filter mode, the text echoed
  bool trace = false;        // -v: every chunk traced
  bool keep_times = false;   // -d: the new file gets the old times
  bool delete_copy = true;   // cleared by -l: the copy stays, and needs no sync
  bool skip_binary = false;  // -I
  // Nothing is written but the diff, or in place with -s nothing at all.
  bool only_reads() const { return diff || simulate; }
};

// The driver's side of the report line of one input: the engine says when
// the line begins (in place: the file will get one) and gives the count;
// what the line shows is the driver's.
class input_report {
 public:
  virtual ~input_report() = default;
  // The input gets a line: its name goes out, without a line end.
  virtual void line_begins() {}
  // The input's count, and the occurrences its chunk boundaries cut (with
  // --whole, the matches left alone as too long).  `final` in place: the new
  // content is complete and closed, and the count makes the rewrite final in
  // one step for the stop handler.  False (errno set) when the count could
  // not be written.
  virtual bool counted(int64_t count, long cuts, bool final) = 0;
};

// The driver's side of one in-place rewrite.
//
// The engine first looks at the file under its own name, with the read lock
// a rewrite takes: a file in which the pattern does not occur is left
// exactly as it is (not moved, not re-created, not re-timed) and only
// counted, 0.  At the first occurrence the engine calls move_aside(), which
// moves the file to the intermediate name `copy` and records the move for
// the stop handler.  When the file cannot be opened under its name, or is
// not the file the caller checked, it is moved aside at once and the copy
// read as before, so that every message names what it always named; a lock
// that another process holds, or a read that fails, leaves it as it is, with
// a message.
//
// The copy must be the regular file with the identity `source`, the file the
// caller checked: whatever else stands under the intermediate name (another
// file, a FIFO, a link that resolves elsewhere) is refused.  The target is
// created exclusively, so `target_created` tells whether the name now holds
// the engine's own file, `target` which one.
class in_place_conversation : public input_report {
 public:
  in_place_conversation(const char* file_name, const char* copy_name,
                        const file_identity& checked)
      : file(file_name), copy(copy_name), source(checked) {}
  const char* const file;
  const char* const copy;
  const file_identity source;
  // moved (with -s: nothing stands in the way), left_alone or failed, after
  // saying why.
  virtual outcome move_aside() = 0;
  // Called, with the stop signals blocked, the moment the new file takes
  // the file's name (`target` already says which file it is): from then on a
  // stop may put the copy back over it.
  virtual void name_taken() = 0;
  bool target_created = false;
  file_identity target;
  off_t written = 0;  // the new file's length, once complete
};

// The longest match that --whole replaces with `job`: WHOLE_WINDOW, or less
// for an expression that the C library searches in short texts.
size_t longest_replaced(const rewrite_job& job);

// What a look made ahead of a file's turn saw (look_for_occurrence): the
// file held no occurrence, or is binary for -I; `seen` is its stat record
// from before the read.  A hint only: the file may change before its turn.
struct look_hint {
  enum { none, unchanged, binary } found = none;
  struct stat seen {};
  long cuts = 0;  // occurrences the chunk boundaries cut
};

// The read-only part of an in-place rewrite of `file`, which must be the
// regular file `checked`: opens it, takes a read lock of its own descriptor,
// reads and searches it up to its first occurrence, and closes it again.
// Moves, creates, deletes and says nothing, so that several threads may look
// at once, each with a `job` of its own (a matcher counts its searches).
// `none` with -v, whose trace belongs to the rewrite, and whenever the look
// found an occurrence or could not be made.
look_hint look_for_occurrence(const rewrite_job& job, const char* file,
                              const file_identity& checked);

// Rewrites standard input to standard output (filter mode); the count goes
// to `report`.  rewritten, or gave_up after saying why.
outcome rewrite_stream(const rewrite_job& job, input_report* report);
// Rewrites the file `files` names in place through its copy.  rewritten
// (counted with -s or --diff), or what else became of it.
outcome rewrite_file(const rewrite_job& job, in_place_conversation* files);

}  // namespace zamplet
