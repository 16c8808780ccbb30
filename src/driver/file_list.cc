// --files0-from: the FILE operands read from a file, each ended by a zero
// byte, so that any name a file system holds can be listed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

bool read_file_list(const char* from, file_list* list) {
  const bool standard_input = strcmp(from, "-") == 0;
  const int fd = standard_input ? STDIN_FILENO : open(from, O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("%s\topen error:%s", from, strerror(errno));
  char block[65536];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail("%s\tread error:%s", from, strerror(errno));
    if (got == 0) break;
    list->bytes.insert(list->bytes.end(), block, block + got);
  }
  if (!standard_input) close(fd);
  // The last name may lack its zero byte.
  if (!list->bytes.empty() && list->bytes.back() != '\0') list->bytes.push_back('\0');
  bool all_named = true;
  size_t number = 0;
  for (size_t at = 0; at < list->bytes.size(); at += strlen(&list->bytes[at]) + 1) {
    ++number;
    if (list->bytes[at] != '\0') {
      list->names.push_back(&list->bytes[at]);
      continue;
    }
    note("%s:%zu\tinvalid zero-length file name", from, number);
    all_named = false;
  }
  return all_named;
}

}  // namespace zamplet
