// What the unit tests give the search over an input: an input held in
// memory, read in pieces as a pipe gives it, and an output that collects
// the rewritten text.
#pragma once

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <sys/types.h>
#include <vector>

#include "engine/scan.h"

namespace zamplet_test {

// Collects the output, `replacement` in the place of each occurrence, the
// longest occurrence and the chunk ends.
class collected final : public zamplet::whole_output {
 public:
  explicit collected(std::string replacement = "<>") : replacement(std::move(replacement)) {}
  bool kept(const char* data, size_t len) override {
    out.append(data, len);
    return true;
  }
  bool replaced(const char*, size_t len) override {
    out += replacement;
    longest = std::max(longest, len);
    return true;
  }
  bool moving() override { return true; }
  bool chunk_end() override {
    ++chunks;
    return true;
  }
  std::string replacement;
  std::string out;
  size_t longest = 0;
  long chunks = 0;
};

// An input in memory.  With `rng`, reads are of random sizes up to the
// room, as from a pipe, and with `may_wait` too, one in three finds nothing
// ready; `starts` records where each read began.
class memory_input final : public zamplet::whole_input {
 public:
  explicit memory_input(const std::string* text, std::mt19937* rng = nullptr,
                        bool may_wait = false)
      : text_(text), rng_(rng), may_wait_(may_wait) {}
  ssize_t read(char* into, size_t room) override {
    size_t n = std::min(room, text_->size() - at_);
    if (rng_ != nullptr && n > 1) n = 1 + (*rng_)() % n;
    if (n > 0) starts.push_back(at_);
    memcpy(into, text_->data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  bool may_wait() const override { return may_wait_; }
  bool ready() override { return (*rng_)() % 3 != 0; }
  std::vector<size_t> starts;

 private:
  const std::string* text_;
  size_t at_ = 0;
  std::mt19937* rng_;
  bool may_wait_;
};

}  // namespace zamplet_test
