// The sinks that write to a descriptor or nowhere, and the trace beside them
// (the diff is a sink of its own, diff.cc).
#include "engine/sink.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "support/support.h"

namespace zamplet {

namespace {
// How much new content is handed to the disk at a time while it is written.
constexpr off_t WRITEBACK_STEP = 8 << 20;
}  // namespace

bool descriptor_sink::write(const char* old, size_t old_len, const char* data, size_t len,
                            bool collect) {
  // A simulation writes the unchanged text.
  if (echo_) {
    data = old;
    len = old_len;
  }
  if (collect && stage_ != nullptr && len <= STAGE_SIZE) {
    if (staged_ + len > STAGE_SIZE && !flush()) return false;
    memcpy(stage_ + staged_, data, len);
    staged_ += len;
    return true;
  }
  return flush() && put(data, len);
}

bool descriptor_sink::flush() {
  if (staged_ == 0) return true;
  const size_t len = staged_;
  staged_ = 0;
  return put(stage_, len);
}

bool descriptor_sink::put(const char* data, size_t len) {
  if (write_all(fd_, data, len) < 0) return false;
  written_ += static_cast<off_t>(len);
  if (writeback_) start_writeback();
  return true;
}

// Only a hint; its failure changes nothing.
void descriptor_sink::start_writeback() {
  if (written_ - kicked_ < WRITEBACK_STEP) return;
  (void)sync_file_range(fd_, kicked_, written_ - kicked_, SYNC_FILE_RANGE_WRITE);
  kicked_ = written_;
}

// In the kernel where it can, else through the buffer.
bool descriptor_sink::copy(int source_fd, off_t at, off_t end) {
  if (!flush()) return false;
  const off_t from = at;
  while (at < end) {
    const ssize_t done =
        copy_file_range(source_fd, &at, fd_, nullptr, static_cast<size_t>(end - at), 0);
    if (done > 0) continue;
    if (done < 0 && errno == EINTR) continue;
    if (done == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
        errno == EOPNOTSUPP || errno == EBADF)
      break;
    return false;
  }
  written_ += at - from;
  while (at < end) {
    const size_t want = std::min(buffer_size_, static_cast<size_t>(end - at));
    const ssize_t got = pread(source_fd, buffer_, want, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file shrank under the lock
      return false;
    }
    if (!put(buffer_, static_cast<size_t>(got))) return false;
    at += got;
  }
  if (writeback_) start_writeback();
  return true;
}

void trace_read(long number, size_t len, int64_t count) {
  note("Loop %ld: Read: %zu, Counter: %" PRId64, number, len, count);
}

void trace_wrote(size_t len, int64_t count) {
  note("\tWrite: %zu, Counter: %" PRId64, len, count);
}

}  // namespace zamplet
