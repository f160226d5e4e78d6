// The callback interposer: a C function put in front of tkinter's command
// procedure in the Tcl record of a Python callable published as a Tcl
// command.  tkinter's procedure (argument and result conversion, the GIL)
// stays in charge; when the callable raises, the module's callback leaves
// the error's text in the frame opened here and returns normally, and the
// interposer turns the call into a Tcl error with that message, errorInfo
// and errorCode.  Everything here runs while tkinter has released the GIL:
// it touches plain C++ data and Tcl only, never a Python object.
#pragma once

#include <string>

#include "bridge/tclapi.hpp"

namespace trivex::tcl {

// What a failed callback leaves for the Tcl command that ran it: Tcl text
// (Tcl's byte form), so the interposer can use it without the GIL.
struct CallbackFrame {
  Tcl_Interp* interp = nullptr;
  bool failed = false;
  std::string message;  // "ExcType: text"
  std::string info;     // appended to errorInfo: the Python traceback
  std::string code;     // second word of errorCode
};

// The frame of the interposed command now running on this thread, while its
// callback has not started the user's callable yet; null otherwise.
inline thread_local CallbackFrame* t_frame = nullptr;

// tkinter's command record, with the interposer in front of it.  A command
// may be deleted while it runs (its callable renames it away, or replaces
// it); Tcl then calls the delete proc at once, so the record is counted:
// one reference for the Tcl command, one for each call in progress.  Only
// the interpreter's thread touches it.
struct Interposed {
  Tcl_ObjCmdProc* proc;
  ClientData data;
  Tcl_CmdDeleteProc* del;
  ClientData del_data;
  const Api* api;
  int refs = 1;
};

inline void interposed_release(Interposed* ip) {
  if (--ip->refs == 0) delete ip;
}

inline int interposed_proc(ClientData cd, Tcl_Interp* interp, int objc, Tcl_Obj* const objv[]) {
  auto* ip = static_cast<Interposed*>(cd);
  struct Hold {
    Interposed* ip;
    ~Hold() { interposed_release(ip); }
  } hold{ip};
  ++ip->refs;
  CallbackFrame frame;
  frame.interp = interp;
  CallbackFrame* outer = t_frame;
  t_frame = &frame;
  int rc = ip->proc(ip->data, interp, objc, objv);
  t_frame = outer;
  if (!frame.failed) return rc;
  // The Python exception is gone by now (its text is in `frame`); this is
  // where it becomes the Tcl error: result, errorInfo and errorCode.
  const Api& api = *ip->api;
  int size = frame.message.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(frame.message.size());
  api.SetObjResult(interp, api.NewStringObj(frame.message.data(), size));
  api.AddErrorInfo(interp, frame.info.c_str());
  api.SetErrorCode(interp, "PYTHON", frame.code.c_str(), static_cast<char*>(nullptr));
  return TCL_ERROR;
}

inline void interposed_deleted(ClientData cd) {
  auto* ip = static_cast<Interposed*>(cd);
  if (ip->del) ip->del(ip->del_data);
  interposed_release(ip);
}

// Put the interposer in front of the procedure of the command `name` (fully
// qualified, in Tcl's byte form) when it is an object command; otherwise
// leave the record alone.
inline void interpose(const Api& api, Tcl_Interp* interp, const char* name) {
  Tcl_CmdInfo info;
  if (!api.GetCommandInfo(interp, name, &info) || !info.isNativeObjectProc || !info.objProc) return;
  auto* ip = new Interposed{info.objProc, info.objClientData, info.deleteProc, info.deleteData, &api};
  info.objProc = interposed_proc;
  info.objClientData = ip;
  info.deleteProc = interposed_deleted;
  info.deleteData = ip;
  if (!api.SetCommandInfo(interp, name, &info)) delete ip;
}

}  // namespace trivex::tcl
