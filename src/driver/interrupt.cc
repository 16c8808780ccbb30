// Interrupt recovery: SIGINT during an in-place rewrite puts the old content
// back under the file's own name and ends the run.
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// Continues the line on which the file's name stands; prepared here because
// the handler may not format anything.
constexpr char STOPPED[] = " recovered\nOperation stopped. You pressed Ctrl-C or received SIGINT.\n";

// Runs between any two instructions of the run, so it uses only
// async-signal-safe calls.  Standard output needs no flush: the program
// writes it with direct writes and leaves nothing in its stream buffer.
void on_interrupt(int) {
  const char* source = recovery_source;
  const char* target = recovery_target;
  if (source != nullptr && target != nullptr) (void)::rename(source, target);
  if (!opt_quiet) (void)write_all(STDERR_FILENO, STOPPED, sizeof STOPPED - 1);
  _exit(1);
}

void set_interrupt_mask(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigprocmask(how, &set, nullptr);
}

}  // namespace

void install_interrupt_handler() { checked_signal(SIGINT, on_interrupt); }

void block_interrupt() { set_interrupt_mask(SIG_BLOCK); }

void allow_interrupt() { set_interrupt_mask(SIG_UNBLOCK); }

}  // namespace zamplet
