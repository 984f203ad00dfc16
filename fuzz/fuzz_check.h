// What every fuzz target shares: a check that stops the run with a readable
// account of the disagreement (libFuzzer then saves the input), and the
// printable form of a byte string for those accounts.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/common/visible.h"

namespace sio_fuzz {

using sio_test::Visible;

[[noreturn]] inline void Fail(const char* file, int line, const char* what,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, what, detail.c_str());
  std::abort();
}

}  // namespace sio_fuzz

// Not assert(), which a build may compile out: a disagreement must always
// stop the run.
#define FUZZ_CHECK(cond, detail)                                        \
  do {                                                                  \
    if (!(cond)) ::sio_fuzz::Fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (false)
