// Where a rewrite's output goes: the new file, standard output, a unified
// diff, or nowhere (-s in place).  The chunk loop and the search over the
// whole input write to a sink and never ask which kind it is; the frame of
// the rewrite picks the kind once.  Internal to the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace zamplet {

// Output collected before one write, where collecting is invisible.
constexpr size_t STAGE_SIZE = 64 * 1024;

class output_sink {
 public:
  virtual ~output_sink() = default;
  // One stretch of the input, `old`, and what the rewrite makes of it,
  // `data`: both texts are in step at its end.  With `collect` the output
  // may wait for later stretches, where nobody watches it come (a regular
  // file's input, no trace).  False (errno set): the output failed.
  virtual bool write(const char* old, size_t old_len, const char* data, size_t len,
                     bool collect) = 0;
  // The source's bytes from `at` to `end`, which need no change, as the
  // target's next bytes.  False (errno set; EIO: the source shrank).
  virtual bool copy(int source_fd, off_t at, off_t end) {
    (void)source_fd, (void)at, (void)end;
    return true;
  }
  // Whatever waits goes out; at the input's end, what is pending too.
  virtual bool flush() { return true; }
  virtual bool finish() { return flush(); }
  // True when the sink must see the input from its start, the bytes before
  // the first occurrence included (a diff numbers its lines).
  virtual bool sees_whole_input() const { return false; }
  // True when the sink wants each occurrence in a stretch of its own, apart
  // from the unchanged bytes around it (a diff aligns the lines it touches).
  virtual bool wants_each_occurrence() const { return false; }
  // The bytes written so far.
  off_t written() const { return written_; }

 protected:
  off_t written_ = 0;
};

// Nothing is written: -s in place only counts.
class null_sink final : public output_sink {
 public:
  bool write(const char*, size_t, const char*, size_t, bool) override { return true; }
};

// Writes to a descriptor: the new file, or standard output.  Collected
// output waits in `stage`, STAGE_SIZE bytes (null: nothing is collected);
// copies that the kernel cannot make go through `buffer`, `buffer_size`
// bytes.  The caller owns both.  With `echo` the input goes
// out as it came (-s in filter mode); with `writeback` the disk is asked to
// start writing as the file grows, so that the sync before the copy is
// deleted finds little left to do.
class descriptor_sink final : public output_sink {
 public:
  descriptor_sink(int fd, char* stage, char* buffer, size_t buffer_size, bool echo,
                  bool writeback)
      : fd_(fd),
        echo_(echo),
        writeback_(writeback),
        stage_(stage),
        buffer_(buffer),
        buffer_size_(buffer_size) {}
  bool write(const char* old, size_t old_len, const char* data, size_t len, bool collect) override;
  bool copy(int source_fd, off_t at, off_t end) override;
  bool flush() override;

 private:
  bool put(const char* data, size_t len);
  void start_writeback();

  int fd_;
  bool echo_;
  bool writeback_;
  char* stage_;
  size_t staged_ = 0;
  char* buffer_;
  size_t buffer_size_;
  off_t kicked_ = 0;  // how many of the written bytes the disk was asked to take
};

// The trace of -v, beside every sink: two lines per chunk (or block), what
// was read with the count before it, what was written with the count after.
void trace_read(long number, size_t len, int64_t count);
void trace_wrote(size_t len, int64_t count);

}  // namespace zamplet
