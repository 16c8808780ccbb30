// Complete writes over descriptors.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "support/support.h"

namespace zamplet {

int write_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t done = ::write(fd, p, len);
    if (done < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (done == 0) {  // no progress and no error: treat as a full device
      errno = ENOSPC;
      return -1;
    }
    p += done;
    len -= static_cast<size_t>(done);
  }
  return 0;
}

int rename_noreplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  if (link(from, to) < 0) return -1;
  if (unlink(from) < 0) {
    const int err = errno;
    (void)unlink(to);
    errno = err;
    return -1;
  }
  return 0;
}

void write_text(int fd, const char* text) {
  (void)write_all(fd, text, strlen(text));
}

namespace {
bool report_lost = false;
}  // namespace

void report_write_failed(int err) {
  if (report_lost) return;
  report_lost = true;
  note("write error:%s", strerror(err));
}

void write_report(const char* data, size_t len) {
  if (write_all(STDOUT_FILENO, data, len) < 0) report_write_failed(errno);
}

void write_report(const char* text) { write_report(text, strlen(text)); }

bool report_failed() { return report_lost; }

}  // namespace zamplet
