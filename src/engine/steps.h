// What the steps of one rewrite share: the state a call owns and the steps
// that more than one file of the engine takes.  Internal to the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "engine/scan.h"

namespace zamplet {
class output_sink;
}

namespace zamplet::steps {

// A regular file returns what is asked of it except at its end, so reading
// many chunks at once and cutting them apart gives the same chunks as one
// read per chunk, with far fewer system calls.
constexpr size_t BLOCK_CHUNKS = 64;
constexpr size_t BLOCK_SIZE = BLOCK_CHUNKS * CHUNK_SIZE;

// Whether the look found an occurrence, and where (see look()).
// binary: -I, and a zero byte in the file's first BINARY_PROBE bytes.
// The record locks belong to the open file, not to the process: a look on
// another thread that closes its own descriptor of the same file lets go of
// its own lock only, never of the one a rewrite holds.  Other processes see
// the same conflicts as with a process's locks.
constexpr int SET_LOCK = F_OFD_SETLK;

enum class look_result { unavailable, unchanged, found, read_failed, lock_refused, binary };
constexpr size_t BINARY_PROBE = 8192;

// How one chunk is substituted.
struct substitution {
  bool literal;
  const matcher* pattern;
  const char* old_text;
  size_t old_len;
  const char* replacement;
  size_t replacement_len;
};

// Everything one call owns, released by its destructor on every way out.
struct frame_state {
  frame_state() = default;
  frame_state(const frame_state&) = delete;
  frame_state& operator=(const frame_state&) = delete;
  // Closes the descriptors (never the standard streams) and frees the
  // buffers, keeping errno as it was.
  ~frame_state();
  const rewrite_job* job = nullptr;
  bool simulated = false;         // in place with -s or --diff: the file is only read
  bool moved = false;             // in place: the file was moved aside
  const char* source = nullptr;   // the names the frame reads and writes
  const char* target = nullptr;
  bool source_is_stream = false;  // standard input
  bool target_is_stream = false;  // standard output
  const struct substitution* sub = nullptr;
  in_place_conversation* files = nullptr;  // null in filter mode
  input_report* report = nullptr;          // the same in place
  output_sink* sink = nullptr;             // where the output goes, once the target is open
  struct stat attrs {};             // the source's, from before the look
  off_t prefix = 0;                 // bytes at the start that need no change
  look_result looked = look_result::unavailable;
  int64_t count = 0;                // occurrences replaced
  int source_fd = -1;
  int target_fd = -1;
  bool locked = false;
  char* block = nullptr;  // input, BLOCK_SIZE bytes and a zero byte
  // STAGE_SIZE bytes: the sink collects a fixed string's chunks there; the
  // one search over the input builds its blocks there instead.
  char* stage = nullptr;
  chunk_output out;
  char* scratch = nullptr;  // CUT_SCRATCH bytes for the boundary checks
  chunk_tail tail;          // the end of the previous chunk
  long cuts = 0;            // boundaries that cut a match
};

// Reports a failed call as "NAME\tCALL error:TEXT" with the current errno.
void report(const char* name, const char* call);
// Reads once, retrying after an interrupted call.
ssize_t read_some(int fd, char* buffer, size_t size);
// The input of a whole search: a descriptor, whose reads may wait when it
// is a pipe or a terminal (`may_wait`).
class descriptor_input final : public whole_input {
 public:
  descriptor_input(int fd, bool may_wait) : fd_(fd), may_wait_(may_wait) {}
  ssize_t read(char* into, size_t room) override { return read_some(fd_, into, room); }
  bool may_wait() const override { return may_wait_; }
  bool ready() override;

 private:
  int fd_;
  bool may_wait_;
};

// Substitutes over one zero-terminated chunk, after counting whether the
// boundary in front of it cut a match, and keeps its end for the next one;
// `hits`, when given, receives where its occurrences start.
int64_t substitute(const substitution& sub, const char* chunk, size_t n, chunk_output* out,
                   int64_t* count, frame_state* st,
                   std::vector<size_t>* hits = nullptr);
// Gives back what one chunk's output took beyond its starting size.
void shrink_output(frame_state* st, const substitution& sub);

// A fixed string's chunk loop (chunk_loop.cc).
void trace_unchanged(long first, long chunks, size_t last);
bool copy_unchanged_start(frame_state& st);
bool copy_chunks(frame_state& st);

// The rewrite by one search over the whole input (search_output.cc).
bool copy_whole(frame_state& st);
void trace_whole_unchanged(frame_state& st);

// The target and the locks (target.cc).
bool set_source_lock(frame_state* st, const char* source, short type);
bool source_is_checked_file(frame_state* st, const char* source, const char* target,
                            const struct stat& attrs, const in_place_conversation& files);
bool prepare_target(frame_state* st, const char* source, const char* target,
                    const struct stat& attrs, in_place_conversation* files);
bool release_lock(frame_state* st, const char* source);

// The look at a file under its own name (look.cc).
look_result look(frame_state* st, const substitution& sub, const char* file,
                 const file_identity& checked, struct stat* attrs, off_t* offset);
bool copy_is_looked_file(const frame_state& st, const in_place_conversation& files);

}  // namespace zamplet::steps
