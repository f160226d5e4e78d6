// Module trivex.tcl.interpreter: reading values as Python types (cast_*),
// and the guesser behind every typecast result, cast_any.
#include "state.hpp"

namespace trivex::interpreter_module {
namespace {

Ref map_tuple(PyObject* items, PyObject* item_cast) {
  Ref out = glue::new_list();
  cv::for_each_item(items, [&](PyObject* item) {
    Ref v = glue::call(item_cast, item);
    glue::list_append(out.get(), v.get());
  });
  return glue::check(PyList_AsTuple(out.get()));
}

}  // namespace

Ref cast_list(PyObject* value, PyObject* item_cast) {
  PyObject* r = PyObject_Vectorcall(state.GetListFromAny, &value, 1, nullptr);
  if (!r) {
    glue::CaughtError e;
    if (!e.matches(state.TclError)) e.reraise();
    glue::raise_from(new_exception(PyExc_ValueError, e.value()), e.value(), e.value());
  }
  Ref result = Ref::steal(r);
  if (item_cast != Py_None) result = map_tuple(result.get(), item_cast);
  return result;
}

namespace {

GLUE_BODY(interpreter_cast_list, value, item_cast) { return cast_list(value, item_cast); }

// self.getint(value) / self.getdouble(value): tkinter's readers, with Tcl's
// error turned into ValueError as they do.
Ref tk_reader(PyObject* self, PyObject* method, bool own, PyObject* tk_method, PyObject* value) {
  if (!own) return glue::call_method(self, method, value);
  Ref tk = tk_of(self);
  PyObject* argv[] = {tk.get(), value};
  PyObject* r = PyObject_VectorcallMethod(tk_method, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (r) return Ref::steal(r);
  glue::CaughtError e;
  if (!e.matches(state.TclError)) e.reraise();
  Ref text = glue::str(e.value());
  raise_during(new_exception(PyExc_ValueError, text.get()), e.value());
}

// cast_int / cast_double: the reader, retried once with the value's Tcl text
// when the reader does not take its type.
Ref number_cast(PyObject* self, PyObject* value, bool integer) {
  PyObject* method = integer ? GLUE_STR("getint") : GLUE_STR("getdouble");
  bool own = integer ? OURS(self, "getint") : OURS(self, "getdouble");
  try {
    return tk_reader(self, method, own, method, value);
  } catch (const glue::PythonError&) {
    glue::CaughtError e;
    if (!e.matches(PyExc_TypeError)) e.reraise();
  }
  Ref text = cv::quotify(value);
  own = integer ? OURS(self, "getint") : OURS(self, "getdouble");
  return tk_reader(self, method, own, method, text.get());
}

GLUE_BODY(interpreter_cast_int, self, value) { return number_cast(self, value, true); }
GLUE_BODY(interpreter_cast_double, self, value) { return number_cast(self, value, false); }

using tcl::tkapp_interp;

void reset_result(PyObject* self) {
  Ref tk = tk_of(self);
  tcl::api().ResetResult(tkapp_interp(tk.get()));
}

GLUE_BODY(interpreter_cast_boolean, self, value) {
  reset_result(self);
  Ref tk = tk_of(self);
  try {
    try {
      Ref r = glue::call_method(tk.get(), GLUE_STR("getboolean"), value);
      return Ref::borrow(glue::truthy(r.get()) ? Py_True : Py_False);
    } catch (const glue::PythonError&) {
      glue::CaughtError e;
      if (!e.matches(PyExc_TypeError)) e.reraise();
      Ref text = cv::quotify(value);
      Ref r = glue::call_method(tk.get(), GLUE_STR("getboolean"), text.get());
      return Ref::borrow(glue::truthy(r.get()) ? Py_True : Py_False);
    }
  } catch (const glue::PythonError&) {
    glue::CaughtError exc;
    if (!exc.matches(state.TclError)) exc.reraise();
    for (PyObject* method : {GLUE_STR("cast_int"), GLUE_STR("cast_double")}) {
      Ref n = glue::unless_raises({PyExc_ValueError}, [&] { return glue::call_method(self, method, value); });
      if (!n) continue;
      Ref zero = glue::check(PyLong_FromLong(0));
      int ne = glue::check_status(PyObject_RichCompareBool(n.get(), zero.get(), Py_NE));
      return Ref::borrow(ne ? Py_True : Py_False);
    }
    glue::raise_from(new_exception(PyExc_ValueError, exc.value()), exc.value(), exc.value());
  }
}

GLUE_BODY(interpreter_cast_array, value, item_cast) {
  Ref result = glue::call_method(state.Array, GLUE_STR("from_tcl"), value);
  if (item_cast != Py_None) {
    Ref items = glue::call_method(result.get(), GLUE_STR("items"));
    Ref snapshot = glue::check(PySequence_List(items.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(snapshot.get(), i);
      Ref v = glue::call(item_cast, PyTuple_GET_ITEM(pair, 1));
      glue::check_status(PyObject_SetItem(result.get(), PyTuple_GET_ITEM(pair, 0), v.get()));
    }
  }
  return result;
}

}  // namespace

Ref cast_keyed_list(PyObject* value, PyObject* item_cast) {
  Ref result = glue::call_method(state.NestMap, GLUE_STR("from_tcl"), value);
  if (item_cast != Py_None) {
    Ref items = glue::call_method(result.get(), GLUE_STR("all_items"));
    Ref it = glue::check(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref pair = Ref::steal(raw);
      Ref key = glue::check(PySequence_GetItem(pair.get(), 0));
      Ref item = glue::check(PySequence_GetItem(pair.get(), 1));
      Ref v = glue::call(item_cast, item.get());
      glue::check_status(PyObject_SetItem(result.get(), key.get(), v.get()));
    }
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  return result;
}

namespace {

GLUE_BODY(interpreter_cast_keyed_list, value, item_cast) { return cast_keyed_list(value, item_cast); }

// cast_any's exact shortcut

using trivex::from_tcl::Answer;
using trivex::from_tcl::looks_like_keyed_list;
using trivex::from_tcl::tcl_integer;

// Whether text is too long to be tried as a number: longer than Python's
// own limit on the digits of an int (read now, as int() reads it; 0 means
// no limit).  Tcl's number reader takes time quadratic in the length, and
// cast_any would run it twice.  No limit can be set below
// sys.int_info.str_digits_check_threshold, so shorter text needs no look.
bool beyond_digit_limit(PyObject* text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (n <= state.digits_check_threshold) return false;
  Ref limit = glue::call(state.get_int_max_str_digits);
  Py_ssize_t max = PyLong_AsSsize_t(limit.get());
  if (max == -1 && PyErr_Occurred()) throw glue::PythonError{};
  return max > 0 && n > max;
}

// cast_any's answer for text when the class's readers are its own, asked
// without raising: a value, or "only a keyed list is left to try", or
// "ask the readers" where the shortcut cannot be exact.
struct TextGuess {
  Ref value;
  bool try_keyed_list = false;
};

TextGuess cast_any_text(PyObject* self, PyObject* text, bool numbers) {
  tk_of(self);  // the thread and the interpreter may be used
  TextGuess guess;
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (!s) {
    PyErr_Clear();  // not UTF-8 encodable: the readers would refuse it too
    return guess;
  }
  if (static_cast<size_t>(n) != std::strlen(s)) return guess;  // embedded NUL: the readers refuse it
  const tcl::Api& api = tcl::api();
  if (numbers) {
    switch (tcl_integer(api, s, n, guess.value)) {
      case Answer::yes: return guess;
      case Answer::ask_python: return guess;
      case Answer::no: break;
    }
    double d = 0;
    if (api.GetDouble(nullptr, s, &d) == tcl::TCL_OK) {
      guess.value = glue::check(PyFloat_FromDouble(d));
      return guess;
    }
    reset_result(self);
    int b = 0;
    if (api.GetBoolean(nullptr, s, &b) == tcl::TCL_OK) {
      guess.value = Ref::borrow(b ? Py_True : Py_False);
      return guess;
    }
  }
  if (n == 0 || !looks_like_keyed_list(api, s, static_cast<size_t>(n)))
    guess.value = Ref::borrow(text);
  else
    guess.try_keyed_list = true;
  return guess;
}

GLUE_BODY(interpreter_cast_any, self, value) {
  PyTypeObject* t = Py_TYPE(value);
  if (t == &PyTuple_Type) {
    Ref cast = glue::getattr(self, GLUE_STR("cast_list"));
    return glue::call_kw(cast.get(), {value, state.quotify}, GLUE_KWNAMES("item_cast"));
  }
  if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return Ref::borrow(value);
  if (reinterpret_cast<PyObject*>(t) == state.Tcl_Obj) {
    Ref typename_ = glue::getattr(value, GLUE_STR("typename"));
    if (PyUnicode_Check(typename_.get()) && PyUnicode_CompareWithASCIIString(typename_.get(), "keyedList") == 0)
      return cast_keyed_list(value, Py_None);
  }
  Ref text = glue::str(value);

  bool own = OURS(self, "cast_int", "cast_double", "cast_boolean", "getint", "getdouble");
  bool numbers = !beyond_digit_limit(text.get());
  TextGuess guess;
  if (own) {
    guess = cast_any_text(self, text.get(), numbers);
    if (guess.value) return guess.value;
  }
  if (numbers && !guess.try_keyed_list) {
    for (PyObject* method : {GLUE_STR("cast_int"), GLUE_STR("cast_double"), GLUE_STR("cast_boolean")}) {
      Ref r = glue::unless_raises({PyExc_TypeError, PyExc_ValueError},
                            [&] { return glue::call_method(self, method, text.get()); });
      if (r) return r;
    }
  }
  if (PyUnicode_GET_LENGTH(text.get()) != 0) {
    Ref r = glue::unless_raises({PyExc_TypeError, PyExc_ValueError}, [&] { return cast_keyed_list(text.get(), Py_None); });
    if (r) return r;
  }
  return text;
}

const char* const kCastListDoc =
    "Read a value as a Tcl list.\n"
    "\n"
    "Arguments:\n"
    "    value: Tcl list text, a Tcl object, or a Python sequence (taken as the\n"
    "        list itself; a tuple is returned as it is).\n"
    "    item_cast: a callable applied to every element.\n"
    "\n"
    "Returns:\n"
    "    A tuple of the elements.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the text is not a well-formed Tcl list.\n"
    "\n"
    "Examples:\n"
    "    >>> Interpreter.cast_list('1 {2 3}')\n"
    "    ('1', '2 3')";
const char* const kCastIntDoc =
    "Read a value as an integer with Tcl's integer syntax (\"12\", \"0x10\").\n"
    "\n"
    "Raises:\n"
    "    ValueError: the value is not an integer for Tcl.";
const char* const kCastDoubleDoc =
    "Read a value as a float with Tcl's number syntax.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the value is not a number for Tcl.";
const char* const kCastBooleanDoc =
    "Read a value as a boolean.\n"
    "\n"
    "Tcl's boolean words (any case, any unique abbreviation) and numbers\n"
    "(zero is false) are accepted.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the value is neither a boolean word nor a number.";
const char* const kCastArrayDoc =
    "Read the result of Tcl's \"array get\" (name, value, ...) into an Array.\n"
    "\n"
    "Arguments:\n"
    "    value: the flat list.\n"
    "    item_cast: a callable applied to every value.";
const char* const kCastKeyedListDoc =
    "Read a TclX keyed list into a NestMap.\n"
    "\n"
    "Arguments:\n"
    "    value: keyed-list text or a Tcl object.\n"
    "    item_cast: a callable applied to every leaf value.";
const char* const kCastAnyDoc =
    "Guess the Python value of a Tcl result.\n"
    "\n"
    "A tuple gives a tuple of its items' Tcl text; int, float and bool stay\n"
    "as they are; a TclX keyed-list object gives a NestMap.  Text becomes, in\n"
    "this order of trial, an int, a float, a bool, a NestMap (a list of\n"
    "key/value pairs), or stays the text.  Text longer than Python's limit\n"
    "on the digits of an int (sys.get_int_max_str_digits()) is not tried as\n"
    "a number or a boolean.\n"
    "\n"
    "Examples:\n"
    "    >>> interp.cast_any('0x10'), interp.cast_any('2.5'), interp.cast_any('yes')\n"
    "    (16, 2.5, True)\n"
    "    >>> interp.cast_any('hello world')\n"
    "    'hello world'";

}  // namespace

void add_cast_methods(glue::ClassBody& body) {
  body.staticmethod({"cast_list", "(value, item_cast=None)", interpreter_cast_list, kCastListDoc});
  body.method({"cast_int", "(self, value)", interpreter_cast_int, kCastIntDoc});
  body.method({"cast_double", "(self, value)", interpreter_cast_double, kCastDoubleDoc});
  body.method({"cast_boolean", "(self, value)", interpreter_cast_boolean, kCastBooleanDoc});
  body.staticmethod({"cast_array", "(value, item_cast=None)", interpreter_cast_array, kCastArrayDoc});
  body.staticmethod({"cast_keyed_list", "(value, item_cast=None)", interpreter_cast_keyed_list, kCastKeyedListDoc});
  body.method({"cast_any", "(self, value)", interpreter_cast_any, kCastAnyDoc});
}

}  // namespace trivex::interpreter_module
