// Looks made ahead of a file's turn, on worker threads: the read-only part of
// a rewrite (open, lock, read, search up to the first occurrence) of the
// files the main thread reaches next.  Everything that moves, creates or
// deletes a name, and everything the run says, stays on the main thread, in
// the order of the files.
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// Workers at most, whatever the number of cores, and files waiting per
// worker: enough to keep each busy while the main thread takes a file.
constexpr unsigned WORKERS_MAX = 8;
constexpr size_t WAITING_PER_WORKER = 4;
// Below this many spare descriptors the workers' would be missed by the
// walk and the batch: the run keeps to one thread.
constexpr long DESCRIPTORS_WANTED = 64;

// The cores the run may use: those of its affinity mask where the system
// says, else what the library counts.
unsigned cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::thread::hardware_concurrency();
}

}  // namespace

// A worker's own copy of the job and of its matcher, which counts its
// searches, so that no two threads share anything that changes.
struct look_ahead::worker {
  rewrite_job job;
  matcher pattern;
  std::thread thread;
};

struct look_ahead::slot {
  std::string path;
  file_identity checked;
  bool wanted = false;
  bool done = false;
  look_hint hint;
};

look_ahead::look_ahead(const rewrite_job& job) {
  unsigned count = cores();
  if (count > WORKERS_MAX) count = WORKERS_MAX;
  if (count <= 1 || job.trace || sysconf(_SC_OPEN_MAX) - RUN_DESCRIPTORS < DESCRIPTORS_WANTED)
    return;
  room_ = count * WAITING_PER_WORKER;
  slots_.resize(room_);
  // The workers start with the stop signals blocked, and keep them so: the
  // handler runs on the main thread, between two of its steps, as before.
  sigset_t previous;
  block_stop_signals(&previous);
  for (unsigned i = 0; i < count; ++i) {
    auto w = std::make_unique<worker>();
    w->job = job;
    if (job.pattern != nullptr) {
      w->pattern = *job.pattern;
      w->job.pattern = &w->pattern;
    }
    workers_.push_back(std::move(w));
  }
  bool started = true;
  for (auto& w : workers_) {
    worker* self = w.get();
    try {
      self->thread = std::thread([this, self] { work(*self); });
    } catch (const std::system_error&) {
      started = false;  // no thread to be had: the run keeps to one
      break;
    }
  }
  restore_signal_mask(previous);
  if (!started) stop();
}

void look_ahead::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  offered_.notify_all();
  for (auto& w : workers_)
    if (w->thread.joinable()) w->thread.join();
  workers_.clear();
  room_ = 0;
}

look_ahead::~look_ahead() { stop(); }

void look_ahead::offer(const char* path, const file_identity& checked, bool wanted) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    slot& s = slots_[tail_ % room_];
    s.path = path;
    s.checked = checked;
    s.wanted = wanted;
    s.done = false;
    s.hint = look_hint();
    ++tail_;
    // A sleeping worker is woken for two files at once, not for each: a
    // wake-up costs about what the look at a small file does.  A file no
    // worker took is looked at in its own turn.
    wake = wanted && tail_ - next_ >= 2;
  }
  if (wake) offered_.notify_one();
}

look_hint look_ahead::take() {
  std::unique_lock<std::mutex> hold(mutex_);
  slot& s = slots_[head_ % room_];
  // Not begun yet: the file's own turn looks at it now.
  if (next_ == head_) {
    ++next_;
    s.done = true;
  }
  looked_.wait(hold, [&s] { return s.done; });
  ++head_;
  return s.wanted ? s.hint : look_hint();
}

void look_ahead::work(worker& self) {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    offered_.wait(hold, [this] { return stopping_ || next_ < tail_; });
    if (stopping_) return;
    slot& s = slots_[next_++ % room_];
    if (!s.wanted) {
      s.done = true;
      looked_.notify_all();
      continue;
    }
    // The slot stays this worker's until it is done: take() waits for it,
    // and offer() never reaches it before take() has.
    hold.unlock();
    file_identity checked = s.checked;
    struct stat st;
    look_hint hint;
    if (checked == file_identity{} && stat(s.path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      checked = identity_of(st);
    if (!(checked == file_identity{}))
      hint = look_for_occurrence(self.job, s.path.c_str(), checked);
    hold.lock();
    s.hint = hint;
    s.done = true;
    looked_.notify_all();
  }
}

bool hint_holds(const look_hint& hint, const char* path, const file_identity& checked) {
  if (hint.found == look_hint::none) return false;
  struct stat now;
  if (stat(path, &now) != 0 || !S_ISREG(now.st_mode) || !(identity_of(now) == checked)) return false;
  const struct stat& seen = hint.seen;
  return now.st_dev == seen.st_dev && now.st_ino == seen.st_ino && now.st_size == seen.st_size &&
         now.st_mtim.tv_sec == seen.st_mtim.tv_sec && now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == seen.st_ctim.tv_sec && now.st_ctim.tv_nsec == seen.st_ctim.tv_nsec;
}

}  // namespace zamplet
