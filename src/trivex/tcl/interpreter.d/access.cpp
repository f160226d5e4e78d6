// Module trivex.tcl.interpreter: typed reads and writes of Tcl variables.
#include "state.hpp"

namespace trivex::interpreter_module {
namespace {

Ref read_var(PyObject* self, PyObject* name) {
  Ref vars = GLUE_MEMBER(self, "vars");
  return glue::check(PyObject_GetItem(vars.get(), name));
}

void write_var(PyObject* self, PyObject* name, PyObject* value) {
  Ref vars = GLUE_MEMBER(self, "vars");
  glue::check_status(PyObject_SetItem(vars.get(), name, value));
}

GLUE_BODY(interpreter_get_array, self, name) {
  Ref vars = ATTR(self, "vars");
  return glue::call_method(vars.get(), GLUE_STR("array_get"), name);
}
// The steps name Interpreter.cast_list and Interpreter.cast_keyed_list, the
// class's attributes whatever `self` is: the module's own functions are
// called directly while the class still holds them.
GLUE_BODY(interpreter_get_list, self, name) {
  Ref value = read_var(self, name);
  if (GLUE_RELIES_ON(state.origin, "cast_list").class_holds(state.Interpreter))
    return cast_list(value.get(), Py_None);
  return GLUE_CALL(state.Interpreter, "cast_list", value.get());
}
GLUE_BODY(interpreter_get_keyed_list, self, name) {
  Ref value = read_var(self, name);
  if (GLUE_RELIES_ON(state.origin, "cast_keyed_list").class_holds(state.Interpreter))
    return cast_keyed_list(value.get(), Py_None);
  return GLUE_CALL(state.Interpreter, "cast_keyed_list", value.get());
}
GLUE_BODY(interpreter_get_int, self, name) {
  return GLUE_CALL(self, "cast_int", read_var(self, name).get());
}
GLUE_BODY(interpreter_get_boolean, self, name) {
  return GLUE_CALL(self, "cast_boolean", read_var(self, name).get());
}
GLUE_BODY(interpreter_get_double, self, name) {
  return GLUE_CALL(self, "cast_double", read_var(self, name).get());
}
GLUE_BODY(interpreter_get_var, self, name) { return read_var(self, name); }

GLUE_BODY(interpreter_set_array, self, name, obj) {
  Ref vars = ATTR(self, "vars");
  glue::call_method(vars.get(), GLUE_STR("array_set"), name, obj);
  return Ref::borrow(Py_None);
}
GLUE_BODY(interpreter_set_keyed_list, self, name, obj) {
  Ref map = Ref::borrow(obj);
  if (!glue::isinstance(map.get(), state.NestMap)) map = glue::call(state.NestMap, map.get());
  write_var(self, name, map.get());
  return Ref::borrow(Py_None);
}
GLUE_BODY(interpreter_set_var, self, name, value) {
  write_var(self, name, value);
  return Ref::borrow(Py_None);
}
GLUE_BODY(interpreter_set_boolean, self, name, value) {
  Ref v = glue::check(PyLong_FromLong(glue::truthy(value) ? 1 : 0));
  write_var(self, name, v.get());
  return Ref::borrow(Py_None);
}
GLUE_BODY(interpreter_set_list, self, name, value) {
  Ref from_sequence = glue::getattr(state.tclobj, GLUE_STR("from_sequence"));
  Ref words = glue::call(from_sequence.get(), value);
  write_var(self, name, words.get());
  return Ref::borrow(Py_None);
}

const char* const kGetArrayDoc = "Read a Tcl array variable into an Array.";
const char* const kGetListDoc = "Read a Tcl variable as a list: a tuple of strings.";
const char* const kGetKeyedListDoc = "Read a Tcl variable holding a TclX keyed list into a NestMap.";
const char* const kGetIntDoc = "Read a Tcl variable as an integer (Tcl's integer syntax).";
const char* const kGetBooleanDoc = "Read a Tcl variable as a boolean (Tcl's boolean words, or a number).";
const char* const kGetDoubleDoc = "Read a Tcl variable as a float.";
const char* const kGetVarDoc = "Read a Tcl variable's value as text.";
const char* const kSetArrayDoc = "Write the items of a mapping into a Tcl array variable (one array set).";
const char* const kSetKeyedListDoc = "Write a mapping (made a NestMap) into a Tcl variable as a keyed list.";
const char* const kSetVarDoc = "Write a value into a Tcl variable, converted by tclobj().";
const char* const kSetBooleanDoc = "Write 1 or 0 into a Tcl variable, by the value's truth.";
const char* const kSetListDoc = "Write the items of an iterable into a Tcl variable as a list.";

}  // namespace

void add_access_methods(glue::ClassBody& body) {
  body.method({"get_array", "(self, name)", interpreter_get_array, kGetArrayDoc});
  body.method({"get_list", "(self, name)", interpreter_get_list, kGetListDoc});
  body.method({"get_keyed_list", "(self, name)", interpreter_get_keyed_list, kGetKeyedListDoc});
  body.method({"get_int", "(self, name)", interpreter_get_int, kGetIntDoc});
  body.method({"get_boolean", "(self, name)", interpreter_get_boolean, kGetBooleanDoc});
  body.method({"get_double", "(self, name)", interpreter_get_double, kGetDoubleDoc});
  body.method({"get_var", "(self, name)", interpreter_get_var, kGetVarDoc});
  body.method({"set_array", "(self, name, obj)", interpreter_set_array, kSetArrayDoc});
  body.method({"set_keyed_list", "(self, name, obj)", interpreter_set_keyed_list, kSetKeyedListDoc});
  PyObject* set_var = body.method({"set_var", "(self, name, value)", interpreter_set_var, kSetVarDoc});
  body.add("set_int", set_var);
  body.add("set_double", set_var);
  body.method({"set_boolean", "(self, name, value)", interpreter_set_boolean, kSetBooleanDoc});
  body.method({"set_list", "(self, name, value)", interpreter_set_list, kSetListDoc});
}

}  // namespace trivex::interpreter_module
