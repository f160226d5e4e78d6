// Module trivex.tcl.interpreter: what its files share.  The module state is
// one struct, defined once (module.cpp); the small helpers every family uses
// are inline here, and each family file ends with the function that adds its
// methods to the class body, in class-body order:
//
//   construction.cpp  __init__, _load_entrypoint, __getattr__
//   ending.cpp        the end of the Tcl interpreter (destroy, the finaliser)
//   callbacks.cpp     generate_callback_cmd_name, create_callback, remove_callback
//   evaluation.cpp    eval, get_errorInfo
//   access.cpp        get_* and set_*
//   casts.cpp         cast_*, and cast_any's exact shortcut
#pragma once

#include <cstring>
#include <string>
#include <utility>

#include "from_tcl.hpp"
#include "to_tcl.hpp"
#include "bridge/bridge.hpp"

namespace trivex::interpreter_module {

using glue::Args;
using glue::Ref;
namespace cv = trivex::convert;
namespace tcl = trivex::tcl;

constexpr const char* kModule = GLUE_MODULE_NAME("interpreter");

// Everything the module keeps between calls; each reference is owned.
struct State {
  glue::Owned Tk;
  glue::Owned TclError;
  glue::Owned Tcl_Obj;
  glue::Owned iter_entry_points;
  glue::Owned NestMap;
  glue::Owned Array;
  glue::Owned tclobj;
  glue::Owned GetListFromAny;
  glue::Owned TclNamespace;
  glue::Owned TclCommand;
  glue::Owned J;
  glue::Owned quotify;
  glue::Owned History;
  glue::Owned logger;
  glue::Owned entrypoint_group;
  glue::Owned allowed_entrypoint_keys;
  glue::Owned Interpreter;
  glue::Pristine origin;  // the class as built, for the fast paths' guards
  // Ending the Tcl interpreter with its Interpreter.
  glue::Owned finalize;         // weakref.finalize
  glue::Owned SimpleNamespace;  // types.SimpleNamespace
  glue::Owned end_quietly;      // the finaliser
  glue::Owned skip_profile;     // stands in for Tk.readprofile during construction
  glue::Owned get_int_max_str_digits;
  Py_ssize_t digits_check_threshold;
};

extern State state;

// Attribute names are interned once per call site.
#define ATTR(o, name) glue::getattr(o, GLUE_STR(name))

// `raise exc` inside an `except` clause that handles `context`.
[[noreturn]] inline void raise_during(Ref exc, PyObject* context) {
  PyException_SetContext(exc.get(), Py_NewRef(context));
  glue::raise_instance(exc.get());
}

inline Ref new_exception(PyObject* type, PyObject* arg) { return glue::call(type, arg); }

// Whether self.<name>, for each name, is still what the class had when
// this module built it: neither a subclass nor the instance rebinds it.
#define OURS(self, ...) GLUE_RELIES_ON(state.origin, __VA_ARGS__).holds(self)

inline PyObject* instance_dict_item(PyObject* self, PyObject* key) {
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  if (!dictptr || !*dictptr) return nullptr;
  PyObject* v = PyDict_GetItemWithError(*dictptr, key);
  if (!v && PyErr_Occurred()) throw glue::PythonError{};
  return v;
}

inline Ref tk_of(PyObject* self) {
  Ref tk = GLUE_MEMBER(self, "tk");
  tcl::check_tk(tk.get());
  return tk;
}

// ---------------------------------------------------------------------------
// Defined in one file, used in others.

// the end of the Tcl interpreter (ending.cpp)
void prepare_ending();
void arrange_end(PyObject* self);

// casts (casts.cpp)
Ref cast_list(PyObject* value, PyObject* item_cast);
Ref cast_keyed_list(PyObject* value, PyObject* item_cast);

// Each family's methods, added to the class body in class-body order.
void add_construction_methods(glue::ClassBody& body);
void add_callback_methods(glue::ClassBody& body);
void add_evaluation_methods(glue::ClassBody& body);
void add_access_methods(glue::ClassBody& body);
void add_cast_methods(glue::ClassBody& body);

}  // namespace trivex::interpreter_module
