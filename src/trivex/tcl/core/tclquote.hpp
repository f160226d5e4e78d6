// Tcl list-element quoting over code points, free of Python.
//
// One element is written so that Tcl's list parser reads it back as exactly
// that string: in braces when braces are enough, else with backslashes.  The
// scan decides which (flags); the conversion writes the element.  Positions
// are characters of any width (char, char16_t, char32_t, or CPython's
// Py_UCS1/2/4); only the ASCII characters below are special.
//
// The scan follows the classic rules, in which a brace after a backslash
// still counts towards brace balance.  Tcl's parser does not count such a
// brace, so those rules alone would brace some strings (`{a\}`, `\{}`) into
// text that Tcl rejects.  The scan therefore also counts braces the way Tcl
// reads them, and falls back to backslashes when that count is unbalanced.
// Every string whose braced form Tcl can read keeps exactly the classic flags.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trivex::quote {

enum Flag : unsigned {
  USE_BRACES = 1u,
  TCL_DONT_USE_BRACES = 2u,
  BRACES_UNMATCHED = 4u,
};

constexpr unsigned kBackslashOnly = TCL_DONT_USE_BRACES | BRACES_UNMATCHED;

template <class C>
constexpr bool scan_special(C c) {
  return c == '[' || c == '$' || c == ';' || c == ' ' || c == '\f' || c == '\n' || c == '\r' ||
         c == '\t' || c == '\v';
}

// Brace balance as Tcl's parser sees it: the character after a backslash is
// skipped.  True when the braces never close more than they opened and end
// balanced.
template <class C>
constexpr bool tcl_braces_balanced(const C* s, size_t n) {
  long depth = 0;
  for (size_t p = 0; p < n; ++p) {
    C c = s[p];
    if (c == '\\') {
      ++p;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (--depth < 0) return false;
    }
  }
  return depth == 0;
}

constexpr bool braced(unsigned flags) {
  return (flags & USE_BRACES) && !(flags & TCL_DONT_USE_BRACES);
}

template <class C>
constexpr unsigned scan_element(const C* s, size_t n) {
  unsigned flags = 0;
  long nesting = 0;
  if (n == 0 || s[0] == '{' || s[0] == '"') flags |= USE_BRACES;
  for (size_t p = 0; p < n; ++p) {
    C c = s[p];
    if (c == '{') {
      ++nesting;
    } else if (c == '}') {
      if (--nesting < 0) flags |= kBackslashOnly;
    } else if (scan_special(c)) {
      flags |= USE_BRACES;
    } else if (c == '\\') {
      // Deliberately not skipping the next character: it is scanned too.
      if (p + 1 == n || s[p + 1] == '\n')
        flags = kBackslashOnly;
      else
        flags |= USE_BRACES;
    }
  }
  if (nesting != 0) return kBackslashOnly;
  if (braced(flags) && !tcl_braces_balanced(s, n)) return kBackslashOnly;
  return flags;
}

template <class C>
constexpr bool backslash_escaped(C c) {
  return c == ']' || c == '[' || c == '$' || c == ';' || c == ' ' || c == '\\' || c == '"';
}

// The letter that stands for a control character in the backslash form, or 0.
template <class C>
constexpr char control_letter(C c) {
  switch (c) {
    case '\f': return 'f';
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    case '\v': return 'v';
    default: return 0;
  }
}

// Length of the converted element.  `unmatched` is whether BRACES_UNMATCHED
// applies on the backslash path (the leading-brace rule sets it as well).
template <class C>
constexpr size_t converted_length(const C* s, size_t n, bool braces, bool unmatched) {
  if (n == 0) return 2;
  if (braces) return n + 2;
  size_t len = 0, i = 0;
  if (s[0] == '{') {
    len = 2;
    i = 1;
    unmatched = true;
  }
  for (; i < n; ++i) {
    C c = s[i];
    if (backslash_escaped(c) || control_letter(c))
      len += 2;
    else if (c == '{' || c == '}')
      len += unmatched ? 2 : 1;
    else
      len += 1;
  }
  return len;
}

// Write the converted element at `d`; returns the end.  Same arguments as
// converted_length.
template <class C, class O>
O* convert_element(const C* s, size_t n, bool braces, bool unmatched, O* d) {
  if (n == 0) {
    *d++ = '{';
    *d++ = '}';
    return d;
  }
  if (braces) {
    *d++ = '{';
    for (size_t i = 0; i < n; ++i) *d++ = static_cast<O>(s[i]);
    *d++ = '}';
    return d;
  }
  size_t i = 0;
  if (s[0] == '{') {
    *d++ = '\\';
    *d++ = '{';
    i = 1;
    unmatched = true;
  }
  for (; i < n; ++i) {
    C c = s[i];
    if (backslash_escaped(c)) {
      *d++ = '\\';
      *d++ = static_cast<O>(c);
    } else if (char letter = control_letter(c)) {
      *d++ = '\\';
      *d++ = static_cast<O>(letter);
    } else if (c == '{' || c == '}') {
      if (unmatched) *d++ = '\\';
      *d++ = static_cast<O>(c);
    } else {
      *d++ = static_cast<O>(c);
    }
  }
  return d;
}

template <class C>
constexpr bool has_brace(const C* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] == '{' || s[i] == '}') return true;
  return false;
}

}  // namespace trivex::quote
