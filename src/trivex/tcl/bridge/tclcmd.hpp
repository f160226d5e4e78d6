// Command words handed to tkinter as Tcl objects kept from call to call.
//
// Tcl finds the command a word names by looking the name up in the
// namespaces that apply, and keeps what it found inside the word's Tcl
// object, to be checked and reused the next time that object names a
// command: the command words of a compiled script are looked up once.  The
// word tkinter makes of a str is a new object on every call, so every call
// looks the name up afresh, which is a fifth of the cost of calling a
// plain command.
//
// So the command builder and TclCommand hand the command word over as a
// `_tkinter.Tcl_Obj` (tclobj.hpp) kept here, one per name, wrapping the
// Tcl object, which tkinter passes on as it is.  Before each use Tcl checks what
// it kept against the command's epoch, its namespace, the namespace the
// call runs in and the interpreter, so a renamed, deleted or redefined
// command, a call from another namespace and another interpreter all look
// the name up again, as a script's words do.
//
// The objects are kept by each module that calls, on the main thread only,
// and used only on the interpreter's own thread (Tcl objects are never shared
// between threads), for ASCII names without NUL (whose bytes are the ones
// tkinter would make).  A kept object is used again only while nothing but
// its wrapper holds it, nothing but this cache holds the wrapper, and it has
// no internal form other than a command's: a command may keep its own word
// (`info level 0`) or read it as anything, and Tcl code must see no more of
// the reuse than of a new word.  Otherwise a new pair takes its place.  The
// main thread keeps its few small pairs until the process ends.  Another
// thread keeps none: its pairs would have to go before the thread hands its
// Tcl data back (Tcl_FinalizeThread) or ends, and neither gives Python code a
// last word, so they would leak with the thread.
#pragma once

#include <cstring>

#include "bridge/tkapp.hpp"

namespace trivex::tcl {

namespace detail {

inline const void* command_name_type() {
  static const void* type = api().GetObjType("cmdName");
  return type;
}

// The kept pairs: a slot owns its wrapper, and the wrapper the one
// reference to its Tcl object that the slot counts on.
struct KeptWords {
  static constexpr size_t kSlots = 64;
  glue::Owned slot[kSlots];
};

// The main thread's kept pairs; null on any other thread.
inline KeptWords* kept_words() {
  static KeptWords kept;
  return on_main_thread() ? &kept : nullptr;
}

// The kept `_tkinter.Tcl_Obj` (of the trusted layout `type`) for the name
// `data`, made anew when missing, changed, held elsewhere or of another
// internal form (see above).
inline glue::Ref kept_command_word(KeptWords& kept, PyTypeObject* type, Py_hash_t hash, const char* data,
                                   Py_ssize_t size) {
  glue::Owned& slot = kept.slot[static_cast<size_t>(hash) % KeptWords::kSlots];
  if (slot && Py_REFCNT(slot) == 1) {
    Tcl_Obj* obj = reinterpret_cast<TclObjView*>(slot.get())->value;
    auto* head = reinterpret_cast<const TclObjHead*>(obj);
    if (head->refCount == 1 && (!head->typePtr || head->typePtr == command_name_type()) && holds_text(obj, data, size))
      return glue::Ref::borrow(slot);
  }
  glue::Ref fresh = tcl_obj_view(type, api().NewStringObj(data, static_cast<int>(size)));
  slot = fresh;
  return fresh;
}

}  // namespace detail

// The command word `word` of a call about to be made on the interpreter's
// own thread, as a `_tkinter.Tcl_Obj` holding the kept object; null when it
// goes as text.
inline glue::Ref command_word_obj(PyObject* word) {
  constexpr Py_ssize_t kLongest = 256;
  PyTypeObject* type = tcl_obj_layout().type;
  detail::KeptWords* kept = detail::kept_words();
  if (!type || !kept || !PyUnicode_CheckExact(word) || !PyUnicode_IS_ASCII(word)) return glue::Ref();
  Py_ssize_t size = PyUnicode_GET_LENGTH(word);
  const char* data = static_cast<const char*>(PyUnicode_DATA(word));
  if (size > kLongest || std::memchr(data, 0, static_cast<size_t>(size))) return glue::Ref();
  Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(word)->hash;  // names have theirs already
  if (hash == -1 && (hash = PyObject_Hash(word)) == -1) throw glue::PythonError{};
  return detail::kept_command_word(*kept, type, hash, data, size);
}

// The same for a call about to be made through `tk`, from any thread.
inline glue::Ref command_word_obj(PyObject* tk, PyObject* word) {
  if (!on_interp_thread(tk)) return glue::Ref();
  return command_word_obj(word);
}

// Puts the kept object in place of the command word of `words`, a tuple
// about to be handed to `tk.call` that nothing else holds; `checked` is what
// check_tk() returned for it.
inline void keep_command_word(const TkappHead* checked, PyObject* words) {
  if (!checked || Py_REFCNT(words) != 1 || PyTuple_GET_SIZE(words) == 0) return;
  glue::Ref obj = command_word_obj(PyTuple_GET_ITEM(words, 0));
  if (!obj) return;
  glue::Ref text = glue::Ref::steal(PyTuple_GET_ITEM(words, 0));
  PyTuple_SET_ITEM(words, 0, obj.release());
}

}  // namespace trivex::tcl
