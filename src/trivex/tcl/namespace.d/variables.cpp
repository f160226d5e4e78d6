// Module trivex.tcl.namespace: TclVariable and TempTclVariable.
#include "state.hpp"

namespace trivex::namespace_module {

// TclVariable

// The namespace Tcl code is running in now.  Evaluated as a script: the
// binding's call() runs every command at global level, so it would answer
// "::" even while `namespace eval` code has called back into Python.
Ref current_namespace(PyObject* tk) {
  return glue::call_method(tk, GLUE_STR("eval"), GLUE_STR("namespace current"));
}

// absolute() of a variable or command name.
Ref absolute_name(PyObject* self, PyObject* name) {
  if (starts_with_sep(name)) return Ref::borrow(name);
  Ref tk = self_tk(self);
  Ref current = current_namespace(tk.get());
  return namespace_join(current.get(), name);
}

GLUE_BODY(var_init, self, var_name, array_index, tcl, cast) {
  Ref proxy = interpreter_proxy(tcl);
  glue::setattr(self, GLUE_STR("tcl"), proxy.get());
  glue::setattr(self, GLUE_STR("cast"), cast);
  Ref name = quotify(var_name);
  if (!is_none(array_index)) {
    Ref index = quotify(array_index);
    name = glue::check(PyUnicode_FromFormat("%S(%S)", name.get(), index.get()));
  }
  glue::setattr(self, GLUE_STR("var_name"), name.get());
  return Ref::borrow(Py_None);
}

Ref getvar(PyObject* tk, PyObject* name, PyObject* array_index) {
  // The binding takes only text as an element name; convert the others as
  // the writing methods do, so both address the same element.
  Ref index = is_none(array_index)             ? Ref()
              : PyUnicode_Check(array_index) ? Ref::borrow(array_index)
                                             : quotify(array_index);
  if (Ref direct = trivex::tclvar::read_value(tk, name, index.get())) return direct;
  return index ? GLUE_CALL(tk, "getvar", name, index.get()) : GLUE_CALL(tk, "getvar", name);
}

Ref get_obj(PyObject* self, PyObject* array_index, PyObject* cast) {
  Ref tcl, name;
  FIELD_PAIR(self, "tcl", "var_name", tcl, name);
  Ref tk = tk_of(tcl.get());
  Ref result = getvar(tk.get(), name.get(), array_index);
  Ref conv = cast == state.marker ? GLUE_MEMBER(self, "cast") : Ref::borrow(cast);
  if (glue::truthy(conv.get())) return glue::call(conv.get(), result.get());
  return result;
}

GLUE_BODY(var_get_obj, self, array_index, cast) { return get_obj(self, array_index, cast); }

Ref get_str(PyObject* self, PyObject* array_index) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "var_name");
  if (!is_none(array_index)) name = element_name(name.get(), array_index);
  return evaluating(tk.get(), [&] { return trivex::tktext::var_text(tk.get(), name.get()); });
}

GLUE_BODY(var_get_str, self, array_index) { return get_str(self, array_index); }

// tk.setvar of the variable called `name` (a var_name), as set() does it.
Ref set_named(PyObject* tk, PyObject* name, PyObject* value, PyObject* array_index) {
  Ref index = is_none(array_index) ? Ref() : quotify(array_index);
  Ref v = tclobj(value);
  v = trivex::tkvalue::word(v.get());
  if (trivex::tclvar::write_value(tk, name, index.get(), v.get())) return Ref::borrow(Py_None);
  if (index)
    GLUE_CALL(tk, "setvar", name, index.get(), v.get());
  else
    GLUE_CALL(tk, "setvar", name, v.get());
  return Ref::borrow(Py_None);
}

Ref set_value(PyObject* self, PyObject* value, PyObject* array_index) {
  Ref tcl, name;
  FIELD_PAIR(self, "tcl", "var_name", tcl, name);
  Ref tk = tk_of(tcl.get());
  return set_named(tk.get(), name.get(), value, array_index);
}

GLUE_BODY(var_set, self, value, array_index) { return set_value(self, value, array_index); }

Ref unset_value(PyObject* self, PyObject* array_index, PyObject* nocomplain) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "var_name");
  try {
    if (is_none(array_index)) {
      GLUE_CALL(tk.get(), "unsetvar", name.get());
    } else {
      Ref index = quotify(array_index);
      GLUE_CALL(tk.get(), "unsetvar", name.get(), index.get());
    }
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(state.TclError)) throw;
    glue::CaughtError err;
    if (!glue::truthy(nocomplain)) err.reraise();
  }
  return Ref::borrow(Py_None);
}

GLUE_BODY(var_unset, self, array_index, nocomplain) { return unset_value(self, array_index, nocomplain); }

Ref exists_value(PyObject* self, PyObject* array_index) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref name = GLUE_MEMBER(self, "var_name");
  if (!is_none(array_index)) name = element_name(name.get(), array_index);
  Ref w = words({GLUE_STR("::info"), GLUE_STR("exists"), name.get()});
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
}

GLUE_BODY(var_exists, self, array_index) { return exists_value(self, array_index); }

GLUE_BODY(var_array_item_byref, self, array_index, cast) {
  Ref cls = GLOBAL("TclVariable");
  Ref tcl = GLUE_MEMBER(self, "tcl");
  return glue::call_kw(cls.get(), {self, array_index, tcl.get(), cast}, GLUE_KWNAMES("array_index", "tcl", "cast"));
}

// The words ::array SUB NAME [extra]; `extra` null when absent.
Ref array_words(PyObject* self, PyObject* sub, PyObject* extra) {
  Ref name = GLUE_MEMBER(self, "var_name");
  return words({GLUE_STR("::array"), sub, name.get()}, extra);
}

GLUE_BODY(var_array_get_obj, self, pattern) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("get"), pat.get());
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_array", r.get());
}

GLUE_BODY(var_array_get_str, self, pattern) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("get"), pat.get());
  Ref name = GLUE_MEMBER(self, "var_name");
  Ref r = trivex::tktext::words_text(tk.get(), w.get(), starts_with_sep(name.get()));
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_array", r.get());
}

GLUE_BODY(var_array_set, self, value) {
  Ref tk = self_tk(self);
  Ref v = tclobj(value);
  Ref w = array_words(self, GLUE_STR("set"), v.get());
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

Ref array_unset(PyObject* self, PyObject* pattern) {
  Ref tk = self_tk(self);
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("unset"), pat.get());
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

GLUE_BODY(var_array_unset, self, pattern) { return array_unset(self, pattern); }

Ref array_size(PyObject* self) {
  Ref tk = self_tk(self);
  Ref w = array_words(self, GLUE_STR("size"), nullptr);
  return tk_call(tk.get(), w.get());
}

GLUE_BODY(var_array_size, self) { return array_size(self); }

Ref array_names(PyObject* self, PyObject* pattern) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref pat = is_none(pattern) ? Ref() : quotify(pattern);
  Ref w = array_words(self, GLUE_STR("names"), pat.get());
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", r.get());
}

GLUE_BODY(var_array_names, self, pattern) { return array_names(self, pattern); }

GLUE_BODY(var_is_array, self) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref w = array_words(self, GLUE_STR("exists"), nullptr);
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
}

GLUE_BODY(var_absolute, self) {
  Ref name = GLUE_MEMBER(self, "var_name");
  return absolute_name(self, name.get());
}

// make_absolute() of the three classes: self.<attr> = self.absolute().
Ref make_absolute(PyObject* self, PyObject* attr) {
  Ref abs = glue::call_method(self, GLUE_STR("absolute"));
  glue::setattr(self, attr, abs.get());
  return Ref::borrow(Py_None);
}

GLUE_BODY(var_make_absolute, self) { return make_absolute(self, GLUE_STR("var_name")); }

GLUE_BODY(var_str, self) { return GLUE_MEMBER(self, "var_name"); }

GLUE_BODY(var_tclobj, self) {
  Ref name = GLUE_MEMBER(self, "var_name");
  return quotify(name.get());
}

Ref type_name(PyObject* self) {
  return glue::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), GLUE_STR("__name__"));
}

GLUE_BODY(var_repr, self) {
  Ref cls_name = type_name(self);
  Ref name = GLUE_MEMBER(self, "var_name");
  return glue::check(PyUnicode_FromFormat("%S(%R)", cls_name.get(), name.get()));
}

// TempTclVariable

GLUE_BODY(tempvar_init, self, var_name, kwargs) {
  Ref name = fill_template(var_name, self);
  Ref sup = glue::super_of(state.TempTclVariable.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), kwargs);
  return Ref::borrow(Py_None);
}

// __enter__ of a temporary class: the next class's result when it has a
// true __enter__, else the object itself.
Ref temp_enter(PyObject* cls, PyObject* self) {
  bool found = false;
  Ref none_args = empty_tuple();
  Ref r = call_next(cls, self, GLUE_STR("__enter__"), none_args.get(), found);
  return found ? r : Ref::borrow(self);
}

// The tail of every temporary __exit__: the next class's answer, or False.
Ref temp_exit_next(PyObject* cls, PyObject* self, PyObject* exc_info) {
  bool found = false;
  Ref r = call_next(cls, self, GLUE_STR("__exit__"), exc_info, found);
  return found ? r : Ref::borrow(Py_False);
}

GLUE_BODY(tempvar_enter, self) { return temp_enter(state.TempTclVariable.cls, self); }

GLUE_BODY(tempvar_exit, self, exc_info) {
  vmethod(self, GLUE_STR("unset"), {Py_True}, GLUE_KWNAMES("nocomplain"));
  return temp_exit_next(state.TempTclVariable.cls, self, exc_info);
}

void build_variable_classes(glue::ModuleBuilder& m) {
  {
    glue::ClassBody b("TclVariable", kModule);
    b.add("_TclVariable__marker", state.marker);
    b.method({"__init__", "(self, var_name, array_index=None, tcl=None, cast=None)", var_init});
    PyObject* get_obj_fn =
        b.method({"get_obj", "(self, array_index=None, cast=_TclVariable__marker)", var_get_obj},
                 {{"_TclVariable__marker", state.marker}});
    b.method({"get_str", "(self, array_index=None)", var_get_str});
    b.add("get", get_obj_fn);
    b.method({"set", "(self, value, array_index=None)", var_set});
    b.method({"unset", "(self, array_index=None, nocomplain=False)", var_unset});
    b.method({"exists", "(self, array_index=None)", var_exists});
    b.method({"array_item_byref", "(self, array_index, cast=None)", var_array_item_byref});
    PyObject* array_get_obj_fn = b.method({"array_get_obj", "(self, pattern=None)", var_array_get_obj});
    b.method({"array_get_str", "(self, pattern=None)", var_array_get_str});
    b.add("array_get", array_get_obj_fn);
    b.method({"array_set", "(self, value)", var_array_set});
    b.method({"array_unset", "(self, pattern=None)", var_array_unset});
    b.method({"array_size", "(self)", var_array_size});
    b.method({"array_names", "(self, pattern=None)", var_array_names});
    b.method({"is_array", "(self)", var_is_array});
    b.method({"absolute", "(self)", var_absolute});
    b.method({"make_absolute", "(self)", var_make_absolute});
    b.method({"__str__", "(self)", var_str});
    b.method({"__tclobj__", "(self)", var_tclobj});
    b.method({"__repr__", "(self)", var_repr});
    state.var_get_obj = Ref::borrow(get_obj_fn);
    Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    m.add("TclVariable", cls.get());
    record(state.TclVariable, std::move(cls));
  }
  {
    glue::ClassBody b("TempTclVariable", kModule);
    std::string sig = std::string("(self, var_name=") + kTemplate + ", **kwargs)";
    b.method({"__init__", sig.c_str(), tempvar_init});
    b.method({"__enter__", "(self)", tempvar_enter});
    b.method({"__exit__", "(self, *exc_info)", tempvar_exit});
    Ref cls = b.build({state.TclVariable.cls});
    m.add("TempTclVariable", cls.get());
    record(state.TempTclVariable, std::move(cls));
  }
}

}  // namespace trivex::namespace_module
