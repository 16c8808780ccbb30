// Diagnostics, signal installation, checked calls and small I/O helpers.
#pragma once

#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <sys/types.h>

#include "support/state.h"

namespace zamplet {

// Size of the formatter's line buffer; a line holds at most
// MESSAGE_MAX - 1 characters of text and error suffix, then its newline.
constexpr int MESSAGE_MAX = 4096;

// Formats one diagnostic line into `line` (at least MESSAGE_MAX + 1 bytes):
// the text cut at MESSAGE_MAX - 1 characters, then, if `with_errno`, ": " and
// the text of `saved_errno` as far as it fits, then a newline.  Returns the
// length written (the newline included).
int format_message(char* line, const char* format, va_list args, bool with_errno, int saved_errno);

// Writes one diagnostic line: flushes standard output, writes the line to
// standard error unless opt_quiet, flushes standard error.
void emit_message(const char* format, va_list args, bool with_errno);

// A remark; the run goes on.
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A failed system call on one file, as "NAME\tCALL error:TEXT" with the
// text of `err`; the run goes on.
void note_failed(const char* name, const char* call, int err);
// A fatal message; exit status 1.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A fatal message followed by ": " and the text of errno as it was at entry.
[[noreturn]] void fail_errno(const char* format, ...) __attribute__((format(printf, 1, 2)));

using signal_handler = void (*)(int);

// Installs `handler` for `signo` through sigaction: empty mask, SA_RESTART
// except for SIGALRM.  Returns the previous handler, or SIG_ERR.
signal_handler signal(int signo, signal_handler handler);
// signal(), or "signal error" and exit status 1.
signal_handler checked_signal(int signo, signal_handler handler);
// The signals that stop a run (SIGINT, SIGTERM, SIGHUP, SIGQUIT), blocked
// only around the few steps that must not be cut in two (a move and the
// recovery pair that records it), never around a write that may block.
void block_stop_signals();
void allow_stop_signals();
// Blocks the stop signals in the calling thread and keeps its mask as it was
// in *previous, for restore_signal_mask(): a thread started in between
// inherits the blocked signals, so that only the main thread runs a handler.
void block_stop_signals(sigset_t* previous);
void restore_signal_mask(const sigset_t& previous);


// Moves `from` to `to` unless `to` exists, in one step (EEXIST otherwise).
// Where the file system cannot rename without replacing, a hard link, which
// fails on an existing name, and an unlink do the same.  Async-signal-safe.
int rename_noreplace(const char* from, const char* to);

// Writes all `len` bytes, retrying after EINTR and short writes.
// Returns 0, or -1 with errno set.
int write_all(int fd, const void* data, size_t len);
// write_all() of a zero-terminated text; the result is not needed by callers
// that only report progress.
void write_text(int fd, const char* text);

// Copies into `dir` (of `size` bytes) the directory part of `path` ("."
// when it has none); false when it does not fit.  Async-signal-safe.
bool directory_of(const char* path, char* dir, size_t size);
// Opens the file `path` to sync it, without following a symbolic link or
// waiting on a FIFO put there meanwhile; write-only when it cannot be read.
// -1, with errno, when it cannot be opened.  Async-signal-safe.
int open_for_sync(const char* path);
// The data waiting to be written to disk, in bytes, as the kernel reports
// it; -1 when it cannot tell.
long long dirty_bytes();

// The report of an in-place run: the names, counts and line ends on standard
// output.  A failed write of it does not stop the run, whose work is the
// files: the first failure is said once on standard error, "write error:TEXT",
// and report_failed() then makes the run end with status 1.
void write_report(const char* text);
void write_report(const char* data, size_t len);
void report_write_failed(int err);
bool report_failed();

}  // namespace zamplet
