// Module trivex.tcl.namespace: TclArrayVariable and TempTclArrayVariable.
#include "state.hpp"

namespace trivex::namespace_module {

// TclArrayVariable

GLUE_BODY(arr_init, self, var_name, tcl, cast) {
  Ref sup = glue::super_of(state.TclArrayVariable.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  glue::call_kw(init.get(), {var_name, tcl, cast}, GLUE_KWNAMES("tcl", "cast"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(arr_len, self) {
  if (OURS(self, TclArrayVariable, "array_size")) return array_size(self);
  return glue::call_method(self, GLUE_STR("array_size"));
}

// obj.name(): the deferred step of lazily fetched iterations.
GLUE_BODY(method_caller, obj, name) { return glue::call_method(obj, name); }

GLUE_BODY(arr_iter, self) {
  Ref args = glue::tuple_of(self, GLUE_STR("array_names"));
  return glue::lazy_iter(state.method_caller, args.get());
}

GLUE_BODY(arr_contains, self, key) {
  if (OURS(self, TclArrayVariable, "exists")) return exists_value(self, key);
  return vmethod(self, GLUE_STR("exists"), {key}, GLUE_KWNAMES("array_index"));
}

GLUE_BODY(arr_getitem, self, key) {
  if (OURS(self, TclArrayVariable, "get")) return get_obj(self, key, state.marker);
  return vmethod(self, GLUE_STR("get"), {key}, GLUE_KWNAMES("array_index"));
}

GLUE_BODY(arr_setitem, self, key, value) {
  if (OURS(self, TclArrayVariable, "set")) return set_value(self, value, key);
  vmethod(self, GLUE_STR("set"), {value, key}, GLUE_KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(arr_delitem, self, key) {
  if (OURS(self, TclArrayVariable, "unset")) return unset_value(self, key, Py_False);
  vmethod(self, GLUE_STR("unset"), {key}, GLUE_KWNAMES("array_index"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(arr_clear, self) {
  glue::call_method(self, GLUE_STR("array_unset"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(arr_update, self, args, kwargs) {
  Ref d = glue::call_kw(reinterpret_cast<PyObject*>(&PyDict_Type), args, kwargs);
  glue::call_method(self, GLUE_STR("array_set"), d.get());
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
