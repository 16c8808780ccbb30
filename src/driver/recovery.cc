// The file in hand and stopping a run.  While a file is rewritten in place,
// its old content is under its intermediate name; SIGINT, SIGTERM, SIGHUP or
// SIGQUIT then put it back under the file's own name and end the run with
// status 1.  Every change of what is in hand is one step for the handler:
// the stop signals are blocked around it, and around nothing that may wait.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// The file in hand: its intermediate copy and its own name, both null while
// none is; whether the engine's new file has taken the name, and which file
// that is; and whether its count is out, which makes the rewrite final.
const char* volatile in_hand_copy = nullptr;
const char* volatile in_hand_file = nullptr;
volatile sig_atomic_t in_hand_named = 0;
volatile sig_atomic_t in_hand_counted = 0;
file_identity in_hand_new;
// Set once a file's count is out and kept until the next file is moved
// aside: the file handed on from there (to the batch of copies, or left
// behind with a note) is final too, and a stop meanwhile, in that file's
// sync, its copy's deletion, its line end or before the next file, must not
// say " recovered" after a count that stands.
volatile sig_atomic_t last_counted = 0;

void forget_file() {
  in_hand_copy = nullptr;
  in_hand_file = nullptr;
  in_hand_named = 0;
  in_hand_counted = 0;
}

// True when `name` is the file `expected`, not following a symbolic link.
// Async-signal-safe.
bool names_file(const char* name, const file_identity& expected) {
  struct stat st;
  return lstat(name, &st) == 0 && identity_of(st) == expected;
}

// True when the system cannot exchange two names on this file system.
bool cannot_exchange(int err) { return err == EINVAL || err == ENOSYS || err == ENOTSUP; }

// Puts `copy` back under `file`, replacing only the file `own` there (when
// `own` is given): the look at what the name holds and the replacement are
// one step, an exchange of the two names followed by a look at what moved
// away, and a second exchange back when that is another program's file.
// 0; or -1 with errno, EEXIST when another program's file holds the name
// and the copy stays under its own.  Async-signal-safe.
int restore_over_own(const char* copy, const char* file, const file_identity* own) {
  if (own == nullptr) return rename_noreplace(copy, file);
  if (renameat2(AT_FDCWD, copy, AT_FDCWD, file, RENAME_EXCHANGE) == 0) {
    if (names_file(copy, *own)) {
      (void)unlink(copy);  // the engine's unfinished file
      return 0;
    }
    // Another program's file: it gets its name back.
    (void)renameat2(AT_FDCWD, copy, AT_FDCWD, file, RENAME_EXCHANGE);
    errno = EEXIST;
    return -1;
  }
  if (errno == ENOENT) return rename_noreplace(copy, file);  // the name is free
  if (!cannot_exchange(errno)) return -1;
  // Without exchanges, the closest: a look, then the replacement.
  if (names_file(file, *own)) return ::rename(copy, file);
  return rename_noreplace(copy, file);
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
//
// A file whose count is out keeps its new content: it is synced and its
// copy goes, as the batch's copies do.  Before that, the copy goes back over
// the engine's own new file only; a file another program put under the name
// stays, and the message says where the old content is instead of
// " recovered".  Once the last file's count is out and nothing else is in
// hand, nothing goes back, and the message is the stop line alone.
void on_stop(int signo) {
  if (stopping.exchange(1) != 0) return;
  const char* source = in_hand_copy;
  const char* target = in_hand_file;
  bool kept = false;
  bool final = source == nullptr && last_counted != 0;
  bool unsynced = false;
  if (source != nullptr && target != nullptr && in_hand_counted != 0) {
    final = true;
    if (opt_unlink_lock) {
      unsynced = !sync_file_now(target, in_hand_new);
      if (!unsynced) (void)unlink(source);
    }
  } else if (source != nullptr && target != nullptr) {
    const file_identity own = in_hand_new;
    kept = restore_over_own(source, target, in_hand_named != 0 ? &own : nullptr) < 0 &&
           errno == EEXIST;
  }
  // Files finished before keep their new content, once it is on disk.
  settle_copies_now();
  if (kept) {
    say("\n");
    say(target);
    say("\tfile didn't change! Its old content is in ");
    say(source);
    say("\n");
  } else if (unsynced) {
    say("\n");
    say(source);
    say("\tsync error: the old content stays under this name\n");
  } else {
    say(final ? "\n" : " recovered\n");
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
  // The file and the name are exchanged, and what came out from under the
  // name is deleted only when it is that copy; otherwise they are exchanged
  // back.
  if (moved < 0 && errno == EEXIST && replaceable != nullptr) {
    if (renameat2(AT_FDCWD, file, AT_FDCWD, copy, RENAME_EXCHANGE) == 0) {
      if (names_file(file, *replaceable)) {
        moved = unlink(file);
      } else {
        (void)renameat2(AT_FDCWD, file, AT_FDCWD, copy, RENAME_EXCHANGE);
        errno = EEXIST;
      }
    } else if (cannot_exchange(errno)) {
      errno = EEXIST;
      if (names_file(copy, *replaceable)) moved = ::rename(file, copy);
    }
  }
  const int err = errno;
  if (moved == 0) {
    in_hand_named = 0;
    in_hand_counted = 0;
    last_counted = 0;
    in_hand_copy = copy;
    in_hand_file = file;
  }
  allow_stop_signals();
  errno = err;
  return moved;
}

void new_file_named(const in_place_conversation& files) {
  in_hand_new = files.target;
  in_hand_named = 1;
}

bool file_counted(const char* text, size_t len) {
  // A stop may come only while the count waits for room in standard output;
  // the write itself, of a few bytes once there is room, is never cut off
  // from the mark that the rewrite is final.
  sigset_t stops, open;
  sigemptyset(&stops);
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, signo);
  sigprocmask(SIG_BLOCK, &stops, &open);
  bool ok = true;
  size_t done = 0;
  while (done < len) {
    pollfd ready{STDOUT_FILENO, POLLOUT, 0};
    if (ppoll(&ready, 1, nullptr, &open) < 0 && errno == EINTR) continue;
    const ssize_t n = write(STDOUT_FILENO, text + done, len - done);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
    in_hand_counted = 1;
  }
  const int err = errno;
  in_hand_counted = 1;
  last_counted = 1;
  sigprocmask(SIG_SETMASK, &open, nullptr);
  errno = err;
  return ok;
}

int put_file_back(const in_place_conversation& files) {
  block_stop_signals();
  // Only the engine's own file may be replaced: anything else under the name
  // was put there by another program and stays.
  const int moved =
      restore_over_own(files.copy, files.file, files.target_created ? &files.target : nullptr);
  const int err = errno;
  forget_file();
  allow_stop_signals();
  errno = err;
  return moved;
}

int end_file(const in_place_conversation& files, bool delete_copy, bool can_wait) {
  const char* copy = in_hand_copy;
  block_stop_signals();
  int unlinked = 0;
  if (delete_copy && can_wait)
    settle_later(copy, files.file, files.source, files.target, files.written);
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
