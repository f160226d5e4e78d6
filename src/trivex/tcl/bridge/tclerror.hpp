// A failed Tcl evaluation as a TclError that carries Tcl's return options.
//
// tkinter reports a failed evaluation with the interpreter's result alone.
// The rest of what Tcl knows about the failure, what `catch` would put in
// its options variable (-errorcode, -errorinfo, -errorline, -errorstack,
// -code, -level), stays in the interpreter only until Tcl runs something
// else.  So a call site reads it with `read_failure` first thing after the
// binding has reported the failure, then does whatever else it has to do
// (reading ::errorInfo, say), and makes the exception with `failure_error`.
// Which attributes the exception gets, and how the options map onto them,
// is decided once, in the Python module _tclerror; errors are no hot path,
// so it is imported when one is made.
//
// Only evaluations leave options that belong to the failure: a failed
// variable access through the binding (getvar, setvar, unsetvar) sets the
// result and -errorcode but leaves -errorinfo and -errorstack of an earlier
// error in place, so those failures keep the binding's plain TclError.
//
// A failure that began with a Python exception in a published callback
// gets that exception as its __cause__.  The callback's wrapper leaves the
// exception in a slot of the Tcl interpreter (Tcl's assoc data, which every
// module of the package reaches) together with the message and errorCode
// word it gave Tcl.  The next failure read from that interpreter empties the
// slot, and takes the exception as its cause only if it still is that Tcl
// error: a callback error a script caught leaves nothing for a later,
// unrelated failure.  So at most one exception per interpreter waits, never
// beyond the next failure read or the interpreter's end.
//
// Whatever goes wrong while reading the options or making the exception
// (an object standing in for the binding, a binding running another Tcl, a
// failing import) must not replace the user's error: the call site then
// raises the plain TclError it raised before.  Only an interruption
// (KeyboardInterrupt and other non-Exception errors) is let through.
#pragma once

#include <cstring>
#include <utility>

#include "bridge/tclapi.hpp"
#include "from_tcl.hpp"
#include "bridge/tkapp.hpp"

namespace trivex::tcl {

// What the interpreter holds about the failure it has just reported.
struct Failure {
  glue::Ref result;   // the error message (str)
  glue::Ref options;  // the return options dictionary as Tcl writes it (str)
  // What a failed callback left in the interpreter: its exception, and the
  // message and errorCode word it gave Tcl.
  glue::Ref cause, cause_message, cause_code;
  explicit operator bool() const { return static_cast<bool>(options); }
};

namespace detail {

// In a catch clause of glue::PythonError: forget the error unless it is an
// interruption.
inline void drop_python_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
  PyErr_Clear();
}

}  // namespace detail

// -- the callback cause slot ------------------------------------------------

struct CauseSlot {
  glue::Owned exc;
  glue::Owned message;  // str
  glue::Owned code;     // str
  void clear() {
    exc = nullptr;
    message = nullptr;
    code = nullptr;
  }
};

namespace detail {

using InterpDeleteProc = void(ClientData, Tcl_Interp*);

struct AssocApi {
  ClientData (*Get)(Tcl_Interp*, const char*, InterpDeleteProc**) = nullptr;
  void (*Set)(Tcl_Interp*, const char*, InterpDeleteProc*, ClientData) = nullptr;
};

inline const AssocApi& assoc_api() {
  static AssocApi f;
  if (!f.Set) {
    AssocApi n;
    resolve(api().handle, n.Get, "Tcl_GetAssocData");
    resolve(api().handle, n.Set, "Tcl_SetAssocData");
    f = n;
  }
  return f;
}

constexpr const char* kCauseKey = "trivex.tcl callback cause";

// Tcl deletes the interpreter with the GIL released, or after Python ended.
inline void cause_slot_deleted(ClientData cd, Tcl_Interp*) {
  auto* slot = static_cast<CauseSlot*>(cd);
  if (Py_IsInitialized() && !_Py_IsFinalizing()) {
    PyGILState_STATE st = PyGILState_Ensure();
    slot->clear();
    PyGILState_Release(st);
  }
  delete slot;
}

inline CauseSlot* cause_slot(Tcl_Interp* interp, bool create) {
  const AssocApi& f = assoc_api();
  auto* slot = static_cast<CauseSlot*>(f.Get(interp, kCauseKey, nullptr));
  if (!slot && create) {
    slot = new CauseSlot;
    f.Set(interp, kCauseKey, cause_slot_deleted, slot);
  }
  return slot;
}

}  // namespace detail

// Leave `exc` for the failure that a callback now reports to `interp` as
// the Tcl error `message` with errorCode {PYTHON code}.  GIL held.
inline void remember_cause(Tcl_Interp* interp, PyObject* exc, PyObject* message, PyObject* code) {
  CauseSlot* slot = detail::cause_slot(interp, true);
  slot->exc = glue::Ref::borrow(exc);
  slot->message = glue::Ref::borrow(message);
  slot->code = glue::Ref::borrow(code);
}

// The failure the interpreter of `tk` (a _tkinter application object) has
// just reported; empty when it cannot be read.  Call with no Python error set.
inline Failure read_failure(PyObject* tk) {
  Failure f;
  // Only the binding's own object is known to report a true interpreter
  // address.
  if (!is_tkapp(tk)) return f;
  try {
    Tcl_Interp* interp = interp_of(tk);
    const Api& a = api();
    const char* message = a.GetStringResult(interp);
    std::string result(message, std::strlen(message));
    Tcl_Obj* options = a.GetReturnOptions(interp, TCL_ERROR);
    a.DbIncrRefCount(options, __FILE__, __LINE__);
    int size = 0;
    const char* text = a.GetStringFromObj(options, &size);
    std::string options_text(text, static_cast<size_t>(size));
    a.DbDecrRefCount(options, __FILE__, __LINE__);
    if (CauseSlot* slot = detail::cause_slot(interp, false); slot && slot->exc) {
      f.cause = slot->exc.take();
      f.cause_message = slot->message.take();
      f.cause_code = slot->code.take();
    }
    f.result = decode_tcl_text(result.data(), static_cast<Py_ssize_t>(result.size()));
    f.options = decode_tcl_text(options_text.data(), static_cast<Py_ssize_t>(options_text.size()));
  } catch (const glue::PythonError&) {
    detail::drop_python_error();
    return Failure{};
  }
  return f;
}

namespace detail {

// Whether the TclError `exc` still is the Tcl error the callback of
// `failure` made: same message, errorCode {PYTHON code}.
inline bool began_in_callback(PyObject* exc, const Failure& failure) {
  if (!failure.cause) return false;
  glue::Ref result = glue::getattr(exc, "result");
  glue::Ref code = glue::getattr(exc, "errorcode");
  if (!PyTuple_Check(code.get()) || PyTuple_GET_SIZE(code.get()) != 2) return false;
  PyObject* word0 = PyTuple_GET_ITEM(code.get(), 0);
  return PyUnicode_Check(word0) && PyUnicode_CompareWithASCIIString(word0, "PYTHON") == 0 &&
         PyObject_RichCompareBool(PyTuple_GET_ITEM(code.get(), 1), failure.cause_code.get(), Py_EQ) == 1 &&
         PyObject_RichCompareBool(result.get(), failure.cause_message.get(), Py_EQ) == 1;
}

}  // namespace detail

// The TclError for `failure`, read from the interpreter of `tk`, with the
// callback's exception as its cause when it began with one; `args`, when
// given, replaces the arguments _tclerror gives it (the errorInfo).  Empty
// when it cannot be made.
inline glue::Ref failure_error(PyObject* tk, const Failure& failure, PyObject* args = nullptr) {
  if (!failure) return glue::Ref();
  try {
    glue::Ref from_options = glue::import_attr(GLUE_MODULE_NAME("_tclerror"), "from_options");
    glue::Ref exc = glue::call(from_options.get(), tk, failure.result.get(), failure.options.get());
    if (args) glue::setattr(exc.get(), "args", args);
    if (detail::began_in_callback(exc.get(), failure)) PyException_SetCause(exc.get(), Py_NewRef(failure.cause.get()));
    PyErr_Clear();  // a comparison that failed only means no cause
    return exc;
  } catch (const glue::PythonError&) {
    detail::drop_python_error();
    return glue::Ref();
  }
}

// Raise `exc`, a TclError made by failure_error, with `context` (null for
// none) and the cause failure_error gave it, if any.  A cancelled
// evaluation that Ctrl-C caused raises the KeyboardInterrupt instead, from
// the call itself, rather than at the next line of Python that runs.
[[noreturn]] inline void raise_failure(glue::Ref exc, PyObject* context) {
  glue::Ref code = glue::Ref::steal(PyObject_GetAttrString(exc.get(), "errorcode"));
  PyErr_Clear();
  if (code && PyTuple_Check(code.get()) && PyTuple_GET_SIZE(code.get()) >= 2 &&
      PyUnicode_Check(PyTuple_GET_ITEM(code.get(), 0)) && PyUnicode_Check(PyTuple_GET_ITEM(code.get(), 1)) &&
      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(code.get(), 0), "TCL") == 0 &&
      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(code.get(), 1), "CANCEL") == 0 && PyErr_CheckSignals() < 0) {
    glue::CaughtError interrupt;
    PyException_SetContext(interrupt.value(), exc.release());
    interrupt.reraise();
  }
  glue::Ref cause = glue::Ref::steal(PyException_GetCause(exc.get()));
  if (cause || context) glue::raise_from(std::move(exc), cause.get(), context);
  glue::raise_instance(exc.get());
}

// In a catch clause, for the TclError `caught` the binding has just raised
// for a failed evaluation on `tk`: raise it again as a TclError with the same
// arguments that also carries the options.
[[noreturn]] inline void reraise_with_options(PyObject* tk, const glue::CaughtError& caught) {
  Failure failure = read_failure(tk);
  glue::Ref args = glue::getattr(caught.value(), "args");
  glue::Ref exc = failure_error(tk, failure, args.get());
  if (!exc) caught.reraise();
  raise_failure(std::move(exc), nullptr);
}

}  // namespace trivex::tcl
