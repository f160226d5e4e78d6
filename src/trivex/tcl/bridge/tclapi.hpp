// The few Tcl C functions the package calls, resolved from the Tcl shared
// library that module `internal` loads (its `TclDLL`).
//
// No Tcl header is needed: the prototypes below are those of Tcl 8.4-8.6.
// Module `internal` hands the library's dlopen handle to `init_api()` while
// it loads; any other module calls `api()`, which imports `internal` on first
// use and takes the handle from `TclDLL._handle`.
//
// Tcl interpreters reach us from tkinter, which embeds its own Tcl.  If the
// library `internal` loaded is another one (another version found first in
// the search order), handing it a tkinter interpreter would corrupt memory;
// `interp_from_address()`, the one way C++ code gets a Tcl_Interp* from an
// address, refuses that with a TclError naming both versions.
//
// Text crosses in Tcl's byte form ("modified UTF-8", core/tclcodec.hpp):
// `encode_tcl_text` is in to_tcl.hpp, `decode_tcl_text` in from_tcl.hpp.
#pragma once

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "glue/glue.hpp"

namespace trivex::tcl {

struct Tcl_Interp;
struct Tcl_Obj;
struct Tcl_Namespace;
using ClientData = void*;
using Tcl_ObjCmdProc = int(ClientData, Tcl_Interp*, int, Tcl_Obj* const*);
using Tcl_CmdProc = int(ClientData, Tcl_Interp*, int, const char**);
using Tcl_CmdDeleteProc = void(ClientData);

struct Tcl_CmdInfo {
  int isNativeObjectProc;
  Tcl_ObjCmdProc* objProc;
  ClientData objClientData;
  Tcl_CmdProc* proc;
  ClientData clientData;
  Tcl_CmdDeleteProc* deleteProc;
  ClientData deleteData;
  Tcl_Namespace* namespacePtr;
};

// The head of a Tcl_Obj, as tcl.h makes it public.
struct TclObjHead {
  int refCount;
  char* bytes;
  int length;
  const void* typePtr;
};

constexpr int TCL_OK = 0;
constexpr int TCL_ERROR = 1;

struct Api {
  void* handle = nullptr;
  int (*FindElement)(Tcl_Interp*, const char*, int, const char**, const char**, int*, int*) = nullptr;
  int (*CopyAndCollapse)(int, const char*, char*) = nullptr;
  const char* (*GetStringResult)(Tcl_Interp*) = nullptr;
  void (*ResetResult)(Tcl_Interp*) = nullptr;
  void (*GetVersion)(int*, int*, int*, int*) = nullptr;
  int (*GetCommandInfo)(Tcl_Interp*, const char*, Tcl_CmdInfo*) = nullptr;
  int (*SetCommandInfo)(Tcl_Interp*, const char*, const Tcl_CmdInfo*) = nullptr;
  void (*SetObjResult)(Tcl_Interp*, Tcl_Obj*) = nullptr;
  Tcl_Obj* (*NewStringObj)(const char*, int) = nullptr;
  void (*AddErrorInfo)(Tcl_Interp*, const char*) = nullptr;
  void (*SetErrorCode)(Tcl_Interp*, ...) = nullptr;
  int (*GetBoolean)(Tcl_Interp*, const char*, int*) = nullptr;
  int (*GetDouble)(Tcl_Interp*, const char*, double*) = nullptr;
  int (*GetWideIntFromObj)(Tcl_Interp*, Tcl_Obj*, long long*) = nullptr;
  void (*DbIncrRefCount)(Tcl_Obj*, const char*, int) = nullptr;
  void (*DbDecrRefCount)(Tcl_Obj*, const char*, int) = nullptr;
  const void* (*GetObjType)(const char*) = nullptr;
  Tcl_Obj* (*GetReturnOptions)(Tcl_Interp*, int) = nullptr;
  char* (*GetStringFromObj)(Tcl_Obj*, int*) = nullptr;
  Tcl_Obj* (*NewDictObj)() = nullptr;
  Tcl_Obj* (*GetVar2Ex)(Tcl_Interp*, const char*, const char*, int) = nullptr;
  Tcl_Obj* (*SetVar2Ex)(Tcl_Interp*, const char*, const char*, Tcl_Obj*, int) = nullptr;
  int (*UnsetVar2)(Tcl_Interp*, const char*, const char*, int) = nullptr;
};

namespace detail {

inline Api& api_storage() {
  static Api a;
  return a;
}

}  // namespace detail

// Point `slot` at the library's function `name`.  Every module resolves the
// Tcl functions it calls this way, when it is imported: a library without
// one of them cannot serve the module, and the import fails with the
// AttributeError a missing symbol has always raised here.
template <class F>
void resolve(void* handle, F*& slot, const char* name) {
  void* p = dlsym(handle, name);
  if (!p) glue::raisef(PyExc_AttributeError, "Tcl library: undefined symbol: %s", name);
  slot = reinterpret_cast<F*>(p);
}

// Resolve the functions from a dlopen handle of the Tcl library.
inline const Api& init_api(void* handle) {
  Api a;
  a.handle = handle;
  resolve(handle, a.FindElement, "TclFindElement");
  resolve(handle, a.CopyAndCollapse, "TclCopyAndCollapse");
  resolve(handle, a.GetStringResult, "Tcl_GetStringResult");
  resolve(handle, a.ResetResult, "Tcl_ResetResult");
  resolve(handle, a.GetVersion, "Tcl_GetVersion");
  resolve(handle, a.GetCommandInfo, "Tcl_GetCommandInfo");
  resolve(handle, a.SetCommandInfo, "Tcl_SetCommandInfo");
  resolve(handle, a.SetObjResult, "Tcl_SetObjResult");
  resolve(handle, a.NewStringObj, "Tcl_NewStringObj");
  resolve(handle, a.AddErrorInfo, "Tcl_AddErrorInfo");
  resolve(handle, a.SetErrorCode, "Tcl_SetErrorCode");
  resolve(handle, a.GetBoolean, "Tcl_GetBoolean");
  resolve(handle, a.GetDouble, "Tcl_GetDouble");
  resolve(handle, a.GetWideIntFromObj, "Tcl_GetWideIntFromObj");
  resolve(handle, a.DbIncrRefCount, "Tcl_DbIncrRefCount");
  resolve(handle, a.DbDecrRefCount, "Tcl_DbDecrRefCount");
  resolve(handle, a.GetObjType, "Tcl_GetObjType");
  resolve(handle, a.GetReturnOptions, "Tcl_GetReturnOptions");
  resolve(handle, a.GetStringFromObj, "Tcl_GetStringFromObj");
  resolve(handle, a.NewDictObj, "Tcl_NewDictObj");
  resolve(handle, a.GetVar2Ex, "Tcl_GetVar2Ex");
  resolve(handle, a.SetVar2Ex, "Tcl_SetVar2Ex");
  resolve(handle, a.UnsetVar2, "Tcl_UnsetVar2");
  detail::api_storage() = a;
  return detail::api_storage();
}

// The functions of the library module `internal` loaded.
inline const Api& api() {
  Api& a = detail::api_storage();
  if (!a.handle) {
    glue::Ref dll = glue::import_attr(GLUE_MODULE_NAME("internal"), "TclDLL");
    glue::Ref handle = glue::getattr(dll.get(), "_handle");
    void* h = PyLong_AsVoidPtr(handle.get());
    if (!h && PyErr_Occurred()) throw glue::PythonError{};
    init_api(h);
  }
  return a;
}

// Whether the Tcl object `obj` has the string rep `data` (its bytes made).
inline bool holds_text(const Tcl_Obj* obj, const char* data, Py_ssize_t size) {
  auto* head = reinterpret_cast<const TclObjHead*>(obj);
  return head->bytes && head->length == size && std::memcmp(head->bytes, data, static_cast<size_t>(size)) == 0;
}

// Whether this is Python's main thread, the one thread on which objects are
// kept from call to call (kept_text below, the command words of tclcmd.hpp)
// until the process ends.  Another thread's would outlive it: nothing tells
// Python code that a thread is about to end or to hand its Tcl data back.
inline bool on_main_thread() {
  static const unsigned long main_ident = [] {
    glue::Ref main = glue::call(glue::import_attr("threading", "main_thread").get());
    glue::Ref ident = glue::getattr(main.get(), "ident");
    unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw glue::PythonError{};
    return id;
  }();
  return PyThread_get_thread_ident() == main_ident;
}

// The Tcl string object for `data`, kept in `slot` by one thread from
// call to call, so that what Tcl learns about a name stays with the name's
// object: the kept one while it still holds those bytes, else a new one,
// which then takes the slot.  The slot owns one reference.
inline Tcl_Obj* kept_text(Tcl_Obj*& slot, const char* data, Py_ssize_t size) {
  if (slot && holds_text(slot, data, size)) return slot;
  const Api& a = api();
  Tcl_Obj* fresh = a.NewStringObj(data, static_cast<int>(size));
  a.DbIncrRefCount(fresh, __FILE__, __LINE__);
  if (slot) a.DbDecrRefCount(slot, __FILE__, __LINE__);
  slot = fresh;
  return fresh;
}

inline std::string version_text(void (*get_version)(int*, int*, int*, int*)) {
  int major = 0, minor = 0, patch = 0, type = 0;
  get_version(&major, &minor, &patch, &type);
  static const char* const kinds[] = {"a", "b", "."};
  const char* sep = type >= 0 && type <= 2 ? kinds[type] : ".";
  return std::to_string(major) + "." + std::to_string(minor) + sep + std::to_string(patch);
}

// Whether the library `api()` uses is the Tcl that tkinter embeds.  Decided
// once, by resolving one Tcl function in _tkinter's own symbol scope.  Sets
// `tkinter_version` to that Tcl's version when they differ.
inline bool same_tcl_as_tkinter(std::string* tkinter_version = nullptr) {
  static int verdict = -1;
  static std::string other;
  if (verdict < 0) {
    glue::Ref tk = glue::import("_tkinter");
    glue::Ref file = glue::getattr(tk.get(), "__file__");
    const char* path = PyUnicode_AsUTF8(file.get());
    if (!path) throw glue::PythonError{};
    void* h = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
    void* theirs = h ? dlsym(h, "Tcl_GetVersion") : nullptr;
    if (h) dlclose(h);
    void* ours = reinterpret_cast<void*>(api().GetVersion);
    verdict = !theirs || theirs == ours;
    if (!verdict) other = version_text(reinterpret_cast<void (*)(int*, int*, int*, int*)>(theirs));
  }
  if (tkinter_version) *tkinter_version = other;
  return verdict == 1;
}

// The Tcl_Interp* at `address` (tkinter's interpaddr()), after making sure
// it belongs to the library we call into.
inline Tcl_Interp* interp_from_address(void* address) {
  std::string theirs;
  if (!same_tcl_as_tkinter(&theirs)) {
    glue::Ref tcl_error = glue::import_attr("tkinter", "TclError");
    std::string ours = version_text(api().GetVersion);
    glue::raisef(tcl_error.get(),
                 "the Tcl library loaded by trivex.tcl.internal (Tcl %s) is not the one tkinter embeds "
                 "(Tcl %s); refusing to hand it a tkinter interpreter",
                 ours.c_str(), theirs.c_str());
  }
  return static_cast<Tcl_Interp*>(address);
}

// The Tcl_Interp* of a tkinter.Tk or _tkinter application object.
inline Tcl_Interp* interp_of(PyObject* tk) {
  glue::Ref addr = glue::call_method(tk, GLUE_STR("interpaddr"));
  void* p = PyLong_AsVoidPtr(addr.get());
  if (!p && PyErr_Occurred()) throw glue::PythonError{};
  return interp_from_address(p);
}

}  // namespace trivex::tcl
