// Module trivex.tcl.j: the attribute-style command builder.
//
// `interp.j.ns_a.ns_b.proc("x", opt="v")` runs the Tcl command
// `ns_a::ns_b::proc x -opt v`.  `J` hangs off the interpreter; every
// attribute read on it makes a new `J_Code`, whose own attribute reads append
// to its name list and return the same object, and whose call builds the word
// list and hands it to tkinter.
//
// Both are ordinary Python classes (their state is the instance __dict__,
// their methods are glue functions), so subclassing, inspect and help() see
// what they would see for classes written in Python.
//
// The call is the hottest path of the package: every command a test script
// sends through `interp.j` runs it, so it is kept to one pass.  The words go
// into one tuple (command word, quotify() of each positional argument, then
// "-name" and quotify(value) per keyword, in call order) that is handed to
// the bound `tk.call` as its argument tuple, so tkinter's METH_VARARGS entry
// takes it as it is; the command word goes as the Tcl object kept for that
// name (bridge/tclcmd.hpp), so that Tcl looks the command up once.  History
// receives a list copy of that tuple, with the word as text, recorded
// before the call runs.  The interpreter is reached once through the weak
// proxy per call, not once per attribute.
//
// The chain `interp.j.set(...)` is entered through slots of these exact
// classes: J's and J_Code's attribute lookups make or extend the pending
// command at once when ordinary lookup would miss the name anyway (their
// dicts as last seen, the name not defined by the class), and J_Code's own
// instances are called through a vectorcall entry that reads the arguments
// from the caller's stack.  A subclass, or an assignment to
// `J_Code.__getattr__` or `__call__`, gets the slots `type()` installs
// (which look the methods up and call them), so it behaves as in Python.
// The work itself is done once, here, whichever way it is entered.
//
// The result goes through the interpreter's cast_any.  While that and the
// readers it consults are the interpreter class's own (the glue's guard
// over the snapshot the interpreter module took of its class), the results
// whose answer needs no reader (numbers tkinter already made, plain words,
// plain decimals) are answered here without the call.
//
// Half-made objects (copy, pickle and friends create instances without
// calling __init__ and then probe them with getattr) must not recurse: a
// `__getattr__` asked for the builder's own attributes means they are
// missing, and raises AttributeError.  Python's special names (`__x__`) are
// never Tcl command names to this builder either; probing for them raises
// AttributeError instead of queueing a command.
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
// arguments; work shared between entries lives in plain-named helpers.
#include <cstring>

#include "from_tcl.hpp"
#include "to_tcl.hpp"
#include "bridge/bridge.hpp"

namespace {

using glue::Ref;
namespace cv = trivex::convert;

constexpr const char* kModule = GLUE_MODULE_NAME("j");

// Everything the module keeps between calls; each reference is owned.
struct State {
  glue::Owned TclError;        // tkinter.TclError
  glue::Owned proxy;           // weakref.proxy
  glue::Owned JCode;           // class J_Code
  PyTypeObject* JType = nullptr;  // class J (held by the module)
  glue::Pristine JCodeOrigin;  // J_Code as this module made it
  glue::Owned empty_tuple;
  glue::Owned spare;           // the last pending command made, see reuse_spare
};
State state;

// ---------------------------------------------------------------------------
// Attribute helpers

// The attribute as normal lookup finds it (instance __dict__, class
// descriptors), without falling back to __getattr__: empty when missing.
Ref own_attr(PyObject* self, PyObject* name) {
  PyObject* r = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
  if (!r && PyErr_Occurred()) throw glue::PythonError{};
  return Ref::steal(r);
}

// The builder's own state: straight from the instance __dict__, else as
// normal lookup finds it.
Ref state_attr(PyObject* self, PyObject* name) {
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict && *dict) {
    PyObject* r = PyDict_GetItemWithError(*dict, name);
    if (r) return Ref::borrow(r);
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  return own_attr(self, name);
}

[[noreturn]] void no_attribute(PyObject* self, PyObject* name) {
  Ref msg = glue::check(PyUnicode_FromFormat("'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name));
  Ref exc = glue::call_kw(PyExc_AttributeError, {msg.get(), name, self}, GLUE_KWNAMES("name", "obj"));
  glue::raise_instance(exc.get());
}

Ref require_attr(PyObject* self, PyObject* name) {
  Ref r = state_attr(self, name);
  if (!r) no_attribute(self, name);
  return r;
}

// require_attr, remembered per call site the way the glue's attribute
// caches remember: what was read from an instance dict stays right while
// the object's type and dict are the very ones seen, unmodified since.
Ref require_attr(PyObject* self, PyObject* name, glue::SiteCache& cache) {
  PyObject** slot = _PyObject_GetDictPtr(self);
  PyObject* dict = slot ? *slot : nullptr;
  if (dict && cache.hit(Py_TYPE(self), dict)) return Ref::borrow(cache.value);
  Ref r = require_attr(self, name);
  if (dict && PyDict_CheckExact(dict) && PyDict_GetItemWithError(dict, name) == r.get())
    cache.store(Py_TYPE(self), dict, r.get());
  return r;
}

#define STATE_ATTR(self, name)                              \
  ([](PyObject* self_) -> Ref {                             \
    static glue::SiteCache cache_;                          \
    return require_attr(self_, GLUE_STR(name), cache_);     \
  }(self))

// Python's own special names: "__x__".
bool is_special_name(PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  if (n < 5) return false;
  return PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_';
}

bool same_name(PyObject* name, PyObject* interned) {
  if (name == interned) return true;
  if (!PyUnicode_Check(name) || PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(interned) ||
      PyUnicode_READ_CHAR(name, 0) != PyUnicode_READ_CHAR(interned, 0))
    return false;
  if (PyUnicode_KIND(name) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(interned) == PyUnicode_1BYTE_KIND)
    return memcmp(PyUnicode_1BYTE_DATA(name), PyUnicode_1BYTE_DATA(interned),
                  static_cast<size_t>(PyUnicode_GET_LENGTH(name))) == 0;
  return PyUnicode_Compare(name, interned) == 0;
}

// ---------------------------------------------------------------------------
// The command

// The last pending command made or refilled (see reuse_spare), remembered
// as its dict was left: the dict, its version tag and the two values in it,
// all borrowed.  While a dict is that very one, untouched since (version
// tags are never reused), the two values are read from here.
struct Spare {
  PyObject* dict = nullptr;
  uint64_t tag = 0;
  PyObject* cmd = nullptr;
  PyObject* tcl = nullptr;
};
Spare spare;

using glue::dict_tag;

bool as_left(PyObject* self) {
  PyObject* dict = glue::instance_dict(self);
  return dict && dict == spare.dict && dict_tag(dict) == spare.tag;
}

// self.cmd and self.tcl as STATE_ATTR reads them.
Ref names_of(PyObject* self) { return as_left(self) ? Ref::borrow(spare.cmd) : STATE_ATTR(self, "cmd"); }
Ref tcl_of(PyObject* self) { return as_left(self) ? Ref::borrow(spare.tcl) : STATE_ATTR(self, "tcl"); }

// The words "::".join() made of lists of names, remembered by the very
// name objects joined (held, so that no other string takes their
// addresses): a program names the same commands again and again, with the
// names its code spells, which Python interns.
struct JoinedName {
  static constexpr Py_ssize_t kParts = 8;
  Py_ssize_t size = 0;
  glue::Owned parts[kParts];
  glue::Owned word;
};

JoinedName& joined_name(PyObject* names) {
  constexpr size_t kEntries = 16;
  static JoinedName joined[kEntries];
  uintptr_t h = static_cast<uintptr_t>(PyList_GET_SIZE(names));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) h = h * 31 + (reinterpret_cast<uintptr_t>(PyList_GET_ITEM(names, i)) >> 4);
  return joined[h % kEntries];
}

// "::".join(self.cmd)
Ref command_word(PyObject* self) {
  Ref cmd = names_of(self);
  PyObject* names = cmd.get();
  if (!PyList_CheckExact(names)) return glue::check(PyUnicode_Join(GLUE_STR("::"), names));
  Py_ssize_t n = PyList_GET_SIZE(names);
  if (n == 1 && PyUnicode_CheckExact(PyList_GET_ITEM(names, 0))) return Ref::borrow(PyList_GET_ITEM(names, 0));
  if (n < 2 || n > JoinedName::kParts) return glue::check(PyUnicode_Join(GLUE_STR("::"), names));
  JoinedName& entry = joined_name(names);
  bool same = entry.size == n;
  for (Py_ssize_t i = 0; same && i < n; ++i) same = entry.parts[i] == PyList_GET_ITEM(names, i);
  if (same) return Ref::borrow(entry.word);
  Ref word = glue::check(PyUnicode_Join(GLUE_STR("::"), names));
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(names, i))) return word;
  for (Py_ssize_t i = 0; i < JoinedName::kParts; ++i)
    entry.parts[i] = i < n ? Ref::borrow(PyList_GET_ITEM(names, i)) : Ref();
  entry.size = n;
  entry.word = word;
  return word;
}

// "-" + name, remembered for the option names a program keeps using.
Ref option_word(PyObject* name) {
  static PyObject* cache = glue::new_dict().release();
  if (PyUnicode_CheckExact(name)) {
    PyObject* hit = PyDict_GetItemWithError(cache, name);
    if (hit) return Ref::borrow(hit);
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  Ref word = glue::check(PyUnicode_Concat(GLUE_STR("-"), name));
  if (PyUnicode_CheckExact(name) && PyDict_GET_SIZE(cache) < 4096) glue::dict_set(cache, name, word.get());
  return word;
}

// quotify(value) for a positional word.  Machine-size ints, the commonest
// words that are not text, are written without a round through str(), and
// the small ones (counts, indexes, flags) are made once.
Ref word_text(PyObject* value) {
  if (!PyLong_CheckExact(value)) return cv::quotify(value);
  constexpr long kKept = 1024;
  static glue::Owned kept[kKept];
  int overflow = 0;
  long small = PyLong_AsLongAndOverflow(value, &overflow);
  bool keep = !overflow && small >= 0 && small < kKept;
  if (keep && kept[small]) return Ref::borrow(kept[small]);
  cv::ScalarText text;
  if (!cv::scalar_text(value, text)) return cv::quotify(value);
  Ref word = glue::check(PyUnicode_FromStringAndSize(text.text, static_cast<Py_ssize_t>(text.size)));
  if (keep) kept[small] = word;
  return word;
}

Ref tcl_text(PyObject* value);

// A Tcl list result: each element as its Tcl text, quoted as list elements.
Ref list_text(PyObject* tuple) {
  glue::RecursionGuard guard(" while converting a Tcl result to text");
  Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  Ref items = glue::new_list(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, i);
    Ref text = PyTuple_CheckExact(item) || PyBytes_Check(item) ? tcl_text(item) : Ref::borrow(item);
    PyList_SET_ITEM(items.get(), i, text.release());
  }
  return cv::quote_list(items.get());
}

// The Tcl text of a result as tkinter hands it over: a tuple is a Tcl list,
// bytes are a byte array whose text has one character per byte.
Ref tcl_text(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  if (PyTuple_CheckExact(value)) return list_text(value);
  if (PyBytes_Check(value))
    return glue::check(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), nullptr));
  return glue::str(value);
}

using trivex::tcl::call_tk;
using trivex::tcl::tkapp_call;

// interp.cast_any(value), whose answer is plain when tkinter made a number
// (cast_any hands those back as they are) or the text is a plain word or
// decimal (which its readers, Tcl's, answer without doubt).  `checked` is
// what check_tk() returned for the application object the value came from,
// through which this thread has just called; it is checked again as
// cast_any checks it: the command may have destroyed the interpreter.
Ref cast_any(PyObject* interp, const trivex::tcl::TkappHead* checked, PyObject* value) {
  glue::Guard* own = GLUE_RELIES_ON_PUBLISHED(GLUE_MODULE_NAME("interpreter") ".Interpreter", "cast_any", "cast_int",
                                              "cast_double", "cast_boolean", "getint", "getdouble");
  if (own && own->holds(interp)) {
    PyTypeObject* t = Py_TYPE(value);
    if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return Ref::borrow(value);
    if (t == &PyUnicode_Type) {
      if (Ref plain = trivex::from_tcl::plain_cast(value)) {
        trivex::tcl::check_tk_again(checked);
        return plain;
      }
    }
  }
  return GLUE_CALL(interp, "cast_any", value);
}

// history.append(record)
void append_record(PyObject* history, PyObject* record) {
  if (PyList_CheckExact(history)) return glue::list_append(history, record);
  GLUE_CALL(history, "append", record);
}

// The rest of a call, from its raw words on: `words` (which nothing else
// holds) has the command word, the `nargs` positional values, then each
// option's name and value in call order; `cast` is the value of cast_.
Ref run(PyObject* self, Ref words, Py_ssize_t nargs, const Ref& cast);

// A call as vectorcall hands it over: the values on the caller's stack,
// positional ones first, then one per name in `kwnames`.  The flag cast_ is
// taken out and never reaches Tcl.
Ref run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Py_ssize_t flag_at = -1;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    if (same_name(PyTuple_GET_ITEM(kwnames, i), GLUE_STR("cast_"))) flag_at = i;
  Ref cast_ref = Ref::borrow(flag_at < 0 ? Py_True : args[nargs + flag_at]);

  Ref word = command_word(self);
  Ref words = glue::check(PyTuple_New(1 + nargs + 2 * (nkw - (flag_at < 0 ? 0 : 1))));
  PyTuple_SET_ITEM(words.get(), 0, word.release());
  Py_ssize_t at = 1;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(words.get(), at++, Py_NewRef(args[i]));
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (i == flag_at) continue;
    PyTuple_SET_ITEM(words.get(), at++, Py_NewRef(PyTuple_GET_ITEM(kwnames, i)));
    PyTuple_SET_ITEM(words.get(), at++, Py_NewRef(args[nargs + i]));
  }
  return run(self, std::move(words), nargs, cast_ref);
}

// A call as tp_call hands it over, positional values as a tuple and
// keywords as a dict, laid out as vectorcall passes them.  The values are
// held while the words are made: a conversion hook may touch the dict.
Ref run(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (!nkw) return run(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
  Ref stack = glue::check(PyTuple_New(nargs + nkw));
  Ref kwnames = glue::check(PyTuple_New(nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
    PyTuple_SET_ITEM(stack.get(), nargs + i++, Py_NewRef(value));
  }
  return run(self, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get());
}

Ref run(PyObject* self, Ref words, Py_ssize_t nargs, const Ref& cast_ref) {
  Py_ssize_t at = PyTuple_GET_SIZE(words.get());
  // Words that are all exact text without NUL (what quotify makes unless a
  // hook says otherwise) need no look before they go to tkinter.
  bool all_text = true;
  for (Py_ssize_t i = 1; i < at; ++i) {
    bool option = i > nargs && (i - nargs) % 2 == 1;
    PyObject* raw = PyTuple_GET_ITEM(words.get(), i);
    Ref converted = option ? option_word(raw) : word_text(raw);
    all_text = all_text && PyUnicode_CheckExact(converted.get()) && !trivex::tkvalue::holds_nul(converted.get());
    if (converted.get() != raw) {
      Ref replaced = Ref::steal(raw);  // the tuple's reference to it
      PyTuple_SET_ITEM(words.get(), i, converted.release());
    }
  }

  Ref tcl = tcl_of(self);
  Ref interp = glue::referent(tcl.get());
  Ref history = GLUE_MEMBER(interp.get(), "history");
  Py_ssize_t nwords = PyTuple_GET_SIZE(words.get());
  Ref record = glue::new_list(nwords);
  bool atomic = true;
  for (Py_ssize_t i = 0; i < nwords; ++i) {
    PyObject* w = PyTuple_GET_ITEM(words.get(), i);
    atomic = atomic && !PyObject_IS_GC(w);
    PyList_SET_ITEM(record.get(), i, Py_NewRef(w));
  }
  // A record of words that hold no references (text, Tcl objects) can be
  // part of no cycle, so the collector is not asked to walk it, as it is not
  // asked to walk a dict of such values: the history keeps thousands, which
  // the bare call would not have the collector visit again and again.
  if (atomic) PyObject_GC_UnTrack(record.get());
  append_record(history.get(), record.get());

  Ref tk = GLUE_MEMBER(interp.get(), "tk");
  trivex::tcl::TkappHead* head = trivex::tcl::check_tk(tk.get());
  if (!all_text) words = trivex::tkvalue::words(words.get());
  trivex::tcl::keep_command_word(head, words.get());
  PyObject* result = call_tk(tk.get(), words.get());
  if (!result) {
    if (!PyErr_ExceptionMatches(state.TclError)) throw glue::PythonError{};
    glue::CaughtError caught;
    trivex::tcl::Failure failure = trivex::tcl::read_failure(tk.get());
    // errorInfo as the options hold it: ::errorInfo has that value, and an
    // interpreter a cancellation unwound cannot be asked again.
    Ref exc = trivex::tcl::failure_error(tk.get(), failure);
    if (!exc) {
      Ref vars = GLUE_MEMBER(interp.get(), "vars");
      Ref info = glue::check(PyObject_GetItem(vars.get(), GLUE_STR("::errorInfo")));
      exc = glue::call(state.TclError, info.get());
    }
    trivex::tcl::raise_failure(std::move(exc), caught.value());
  }
  Ref value = Ref::steal(result);
  // A callable is a conversion of its own, never a flag: classes such as
  // int and str are true as flags too.
  if (cast_ref.get() != Py_True && PyCallable_Check(cast_ref.get())) {
    Ref text = tcl_text(value.get());
    return glue::call(cast_ref.get(), text.get());
  }
  if (glue::truthy(cast_ref.get())) return cast_any(interp.get(), head, value.get());
  return tcl_text(value.get());
}

// A new J_Code(name, tcl=tcl).  While J_Code's initialiser is the one made
// here, the instance is filled in directly instead of through a class call.
//
// Most pending commands live for one statement (`interp.j.set(...)`), so
// the last one made is kept and, once nothing but this module refers to it
// (nor to its name list, nor through a weak reference) and it holds nothing
// but its two attributes, it is refilled instead of a new one being made.
// Only builders holding a weak proxy take part, so the kept object never
// keeps an interpreter alive.
//
// The kept object's dict is remembered as it was left (see Spare).
Ref reuse_spare(PyObject* name, PyObject* tcl) {
  PyObject* code = state.spare;
  if (!code || Py_REFCNT(code) != 1 || *PyObject_GET_WEAKREFS_LISTPTR(code) || !PyWeakref_CheckProxy(tcl))
    return Ref();
  PyObject** slot = _PyObject_GetDictPtr(code);
  PyObject* dict = slot ? *slot : nullptr;
  if (!dict || !PyDict_CheckExact(dict) || Py_REFCNT(dict) != 1) return Ref();
  PyObject* cmd = spare.cmd;
  PyObject* old_tcl = spare.tcl;
  if (dict != spare.dict || dict_tag(dict) != spare.tag) {
    if (PyDict_GET_SIZE(dict) != 2) return Ref();
    cmd = PyDict_GetItemWithError(dict, GLUE_STR("cmd"));
    old_tcl = cmd ? PyDict_GetItemWithError(dict, GLUE_STR("tcl")) : nullptr;
    if (!old_tcl) {
      if (PyErr_Occurred()) throw glue::PythonError{};
      return Ref();
    }
  }
  if (!PyList_CheckExact(cmd) || Py_REFCNT(cmd) != 1) return Ref();
  Ref keep = Ref::borrow(code);
  if (old_tcl != tcl) glue::dict_set(dict, GLUE_STR("tcl"), tcl);
  spare = {dict, dict_tag(dict), cmd, tcl};
  if (PyList_GET_SIZE(cmd) == 1) {
    glue::check_status(PyList_SetItem(cmd, 0, Py_NewRef(name)));
  } else {
    glue::check_status(PyList_SetSlice(cmd, 0, PyList_GET_SIZE(cmd), nullptr));
    glue::list_append(cmd, name);
  }
  return keep;
}

Ref new_code(PyObject* name, PyObject* tcl) {
  auto* type = reinterpret_cast<PyTypeObject*>(state.JCode.get());
  if (GLUE_RELIES_ON(state.JCodeOrigin, "__init__").class_holds(state.JCode) && type->tp_new == PyBaseObject_Type.tp_new) {
    if (Ref code = reuse_spare(name, tcl)) return code;
    Ref code = glue::check(type->tp_new(type, state.empty_tuple, nullptr));
    glue::setattr(code.get(), GLUE_STR("tcl"), tcl);
    Ref cmd = glue::new_list(1);
    PyList_SET_ITEM(cmd.get(), 0, Py_NewRef(name));
    glue::setattr(code.get(), GLUE_STR("cmd"), cmd.get());
    if (PyWeakref_CheckProxy(tcl)) {
      state.spare = code;
      if (PyObject* dict = glue::instance_dict(code.get())) spare = {dict, dict_tag(dict), cmd.get(), tcl};
    }
    return code;
  }
  return glue::call_kw(state.JCode, {name, tcl}, GLUE_KWNAMES("tcl"));
}

// ---------------------------------------------------------------------------
// class J

GLUE_BODY(j_init, self, tcl) {
  Ref proxy = glue::call(state.proxy, tcl);
  glue::setattr(self, GLUE_STR("tcl"), proxy.get());
  return Ref::borrow(Py_None);
}

// A builder's dict as last seen holding nothing but its interpreter
// (borrowed; valid while the dict is that very one, unmodified since).
struct Seen {
  PyObject* dict = nullptr;
  uint64_t tag = 0;
  PyObject* tcl = nullptr;
};
Seen seen;

// Whether the __getattr__ of a builder refuses `name`: Python's special
// names, and the builder's own attributes, `tcl` and (of a pending command,
// `pending`) `cmd`, are never command names.
[[gnu::always_inline]] inline bool refused_name(PyObject* name, bool pending) {
  return same_name(name, GLUE_STR("tcl")) || (pending && same_name(name, GLUE_STR("cmd"))) || is_special_name(name);
}

// Whether `name` is a command name that ordinary lookup on the builder
// `self`, its dict as last seen, would miss and leave to __getattr__: text
// that the class does not define (checked through the type's own lookup
// cache) and that __getattr__ takes.
[[gnu::always_inline]] inline bool missed_command_name(PyObject* self, PyObject* name, bool pending) {
  return PyUnicode_CheckExact(name) && !refused_name(name, pending) && !_PyType_Lookup(Py_TYPE(self), name);
}

GLUE_BODY(j_getattr, self, name) {
  if (refused_name(name, false)) no_attribute(self, name);
  Ref tcl = STATE_ATTR(self, "tcl");
  PyObject* dict = glue::instance_dict(self);
  if (Py_TYPE(self) == state.JType && dict && PyDict_CheckExact(dict) && PyDict_GET_SIZE(dict) == 1)
    seen = {dict, dict_tag(dict), tcl.get()};
  return new_code(name, tcl.get());
}

// J's shortcut.  While a builder's dict holds only its interpreter, as
// seen above, the pending command for a command name is made at once.
PyObject* j_shortcut(PyObject* self, PyObject* name) {
  PyObject* dict = glue::instance_dict(self);
  if (!dict || dict != seen.dict || dict_tag(dict) != seen.tag || !missed_command_name(self, name, false))
    return nullptr;
  return glue::boundary([&] { return new_code(name, seen.tcl); });
}

GLUE_BODY(j_call, self, args, kwargs) {
  (void)self, (void)args, (void)kwargs;
  glue::raise(state.TclError, "invalid command name \"\"");
}

// ---------------------------------------------------------------------------
// class J_Code

GLUE_BODY(code_init, self, cmd, tcl) {
  glue::setattr(self, GLUE_STR("tcl"), tcl);
  Ref names = glue::check(PySequence_List(cmd));
  glue::setattr(self, GLUE_STR("cmd"), names.get());
  return Ref::borrow(Py_None);
}

GLUE_BODY(code_getattr, self, name) {
  if (refused_name(name, true)) no_attribute(self, name);
  Ref cmd = names_of(self);
  if (PyList_CheckExact(cmd.get()))
    glue::list_append(cmd.get(), name);
  else
    glue::call_method(cmd.get(), GLUE_STR("append"), name);
  return Ref::borrow(self);
}

// J_Code's shortcut.  While a pending command's dict is as it was left
// (holding nothing but its names and interpreter, see Spare), a command
// name is appended at once, as __getattr__ would append it.
PyObject* code_shortcut(PyObject* self, PyObject* name) {
  if (!as_left(self) || !PyList_CheckExact(spare.cmd) || !missed_command_name(self, name, true)) return nullptr;
  if (PyList_Append(spare.cmd, name) < 0) return nullptr;
  return Py_NewRef(self);
}

GLUE_BODY(code_call, self, args, kwargs) { return run(self, args, kwargs); }

// J_Code's call entry (see glue::ClassBody::call_entry): a call with
// options builds no keyword dict.
PyObject* code_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return glue::boundary([&] { return run(self, args, PyVectorcall_NARGS(nargsf), kwnames); });
}

GLUE_BODY(code_str, self) {
  Ref word = command_word(self);
  return glue::check(PyUnicode_FromFormat("<tcl.J magic, referring Tcl code ::%U>", word.get()));
}

GLUE_BODY(code_repr, self) { return glue::call_method(self, GLUE_STR("__str__")); }

// ---------------------------------------------------------------------------
// Help texts

const char* const kJDoc =
    "Provider of quick call methods for Tcl interpreters.\n"
    "\n"
    "Every attribute read on a J starts a pending Tcl command (a J_Code);\n"
    "further attribute reads name the namespaces and the command, and the\n"
    "call runs it: interp.j.ns_a.ns_b.procname(\"x\", opt=\"v\") runs the Tcl\n"
    "command ns_a::ns_b::procname with the words x, -opt and v.\n"
    "\n"
    "Notes:\n"
    "    - Positional arguments keep their order.\n"
    "    - Keyword arguments become dashed arguments (-name value), placed\n"
    "      after all positional arguments.\n"
    "    - The keyword cast_ (default True) says what becomes of the result:\n"
    "      a true value casts it to a Python value, a false one keeps its\n"
    "      Tcl text, a callable is applied to that text.  It is never passed\n"
    "      to Tcl.\n"
    "    - Only letters, digits and \"_\" are supported in namespace and\n"
    "      procedure names.\n"
    "\n"
    "Attributes:\n"
    "    tcl: a weak proxy to the interpreter; a J never keeps its\n"
    "        interpreter alive.\n"
    "\n"
    "Examples:\n"
    "    >>> interp.j.expr(\"1+1\")\n"
    "    2\n"
    "    >>> interp.j.expr(\"1+1\", cast_=False)\n"
    "    '2'\n"
    "    >>> interp.j.set(\"pin\", \"0123\", cast_=str)\n"
    "    '0123'";

const char* const kJInitDoc =
    "Make the builder of an interpreter.\n"
    "\n"
    "Arguments:\n"
    "    tcl: the interpreter; it is held through weakref.proxy().";

const char* const kJGetattrDoc =
    "Start a pending Tcl command named `name`.\n"
    "\n"
    "Returns:\n"
    "    A new J_Code(name, tcl=self.tcl).\n"
    "\n"
    "Raises:\n"
    "    AttributeError: for Python's special names (__x__), and when the\n"
    "        builder has no interpreter (made without __init__).";

const char* const kJCallDoc =
    "Calling the builder itself names no command.\n"
    "\n"
    "Raises:\n"
    "    TclError: always, \"invalid command name \\\"\\\"\"; the arguments are\n"
    "        ignored and nothing is recorded in the history.";

const char* const kCodeDoc =
    "J_Code class\n"
    "\n"
    "Worker class that implements J logic\n"
    "\n"
    "A pending Tcl command: attribute reads append to its name list and\n"
    "return the same object; calling it runs the command.\n"
    "\n"
    "Attributes:\n"
    "    tcl: the interpreter (the weak proxy J hands over).\n"
    "    cmd: the list of names collected so far; joined with \"::\" they\n"
    "        give the command word.";

const char* const kCodeInitDoc =
    "Make a pending command.\n"
    "\n"
    "Arguments:\n"
    "    *cmd: the names collected so far.\n"
    "    tcl: the interpreter (required, keyword only).";

const char* const kCodeGetattrDoc =
    "Append `name` to the command's names.\n"
    "\n"
    "Returns:\n"
    "    self.\n"
    "\n"
    "Raises:\n"
    "    AttributeError: for Python's special names (__x__), and for cmd and\n"
    "        tcl when they are missing (an object made without __init__).";

const char* const kCodeCallDoc =
    "Run the command and return its result.\n"
    "\n"
    "The words are the names joined with \"::\", then quotify() of each\n"
    "positional argument, then \"-name\" and quotify(value) for each keyword\n"
    "argument in the order given.  The word list is appended to the\n"
    "interpreter's history before the command runs; each word reaches Tcl as\n"
    "one word, with no substitution.\n"
    "\n"
    "Arguments:\n"
    "    *args: positional words.\n"
    "    cast_: keyword.  A callable (str, int, interp.cast_boolean, any\n"
    "        function of one argument) is called with the result's Tcl text\n"
    "        and its return value is returned.  Anything else is a flag:\n"
    "        when true (the default) the result goes through the\n"
    "        interpreter's cast_any(), else its Tcl text is returned.\n"
    "    **kwargs: options, passed as -name value.\n"
    "\n"
    "Returns:\n"
    "    The cast result, what the cast_ callable returned, or the result's\n"
    "    Tcl text (a str).\n"
    "\n"
    "Raises:\n"
    "    TclError: when Tcl reports an error; its single argument is Tcl's\n"
    "        ::errorInfo, and the original error is not chained.  Its\n"
    "        attributes result, errorcode, errorinfo, errorline, errorstack,\n"
    "        code and level hold Tcl's return options of the failure.\n"
    "    ReferenceError: when the interpreter no longer exists.\n"
    "\n"
    "Examples:\n"
    "    >>> interp.j.set(\"myVar\", \"value\")\n"
    "    'value'\n"
    "    >>> interp.j.ns_a.ns_b.procname(\"arguments\", arg_a=\"value\")\n"
    "    ... # runs: ns_a::ns_b::procname arguments -arg_a value";

const char* const kCodeStrDoc = "Return \"<tcl.J magic, referring Tcl code ::ns::proc>\" for the names collected.";
const char* const kCodeReprDoc = "Return self.__str__().";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "j", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_j() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    PyObject* weakref = m.import_module("weakref", "weakref");
    state.proxy = glue::getattr(weakref, "proxy");
    state.TclError = Ref::borrow(m.import_from("tkinter", "TclError"));
    m.import_from(GLUE_MODULE_NAME("quotify"), "quotify");
    state.empty_tuple = glue::check(PyTuple_New(0));
    cv::types();
    tkapp_call();

    glue::ClassBody j("J", kModule);
    j.method({"__init__", "(self, tcl)", j_init, kJInitDoc});
    j.method({"__getattr__", "(self, name)", j_getattr, kJGetattrDoc});
    j.method({"__call__", "(self, /, *args, **kwargs)", j_call, kJCallDoc});
    j.attribute_shortcut<j_shortcut>();
    Ref j_class = j.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, kJDoc);
    m.add("J", j_class.get());
    state.JType = reinterpret_cast<PyTypeObject*>(j_class.get());

    glue::ClassBody code("J_Code", kModule);
    code.method({"__init__", "(self, *cmd, tcl)", code_init, kCodeInitDoc});
    code.method({"__getattr__", "(self, name)", code_getattr, kCodeGetattrDoc});
    code.method({"__call__", "(self, /, *args, **kwargs)", code_call, kCodeCallDoc});
    code.method({"__str__", "(self)", code_str, kCodeStrDoc});
    code.method({"__repr__", "(self)", code_repr, kCodeReprDoc});
    code.attribute_shortcut<code_shortcut>();
    code.call_entry<code_vectorcall>();
    Ref code_class = code.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, kCodeDoc);
    state.JCode = code_class;
    state.JCodeOrigin.take(state.JCode);
    m.add("J_Code", code_class.get());
  });
}
