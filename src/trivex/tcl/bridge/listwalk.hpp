// Walking the elements of Tcl list text with Tcl's own element scanner: the
// one walk behind list splitting (module `internal`), the list checks of the
// value guessers (from_tcl.hpp) and the coverage parser's reading of
// braced lists (_tclcov).
//
// The scanner (TclFindElement) and the backslash collapser
// (TclCopyAndCollapse) come from the caller, resolved from the Tcl library
// in use, so the split is Tcl's to the byte; the header itself needs
// neither Python nor a Tcl header.  What is ours is the walk: the text is
// read by length, not up to a NUL, which Tcl's list parser reads as an
// ordinary character; trailing white space ends the walk without an
// element; and an element without a backslash, or a braced one, is taken in
// place, since collapsing it would copy it unchanged.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace trivex::tcl {

namespace listwalk_detail {
constexpr int kOk = 0;
}

// Calls `visit(const char* start, size_t size, bool literal)` for each
// element of the `n` bytes at `s`, in order, until it returns false.
// `start` points into the text, at the element's first character inside
// its braces or quotes; `literal` says the element holds nothing to
// substitute (braced, or without a backslash), so those bytes are its
// value.  `interp()` gives the interpreter the scanner reports errors to,
// and is called only once the scanner is first needed.  Returns false when
// the scanner rejects the text (its message then is in that interpreter, if
// any); elements before the fault have been visited.
template <class FindElement, class Interp, class Visit>
bool each_element(FindElement find_element, Interp interp, const char* s, size_t n, Visit&& visit) {
  const char* const limit = s + n;
  const char* p = s;
  decltype(interp()) ip{};
  bool have_interp = false;
  while (p < limit) {
    if (!have_interp) {
      ip = interp();
      have_interp = true;
    }
    const char* start = nullptr;
    const char* next = nullptr;
    int size = 0, literal = 0;
    if (find_element(ip, p, static_cast<int>(limit - p), &start, &next, &size, &literal) != listwalk_detail::kOk)
      return false;
    if (start >= limit) break;
    // Before Tcl 8.6 the scanner's flag says only "braced".
    bool plain = literal || !std::memchr(start, '\\', static_cast<size_t>(size));
    if (!visit(start, static_cast<size_t>(size), plain)) break;
    p = next;
  }
  return true;
}

// The same walk with no interpreter to report to.
template <class FindElement, class Visit>
bool each_element(FindElement find_element, const char* s, size_t n, Visit&& visit) {
  return each_element(find_element, [] { return nullptr; }, s, n, static_cast<Visit&&>(visit));
}

// The value of an element that holds a backslash, collapsed into `scratch`;
// returns its length.  The collapser can write more than it reads: a
// backslash before a four-byte lead byte followed by only two trail bytes
// becomes a three-byte surrogate, and the trail bytes are copied after it,
// so every four bytes may give five.  Room is made for that and the NUL.
template <class CopyAndCollapse>
size_t collapse_element(CopyAndCollapse copy_and_collapse, const char* start, size_t size, std::string& scratch) {
  scratch.resize(size + size / 4 + 1);
  int collapsed = copy_and_collapse(static_cast<int>(size), start, scratch.data());
  return static_cast<size_t>(collapsed);
}

// Calls `emit(const char* start, size_t size)` with the value of each
// element, as Tcl's list parser would give it.  `scratch` holds collapsed
// elements, so an element emitted from it is valid only until the next call
// of `emit`.  Otherwise as `each_element`.
template <class FindElement, class CopyAndCollapse, class Interp, class Emit>
bool split_list(FindElement find_element, CopyAndCollapse copy_and_collapse, Interp interp, const char* s, size_t n,
                std::string& scratch, Emit emit) {
  return each_element(find_element, interp, s, n, [&](const char* start, size_t size, bool literal) {
    if (literal) {
      emit(start, size);
    } else {
      size_t collapsed = collapse_element(copy_and_collapse, start, size, scratch);
      emit(static_cast<const char*>(scratch.data()), collapsed);
    }
    return true;
  });
}

}  // namespace trivex::tcl
