// Module trivex.tcl.namespace: TclArrayVariable and TempTclArrayVariable.
#include "state.hpp"

namespace trivex::namespace_module {

// TclArrayVariable

Ref arr_init(const Args& a) {
  PyObject *self = a[0], *var_name = a[1], *tcl = a[2], *cast = a[3];
  Ref sup = glue::super_of(state.TclArrayVariable.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  vcall(init.get(), {var_name, tcl, cast}, KWNAMES("tcl", "cast"));
  return Ref::borrow(Py_None);
}

Ref arr_len(const Args& a) {
  PyObject* self = a[0];
  if (OURS(self, TclArrayVariable, "array_size")) return array_size(self);
  return glue::call_method(self, GLUE_STR("array_size"));
}

// obj.name(): the deferred step of lazily fetched iterations.
Ref method_caller(const Args& a) { return glue::call_method(a[0], a[1]); }

Ref arr_iter(const Args& a) {
  Ref args = glue::tuple_of(a[0], GLUE_STR("array_names"));
  return glue::lazy_iter(state.method_caller, args.get());
}

Ref arr_contains(const Args& a) {
  PyObject *self = a[0], *key = a[1];
  if (OURS(self, TclArrayVariable, "exists")) return exists_value(self, key);
  return vmethod(self, GLUE_STR("exists"), {key}, KWNAMES("array_index"));
}

Ref getitem(PyObject* self, PyObject* key) {
  if (OURS(self, TclArrayVariable, "get")) return get_obj(self, key, state.marker);
  return vmethod(self, GLUE_STR("get"), {key}, KWNAMES("array_index"));
}

Ref setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (OURS(self, TclArrayVariable, "set")) return set_value(self, value, key);
  vmethod(self, GLUE_STR("set"), {value, key}, KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

Ref delitem(PyObject* self, PyObject* key) {
  if (OURS(self, TclArrayVariable, "unset")) return unset_value(self, key, Py_False);
  vmethod(self, GLUE_STR("unset"), {key}, KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

Ref arr_getitem(const Args& a) { return getitem(a[0], a[1]); }
Ref arr_setitem(const Args& a) { return setitem(a[0], a[1], a[2]); }
Ref arr_delitem(const Args& a) { return delitem(a[0], a[1]); }

Ref arr_clear(const Args& a) {
  glue::call_method(a[0], GLUE_STR("array_unset"));
  return Ref::borrow(Py_None);
}

Ref arr_update(const Args& a) {
  Ref d = glue::call_kw(reinterpret_cast<PyObject*>(&PyDict_Type), a.varargs(), a.varkw());
  glue::call_method(a[0], GLUE_STR("array_set"), d.get());
  return Ref::borrow(Py_None);
}

void build_array_classes(glue::ModuleBuilder& m) {
  Ref mutable_mapping = glue::import_attr("collections.abc", "MutableMapping");
  {
    glue::ClassBody b("TclArrayVariable", kModule);
    b.method({"__init__", "(self, var_name, tcl=None, cast=None)", arr_init});
    b.add("get", state.var_get_obj);
    b.method({"__len__", "(self)", arr_len});
    b.method({"__iter__", "(self)", arr_iter});
    b.method({"__contains__", "(self, key)", arr_contains});
    b.method({"__getitem__", "(self, key)", arr_getitem});
    b.method({"__setitem__", "(self, key, value)", arr_setitem});
    b.method({"__delitem__", "(self, key)", arr_delitem});
    b.method({"clear", "(self)", arr_clear});
    b.method({"update", "(self, *args, **kwargs)", arr_update});
    Ref cls = b.build({mutable_mapping.get(), state.TclVariable.cls});
    m.add("TclArrayVariable", cls.get());
    record(state.TclArrayVariable, std::move(cls));
  }
  {
    glue::ClassBody b("TempTclArrayVariable", kModule);
    Ref cls = b.build({state.TempTclVariable.cls, state.TclArrayVariable.cls});
    m.add("TempTclArrayVariable", cls.get());
    record(state.TempTclArrayVariable, std::move(cls));
  }
}

}  // namespace trivex::namespace_module
