// Signal installation on top of sigaction, the checked call that ends the run
// when an installation fails, and the mask of the signals that stop a run.
#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "support/support.h"

namespace zamplet {

signal_handler signal(int signo, signal_handler handler) {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // An alarm is meant to interrupt a blocking call; everything else restarts it.
  action.sa_flags = signo == SIGALRM ? 0 : SA_RESTART;
  if (sigaction(signo, &action, &previous) < 0) return SIG_ERR;
  return previous.sa_handler;
}

signal_handler checked_signal(int signo, signal_handler handler) {
  signal_handler previous = signal(signo, handler);
  if (previous == SIG_ERR) fail_errno("signal error");
  return previous;
}

namespace {

void mask_stop_signals(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, signo);
  sigprocmask(how, &set, nullptr);
}

}  // namespace

void block_stop_signals() { mask_stop_signals(SIG_BLOCK); }

void allow_stop_signals() { mask_stop_signals(SIG_UNBLOCK); }


}  // namespace zamplet
