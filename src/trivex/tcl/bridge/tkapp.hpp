// The binding's application object (`tk` of a tkinter.Tk) as the C++ side
// needs to see it: which Tcl interpreter it holds, which thread owns that
// interpreter, and whether the interpreter has been ended.
//
// Threads.  A Tcl interpreter belongs to the thread that created it: Tcl
// keeps its result, its allocation caches and its notifier per thread, so
// using it from another thread corrupts it.  tkinter guards its `call` by
// comparing the calling thread with the owner recorded in the application
// object and refusing with a RuntimeError ("main thread is not in main
// loop" for a threaded Tcl).  Some of tkinter's own readers (getboolean,
// getint, getdouble) and every direct call the package makes into Tcl's C
// library have no such guard, so every entry point that reaches an
// interpreter calls `check_tk()` first: the same comparison and the same
// RuntimeError, without tkinter's one-second wait for a main loop that an
// interpreter without Tk never runs.  It is two loads and one call, cheap
// enough for every entry point.
//
// Ending.  Interpreter.destroy() deletes the Tcl interpreter but cannot
// delete the application object, which others may still hold; the object is
// pointed at a dead interpreter instead (see interpreter.d/ending.cpp).  `check_tk()`
// reports any use of such an object as a TclError, before Tcl is reached.
//
// The layout below is the head of the binding's object in CPython 3.11.  It
// is trusted only after it has been seen to agree with what the object
// reports about itself (interpaddr(), wantobjects()); otherwise nothing here
// reads the object and the checks fall back to what tkinter checks itself.
// It is the package's only view of that head: the interpreter lookup
// (`tkapp_interp`), the thread test of text reads (`on_interp_thread`) and
// the Ctrl-C handling of module _testing all read it through here.
//
// Calls.  `call_tk` hands a tuple of words to tkinter's `call`, and
// `eval_tk` a script to its `eval`, directly when the object is tkinter's
// own (its type is final, so nothing can override the methods), and
// otherwise call the method as Python would.
#pragma once

#include <cstring>

#include "bridge/tclapi.hpp"
#include "bridge/tclobj.hpp"

namespace trivex::tcl {

using Tcl_ThreadId = void*;

struct TkappHead {
  PyObject_HEAD
  Tcl_Interp* interp;
  int wantobjects;
  int threaded;
  Tcl_ThreadId thread_id;
  int dispatching;
};

// The Tcl functions for threads and interpreter lifetimes, resolved from the
// library `api()` uses.
struct LifeApi {
  Tcl_ThreadId (*GetCurrentThread)() = nullptr;
  int (*InterpDeleted)(Tcl_Interp*) = nullptr;
  int (*InterpActive)(Tcl_Interp*) = nullptr;
  Tcl_Interp* (*CreateInterp)() = nullptr;
  void (*DeleteInterp)(Tcl_Interp*) = nullptr;
  void (*Preserve)(ClientData) = nullptr;
  void (*Release)(ClientData) = nullptr;
  void* (*CreateObjCommand)(Tcl_Interp*, const char*, Tcl_ObjCmdProc*, ClientData, Tcl_CmdDeleteProc*) = nullptr;
  int (*Eval)(Tcl_Interp*, const char*) = nullptr;
};

inline const LifeApi& life_api() {
  static const LifeApi a = [] {
    LifeApi r;
    void* h = api().handle;
    resolve(h, r.GetCurrentThread, "Tcl_GetCurrentThread");
    resolve(h, r.InterpDeleted, "Tcl_InterpDeleted");
    resolve(h, r.InterpActive, "Tcl_InterpActive");
    resolve(h, r.CreateInterp, "Tcl_CreateInterp");
    resolve(h, r.DeleteInterp, "Tcl_DeleteInterp");
    resolve(h, r.Preserve, "Tcl_Preserve");
    resolve(h, r.Release, "Tcl_Release");
    resolve(h, r.CreateObjCommand, "Tcl_CreateObjCommand");
    resolve(h, r.Eval, "Tcl_Eval");
    return r;
  }();
  return a;
}

// Whether `tk` is the binding's application object (whose call() takes a
// single tuple as the list of words, or the words themselves).
inline bool is_tkapp(PyObject* tk) {
  static PyTypeObject* tkapp_type = nullptr;
  PyTypeObject* t = Py_TYPE(tk);
  if (t == tkapp_type) return true;
  if (std::strcmp(t->tp_name, "_tkinter.tkapp") != 0) return false;
  tkapp_type = t;
  return true;
}

// The head of `tk` when it is the binding's application object and its
// layout is the one above; null otherwise.
inline TkappHead* tkapp_head(PyObject* tk) {
  static PyTypeObject* known = nullptr;  // the type, once its layout agreed
  static bool refused = false;
  PyTypeObject* t = Py_TYPE(tk);
  if (t == known) return reinterpret_cast<TkappHead*>(tk);
  if (known || refused || std::strcmp(t->tp_name, "_tkinter.tkapp") != 0) return nullptr;
  auto* h = reinterpret_cast<TkappHead*>(tk);
  glue::Ref addr = glue::call_method(tk, GLUE_STR("interpaddr"));
  void* p = PyLong_AsVoidPtr(addr.get());
  if (!p && PyErr_Occurred()) throw glue::PythonError{};
  glue::Ref wants = glue::call_method(tk, GLUE_STR("wantobjects"));
  long w = PyLong_AsLong(wants.get());
  if (w == -1 && PyErr_Occurred()) throw glue::PythonError{};
  if (p == h->interp && w == h->wantobjects && (h->threaded & ~1) == 0 && (h->dispatching & ~1) == 0 &&
      same_tcl_as_tkinter()) {
    known = t;
    return h;
  }
  refused = true;
  return nullptr;
}

[[noreturn]] inline void raise_wrong_thread(const TkappHead* h) {
  // tkinter's own words: what its `call` says when it cannot hand the call
  // over to the owner (a threaded Tcl), and what its other methods say.
  glue::raise(PyExc_RuntimeError, h->threaded && !h->dispatching ? "main thread is not in main loop"
                                                                 : "Calling Tcl from different apartment");
}

[[noreturn]] inline void raise_destroyed() {
  static PyObject* tcl_error = glue::import_attr("tkinter", "TclError").release();
  glue::raise(tcl_error, "this Tcl interpreter has been destroyed");
}

// Whether `tk`'s interpreter may be used from this thread: raises the
// RuntimeError tkinter raises for a call from another thread, or a TclError
// when the interpreter has been destroyed.  Objects other than the binding's
// own are left to check themselves.  The first check on a usable
// interpreter also learns whether text may be handed over as Tcl objects
// (tclobj.hpp).  Returns the head of `tk` when it was checked here, null
// when `tk` is left to check itself.
inline TkappHead* check_tk(PyObject* tk) {
  TkappHead* h = tkapp_head(tk);
  if (!h) return nullptr;
  const LifeApi& life = life_api();
  if (h->thread_id != life.GetCurrentThread()) raise_wrong_thread(h);
  if (life.InterpDeleted(h->interp)) raise_destroyed();
  if (!tcl_obj_layout().probed) probe_tcl_obj_layout(tk, h->interp, &h->wantobjects);
  return h;
}

// check_tk() again after a call that passed it on this thread (`checked`
// being what it returned): only the end of the interpreter, which the call
// may have brought, is left to see.
inline void check_tk_again(const TkappHead* checked) {
  if (checked && life_api().InterpDeleted(checked->interp)) raise_destroyed();
}

// The Tcl_Interp* of `tk`: read from the head when its layout is known,
// else asked of interpaddr().  Either way it must belong to our library.
inline Tcl_Interp* tkapp_interp(PyObject* tk) {
  if (TkappHead* h = tkapp_head(tk)) return interp_from_address(h->interp);
  return interp_of(tk);
}

// Whether `tk` is an application object whose head is known and the calling
// thread is the one its interpreter belongs to (any thread, for a Tcl built
// without threads).
inline bool on_interp_thread(PyObject* tk) {
  TkappHead* h = tkapp_head(tk);
  return h && (!h->threaded || h->thread_id == life_api().GetCurrentThread());
}

// tkinter's own methods, entered directly.  For its own application
// objects (a final type without instance __dict__, so `tk.call` always is
// that method) the C function behind a method is called as the method
// would call it: `call` takes its words as one argument tuple
// (METH_VARARGS), `eval` its script alone (METH_O).  Anything else is
// called as Python would call it.
struct TkappMethod {
  PyTypeObject* type = nullptr;
  PyCFunction fn = nullptr;
};

inline TkappMethod find_tkapp_method(const char* name, int flags) {
  TkappMethod r;
  glue::Ref type = glue::import_attr("_tkinter", "TkappType");
  if (!PyType_Check(type.get())) return r;
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* descr = PyDict_GetItemString(t->tp_dict, name);
  if (descr && Py_IS_TYPE(descr, &PyMethodDescr_Type) && !(t->tp_flags & Py_TPFLAGS_BASETYPE)) {
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    if (def->ml_flags == flags) {
      r.type = reinterpret_cast<PyTypeObject*>(type.release());
      r.fn = def->ml_meth;
    }
  }
  return r;
}

// Kept out of line: their one-time set-up would otherwise swell every caller.
[[gnu::noinline]] inline const TkappMethod& tkapp_call() {
  static const TkappMethod c = find_tkapp_method("call", METH_VARARGS);
  return c;
}
[[gnu::noinline]] inline const TkappMethod& tkapp_eval() {
  static const TkappMethod e = find_tkapp_method("eval", METH_O);
  return e;
}

// `direct.fn(tk, arg)` as tkinter's method would be entered: a new
// reference, or null with the error set.
inline PyObject* enter_tkapp(const TkappMethod& direct, PyObject* tk, PyObject* arg) {
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* r = direct.fn(tk, arg);
  Py_LeaveRecursiveCall();
  if (!r && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "tkapp method returned NULL without setting an exception");
  return r;
}

// tk.call(*words): a new reference, or null with the error set.
inline PyObject* call_tk(PyObject* tk, PyObject* words) {
  const TkappMethod& direct = tkapp_call();
  if (Py_TYPE(tk) == direct.type) return enter_tkapp(direct, tk, words);
  glue::Ref call = glue::Ref::steal(PyObject_GetAttr(tk, GLUE_STR("call")));
  if (!call) return nullptr;
  return PyObject_Call(call.get(), words, nullptr);
}

// tk.eval(script): a new reference, or null with the error set.
inline PyObject* eval_tk(PyObject* tk, PyObject* script) {
  const TkappMethod& direct = tkapp_eval();
  if (Py_TYPE(tk) == direct.type) return enter_tkapp(direct, tk, script);
  return PyObject_CallMethodOneArg(tk, GLUE_STR("eval"), script);
}

}  // namespace trivex::tcl
