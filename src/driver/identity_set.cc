// The set of files that -r remembers, one entry of 16 bytes a file: the
// inode number and the time stamp, in a table of its own for each device.
// A table is cut into shards by the hash of the inode number, each an
// open-addressed array that doubles when it is four fifths full, so that
// growing never holds two copies of more than one shard.  All the entries of
// one inode number lie on one probe sequence.
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "driver/driver.h"

namespace zamplet {

namespace {

constexpr int SHARD_BITS = 6;
constexpr size_t FIRST_SLOTS = 16;
// A slot that holds no file: no time stamp of a file is this far back.
constexpr long long EMPTY = LLONG_MIN;

unsigned long long hash_of(unsigned long long ino) {
  unsigned long long h = ino + 0x9e3779b97f4a7c15ULL;
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

}  // namespace

long long stamp_of(const struct timespec& t) {
  const long long stamp = static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
  return stamp == EMPTY ? EMPTY + 1 : stamp;
}

stamped_file stamped_by_change(const struct stat& st) {
  return {st.st_dev, st.st_ino, stamp_of(st.st_ctim)};
}

bool stamped_by_birth(const char* path, stamped_file* file) {
  struct statx sx;
  if (statx(AT_FDCWD, path, AT_STATX_SYNC_AS_STAT, STATX_INO | STATX_BTIME | STATX_CTIME, &sx) < 0)
    return false;
  const bool born = (sx.stx_mask & STATX_BTIME) != 0;
  const struct statx_timestamp& at = born ? sx.stx_btime : sx.stx_ctime;
  const struct timespec t {at.tv_sec, at.tv_nsec};
  *file = {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino, stamp_of(t)};
  return true;
}

const identity_set::shard* identity_set::shard_of(dev_t dev, unsigned long long h) const {
  for (const device& d : devices_)
    if (d.dev == dev) return &d.shards[h >> (64 - SHARD_BITS)];
  return nullptr;
}

void identity_set::insert(const stamped_file& file) {
  if (count(file) != 0) return;
  const unsigned long long h = hash_of(file.ino);
  device* d = nullptr;
  for (device& known : devices_)
    if (known.dev == file.dev) d = &known;
  if (d == nullptr) {
    devices_.push_back({file.dev, std::vector<shard>(size_t{1} << SHARD_BITS)});
    d = &devices_.back();
  }
  shard& s = d->shards[h >> (64 - SHARD_BITS)];
  if ((s.used + 1) * 5 > s.slots.size() * 4) grow(&s);
  put(&s, {file.ino, file.stamp}, h);
  ++s.used;
}

void identity_set::put(shard* s, const slot& entry, unsigned long long h) {
  const size_t mask = s->slots.size() - 1;
  size_t at = h & mask;
  while (s->slots[at].stamp != EMPTY) at = (at + 1) & mask;
  s->slots[at] = entry;
}

void identity_set::grow(shard* s) {
  std::vector<slot> old;
  old.swap(s->slots);
  s->slots.assign(old.empty() ? FIRST_SLOTS : old.size() * 2, slot{0, EMPTY});
  for (const slot& entry : old)
    if (entry.stamp != EMPTY) put(s, entry, hash_of(entry.ino));
}

size_t identity_set::count(const stamped_file& file) const {
  const unsigned long long h = hash_of(file.ino);
  const shard* s = shard_of(file.dev, h);
  if (s == nullptr || s->slots.empty()) return 0;
  const size_t mask = s->slots.size() - 1;
  for (size_t at = h & mask; s->slots[at].stamp != EMPTY; at = (at + 1) & mask)
    if (s->slots[at].ino == file.ino && (file.stamp == EMPTY || s->slots[at].stamp == file.stamp))
      return 1;
  return 0;
}

bool identity_set::has_inode(dev_t dev, ino_t ino) const {
  return count({dev, ino, EMPTY}) != 0;
}

}  // namespace zamplet
