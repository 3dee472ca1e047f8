// What a fuzz target asserts: a broken property names itself on stderr and aborts, which both
// libFuzzer and the seed replay report as a failure.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool Condition, const char* What) {
  if (Condition) return;
  std::fprintf(stderr, "broken: %s\n", What);
  std::abort();
}
