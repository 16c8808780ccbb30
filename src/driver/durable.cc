// Copies that wait for the disk: the copy of a rewritten file's old content
// is deleted only once the new content has reached the disk, so that after a
// power cut at any moment every file is whole under one of its names.  The
// copies of many files wait in a batch, which their syncs and the deletions
// settle: when the batch is full, when its oldest copy has waited a second
// of the run's progress, when the run needs one of its names again, and at
// the latest when the run ends, stops, or fails.
//
// A batch is settled off the run's path: settling threads sync the new
// files (batch_sync.cc) and delete the copies whose sync returned, while the
// run goes on with the next rewrites into the next batch.  One batch at most
// is in flight; the next is handed over once it has landed, and what became
// of its copies is said by the run's own thread when it lands.  The settling
// threads never take a stop signal.  The stop handler, on the run's thread,
// settles the batch in flight itself, alone if no thread has taken it yet,
// else beside them, each copy deleted by one of them only, and then settles
// the filling one.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/batch.h"
#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

constexpr long BATCH_NANOSECONDS = 1000000000;  // how long a copy may wait for the others
constexpr size_t DIR_MAX = 4096;                // a directory's name, with its zero

// The batch that takes the next copies, and the one handed to the settling
// threads (null when none is).  The stop handler reads both, so they change
// only while the stop signals are blocked; a batch changes only while it
// fills, apart from the results that its settling writes.
copy_batch batches[2];
copy_batch* volatile filling = &batches[0];
copy_batch* volatile in_flight = nullptr;
// Where the batch in flight is: handed over, taken by a settling thread,
// settled; or taken by the stop handler, which ends the run.
enum : int { FLIGHT_NONE, FLIGHT_HANDED, FLIGHT_TAKEN, FLIGHT_SETTLED, FLIGHT_STOPPED };
std::atomic<int> flight{FLIGHT_NONE};
bool settler_running = false;
bool settler_tried = false;

// The run's file systems, each with a descriptor for its syncs; the table
// only grows until both batches have landed.
dev_t devices[DEVICES_MAX];
int device_fds[DEVICES_MAX];
volatile sig_atomic_t device_count = 0;
long long batch_started = 0;
bool sync_failed = false;
// New files the batches may keep open (-1 until it is told or first needs
// to know), how many the batch in flight keeps, and the one opened for the
// copy about to join.
int held_max = -1;
int held_in_flight = 0;
int staged = -1;

long long now_nanoseconds() {
  struct timespec t {};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Opens, on the file system of `target`, the directory that holds it, for
// the syncs; -1 when that fails.
int open_on_device(const char* target) {
  char dir[DIR_MAX];
  if (!directory_of(target, dir, sizeof dir)) return -1;
  return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int device_index(dev_t dev) {
  for (int i = 0; i < device_count; ++i)
    if (devices[i] == dev) return i;
  return -1;
}

void forget_devices() {
  for (int i = 0; i < device_count; ++i) close(device_fds[i]);
  device_count = 0;
}

// Gives `b` the run's file systems as they are now.  Async-signal-safe.
void take_devices(copy_batch* b) {
  const int count = device_count;
  for (int i = 0; i < count; ++i) {
    b->devices[i] = devices[i];
    b->device_fds[i] = device_fds[i];
  }
  b->device_count = count;
}

// How many new files the batches may keep open.
int held_limit() {
  if (held_max < 0) (void)hold_new_files(sysconf(_SC_OPEN_MAX) - RUN_DESCRIPTORS);
  return held_max;
}

// Settling threads: they block in the disk's syncs and the deletions, and
// the file system serves syncs and deletions that are in flight together at
// the cost of about one.
constexpr int SETTLERS = 8;
// Counts the news for the settling threads: a batch handed over, or opened
// to them all.
std::atomic<unsigned> news{0};
std::atomic<copy_batch*> open_batch{nullptr};

void tell_settlers() {
  news.fetch_add(1);
  news.notify_all();
}

// Settles its share of the open batch; the thread that settles the last
// copy closes the batch's files and marks it settled.
void share(copy_batch* b) {
  if (!settle_share(b)) return;
  release_batch(b);
  open_batch.store(nullptr);
  b->next.store(PENDING_MAX);
  // Stored before the wake-up, so that a stop handler that waits for it
  // never depends on anything but this store.
  flight.store(FLIGHT_SETTLED);
  flight.notify_all();
}

// A settling thread: the first to find a batch handed over prepares it and
// opens it to all of them; each takes copies from the open batch until none
// is left.
void* settle_handed(void*) {
  for (;;) {
    const unsigned seen = news.load();
    int state = flight.load();
    if (state == FLIGHT_HANDED && flight.compare_exchange_strong(state, FLIGHT_TAKEN)) {
      copy_batch* b = in_flight;
      prepare_batch(b);
      b->done.store(0);
      b->total.store(b->count);
      open_batch.store(b);
      b->next.store(0);
      tell_settlers();
      share(b);
      continue;
    }
    copy_batch* b = open_batch.load();
    if (b != nullptr && b->next.load() < b->total.load()) {
      share(b);
      continue;
    }
    news.wait(seen);
  }
  return nullptr;
}

// Starts the settling threads once, with the stop signals blocked, which
// they keep: they are the run's thread's to take.  Without any, the run
// settles its batches itself.
void start_settler() {
  if (settler_tried) return;
  settler_tried = true;
  sigset_t stops, before;
  sigemptyset(&stops);
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, signo);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  pthread_attr_t small;
  pthread_attr_init(&small);
  pthread_attr_setstacksize(&small, 256 * 1024);
  for (int i = 0; i < SETTLERS; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, &small, settle_handed, nullptr) != 0) break;
    pthread_detach(thread);
    settler_running = true;
  }
  pthread_attr_destroy(&small);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Says what became of the copies of the settled batch `b` and empties it:
// a copy whose new content may not be on disk stays, the only sure old
// content, and the user hears which.  True when every copy's sync returned.
bool report_batch(copy_batch* b) {
  const int count = b->count;
  bool all_synced = true;
  for (int i = 0; i < count; ++i) {
    if (b->synced_at[i] == 0) continue;
    all_synced = false;
    note_failed(b->names + b->copies[i].copy_at, "sync", b->synced_at[i]);
  }
  for (int i = 0; i < count; ++i)
    if (b->unlink_err[i] != 0) note_failed(b->names + b->copies[i].copy_at, "unlink", b->unlink_err[i]);
  b->count = 0;
  b->names_used = 0;
  if (!all_synced) sync_failed = true;
  return all_synced;
}

// Waits until the batch in flight, if any, is settled, and says what became
// of it; true when every copy's sync returned.
bool land() {
  copy_batch* b = in_flight;
  if (b == nullptr) return true;
  for (int state = flight.load(); state != FLIGHT_SETTLED; state = flight.load())
    flight.wait(state);
  block_stop_signals();
  in_flight = nullptr;
  flight.store(FLIGHT_NONE);
  allow_stop_signals();
  held_in_flight = 0;
  return report_batch(b);
}

// Lands the batch in flight and hands over the filling one, which the run
// replaces with an empty one.  The result of the landing.
bool hand_off() {
  const bool landed = land();
  copy_batch* b = filling;
  if (b->count == 0) return landed;
  take_devices(b);
  start_settler();
  block_stop_signals();
  in_flight = b;
  filling = b == &batches[0] ? &batches[1] : &batches[0];
  flight.store(FLIGHT_HANDED);
  allow_stop_signals();
  held_in_flight = b->held_count;
  if (settler_running) {
    tell_settlers();
  } else {
    // A stop meanwhile waits for the syncs, as its handler would make them.
    block_stop_signals();
    flight.store(FLIGHT_TAKEN);
    settle_batch(b, true);
    flight.store(FLIGHT_SETTLED);
    allow_stop_signals();
  }
  return landed;
}

bool batch_names(const copy_batch* b, const char* name) {
  for (int i = 0; b != nullptr && i < b->count; ++i)
    if (strcmp(b->names + b->copies[i].copy_at, name) == 0) return true;
  return false;
}

bool batch_has(const copy_batch* b, const file_identity& identity) {
  for (int i = 0; b != nullptr && i < b->count; ++i)
    if (b->copies[i].old_file == identity) return true;
  return false;
}

}  // namespace

bool make_room_to_settle(const char* copy, const char* target, dev_t dev) {
  const size_t need = strlen(copy) + strlen(target) + 2;
  // Both batches hold new files open, so that the run never runs out of
  // descriptors when they are all in use: the filling one is handed over.
  const bool hold = held_limit() > 0;
  const copy_batch* b = filling;
  if (device_index(dev) < 0 && device_count == DEVICES_MAX)
    settle_copies();  // both batches use the table of file systems
  else if (b->count == PENDING_MAX || b->names_used + need > NAMES_BYTES ||
           (hold && b->held_count + held_in_flight >= held_max))
    hand_off();
  else
    settle_if_due();
  if (need > NAMES_BYTES) return false;
  if (device_index(dev) < 0) {
    if (device_count == DEVICES_MAX) forget_devices();
    const int fd = open_on_device(target);
    if (fd < 0) return false;
    devices[device_count] = dev;
    device_fds[device_count] = fd;
    device_count = device_count + 1;
  }
  // The new file, open from now until its sync; settle_later keeps it when
  // it is still the file the rewrite made.  Its record locks are gone with
  // the rewrite, so closing it later releases nothing.  Without it, the sync
  // opens the file by name and looks at what it finds.
  if (staged >= 0) close(staged);
  staged = hold && filling->held_count + held_in_flight < held_max ? open_for_sync(target) : -1;
  return true;
}

long hold_new_files(long spare) {
  const long most = 2L * PENDING_MAX;
  held_max = static_cast<int>(spare < 0 ? 0 : spare > most ? most : spare);
  return held_max;
}

void settle_later(const char* copy, const char* file, const file_identity& old_file,
                  const file_identity& new_file, off_t bytes) {
  copy_batch* b = filling;
  const size_t copy_len = strlen(copy) + 1;
  const size_t file_len = strlen(file) + 1;
  if (b->count == 0) batch_started = now_nanoseconds();
  waiting_copy& w = b->copies[b->count];
  w.copy_at = b->names_used;
  memcpy(b->names + b->names_used, copy, copy_len);
  b->names_used += copy_len;
  w.file_at = b->names_used;
  memcpy(b->names + b->names_used, file, file_len);
  b->names_used += file_len;
  w.old_file = old_file;
  w.new_file = new_file;
  w.bytes = bytes;
  w.held = -1;
  w.claim.store(0);
  if (staged >= 0) {
    struct stat st;
    if (fstat(staged, &st) == 0 && identity_of(st) == new_file) {
      w.held = staged;
      ++b->held_count;
    } else {
      close(staged);
    }
    staged = -1;
  }
  b->count = b->count + 1;
}

bool sync_file_now(const char* file, const file_identity& identity) {
  take_devices(filling);
  if (sync_one_file(file, identity, *filling)) return true;
  sync_failed = true;
  return false;
}

bool settle_copies() {
  const bool first = hand_off();
  const bool second = land();
  return first && second;
}

void settle_at_exit() { (void)settle_copies(); }

void settle_if_due() {
  // A batch that is due waits for the one in flight to land rather than
  // holding the run up; only a full one does.
  if (filling->count > 0 && now_nanoseconds() - batch_started >= BATCH_NANOSECONDS &&
      (in_flight == nullptr || flight.load() == FLIGHT_SETTLED))
    hand_off();
}

bool any_sync_failed() { return sync_failed; }

bool is_waiting_copy(const file_identity& identity) {
  return batch_has(filling, identity) || batch_has(in_flight, identity);
}

bool names_waiting_copy(const char* name) {
  if (batch_names(filling, name) || batch_names(in_flight, name)) return true;
  if (filling->count == 0 && in_flight == nullptr) return false;
  // Another spelling of the same name ("./f.lock", "d/../f.lock").
  struct stat st;
  if (lstat(name, &st) == 0 && is_waiting_copy(identity_of(st))) return true;
  return stat(name, &st) == 0 && is_waiting_copy(identity_of(st));
}

void settle_copies_now() {
  copy_batch* b = in_flight;
  if (b != nullptr) {
    int state = FLIGHT_HANDED;
    if (flight.compare_exchange_strong(state, FLIGHT_STOPPED))
      settle_batch(b, false);
    else if (state == FLIGHT_TAKEN)
      settle_beside(b);  // its syncs may take long; this run's end waits for its own
  }
  copy_batch* f = filling;
  if (f->count == 0) return;
  take_devices(f);
  settle_batch(f, false);
  f->count = 0;
}

}  // namespace zamplet
