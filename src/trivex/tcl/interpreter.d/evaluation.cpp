// Module trivex.tcl.interpreter: evaluating Tcl scripts.
#include "state.hpp"

namespace trivex::interpreter_module {
namespace {

// The caught TclError becomes a TclError carrying Tcl's errorInfo, with the
// cause suppressed (unless a callback's exception began it), and the options
// of the failure read from `tk` before Tcl runs anything else.  errorInfo is
// the one in those options, which is what ::errorInfo holds now: reading
// the variable again would evaluate on an interpreter that a cancellation
// may have left unwound.
[[noreturn]] void raise_with_error_info(PyObject* self, PyObject* tk, const glue::CaughtError& caught) {
  tcl::Failure failure = tcl::read_failure(tk);
  Ref exc = tcl::failure_error(tk, failure);
  if (!exc) {
    Ref info;
    try {
      Ref vars = ATTR(self, "vars");
      info = glue::check(PyObject_GetItem(vars.get(), GLUE_STR("::errorInfo")));
    } catch (const glue::PythonError&) {
      glue::CaughtError e;
      raise_during(Ref::borrow(e.value()), caught.value());
    }
    exc = new_exception(state.TclError, info.get());
  }
  tcl::raise_failure(std::move(exc), caught.value());
}

GLUE_BODY(interpreter_eval, self, code, typecast, record) {
  if (glue::truthy(record)) {
    Ref history = GLUE_MEMBER(self, "history");
    GLUE_CALL(history.get(), "append", code);
  }
  Ref tk = tk_of(self);
  Ref result = Ref::steal(tcl::eval_tk(tk.get(), code));
  if (!result) {
    glue::CaughtError e;
    if (!e.matches(state.TclError)) e.reraise();
    raise_with_error_info(self, tk.get(), e);
  }
  if (glue::truthy(typecast)) return GLUE_CALL(self, "cast_any", result.get());
  return result;
}

GLUE_BODY(interpreter_get_error_info, self) {
  Ref ns = ATTR(self, "global_ns");
  Ref vars = ATTR(ns.get(), "vars");
  return glue::check(PyObject_GetItem(vars.get(), GLUE_STR("errorInfo")));
}

const char* const kEvalDoc =
    "Evaluate a Tcl script.\n"
    "\n"
    "Arguments:\n"
    "    code: the script.\n"
    "    typecast: return the result through cast_any() instead of as text.\n"
    "    record: append the script to history first.\n"
    "\n"
    "Returns:\n"
    "    The script's result.\n"
    "\n"
    "Raises:\n"
    "    TclError: the script failed; its argument is Tcl's errorInfo, and\n"
    "        its attributes hold Tcl's return options of the failure:\n"
    "        result (the message), errorcode and errorstack (tuples of\n"
    "        words), errorinfo, errorline, code and level.\n"
    "\n"
    "Examples:\n"
    "    >>> interp.eval('set a 5')\n"
    "    '5'\n"
    "    >>> interp.eval('expr {1+1}', typecast=True)\n"
    "    2";

const char* const kGetErrorInfoDoc = "Return the global Tcl variable errorInfo: the trace of the last error.";

}  // namespace

void add_evaluation_methods(glue::ClassBody& body) {
  body.method({"eval", "(self, code, typecast=False, record=True)", interpreter_eval, kEvalDoc});
  body.method({"get_errorInfo", "(self)", interpreter_get_error_info, kGetErrorInfoDoc});
}

}  // namespace trivex::interpreter_module
