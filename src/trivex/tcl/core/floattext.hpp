// Float text without Python: the digits Python's repr() writes, so that a
// float sent to Tcl reads as the same text a Python user sees.
//
// The shortest digits that read back as the same double come from
// std::to_chars; only the layout (fixed or exponent form, ".0" on whole
// numbers, a two-digit exponent at least) is Python's own.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace trivex::floattext {

// Python's repr() of a float, from the shortest round-trip digits: fixed
// notation for decimal exponents -4 < e <= 16 (with ".0" for whole numbers),
// else d[.ddd]e+XX.  Writes at most 32 characters.
inline size_t float_repr(double x, char* out) {
  char* o = out;
  if (std::isnan(x)) return std::memcpy(out, "nan", 3), 3;
  if (std::isinf(x)) {
    if (x < 0) *o++ = '-';
    std::memcpy(o, "inf", 3);
    return static_cast<size_t>(o - out) + 3;
  }
  char buf[40];
  char* end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
  const char* p = buf;
  if (*p == '-') *o++ = *p++;
  char digits[24];
  int nd = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[nd++] = *p;
  int e = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, e);
  int decpt = e + 1;
  auto put = [&](const char* d, int n) {
    std::memcpy(o, d, static_cast<size_t>(n));
    o += n;
  };
  if (decpt <= -4 || decpt > 16) {
    *o++ = digits[0];
    if (nd > 1) {
      *o++ = '.';
      put(digits + 1, nd - 1);
    }
    *o++ = 'e';
    *o++ = e < 0 ? '-' : '+';
    int a = e < 0 ? -e : e;
    if (a < 10) *o++ = '0';
    o = std::to_chars(o, o + 4, a).ptr;
  } else if (decpt <= 0) {
    *o++ = '0';
    *o++ = '.';
    for (int i = 0; i < -decpt; ++i) *o++ = '0';
    put(digits, nd);
  } else if (decpt >= nd) {
    put(digits, nd);
    for (int i = nd; i < decpt; ++i) *o++ = '0';
    *o++ = '.';
    *o++ = '0';
  } else {
    put(digits, decpt);
    *o++ = '.';
    put(digits + decpt, nd - decpt);
  }
  return static_cast<size_t>(o - out);
}

}  // namespace trivex::floattext
