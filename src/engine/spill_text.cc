#include "engine/spill_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "support/support.h"

namespace zamplet {

namespace {

// Bytes read back from the file at a time.
constexpr size_t BLOCK = 64 * 1024;

}  // namespace

bool write_at(int fd, const char* data, size_t len, size_t at) {
  while (len > 0) {
    const ssize_t put = pwrite(fd, data, len, static_cast<off_t>(at));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    len -= static_cast<size_t>(put);
    at += static_cast<size_t>(put);
  }
  return true;
}

int open_temporary() {
  const char* dir = getenv("TMPDIR");
  return open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC,
              0600);
}

spill_text::~spill_text() {
  if (fd_ >= 0) close(fd_);
}

void spill_text::append(const spill_text& from, size_t at, size_t len) {
  from.read(at, len, [this](const char* piece, size_t piece_len) { append(piece, piece_len); });
}

void spill_text::truncate(size_t len) {
  if (len >= in_file_) {
    memory_.resize(len - in_file_);
    return;
  }
  // Dropping the end of the file part: the file is cut where the text now
  // ends, and what it held past that is no longer read back.
  memory_.clear();
  // Past `len` nothing is read back (what the file still holds there is
  // overwritten as the text grows), so a failed cut costs only disk space.
  (void)!ftruncate(fd_, static_cast<off_t>(len));
  in_file_ = len;
  block_at_ = SIZE_MAX;
}

void spill_text::spill(const char* data, size_t len) {
  if (fd_ < 0) fd_ = open_temporary();
  const size_t held = memory_.size();
  if (fd_ < 0 || !write_at(fd_, memory_.data(), held, in_file_) ||
      !write_at(fd_, data, len, in_file_ + held)) {
    stuck_ = true;
    memory_.append(data, len);
    return;
  }
  in_file_ += held + len;
  memory_.clear();
  if (memory_.capacity() > 2 * MEMORY_BOUND) memory_.shrink_to_fit();
}

size_t spill_text::read_block(size_t at, size_t len) const {
  if (block_at_ == SIZE_MAX || at < block_at_ || at >= block_at_ + block_.size()) {
    block_at_ = at - at % BLOCK;
    block_.resize(std::min(BLOCK, in_file_ - block_at_));
    size_t got = 0;
    while (got < block_.size()) {
      const ssize_t n = pread(fd_, block_.data() + got, block_.size() - got,
                              static_cast<off_t>(block_at_ + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // The diff cannot be made whole: the run says so and fails.
        report_write_failed(n < 0 ? errno : EIO);
        std::fill(block_.begin() + static_cast<long>(got), block_.end(), '\0');
        break;
      }
      got += static_cast<size_t>(n);
    }
  }
  return std::min({len, block_at_ + block_.size() - at, in_file_ - at});
}

size_t spill_text::find(char c, size_t from, size_t to) const {
  while (from < to && from < in_file_) {
    const size_t piece = read_block(from, to - from);
    const char* start = block_.data() + (from - block_at_);
    const void* found = memchr(start, c, piece);
    if (found != nullptr) return from + static_cast<size_t>(static_cast<const char*>(found) - start);
    from += piece;
  }
  if (from >= to) return to;
  const char* start = memory_.data() + (from - in_file_);
  const void* found = memchr(start, c, to - from);
  return found == nullptr ? to : from + static_cast<size_t>(static_cast<const char*>(found) - start);
}

char spill_text::at_in_file(size_t i) const {
  read_block(i, 1);
  return block_[i - block_at_];
}

}  // namespace zamplet
