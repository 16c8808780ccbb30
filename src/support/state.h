// Run-wide state that several modules read: the option flags, the pattern
// state and the recovery pair.  Defined once, in state.cc.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace zamplet {

struct matcher;

// Largest OLDPATTERN / NEWPATTERN, in bytes, not counting the terminating zero.
constexpr int PATTERN_MAX = 4096;

extern int opt_keep_times;   // -d: give the rewritten file the old times
extern int opt_unlink_lock;  // cleared by -l: keep the intermediate copy
extern int opt_quiet;        // -q: nothing on standard output or error
extern int opt_simulate;     // -s: write the unchanged text
extern int opt_verbose;      // -v: trace every chunk
extern int opt_literal;      // -w: OLDPATTERN is a fixed string
extern int opt_newline;      // -n: newline is special to the expression
extern int opt_diff;         // --diff: only read, and print the change as a unified diff
extern int opt_color;        // --color: colour the diff's lines
extern int opt_whole;        // --whole: search each input as one text, not in chunks
extern int opt_skip_binary;  // -I: pass over a file with a zero byte in its first 8 KiB

extern char* new_pattern;           // NEWPATTERN, or "" for "NULL"
extern char* old_literal;           // OLDPATTERN in -w mode
extern const matcher* compiled_matcher;  // its search, in expression mode


}  // namespace zamplet
