// Values on their way into tkinter: made safe for the binding's own
// conversion before it sees them.
//
// tkinter turns a Python value into a Tcl value itself (a word of `call`,
// the value of `setvar`, the result of a registered command).  At the top
// level it checks every step, but inside a list or tuple it does not: an
// element it fails to convert (a lone surrogate UTF-8 cannot carry, an
// object whose str() raises) is a NULL handed on to Tcl, and the process
// crashes.  Elements that are not text, bytes, numbers or Tcl objects are
// made text by str() in the middle of that loop, so Python code may run
// while the binding walks a list, which is free to shrink under it.
//
// So every value that may nest is looked at here first.  The common case
// (nested text of plain characters, numbers) is recognised without running
// any Python code and passes unchanged; otherwise the value is rebuilt as
// tuples whose elements are all of the plain kinds, each object made text
// exactly once, and the first failure is raised as the Python exception the
// binding would have raised at the top level.  Nesting deeper than Python's
// recursion limit (which also covers a list that contains itself) raises
// RecursionError instead of overflowing the binding's C stack.
#pragma once

#include <climits>

#include "glue/glue.hpp"

namespace trivex::tkvalue {

using glue::Ref;

inline PyTypeObject* tcl_obj_type() {
  static PyTypeObject* const t =
      reinterpret_cast<PyTypeObject*>(glue::import_attr("_tkinter", "Tcl_Obj").release());
  return t;
}

// Whether the binding can encode `s`: it writes UTF-8 with the
// "surrogateescape" handler, so of the surrogates only U+DC80..U+DCFF pass.
inline bool encodable(PyObject* s) {
  int kind = PyUnicode_KIND(s);
  if (kind == PyUnicode_1BYTE_KIND) return true;
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  auto scan = [n](const auto* d) {
    // A branch-free sweep for any surrogate first (it vectorises); only text
    // that has one is looked at closely.
    unsigned any = 0;
    for (Py_ssize_t i = 0; i < n; ++i) any |= (d[i] & 0xF800u) == 0xD800u;
    if (!any) return true;
    for (Py_ssize_t i = 0; i < n; ++i) {
      Py_UCS4 c = d[i];
      if (c >= 0xD800 && c <= 0xDFFF && (c < 0xDC80 || c > 0xDCFF)) return false;
    }
    return true;
  };
  if (kind == PyUnicode_2BYTE_KIND) return scan(PyUnicode_2BYTE_DATA(s));
  return scan(PyUnicode_4BYTE_DATA(s));
}

// Raise what the binding raises for text it cannot take.
[[noreturn]] inline void raise_for_text(PyObject* s) {
  Ref encoded = glue::check(PyUnicode_AsEncodedString(s, "utf-8", "surrogateescape"));
  if (PyBytes_GET_SIZE(encoded.get()) > INT_MAX) glue::raise(PyExc_OverflowError, "string is too long");
  glue::raise(PyExc_UnicodeError, "text cannot be passed to Tcl");
}

inline bool text_fits(PyObject* s) {
  // Four UTF-8 bytes per character at most: only very long text needs the
  // exact count.
  if (PyUnicode_GET_LENGTH(s) > INT_MAX / 4) {
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogateescape"));
    if (!encoded) {
      PyErr_Clear();
      return false;
    }
    return PyBytes_GET_SIZE(encoded.get()) <= INT_MAX;
  }
  return encodable(s);
}

// A value the binding converts without running Python code and without
// failing, other than text and sequences.
inline bool plain_scalar(PyObject* o) {
  if (PyLong_CheckExact(o) || PyFloat_Check(o) || PyBool_Check(o) || Py_IS_TYPE(o, tcl_obj_type())) return true;
  return PyBytes_Check(o) && PyBytes_GET_SIZE(o) < INT_MAX;
}

// Whether `o` passes as it is: nothing in it needs str() or would fail.
// Runs no Python code and calls nothing that could: a value nested deeper
// than `kPlainDepth` is simply not called plain, and `rebuilt` walks it
// under the recursion limit.
constexpr int kPlainDepth = 64;

// The commonest elements, decided on the spot: exact text that is not
// huge, exact ints and floats.
inline bool plain_at_a_glance(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(o) <= INT_MAX / 4 && encodable(o);
  return t == &PyLong_Type || t == &PyFloat_Type;
}

inline bool plain(PyObject* o, int depth = 0) {
  if (plain_at_a_glance(o)) return true;
  if (PyTuple_Check(o) || PyList_Check(o)) {
    if (depth >= kPlainDepth) return false;
    // For a list the size is read afresh at every step; nothing here changes it.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(o, i);
      if (!plain_at_a_glance(item) && !plain(item, depth + 1)) return false;
    }
    return true;
  }
  if (PyUnicode_Check(o)) return text_fits(o);
  return plain_scalar(o);
}

// `o`, or an equal value the binding converts safely; raises what
// converting `o` raises.
inline Ref rebuilt(PyObject* o) {
  if (PyUnicode_Check(o)) {
    if (!text_fits(o)) raise_for_text(o);
    return Ref::borrow(o);
  }
  if (plain_scalar(o)) return Ref::borrow(o);
  if (PyBytes_Check(o)) glue::raise(PyExc_OverflowError, "bytes object is too long");
  if (!PyTuple_Check(o) && !PyList_Check(o)) {
    Ref text = glue::str(o);
    if (!text_fits(text.get())) raise_for_text(text.get());
    return text;
  }
  glue::RecursionGuard guard(" while converting a value for Tcl");
  // A snapshot: str() of an element may change a list.
  Ref items = glue::check(PySequence_Tuple(o));
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  Ref out = glue::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, rebuilt(PyTuple_GET_ITEM(items.get(), i)).release());
  return out;
}

// Any value the binding converts, the result of a registered command
// included: checked all the way down.
inline Ref value(PyObject* o) { return plain(o) ? Ref::borrow(o) : rebuilt(o); }

// One word of `call` or the value of `setvar`: the binding checks the top
// level itself, so only a sequence needs a look.
inline Ref word(PyObject* o) {
  if (!PyTuple_Check(o) && !PyList_Check(o)) return Ref::borrow(o);
  return value(o);
}

// The words of `call` given as one tuple: the tuple itself, or a copy with
// the words that needed it rebuilt.
inline Ref words(PyObject* w) {
  if (!PyTuple_Check(w)) return word(w);
  Ref out;
  Py_ssize_t n = PyTuple_GET_SIZE(w);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(w, i);
    if (!PyTuple_Check(item) && !PyList_Check(item)) continue;
    Ref r = value(item);
    if (r.get() == item) continue;
    if (!out) {
      out = glue::check(PyTuple_New(n));
      for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(out.get(), k, Py_NewRef(PyTuple_GET_ITEM(w, k)));
    }
    PyObject* old = PyTuple_GET_ITEM(out.get(), i);
    PyTuple_SET_ITEM(out.get(), i, r.release());
    Py_DECREF(old);
  }
  return out ? out : Ref::borrow(w);
}

}  // namespace trivex::tkvalue
