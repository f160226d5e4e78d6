// Module trivex.tcl.namespace: the namespace views (VariablesView,
// ObjectsView, CommandsView, ProcsView).
#include "state.hpp"

namespace trivex::namespace_module {

// Namespace views

Ref view_init(PyObject* cls, PyObject* self, PyObject* ns) {
  if (state.asserts) {
    Ref ns_cls = GLOBAL("TclNamespace");
    if (!glue::isinstance(ns, ns_cls.get())) {
      PyErr_SetNone(PyExc_AssertionError);
      throw glue::PythonError{};
    }
  }
  Ref sup = glue::super_of(cls, self);
  glue::call_method(sup.get(), GLUE_STR("__init__"));
  glue::setattr(self, GLUE_STR("ns"), ns);
  return Ref::borrow(Py_None);
}

GLUE_BODY(variables_view_init, self, ns) { return view_init(state.VariablesView.cls, self, ns); }
GLUE_BODY(commands_view_init, self, ns) { return view_init(state.CommandsView.cls, self, ns); }

// TclNamespace.join(self.ns.ns, name)
Ref qualify(PyObject* view, PyObject* name) {
  Ref ns = GLUE_MEMBER(view, "ns");
  Ref ns_name = GLUE_MEMBER(ns.get(), "ns");
  return namespace_join(ns_name.get(), name);
}

// The text Python gives for a callable in call errors: module.qualname().
Ref callable_text(PyObject* f) {
  Ref qualname = glue::lookup_attr(f, GLUE_STR("__qualname__"));
  Ref module = glue::lookup_attr(f, GLUE_STR("__module__"));
  if (qualname && module && PyUnicode_Check(qualname.get()) && PyUnicode_Check(module.get()))
    return glue::check(PyUnicode_FromFormat("%U.%U()", module.get(), qualname.get()));
  return glue::check(PyUnicode_FromFormat("%s object", Py_TYPE(f)->tp_name));
}

[[noreturn]] void repeated_keyword(PyObject* f, const char* keyword) {
  Ref text = callable_text(f);
  glue::raisef(PyExc_TypeError, "%U got multiple values for keyword argument '%s'", text.get(), keyword);
}

// cls(qualify(name), *args, tcl=self.ns.tcl, **kwargs); `kwargs` is owned.
Ref make_byref(PyObject* self, PyObject* cls, PyObject* name, PyObject* args, PyObject* kwargs) {
  Ref qualified = qualify(self, name);
  Ref ns = GLUE_MEMBER(self, "ns");
  Ref tcl = GLUE_MEMBER(ns.get(), "tcl");
  if (PyDict_Contains(kwargs, GLUE_STR("tcl"))) repeated_keyword(cls, "tcl");
  Ref kw = glue::new_dict();
  glue::dict_set(kw.get(), GLUE_STR("tcl"), tcl.get());
  glue::check_status(PyDict_Update(kw.get(), kwargs));
  Ref head = glue::tuple_of(qualified.get());
  Ref all = tuple_concat({head.get(), args});
  return glue::call_kw(cls, all.get(), kw.get());
}

Ref var_byref(PyObject* self, PyObject* name, PyObject* args, PyObject* kwargs) {
  Ref var_type;
  PyObject* given = PyDict_GetItemWithError(kwargs, GLUE_STR("var_type"));
  if (given) {
    var_type = Ref::borrow(given);
    glue::check_status(PyDict_DelItem(kwargs, GLUE_STR("var_type")));
  } else {
    if (PyErr_Occurred()) throw glue::PythonError{};
    var_type = GLOBAL("TclVariable");
  }
  return make_byref(self, var_type.get(), name, args, kwargs);
}

GLUE_BODY(variables_view_byref, self, var_name, args, kwargs) { return var_byref(self, var_name, args, kwargs); }

GLUE_BODY(variables_view_array_byref, self, var_name, args, kwargs) {
  Ref fn = glue::getattr(self, GLUE_STR("byref"));
  if (PyDict_Contains(kwargs, GLUE_STR("var_type"))) repeated_keyword(fn.get(), "var_type");
  Ref cls = GLOBAL("TclArrayVariable");
  Ref kw = glue::new_dict();
  glue::dict_set(kw.get(), GLUE_STR("var_type"), cls.get());
  glue::check_status(PyDict_Update(kw.get(), kwargs));
  Ref head = glue::tuple_of(var_name);
  Ref all = tuple_concat({head.get(), args});
  return glue::call_kw(fn.get(), all.get(), kw.get());
}

// self.byref(name) of a variable view.
Ref varobj(PyObject* self, PyObject* name) {
  if (OURS(self, VariablesView, "byref")) {
    Ref none = empty_tuple();
    Ref kw = glue::new_dict();
    return var_byref(self, name, none.get(), kw.get());
  }
  return glue::call_method(self, GLUE_STR("byref"), name);
}

// "NS::NAME" written at once, when that text is exactly what joining and
// normalizing would give: our own join in force, and a relative name and a
// namespace that join plainly.  The empty namespace name (the current
// namespace) leaves a plain name as it is.  Else null.
Ref fused_var_name(PyObject* ns_name, PyObject* name) {
  if (!PyUnicode_CheckExact(ns_name) || !PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0 ||
      starts_with_sep(name))
    return Ref();
  Ref ns_cls = GLOBAL("TclNamespace");
  if (!OUR_CLASS(ns_cls.get(), TclNamespace, "join")) return Ref();
  // The last name made, with the two strings it was made from (held, so
  // that the same objects mean the same text).
  static glue::Owned last_ns, last_name, last_joined;
  if (ns_name == last_ns.get() && name == last_name.get()) return Ref::borrow(last_joined);
  Py_ssize_t ns_len = PyUnicode_GET_LENGTH(ns_name);
  bool global = ns_len == 2 && starts_with_sep(ns_name);
  Ref joined = ns_len == 0 ? Ref::borrow(name)
               : global    ? concat(GLUE_STR("::"), name)
                           : concat_all({ns_name, GLUE_STR("::"), name});
  bool plain = cv::with_chars(joined.get(), [](const auto* d, size_t n) { return nm::is_normal(d, n); });
  if (!plain) return Ref();
  last_ns = Ref::borrow(ns_name);
  last_name = Ref::borrow(name);
  last_joined = joined;
  return joined;
}

// Where a view's variables live, as the reads of view_variable find it:
// self.ns, that namespace's `ns` and `tcl`, and the `tk` of the interpreter
// the proxy stands for.  Remembered while the view, the namespace and the
// interpreter are the very objects seen then, none of their types and dicts
// modified since (version tags), and the proxy still stands for that
// interpreter; each value is borrowed from one of those dicts.
struct ViewRoute {
  glue::SiteCache view;     // value: the namespace
  glue::SiteCache ns_name;  // value: its `ns`
  glue::SiteCache ns_tcl;   // value: its `tcl`, a proxy needing no truth test
  glue::SiteCache tk;       // value: the interpreter's `tk`
};

// The namespace name and interpreter of a view, from `route` when it holds
// for these objects (else false).
bool route_holds(const ViewRoute& route, PyObject* self, PyObject*& ns_name, PyObject*& tk) {
  if (!route.view.hit(Py_TYPE(self), instance_dict(self))) return false;
  PyObject* ns = route.view.value;
  PyObject* ns_dict = instance_dict(ns);
  if (!route.ns_name.hit(Py_TYPE(ns), ns_dict) || !route.ns_tcl.hit(Py_TYPE(ns), ns_dict)) return false;
  PyObject* interp = PyWeakref_GET_OBJECT(route.ns_tcl.value);
  if (interp == Py_None || !route.tk.hit(Py_TYPE(interp), instance_dict(interp))) return false;
  ns_name = route.ns_name.value;
  tk = route.tk.value;
  return true;
}

// The `var_name` and the application object of the variable
// self.byref(name) would make, without making it.
void view_variable(PyObject* self, PyObject* name, Ref& var_name, Ref& tk) {
  static ViewRoute route;
  PyObject *ns_name_seen, *tk_seen;
  bool known = route_holds(route, self, ns_name_seen, tk_seen);
  Ref ns, ns_name;
  if (known) {
    ns_name = Ref::borrow(ns_name_seen);
  } else {
    ns = glue::member(self, GLUE_STR("ns"), route.view);
    ns_name = glue::member(ns.get(), GLUE_STR("ns"), route.ns_name);
  }
  var_name = fused_var_name(ns_name.get(), name);
  if (!var_name) {
    Ref qualified = namespace_join(ns_name.get(), name);
    var_name = quotify(qualified.get());
  }
  if (known) {
    tk = Ref::borrow(tk_seen);
  } else {
    Ref tcl_given = glue::member(ns.get(), GLUE_STR("tcl"), route.ns_tcl);
    if (!plain_proxy(tcl_given.get())) route.ns_tcl = glue::SiteCache{};
    Ref tcl = interpreter_proxy(tcl_given.get());
    Ref interp = glue::referent(tcl.get());
    tk = glue::member(interp.get(), GLUE_STR("tk"), route.tk);
  }
  trivex::tcl::check_tk(tk.get());
}

Ref variables_view_get_impl(PyObject* self, PyObject* name) {
  if (OURS(self, VariablesView, "byref")) {
    Ref var_cls = GLOBAL("TclVariable");
    if (OUR_CLASS(var_cls.get(), TclVariable, "__new__", "__init__", "get_str")) {
      // TclVariable(qualify(name), tcl=self.ns.tcl).get_str(), without
      // making the object nobody can see.
      Ref var_name, tk;
      view_variable(self, name, var_name, tk);
      return evaluating(tk.get(), [&] { return trivex::tktext::var_text(tk.get(), var_name.get()); });
    }
  }
  Ref var = varobj(self, name);
  return glue::call_method(var.get(), GLUE_STR("get_str"));
}

GLUE_BODY(variables_view_get, self, var_name) { return variables_view_get_impl(self, var_name); }

Ref variables_view_set_impl(PyObject* self, PyObject* name, PyObject* value, PyObject* array_index) {
  if (OURS(self, VariablesView, "byref")) {
    Ref var_cls = GLOBAL("TclVariable");
    if (OUR_CLASS(var_cls.get(), TclVariable, "__new__", "__init__", "set")) {
      // TclVariable(qualify(name), tcl=self.ns.tcl).set(value, array_index)
      // without the object.
      Ref var_name, tk;
      view_variable(self, name, var_name, tk);
      return set_named(tk.get(), var_name.get(), value, array_index);
    }
  }
  Ref var = varobj(self, name);
  return vmethod(var.get(), GLUE_STR("set"), {value, array_index}, GLUE_KWNAMES("array_index"));
}

GLUE_BODY(variables_view_set, self, var_name, value, array_index) {
  return variables_view_set_impl(self, var_name, value, array_index);
}

GLUE_BODY(variables_view_unset, self, var_name, array_index, nocomplain) {
  Ref var = varobj(self, var_name);
  vmethod(var.get(), GLUE_STR("unset"), {array_index, nocomplain}, GLUE_KWNAMES("array_index", "nocomplain"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(variables_view_array_get, self, var_name, pattern) {
  Ref var = varobj(self, var_name);
  return vmethod(var.get(), GLUE_STR("array_get_str"), {pattern}, GLUE_KWNAMES("pattern"));
}

GLUE_BODY(variables_view_array_set, self, var_name, value) {
  Ref var = varobj(self, var_name);
  glue::call_method(var.get(), GLUE_STR("array_set"), value);
  return Ref::borrow(Py_None);
}

GLUE_BODY(variables_view_array_unset, self, var_name, pattern) {
  Ref var = varobj(self, var_name);
  vmethod(var.get(), GLUE_STR("array_unset"), {pattern}, GLUE_KWNAMES("pattern"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(variables_view_array_names, self, var_name, pattern) {
  Ref var = varobj(self, var_name);
  return vmethod(var.get(), GLUE_STR("array_names"), {pattern}, GLUE_KWNAMES("pattern"));
}

GLUE_BODY(variables_view_is_array, self, var_name) {
  Ref var = varobj(self, var_name);
  return glue::call_method(var.get(), GLUE_STR("is_array"));
}

GLUE_BODY(variables_view_exists, self, var_name, array_index) {
  Ref var = varobj(self, var_name);
  return vmethod(var.get(), GLUE_STR("exists"), {array_index}, GLUE_KWNAMES("array_index"));
}

// raise KeyError(exc) from exc, for the exception in flight when it is one
// of `types`.
template <class F>
Ref key_error_from(F&& f, std::initializer_list<PyObject*> types) {
  try {
    return f();
  } catch (const glue::PythonError&) {
    glue::CaughtError err;
    for (PyObject* t : types) {
      if (err.matches(t)) {
        Ref key_error = glue::call(PyExc_KeyError, err.value());
        glue::raise_from(std::move(key_error), err.value(), err.value());
      }
    }
    err.reraise();
  }
}

Ref objects_view_get_impl(PyObject* self, PyObject* name, PyObject* array_index);

Ref view_getitem(PyObject* self, PyObject* name) {
  return key_error_from(
      [&] {
        if (OURS(self, VariablesView, "get")) return variables_view_get_impl(self, name);
        if (OURS(self, ObjectsView, "get")) return objects_view_get_impl(self, name, Py_None);
        return glue::call_method(self, GLUE_STR("get"), name);
      },
      {state.TclError, PyExc_ValueError});
}

GLUE_BODY(variables_view_getitem, self, var_name) { return view_getitem(self, var_name); }

GLUE_BODY(variables_view_contains, self, var_name) { return glue::call_method(self, GLUE_STR("exists"), var_name); }

GLUE_BODY(variables_view_setitem, self, var_name, value) {
  if (OURS(self, VariablesView, "set"))
    variables_view_set_impl(self, var_name, value, Py_None);
  else
    glue::call_method(self, GLUE_STR("set"), var_name, value);
  return Ref::borrow(Py_None);
}

Ref view_delitem(PyObject* self, PyObject* name, PyObject* method) {
  return key_error_from(
      [&] {
        glue::call_method(self, method, name);
        return Ref::borrow(Py_None);
      },
      {state.TclError});
}

GLUE_BODY(variables_view_delitem, self, var_name) { return view_delitem(self, var_name, GLUE_STR("unset")); }

GLUE_BODY(view_len, self) {
  Ref it = glue::check(PyObject_GetIter(self));
  Py_ssize_t n = 0;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) ++n;
  if (PyErr_Occurred()) throw glue::PythonError{};
  return glue::check(PyLong_FromSsize_t(n));
}

// The names a view iterates, as str (the binding may hand back Tcl objects):
// ns.call("::info", sub), split by the interpreter's cast_list.  Inside a
// namespace other than the global one, a bare `info vars` or `info commands`
// also reports the global names visible from there, which are no keys of
// this view (looking them up qualifies them with the namespace); for an
// absolute name the query therefore asks for the namespace's own members and
// yields their names relative to it.
GLUE_BODY(view_names, view, subcommand) {
  PyObject* sub = subcommand;
  Ref ns = GLUE_MEMBER(view, "ns");
  Ref ns_name = GLUE_MEMBER(ns.get(), "ns");
  Ref pattern;
  if (PyUnicode_Check(ns_name.get()) && starts_with_sep(ns_name.get())) {
    Ref normal = Ref::steal(PyObject_CallOneArg(state.ns_join, ns_name.get()));
    // Tcl takes the qualifiers of the pattern literally; only the tail globs.
    if (normal) pattern = concat(normal.get(), GLUE_STR("::*"));
    else if (PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    else throw glue::PythonError{};
  }
  Ref r = pattern ? glue::call_method(ns.get(), GLUE_STR("call"), GLUE_STR("::info"), sub, pattern.get())
                  : glue::call_method(ns.get(), GLUE_STR("call"), GLUE_STR("::info"), sub);
  Ref tcl = GLUE_MEMBER(ns.get(), "tcl");
  Ref names = GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", r.get());
  Ref items = glue::check(PySequence_Tuple(names.get()));
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  Ref out = glue::check(PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    Ref name = PyUnicode_CheckExact(item) ? Ref::borrow(item) : glue::str(item);
    if (pattern) name = tail(name.get());
    PyTuple_SET_ITEM(out.get(), i, name.release());
  }
  return out;
}

Ref view_iter(PyObject* self, PyObject* sub) {
  Ref args = glue::tuple_of(self, sub);
  return glue::lazy_iter(state.view_names, args.get());
}

GLUE_BODY(variables_view_iter, self) { return view_iter(self, GLUE_STR("vars")); }

Ref objects_view_get_impl(PyObject* self, PyObject* name, PyObject* array_index) {
  if (OURS(self, VariablesView, "byref")) {
    Ref var_cls = GLOBAL("TclVariable");
    if (OUR_CLASS(var_cls.get(), TclVariable, "__new__", "__init__", "get_obj")) {
      // TclVariable(qualify(name), tcl=self.ns.tcl).get_obj(array_index=...)
      // without the object: a fresh variable has no cast.
      Ref var_name, tk;
      view_variable(self, name, var_name, tk);
      return getvar(tk.get(), var_name.get(), array_index);
    }
  }
  Ref var = varobj(self, name);
  return vmethod(var.get(), GLUE_STR("get_obj"), {array_index}, GLUE_KWNAMES("array_index"));
}

GLUE_BODY(objects_view_get, self, var_name, array_index) { return objects_view_get_impl(self, var_name, array_index); }

GLUE_BODY(objects_view_array_get, self, var_name, pattern) {
  Ref var = varobj(self, var_name);
  return vmethod(var.get(), GLUE_STR("array_get_obj"), {pattern}, GLUE_KWNAMES("pattern"));
}

// Command views

GLUE_BODY(commands_view_byref, self, cmd_name, args, kwargs) {
  PyObject* name = cmd_name;
  Ref cls = GLOBAL("TclCommand");
  if (PyTuple_GET_SIZE(args) == 0 && !PyDict_Contains(kwargs, GLUE_STR("args"))) {
    // A name, not a command line: kept one word even with spaces or braces.
    Ref qualified = qualify(self, name);
    Ref one = glue::tuple_of(qualified.get());
    Ref ns = GLUE_MEMBER(self, "ns");
    Ref tcl = GLUE_MEMBER(ns.get(), "tcl");
    if (PyDict_Contains(kwargs, GLUE_STR("tcl"))) repeated_keyword(cls.get(), "tcl");
    Ref kw = glue::new_dict();
    glue::dict_set(kw.get(), GLUE_STR("tcl"), tcl.get());
    glue::check_status(PyDict_Update(kw.get(), kwargs));
    Ref all = glue::tuple_of(one.get());
    return glue::call_kw(cls.get(), all.get(), kw.get());
  }
  return make_byref(self, cls.get(), name, args, kwargs);
}

Ref cmdobj(PyObject* self, PyObject* name) { return glue::call_method(self, GLUE_STR("byref"), name); }

GLUE_BODY(commands_view_exists, self, cmd_name) {
  Ref c = cmdobj(self, cmd_name);
  return glue::call_method(c.get(), GLUE_STR("exists"));
}

GLUE_BODY(commands_view_createcommand, self, cmd_name, func) {
  Ref c = cmdobj(self, cmd_name);
  glue::call_method(c.get(), GLUE_STR("createcommand"), func);
  return Ref::borrow(Py_None);
}

GLUE_BODY(commands_view_delete, self, cmd_name) {
  Ref c = cmdobj(self, cmd_name);
  glue::call_method(c.get(), GLUE_STR("delete"));
  return Ref::borrow(Py_None);
}

GLUE_BODY(commands_view_rename, self, cmd_name, new_name) {
  Ref c = cmdobj(self, cmd_name);
  Ref qualified = qualify(self, new_name);
  glue::call_method(c.get(), GLUE_STR("rename"), qualified.get());
  return Ref::borrow(Py_None);
}

Ref commands_view_simple(PyObject* self, PyObject* cmd_name, PyObject* method) {
  Ref c = cmdobj(self, cmd_name);
  return glue::call_method(c.get(), method);
}

GLUE_BODY(commands_view_origin, self, cmd_name) { return commands_view_simple(self, cmd_name, GLUE_STR("origin")); }
GLUE_BODY(commands_view_proc_body, self, cmd_name) {
  return commands_view_simple(self, cmd_name, GLUE_STR("proc_body"));
}
GLUE_BODY(commands_view_proc_args, self, cmd_name) {
  return commands_view_simple(self, cmd_name, GLUE_STR("proc_args"));
}

GLUE_BODY(commands_view_proc_arg_default, self, cmd_name, arg_name) {
  Ref c = cmdobj(self, cmd_name);
  return glue::call_method(c.get(), GLUE_STR("proc_arg_default"), arg_name);
}

GLUE_BODY(commands_view_getitem, self, cmd_name) { return cmdobj(self, cmd_name); }
GLUE_BODY(commands_view_contains, self, cmd_name) { return glue::call_method(self, GLUE_STR("exists"), cmd_name); }

GLUE_BODY(commands_view_setitem, self, cmd_name, func) {
  glue::call_method(self, GLUE_STR("createcommand"), cmd_name, func);
  return Ref::borrow(Py_None);
}

GLUE_BODY(commands_view_delitem, self, cmd_name) { return view_delitem(self, cmd_name, GLUE_STR("delete")); }
GLUE_BODY(commands_view_iter, self) { return view_iter(self, GLUE_STR("commands")); }

GLUE_BODY(procs_view_exists, self, cmd_name) {
  Ref c = cmdobj(self, cmd_name);
  return glue::call_method(c.get(), GLUE_STR("is_proc"));
}

GLUE_BODY(procs_view_iter, self) { return view_iter(self, GLUE_STR("procs")); }

Ref build_views(ClassInfo& out, const char* name, PyObject* base,
                std::initializer_list<glue::FunctionDef> methods) {
  std::string qualname = std::string("TclNamespace.") + name;
  glue::ClassBody b(name, kModule, qualname.c_str());
  for (const auto& def : methods) {
    b.method(def);
  }
  Ref cls = b.build({base});
  record(out, cls);
  return cls;
}

// The four views, built before TclNamespace, which holds them as attributes.
ViewClasses build_view_classes() {
  Ref mutable_mapping = glue::import_attr("collections.abc", "MutableMapping");
  Ref vars_view = build_views(state.VariablesView, "VariablesView", mutable_mapping.get(),
                              {{"__init__", "(self, ns)", variables_view_init},
                               {"byref", "(self, var_name, *args, **kwargs)", variables_view_byref},
                               {"array_byref", "(self, var_name, *args, **kwargs)", variables_view_array_byref},
                               {"get", "(self, var_name)", variables_view_get},
                               {"set", "(self, var_name, value, array_index=None)", variables_view_set},
                               {"unset", "(self, var_name, array_index=None, nocomplain=False)", variables_view_unset},
                               {"array_get", "(self, var_name, pattern=None)", variables_view_array_get},
                               {"array_set", "(self, var_name, value)", variables_view_array_set},
                               {"array_unset", "(self, var_name, pattern=None)", variables_view_array_unset},
                               {"array_names", "(self, var_name, pattern=None)", variables_view_array_names},
                               {"is_array", "(self, var_name)", variables_view_is_array},
                               {"exists", "(self, var_name, array_index=None)", variables_view_exists},
                               {"__getitem__", "(self, var_name)", variables_view_getitem},
                               {"__contains__", "(self, var_name)", variables_view_contains},
                               {"__setitem__", "(self, var_name, value)", variables_view_setitem},
                               {"__delitem__", "(self, var_name)", variables_view_delitem},
                               {"__len__", "(self)", view_len},
                               {"__iter__", "(self)", variables_view_iter}});
  Ref objs_view = build_views(state.ObjectsView, "ObjectsView", vars_view.get(),
                              {{"get", "(self, var_name, array_index=None)", objects_view_get},
                               {"array_get", "(self, var_name, pattern=None)", objects_view_array_get}});
  Ref cmds_view = build_views(state.CommandsView, "CommandsView", mutable_mapping.get(),
                              {{"__init__", "(self, ns)", commands_view_init},
                               {"byref", "(self, cmd_name, *args, **kwargs)", commands_view_byref},
                               {"exists", "(self, cmd_name)", commands_view_exists},
                               {"createcommand", "(self, cmd_name, func)", commands_view_createcommand},
                               {"delete", "(self, cmd_name)", commands_view_delete},
                               {"rename", "(self, cmd_name, new_name)", commands_view_rename},
                               {"origin", "(self, cmd_name)", commands_view_origin},
                               {"proc_body", "(self, cmd_name)", commands_view_proc_body},
                               {"proc_args", "(self, cmd_name)", commands_view_proc_args},
                               {"proc_arg_default", "(self, cmd_name, arg_name)", commands_view_proc_arg_default},
                               {"__getitem__", "(self, cmd_name)", commands_view_getitem},
                               {"__contains__", "(self, cmd_name)", commands_view_contains},
                               {"__setitem__", "(self, cmd_name, func)", commands_view_setitem},
                               {"__delitem__", "(self, cmd_name)", commands_view_delitem},
                               {"__len__", "(self)", view_len},
                               {"__iter__", "(self)", commands_view_iter}});
  Ref procs_view = build_views(state.ProcsView, "ProcsView", cmds_view.get(),
                               {{"exists", "(self, cmd_name)", procs_view_exists}, {"__iter__", "(self)", procs_view_iter}});
  return {std::move(vars_view), std::move(objs_view), std::move(cmds_view), std::move(procs_view)};
}

}  // namespace trivex::namespace_module
