// Stopping a run: SIGINT, SIGTERM, SIGHUP or SIGQUIT during an in-place
// rewrite put the old content back under the file's own name and end the run
// with status 1.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

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
  const char* source = recovery_source;
  const char* target = recovery_target;
  bool kept = false;
  if (source != nullptr && target != nullptr) {
    if (recovery_target_named != 0)
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
