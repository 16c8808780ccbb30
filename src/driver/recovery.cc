// The file in hand and stopping a run.  While a file is rewritten in place,
// its old content is under its intermediate name; SIGINT, SIGTERM, SIGHUP or
// SIGQUIT then put it back under the file's own name and end the run with
// status 1.  Every change of what is in hand is one step for the handler:
// the stop signals are blocked around it, and around nothing that may wait.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// The file in hand: its intermediate copy and its own name, both null while
// none is; and whether the engine's new file has taken the name.
const char* volatile in_hand_copy = nullptr;
const char* volatile in_hand_file = nullptr;
volatile sig_atomic_t in_hand_named = 0;

void forget_file() {
  in_hand_copy = nullptr;
  in_hand_file = nullptr;
  in_hand_named = 0;
}

// True when `name` is the file `expected`, not following a symbolic link.
bool names_file(const char* name, const file_identity& expected) {
  struct stat st;
  return lstat(name, &st) == 0 && identity_of(st) == expected;
}

// Set by the first stop signal; a second one that arrives while the first is
// handled returns at once and lets it finish.
std::atomic<int> stopping{0};

// How long the message may wait for standard error, in milliseconds.
constexpr int MESSAGE_WAIT_MS = 100;
bool unheard = false;

// Writes `text` to standard error unless quiet; async-signal-safe.  Standard
// error that takes nothing (a full pipe nobody reads, a paused terminal)
// must not keep the run from ending: the message is then dropped.
void say(const char* text) {
  if (opt_quiet || unheard) return;
  pollfd ready{STDERR_FILENO, POLLOUT, 0};
  if (poll(&ready, 1, MESSAGE_WAIT_MS) != 1 || (ready.revents & POLLOUT) == 0) {
    unheard = true;
    return;
  }
  size_t len = 0;
  while (text[len] != '\0') ++len;
  (void)write_all(STDERR_FILENO, text, len);
}

const char* stopped_by(int signo) {
  switch (signo) {
    case SIGTERM: return "Operation stopped. Received SIGTERM.\n";
    case SIGHUP: return "Operation stopped. Received SIGHUP.\n";
    case SIGQUIT: return "Operation stopped. Received SIGQUIT.\n";
    default: return "Operation stopped. You pressed Ctrl-C or received SIGINT.\n";
  }
}

// Runs between any two instructions of the run, so it uses only
// async-signal-safe calls.  Standard output needs no flush: the program
// writes it with direct writes and leaves nothing in its stream buffer.
// The copy replaces only the engine's own new file: before that file has
// the name, a file there is another program's and stays, and the message
// says where the old content is instead of " recovered".
void on_stop(int signo) {
  if (stopping.exchange(1) != 0) return;
  const char* source = in_hand_copy;
  const char* target = in_hand_file;
  bool kept = false;
  if (source != nullptr && target != nullptr) {
    if (in_hand_named != 0)
      (void)::rename(source, target);
    else
      kept = rename_noreplace(source, target) < 0 && errno == EEXIST;
  }
  // Files finished before keep their new content, once it is on disk.
  settle_copies_now();
  if (kept) {
    say("\n");
    say(target);
    say("\tfile didn't change! Its old content is in ");
    say(source);
    say("\n");
  } else {
    say(" recovered\n");
  }
  say(stopped_by(signo));
  _exit(1);
}

}  // namespace

int begin_file(const char* file, const char* copy, const file_identity* replaceable) {
  block_stop_signals();
  int moved = rename_noreplace(file, copy);
  // The copy this run itself left under a -t name for an earlier file gives
  // way to the next one; any other file under that name is never replaced.
  if (moved < 0 && errno == EEXIST && replaceable != nullptr && names_file(copy, *replaceable))
    moved = ::rename(file, copy);
  const int err = errno;
  if (moved == 0) {
    in_hand_named = 0;
    in_hand_copy = copy;
    in_hand_file = file;
  }
  allow_stop_signals();
  errno = err;
  return moved;
}

void new_file_named() { in_hand_named = 1; }

int put_file_back(const in_place_files& files) {
  block_stop_signals();
  // Only the engine's own file may be replaced: anything else under the name
  // was put there by another program and stays.
  struct stat now;
  const bool own = files.target_created && lstat(files.file, &now) == 0 &&
                   identity_of(now) == files.target;
  const int moved =
      own ? ::rename(files.copy, files.file) : rename_noreplace(files.copy, files.file);
  const int err = errno;
  forget_file();
  allow_stop_signals();
  errno = err;
  return moved;
}

int end_file(const file_identity& old_file, bool delete_copy, bool can_wait) {
  const char* copy = in_hand_copy;
  block_stop_signals();
  int unlinked = 0;
  if (delete_copy && can_wait)
    settle_later(copy, old_file);
  else if (delete_copy)
    unlinked = unlink(copy);
  const int err = errno;
  forget_file();
  allow_stop_signals();
  errno = err;
  return unlinked;
}

void install_interrupt_handler() {
  checked_signal(SIGINT, on_stop);
  for (int signo : {SIGTERM, SIGHUP, SIGQUIT}) {
    // A signal that whoever started the run ignores (nohup, say) stays ignored.
    struct sigaction current {};
    if (sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    checked_signal(signo, on_stop);
  }
}

}  // namespace zamplet
