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
#include <type_traits>

namespace trivex::quote {

enum Flag : unsigned {
  USE_BRACES = 1u,
  TCL_DONT_USE_BRACES = 2u,
  BRACES_UNMATCHED = 4u,
};

constexpr unsigned kBackslashOnly = TCL_DONT_USE_BRACES | BRACES_UNMATCHED;

// What each ASCII character is to the scan and to the backslash form; the
// characters not listed (and every one past ASCII) are none of these.
enum CharClass : unsigned char {
  kOpenBrace = 1,
  kCloseBrace = 2,
  kSpecial = 4,     // asks for braces: whitespace, '[', '$', ';'
  kBackslash = 8,
  kEscaped = 16,    // written with a backslash in the backslash form
};

inline constexpr struct CharTable {
  unsigned char of[128] = {};
  char letter[128] = {};  // what stands for a control character in the backslash form
  constexpr CharTable() {
    of['{'] = kOpenBrace;
    of['}'] = kCloseBrace;
    for (char c : {'[', '$', ';', ' '}) of[static_cast<unsigned char>(c)] = kSpecial | kEscaped;
    const char controls[] = "\f\n\r\t\v", letters[] = "fnrtv";
    for (int i = 0; controls[i]; ++i) {
      of[static_cast<unsigned char>(controls[i])] = kSpecial | kEscaped;
      letter[static_cast<unsigned char>(controls[i])] = letters[i];
    }
    of['\\'] = kBackslash | kEscaped;
    of[']'] = kEscaped;
    of['"'] = kEscaped;
  }
} kChars;

template <class C>
constexpr unsigned char char_class(C c) {
  auto u = static_cast<std::make_unsigned_t<C>>(c);
  return u < 128 ? kChars.of[u] : 0;
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

// One pass keeps both counts: the classic one, over every brace, and Tcl's
// (tcl_braces_balanced above), which skips the character after a backslash.
template <class C>
constexpr unsigned scan_element(const C* s, size_t n) {
  unsigned flags = 0;
  long nesting = 0;
  long tcl_depth = 0;
  bool tcl_unbalanced = false;
  bool skipped = false;  // whether Tcl's parser skips this character
  if (n == 0 || s[0] == '{' || s[0] == '"') flags |= USE_BRACES;
  for (size_t p = 0; p < n; ++p) {
    unsigned char k = char_class(s[p]);
    bool skip = skipped;
    skipped = false;
    if (!(k & (kOpenBrace | kCloseBrace | kSpecial | kBackslash))) continue;
    if (k & kOpenBrace) {
      ++nesting;
      if (!skip) ++tcl_depth;
    } else if (k & kCloseBrace) {
      if (--nesting < 0) flags |= kBackslashOnly;
      if (!skip && --tcl_depth < 0) tcl_unbalanced = true;
    } else if (k & kSpecial) {
      flags |= USE_BRACES;
    } else {
      // Deliberately not skipping the next character: it is scanned too.
      if (p + 1 == n || s[p + 1] == '\n')
        flags = kBackslashOnly;
      else
        flags |= USE_BRACES;
      skipped = !skip;
    }
  }
  if (nesting != 0) return kBackslashOnly;
  if (braced(flags) && (tcl_unbalanced || tcl_depth != 0)) return kBackslashOnly;
  return flags;
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
    unsigned char k = char_class(s[i]);
    if (!k)
      len += 1;
    else if (k & kEscaped)
      len += 2;
    else
      len += unmatched ? 2 : 1;
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
    unsigned char k = char_class(c);
    if (!k) {
      *d++ = static_cast<O>(c);
    } else if (k & kEscaped) {
      char letter = kChars.letter[static_cast<unsigned char>(c)];  // ASCII: it has a class
      *d++ = '\\';
      *d++ = static_cast<O>(letter ? letter : c);
    } else {
      if (unmatched) *d++ = '\\';
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
