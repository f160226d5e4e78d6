// Module trivex.tcl.quotify: the package's one place where Python values
// become Tcl values.  The rules live in to_tcl.hpp (shared with the other
// modules, which call them without a Python call); the quoting algorithm in
// core/tclquote.hpp.  This file only binds them to Python names, in the module's
// documented order, and keeps the flag-set interface of the element
// functions: flag sets are Python sets of flag names.
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
// arguments; work shared between entries lives in plain-named helpers.
#include "to_tcl.hpp"

namespace {

using glue::Ref;
namespace cv = trivex::convert;
namespace q = trivex::quote;

constexpr const char* kModule = GLUE_MODULE_NAME("quotify");

PyObject* flag_name(unsigned flag) {
  switch (flag) {
    case q::USE_BRACES: return GLUE_STR("USE_BRACES");
    case q::TCL_DONT_USE_BRACES: return GLUE_STR("TCL_DONT_USE_BRACES");
    default: return GLUE_STR("BRACES_UNMATCHED");
  }
}

bool contains(PyObject* container, PyObject* item) {
  return glue::check_status(PySequence_Contains(container, item)) != 0;
}

GLUE_BODY(scan_element, string) {
  Ref text = cv::quotify_text(string);
  unsigned flags = cv::scan_text(text.get());
  Ref set = glue::check(PySet_New(nullptr));
  for (unsigned f : {q::USE_BRACES, q::TCL_DONT_USE_BRACES, q::BRACES_UNMATCHED})
    if (flags & f) glue::check_status(PySet_Add(set.get(), flag_name(f)));
  Ref estimate = glue::check(PyLong_FromSsize_t(2 * PyUnicode_GET_LENGTH(text.get()) + 2));
  return glue::tuple_of(estimate.get(), set.get());
}

GLUE_BODY(convert_element, src, flags) {
  Ref text = cv::quotify_text(src);
  PyObject* s = text.get();
  if (PyUnicode_GET_LENGTH(s) == 0) return glue::str_from("{}");
  bool braces = contains(flags, flag_name(q::USE_BRACES)) && !contains(flags, flag_name(q::TCL_DONT_USE_BRACES));
  bool unmatched = false;
  if (!braces) {
    if (PyUnicode_READ_CHAR(s, 0) == '{') {
      glue::call_method(flags, GLUE_STR("add"), flag_name(q::BRACES_UNMATCHED));
      unmatched = true;
    } else if (cv::with_chars(s, [](const auto* d, size_t n) { return q::has_brace(d, n); })) {
      unmatched = contains(flags, flag_name(q::BRACES_UNMATCHED));
    }
  }
  return cv::quote_element(std::move(text), braces ? q::USE_BRACES : (unmatched ? q::kBackslashOnly : 0));
}

GLUE_BODY(update_string_of_list, listObj) { return cv::quote_list(listObj); }
GLUE_BODY(quotify_from_mapping, obj) { return cv::quote_mapping(obj); }
GLUE_BODY(quotify, obj) { return cv::quotify(obj); }
GLUE_BODY(tclobj_from_sequence, obj) { return cv::tclobj_list(obj); }
GLUE_BODY(tclobj_from_mapping, obj) { return cv::tclobj_mapping(obj); }
GLUE_BODY(tclobj, obj) { return cv::tclobj(obj); }

const char* const kModuleDoc =
    "Conversion of Python values into Tcl text and Tcl objects.\n"
    "\n"
    "Implements quotify() (any value to a string usable in Tcl, with Tcl's own\n"
    "list-element quoting for sequences and mappings), tclobj() (any value to a\n"
    "value the Tcl binding passes to Tcl as one word) and the list-element\n"
    "quoting routines they rely on.";

const char* const kScanDoc =
    "Scan one list element and decide how it must be quoted.\n"
    "\n"
    "Counterpart of Tcl_ScanElement in Tcl 8.4.19's generic/tclUtil.c.\n"
    "\n"
    "Arguments:\n"
    "    string: the element; converted with quotify() first.\n"
    "\n"
    "Returns:\n"
    "    A tuple (estimate, flags): an upper bound of the quoted length\n"
    "    (2 * length + 2) and a new set of flag names out of \"USE_BRACES\",\n"
    "    \"TCL_DONT_USE_BRACES\" and \"BRACES_UNMATCHED\".";

const char* const kConvertDoc =
    "Quote one list element as the scan flags say.\n"
    "\n"
    "Counterpart of Tcl_ConvertElement in Tcl 8.4.19's generic/tclUtil.c.\n"
    "\n"
    "Arguments:\n"
    "    src: the element; converted with quotify() first.\n"
    "    flags: a flag set as _Tcl_ScanElement returns it.  When the element\n"
    "        starts with an open brace and is not braced, \"BRACES_UNMATCHED\"\n"
    "        is added to it.\n"
    "\n"
    "Returns:\n"
    "    The element as Tcl list text: \"{}\" when empty, in braces when the\n"
    "    flags allow it, else with backslashes.";

const char* const kListDoc =
    "Build the Tcl list text of the elements of an iterable.\n"
    "\n"
    "Counterpart of UpdateStringOfList in Tcl 8.4.19's generic/tclListObj.c.\n"
    "\n"
    "Arguments:\n"
    "    listObj: any iterable; it is iterated once.\n"
    "\n"
    "Returns:\n"
    "    The elements, each converted with quotify() and quoted as a list\n"
    "    element, joined by single spaces.\n"
    "\n"
    "Examples:\n"
    "    >>> _tcl_UpdateStringOfList([1, 2, [3, 4]])\n"
    "    '1 2 {3 4}'";

const char* const kFromMappingDoc =
    "Build the Tcl list text of a mapping: key, value, key, value, ...\n"
    "\n"
    "Arguments:\n"
    "    obj: a mapping; values are read by subscription.\n"
    "\n"
    "Returns:\n"
    "    The list text, keys and values quoted as list elements.";

const char* const kQuotifyDoc =
    "Convert any object into a string appropriate for use in Tcl.\n"
    "\n"
    "Strings are returned as they are, None as the empty string, booleans as\n"
    "\"true\" or \"false\", sequences and sets as Tcl list text and mappings as\n"
    "key/value list text (nested to any depth), anything else as str(obj).\n"
    "An object that defines __quotify__() converts itself; one that defines\n"
    "__tclobj__() is converted from what that returns.\n"
    "\n"
    "Arguments:\n"
    "    obj: any object.\n"
    "\n"
    "Returns:\n"
    "    The Tcl text, a str (or whatever __quotify__() returns).\n"
    "\n"
    "Examples:\n"
    "    >>> quotify([1, 2, [3, 4]])\n"
    "    '1 2 {3 4}'\n"
    "    >>> quotify({'my key': 'my value', 'a': 'b'})\n"
    "    '{my key} {my value} a b'";

const char* const kTclobjFromSequenceDoc =
    "Convert the items of an iterable with tclobj() into a tuple.\n"
    "\n"
    "Arguments:\n"
    "    obj: any iterable; it is iterated once.\n"
    "\n"
    "Returns:\n"
    "    A tuple of the converted items, in iteration order.";

const char* const kTclobjFromMappingDoc =
    "Convert a mapping into the flat tuple key, value, key, value, ...\n"
    "\n"
    "Arguments:\n"
    "    obj: a mapping; values are read by subscription.\n"
    "\n"
    "Returns:\n"
    "    A tuple of keys and values, each converted with tclobj().";

const char* const kTclobjDoc =
    "Convert any object into a value for the Tcl binding.\n"
    "\n"
    "Text, bytes, booleans, floats, machine-size integers and Tcl objects are\n"
    "returned as they are, None as the empty string, sequences and mappings as\n"
    "tuples of converted values (which Tcl receives as lists); anything else\n"
    "becomes quotify(obj).  An object that defines __tclobj__() converts\n"
    "itself.\n"
    "\n"
    "Arguments:\n"
    "    obj: any object.\n"
    "\n"
    "Returns:\n"
    "    The object itself, a str, a tuple, or what __tclobj__() returns.\n"
    "\n"
    "Examples:\n"
    "    >>> tclobj([1, 'a', None, [2.5]])\n"
    "    (1, 'a', '', (2.5,))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quotify", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quotify() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    m.import_from("collections.abc", "Mapping");
    m.import_from("collections.abc", "Sequence");
    m.import_from("collections.abc", "Set");
    m.import_from("_tkinter", "Tcl_Obj", "_tkTcl_Obj");
    m.import_module("sys", "sys");
    m.add("unicode", reinterpret_cast<PyObject*>(&PyUnicode_Type));
    m.function({"_Tcl_ScanElement", "(string)", scan_element, kScanDoc});
    m.function({"_Tcl_ConvertElement", "(src, flags)", convert_element, kConvertDoc});
    PyObject* from_sequence = m.function({"_tcl_UpdateStringOfList", "(listObj)", update_string_of_list, kListDoc});
    m.add("_quotify_from_sequence", from_sequence);
    PyObject* from_mapping = m.function({"_quotify_from_mapping", "(obj)", quotify_from_mapping, kFromMappingDoc});
    PyObject* quotify_fn = m.function({"quotify", "(obj)", quotify, kQuotifyDoc});
    Ref maxsize = glue::check(PyLong_FromSsize_t(PY_SSIZE_T_MAX));
    m.add("_sysmaxsize", maxsize.get());
    m.add("_long_type", reinterpret_cast<PyObject*>(&PyLong_Type));
    PyObject* tclobj_seq = m.function({"_tclobj_from_sequence", "(obj)", tclobj_from_sequence, kTclobjFromSequenceDoc});
    PyObject* tclobj_map = m.function({"_tclobj_from_mapping", "(obj)", tclobj_from_mapping, kTclobjFromMappingDoc});
    PyObject* tclobj_fn = m.function({"tclobj", "(obj)", tclobj, kTclobjDoc});
    glue::setattr(quotify_fn, "from_sequence", from_sequence);
    glue::setattr(quotify_fn, "from_mapping", from_mapping);
    glue::setattr(tclobj_fn, "from_sequence", tclobj_seq);
    glue::setattr(tclobj_fn, "from_mapping", tclobj_map);
    cv::types();  // fail the import, not the first call, if the ABCs are missing
  });
}
