// Module trivex.tcl.namespace: TclCommand and TempTclCommand, and Python
// callables published as Tcl commands.
#include "state.hpp"

namespace trivex::namespace_module {

// Python callables as Tcl commands

namespace bridge = trivex::tcl;

// The exception type as the last line of a Python traceback names it.
Ref exception_type_name(PyObject* exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref qualname = glue::getattr(type, GLUE_STR("__qualname__"));
  Ref module = glue::lookup_attr(type, GLUE_STR("__module__"));
  if (!module || !PyUnicode_Check(module.get()) || PyUnicode_Compare(module.get(), GLUE_STR("builtins")) == 0 ||
      PyUnicode_Compare(module.get(), GLUE_STR("__main__")) == 0)
    return qualname;
  return glue::check(PyUnicode_FromFormat("%U.%S", module.get(), qualname.get()));
}

// Remove from a formatted traceback the line that repeats `message`, the
// exception's own last line: Tcl's errorInfo starts with the message
// already.  When callbacks fail through nested evaluations, each message
// holds the errorInfo of the level below, so repeating it would double the
// text at every level.
void drop_final_line(PyObject* lines, PyObject* message) {
  if (!PyList_Check(lines)) return;
  Ref line = glue::check(PyUnicode_FromFormat("%U\n", message));
  for (Py_ssize_t i = PyList_GET_SIZE(lines); i-- > 0;) {
    PyObject* item = PyList_GET_ITEM(lines, i);
    if (PyUnicode_Check(item) && PyUnicode_Compare(item, line.get()) == 0) {
      glue::check_status(PySequence_DelItem(lines, i));
      return;
    }
  }
}

// Take the pending exception and describe it in `f` for Tcl: `message` for
// the result, `info` (the Python traceback) for errorInfo, `code` for
// errorCode.  Past this point only its text travels through Tcl; the
// exception itself waits in the interpreter (tclerror.hpp) to become the
// cause of the TclError the failure ends in.  A TclError that has such a
// cause already failed a callback further in: that innermost exception is
// the one that began the failure.
PyObject* original_exception(PyObject* exc) {
  if (!PyErr_GivenExceptionMatches(exc, state.TclError)) return exc;
  Ref cause = Ref::steal(PyException_GetCause(exc));
  if (!cause) return exc;
  Ref code = Ref::steal(PyObject_GetAttrString(exc, "errorcode"));
  PyErr_Clear();
  if (code && PyTuple_Check(code.get()) && PyTuple_GET_SIZE(code.get()) == 2 &&
      PyUnicode_Check(PyTuple_GET_ITEM(code.get(), 0)) &&
      PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(code.get(), 0), "PYTHON") == 0)
    return cause.get();  // `exc` keeps it alive
  return exc;
}

void record_failure(bridge::CallbackFrame& f) {
  glue::CaughtError err;
  f.failed = true;
  f.message = "Python exception";
  f.code = "Exception";
  try {
    PyObject* exc = err.value();
    Ref stype = exception_type_name(exc);
    f.code = bridge::encode_tcl_text(stype.get());
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) {
      PyErr_Clear();
      // At the recursion limit (a RecursionError, typically) str() cannot
      // even start; the lone text argument is what it would have given.
      PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
      if (Py_TYPE(exc)->tp_str == reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_str && args &&
          PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 && PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0)))
        text = Ref::borrow(PyTuple_GET_ITEM(args, 0));
      else
        text = glue::str_from("<exception str() failed>");
    }
    Ref message = PyUnicode_GET_LENGTH(text.get())
                      ? glue::check(PyUnicode_FromFormat("%U: %U", stype.get(), text.get()))
                      : stype;
    f.message = bridge::encode_tcl_text(message.get());
    f.info.clear();
    if (!state.format_exception) state.format_exception = glue::import_attr("traceback", "format_exception");
    PyObject* original = original_exception(exc);
    Ref lines;
    if (original == exc) {
      lines = glue::call(state.format_exception, exc);
    } else {
      // The level below reported its own frames in the message already.
      Ref args = glue::tuple_of(exc);
      Ref kwargs = glue::new_dict();
      glue::dict_set(kwargs.get(), "chain", Py_False);
      lines = glue::call_kw(state.format_exception, args.get(), kwargs.get());
    }
    drop_final_line(lines.get(), message.get());
    Ref joined = glue::check(PyUnicode_Join(GLUE_STR(""), lines.get()));
    Py_ssize_t n = PyUnicode_GET_LENGTH(joined.get());
    if (n && PyUnicode_READ_CHAR(joined.get(), n - 1) == '\n') joined = substring(joined.get(), 0, static_cast<size_t>(n - 1));
    if (PyUnicode_GET_LENGTH(joined.get())) f.info = "\n" + bridge::encode_tcl_text(joined.get());
    if (f.interp) bridge::remember_cause(f.interp, original, message.get(), stype.get());
  } catch (const glue::PythonError&) {
    PyErr_Clear();
  }
}

// The callable tkinter registers: runs the user's callable and, when that
// raises under an interposed command, leaves the error in its frame and
// returns normally, so tkinter keeps no exception aside.  It takes tkinter's
// arguments as they come, without an *args tuple of its own.
Ref run_callback(glue::FunctionObject* function, PyObject* const* args, Py_ssize_t nargs) {
  struct Claim {
    bridge::CallbackFrame* frame = bridge::t_frame;
    Claim() { bridge::t_frame = nullptr; }  // nested commands open their own frames
    ~Claim() { bridge::t_frame = frame; }
  } claim;
  // tkinter holds the only reference to this wrapper, and so to `func`, and
  // drops it as soon as the command is deleted, which `func` itself may do.
  Ref self = Ref::borrow(reinterpret_cast<PyObject*>(function));
  Ref func = Ref::borrow(function->data);
  try {
    Ref r = glue::check(PyObject_Vectorcall(func.get(), args, static_cast<size_t>(nargs), nullptr));
    return trivex::tkvalue::value(r.get());
  } catch (const glue::PythonError&) {
    if (!claim.frame) throw;
    record_failure(*claim.frame);
    return Ref::borrow(cv::empty_text());
  }
}
const glue::Body callback = glue::Body::of_varargs<run_callback>("args");

using bridge::is_tkapp;

// tk.createcommand(name, func), with Python errors of `func` reported to
// Tcl as Tcl errors: `callback` (above) runs with the GIL and leaves them in
// the frame of the interposer (bridge/interposer.hpp), which runs without.
void create_command(PyObject* tk, PyObject* name, PyObject* func) {
  if (!is_tkapp(tk) || !PyUnicode_Check(name)) {
    glue::call_method(tk, GLUE_STR("createcommand"), name, func);
    return;
  }
  if (!PyCallable_Check(func)) glue::raise(PyExc_TypeError, "command not callable");
  const bridge::Api& api = bridge::api();
  bridge::Tcl_Interp* interp = bridge::interp_of(tk);
  Ref wrapper = glue::make_function({"callback", "(*args)", callback}, kModule, nullptr, {}, func);
  glue::call_method(tk, GLUE_STR("createcommand"), name, wrapper.get());
  // An unqualified name is created in the global namespace, but looked up in
  // the current one first.
  std::string lookup = bridge::encode_tcl_text(name);
  if (lookup.find("::") == std::string::npos) lookup = "::" + lookup;
  bridge::interpose(api, interp, lookup.c_str());
}

// ---------------------------------------------------------------------------
// TclCommand

// kwargs_to_dashed_args: ("-" + name, value) for each option, in order.
Ref dashed_args(PyObject* options) {
  Ref owned;
  if (!PyDict_Check(options)) {
    owned = glue::new_dict();
    glue::check_status(PyDict_Merge(owned.get(), options, 1));
    options = owned.get();
  }
  Ref out = glue::check(PyTuple_New(2 * PyDict_GET_SIZE(options)));
  Py_ssize_t pos = 0, i = 0;
  PyObject *k, *v;
  while (PyDict_Next(options, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) glue::raise(PyExc_TypeError, "keywords must be strings");
    Ref dashed = concat(GLUE_STR("-"), k);
    PyTuple_SET_ITEM(out.get(), i++, dashed.release());
    PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(v));
  }
  return out;
}

GLUE_BODY(cmd_kwargs_to_dashed_args, kwargs) { return dashed_args(kwargs); }

// Concatenate tuples (the last may be any sequence Python's + accepts).
Ref tuple_concat(std::initializer_list<PyObject*> parts) {
  Py_ssize_t n = 0;
  bool plain = true;
  for (PyObject* p : parts) {
    if (!PyTuple_CheckExact(p)) plain = false;
    else n += PyTuple_GET_SIZE(p);
  }
  if (!plain) {
    Ref acc;
    for (PyObject* p : parts) acc = acc ? glue::check(PyNumber_Add(acc.get(), p)) : Ref::borrow(p);
    return acc;
  }
  Ref out = glue::check(PyTuple_New(n));
  Py_ssize_t i = 0;
  for (PyObject* p : parts)
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(p); ++k) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(PyTuple_GET_ITEM(p, k)));
  return out;
}

// build_tclcmd(*args, **kwargs); `kwargs` may be null.
Ref build_line(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref bound = GLUE_MEMBER(self, "args");
  Ref converted = tclobj(args);
  Ref keywords = GLUE_MEMBER(self, "keywords");
  Ref options = keywords;
  if (kwargs && PyDict_GET_SIZE(kwargs)) {
    options = glue::new_dict();
    glue::check_status(PyDict_Merge(options.get(), keywords.get(), 1));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      Ref value = tclobj(v);
      glue::dict_set(options.get(), k, value.get());
    }
  }
  bool own_dashed = OURS(self, TclCommand, "kwargs_to_dashed_args");
  if (own_dashed && PyTuple_CheckExact(bound.get()) && PyTuple_CheckExact(converted.get()) &&
      PyDict_CheckExact(options.get())) {
    // The whole line in one tuple: name, bound words, call words, options.
    Py_ssize_t nb = PyTuple_GET_SIZE(bound.get()), na = PyTuple_GET_SIZE(converted.get());
    Ref out = glue::check(PyTuple_New(1 + nb + na + 2 * PyDict_GET_SIZE(options.get())));
    Py_ssize_t i = 0;
    PyTuple_SET_ITEM(out.get(), i++, name.release());
    for (Py_ssize_t k = 0; k < nb; ++k) PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(PyTuple_GET_ITEM(bound.get(), k)));
    for (Py_ssize_t k = 0; k < na; ++k)
      PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(PyTuple_GET_ITEM(converted.get(), k)));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(options.get(), &pos, &k, &v)) {
      if (!PyUnicode_Check(k)) glue::raise(PyExc_TypeError, "keywords must be strings");
      PyTuple_SET_ITEM(out.get(), i++, concat(GLUE_STR("-"), k).release());
      PyTuple_SET_ITEM(out.get(), i++, Py_NewRef(v));
    }
    return out;
  }
  Ref head = glue::tuple_of(name.get());
  Ref with_bound = tuple_concat({head.get(), bound.get()});
  Ref dashed;
  if (own_dashed) {
    dashed = dashed_args(options.get());
  } else {
    Ref fn = glue::getattr(self, GLUE_STR("kwargs_to_dashed_args"));
    Ref kw = glue::new_dict();
    glue::check_status(PyDict_Merge(kw.get(), options.get(), 1));
    Ref none = empty_tuple();
    dashed = glue::call_kw(fn.get(), none.get(), kw.get());
  }
  Ref t = glue::check(PyNumber_Add(with_bound.get(), converted.get()));
  return glue::check(PyNumber_Add(t.get(), dashed.get()));
}

GLUE_BODY(cmd_build_tclcmd, self, args, kwargs) { return build_line(self, args, kwargs); }

// self.build_tclcmd(*args, **kwargs) as the instance resolves it.
Ref line_of(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (OURS(self, TclCommand, "build_tclcmd")) return build_line(self, args, kwargs);
  Ref fn = glue::getattr(self, GLUE_STR("build_tclcmd"));
  return glue::call_kw(fn.get(), args, kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr);
}

Ref apply_cast(PyObject* self, Ref result) {
  Ref cast = GLUE_MEMBER(self, "cast");
  if (glue::truthy(cast.get())) return glue::call(cast.get(), result.get());
  return result;
}

Ref tuple_from_array(PyObject* const* items, size_t n) {
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(n)));
  for (size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i]));
  return t;
}

// References taken for the length of one call, released together.
class Holds {
 public:
  Holds() = default;
  ~Holds() {
    for (size_t i = 0; i < n_; ++i) Ref::steal(at(i));
  }
  Holds(const Holds&) = delete;
  Holds& operator=(const Holds&) = delete;
  // Keep `r` (a new reference) and return it borrowed.
  PyObject* keep(Ref r) {
    if (n_ == kSmall && large_.empty()) large_.assign(small_, small_ + kSmall);
    if (n_ >= kSmall) large_.push_back(r.get());
    else small_[n_] = r.get();
    ++n_;
    return r.release();
  }

 private:
  PyObject* at(size_t i) const { return large_.empty() ? small_[i] : large_[i]; }
  static constexpr size_t kSmall = 16;
  PyObject* small_[kSmall];
  std::vector<PyObject*> large_;
  size_t n_ = 0;
};

// The six attributes of a command whose methods are all this module's own:
// the object is exactly a TclCommand and neither its class nor its own
// dict rebinds a method the call would go through.  Held for the call (argument hooks and the logger run
// Python code that may rebind them).
struct PlainCommand {
  PyObject *tcl, *cmd_name, *args, *keywords, *cast, *logger;
};

bool plain_command(PyObject* self, PlainCommand& f, Holds& holds) {
  static PyObject* const* const names[] = {&state.attr_tcl, &state.attr_cmd_name, &state.attr_args,
                                           &state.attr_keywords, &state.attr_cast, &state.attr_logger};
  static struct {
    SiteCache site;
    PyObject* values[6];
  } cache;
  if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(state.TclCommand.cls.get()) ||
      !OURS(self, TclCommand, "__call__", "call", "build_tclcmd", "kwargs_to_dashed_args"))
    return false;
  PyObject* d = instance_dict(self);
  if (!d) return false;
  if (!cache.site.hit(Py_TYPE(self), d)) {
    for (int i = 0; i < 6; ++i) {
      PyObject* v = PyDict_GetItemWithError(d, *names[i]);
      if (!v) {
        if (PyErr_Occurred()) throw glue::PythonError{};
        return false;
      }
      cache.values[i] = v;
    }
    cache.site.store(Py_TYPE(self), d, d);
  }
  PyObject** out[] = {&f.tcl, &f.cmd_name, &f.args, &f.keywords, &f.cast, &f.logger};
  for (int i = 0; i < 6; ++i) *out[i] = holds.keep(Ref::borrow(cache.values[i]));
  return true;
}

// call() of a plain command without call keywords.  The words go to
// tk.call as separate arguments (what the binding does with a single tuple
// argument anyway), so no line tuple is built unless a logger needs it.
Ref plain_call(PlainCommand& f, PyObject* args, Holds& holds) {
  if (!PyTuple_CheckExact(f.args) || !PyDict_CheckExact(f.keywords) || !PyUnicode_Check(f.cmd_name)) return Ref();
  Py_ssize_t nb = PyTuple_GET_SIZE(f.args), na = PyTuple_GET_SIZE(args);
  PyObject* small[16] = {};
  std::vector<PyObject*> large;
  PyObject** argv = small;
  auto room = [&](size_t used, size_t total) {
    if (total <= (argv == small ? 16 : large.size())) return;
    if (argv == small) large.assign(small, small + used);
    large.resize(total);
    argv = large.data();
  };
  // argv[0] is free for the vectorcall offset, argv[1] is `tk`.
  // Every word is held for the call: the logger may empty `keywords`.
  size_t i = 2;
  room(i, 3 + static_cast<size_t>(nb + na));
  argv[i++] = f.cmd_name;
  for (Py_ssize_t k = 0; k < nb; ++k) argv[i++] = PyTuple_GET_ITEM(f.args, k);
  for (Py_ssize_t k = 0; k < na; ++k) argv[i++] = holds.keep(tclobj(PyTuple_GET_ITEM(args, k)));
  // Counted only now: a conversion hook above may have changed `keywords`.
  size_t n = static_cast<size_t>(1 + nb + na + 2 * PyDict_GET_SIZE(f.keywords));
  room(i, n + 2);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(f.keywords, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) glue::raise(PyExc_TypeError, "keywords must be strings");
    argv[i++] = holds.keep(concat(GLUE_STR("-"), k));
    argv[i++] = holds.keep(Ref::borrow(v));
  }
  if (glue::truthy(f.logger)) {
    Ref line = tuple_from_array(argv + 2, n);
    Ref text = quotify(line.get());
    Ref message = glue::check(PyUnicode_FromFormat("Calling: %S", text.get()));
    glue::call_method(f.logger, GLUE_STR("info"), message.get());
  }
  Ref tk = tk_of(f.tcl);
  argv[1] = tk.get();
  if (Ref word = trivex::tcl::command_word_obj(tk.get(), argv[2])) argv[2] = holds.keep(std::move(word));
  // Checked last, as the binding checks its words: after the logger, which
  // may change a list among them.
  for (size_t w = 3; w < i; ++w) {
    Ref safe = trivex::tkvalue::word(argv[w]);
    if (safe.get() != argv[w]) argv[w] = holds.keep(std::move(safe));
  }
  static SiteCache cache;
  Ref result;
  PyObject* call = glue::class_method(tk.get(), GLUE_STR("call"), cache);
  Ref keep = call ? Ref::borrow(call) : Ref{};
  result = evaluating(tk.get(), [&] {
    if (call && is_tkapp(tk.get()))
      return glue::check(PyObject_Vectorcall(call, argv + 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref line = tuple_from_array(argv + 2, n);
    return glue::call_method(tk.get(), GLUE_STR("call"), line.get());
  });
  if (glue::truthy(f.cast)) return glue::call(f.cast, result.get());
  return result;
}

Ref generic_call(PyObject* self, PyObject* args, PyObject* kwargs);

Ref command_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
    PlainCommand f;
    Holds holds;
    if (plain_command(self, f, holds))
      if (Ref r = plain_call(f, args, holds)) return r;
  }
  return generic_call(self, args, kwargs);
}

Ref generic_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  Ref line = line_of(self, args, kwargs);
  Ref logger = GLUE_MEMBER(self, "logger");
  if (glue::truthy(logger.get())) {
    Ref text = quotify(line.get());
    Ref message = glue::check(PyUnicode_FromFormat("Calling: %S", text.get()));
    glue::call_method(logger.get(), GLUE_STR("info"), message.get());
  }
  Ref tk = self_tk(self);
  return apply_cast(self, tk_call(tk.get(), line.get()));
}

GLUE_BODY(cmd_call, self, args, kwargs) { return command_call(self, args, kwargs); }

// __call__: self.call(*args, **kwargs); `kwargs` may be null.
Ref dunder_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (OURS(self, TclCommand, "call")) return command_call(self, args, kwargs);
  Ref fn = glue::getattr(self, GLUE_STR("call"));
  return glue::call_kw(fn.get(), args, kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr);
}

// The type's call slot runs this body with the tuple and dict of the call.
GLUE_BODY(cmd_dunder_call, self, args, kwargs) { return dunder_call(self, args, kwargs); }

GLUE_BODY(cmd_eval, self, args, kwargs) {
  Ref line = line_of(self, args, kwargs);
  Ref tk = self_tk(self);
  return apply_cast(self, tk_eval_words(tk.get(), line.get()));
}

Ref package() { return glue::import("trivex.tcl"); }

// cmd[1:], cmd[0]
void split_line(Ref& cmd, Ref& args) {
  Ref one = glue::check(PyLong_FromLong(1));
  Ref slice = glue::check(PySlice_New(one.get(), nullptr, nullptr));
  args = glue::check(PyObject_GetItem(cmd.get(), slice.get()));
  Ref zero = glue::check(PyLong_FromLong(0));
  cmd = glue::check(PyObject_GetItem(cmd.get(), zero.get()));
}

GLUE_BODY(cmd_init, self, cmd, args, keywords, tcl, cast, logger) {
  {
    Ref sup = glue::super_of(state.TclCommand.cls, self);
    glue::call_method(sup.get(), GLUE_STR("__init__"));
  }
  Ref pkg = package();
  Ref proxy = glue::truthy(tcl) ? Ref::borrow(tcl) : pkg;
  if (!PyWeakref_CheckProxy(proxy.get())) proxy = glue::check(PyWeakref_NewProxy(proxy.get(), nullptr));
  glue::setattr(self, GLUE_STR("tcl"), proxy.get());

  Ref command_cls = GLOBAL("TclCommand");
  Ref line = Ref::borrow(cmd);
  Ref rest;
  if (is_none(args)) {
    if (glue::isinstance(line.get(), command_cls.get()))
      line = glue::call_method(line.get(), GLUE_STR("build_tclcmd"));
    else if (!PyTuple_CheckExact(line.get()))
      line = glue::call_method(pkg.get(), GLUE_STR("cast_list"), line.get());
    split_line(line, rest);
  } else {
    rest = glue::call_method(pkg.get(), GLUE_STR("cast_list"), args);
    if (glue::isinstance(line.get(), command_cls.get())) {
      Ref fn = glue::getattr(line.get(), GLUE_STR("build_tclcmd"));
      Ref star = glue::check(PySequence_Tuple(rest.get()));
      line = glue::call_kw(fn.get(), star.get(), nullptr);
      split_line(line, rest);
    }
  }
  Ref name = quotify(line.get());
  glue::setattr(self, GLUE_STR("cmd_name"), name.get());
  Ref converted = tclobj(rest.get());
  glue::setattr(self, GLUE_STR("args"), converted.get());
  Ref options = glue::new_dict();
  glue::setattr(self, GLUE_STR("keywords"), options.get());
  if (glue::truthy(keywords)) {
    Ref items = glue::call_method(keywords, GLUE_STR("items"));
    Ref it = glue::check(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item = Ref::steal(raw);
      Ref pair = glue::check(PySequence_Tuple(item.get()));
      if (PyTuple_GET_SIZE(pair.get()) != 2)
        glue::raisef(PyExc_ValueError, PyTuple_GET_SIZE(pair.get()) < 2
                                           ? "not enough values to unpack (expected 2, got %zd)"
                                           : "too many values to unpack (expected 2)",
                     PyTuple_GET_SIZE(pair.get()));
      Ref value = tclobj(PyTuple_GET_ITEM(pair.get(), 1));
      glue::check_status(PyObject_SetItem(options.get(), PyTuple_GET_ITEM(pair.get(), 0), value.get()));
    }
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  glue::setattr(self, GLUE_STR("cast"), cast);
  glue::setattr(self, GLUE_STR("logger"), logger);
  return Ref::borrow(Py_None);
}

GLUE_BODY(cmd_createcommand, self, func) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  create_command(tk.get(), name.get(), func);
  return Ref::borrow(Py_None);
}

// tk.call((*head, NAME[, extra]))
Ref cmd_query(PyObject* self, std::initializer_list<PyObject*> head, PyObject* extra = nullptr) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(head.size() + 1 + (extra ? 1 : 0))));
  Py_ssize_t i = 0;
  for (PyObject* h : head) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(h));
  PyTuple_SET_ITEM(t.get(), i++, name.release());
  if (extra) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(extra));
  return tk_call(tk.get(), t.get());
}

Ref as_bool(Ref r) { return Ref::borrow(glue::truthy(r.get()) ? Py_True : Py_False); }

GLUE_BODY(cmd_exists, self) { return as_bool(cmd_query(self, {GLUE_STR("::info"), GLUE_STR("commands")})); }
GLUE_BODY(cmd_is_proc, self) { return as_bool(cmd_query(self, {GLUE_STR("::info"), GLUE_STR("procs")})); }

GLUE_BODY(cmd_is_command, self) {
  Ref exists = glue::call_method(self, GLUE_STR("exists"));
  if (!glue::truthy(exists.get())) return Ref::borrow(Py_False);
  Ref is_proc = glue::call_method(self, GLUE_STR("is_proc"));
  return Ref::borrow(glue::truthy(is_proc.get()) ? Py_False : Py_True);
}

GLUE_BODY(cmd_rename, self, new_name) {
  Ref name = quotify(new_name);
  cmd_query(self, {GLUE_STR("::rename")}, name.get());
  glue::setattr(self, GLUE_STR("cmd_name"), name.get());
  return Ref::borrow(Py_None);
}

GLUE_BODY(cmd_delete, self) {
  cmd_query(self, {GLUE_STR("::rename")}, GLUE_STR(""));
  return Ref::borrow(Py_None);
}

GLUE_BODY(cmd_origin, self) { return cmd_query(self, {GLUE_STR("::namespace"), GLUE_STR("origin")}); }
GLUE_BODY(cmd_proc_body, self) { return cmd_query(self, {GLUE_STR("::info"), GLUE_STR("body")}); }

GLUE_BODY(cmd_proc_args, self) {
  Ref r = cmd_query(self, {GLUE_STR("::info"), GLUE_STR("args")});
  Ref tcl = GLUE_MEMBER(self, "tcl");
  return GLUE_CALL(glue::referent(tcl.get()).get(), "cast_list", r.get());
}

GLUE_BODY(cmd_proc_arg_default, self, arg_name) {
  Ref tcl = GLUE_MEMBER(self, "tcl");
  Ref temp_cls = GLOBAL("TempTclVariable");
  Ref tmp = glue::call_kw(temp_cls.get(), {tcl.get()}, GLUE_KWNAMES("tcl"));
  return with_block(tmp.get(), [&](PyObject* tmp_var) {
    Ref tk = tk_of(tcl.get());
    Ref name = GLUE_MEMBER(self, "cmd_name");
    Ref arg = quotify(arg_name);
    Ref w = words({GLUE_STR("::info"), GLUE_STR("default"), name.get(), arg.get(), tmp_var});
    Ref r = tk_call(tk.get(), w.get());
    Ref has = GLUE_CALL(glue::referent(tcl.get()).get(), "cast_boolean", r.get());
    if (glue::truthy(has.get())) return glue::call_method(tmp_var, GLUE_STR("get"));
    return Ref::borrow(Py_None);
  });
}

GLUE_BODY(cmd_absolute, self) {
  Ref name = GLUE_MEMBER(self, "cmd_name");
  return absolute_name(self, name.get());
}

GLUE_BODY(cmd_make_absolute, self) { return make_absolute(self, GLUE_STR("cmd_name")); }

GLUE_BODY(cmd_repr, self) {
  Ref cls_name = type_name(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref text = glue::check(PyUnicode_FromFormat("%S(%R", cls_name.get(), name.get()));
  auto add = [&](const char* fmt, PyObject* v) {
    Ref part = glue::check(PyUnicode_FromFormat(fmt, v));
    text = concat(text.get(), part.get());
  };
  Ref args = GLUE_MEMBER(self, "args");
  if (glue::truthy(args.get())) add(", args=%R", args.get());
  Ref keywords = GLUE_MEMBER(self, "keywords");
  if (glue::truthy(keywords.get())) add(", keywords=%R", keywords.get());
  Ref cast = GLUE_MEMBER(self, "cast");
  if (glue::truthy(cast.get())) add(", cast=%R", cast.get());
  return concat(text.get(), GLUE_STR(")"));
}

GLUE_BODY(cmd_str, self) {
  Ref line = glue::call_method(self, GLUE_STR("build_tclcmd"));
  return quotify(line.get());
}

GLUE_BODY(cmd_tclobj, self) { return glue::call_method(self, GLUE_STR("build_tclcmd")); }

GLUE_BODY(cmd_get, self, instance, owner) {
  (void)owner;  // a command binds to instances only
  if (is_none(instance)) return Ref::borrow(self);
  return glue::check(PyMethod_New(self, instance));
}

// TempTclCommand
//
// A temporary command given the name of an existing one takes the name for
// its life only: the existing command waits under a name of its own in the
// same namespace (where a proc keeps resolving names as before) and comes
// back when the temporary one ends.  The pair (name, waiting name) is kept
// in the instance dict.

constexpr const char* kDisplaced = "_trivex_displaced";

bool command_here(PyObject* tk, PyObject* qualified) {
  Ref w = words({GLUE_STR("::namespace"), GLUE_STR("which"), GLUE_STR("-command"), qualified});
  Ref found = tk_call(tk, w.get());
  return glue::truthy(found.get());
}

void set_existing_aside(PyObject* self) {
  Ref tk = self_tk(self);
  Ref name = GLUE_MEMBER(self, "cmd_name");
  Ref qualified = starts_with_sep(name.get()) ? glue::str(name.get()) : concat(GLUE_STR("::"), name.get());
  if (!command_here(tk.get(), qualified.get())) return;
  Py_ssize_t end = PyUnicode_GET_LENGTH(qualified.get());
  Py_ssize_t sep = PyUnicode_Find(qualified.get(), GLUE_STR("::"), 0, end, -1);
  if (sep < 0) throw glue::PythonError{};
  Ref ns = substring(qualified.get(), 0, static_cast<size_t>(sep));
  Ref tail = glue::check(PyUnicode_FromFormat("::__trivex__displaced_%zd", reinterpret_cast<Py_ssize_t>(self)));
  Ref aside = concat(ns.get(), tail.get());
  Ref w = words({GLUE_STR("::rename"), qualified.get(), aside.get()});
  tk_call(tk.get(), w.get());
  Ref pair = glue::tuple_of(qualified.get(), aside.get());
  glue::setattr(self, kDisplaced, pair.get());
}

// Put the displaced command back, in place of whatever has its name now.
void restore_existing(PyObject* self) {
  PyObject** dictptr = _PyObject_GetDictPtr(self);
  PyObject* pair = dictptr && *dictptr ? PyDict_GetItemString(*dictptr, kDisplaced) : nullptr;
  if (!pair || !PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return;
  Ref keep = Ref::borrow(pair);
  glue::check_status(PyDict_DelItemString(*dictptr, kDisplaced));
  PyObject *qualified = PyTuple_GET_ITEM(pair, 0), *aside = PyTuple_GET_ITEM(pair, 1);
  Ref tk = self_tk(self);
  if (!command_here(tk.get(), aside)) return;
  if (command_here(tk.get(), qualified)) {
    Ref w = words({GLUE_STR("::rename"), qualified, GLUE_STR("")});
    tk_call(tk.get(), w.get());
  }
  Ref w = words({GLUE_STR("::rename"), aside, qualified});
  tk_call(tk.get(), w.get());
}

GLUE_BODY(tempcmd_init, self, func, cmd_name, kwargs) {
  Ref name = fill_template(cmd_name, self);
  Ref sup = glue::super_of(state.TempTclCommand.cls, self);
  Ref init = glue::getattr(sup.get(), GLUE_STR("__init__"));
  Ref args = glue::tuple_of(name.get());
  glue::call_kw(init.get(), args.get(), kwargs);
  set_existing_aside(self);
  if (glue::truthy(func)) {
    glue::call_method(self, GLUE_STR("createcommand"), func);
    glue::call(state.update_wrapper, self, func);
  }
  return Ref::borrow(Py_None);
}

GLUE_BODY(tempcmd_enter, self) { return temp_enter(state.TempTclCommand.cls, self); }

// self.delete(), a TclError from it ignored.
void delete_quietly(PyObject* self) {
  try {
    glue::call_method(self, GLUE_STR("delete"));
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(state.TclError)) throw;
    PyErr_Clear();
  }
}

GLUE_BODY(tempcmd_exit, self, exc_info) {
  delete_quietly(self);
  restore_existing(self);
  return temp_exit_next(state.TempTclCommand.cls, self, exc_info);
}

GLUE_BODY(tempcmd_del, self) {
  Ref wrapped = glue::lookup_attr(self, GLUE_STR("__wrapped__"));
  if (wrapped) {
    // Once the interpreter is gone its commands are gone with it: there is
    // nothing left to delete, and nothing worth reporting at finalisation.
    try {
      delete_quietly(self);
    } catch (const glue::PythonError&) {
      if (!PyErr_ExceptionMatches(PyExc_ReferenceError)) throw;
      PyErr_Clear();
    }
  }
  try {
    restore_existing(self);
  } catch (const glue::PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_ReferenceError) && !PyErr_ExceptionMatches(state.TclError)) throw;
    PyErr_Clear();
  }
  bool found = false;
  Ref none = empty_tuple();
  call_next(state.TempTclCommand.cls, self, GLUE_STR("__del__"), none.get(), found);
  return Ref::borrow(Py_None);
}

void build_command_classes(glue::ModuleBuilder& m) {
  {
    glue::ClassBody b("TclCommand", kModule);
    b.method({"__init__", "(self, cmd, args=None, keywords=None, tcl=None, cast=None, logger=None)", cmd_init});
    b.method({"createcommand", "(self, func)", cmd_createcommand});
    b.method({"exists", "(self)", cmd_exists});
    b.method({"is_command", "(self)", cmd_is_command});
    b.method({"is_proc", "(self)", cmd_is_proc});
    b.method({"rename", "(self, new_name)", cmd_rename});
    b.method({"delete", "(self)", cmd_delete});
    b.method({"origin", "(self)", cmd_origin});
    b.method({"proc_body", "(self)", cmd_proc_body});
    b.method({"proc_args", "(self)", cmd_proc_args});
    b.method({"proc_arg_default", "(self, arg_name)", cmd_proc_arg_default});
    b.method({"build_tclcmd", "(self, *args, **kwargs)", cmd_build_tclcmd});
    b.staticmethod({"kwargs_to_dashed_args", "(**kwargs)", cmd_kwargs_to_dashed_args});
    b.method({"call", "(self, *args, **kwargs)", cmd_call});
    b.method({"__call__", "(self, *args, **kwargs)", cmd_dunder_call});
    b.method({"eval", "(self, *args, **kwargs)", cmd_eval});
    b.method({"absolute", "(self)", cmd_absolute});
    b.method({"make_absolute", "(self)", cmd_make_absolute});
    b.method({"__repr__", "(self)", cmd_repr});
    b.method({"__str__", "(self)", cmd_str});
    b.method({"__tclobj__", "(self)", cmd_tclobj});
    b.method({"__get__", "(self, instance, owner=None)", cmd_get});
    Ref cls = b.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    m.add("TclCommand", cls.get());
    record(state.TclCommand, std::move(cls));
  }
  {
    glue::ClassBody b("TempTclCommand", kModule);
    std::string sig = std::string("(self, func=None, cmd_name=") + kTemplate + ", **kwargs)";
    b.method({"__init__", sig.c_str(), tempcmd_init});
    b.method({"__enter__", "(self)", tempcmd_enter});
    b.method({"__exit__", "(self, *exc_info)", tempcmd_exit});
    b.method({"__del__", "(self)", tempcmd_del});
    Ref cls = b.build({state.TclCommand.cls});
    m.add("TempTclCommand", cls.get());
    record(state.TempTclCommand, std::move(cls));
  }
}

}  // namespace trivex::namespace_module
