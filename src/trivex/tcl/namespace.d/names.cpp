// Module trivex.tcl.namespace: name arithmetic on '::'-separated Tcl names
// (TclNamespace's static methods).
#include "state.hpp"

namespace trivex::namespace_module {

// Name arithmetic (TclNamespace's static methods).

// Text of `obj` after quotify, required to be a str.
Ref name_text(PyObject* obj) {
  Ref s = quotify(obj);
  if (!PyUnicode_Check(s.get()))
    glue::raisef(PyExc_TypeError, "Tcl name must be text, not '%.200s'", Py_TYPE(s.get())->tp_name);
  return s;
}

Ref substring(PyObject* s, size_t start, size_t end) {
  return glue::check(PyUnicode_Substring(s, static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
}

Ref from_ucs4(const std::u32string& text) {
  return glue::check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref qualifiers(PyObject* string) {
  Ref s = name_text(string);
  size_t len = cv::with_chars(s.get(), [](const auto* d, size_t n) { return nm::qualifiers_len(d, n); });
  return substring(s.get(), 0, len);
}

Ref tail(PyObject* string) {
  Ref s = name_text(string);
  size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s.get()));
  size_t start = cv::with_chars(s.get(), [](const auto* d, size_t k) { return nm::tail_start(d, k); });
  if (start == 0) return s;
  return substring(s.get(), start, n);
}

[[noreturn]] void invalid_name(PyObject* s) { glue::raisef(PyExc_ValueError, "Invalid Tcl namespace '%U'", s); }

Ref split(PyObject* string) {
  Ref s = name_text(string);
  bool absolute = false;
  std::vector<nm::Piece> pieces;
  bool ok = cv::with_chars(s.get(), [&](const auto* d, size_t n) { return nm::split(d, n, absolute, pieces); });
  if (!ok) invalid_name(s.get());
  Ref out = glue::new_list();
  if (absolute) glue::list_append(out.get(), GLUE_STR(""));
  for (const nm::Piece& p : pieces) {
    Ref piece = substring(s.get(), p.start, p.start + p.len);
    glue::list_append(out.get(), piece.get());
  }
  return out;
}

bool normal_text(PyObject* s) {
  return cv::with_chars(s, [](const auto* d, size_t n) { return nm::is_normal(d, n); });
}

// normalize() of a str: "::".join(split(s)).
Ref normalize_text(PyObject* s) {
  if (PyUnicode_CheckExact(s) && normal_text(s)) return Ref::borrow(s);
  bool absolute = false;
  std::vector<nm::Piece> pieces;
  std::u32string out;
  bool ok = cv::with_chars(s, [&](const auto* d, size_t n) {
    if (!nm::split(d, n, absolute, pieces)) return false;
    if (absolute && pieces.empty()) return true;  // "::" alone: [""] joins to ""
    nm::write_normalized(d, absolute, pieces, out);
    return true;
  });
  if (!ok) invalid_name(s);
  if (static_cast<Py_ssize_t>(out.size()) == PyUnicode_GET_LENGTH(s) && PyUnicode_CheckExact(s)) {
    // Already normal: the same text.
    return Ref::borrow(s);
  }
  return from_ucs4(out);
}

Ref normalize(PyObject* string) {
  Ref s = name_text(string);
  return normalize_text(s.get());
}

Ref join(PyObject* string, PyObject* const* rest, Py_ssize_t n) {
  Ref s = name_text(string);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref arg = name_text(rest[i]);
    if (PyUnicode_GET_LENGTH(s.get()) == 0 || starts_with_sep(arg.get())) {
      s = arg;
    } else if (PyUnicode_GET_LENGTH(arg.get()) != 0) {
      if (n == 1 && PyUnicode_GET_LENGTH(s.get()) == 2 && starts_with_sep(s.get()) && normal_text(arg.get())) {
        // "::" and a normal relative name: normalizing "::::name" gives this.
        return concat(GLUE_STR("::"), arg.get());
      }
      s = concat3(s.get(), GLUE_STR("::"), arg.get());
    }
  }
  return normalize_text(s.get());
}

// TclNamespace.join(a, b) as the module's global name resolves it now.
Ref namespace_join(PyObject* a, PyObject* b) {
  Ref ns_cls = GLOBAL("TclNamespace");
  if (OUR_CLASS(ns_cls.get(), TclNamespace, "join")) {
    PyObject* rest[] = {b};
    return join(a, rest, 1);
  }
  Ref fn = glue::getattr(ns_cls.get(), GLUE_STR("join"));
  return glue::call(fn.get(), a, b);
}

GLUE_BODY(ns_qualifiers, string) { return qualifiers(string); }
GLUE_BODY(ns_tail, string) { return tail(string); }
GLUE_BODY(ns_split, string) { return split(string); }
GLUE_BODY(ns_normalize, string) { return normalize(string); }
GLUE_BODY(ns_join, string, args) { return join(string, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args)); }

// TclNamespace's static methods, in its class body.
void add_name_arithmetic(glue::ClassBody& b) {
  b.staticmethod({"qualifiers", "(string)", ns_qualifiers});
  b.staticmethod({"tail", "(string)", ns_tail});
  state.ns_join = Ref::borrow(b.staticmethod({"join", "(string, *args)", ns_join}));
  b.staticmethod({"split", "(string)", ns_split});
  b.staticmethod({"normalize", "(string)", ns_normalize});
}

}  // namespace trivex::namespace_module
