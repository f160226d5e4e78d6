// Arithmetic on `::`-separated Tcl names, over code points and free of
// Python.  Positions are characters of any width (char, char16_t, char32_t,
// or CPython's Py_UCS1/2/4); only ':' is special.
//
// Two readings of a name live here, and they differ on purpose:
//
// * The strict reading (`split`, and with it normalize and join) cuts the
//   name at every "::" from the left, drops empty pieces, and rejects a name
//   when a piece still holds a colon.  Four colons in a row therefore
//   separate like two, three do not.  This is the package's one rule for
//   qualifying names, so a doubtful name is refused everywhere alike.
//
// * Tcl's own reading (`tcl_components`) takes any run of two or more colons
//   as one separator and keeps a lone colon inside a component ("::x:y" is
//   the namespace "x:y").  A namespace's parent can be worked out from its
//   name alone only by reading the name as Tcl does, so that answer matches
//   what `namespace parent` would say.
//
// `qualifiers` and `tail` follow the last "::" as Tcl's `namespace
// qualifiers` and `namespace tail` do, and never fail.
#pragma once

#include <cstddef>
#include <vector>

namespace trivex::names {

constexpr size_t npos = static_cast<size_t>(-1);

// A piece of a name: `len` characters from `start`.
struct Piece {
  size_t start;
  size_t len;
};

template <class C>
constexpr bool starts_with_sep(const C* s, size_t n) {
  return n >= 2 && s[0] == ':' && s[1] == ':';
}

// Start of the last occurrence of "::" (overlapping matches allowed, as a
// reverse search finds them), or npos.
template <class C>
constexpr size_t rfind_sep(const C* s, size_t n) {
  for (size_t i = n; i >= 2; --i)
    if (s[i - 2] == ':' && s[i - 1] == ':') return i - 2;
  return npos;
}

// Length of the leading qualifiers: the text before the separator run that
// precedes the last component.
template <class C>
constexpr size_t qualifiers_len(const C* s, size_t n) {
  size_t p = rfind_sep(s, n);
  if (p == npos) return 0;
  while (p > 0 && s[p - 1] == ':') --p;
  return p;
}

// Where the last component starts.
template <class C>
constexpr size_t tail_start(const C* s, size_t n) {
  size_t p = rfind_sep(s, n);
  return p == npos ? 0 : p + 2;
}

// The strict reading.  Fills `pieces` with the non-empty pieces between
// "::" separators (cut from the left) and sets `absolute` when the name
// starts with "::".  Returns false when a piece holds a colon.
template <class C>
bool split(const C* s, size_t n, bool& absolute, std::vector<Piece>& pieces) {
  pieces.clear();
  absolute = starts_with_sep(s, n);
  size_t start = 0;
  size_t i = 0;
  auto flush = [&](size_t end) {
    if (end > start) pieces.push_back({start, end - start});
  };
  while (i + 1 < n) {
    if (s[i] == ':' && s[i + 1] == ':') {
      flush(i);
      i += 2;
      start = i;
    } else {
      ++i;
    }
  }
  flush(n);
  for (const Piece& p : pieces)
    for (size_t k = p.start; k < p.start + p.len; ++k)
      if (s[k] == ':') return false;
  return true;
}

// Whether the strict reading leaves the name exactly as it is: components
// without colons joined by single "::", with an optional leading "::" that
// is followed by a component ("::" alone normalizes to the empty name).
template <class C>
constexpr bool is_normal(const C* s, size_t n) {
  if (n == 0) return true;
  size_t i = starts_with_sep(s, n) ? 2 : 0;
  if (i == n) return false;
  while (true) {
    size_t start = i;
    while (i < n && s[i] != ':') ++i;
    if (i == start) return false;  // empty component or a stray colon
    if (i == n) return true;
    if (i + 2 >= n || s[i + 1] != ':' || s[i + 2] == ':') return false;
    i += 2;
  }
}

// Tcl's reading: the components between separator runs of two or more
// colons; empty components (leading, trailing, repeated separators) are
// dropped.
template <class C>
std::vector<Piece> tcl_components(const C* s, size_t n) {
  std::vector<Piece> out;
  size_t start = 0;
  size_t i = 0;
  while (i < n) {
    if (s[i] == ':' && i + 1 < n && s[i + 1] == ':') {
      if (i > start) out.push_back({start, i - start});
      while (i < n && s[i] == ':') ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (n > start) out.push_back({start, n - start});
  return out;
}

// Appends the normalized form of `pieces` (as `split` gives them) to `out`:
// "::"-joined, with a leading "::" for an absolute name that has pieces.
template <class C, class Out>
void write_normalized(const C* s, bool absolute, const std::vector<Piece>& pieces, Out& out) {
  bool first = !absolute;
  for (const Piece& p : pieces) {
    if (!first) {
      out.push_back(':');
      out.push_back(':');
    }
    first = false;
    for (size_t k = p.start; k < p.start + p.len; ++k) out.push_back(s[k]);
  }
}

// The fully qualified parent of the absolute namespace name `s`, as
// `namespace parent` reports it: "::" for a top-level namespace and the
// empty name for the global namespace itself.
template <class C, class Out>
void absolute_parent(const C* s, size_t n, Out& out) {
  std::vector<Piece> comps = tcl_components(s, n);
  if (comps.empty()) return;
  out.push_back(':');
  out.push_back(':');
  for (size_t c = 0; c + 1 < comps.size(); ++c) {
    if (c) {
      out.push_back(':');
      out.push_back(':');
    }
    for (size_t k = comps[c].start; k < comps[c].start + comps[c].len; ++k) out.push_back(s[k]);
  }
}

}  // namespace trivex::names
