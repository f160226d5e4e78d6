// Module trivex.tcl.internal: the package's way below tkinter, into Tcl's C
// library itself.
//
// The module loads the Tcl shared library through ctypes, because the
// library object, the prototypes declared on it and the ctypes mirrors of
// Tcl's structures are part of what the module offers Python code.  All of
// that is made here, at import, by calling ctypes as a Python module would:
// the classes are built by their ctypes metaclasses (through the glue class
// builder), so they are ordinary ctypes types in every respect.  Once the
// library is loaded its dlopen handle goes to bridge/tclapi.hpp, and from then on
// the C++ code calls Tcl through plain function pointers: ctypes calls are
// far too slow for list splitting, which sits under every cast the package
// makes.
//
// Interpreter arguments follow the rules of Tcl_Interp_p.from_param, and a
// wrong one is reported exactly as ctypes reports a failing from_param
// (ctypes.ArgumentError, "argument 1: <type name>: <message>"), so callers
// cannot tell the C++ path from a ctypes call.  The exception is the version
// guard: a tkinter interpreter handed to a Tcl library other than tkinter's
// own is refused with a TclError naming both versions.
//
// List splitting feeds Tcl's scanner the text's UTF-8 (lone surrogates
// escaped as tkinter escapes them), which is the byte form tkinter gives Tcl
// for the same str, without stopping at NUL: Tcl reads NUL as an ordinary
// character and so do we.  Elements are decoded as
// tkinter decodes Tcl strings (modified UTF-8, surrogate pairs), so that an
// element read here is the same str tkinter would have produced.
//
// Dictionary ordering is the pure algorithm of core/dictorder.hpp over the two
// strings' code points, given the host's per-character digit test and lower
// case (one code point per character, as Tcl lowers).
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
// arguments; work shared between entries lives in plain-named helpers.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "core/dictorder.hpp"
#include "bridge/bridge.hpp"
#include "bridge/listwalk.hpp"
#include "from_tcl.hpp"

namespace {

using glue::Ref;
namespace tcl = trivex::tcl;

constexpr const char* kModule = GLUE_MODULE_NAME("internal");

// Objects the functions use, bound once at import; each reference is owned.
struct State {
  glue::Owned cast;  // ctypes.cast
  glue::Owned c_void_p;
  glue::Owned c_char_p;
  glue::Owned ArgumentError;
  glue::Owned Tk;
  glue::Owned TclError;
  glue::Owned Sequence;
  glue::Owned Set;
  glue::Owned Tcl_Interp_p;
};
State state;

// ---------------------------------------------------------------------------
// Errors

// Re-raise the pending exception the way ctypes reports a failing argument
// conversion: a new ctypes.ArgumentError whose text names the argument, the
// exception's type and its message; the original is not chained.
[[noreturn]] void raise_argument_error(int position) {
  glue::CaughtError err;
  Ref type_name;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(err.value()));
  PyObject* name = PyType_GetName(reinterpret_cast<PyTypeObject*>(type));
  if (name)
    type_name = Ref::steal(name);
  else
    PyErr_Clear();
  Ref text;
  PyObject* s = PyObject_Str(err.value());
  if (s)
    text = Ref::steal(s);
  else {
    PyErr_Clear();
    text = glue::str_from("???");
  }
  Ref message = type_name ? glue::check(PyUnicode_FromFormat("argument %d: %U: %U", position, type_name.get(),
                                                             text.get()))
                          : glue::check(PyUnicode_FromFormat("argument %d: %U", position, text.get()));
  PyErr_SetObject(state.ArgumentError, message.get());
  throw glue::PythonError{};
}

[[noreturn]] void raise_unrecognized_interp(PyObject* interp) {
  glue::raisef(PyExc_ValueError, "Unrecognized Tcl interpreter object: %R", interp);
}

// ---------------------------------------------------------------------------
// Interpreter arguments

// A tkinter.Tk's interpreter may be used from this thread (bridge/tkapp.hpp).
void check_tk_of(PyObject* tk_widget) {
  Ref tk = glue::lookup_attr(tk_widget, GLUE_STR("tk"));
  if (tk) tcl::check_tk(tk.get());
}

// The Tcl_Interp* behind an argument declared Tcl_Interp_p, by the rules of
// Tcl_Interp_p.from_param; conversion errors come out as ctypes reports
// them.  A tkinter interpreter passes the version guard first.
tcl::Tcl_Interp* interp_arg(PyObject* interp) {
  if (interp == Py_None) return nullptr;
  Ref address;
  bool from_tk = false;
  void* p = nullptr;
  try {
    if (glue::isinstance(interp, state.Tcl_Interp_p)) {
      address = glue::getattr(interp, GLUE_STR("value"));
    } else if (glue::isinstance(interp, state.Tk)) {
      address = glue::call_method(interp, GLUE_STR("interpaddr"));
      from_tk = true;
    } else {
      raise_unrecognized_interp(interp);
    }
    if (address.get() != Py_None) {
      p = PyLong_AsVoidPtr(address.get());
      if (!p && PyErr_Occurred()) throw glue::PythonError{};
    }
  } catch (const glue::PythonError&) {
    raise_argument_error(1);
  }
  if (from_tk) {
    check_tk_of(interp);
    return tcl::interp_from_address(p);
  }
  return static_cast<tcl::Tcl_Interp*>(p);
}

// ---------------------------------------------------------------------------
// Text

// ---------------------------------------------------------------------------
// TclError_from_interp

[[noreturn]] void raise_tcl_error(PyObject* interp, PyObject* default_msg) {
  Ref message;
  if (glue::truthy(interp)) {
    tcl::Tcl_Interp* ip = interp_arg(interp);
    const char* result = tcl::api().GetStringResult(ip);
    if (result) message = tcl::decode_tcl_text(result, static_cast<Py_ssize_t>(std::strlen(result)));
  }
  if (!message || !glue::truthy(message.get())) message = Ref::borrow(default_msg);
  if (message && message.get() != Py_None && glue::truthy(message.get())) {
    Ref exc = glue::call(state.TclError, message.get());
    glue::raise_instance(exc.get());
  }
  Ref exc = glue::call(state.TclError);
  glue::raise_instance(exc.get());
}

GLUE_BODY(TclError_from_interp, interp, default_msg) { raise_tcl_error(interp, default_msg); }

// ---------------------------------------------------------------------------
// Pointer arithmetic, as Python code would write it with ctypes.cast.

Ref void_p_of(PyObject* ptr) { return glue::call(state.cast, ptr, state.c_void_p); }

Ref shift_pointer(PyObject* ptr, PyObject* count, bool back) {
  Ref v = void_p_of(ptr);
  Ref value = glue::getattr(v.get(), GLUE_STR("value"));
  Ref moved = glue::check(back ? PyNumber_InPlaceSubtract(value.get(), count)
                               : PyNumber_InPlaceAdd(value.get(), count));
  glue::setattr(v.get(), GLUE_STR("value"), moved.get());
  return glue::call(state.cast, v.get(), reinterpret_cast<PyObject*>(Py_TYPE(ptr)));
}

GLUE_BODY(ptr_add, ptr, count) { return shift_pointer(ptr, count, false); }
GLUE_BODY(ptr_sub, ptr, count) { return shift_pointer(ptr, count, true); }

GLUE_BODY(ptr_diff, ptr1, ptr2) {
  Ref v1 = void_p_of(ptr1);
  Ref value1 = glue::getattr(v1.get(), GLUE_STR("value"));
  Ref v2 = void_p_of(ptr2);
  Ref value2 = glue::getattr(v2.get(), GLUE_STR("value"));
  return glue::check(PyNumber_Subtract(value1.get(), value2.get()));
}

// ---------------------------------------------------------------------------
// Tcl_Interp_p.from_param

GLUE_BODY(from_param, cls, interp) {
  (void)cls;
  if (glue::isinstance(interp, state.Tcl_Interp_p)) return Ref::borrow(interp);
  if (interp == Py_None) return glue::call(state.Tcl_Interp_p);
  if (glue::isinstance(interp, state.Tk)) {
    check_tk_of(interp);
    Ref address = glue::call_method(interp, GLUE_STR("interpaddr"));
    void* p = PyLong_AsVoidPtr(address.get());
    if (!p && PyErr_Occurred()) throw glue::PythonError{};
    tcl::interp_from_address(p);
    return glue::call(state.Tcl_Interp_p, address.get());
  }
  raise_unrecognized_interp(interp);
}

// ---------------------------------------------------------------------------
// _c_char_p_from_obj

Ref text_of(PyObject* obj) {
  if (obj == Py_None) return Ref::borrow(GLUE_STR(""));
  if (PyUnicode_Check(obj)) return Ref::borrow(obj);
  return glue::str(obj);
}

GLUE_BODY(c_char_p_from_obj, obj) {
  Ref text = text_of(obj);
  Ref bytes = glue::check(PyUnicode_AsUTF8String(text.get()));
  return glue::call(state.c_char_p, bytes.get());
}

// ---------------------------------------------------------------------------
// GetListFromAny

// Split list text with Tcl's own scanner.  The interpreter argument is
// converted only when the scanner is first called, as a ctypes call would.
Ref parse_list(PyObject* text, PyObject* interp) {
  Py_ssize_t size = 0;
  const char* string = PyUnicode_AsUTF8AndSize(text, &size);
  Ref escaped;
  if (!string) {
    // Lone surrogates: tkinter gives Tcl the bytes that surrogateescape
    // stands for (and refuses the others), so the same text reads the same.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw glue::PythonError{};
    PyErr_Clear();
    escaped = glue::check(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    string = PyBytes_AS_STRING(escaped.get());
    size = PyBytes_GET_SIZE(escaped.get());
  }
  if (size > INT_MAX) glue::raise(PyExc_OverflowError, "string is too long");
  const tcl::Api& api = tcl::api();
  // The elements go straight into the tuple, grown as they come (n bytes
  // of text hold at most n / 2 + 1 elements).
  Py_ssize_t count = 0;
  Ref result = glue::check(PyTuple_New(std::min<Py_ssize_t>(size / 2 + 1, 16)));
  auto resize = [&](Py_ssize_t capacity) {
    PyObject* t = result.release();
    if (_PyTuple_Resize(&t, capacity) < 0) throw glue::PythonError{};
    result = Ref::steal(t);
  };
  auto append = [&](PyObject* elem) {
    Ref owned = Ref::steal(elem);
    if (count == PyTuple_GET_SIZE(result.get())) resize(count * 2);
    PyTuple_SET_ITEM(result.get(), count++, owned.release());
  };
  std::string collapsed;
  // In ASCII text, an element taken in place is ASCII too, and the decoder
  // would give its bytes back unchanged: they are copied straight into the
  // str, which is most of the cost of a long list saved.  A collapsed
  // element may have gained other bytes from its escapes, so it is decoded.
  const char* const in_place_end = PyUnicode_IS_ASCII(text) ? string + size : string;
  bool ok = tcl::split_list(
      api.FindElement, api.CopyAndCollapse, [&] { return interp_arg(interp); }, string,
      static_cast<size_t>(size), collapsed, [&](const char* elem, size_t n) {
        if (n > 1 && elem >= string && elem < in_place_end) {
          PyObject* u = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
          if (!u) throw glue::PythonError{};
          std::memcpy(PyUnicode_DATA(u), elem, n);
          append(u);
        } else {
          append(tcl::decode_tcl_text(elem, static_cast<Py_ssize_t>(n)).release());
        }
      });
  if (!ok) raise_tcl_error(interp, GLUE_STR("invalid list element"));
  if (count != PyTuple_GET_SIZE(result.get())) resize(count);
  return result;
}

GLUE_BODY(GetListFromAny, obj, interp) {
  if (PyUnicode_Check(obj)) return parse_list(obj, interp);
  PyTypeObject* t = Py_TYPE(obj);
  if (t == &PyTuple_Type) return Ref::borrow(obj);
  if (t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return glue::tuple_of(obj);
  if (t == &PyList_Type) return glue::check(PyList_AsTuple(obj));
  if (obj == Py_None) return glue::check(PyTuple_New(0));
  // Sets, ranges, bytes are all Sequence or Set; the test costs more than
  // the exact-type check.
  if (t == &PySet_Type || t == &PyFrozenSet_Type || t == &PyBytes_Type || t == &PyRange_Type ||
      glue::isinstance(obj, state.Sequence) || glue::isinstance(obj, state.Set))
    return glue::check(PySequence_Tuple(obj));
  Ref text = glue::str(obj);
  return parse_list(text.get(), interp);
}

// ---------------------------------------------------------------------------
// DictionaryCompare

using glue::with_chars;

bool is_digit(char32_t c) {
  return c < 0x80 ? (c >= U'0' && c <= U'9') : Py_UNICODE_ISDIGIT(static_cast<Py_UCS4>(c));
}

// The host's per-character lower case: the simple mapping, or the first
// character of the full one (U+0130 lowers to "i"), as Tcl lowers it.
char32_t to_lower(char32_t c) {
  if (c < 0x80) return c >= U'A' && c <= U'Z' ? c + 32 : c;
  return static_cast<char32_t>(Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)));
}

GLUE_BODY(DictionaryCompare, left, right) {
  Ref left_text = glue::str(left);
  Ref right_text = glue::str(right);
  long long diff = with_chars(left_text.get(), [&](const auto* l, size_t nl) {
    return with_chars(right_text.get(), [&](const auto* r, size_t nr) {
      return static_cast<long long>(trivex::dictorder::compare(l, nl, r, nr, is_digit, to_lower));
    });
  });
  return glue::check(PyLong_FromLongLong(diff));
}

// ---------------------------------------------------------------------------
// Loading the library

const char* const kLibraryNames[] = {
    "libtcl8.4.so", "libtcl8.4.dylib", "libtcl8.5.so", "libtcl8.5.dylib",
    "libtcl8.6.so.0", "libtcl8.6.so", "libtcl8.6.dylib",
};

// The first of the names that ctypes.CDLL loads; an OSError moves on to the
// next name, anything else propagates.
std::pair<Ref, Ref> load_tcl(PyObject* ctypes) {
  Ref cdll = glue::getattr(ctypes, "CDLL");
  for (const char* name : kLibraryNames) {
    Ref lib = glue::str_from(name);
    PyObject* dll = PyObject_CallOneArg(cdll.get(), lib.get());
    if (dll) return {Ref::steal(dll), lib};
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw glue::PythonError{};
    PyErr_Clear();
  }
  glue::raise(PyExc_ImportError, "Cannot load Tcl shared library (.so or .dylib)");
}

Ref list_of(std::initializer_list<PyObject*> items) {
  Ref l = glue::new_list();
  for (PyObject* o : items) glue::list_append(l.get(), o);
  return l;
}

void declare(PyObject* dll, const char* name, std::initializer_list<PyObject*> argtypes, PyObject* restype) {
  Ref fn = glue::getattr(dll, name);
  Ref args = list_of(argtypes);
  glue::setattr(fn.get(), "argtypes", args.get());
  glue::setattr(fn.get(), "restype", restype);
}

// ctypes.POINTER(target).  A pointer type made by this call takes its
// __module__ from the running frame, which during an extension's import is
// the import machinery's; name this module instead, as a Python module
// making the type would.
Ref pointer_type(PyObject* POINTER, PyObject* target) {
  Ref type = glue::call(POINTER, target);
  Ref module = glue::getattr(type.get(), "__module__");
  if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "importlib._bootstrap") == 0) {
    Ref ours = glue::str_from(kModule);
    glue::setattr(type.get(), "__module__", ours.get());
  }
  return type;
}

// _fields_ as ctypes wants them: a list of (name, type) pairs.
void set_fields(PyObject* cls, std::initializer_list<std::pair<const char*, PyObject*>> fields) {
  Ref l = glue::new_list();
  for (const auto& [name, type] : fields) {
    Ref n = glue::str_from(name);
    Ref pair = glue::tuple_of(n.get(), type);
    glue::list_append(l.get(), pair.get());
  }
  glue::setattr(cls, "_fields_", l.get());
}

// ---------------------------------------------------------------------------
// Help texts

const char* const kModuleDoc =
    "Access to some internals of Tcl's C code.\n"
    "\n"
    "Internal structures and interfaces of the Tcl library, reached through\n"
    "ctypes below what tkinter offers.\n"
    "\n"
    "Implements:\n"
    "    ReturnCodes: Tcl's completion codes.\n"
    "    TclDLL: the Tcl shared library, with the prototypes of the Tcl\n"
    "        functions the package calls.\n"
    "    Tcl_ObjType, Tcl_Obj: ctypes mirrors of Tcl's object structures.\n"
    "    GetListFromAny: any value to a tuple of list elements, split by\n"
    "        Tcl's own list scanner.\n"
    "    DictionaryCompare: string comparison in Tcl's dictionary order.";

const char* const kReturnCodesDoc =
    "Tcl's completion codes, as plain integers.\n"
    "\n"
    "TCL_OK (0), TCL_ERROR (1), TCL_RETURN (2), TCL_BREAK (3) and\n"
    "TCL_CONTINUE (4).";

const char* const kPtrAddDoc =
    "Move a ctypes pointer forward by a number of bytes.\n"
    "\n"
    "Arguments:\n"
    "    ptr: a ctypes pointer (c_char_p, c_void_p, POINTER(...)); not null.\n"
    "    count: the number of bytes.\n"
    "\n"
    "Returns:\n"
    "    A new pointer of the same type as ptr.  It owns no memory: keep the\n"
    "    object ptr points into alive while it is used.\n"
    "\n"
    "Raises:\n"
    "    TypeError: ptr is null.";

const char* const kPtrSubDoc =
    "Move a ctypes pointer back by a number of bytes.\n"
    "\n"
    "Arguments:\n"
    "    ptr: a ctypes pointer (c_char_p, c_void_p, POINTER(...)); not null.\n"
    "    count: the number of bytes.\n"
    "\n"
    "Returns:\n"
    "    A new pointer of the same type as ptr, count bytes before it.  It\n"
    "    owns no memory.\n"
    "\n"
    "Raises:\n"
    "    TypeError: ptr is null.";

const char* const kPtrDiffDoc =
    "The distance in bytes from one ctypes pointer to another.\n"
    "\n"
    "Arguments:\n"
    "    ptr1, ptr2: ctypes pointers; not null.\n"
    "\n"
    "Returns:\n"
    "    ptr1 - ptr2 in bytes: negative when ptr1 lies before ptr2.\n"
    "\n"
    "Raises:\n"
    "    TypeError: either pointer is null.";

const char* const kTclErrorDoc =
    "Raise a TclError carrying an interpreter's result.\n"
    "\n"
    "Never returns; write `raise TclError_from_interp(...)` so that readers\n"
    "see that the call does not come back.\n"
    "\n"
    "Arguments:\n"
    "    interp: None, a Tcl_Interp_p or a tkinter.Tk.  When it is true, its\n"
    "        result string is the message; the result is not reset.\n"
    "    default_msg: the message when the interpreter gives none.\n"
    "\n"
    "Raises:\n"
    "    tkinter.TclError: with the interpreter's result, else default_msg,\n"
    "        else without arguments.";

const char* const kInterpDoc =
    "A Tcl_Interp * for ctypes prototypes.\n"
    "\n"
    "An argument declared Tcl_Interp_p accepts a Tcl_Interp_p, None (a null\n"
    "pointer) or a tkinter.Tk (the interpreter it wraps).";

const char* const kFromParamDoc =
    "Convert an argument declared Tcl_Interp_p.\n"
    "\n"
    "Arguments:\n"
    "    interp: a Tcl_Interp_p (returned as it is), None (a new null\n"
    "        pointer) or a tkinter.Tk (the address of its interpreter).\n"
    "\n"
    "Returns:\n"
    "    A Tcl_Interp_p.\n"
    "\n"
    "Raises:\n"
    "    ValueError: \"Unrecognized Tcl interpreter object: ...\" for anything\n"
    "        else (ctypes reports it as an ArgumentError of the call).\n"
    "    tkinter.TclError: the Tk object's Tcl is not the library TclDLL\n"
    "        loaded, so its interpreter must not be handed to it.";

const char* const kObjTypeDoc =
    "Mirror of Tcl's Tcl_ObjType structure: a Tcl object type.\n"
    "\n"
    "Fields: name, freeIntRepProc, dupIntRepProc, updateStringProc,\n"
    "setFromAnyProc.";

const char* const kObjDoc =
    "Mirror of Tcl's Tcl_Obj structure.\n"
    "\n"
    "Fields: refCount, bytes (the string representation or null), length,\n"
    "typePtr, internalRep (a Tcl_Obj.u_internalRep union).";

const char* const kInternalRepDoc = "The internal representation of a Tcl_Obj: all members overlay each other.";
const char* const kTwoPtrDoc = "Two pointers of a Tcl_Obj's internal representation.";

const char* const kCharPDoc =
    "Give the UTF-8 text of any object as a ctypes.c_char_p byte array.\n"
    "\n"
    "Similar to Tcl_GetStringFromObj.  None is the empty string, a str is\n"
    "taken as it is, anything else as str(obj).  The buffer is\n"
    "NUL-terminated; the length can be obtained with len(string.value).\n"
    "\n"
    "Arguments:\n"
    "    obj: any object.\n"
    "\n"
    "Returns:\n"
    "    A ctypes.c_char_p that keeps its bytes alive.";

const char* const kGetListDoc =
    "Convert any Tcl object or string to a Python list (tuple).\n"
    "\n"
    "If the object is already a valid Python list it is returned unchanged\n"
    "(converted to a tuple if necessary): a tuple is returned itself, an\n"
    "int, float or bool as a 1-tuple, None as (), any other Sequence or Set\n"
    "as tuple(obj).  Text, and the text of anything else, is split into\n"
    "elements exactly as Tcl splits a list, by Tcl's own list scanner.\n"
    "\n"
    "Arguments:\n"
    "    obj: any value.\n"
    "    interp: None, a Tcl_Interp_p or a tkinter.Tk; Tcl leaves its error\n"
    "        message there when the text is not a valid list.\n"
    "\n"
    "Returns:\n"
    "    A tuple of str for text; the elements as they are for sequences.\n"
    "\n"
    "Raises:\n"
    "    tkinter.TclError: the text is not a valid Tcl list.  The message is\n"
    "        Tcl's own when an interpreter is given, else\n"
    "        \"invalid list element\".\n"
    "    ctypes.ArgumentError: interp is of a wrong kind.\n"
    "\n"
    "Examples:\n"
    "    >>> GetListFromAny('a b c {de} {f g h { i }}')\n"
    "    ('a', 'b', 'c', 'de', 'f g h { i }')\n"
    "    >>> GetListFromAny([1, [2]])\n"
    "    (1, [2])";

const char* const kDictCompareDoc =
    "Compare two strings in Tcl's dictionary order.\n"
    "\n"
    "Strings compare as if used in an index or card catalog: the case of\n"
    "letters is ignored except to break ties, so \"B\" comes before \"b\" but\n"
    "after \"a\"; integers embedded in the strings compare in numerical\n"
    "order, so \"x10y\" comes after \"x9y\", and of two equal numbers the one\n"
    "with more leading zeros comes later.  Counterpart of DictionaryCompare\n"
    "in Tcl 8.4.19's generic/tclCmdIL.c.\n"
    "\n"
    "Arguments:\n"
    "    left, right: the values to compare, each converted with str().\n"
    "\n"
    "Returns:\n"
    "    An int: negative when left comes first, positive when right comes\n"
    "    first, zero when they are equal in this order.  Only its sign has a\n"
    "    meaning.\n"
    "\n"
    "Examples:\n"
    "    >>> DictionaryCompare('x10y', 'x9y')\n"
    "    1\n"
    "    >>> sorted(['b', 'B', 'a10', 'a9'], key=functools.cmp_to_key(DictionaryCompare))\n"
    "    ['a9', 'a10', 'B', 'b']";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "internal", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_internal() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    glue::import("ctypes.util");
    PyObject* ctypes = m.import_module("ctypes", "ctypes");
    PyObject* tkinter = m.import_module("tkinter", "tkinter");
    state.Sequence = Ref::borrow(m.import_from("collections.abc", "Sequence"));
    state.Set = Ref::borrow(m.import_from("collections.abc", "Set"));
    m.add("unicode", reinterpret_cast<PyObject*>(&PyUnicode_Type));

    state.cast = glue::getattr(ctypes, "cast");
    state.c_void_p = glue::getattr(ctypes, "c_void_p");
    state.c_char_p = glue::getattr(ctypes, "c_char_p");
    state.ArgumentError = glue::getattr(ctypes, "ArgumentError");
    state.Tk = glue::getattr(tkinter, "Tk");
    state.TclError = glue::getattr(tkinter, "TclError");

    glue::ClassBody codes("ReturnCodes", kModule);
    const char* const names[] = {"TCL_OK", "TCL_ERROR", "TCL_RETURN", "TCL_BREAK", "TCL_CONTINUE"};
    for (long i = 0; i < 5; ++i) {
      Ref v = glue::check(PyLong_FromLong(i));
      codes.add(names[i], v.get());
    }
    Ref return_codes = codes.build({reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, kReturnCodesDoc);
    m.add("ReturnCodes", return_codes.get());

    auto [dll, lib] = load_tcl(ctypes);
    m.add("TclDLL", dll.get());
    m.add("lib", lib.get());

    m.function({"_ptr_add", "(ptr, count)", ptr_add, kPtrAddDoc});
    m.function({"_ptr_sub", "(ptr, count)", ptr_sub, kPtrSubDoc});
    m.function({"_ptr_diff", "(ptr1, ptr2)", ptr_diff, kPtrDiffDoc});
    m.function({"TclError_from_interp", "(interp, default_msg=None)", TclError_from_interp, kTclErrorDoc});

    glue::ClassBody interp_body("Tcl_Interp_p", kModule);
    interp_body.classmethod({"from_param", "(cls, interp)", from_param, kFromParamDoc});
    state.Tcl_Interp_p = interp_body.build({state.c_void_p}, kInterpDoc);
    m.add("Tcl_Interp_p", state.Tcl_Interp_p);

    Ref c_int = glue::getattr(ctypes, "c_int");
    Ref c_long = glue::getattr(ctypes, "c_long");
    Ref c_double = glue::getattr(ctypes, "c_double");
    Ref wide = glue::getattr(ctypes, "c_longlong");
    Ref structure = glue::getattr(ctypes, "Structure");
    Ref union_base = glue::getattr(ctypes, "Union");
    Ref pointer = glue::getattr(ctypes, "POINTER");
    m.add("Tcl_WideInt", wide.get());

    glue::ClassBody obj_type_body("Tcl_ObjType", kModule);
    Ref obj_type = obj_type_body.build({structure.get()}, kObjTypeDoc);
    set_fields(obj_type.get(), {{"name", state.c_char_p},
                                {"freeIntRepProc", state.c_void_p},
                                {"dupIntRepProc", state.c_void_p},
                                {"updateStringProc", state.c_void_p},
                                {"setFromAnyProc", state.c_void_p}});
    m.add("Tcl_ObjType", obj_type.get());

    // The nested classes first, their fields afterwards, innermost first.
    glue::ClassBody two_ptr_body("s_twoPtrValue", kModule, "Tcl_Obj.u_internalRep.s_twoPtrValue");
    Ref two_ptr = two_ptr_body.build({structure.get()}, kTwoPtrDoc);
    glue::ClassBody rep_body("u_internalRep", kModule, "Tcl_Obj.u_internalRep");
    rep_body.add("s_twoPtrValue", two_ptr.get());
    Ref rep = rep_body.build({union_base.get()}, kInternalRepDoc);
    glue::ClassBody obj_body("Tcl_Obj", kModule);
    obj_body.add("u_internalRep", rep.get());
    Ref tcl_obj = obj_body.build({structure.get()}, kObjDoc);
    set_fields(two_ptr.get(), {{"ptr1", state.c_void_p}, {"ptr2", state.c_void_p}});
    set_fields(rep.get(), {{"longValue", c_long.get()},
                           {"doubleValue", c_double.get()},
                           {"otherValuePtr", state.c_void_p},
                           {"wideValue", wide.get()},
                           {"twoPtrValue", two_ptr.get()}});
    Ref obj_type_p = pointer_type(pointer.get(), obj_type.get());
    set_fields(tcl_obj.get(), {{"refCount", c_int.get()},
                               {"bytes", state.c_char_p},
                               {"length", c_int.get()},
                               {"typePtr", obj_type_p.get()},
                               {"internalRep", rep.get()}});
    m.add("Tcl_Obj", tcl_obj.get());

    Ref char_pp = pointer_type(pointer.get(), state.c_char_p);
    Ref int_p = pointer_type(pointer.get(), c_int.get());
    declare(dll.get(), "TclFindElement",
            {state.Tcl_Interp_p, state.c_char_p, c_int.get(), char_pp.get(), char_pp.get(), int_p.get(), int_p.get()},
            c_int.get());
    declare(dll.get(), "TclCopyAndCollapse", {c_int.get(), state.c_char_p, state.c_char_p}, c_int.get());
    declare(dll.get(), "Tcl_GetStringResult", {state.Tcl_Interp_p}, state.c_char_p);
    declare(dll.get(), "Tcl_ResetResult", {state.Tcl_Interp_p}, Py_None);

    // From here on C++ calls the library through plain function pointers.
    Ref handle = glue::getattr(dll.get(), "_handle");
    void* h = PyLong_AsVoidPtr(handle.get());
    if (!h && PyErr_Occurred()) throw glue::PythonError{};
    tcl::init_api(h);

    m.function({"_c_char_p_from_obj", "(obj)", c_char_p_from_obj, kCharPDoc});
    m.function({"GetListFromAny", "(obj, interp=None)", GetListFromAny, kGetListDoc});
    m.function({"DictionaryCompare", "(left, right)", DictionaryCompare, kDictCompareDoc});
  });
}
