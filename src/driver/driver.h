// What the driver's files offer each other: the start-up steps, the in-place
// protocol around one file, the two in-place modes and the interrupt handling.
#pragma once

namespace zamplet {

// Size of the name buffer for an intermediate name or a -t name, with its zero.
constexpr int NAME_MAX_BYTES = 4096;
// Size of the recursive visit's intermediate-name buffer, with its zero.
constexpr int VISIT_NAME_BYTES = 1024;

// Prints the usage text to standard output and ends the run with status 0.
[[noreturn]] void show_usage();

// Installs on_interrupt for SIGINT.
void install_interrupt_handler();
// Blocks SIGINT, so that an interrupt waits until allow_interrupt().
void block_interrupt();
// Lets SIGINT through again; one that waited is handled at once.
void allow_interrupt();

// True when `name` is longer than four characters and ends in ".lock".
bool has_lock_suffix(const char* name);

// Rewrites `path` in place through the intermediate name `temp`: moves the
// file aside, runs the engine from `temp` into `path`, and then either
// deletes `temp` (unless -l) or, when the engine gave up, moves it back.
// With `exclusive` the move fails when `temp` exists, and the file is then
// reported as busy; without it an existing `temp` is replaced.  A failed
// move ends the run when `renames_fatal`, else it is reported and the file
// left alone.  Returns 0 when `path` holds the new content, 1 otherwise.
int rewrite_in_place(const char* path, const char* temp, bool exclusive, bool renames_fatal);

// The listed-files mode over `count` FILE operands; `temp_name` is the -t
// name, or null.
void rewrite_listed(char* const* files, int count, const char* temp_name);

// The recursive mode below `start`.  Returns the run's exit status.
int rewrite_recursive(const char* start);

}  // namespace zamplet
