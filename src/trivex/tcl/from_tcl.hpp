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

#include "bridge/listwalk.hpp"
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

// A Tcl string object owned for the length of one question.
class TclString {
 public:
  TclString(const tcl::Api& api, const char* s, Py_ssize_t n) : api_(api) {
    obj_ = api.NewStringObj(s, static_cast<int>(n));
    api.DbIncrRefCount(obj_, __FILE__, __LINE__);
  }
  ~TclString() { api_.DbDecrRefCount(obj_, __FILE__, __LINE__); }
  tcl::Tcl_Obj* get() const { return obj_; }
  const void* type() const { return reinterpret_cast<const tcl::TclObjHead*>(obj_)->typePtr; }

 private:
  const tcl::Api& api_;
  tcl::Tcl_Obj* obj_;
};

enum class Answer { yes, no, ask_python };

// Whether text is a decimal integer in the one spelling every reader agrees
// on: an optional '-', no leading zero (Tcl reads those as octal), at most
// 18 digits (so it fits 64 bits); `value` gets it.
template <class Char>
bool plain_decimal(const Char* s, size_t n, long long& value) {
  size_t i = n && s[0] == '-' ? 1 : 0;
  if (i == n || n - i > 18 || (s[i] == '0' && n - i > 1)) return false;
  long long v = 0;
  for (; i < n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  value = s[0] == '-' ? -v : v;
  return true;
}

// Whether text is plainly a word: it starts with an ASCII letter that
// begins none of Tcl's spellings of numbers (digits, signs, points,
// whitespace; i and n for inf and nan) and booleans (y, n, t, f, o), and
// holds nothing Tcl's list reading treats specially (whitespace, braces,
// quotes, backslashes), so it is a one-element list and no keyed list.
template <class Char>
bool plain_word(const Char* s, size_t n) {
  if (n == 0) return false;
  Char c = s[0] | 0x20;
  if (c < 'a' || c > 'z' || c == 'i' || c == 'n' || c == 'y' || c == 't' || c == 'f' || c == 'o') return false;
  for (size_t i = 1; i < n; ++i) {
    Char d = s[i];
    bool ok = (d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z') || (d >= '0' && d <= '9') || d == '_' ||
              d == '-' || d == '.' || d == ':' || d == '/' || d == ',' || d == '@' || d == '%' || d == '+' ||
              d == '=';
    if (!ok) return false;
  }
  return true;
}

// cast_any's answer for text plainly a word (the text itself) or a plain
// decimal (its int), when the interpreter's readers are its own; empty for
// any other text, which they and Tcl decide.
inline Ref plain_cast(PyObject* text) {
  if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) return Ref();
  const Py_UCS1* s = PyUnicode_1BYTE_DATA(text);
  size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
  long long v = 0;
  if (plain_decimal(s, n, v)) return glue::check(PyLong_FromLongLong(v));
  if (plain_word(s, n)) return Ref::borrow(text);
  return Ref();
}

// What tkinter's getint answers for this text; `out` gets the value.
inline Answer tcl_integer(const tcl::Api& api, const char* s, Py_ssize_t n, Ref& out) {
  long long plain = 0;
  if (plain_decimal(s, static_cast<size_t>(n), plain)) {
    out = glue::check(PyLong_FromLongLong(plain));
    return Answer::yes;
  }
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

// The number of elements of a Tcl list, counting no further than `limit`;
// false when the text is not a well-formed list.
inline bool count_elements(const tcl::Api& api, const char* p, size_t n, size_t limit, size_t& count) {
  count = 0;
  if (limit == 0) return true;
  return tcl::each_element(api.FindElement, p, n, [&](const char*, size_t, bool) { return ++count < limit; });
}

// Whether text may be a keyed list: a well-formed Tcl list whose elements
// are well-formed two-element lists.  Text that fails this cannot become a
// NestMap; text that passes is read by NestMap.from_tcl itself.
inline bool looks_like_keyed_list(const tcl::Api& api, const char* s, size_t n) {
  if (plain_word(s, n)) return false;
  std::string element;
  bool pairs = true;
  bool listed = tcl::each_element(api.FindElement, s, n, [&](const char* start, size_t size, bool literal) {
    if (literal) {
      element.assign(start, size);
    } else {
      element.resize(tcl::collapse_element(api.CopyAndCollapse, start, size, element));
    }
    size_t count = 0;
    pairs = count_elements(api, element.data(), element.size(), 3, count) && count == 2;
    return pairs;
  });
  return listed && pairs;
}

}  // namespace trivex::from_tcl
