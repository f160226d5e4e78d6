// Tcl's dictionary order over code points.
//
// Strings compare as in an index or card catalog: case is ignored except to
// break ties (upper case first), and runs of digits compare as numbers, the
// one with more leading zeros sorting later when the values are equal.  The
// walk keeps one index per string; a position past the end reads as NUL, the
// way a C string ends, so "ab" against "abc" compares NUL with "c".
//
// The character classes come from the caller: `is_digit(c)` and
// `to_lower(c)`, the latter mapping each character to exactly one character
// (Tcl's per-character lower case).  That keeps this header free of any
// Unicode table; the extension passes the host's own, the unit test ASCII.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trivex::dictorder {

// Negative when `left` sorts first, positive when `right` does, zero when the
// two are equal in this order.  Only the sign carries meaning: the value is a
// code-point difference, a leading-zero balance, or 1/-1 from the rule that a
// longer number is larger.
template <class L, class R, class IsDigit, class ToLower>
std::int64_t compare(const L* left, std::size_t nleft, const R* right, std::size_t nright, IsDigit is_digit,
                     ToLower to_lower) {
  std::size_t il = 0, ir = 0;
  auto at_left = [&](std::size_t i) -> char32_t { return i < nleft ? static_cast<char32_t>(left[i]) : 0; };
  auto at_right = [&](std::size_t i) -> char32_t { return i < nright ? static_cast<char32_t>(right[i]) : 0; };
  auto digit = [&](char32_t c) { return c != 0 && is_digit(c); };
  std::int64_t secondary = 0;
  std::int64_t diff = 0;
  for (;;) {
    if (digit(at_right(ir)) && digit(at_left(il))) {
      // Skip leading zeros (but keep the last digit of an all-zero run),
      // remembering which side had more of them.
      std::int64_t zeros = 0;
      while (at_right(ir) == U'0' && digit(at_right(ir + 1))) {
        ++ir;
        --zeros;
      }
      while (at_left(il) == U'0' && digit(at_left(il + 1))) {
        ++il;
        ++zeros;
      }
      if (secondary == 0) secondary = zeros;
      // Same length decides by the first differing digit; otherwise the
      // longer number wins, whatever its digits.
      diff = 0;
      for (;;) {
        if (diff == 0) diff = static_cast<std::int64_t>(at_left(il)) - static_cast<std::int64_t>(at_right(ir));
        ++il;
        ++ir;
        if (!digit(at_right(ir))) {
          if (digit(at_left(il))) return 1;
          if (diff != 0) return diff;
          break;
        }
        if (!digit(at_left(il))) return -1;
      }
      continue;
    }
    if (il >= nleft || ir >= nright) {
      diff = static_cast<std::int64_t>(at_left(il)) - static_cast<std::int64_t>(at_right(ir));
      break;
    }
    char32_t uleft = static_cast<char32_t>(left[il++]);
    char32_t uright = static_cast<char32_t>(right[ir++]);
    // Lower, not upper: characters between 'Z' and 'a' then sort before
    // all letters.
    diff = static_cast<std::int64_t>(to_lower(uleft)) - static_cast<std::int64_t>(to_lower(uright));
    if (diff != 0) return diff;
    if (secondary == 0) secondary = static_cast<std::int64_t>(uleft) - static_cast<std::int64_t>(uright);
  }
  if (diff == 0) diff = secondary;
  return diff;
}

}  // namespace trivex::dictorder
