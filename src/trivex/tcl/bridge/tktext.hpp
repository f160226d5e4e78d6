// Reading Tcl text whole through the _tkinter application object.
//
// A Tcl string may hold raw NUL bytes: tkinter hands a str to Tcl with its
// NULs as zero bytes (the package's own writes hand such text over in Tcl's
// form instead, tclobj.hpp, but values tkinter wrote itself remain).  The
// binding's eval() ends in Tcl_Eval, which mirrors the result into a C
// string and so loses everything from the first zero byte on.  getvar() and
// call() pass the result object on with its length,
// but make a typed Python value of it (int, tuple, ...) unless the
// application object's `wantobjects` is off; then they give its text, the
// same text eval() gives when nothing is lost.  So text is read with
// `wantobjects` off for the one call.
//
// That setting belongs to the application object, which other threads may
// use at the same time: a call from another thread is carried out by the
// interpreter's own thread, which would convert its result while the
// setting is off.  So the setting is only touched on the interpreter's own
// thread (where nothing else can run Tcl meanwhile); other threads read
// with eval() as before.
//
// call() runs its command at global level, where eval() and getvar() work in
// the current frame (the proc or `namespace eval` that called back into
// Python).  A command whose names must resolve in a frame other than the
// global one is therefore evaluated with its result converted to UTF-8
// bytes inside Tcl: a byte array's text holds no NUL byte, so Tcl_Eval
// passes all of it, and the bytes are decoded here.  That costs a few
// microseconds more, so it is kept for code called back from a proc or a
// namespace.
#pragma once

#include <cstring>

#include "to_tcl.hpp"
#include "bridge/tclapi.hpp"
#include "from_tcl.hpp"
#include "bridge/tkapp.hpp"
#include "bridge/tclvar.hpp"

namespace trivex::tktext {

using glue::Ref;

using tcl::on_interp_thread;
using tcl::TkappHead;

// f() with the binding's typed results off; the setting is restored on every
// way out.  Only for a `tk` that on_interp_thread() accepted: its head is
// known, and the setting is the one field the binding's wantobjects() method
// writes, so it is written here directly, saving two method calls per read.
// The binding reads it only on the thread running the call, this one.
template <class F>
Ref with_text_results(PyObject* tk, F&& f) {
  auto* head = reinterpret_cast<TkappHead*>(tk);
  if (!head->wantobjects) return f();
  struct Restore {
    TkappHead* head;
    int was;
    ~Restore() { head->wantobjects = was; }
  } restore{head, head->wantobjects};
  head->wantobjects = 0;
  return f();
}

// tk.eval(quotify(words)): text, cut at a NUL.
inline Ref eval_words(PyObject* tk, PyObject* words) {
  Ref script = convert::quotify(words);
  return GLUE_CALL(tk, "eval", script.get());
}

// The text of the variable (or array element) `name`, looked up in the
// current frame as `set NAME` would.
inline Ref var_text(PyObject* tk, PyObject* name) {
  // A name a hook made is taken as the text a script would have spelt.
  Ref text = PyUnicode_Check(name) ? Ref::borrow(name) : convert::quotify_text(name);
  if (Ref direct = tclvar::read_text(tk, text.get())) return direct;
  if (!on_interp_thread(tk)) {
    Ref words = glue::tuple_of(GLUE_STR("set"), text.get());
    return eval_words(tk, words.get());
  }
  return with_text_results(tk, [&] { return GLUE_CALL(tk, "getvar", text.get()); });
}

// Whether names resolve now as they do at global level: no proc or lambda
// is running, and the current namespace is the global one.
inline bool at_global_level(PyObject* tk) {
  Ref level = GLUE_CALL(tk, "eval", GLUE_STR("::info level"));
  if (!PyUnicode_Check(level.get()) || PyUnicode_CompareWithASCIIString(level.get(), "0") != 0) return false;
  Ref ns = GLUE_CALL(tk, "eval", GLUE_STR("::namespace current"));
  return PyUnicode_Check(ns.get()) && PyUnicode_CompareWithASCIIString(ns.get(), "::") == 0;
}

// The result text of the command whose words are `words` (a tuple), with
// names resolved in the current frame, as tk.eval(quotify(words)) gives it
// when nothing is cut.  `global_names` says the names mean the same in
// every frame (they are absolute).
inline Ref words_text(PyObject* tk, PyObject* words, bool global_names) {
  if (!on_interp_thread(tk)) return eval_words(tk, words);
  if (global_names || at_global_level(tk))
    return with_text_results(tk, [&] { return GLUE_CALL(tk, "call", words); });
  Ref script = convert::quotify(words);
  // "::encoding convertto utf-8 [::eval ELEMENT]": the script as one list
  // element always parses back as itself, also inside the brackets (it has
  // spaces, so it is braced, or else every special character is escaped).
  unsigned flags = convert::scan_text(script.get());
  Ref element = convert::quote_element(script, flags);
  Ref open = glue::check(PyUnicode_Concat(GLUE_STR("::encoding convertto utf-8 [::eval "), element.get()));
  Ref wrapped = glue::check(PyUnicode_Concat(open.get(), GLUE_STR("]")));
  Ref text = GLUE_CALL(tk, "eval", wrapped.get());
  // The byte array's text is one character per byte.
  Ref bytes = glue::check(PyUnicode_AsLatin1String(text.get()));
  return tcl::decode_tcl_text(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

}  // namespace trivex::tktext
