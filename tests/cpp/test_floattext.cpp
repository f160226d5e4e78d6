// Unit tests of float text: the layouts Python's repr() uses, pinned by a
// table of its own answers, and the round trip (the text reads back as the
// same double, bit for bit) over many doubles drawn from every exponent.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "check.hpp"
#include "core/floattext.hpp"

static std::string text(double x) {
  char buf[40];
  size_t n = trivex::floattext::float_repr(x, buf);
  CHECK(n <= 32);
  return std::string(buf, n);
}

static void table() {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double x;
    const char* repr;  // what Python's repr() gives
  } cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {-2.5, "-2.5"}, {0.1, "0.1"}, {100.0, "100.0"},
      {1.0 / 3, "0.3333333333333333"}, {1e-4, "0.0001"}, {1e-5, "1e-05"}, {1.5e-5, "1.5e-05"},
      {1e15, "1000000000000000.0"}, {1e16, "1e+16"}, {9999999999999998.0, "9999999999999998.0"},
      {123456789012345678.0, "1.2345678901234568e+17"}, {1e22, "1e+22"}, {1e100, "1e+100"},
      {5e-324, "5e-324"}, {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {0.000123, "0.000123"},
      {inf, "inf"}, {-inf, "-inf"}, {std::nan(""), "nan"},
  };
  for (const Case& c : cases) {
    std::string got = text(c.x);
    if (got != c.repr) std::fprintf(stderr, "float_repr: got %s, want %s\n", got.c_str(), c.repr);
    CHECK(got == c.repr);
  }
}

static void round_trip() {
  std::mt19937_64 rng(20261209);
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    std::string t = text(x);
    double back = std::strtod(t.c_str(), nullptr);
    if (std::memcmp(&back, &x, sizeof x) != 0) {
      std::fprintf(stderr, "float_repr: %s does not read back as %.17g\n", t.c_str(), x);
      CHECK(false);
      return;
    }
    // Whole-number layouts end in ".0"; exponent layouts carry a sign and
    // at least two digits, as Python writes them.
    size_t e = t.find('e');
    if (e == std::string::npos) {
      CHECK(t.find('.') != std::string::npos);
    } else {
      CHECK(t[e + 1] == '+' || t[e + 1] == '-');
      CHECK(t.size() - e - 2 >= 2);
    }
  }
}

int main() {
  table();
  round_trip();
  return finish("test_floattext");
}
