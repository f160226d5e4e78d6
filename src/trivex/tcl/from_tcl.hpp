// Tcl values on their way back to Python: every rule of conversion in this
// direction.  Its counterpart for the way there is to_tcl.hpp.
//
// Text (namespace tcl): Tcl's bytes become str exactly as tkinter reads
// them, with the codec's steps from core/tclcodec.hpp around the host's
// UTF-8 decoder.  Lists are split by Tcl's own scanner (module `internal`'s
// GetListFromAny, behind `cast_list`), through the bridge.
//
// Guesses (namespace from_tcl): what cast_any's exact shortcut asks of Tcl
// about a text before it lets the interpreter's readers see it: is it one of
// Tcl's machine-size integers, and could it be a keyed list at all.  They
// call Tcl's C library through bridge/ with no interpreter, so they change
// no interpreter's result.
#pragma once

#include <cstring>
#include <string>

#include "bridge/tclapi.hpp"
#include "core/tclcodec.hpp"
#include "glue/glue.hpp"

namespace trivex::tcl {

// Tcl bytes -> str, as tkinter reads Tcl strings: strict UTF-8 when that
// works; otherwise C0 80 is NUL, undecodable bytes are kept as lone
// surrogates (surrogateescape), and whole encoded surrogate pairs are joined.
inline glue::Ref decode_tcl_text(const char* s, Py_ssize_t size) {
  PyObject* r = PyUnicode_DecodeUTF8(s, size, nullptr);
  if (r) return glue::Ref::steal(r);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw glue::PythonError{};
  PyErr_Clear();
  std::string buf;
  if (tclcodec::may_hold_nul_pairs(s, static_cast<size_t>(size))) {
    tclcodec::collapse_nul_pairs(s, static_cast<size_t>(size), buf);
    s = buf.data();
    size = static_cast<Py_ssize_t>(buf.size());
  }
  glue::Ref u = glue::check(PyUnicode_DecodeUTF8(s, size, "surrogateescape"));
  if (PyUnicode_KIND(u.get()) == PyUnicode_1BYTE_KIND) return u;
  Py_ssize_t len = PyUnicode_GET_LENGTH(u.get());
  Py_ssize_t i = PyUnicode_FindChar(u.get(), tclcodec::kEscapedED, 0, len, 1);
  if (i == -2) throw glue::PythonError{};
  if (i == -1) return u;
  Py_UCS4* cp = PyUnicode_AsUCS4Copy(u.get());
  if (!cp) throw glue::PythonError{};
  Py_ssize_t j = static_cast<Py_ssize_t>(
      tclcodec::join_escaped_pairs(cp, static_cast<size_t>(len), static_cast<size_t>(i)));
  PyObject* out = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cp, j);
  PyMem_Free(cp);
  return glue::check(out);
}

}  // namespace trivex::tcl

namespace trivex::from_tcl {

using glue::Ref;

// The head of Tcl's Tcl_Obj, enough to see an object's type.
struct TclObjHead {
  int refCount;
  char* bytes;
  int length;
  const void* typePtr;
};

// A Tcl string object owned for the length of one question.
class TclString {
 public:
  TclString(const tcl::Api& api, const char* s, Py_ssize_t n) : api_(api) {
    obj_ = api.NewStringObj(s, static_cast<int>(n));
    api.DbIncrRefCount(obj_, __FILE__, __LINE__);
  }
  ~TclString() { api_.DbDecrRefCount(obj_, __FILE__, __LINE__); }
  tcl::Tcl_Obj* get() const { return obj_; }
  const void* type() const { return reinterpret_cast<const TclObjHead*>(obj_)->typePtr; }

 private:
  const tcl::Api& api_;
  tcl::Tcl_Obj* obj_;
};

enum class Answer { yes, no, ask_python };

// What tkinter's getint answers for this text; `out` gets the value.
inline Answer tcl_integer(const tcl::Api& api, const char* s, Py_ssize_t n, Ref& out) {
  // Only Tcl's machine-size integer types are taken as they are: beyond 64
  // bits Tcl wraps or refuses, where tkinter reads a bignum.
  static const void* int_type = api.GetObjType("int");
  static const void* wide_type = api.GetObjType("wideInt");
  TclString obj(api, s, n);
  long long v = 0;
  if (api.GetWideIntFromObj(nullptr, obj.get(), &v) != tcl::TCL_OK) {
    // A number too large for 64 bits also fails here; only a reader knows.
    return obj.type() == nullptr ? Answer::no : Answer::ask_python;
  }
  if (!obj.type() || (obj.type() != int_type && obj.type() != wide_type)) return Answer::ask_python;
  out = glue::check(PyLong_FromLongLong(v));
  return Answer::yes;
}

// Walk the elements of a Tcl list with Tcl's own scanner: `visit(start,
// size, braced)` for each, until it returns false; false when the text is
// not a well-formed list.
template <class Visit>
bool each_element(const tcl::Api& api, const char* p, size_t n, Visit&& visit) {
  const char* end = p + n;
  while (p < end) {
    const char* start = nullptr;
    const char* next = nullptr;
    int size = 0, brace = 0;
    if (api.FindElement(nullptr, p, static_cast<int>(end - p), &start, &next, &size, &brace) != tcl::TCL_OK)
      return false;
    if (start >= end) break;
    if (!visit(start, size, brace != 0)) break;
    p = next;
  }
  return true;
}

// The number of elements of a Tcl list, counting no further than `limit`;
// false when the text is not a well-formed list.
inline bool count_elements(const tcl::Api& api, const char* p, size_t n, size_t limit, size_t& count) {
  count = 0;
  if (limit == 0) return true;
  return each_element(api, p, n, [&](const char*, int, bool) { return ++count < limit; });
}

// Whether text may be a keyed list: a well-formed Tcl list whose elements
// are well-formed two-element lists.  Text that fails this cannot become a
// NestMap; text that passes is read by NestMap.from_tcl itself.
inline bool looks_like_keyed_list(const tcl::Api& api, const char* s, size_t n) {
  std::string element;
  bool pairs = true;
  bool listed = each_element(api, s, n, [&](const char* start, int size, bool braced) {
    if (braced) {
      element.assign(start, static_cast<size_t>(size));
    } else {
      element.resize(static_cast<size_t>(size) + 1);
      int len = api.CopyAndCollapse(size, start, element.data());
      element.resize(static_cast<size_t>(len));
    }
    size_t count = 0;
    pairs = count_elements(api, element.data(), element.size(), 3, count) && count == 2;
    return pairs;
  });
  return listed && pairs;
}

}  // namespace trivex::from_tcl
