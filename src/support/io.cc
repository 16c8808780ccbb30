// Complete writes over descriptors, and the small system questions of the
// syncs.
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

bool directory_of(const char* path, char* dir, size_t size) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    if (size < 2) return false;
    strcpy(dir, ".");
    return true;
  }
  const size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (len >= size) return false;
  memcpy(dir, path, len);
  dir[len] = '\0';
  return true;
}

int open_for_sync(const char* path) {
  const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = open(path, O_RDONLY | flags);
  if (fd < 0 && errno == EACCES) fd = open(path, O_WRONLY | flags);
  return fd;
}

namespace {

// The number after `key` in the text `info`, in kB; 0 when absent.
long long meminfo_value(const char* info, const char* key) {
  const char* at = strstr(info, key);
  if (at == nullptr) return 0;
  at += strlen(key);
  while (*at == ' ') ++at;
  long long kb = 0;
  while (*at >= '0' && *at <= '9') kb = kb * 10 + (*at++ - '0');
  return kb;
}

}  // namespace

long long dirty_bytes() {
  const int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char info[8192];
  const ssize_t got = read(fd, info, sizeof info - 1);
  close(fd);
  if (got <= 0) return -1;
  info[got] = '\0';
  return (meminfo_value(info, "\nDirty:") + meminfo_value(info, "\nWriteback:")) * 1024;
}

}  // namespace zamplet
