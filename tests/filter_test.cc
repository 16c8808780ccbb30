// End-to-end tests of filter mode: standard input to standard output.
#include <gtest/gtest.h>

#include "e2e_support.h"

using namespace zamplet_test;

TEST(Filter, ReplacesAndCounts) {
  auto r = run_zamplet({"foo", "bar"}, {.input = "a foo b foo\n"});
  EXPECT_EQ(r.out, "a bar b bar\n 2");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}
