// The listed-files mode: every FILE operand rewritten in place, in order.
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "support/support.h"

namespace zamplet {

namespace {

// True when an intermediate copy `name` exists and can be opened, which
// marks the file as busy.  Never blocks, even on a FIFO.
bool intermediate_exists(const char* name) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Checks what the rename-based rewrite cannot do safely.  Returns false,
// after a note, when `file` must be left alone.  A FILE that cannot be
// looked at goes on, so that the move aside reports it.
bool rewritable(const char* file, const char* temp_name) {
  struct stat st;
  if (stat(file, &st) < 0) return true;
  if (S_ISDIR(st.st_mode)) {
    note("%s\tis directory", file);
    return false;
  }
  // A device node would be replaced by a plain file, and a FIFO would block.
  if (!S_ISREG(st.st_mode)) {
    note("%s\tis not a regular file", file);
    return false;
  }
  // The engine would read and truncate one and the same file.
  struct stat temp;
  if (temp_name != nullptr && stat(temp_name, &temp) == 0 && temp.st_dev == st.st_dev &&
      temp.st_ino == st.st_ino) {
    note("%s\tfile didn't change! It is the same file as the -t name %s", file, temp_name);
    return false;
  }
  return true;
}

// True when the -t name is, at the start of the run, one of the FILEs
// themselves (by name or by another link).
bool temp_is_operand(char* const* files, int count, const char* temp_name) {
  struct stat temp;
  if (temp_name == nullptr || stat(temp_name, &temp) < 0) return false;
  for (int i = 0; i < count; ++i) {
    struct stat st;
    if (stat(files[i], &st) == 0 && st.st_dev == temp.st_dev && st.st_ino == temp.st_ino)
      return true;
  }
  return false;
}

}  // namespace

void rewrite_listed(char* const* files, int count, const char* temp_name) {
  // A -t name is normally replaced file after file.  When it is one of the
  // FILEs, replacing it would destroy that file, which is refused below and
  // must survive: then no move may replace an existing -t name.
  const bool exclusive_temp = temp_is_operand(files, count, temp_name);
  char name[NAME_MAX_BYTES];
  for (int i = 0; i < count; ++i) {
    const char* file = files[i];
    const char* temp = temp_name;
    if (temp_name == nullptr) {
      const int len = snprintf(name, sizeof name, "%s.lock", file);
      if (len < 0 || len >= static_cast<int>(sizeof name)) {
        note("%s\tfile didn't change! Its name is too long", file);
        continue;
      }
      if (intermediate_exists(name)) {
        note("%s\tfile didn't change! %s exists. Try later!", file, name);
        continue;
      }
      // Intermediate copies are never rewritten themselves.
      if (has_lock_suffix(file)) continue;
      temp = name;
    }
    if (!rewritable(file, temp_name)) continue;
    rewrite_in_place(file, temp, temp_name == nullptr || exclusive_temp, true);
  }
}

}  // namespace zamplet
