// The checks of the C++ unit tests: CHECK(cond) reports a failed condition
// and counts it; a test's main() ends with `return finish("name")`.
#pragma once

#include <cstdio>
#include <string>

namespace check {
inline int failures = 0;
}

#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++check::failures;                                                            \
    }                                                                               \
  } while (0)

inline int finish(const char* name) {
  if (check::failures) {
    std::fprintf(stderr, "%s: %d check(s) failed\n", name, check::failures);
    return 1;
  }
  std::printf("%s: ok\n", name);
  return 0;
}

// A string of code points stored at another character width.
template <class C>
std::basic_string<C> widen(const std::u32string& s) {
  std::basic_string<C> out;
  for (char32_t c : s) out.push_back(static_cast<C>(c));
  return out;
}
