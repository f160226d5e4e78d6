// Variables that nothing watches, read and written straight through Tcl.
//
// tkinter's getvar() and setvar() release the GIL around Tcl_GetVar2Ex and
// Tcl_SetVar2Ex, because the access may fire a variable trace, and a trace
// may run a Python command, which takes the GIL back.  An access that fires
// no trace runs no Tcl code at all: Tcl looks the name up in the tables of
// the current frame or namespace and hands back the value object, or swaps
// the new one in (dropping the old one, whose type may free its internal
// form, C code again).  Such accesses are made here with the GIL held,
// through the very functions Tcl_GetVar2Ex and Tcl_SetVar2Ex are made of
// (TclObjLookupVar, then the value, or TclPtrSetVar), which saves tkinter's
// argument parsing, the release and return of the GIL, and the conversion
// of the value to a typed Python object.  The conditions, each checked on
// every access (failing any, the caller goes through tkinter as before, so
// that every error, trace and conversion stays tkinter's):
//
// - the calling thread is the interpreter's own, and the interpreter is not
//   deleted (the caller has passed check_tk() and on_interp_thread());
// - the Tcl is 8.6, the one tkinter embeds (the structures below are 8.6's,
//   from tclInt.h);
// - no variable resolver is installed, for the interpreter or the current
//   namespace: those are extension code that the lookup would run;
// - the name, and a written text, are ASCII without NUL, so the bytes Tcl
//   gets are the ones tkinter would hand over (a written int that fits a C
//   long, a float, or a tuple or list of such values, becomes the object
//   tkinter makes of it);
// - the variable (after upvar links) and the array holding it carry no trace
//   for the access; a read needs the variable to exist as a scalar, a write
//   that it is not an array and not left over from a deleted array or
//   namespace.
//
// A read creates nothing.  A write creates the variable the way
// Tcl_SetVar2Ex would; when it then goes to tkinter after all, tkinter finds
// that very entry.  The text read is decoded as tkinter decodes Tcl text
// (from_tcl.hpp).  Nothing keeps a pointer into Tcl's variables past the
// access; the one object kept is a name (tclvar.cpp).
#pragma once

#include "glue/glue.hpp"

namespace trivex::tclvar {

// The text of variable `name` (as `set NAME` reads it, in the current
// frame), or null when it is not to be read here.
glue::Ref read_text(PyObject* tk, PyObject* name);

// tk.getvar(name) or tk.getvar(name, index) (`index` not null): for values
// that tkinter's conversion makes str, int or float of; null otherwise, and
// when the variable is not to be read here.
glue::Ref read_value(PyObject* tk, PyObject* name, PyObject* index);

// Sets variable `name`, or its element `index` when not null, to `value`
// (text, an int, a float or a list of them, as tkinter would hand it to
// Tcl), and says
// whether it did; false leaves the write to the caller.
bool write_value(PyObject* tk, PyObject* name, PyObject* index, PyObject* value);

}  // namespace trivex::tclvar
