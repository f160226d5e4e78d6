// Module trivex.tcl._tclcov: the native half of Tcl line coverage.
//
// Two jobs, both needing Tcl's C level:
//
// 1. Which lines of a Tcl file are executable.  `command_lines` runs Tcl's
//    own parser (Tcl_ParseCommand) over the text and, for the commands whose
//    arguments are scripts that Tcl runs with their source location known
//    (proc and method bodies, the bodies of if/for/foreach/while/switch/try/
//    catch, namespace eval, apply lambdas, ...), over those bodies too.  A
//    line is executable when a command begins on it.
//
// 2. Which of those lines ran.  `attach` puts two probes into a Tcl
//    interpreter, described with the tracing code below: an object trace for
//    the commands Tcl invokes, and, for the commands Tcl compiles inline,
//    wrapped compile procedures that plant a one-shot marker call in the
//    byte code.  Both take the line from the source locations Tcl records
//    for `info frame` (the command frame chain and the byte code's command
//    location map), so a line counts exactly when `info frame` would have
//    reported it.  The probes rely on Tcl internals (tclInt.h and
//    tclCompile.h of Tcl 8.6: Interp, CmdFrame, Command, CompileEnv, the
//    instruction set, TclGetSrcInfoForPc); their layout differs between Tcl
//    minor versions, so `attach` checks at run time that the Tcl library in
//    the process is 8.6 and refuses any other.
//
// Tcl functions are called through pointers resolved from the Tcl library
// module `internal` loaded (see bridge/tclapi.hpp), never by symbol name.
//
// Files: parser.cpp finds the executable lines; probes.cpp holds the two
// probes (what runs inside Tcl) and the sessions that collect their
// findings; module.cpp the Tcl functions resolved and the module's table.
//
// Threads: the probes run on the interpreter's thread while Tcl runs,
// without the GIL (tkinter releases it around Tcl calls).  The hot one, the
// trace, touches only its own interpreter's state and its session's file
// table, which is fixed when the session opens.  The tables shared by all
// interpreters (states, wrapped compilers, markers) are changed under
// `registry_lock`, which the compile wrapper holds too.
//
// Naming: the body of a Python-visible function has the function's Python
// name; work shared between bodies lives in plain-named helpers.
#pragma once

#include "bridge/tclapi.hpp"
#include "to_tcl.hpp"

#include <tclInt.h>
#include <tclCompile.h>

namespace trivex::tclcov {

using glue::Ref;

// The Tcl functions only this module calls, resolved on first use.
struct CovApi {
  bool ready = false;
  Tcl_Trace (*CreateObjTrace)(Tcl_Interp*, int, int, Tcl_CmdObjTraceProc*, ClientData,
                              Tcl_CmdObjTraceDeleteProc*) = nullptr;
  void (*DeleteTrace)(Tcl_Interp*, Tcl_Trace) = nullptr;
  void (*GetSrcInfoForPc)(CmdFrame*) = nullptr;
  void (*FreeObj)(Tcl_Obj*) = nullptr;
  char* (*GetStringFromObj)(Tcl_Obj*, int*) = nullptr;
  int (*ParseCommand)(Tcl_Interp*, const char*, int, int, Tcl_Parse*) = nullptr;
  void (*FreeParse)(Tcl_Parse*) = nullptr;
  Tcl_Command (*CreateObjCommand)(Tcl_Interp*, const char*, Tcl_ObjCmdProc*, ClientData, Tcl_CmdDeleteProc*) = nullptr;
  int (*DeleteCommandFromToken)(Tcl_Interp*, Tcl_Command) = nullptr;
  Tcl_HashEntry* (*FirstHashEntry)(Tcl_HashTable*, Tcl_HashSearch*) = nullptr;
  Tcl_HashEntry* (*NextHashEntry)(Tcl_HashSearch*) = nullptr;
  int (*RegisterLiteral)(void*, char*, int, int) = nullptr;
  void (*ExpandCodeArray)(void*) = nullptr;
  int (*InterpDeleted)(Tcl_Interp*) = nullptr;
  Tcl_ObjCmdProc* ProcObjCmd = nullptr;
  Tcl_Command (*GetOriginalCommand)(Tcl_Command) = nullptr;
  int major = 0, minor = 0;
};

const CovApi& cov_api();

// The module's functions (module.cpp lists them).
extern const glue::Body command_lines;  // parser.cpp
extern const glue::Body open_session, attach, detach, hits, close_session;  // probes.cpp

}  // namespace trivex::tclcov
