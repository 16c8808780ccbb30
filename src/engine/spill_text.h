// Text of any length in bounded memory, for the diff of --diff: a change,
// a line begun or a hunk may be as long as the input (one line of 100 MB),
// and memory must not grow with it.  Internal to the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zamplet {

// An unnamed temporary file in $TMPDIR (else /tmp), read and written; -1
// with errno when it cannot be made.
int open_temporary();
// Writes `len` bytes at offset `at` of `fd`; false (errno set) when they did
// not all go.
bool write_at(int fd, const char* data, size_t len, size_t at);

// Bytes appended one after another: the last ones in memory, those before
// them in an unnamed temporary file once they are more than MEMORY_BOUND.
// A temporary file that cannot be made or written keeps the rest in memory:
// the text is never lost, only its bound (and a later allocation failure is
// the input's "memory" error).  A temporary file that cannot be read back
// is the report's write error (report_write_failed), as the diff is then
// incomplete.
class spill_text {
 public:
  static constexpr size_t MEMORY_BOUND = 256 * 1024;

  spill_text() = default;
  spill_text(const spill_text&) = delete;
  spill_text& operator=(const spill_text&) = delete;
  ~spill_text();

  size_t size() const { return in_file_ + memory_.size(); }
  bool empty() const { return size() == 0; }
  // True when no byte is in the temporary file: data() then holds them all.
  bool all_in_memory() const { return in_file_ == 0; }
  const char* data() const { return memory_.data(); }

  void append(const char* data, size_t len) {
    if (stuck_ || memory_.size() + len <= MEMORY_BOUND) memory_.append(data, len);
    else spill(data, len);
  }
  // Appends `len` bytes of `from` (another text) from `at` on.
  void append(const spill_text& from, size_t at, size_t len);
  // Keeps the first `len` bytes.
  void truncate(size_t len);
  void clear() { truncate(0); }

  // The position of the first `c` in [from, to), or `to`.
  size_t find(char c, size_t from, size_t to) const;
  char at(size_t i) const {
    return i >= in_file_ ? memory_[i - in_file_] : at_in_file(i);
  }
  // Calls each(piece, piece_len) for the bytes [at, at + len), in order.
  template <class F>
  void read(size_t at, size_t len, F&& each) const {
    while (len > 0 && at < in_file_) {
      const size_t piece = read_block(at, len);
      each(block_.data() + (at - block_at_), piece);
      at += piece;
      len -= piece;
    }
    if (len > 0) each(memory_.data() + (at - in_file_), len);
  }

 private:
  char at_in_file(size_t i) const;
  // Makes the block hold `at`; the bytes of [at, at + len) it holds.
  size_t read_block(size_t at, size_t len) const;
  // Moves what memory holds, then `len` bytes of `data`, to the file.
  void spill(const char* data, size_t len);

  std::string memory_;
  size_t in_file_ = 0;  // bytes [0, in_file_) are in the file
  int fd_ = -1;
  bool stuck_ = false;  // the file failed: memory holds everything after it
  // A block of the file read back, and where it starts.
  mutable std::string block_;
  mutable size_t block_at_ = SIZE_MAX;
};

}  // namespace zamplet
