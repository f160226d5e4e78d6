// Module trivex.tcl.namespace: TclNamespace and TempTclNamespace.
#include "state.hpp"

namespace trivex::namespace_module {

// TclNamespace

GLUE_BODY(ns_init, self, ns, tcl) {
  {
    Ref sup = glue::super_of(state.TclNamespace.cls, self);
    glue::call_method(sup.get(), GLUE_STR("__init__"));
  }
  Ref name = quotify(ns);
  glue::setattr(self, GLUE_STR("ns"), name.get());
  Ref proxy = interpreter_proxy(tcl);
  glue::setattr(self, GLUE_STR("tcl"), proxy.get());
  Ref cls = GLOBAL("TclNamespace");
  for (auto [attr, view] : {std::pair{"vars", "VariablesView"}, {"objs", "ObjectsView"}, {"procs", "ProcsView"},
                            {"cmds", "CommandsView"}}) {
    Ref view_cls = glue::getattr(cls.get(), view);
    Ref v = glue::call(view_cls.get(), self);
    glue::setattr(self, attr, v.get());
  }
  use_plain_dict(self);
  return Ref::borrow(Py_None);
}

// The command of call/eval: (tclcmd, *args), inside `namespace eval NS`
// unless NS is empty.
Ref ns_command(PyObject* self, PyObject* tclcmd, PyObject* rest) {
  Ref command = Ref::borrow(tclcmd);
  if (PyTuple_GET_SIZE(rest)) {
    Ref head = glue::tuple_of(tclcmd);
    command = tuple_concat({head.get(), rest});
  }
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(ns.get())) command = words({GLUE_STR("namespace"), GLUE_STR("eval"), ns.get(), command.get()});
  return command;
}

GLUE_BODY(ns_call, self, tclcmd, args) {
  Ref command = ns_command(self, tclcmd, args);
  Ref tk = self_tk(self);
  Ref w = tclobj(command.get());
  return tk_call(tk.get(), w.get());
}

GLUE_BODY(ns_eval, self, tclcmd, args) {
  Ref command = ns_command(self, tclcmd, args);
  Ref tk = self_tk(self);
  Ref script = quotify(command.get());
  return evaluating(tk.get(), [&] { return GLUE_CALL(tk.get(), "eval", script.get()); });
}

// self.call(*words)
Ref via_call(PyObject* self, PyObject* w) {
  Ref fn = glue::getattr(self, GLUE_STR("call"));
  return glue::call_kw(fn.get(), w, nullptr);
}

Ref cast_list_of(PyObject* self, PyObject* value) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", value);
}

GLUE_BODY(ns_children, self, pattern) {
  Ref w;
  if (is_none(pattern)) {
    w = words({GLUE_STR("namespace"), GLUE_STR("children")});
  } else {
    // `namespace children` takes the pattern after a namespace name.
    Ref abs = glue::call_method(self, GLUE_STR("absolute"));
    Ref pat = quotify(pattern);
    w = words({GLUE_STR("namespace"), GLUE_STR("children"), abs.get(), pat.get()});
  }
  Ref r = via_call(self, w.get());
  return cast_list_of(self, r.get());
}

GLUE_BODY(ns_code, self, script) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("code"), script});
  return via_call(self, w.get());
}

GLUE_BODY(ns_current, self) {
  Ref tk = self_tk(self);
  return current_namespace(tk.get());
}

GLUE_BODY(ns_create, self) {
  Ref ns = GLUE_MEMBER(self, "ns");
  if (!glue::truthy(ns.get())) glue::raise(PyExc_ValueError, "Cannot create current namespace");
  glue::call_method(self, GLUE_STR("eval"), GLUE_STR(""));
  return Ref::borrow(Py_None);
}

// ns, or the current namespace for the empty name.
Ref ns_or_current(PyObject* self) {
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(ns.get())) return ns;
  return glue::call_method(self, GLUE_STR("current"));
}

GLUE_BODY(ns_delete, self) {
  Ref name = ns_or_current(self);
  Ref tk = self_tk(self);
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("delete"), name.get()});
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

GLUE_BODY(ns_exists, self) {
  Ref name = ns_or_current(self);
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref tk = tk_of(tcl.get());
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("exists"), name.get()});
  Ref r = tk_call(tk.get(), w.get());
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
}

// ("namespace", sub[, flag if set], *patterns)
Ref flagged_words(PyObject* sub, PyObject* flag_word, bool flag, PyObject* patterns) {
  Ref head = flag ? words({GLUE_STR("namespace"), sub, flag_word}) : words({GLUE_STR("namespace"), sub});
  return tuple_concat({head.get(), patterns});
}

GLUE_BODY(ns_export, self, clear, patterns) {
  bool clearing = glue::truthy(clear);
  Ref w = flagged_words(GLUE_STR("export"), GLUE_STR("-clear"), clearing, patterns);
  Ref r = via_call(self, w.get());
  if (!clearing && PyTuple_GET_SIZE(patterns) == 0) return cast_list_of(self, r.get());
  return Ref::borrow(Py_None);
}

GLUE_BODY(ns_forget, self, patterns) {
  Ref w = flagged_words(GLUE_STR("forget"), nullptr, false, patterns);
  return via_call(self, w.get());
}

GLUE_BODY(ns_import, self, force, patterns) {
  Ref w = flagged_words(GLUE_STR("import"), GLUE_STR("-force"), glue::truthy(force), patterns);
  return via_call(self, w.get());
}

GLUE_BODY(ns_origin, self, command) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("origin"), command});
  return via_call(self, w.get());
}

GLUE_BODY(ns_parent, self, force_eval) {
  if (!glue::truthy(force_eval)) {
    Ref absolute = glue::call_method(self, GLUE_STR("is_absolute"));
    if (glue::truthy(absolute.get())) {
      Ref ns = GLUE_MEMBER(self, "ns");
      if (!PyUnicode_Check(ns.get())) glue::raise(PyExc_TypeError, "namespace name must be text");
      std::u32string out;
      cv::with_chars(ns.get(), [&](const auto* d, size_t n) { nm::absolute_parent(d, n, out); });
      return from_ucs4(out);
    }
  }
  Ref ns = GLUE_MEMBER(self, "ns");
  Ref w = glue::truthy(ns.get()) ? words({GLUE_STR("namespace"), GLUE_STR("parent"), ns.get()})
                                 : words({GLUE_STR("namespace"), GLUE_STR("parent")});
  Ref tk = self_tk(self);
  Ref converted = tclobj(w.get());
  return tk_call(tk.get(), converted.get());
}

GLUE_BODY(ns_which, self, name, command, variable) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("which")});
  if (glue::truthy(command)) w = words({GLUE_STR("namespace"), GLUE_STR("which"), GLUE_STR("-command")});
  if (glue::truthy(variable)) {
    Ref flag = glue::tuple_of(GLUE_STR("-variable"));
    w = tuple_concat({w.get(), flag.get()});
  }
  Ref last = glue::tuple_of(name);
  w = tuple_concat({w.get(), last.get()});
  return via_call(self, w.get());
}

GLUE_BODY(ns_is_absolute, self) {
  Ref ns = GLUE_MEMBER(self, "ns");
  if (!glue::truthy(ns.get())) return ns;
  return Ref::borrow(starts_with_sep(ns.get()) ? Py_True : Py_False);
}

GLUE_BODY(ns_is_relative, self) {
  Ref ns = GLUE_MEMBER(self, "ns");
  if (!glue::truthy(ns.get())) return ns;
  return Ref::borrow(starts_with_sep(ns.get()) ? Py_False : Py_True);
}

GLUE_BODY(ns_absolute, self) {
  Ref absolute = glue::call_method(self, GLUE_STR("is_absolute"));
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(absolute.get())) return ns;
  Ref current = glue::call_method(self, GLUE_STR("current"));
  Ref joined = namespace_join(current.get(), ns.get());
  // Normalizing "::" leaves the empty name, which would mean "current"
  // again; the global namespace's absolute name is "::".
  if (PyUnicode_Check(joined.get()) && PyUnicode_GET_LENGTH(joined.get()) == 0) return Ref::borrow(GLUE_STR("::"));
  return joined;
}

GLUE_BODY(ns_make_absolute, self) { return make_absolute(self, GLUE_STR("ns")); }

GLUE_BODY(ns_str, self) { return GLUE_MEMBER(self, "ns"); }

// TempTclNamespace

GLUE_BODY(tempns_init, self, ns, kwargs) {
  Ref name = fill_template(ns, self);
  Ref sup = glue::super_of(state.TempTclNamespace.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), kwargs);
  return Ref::borrow(Py_None);
}

GLUE_BODY(tempns_enter, self) {
  Ref value = temp_enter(state.TempTclNamespace.cls, self);
  glue::call_method(self, GLUE_STR("create"));
  return value;
}

GLUE_BODY(tempns_exit, self, exc_info) {
  delete_quietly(self);
  return temp_exit_next(state.TempTclNamespace.cls, self, exc_info);
}

void build_namespace_classes(glue::ModuleBuilder& m) {
  ViewClasses views = build_view_classes();
  Ref &vars_view = views.variables, &objs_view = views.objects, &cmds_view = views.commands,
      &procs_view = views.procs;
  glue::ClassBody b("TclNamespace", kModule);
  b.method({"__init__", "(self, ns, tcl=None)", ns_init});
  b.method({"children", "(self, pattern=None)", ns_children});
  b.method({"code", "(self, script)", ns_code});
  b.method({"current", "(self)", ns_current});
  b.method({"create", "(self)", ns_create});
  b.method({"delete", "(self)", ns_delete});
  b.method({"eval", "(self, tclcmd, *args)", ns_eval});
  b.method({"call", "(self, tclcmd, *args)", ns_call});
  b.method({"exists", "(self)", ns_exists});
  b.method({"export", "(self, clear=False, *patterns)", ns_export});
  b.method({"forget", "(self, *patterns)", ns_forget});
  b.method({"import_", "(self, force=False, *patterns)", ns_import});
  b.method({"origin", "(self, command)", ns_origin});
  b.method({"parent", "(self, force_eval=False)", ns_parent});
  b.method({"which", "(self, name, command=False, variable=False)", ns_which});
  b.method({"is_absolute", "(self)", ns_is_absolute});
  b.method({"is_relative", "(self)", ns_is_relative});
  b.method({"absolute", "(self)", ns_absolute});
  b.method({"make_absolute", "(self)", ns_make_absolute});
  b.method({"__str__", "(self)", ns_str});
  add_name_arithmetic(b);
  b.add("VariablesView", vars_view.get());
  b.add("ObjectsView", objs_view.get());
  b.add("CommandsView", cmds_view.get());
  b.add("ProcsView", procs_view.get());
  Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  m.add("TclNamespace", cls.get());
  record(state.TclNamespace, std::move(cls));

  glue::ClassBody t("TempTclNamespace", kModule);
  std::string sig = std::string("(self, ns=") + kTemplate + ", **kwargs)";
  t.method({"__init__", sig.c_str(), tempns_init});
  t.method({"__enter__", "(self)", tempns_enter});
  t.method({"__exit__", "(self, *exc_info)", tempns_exit});
  Ref temp = t.build({state.TclNamespace.cls});
  m.add("TempTclNamespace", temp.get());
  record(state.TempTclNamespace, std::move(temp));
}

}  // namespace trivex::namespace_module
