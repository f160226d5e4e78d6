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
// Whatever goes wrong while reading the options or making the exception
// (an object standing in for the binding, a binding running another Tcl, a
// failing import) must not replace the user's error: the call site then
// raises the plain TclError it raised before.  Only an interruption
// (KeyboardInterrupt and other non-Exception errors) is let through.
#pragma once

#include <cstring>

#include "bridge/tclapi.hpp"
#include "from_tcl.hpp"
#include "bridge/tkapp.hpp"

namespace trivex::tcl {

// What the interpreter holds about the failure it has just reported.
struct Failure {
  glue::Ref result;   // the error message (str)
  glue::Ref options;  // the return options dictionary as Tcl writes it (str)
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
    f.result = decode_tcl_text(result.data(), static_cast<Py_ssize_t>(result.size()));
    f.options = decode_tcl_text(options_text.data(), static_cast<Py_ssize_t>(options_text.size()));
  } catch (const glue::PythonError&) {
    detail::drop_python_error();
    return Failure{};
  }
  return f;
}

// The TclError for `failure`, read from the interpreter of `tk`; `args`, when
// given, replaces the arguments _tclerror gives it (the errorInfo).  Empty
// when it cannot be made.
inline glue::Ref failure_error(PyObject* tk, const Failure& failure, PyObject* args = nullptr) {
  if (!failure) return glue::Ref();
  try {
    glue::Ref from_options = glue::import_attr("trivex.tcl._tclerror", "from_options");
    glue::Ref exc = glue::call(from_options.get(), tk, failure.result.get(), failure.options.get());
    if (args) glue::setattr(exc.get(), "args", args);
    return exc;
  } catch (const glue::PythonError&) {
    detail::drop_python_error();
    return glue::Ref();
  }
}

// In a catch clause, for the TclError `caught` the binding has just raised
// for a failed evaluation on `tk`: raise it again as a TclError with the same
// arguments that also carries the options.
[[noreturn]] inline void reraise_with_options(PyObject* tk, const glue::CaughtError& caught) {
  Failure failure = read_failure(tk);
  glue::Ref args = glue::getattr(caught.value(), "args");
  glue::Ref exc = failure_error(tk, failure, args.get());
  if (!exc) caught.reraise();
  glue::raise_instance(exc.get());
}

}  // namespace trivex::tcl
