// Signal installation on top of sigaction, the checked call that ends the run
// when an installation fails, and the mask of the signals that stop a run.
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <pthread.h>

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

// Each thread has its own mask; this changes the calling thread's.
void mask_stop_signals(int how, sigset_t* previous = nullptr) {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, signo);
  pthread_sigmask(how, &set, previous);
}

}  // namespace

void block_stop_signals() { mask_stop_signals(SIG_BLOCK); }

void allow_stop_signals() { mask_stop_signals(SIG_UNBLOCK); }

void block_stop_signals(sigset_t* previous) { mask_stop_signals(SIG_BLOCK, previous); }

void restore_signal_mask(const sigset_t& previous) {
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace zamplet
