// Text handed to tkinter as a Tcl object the package made itself.
//
// Tcl keeps NUL inside its strings as the two bytes C0 80, so that no Tcl
// string holds a zero byte.  tkinter writes a str's NULs as zero bytes
// instead.  Tcl counts and indexes such a string as expected, but it is not
// the string a script spelling "\0" makes (`string equal` says they differ,
// so do array and dict keys), and every reader that takes Tcl's text as a C
// string (the binding's eval() result, Tcl_GetStringResult, many C
// extensions) stops at the first NUL.
//
// So text holding a NUL is handed over as a `_tkinter.Tcl_Obj` whose Tcl
// string is written here, in Tcl's own byte form.  The binding passes such
// an object on as it is, wherever it takes a value: a word of `call`, the
// value of `setvar`, an element of a tuple, the result of a command.  It
// reads back as the same str through every reader.
//
// The binding offers no way to make one, so it is allocated here with the
// layout below (the binding's object in CPython 3.11: the Tcl_Obj it holds
// one reference to, and a cache of its text that starts empty) and freed
// by the binding's own deallocator.  The layout is trusted only after the
// binding has been seen to use it: a Tcl object whose address is known is
// put into a variable and read back through the binding's getvar(), and
// the object that comes back must hold exactly that address, with its text
// cache empty.  That probe sets, reads and unsets one variable of its own
// through Tcl's C functions and getvar(): it leaves the interpreter's result
// and error state alone, so it may run at the start of any entry point,
// and `check_tk()` (tkapp.hpp) runs it once, on the interpreter's thread.
// Until it has passed, or when it fails, text goes to the binding as
// before.
#pragma once

#include <climits>
#include <string>

#include "bridge/tclapi.hpp"
#include "core/tclcodec.hpp"

namespace trivex::tcl {

// The binding's Tcl object as CPython 3.11's tkinter lays it out.
struct TclObjView {
  PyObject_HEAD
  Tcl_Obj* value;
  PyObject* string;
};

// What is known of the layout: not yet probed, trusted (`type` set), or
// refused.
struct TclObjLayout {
  bool probed = false;
  PyTypeObject* type = nullptr;
};

inline TclObjLayout& tcl_obj_layout() {
  static TclObjLayout layout;
  return layout;
}

namespace detail {

// The probe itself; true when the binding's object has the layout above.
// `wantobjects` is the application object's setting, on for the one read so
// that getvar() gives the object rather than its text.
inline bool tcl_obj_layout_holds(PyObject* tk, Tcl_Interp* interp, int* wantobjects, PyTypeObject* type) {
  if (type->tp_basicsize != sizeof(TclObjView) || type->tp_itemsize != 0 || PyType_IS_GC(type) ||
      !same_tcl_as_tkinter())
    return false;
  constexpr int kGlobalOnly = 1;
  static const char kName[] = "::trivex.tcl.probe";  // fully qualified: no frame can hide it
  const Api& a = api();
  if (a.GetVar2Ex(interp, kName, nullptr, kGlobalOnly)) return false;  // not ours to overwrite
  // A dict: a type the binding does not convert to a Python value.
  Tcl_Obj* obj = a.SetVar2Ex(interp, kName, nullptr, a.NewDictObj(), kGlobalOnly);
  if (!obj) return false;
  a.DbIncrRefCount(obj, __FILE__, __LINE__);
  glue::Ref read;
  {
    struct Restore {
      int* field;
      int was;
      ~Restore() { *field = was; }
    } restore{wantobjects, *wantobjects};
    *wantobjects = 1;
    read = glue::Ref::steal(PyObject_CallMethod(tk, "getvar", "s", kName));
  }
  a.UnsetVar2(interp, kName, nullptr, kGlobalOnly);
  auto* view = reinterpret_cast<TclObjView*>(read.get());
  bool holds = read && Py_IS_TYPE(read.get(), type) && view->value == obj && view->string == nullptr;
  read = nullptr;
  a.DbDecrRefCount(obj, __FILE__, __LINE__);
  return holds;
}

}  // namespace detail

// Probe the layout once, with `tk`'s interpreter; never raises.
[[gnu::noinline]] inline void probe_tcl_obj_layout(PyObject* tk, Tcl_Interp* interp, int* wantobjects) {
  TclObjLayout& layout = tcl_obj_layout();
  layout.probed = true;
  PyObject* type = nullptr;
  PyObject *etype, *evalue, *etb;
  PyErr_Fetch(&etype, &evalue, &etb);
  try {
    glue::Ref t = glue::import_attr("_tkinter", "Tcl_Obj");
    if (PyType_Check(t.get()) &&
        detail::tcl_obj_layout_holds(tk, interp, wantobjects, reinterpret_cast<PyTypeObject*>(t.get())))
      type = t.release();
  } catch (const glue::PythonError&) {
  }
  PyErr_Clear();
  PyErr_Restore(etype, evalue, etb);
  layout.type = reinterpret_cast<PyTypeObject*>(type);
}

// A new `_tkinter.Tcl_Obj` of the trusted layout `type` for `obj`, holding
// a reference of its own, which tkinter's deallocator drops (a new object
// nobody held is freed when the wrapper cannot be made).
inline glue::Ref tcl_obj_view(PyTypeObject* type, Tcl_Obj* obj) {
  ++reinterpret_cast<TclObjHead*>(obj)->refCount;
  auto* view = PyObject_New(TclObjView, type);
  if (!view) {
    api().DbDecrRefCount(obj, __FILE__, __LINE__);
    throw glue::PythonError{};
  }
  view->value = obj;
  view->string = nullptr;
  return glue::Ref::steal(reinterpret_cast<PyObject*>(view));
}

// A new `_tkinter.Tcl_Obj` holding the text of the str `s` in Tcl's byte
// form, written as the binding writes text but for NUL; null when the
// layout is not trusted.  Escaped undecodable bytes (U+DC80..U+DCFF, which
// the binding's "surrogateescape" writes back as the bytes) are written as
// bytes too; the caller has refused other surrogates.
inline glue::Ref text_obj(PyObject* s) {
  PyTypeObject* type = tcl_obj_layout().type;
  if (!type) return glue::Ref();
  std::string bytes;
  glue::with_chars(s, [&](const auto* d, size_t n) { tclcodec::encode(d, n, bytes, true); });
  if (bytes.size() > INT_MAX) glue::raise(PyExc_OverflowError, "string is too long");
  return tcl_obj_view(type, api().NewStringObj(bytes.data(), static_cast<int>(bytes.size())));
}

}  // namespace trivex::tcl
