// Python values on their way to Tcl: every rule of conversion in this
// direction, shared by every module that sends values to Tcl.  Its
// counterpart for the way back is from_tcl.hpp.
//
// quotify(obj) gives Tcl text: hooks first (__quotify__, then __tclobj__),
// then None -> "", str -> itself, bool -> "true"/"false", sequences and sets
// -> Tcl list text, mappings -> key/value list text, anything else -> str().
// tclobj(obj) gives what the _tkinter binding passes to Tcl as a word: hook
// (__tclobj__), None -> "", text/bytes/bool/float/Tcl_Obj and machine-size
// ints -> themselves, sequences and mappings -> tuples, else quotify().
//
// Exact built-in types cannot carry hooks, so they take a fast path that
// gives exactly what the general rules give.  List text is built in two
// passes over the elements: convert each, then make each converted value
// text (a hook may return a value that is not yet text) once, scan it and
// write it from that one text.  Recursion into nested values
// is guarded, so a value that contains itself raises RecursionError.
//
// Values on their way into tkinter (namespace tkvalue): made safe for the
// binding's own conversion before it sees them.
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
//
// Text holding a NUL, at any depth, is handed over as a Tcl object in Tcl's
// own form (bridge/tclobj.hpp): the binding would write the NUL as a zero
// byte, which Tcl neither compares equal to its own NUL nor reads back
// whole everywhere.
//
// Last (namespace tcl), text in Tcl's own byte form for the direct calls of
// bridge/, written by core/tclcodec.hpp.
#pragma once

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>

#include "glue/glue.hpp"
#include "bridge/tclobj.hpp"
#include "core/floattext.hpp"
#include "core/tclcodec.hpp"
#include "core/tclquote.hpp"

namespace trivex::convert {

using glue::Ref;

struct Types {
  PyObject* Mapping;
  PyObject* Sequence;
  PyObject* Set;
  PyTypeObject* Tcl_Obj;
};

inline const Types& types() {
  static const Types t = [] {
    Ref abc = glue::import("collections.abc");
    Types r;
    r.Mapping = glue::getattr(abc.get(), "Mapping").release();
    r.Sequence = glue::getattr(abc.get(), "Sequence").release();
    r.Set = glue::getattr(abc.get(), "Set").release();
    r.Tcl_Obj = reinterpret_cast<PyTypeObject*>(glue::import_attr("_tkinter", "Tcl_Obj").release());
    return r;
  }();
  return t;
}

inline PyObject* empty_text() { return GLUE_STR(""); }

// A hook attribute that counts: present and true.
inline Ref hook(PyObject* obj, PyObject* name) {
  Ref h = glue::lookup_attr(obj, name);
  if (h && !glue::truthy(h.get())) return Ref();
  return h;
}

inline bool is_sequence_or_set(PyObject* obj) {
  return glue::isinstance(obj, types().Sequence) || glue::isinstance(obj, types().Set);
}

// Call f(item) for each item, iterating `iterable` once in its own order.
template <class F>
void for_each_item(PyObject* iterable, F&& f) {
  if (PyList_CheckExact(iterable)) {
    // As list iteration does: re-read the size, the list may change under f.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
      f(item.get());
    }
    return;
  }
  if (PyTuple_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) f(PyTuple_GET_ITEM(iterable, i));
    return;
  }
  Ref it = glue::check(PyObject_GetIter(iterable));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item = Ref::steal(raw);
    f(item.get());
  }
  if (PyErr_Occurred()) throw glue::PythonError{};
}

// [k1, m[k1], k2, m[k2], ...] in the mapping's iteration order.
inline Ref flatten_mapping(PyObject* mapping) {
  Ref flat = glue::new_list();
  if (PyDict_CheckExact(mapping)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
      glue::list_append(flat.get(), k);
      glue::list_append(flat.get(), v);
    }
    return flat;
  }
  for_each_item(mapping, [&](PyObject* key) {
    Ref value = glue::check(PyObject_GetItem(mapping, key));
    glue::list_append(flat.get(), key);
    glue::list_append(flat.get(), value.get());
  });
  return flat;
}

using glue::with_chars;
using floattext::float_repr;

inline void require_text(PyObject* s) {
  if (!PyUnicode_Check(s))
    glue::raisef(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(s)->tp_name);
}

Ref quotify(PyObject* obj);

// quotify() of a value that must come out as text (a list element).
inline Ref quotify_text(PyObject* obj) {
  if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
  Ref r = quotify(obj);
  require_text(r.get());
  return r;
}

inline unsigned scan_text(PyObject* s) {
  return with_chars(s, [](const auto* d, size_t n) { return quote::scan_element(d, n); });
}

// One list element ready to be written.
struct Element {
  Ref text;
  bool braces = false;
  bool unmatched = false;
  size_t length = 0;
};

inline Element prepare_element(Ref text, unsigned flags) {
  Element e{std::move(text), quote::braced(flags), (flags & quote::BRACES_UNMATCHED) != 0, 0};
  e.length = with_chars(e.text.get(), [&](const auto* d, size_t n) {
    return quote::converted_length(d, n, e.braces, e.unmatched);
  });
  return e;
}

template <class O>
O* write_element(const Element& e, O* out) {
  return with_chars(e.text.get(),
                    [&](const auto* d, size_t n) { return quote::convert_element(d, n, e.braces, e.unmatched, out); });
}

// Join prepared elements with single spaces into one new str.
inline Ref join_elements(std::span<const Element> elems) {
  if (elems.empty()) return Ref::borrow(empty_text());
  size_t total = elems.size() - 1;
  Py_UCS4 maxchar = 127;
  for (const Element& e : elems) {
    total += e.length;
    Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(e.text.get());
    if (m > maxchar) maxchar = m;
  }
  Ref out = glue::check(PyUnicode_New(static_cast<Py_ssize_t>(total), maxchar));
  auto write_all = [&](auto* d) {
    bool first = true;
    for (const Element& e : elems) {
      if (!first) *d++ = ' ';
      first = false;
      d = write_element(e, d);
    }
  };
  with_chars(out.get(), [&](auto* d, size_t) { write_all(d); });
  return out;
}

// The str `text` written as one list element, quoted as `flags` say.
inline Ref quote_element(Ref text, unsigned flags) {
  Element one = prepare_element(std::move(text), flags);
  return join_elements({&one, 1});
}

// The text of a scalar that needs no Python str: machine-size ints, floats,
// bools, None.  None of these texts contains a character special to Tcl
// lists, so each is its own list element (None's empty text becomes "{}").
struct ScalarText {
  char text[40];
  size_t size;
};

inline bool scalar_text(PyObject* obj, ScalarText& out) {
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyLong_Type) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow) return false;
    out.size = static_cast<size_t>(std::to_chars(out.text, out.text + sizeof out.text, v).ptr - out.text);
    return true;
  }
  if (t == &PyFloat_Type) {
    out.size = float_repr(PyFloat_AS_DOUBLE(obj), out.text);
    return true;
  }
  if (t == &PyBool_Type) {
    out.size = obj == Py_True ? 4 : 5;
    std::memcpy(out.text, obj == Py_True ? "true" : "false", out.size);
    return true;
  }
  if (obj == Py_None) {
    out.size = 2;
    std::memcpy(out.text, "{}", 2);
    return true;
  }
  return false;
}

// List text of an exact list or tuple whose items are all exact str or
// scalars: no hook can run, so the items are read in place and written in
// one pass, without the intermediate objects of the general path.  Between
// the measuring pass and the writing pass no Python code runs, so the items
// stay as measured; the only scratch is one byte per item (how it is
// quoted), never more than the result; scalars past the first few are
// formatted again when written rather than kept.
inline bool quote_plain_items(PyObject* seq, Ref& result) {
  Py_ssize_t n = Py_SIZE(seq);
  PyObject** items = PyList_CheckExact(seq) ? reinterpret_cast<PyListObject*>(seq)->ob_item
                                            : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
  enum : unsigned char { kBraces = 1, kUnmatched = 2 };
  constexpr Py_ssize_t kShort = 64;
  unsigned char short_modes[kShort];
  std::unique_ptr<unsigned char[]> long_modes;
  if (n > kShort) long_modes.reset(new unsigned char[static_cast<size_t>(n)]);
  unsigned char* modes = n > kShort ? long_modes.get() : short_modes;
  size_t total = n ? static_cast<size_t>(n) - 1 : 0;
  Py_UCS4 maxchar = 127;
  ScalarText scalar;
  // The first few scalars' texts are kept on the stack: short lists of
  // numbers are the common case and are not formatted twice.
  constexpr Py_ssize_t kKept = 16;
  ScalarText kept[kKept];
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (PyUnicode_CheckExact(item)) {
      unsigned flags = scan_text(item);
      bool braces = quote::braced(flags), unmatched = (flags & quote::BRACES_UNMATCHED) != 0;
      modes[static_cast<size_t>(i)] = static_cast<unsigned char>((braces ? kBraces : 0) | (unmatched ? kUnmatched : 0));
      total += with_chars(item, [&](const auto* d, size_t len) {
        return quote::converted_length(d, len, braces, unmatched);
      });
      Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(item);
      if (m > maxchar) maxchar = m;
    } else if (scalar_text(item, i < kKept ? kept[i] : scalar)) {
      total += (i < kKept ? kept[i] : scalar).size;
    } else {
      if (PyErr_Occurred()) throw glue::PythonError{};
      return false;
    }
  }
  if (!n) {
    result = Ref::borrow(empty_text());
    return true;
  }
  result = glue::check(PyUnicode_New(static_cast<Py_ssize_t>(total), maxchar));
  auto write_all = [&](auto* d) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];
      if (i) *d++ = ' ';
      if (PyUnicode_CheckExact(item)) {
        unsigned char mode = modes[static_cast<size_t>(i)];
        d = with_chars(item, [&](const auto* s, size_t len) {
          return quote::convert_element(s, len, (mode & kBraces) != 0, (mode & kUnmatched) != 0, d);
        });
      } else {
        const ScalarText* t = &kept[i < kKept ? i : 0];
        if (i >= kKept) {
          scalar_text(item, scalar);
          t = &scalar;
        }
        for (size_t k = 0; k < t->size; ++k) *d++ = static_cast<unsigned char>(t->text[k]);
      }
    }
  };
  with_chars(result.get(), [&](auto* d, size_t) { write_all(d); });
  return true;
}

// Tcl list text of the elements of `iterable`.
inline Ref quote_list(PyObject* iterable) {
  glue::RecursionGuard guard(" while converting a value to Tcl");
  bool exact = PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable);
  if (exact) {
    Ref text;
    if (quote_plain_items(iterable, text)) return text;
  }
  // A short list's elements stay on the stack; a longer one's go to the heap.
  alignas(Element) std::byte room[8 * sizeof(Element)];
  std::pmr::monotonic_buffer_resource scratch(room, sizeof room, std::pmr::new_delete_resource());
  std::pmr::vector<Element> elems(&scratch);
  if (exact) elems.reserve(static_cast<size_t>(Py_SIZE(iterable)));
  for_each_item(iterable, [&](PyObject* item) { elems.push_back(Element{quotify(item)}); });
  // Each element becomes text once: its flags and its written form must
  // come from the same text, or the list would not read back.
  for (Element& e : elems) {
    Ref text = quotify_text(e.text.get());
    unsigned flags = scan_text(text.get());
    e = prepare_element(std::move(text), flags);
  }
  return join_elements(elems);
}

inline Ref quote_mapping(PyObject* mapping) {
  glue::RecursionGuard guard(" while converting a value to Tcl");
  Ref flat = flatten_mapping(mapping);
  return quote_list(flat.get());
}

inline Ref quotify(PyObject* obj) {
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyUnicode_Type) return Ref::borrow(obj);
  if (obj == Py_None) return Ref::borrow(empty_text());
  if (t == &PyBool_Type) return Ref::borrow(obj == Py_True ? GLUE_STR("true") : GLUE_STR("false"));
  if (t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type ||
      t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyRange_Type)
    return quote_list(obj);
  if (t == &PyDict_Type) return quote_mapping(obj);
  if (t == &PyFloat_Type) {
    char text[40];
    size_t n = float_repr(PyFloat_AS_DOUBLE(obj), text);
    return glue::check(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(n)));
  }
  if (t == &PyLong_Type || t == types().Tcl_Obj) return glue::str(obj);

  if (Ref h = hook(obj, GLUE_STR("__quotify__"))) return glue::call(h.get());
  if (Ref h = hook(obj, GLUE_STR("__tclobj__"))) {
    Ref value = glue::call(h.get());
    glue::RecursionGuard guard(" while converting a value to Tcl");
    return quotify(value.get());
  }
  if (PyUnicode_Check(obj)) return glue::str(obj);
  if (is_sequence_or_set(obj)) return quote_list(obj);
  if (glue::isinstance(obj, types().Mapping)) return quote_mapping(obj);
  return glue::str(obj);
}

Ref tclobj(PyObject* obj);

inline bool machine_int(PyObject* obj) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && PyErr_Occurred()) throw glue::PythonError{};
  return overflow == 0;
}

// The types whose instances tclobj() gives back as they are, beside
// machine-size ints: text, bytes, floats, bools and Tcl objects, exactly.
inline bool kept_type(PyTypeObject* t) {
  return t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type || t == &PyBytes_Type ||
         t == types().Tcl_Obj;
}

// Whether every item of the exact tuple `tuple`, at every depth, is one
// that tclobj() gives back as it is.  Such a tuple is its own result, as
// tuple() gives back an exact tuple.  Deep nesting is left to the general
// path and its recursion guard.
[[gnu::noinline]] inline bool kept_tuple(PyObject* tuple, int depth = 0) {
  constexpr int kDeepest = 16;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, i);
    if (kept_type(Py_TYPE(item)) || (PyLong_CheckExact(item) && machine_int(item))) continue;
    if (!PyTuple_CheckExact(item) || depth == kDeepest || !kept_tuple(item, depth + 1)) return false;
  }
  return true;
}

inline Ref tclobj_list(PyObject* iterable) {
  if (PyTuple_CheckExact(iterable) && kept_tuple(iterable)) return Ref::borrow(iterable);
  glue::RecursionGuard guard(" while converting a value to Tcl");
  if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
    // Sized up front; a list that shrinks under a hook is trimmed at the end.
    Py_ssize_t cap = Py_SIZE(iterable);
    Ref out = glue::check(PyTuple_New(cap));
    Py_ssize_t n = 0;
    // Inline: the step runs once per item, and a call per item shows.
    for_each_item(iterable, [&](PyObject* item) __attribute__((always_inline)) {
      Ref v = tclobj(item);
      if (n == cap) {
        PyObject* raw = out.release();
        if (_PyTuple_Resize(&raw, cap * 2 + 1) < 0) throw glue::PythonError{};
        out = Ref::steal(raw);
        cap = cap * 2 + 1;
      }
      PyTuple_SET_ITEM(out.get(), n++, v.release());
    });
    if (n != cap) {
      PyObject* raw = out.release();
      if (_PyTuple_Resize(&raw, n) < 0) throw glue::PythonError{};
      out = Ref::steal(raw);
    }
    return out;
  }
  Ref items = glue::new_list();
  for_each_item(iterable, [&](PyObject* item) {
    Ref v = tclobj(item);
    glue::list_append(items.get(), v.get());
  });
  return glue::check(PyList_AsTuple(items.get()));
}

inline Ref tclobj_mapping(PyObject* mapping) {
  glue::RecursionGuard guard(" while converting a value to Tcl");
  Ref flat = flatten_mapping(mapping);
  return tclobj_list(flat.get());
}

inline Ref tclobj(PyObject* obj) {
  PyTypeObject* t = Py_TYPE(obj);
  if (kept_type(t)) return Ref::borrow(obj);
  if (obj == Py_None) return Ref::borrow(empty_text());
  if (t == &PyLong_Type) return machine_int(obj) ? Ref::borrow(obj) : glue::str(obj);
  if (t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type ||
      t == &PyByteArray_Type || t == &PyRange_Type)
    return tclobj_list(obj);
  if (t == &PyDict_Type) return tclobj_mapping(obj);

  if (Ref h = hook(obj, GLUE_STR("__tclobj__"))) return glue::call(h.get());
  if (PyBytes_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) ||
      PyObject_TypeCheck(obj, types().Tcl_Obj))
    return Ref::borrow(obj);
  if (is_sequence_or_set(obj)) return tclobj_list(obj);
  if (glue::isinstance(obj, types().Mapping)) return tclobj_mapping(obj);
  return quotify(obj);
}

}  // namespace trivex::convert

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

[[gnu::noinline]] inline bool holds_nul_scanned(PyObject* s) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  auto scan = [n](const auto* d) {
    unsigned any = 0;
    for (Py_ssize_t i = 0; i < n; ++i) any |= d[i] == 0;
    return any != 0;
  };
  if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND)
    return std::memchr(PyUnicode_1BYTE_DATA(s), 0, static_cast<size_t>(n)) != nullptr;
  if (PyUnicode_KIND(s) == PyUnicode_2BYTE_KIND) return scan(PyUnicode_2BYTE_DATA(s));
  return scan(PyUnicode_4BYTE_DATA(s));
}

// Whether `s` holds a NUL.  Asked of every text written, so short text of
// one-byte characters, the common case, is looked at in place.
[[gnu::always_inline]] inline bool holds_nul(PyObject* s) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND || n > 16) return holds_nul_scanned(s);
  const Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!d[i]) return true;
  return false;
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
  if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(o) <= INT_MAX / 4 && encodable(o) && !holds_nul(o);
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
  if (PyUnicode_Check(o)) return text_fits(o) && !holds_nul(o);
  return plain_scalar(o);
}

// Text the binding can take, as it is or, holding a NUL, as a Tcl object.
inline Ref safe_text(Ref text) {
  if (!text_fits(text.get())) raise_for_text(text.get());
  if (!holds_nul(text.get())) return text;
  Ref obj = tcl::text_obj(text.get());
  return obj ? obj : text;
}

// `o`, or an equal value the binding converts safely; raises what
// converting `o` raises.
inline Ref rebuilt(PyObject* o) {
  if (PyUnicode_Check(o)) return safe_text(Ref::borrow(o));
  if (plain_scalar(o)) return Ref::borrow(o);
  if (PyBytes_Check(o)) glue::raise(PyExc_OverflowError, "bytes object is too long");
  if (!PyTuple_Check(o) && !PyList_Check(o)) return safe_text(glue::str(o));
  glue::RecursionGuard guard(" while converting a value for Tcl");
  // A snapshot: str() of an element may change a list.
  Ref items = glue::check(PySequence_Tuple(o));
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  Ref out = glue::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, rebuilt(PyTuple_GET_ITEM(items.get(), i)).release());
  return out;
}

// Any value the binding converts, the result of a registered command
// included: checked all the way down.  None, what most callbacks return,
// is made its text at once.
inline Ref value(PyObject* o) {
  if (o == Py_None) return Ref::borrow(GLUE_STR("None"));
  return plain(o) ? Ref::borrow(o) : rebuilt(o);
}

// Text holding a NUL as a Tcl object; null for any other value, and for
// text the binding refuses itself.
inline Ref nul_text(PyObject* o) {
  if (!PyUnicode_Check(o) || !holds_nul(o) || !text_fits(o)) return Ref();
  return tcl::text_obj(o);
}

// One word of `call` or the value of `setvar`: the binding checks the top
// level itself, so only a sequence and text holding a NUL need a look.
inline Ref word(PyObject* o) {
  if (PyUnicode_CheckExact(o) && !holds_nul(o)) return Ref::borrow(o);
  if (!PyTuple_Check(o) && !PyList_Check(o)) {
    Ref obj = nul_text(o);
    return obj ? obj : Ref::borrow(o);
  }
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
    if (PyUnicode_CheckExact(item) && !holds_nul(item)) continue;
    Ref r;
    if (PyTuple_Check(item) || PyList_Check(item))
      r = value(item);
    else if (!(r = nul_text(item)))
      continue;
    if (r.get() == item) continue;
    if (!out) {
      out = glue::check(PyTuple_New(n));
      for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(out.get(), k, Py_NewRef(PyTuple_GET_ITEM(w, k)));
    }
    Ref replaced = Ref::steal(PyTuple_GET_ITEM(out.get(), i));  // the tuple's reference to it
    PyTuple_SET_ITEM(out.get(), i, r.release());
  }
  return out ? out : Ref::borrow(w);
}

}  // namespace trivex::tkvalue

namespace trivex::tcl {

// str -> Tcl bytes: UTF-8 with NUL as C0 80 and characters beyond the BMP as
// surrogate pairs (three bytes each).
inline std::string encode_tcl_text(PyObject* s) {
  std::string out;
  glue::with_chars(s, [&](const auto* d, size_t n) { tclcodec::encode(d, n, out); });
  return out;
}

}  // namespace trivex::tcl
