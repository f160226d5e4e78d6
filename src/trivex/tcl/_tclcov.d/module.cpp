// Module trivex.tcl._tclcov: the Tcl functions it calls, and its table
// (see tclcov.hpp).
#include "tclcov.hpp"

namespace trivex::tclcov {

const CovApi& cov_api() {
  static CovApi a;
  if (!a.ready) {
    using trivex::tcl::resolve;
    const trivex::tcl::Api& base = trivex::tcl::api();
    CovApi n;
    resolve(base.handle, n.CreateObjTrace, "Tcl_CreateObjTrace");
    resolve(base.handle, n.DeleteTrace, "Tcl_DeleteTrace");
    resolve(base.handle, n.GetSrcInfoForPc, "TclGetSrcInfoForPc");
    resolve(base.handle, n.FreeObj, "TclFreeObj");
    resolve(base.handle, n.GetStringFromObj, "Tcl_GetStringFromObj");
    resolve(base.handle, n.ParseCommand, "Tcl_ParseCommand");
    resolve(base.handle, n.FreeParse, "Tcl_FreeParse");
    resolve(base.handle, n.CreateObjCommand, "Tcl_CreateObjCommand");
    resolve(base.handle, n.DeleteCommandFromToken, "Tcl_DeleteCommandFromToken");
    resolve(base.handle, n.FirstHashEntry, "Tcl_FirstHashEntry");
    resolve(base.handle, n.NextHashEntry, "Tcl_NextHashEntry");
    resolve(base.handle, n.RegisterLiteral, "TclRegisterLiteral");
    resolve(base.handle, n.ExpandCodeArray, "TclExpandCodeArray");
    resolve(base.handle, n.InterpDeleted, "Tcl_InterpDeleted");
    resolve(base.handle, n.ProcObjCmd, "Tcl_ProcObjCmd");
    resolve(base.handle, n.GetOriginalCommand, "TclGetOriginalCommand");
    int patch = 0, type = 0;
    base.GetVersion(&n.major, &n.minor, &patch, &type);
    n.ready = true;
    a = n;
  }
  return a;
}

namespace {

const char* const kModuleDoc =
    "Native half of Tcl line coverage: executable lines by Tcl's parser, and\n"
    "an object trace that records which lines of measured files run.\n"
    "\n"
    "Use trivex.tcl.coverage; this module's interface is private.";

const char* const kCommandLinesDoc =
    "Line numbers on which a Tcl command begins in a script, nested bodies included.\n"
    "\n"
    "Arguments:\n"
    "    text: the script, as read from its file.\n"
    "\n"
    "Returns:\n"
    "    (lines, reported): a sorted tuple of 1-based line numbers, and a dict\n"
    "    mapping the lines Tcl reports for commands in apply lambdas to their\n"
    "    real lines, where the two differ.";

const char* const kOpenDoc =
    "Open a coverage session measuring the given files.\n"
    "\n"
    "Arguments:\n"
    "    files: a mapping of real paths to their number of lines.\n"
    "\n"
    "Returns:\n"
    "    The session's id.";

const char* const kAttachDoc =
    "Trace a Tcl interpreter (by its address) into a session.\n"
    "\n"
    "Returns:\n"
    "    False when the interpreter was already traced by that session.";

const char* const kDetachDoc = "Stop tracing one interpreter (by its address), or all of a session's when None.";

const char* const kHitsDoc =
    "The session's data: {real path: (lines run outside lambdas, lines run inside)}, as Tcl numbers them.";

const char* const kCloseDoc = "Stop all of a session's traces and forget its data.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tclcov", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

}  // namespace
}  // namespace trivex::tclcov

PyMODINIT_FUNC PyInit__tclcov() {
  using namespace trivex::tclcov;
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    m.function({"command_lines", "(text, /)", command_lines, kCommandLinesDoc});
    m.function({"open_session", "(files, /)", open_session, kOpenDoc});
    m.function({"attach", "(session, interpaddr, /)", attach, kAttachDoc});
    m.function({"detach", "(session, interpaddr=None, /)", detach, kDetachDoc});
    m.function({"hits", "(session, /)", hits, kHitsDoc});
    m.function({"close_session", "(session, /)", close_session, kCloseDoc});
  });
}
