// Tcl's byte form of text, without Python.
//
// Tcl keeps strings as "modified UTF-8": NUL is the two bytes C0 80 and
// characters beyond the BMP are UTF-16 surrogate pairs, each surrogate
// written as three UTF-8 bytes.  Encoding is done here whole.  Decoding is
// left to the host's UTF-8 decoder (fast, and with the "surrogateescape"
// handler it keeps every byte it cannot read as U+DC00 + byte); these are
// the two steps around it that make Tcl's form read as the text it stands
// for: C0 80 back to NUL before, and escaped surrogate pairs joined after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace trivex::tclcodec {

// Append the Tcl bytes of the code points d[0..n) to `out`.  With
// `escaped_bytes`, U+DC80..U+DCFF (the escapes of the "surrogateescape"
// handler) are written as the bytes they stand for.
template <class C>
void encode(const C* d, size_t n, std::string& out, bool escaped_bytes = false) {
  out.reserve(out.size() + n);
  auto put3 = [&](uint32_t c) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  };
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = static_cast<uint32_t>(d[i]);
    if (c == 0) {
      out += "\xc0\x80";
    } else if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      if (escaped_bytes && c >= 0xDC80 && c <= 0xDCFF)
        out.push_back(static_cast<char>(c - 0xDC00));
      else
        put3(c);
    } else {
      c -= 0x10000;
      put3(0xD800 | (c >> 10));
      put3(0xDC00 | (c & 0x3FF));
    }
  }
}

// Whether s[0..n) may hold Tcl's two-byte NUL (a cheap test first).
inline bool may_hold_nul_pairs(const char* s, size_t n) { return std::memchr(s, '\xc0', n) != nullptr; }

// s[0..n) with every C0 80 made a NUL byte, into `out`.
inline void collapse_nul_pairs(const char* s, size_t n, std::string& out) {
  out.reserve(out.size() + n);
  for (size_t i = 0; i < n;) {
    if (i + 1 < n && s[i] == '\xc0' && s[i + 1] == '\x80') {
      out.push_back('\0');
      i += 2;
    } else {
      out.push_back(s[i++]);
    }
  }
}

// The escape the "surrogateescape" handler gives the byte ED, with which
// every encoded surrogate starts.
constexpr uint32_t kEscapedED = 0xdcED;

// Join, in place, the surrogate pairs that a surrogateescape decoding left
// as escaped bytes, from position `i` (the first U+DCED) on; returns the
// new length.  Only a whole pair is joined: a high surrogate ED A0-AF 80-BF
// followed by a low one ED B0-BF 80-BF.  A lone one stays as its escaped
// bytes.
inline size_t join_escaped_pairs(uint32_t* cp, size_t len, size_t i) {
  auto at = [&](size_t k) -> uint32_t { return k < len ? cp[k] : 0; };
  auto in = [](uint32_t c, uint32_t lo, uint32_t hi) { return lo <= c && c <= hi; };
  size_t j = i;
  for (; i < len; ++i) {
    uint32_t ch = cp[i];
    if (ch == kEscapedED && in(at(i + 1), 0xdcA0, 0xdcAF) && in(at(i + 2), 0xdc80, 0xdcBF) && at(i + 3) == kEscapedED &&
        in(at(i + 4), 0xdcB0, 0xdcBF) && in(at(i + 5), 0xdc80, 0xdcBF)) {
      uint32_t high = 0xD000 | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F);
      uint32_t low = 0xD000 | ((at(i + 4) & 0x3F) << 6) | (at(i + 5) & 0x3F);
      ch = 0x10000 + (((high & 0x3FF) << 10) | (low & 0x3FF));
      i += 5;
    }
    cp[j++] = ch;
  }
  return j;
}

}  // namespace trivex::tclcodec
