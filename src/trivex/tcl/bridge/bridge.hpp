// The bridge: everything that knows tkinter's or Tcl's private layout, and
// every call the package makes into Tcl's C library itself.
//
// Two roads lead into Tcl.  Most calls go through tkinter (`tk.call`,
// `tk.eval`, `getvar`, `createcommand`, ...), which converts values and
// handles threads and the GIL on its own.  A few go straight to Tcl's C
// functions, through pointers resolved from the Tcl library that module
// `internal` loads (tclapi.hpp; never by symbol name, and never through
// ctypes calls), after making sure that library is the one tkinter embeds.
// This essay is about the second road: which functions, on which thread,
// with the GIL held or not, and why that is safe.
//
//   tclapi.hpp    the functions resolved, and the Tcl_Interp* of an address
//                 (refused when tkinter runs another Tcl)
//   tkapp.hpp     the application object's head: its interpreter, owner
//                 thread and end; tkinter's own object recognised; the
//                 direct entry into its `call`
//   tclerror.hpp  the return options of a failure tkinter has just reported
//   tclobj.hpp    text holding NUL handed to tkinter as a Tcl object made
//                 here, in Tcl's own form; the probe that trusts its layout
//   tclcmd.hpp    command words handed to tkinter as Tcl objects kept per
//                 thread, so that Tcl looks each command up once
//   tktext.hpp    reading Tcl text whole (with NULs) through tkinter
//   tclvar.hpp    variables that nothing watches, read and written straight
//                 through Tcl (tclvar.cpp, the one file that includes
//                 tclInt.h; compiled into every module)
//   listwalk.hpp  the one walk over a list's elements with Tcl's scanner
//                 (TclFindElement), behind list splitting, the guessers'
//                 list checks and the coverage parser's braced lists
//   interposer.hpp  the C procedure put in front of tkinter's for Python
//                 callables published as commands, turning their failures
//                 into Tcl errors
//
// Threads.  A Tcl interpreter belongs to the thread that created it: its
// result, its allocation caches and its notifier are per thread.  tkinter
// checks the calling thread in `call`, but not in all of its readers, and a
// direct call checks nothing.  So every entry point that reaches an
// interpreter calls `check_tk()` (tkapp.hpp) first, which makes tkinter's
// own comparison and raises tkinter's own RuntimeError: direct calls that
// name an interpreter (Tcl_GetStringResult, Tcl_ResetResult,
// Tcl_GetReturnOptions, Tcl_Get/SetCommandInfo, Tcl_InterpDeleted/Active,
// the ending's Tcl_CreateInterp/DeleteInterp/Preserve/Release, the layout
// probe's Tcl_Get/SetVar2Ex and Tcl_UnsetVar2) are only ever made by the
// interpreter's own thread.  The calls that name none (TclFindElement,
// TclCopyAndCollapse, Tcl_GetDouble and Tcl_GetBoolean with no interpreter,
// a string object made, read and freed within one call) touch only the
// calling thread's own Tcl allocator.  The list walk names an interpreter
// only when a caller of `GetListFromAny` hands one for the error message,
// and then it is that caller's to use.  The Tcl objects made for text with
// NUL (tclobj.hpp) are made on the way into a call that check_tk() has let
// through, or for a callback's result, so on the interpreter's thread too;
// the Python object that carries one owns one reference, which tkinter's
// own deallocator drops.  The command words kept between calls
// (tclcmd.hpp) are kept per thread and handed over only on the
// interpreter's own thread, so no Tcl object is seen by two threads.
//
// The GIL.  Direct calls are made with the GIL held.  tkinter releases the
// GIL around each of its calls into Tcl and takes it back only when Tcl
// runs a Python command; none of our direct calls evaluates a script that
// could reach one (the one Tcl_Eval runs a fixed script in the ending's
// "sink" interpreter, which holds no Python command; the variable accesses
// of tclvar.hpp are made only when no trace or resolver could run), so Tcl
// never waits for a GIL we hold, and the calls are short enough that holding it costs
// other threads nothing worth releasing it for.  Inside a Python callback,
// tkinter's outer call into the same interpreter is suspended lower on this
// thread's stack; Tcl is re-entrant on its own thread, and reading the
// result or a command record there is what any Tcl command may do.
// tkinter also serialises its own calls with a lock that it holds while
// Tcl runs and drops while a callback runs; direct calls do not take it,
// which is safe because of the thread rule above.
//
// Code that runs while tkinter has released the GIL must not touch a
// Python object:
// - the callback interposer (interposer.hpp), which Tcl calls in place of
//   tkinter's command procedure:
//   around tkinter's procedure (which takes the GIL itself) it touches only
//   its counted record, a thread-local frame and Tcl (Tcl_SetObjResult,
//   Tcl_AddErrorInfo, Tcl_SetErrorCode), with text prepared in Tcl's byte
//   form while the GIL was held;
// - the sink's `destroy` (interpreter.d/ending.cpp), which deletes an interpreter
//   inside one of tkinter's calls precisely so that tkinter's command
//   records, freed by the deletion, take the GIL back as they expect;
// - the coverage probes (_tclcov.d/probes.cpp) and the cancellation handlers
//   (_testing.cpp), which say in their own essays how they keep to this;
//   where the latter need Python they take the GIL with PyGILState_Ensure.
//   Their watcher thread calls Tcl_AsyncMark alone, the one Tcl function
//   made to be called from any thread.
//
// Python code reached from inside Tcl.  A read of a variable through
// tkinter may fire a trace that calls back into Python: tkinter takes the
// GIL back for it on this thread, and the callback may use the same
// interpreter.  So nothing here keeps a pointer into Tcl (a result string,
// an object) across a call into tkinter: text is copied out first.  A
// failure's options are read by the first code that runs after tkinter
// reports it (tclerror.hpp), before anything else can run Tcl.  While
// tktext.hpp reads text with the application object's `wantobjects` off,
// a callback fired by that read sees it off too, as any other user of the
// object on this thread would.
//
// Layout.  tkinter's application object is read through one view of the
// head of its C struct (tkapp.hpp), trusted only once it has agreed with
// what the object reports of itself (interpaddr(), wantobjects()) and the
// Tcl it runs is ours; otherwise the code asks the object's methods, or
// leaves the checks to tkinter.  The direct entry into `call` reads
// tkinter's method table only for its final type.  tkinter's Tcl object
// (tclobj.hpp) is made here only after tkinter has handed back, through
// getvar(), an object known by its Tcl address, laid out as expected;
// otherwise text goes to tkinter as text.  Tcl's own structures
// are read only where tcl.h makes them public (the head of a Tcl_Obj, in
// from_tcl.hpp); the coverage tracer and the variable accesses read Tcl
// 8.6's private ones after checking the version.
#pragma once

#include "bridge/tclapi.hpp"
#include "bridge/tclerror.hpp"
#include "bridge/tkapp.hpp"
#include "bridge/tclcmd.hpp"
#include "bridge/tktext.hpp"
#include "bridge/listwalk.hpp"
#include "bridge/interposer.hpp"
