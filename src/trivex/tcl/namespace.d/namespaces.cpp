// Module trivex.tcl.namespace: TclNamespace and TempTclNamespace.
#include "state.hpp"

namespace trivex::namespace_module {

// TclNamespace

Ref ns_init(const Args& a) {
  PyObject *self = a[0], *ns = a[1];
  {
    Ref sup = glue::super_of(state.TclNamespace.cls, self);
    glue::call_method(sup.get(), GLUE_STR("__init__"));
  }
  Ref name = quotify(ns);
  glue::setattr(self, GLUE_STR("ns"), name.get());
  Ref tcl = interpreter_proxy(a[2]);
  glue::setattr(self, GLUE_STR("tcl"), tcl.get());
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

Ref ns_call(const Args& a) {
  Ref command = ns_command(a[0], a[1], a.varargs());
  Ref tk = self_tk(a[0]);
  Ref w = tclobj(command.get());
  return tk_call(tk.get(), w.get());
}

Ref ns_eval(const Args& a) {
  Ref command = ns_command(a[0], a[1], a.varargs());
  Ref tk = self_tk(a[0]);
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

Ref ns_children(const Args& a) {
  PyObject *self = a[0], *pattern = a[1];
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

Ref ns_code(const Args& a) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("code"), a[1]});
  return via_call(a[0], w.get());
}

Ref ns_current(const Args& a) {
  Ref tk = self_tk(a[0]);
  return current_namespace(tk.get());
}

Ref ns_create(const Args& a) {
  Ref ns = GLUE_MEMBER(a[0], "ns");
  if (!glue::truthy(ns.get())) glue::raise(PyExc_ValueError, "Cannot create current namespace");
  glue::call_method(a[0], GLUE_STR("eval"), GLUE_STR(""));
  return Ref::borrow(Py_None);
}

// ns, or the current namespace for the empty name.
Ref ns_or_current(PyObject* self) {
  Ref ns = GLUE_MEMBER(self, "ns");
  if (glue::truthy(ns.get())) return ns;
  return glue::call_method(self, GLUE_STR("current"));
}

Ref ns_delete(const Args& a) {
  Ref name = ns_or_current(a[0]);
  Ref tk = self_tk(a[0]);
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("delete"), name.get()});
  tk_call(tk.get(), w.get());
  return Ref::borrow(Py_None);
}

Ref ns_exists(const Args& a) {
  Ref name = ns_or_current(a[0]);
  Ref tcl = GLUE_MEMBER(a[0], "tcl");
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

Ref ns_export(const Args& a) {
  bool clear = glue::truthy(a[1]);
  PyObject* patterns = a.varargs();
  Ref w = flagged_words(GLUE_STR("export"), GLUE_STR("-clear"), clear, patterns);
  Ref r = via_call(a[0], w.get());
  if (!clear && PyTuple_GET_SIZE(patterns) == 0) return cast_list_of(a[0], r.get());
  return Ref::borrow(Py_None);
}

Ref ns_forget(const Args& a) {
  Ref w = flagged_words(GLUE_STR("forget"), nullptr, false, a.varargs());
  return via_call(a[0], w.get());
}

Ref ns_import(const Args& a) {
  Ref w = flagged_words(GLUE_STR("import"), GLUE_STR("-force"), glue::truthy(a[1]), a.varargs());
  return via_call(a[0], w.get());
}

Ref ns_origin(const Args& a) {
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("origin"), a[1]});
  return via_call(a[0], w.get());
}

Ref ns_parent(const Args& a) {
  PyObject* self = a[0];
  if (!glue::truthy(a[1])) {
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

Ref ns_which(const Args& a) {
  PyObject *self = a[0], *name = a[1];
  Ref w = words({GLUE_STR("namespace"), GLUE_STR("which")});
  if (glue::truthy(a[2])) w = words({GLUE_STR("namespace"), GLUE_STR("which"), GLUE_STR("-command")});
  if (glue::truthy(a[3])) {
    Ref flag = glue::tuple_of(GLUE_STR("-variable"));
    w = tuple_concat({w.get(), flag.get()});
  }
  Ref last = glue::tuple_of(name);
  w = tuple_concat({w.get(), last.get()});
  return via_call(self, w.get());
}

Ref ns_is_absolute(const Args& a) {
  Ref ns = GLUE_MEMBER(a[0], "ns");
  if (!glue::truthy(ns.get())) return ns;
  return Ref::borrow(starts_with_sep(ns.get()) ? Py_True : Py_False);
}

Ref ns_is_relative(const Args& a) {
  Ref ns = GLUE_MEMBER(a[0], "ns");
  if (!glue::truthy(ns.get())) return ns;
  return Ref::borrow(starts_with_sep(ns.get()) ? Py_False : Py_True);
}

Ref ns_absolute(const Args& a) {
  PyObject* self = a[0];
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

Ref ns_make_absolute(const Args& a) {
  Ref abs = glue::call_method(a[0], GLUE_STR("absolute"));
  glue::setattr(a[0], GLUE_STR("ns"), abs.get());
  return Ref::borrow(Py_None);
}

Ref ns_str(const Args& a) { return GLUE_MEMBER(a[0], "ns"); }

// TempTclNamespace

Ref tempns_init(const Args& a) {
  PyObject* self = a[0];
  Ref name = fill_template(a[1], self);
  Ref sup = glue::super_of(state.TempTclNamespace.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), a.varkw());
  return Ref::borrow(Py_None);
}

Ref tempns_enter(const Args& a) {
  Ref value = temp_enter(state.TempTclNamespace.cls, a[0]);
  glue::call_method(a[0], GLUE_STR("create"));
  return value;
}

Ref tempns_exit(const Args& a) {
  delete_quietly(a[0]);
  return temp_exit_next(state.TempTclNamespace.cls, a[0], a.varargs());
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
  for (ClassInfo* ci : {&state.VariablesView, &state.ObjectsView, &state.CommandsView, &state.ProcsView}) {
    Ref view = Ref::steal(ci->cls);
    record(*ci, std::move(view));
  }

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
