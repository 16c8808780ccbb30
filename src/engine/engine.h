// The two rewrite engines: one source streamed into one target in chunks of
// at most CHUNK_SIZE bytes, every occurrence in each chunk replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <regex.h>
#include <sys/types.h>

namespace zamplet {

// Bytes asked for by one read; every chunk is searched on its own.
constexpr size_t CHUNK_SIZE = 1023;
// Capacity of the output buffer at the start of every chunk.
constexpr size_t OUTPUT_START = 5120;
// Step by which the output buffer grows while one chunk is rewritten.
constexpr size_t OUTPUT_STEP = 1024;

// The standard streams.  The engine recognises them by address, never by
// name, so that files called "stdin" or "stdout" are ordinary files.
extern const char ENGINE_STDIN[];   // "stdin"
extern const char ENGINE_STDOUT[];  // "stdout"

// What stays the same of a file under every name it gets.
struct file_identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const file_identity&) const = default;
};

// What an in-place caller tells the engine about one file and learns back.
// The source must be a regular file with the identity `source`, the file the
// caller checked before it moved it aside: whatever else now stands under the
// intermediate name (another file, a FIFO, a link that resolves elsewhere) is
// refused.  The target is created exclusively, so `target_created` tells
// whether the name now holds the engine's own file, `target` which one.
struct in_place_files {
  file_identity source;
  bool target_created = false;
  file_identity target;
};

// Rewrites `source` into `target` replacing every match of `pattern` by
// `replacement`.  Returns 0 when the whole input was read, rewritten and
// written; 1 when it gave up, after saying why with note().  `files` is given
// for an in-place rewrite of a named file and null in filter mode.
int rewrite_regex(const char* source, const char* target, const regex_t* pattern,
                  const char* replacement, in_place_files* files = nullptr);
// The same with the fixed text `old_text` in place of the expression.
int rewrite_literal(const char* source, const char* target, const char* old_text,
                    const char* replacement, in_place_files* files = nullptr);

// Growable output of one chunk.  `cap` follows the growth rule: before a copy
// that makes the output `need` bytes long, it grows by OUTPUT_STEP while
// need >= cap - CHUNK_SIZE, so that the tail of any chunk always fits.
struct chunk_output {
  char* data = nullptr;
  size_t cap = 0;
};

// Substitutes over one chunk: `chunk` holds `n` bytes (n <= CHUNK_SIZE)
// followed by a zero byte.  Appends nothing before offset 0 of `out`; returns
// the output length, or -1 when the buffer could not grow (errno ENOMEM).
// `count` is increased by the number of occurrences.  `newline` says whether
// the expression was compiled with REG_NEWLINE.
int64_t substitute_regex(const regex_t* pattern, bool newline, const char* chunk, size_t n,
                         const char* replacement, size_t replacement_len, chunk_output* out,
                         int64_t* count);
// Fixed-string substitution; `old_len` must be at least 1.  When
// old_len == replacement_len the output has exactly n bytes and `out` needs
// only CHUNK_SIZE + 1 bytes: no growth test is made.
int64_t substitute_literal(const char* old_text, size_t old_len, const char* chunk, size_t n,
                           const char* replacement, size_t replacement_len, chunk_output* out,
                           int64_t* count);

}  // namespace zamplet
