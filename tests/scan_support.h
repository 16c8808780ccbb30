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

#include "engine/engine.h"

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
// room, as from a pipe, and one in three finds nothing ready; `starts`
// records where each read began.
struct memory_input {
  const std::string* text;
  size_t at = 0;
  std::mt19937* rng = nullptr;
  std::vector<size_t> starts;
};

inline ssize_t read_memory(void* context, char* into, size_t room) {
  auto* in = static_cast<memory_input*>(context);
  size_t n = std::min(room, in->text->size() - in->at);
  if (in->rng != nullptr && n > 1) n = 1 + (*in->rng)() % n;
  if (n > 0) in->starts.push_back(in->at);
  memcpy(into, in->text->data() + in->at, n);
  in->at += n;
  return static_cast<ssize_t>(n);
}

inline bool memory_ready(void* context) {
  return (*static_cast<memory_input*>(context)->rng)() % 3 != 0;
}

}  // namespace zamplet_test
