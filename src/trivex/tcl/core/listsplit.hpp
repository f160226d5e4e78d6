// Splitting Tcl list text into its elements with Tcl's own element scanner,
// free of Python.
//
// The scanner (TclFindElement) and the backslash collapser
// (TclCopyAndCollapse) come from the caller, resolved from the Tcl library
// in use, so the split is Tcl's to the byte.  What is ours is the walk: the
// text is read by length, not up to a NUL, which Tcl's list parser reads as
// an ordinary character; trailing white space ends the walk without an
// element; and an element without a backslash, or a braced one, is taken in
// place, since collapsing it would copy it unchanged.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace trivex::listsplit {

constexpr int kOk = 0;

// Calls `emit(const char* start, size_t size)` for each element of the
// `n` bytes at `s`, in order; `interp()` gives the interpreter the scanner
// reports errors to, and is called only once the scanner is first needed.
// Returns false when the scanner rejects the text (its message then is in
// that interpreter, if any); elements before the fault have been emitted.
// `scratch` holds collapsed elements, so an element emitted from it is valid
// only until the next call of `emit`.
template <class FindElement, class CopyAndCollapse, class Interp, class Emit>
bool split(FindElement find_element, CopyAndCollapse copy_and_collapse, Interp interp, const char* s, size_t n,
           std::string& scratch, Emit emit) {
  const char* const limit = s + n;
  const char* p = s;
  decltype(interp()) ip{};
  bool have_interp = false;
  while (p < limit) {
    if (!have_interp) {
      ip = interp();
      have_interp = true;
    }
    const char* elemStart = nullptr;
    const char* nextElem = nullptr;
    int elemSize = 0, hasBrace = 0;
    if (find_element(ip, p, static_cast<int>(limit - p), &elemStart, &nextElem, &elemSize, &hasBrace) != kOk)
      return false;
    if (elemStart >= limit) break;
    if (hasBrace || !std::memchr(elemStart, '\\', static_cast<size_t>(elemSize))) {
      emit(elemStart, static_cast<size_t>(elemSize));
    } else {
      scratch.resize(static_cast<size_t>(elemSize) + 1);
      int size = copy_and_collapse(elemSize, elemStart, scratch.data());
      emit(static_cast<const char*>(scratch.data()), static_cast<size_t>(size));
    }
    p = nextElem;
  }
  return true;
}

}  // namespace trivex::listsplit
