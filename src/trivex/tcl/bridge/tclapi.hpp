// The few Tcl C functions the package calls, resolved from the Tcl shared
// library that module `internal` loads (its `TclDLL`), and the conversions
// of text between Tcl's byte form and Python str.
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
// Text: Tcl keeps strings as "modified UTF-8": NUL is the two bytes C0 80 and
// characters beyond the BMP are UTF-16 surrogate pairs, each surrogate
// written as three UTF-8 bytes.  `decode_tcl_text` reads that exactly as
// tkinter does; `encode_tcl_text` writes it.
#pragma once

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "core/tclcodec.hpp"
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
};

namespace detail {

inline Api& api_storage() {
  static Api a;
  return a;
}

template <class F>
void resolve(void* handle, F*& slot, const char* name) {
  void* p = dlsym(handle, name);
  if (!p) glue::raisef(PyExc_AttributeError, "%s: undefined symbol: %s", "Tcl library", name);
  slot = reinterpret_cast<F*>(p);
}

}  // namespace detail

// Resolve the functions from a dlopen handle of the Tcl library.
inline const Api& init_api(void* handle) {
  Api a;
  a.handle = handle;
  detail::resolve(handle, a.FindElement, "TclFindElement");
  detail::resolve(handle, a.CopyAndCollapse, "TclCopyAndCollapse");
  detail::resolve(handle, a.GetStringResult, "Tcl_GetStringResult");
  detail::resolve(handle, a.ResetResult, "Tcl_ResetResult");
  detail::resolve(handle, a.GetVersion, "Tcl_GetVersion");
  detail::resolve(handle, a.GetCommandInfo, "Tcl_GetCommandInfo");
  detail::resolve(handle, a.SetCommandInfo, "Tcl_SetCommandInfo");
  detail::resolve(handle, a.SetObjResult, "Tcl_SetObjResult");
  detail::resolve(handle, a.NewStringObj, "Tcl_NewStringObj");
  detail::resolve(handle, a.AddErrorInfo, "Tcl_AddErrorInfo");
  detail::resolve(handle, a.SetErrorCode, "Tcl_SetErrorCode");
  detail::resolve(handle, a.GetBoolean, "Tcl_GetBoolean");
  detail::resolve(handle, a.GetDouble, "Tcl_GetDouble");
  detail::resolve(handle, a.GetWideIntFromObj, "Tcl_GetWideIntFromObj");
  detail::resolve(handle, a.DbIncrRefCount, "Tcl_DbIncrRefCount");
  detail::resolve(handle, a.DbDecrRefCount, "Tcl_DbDecrRefCount");
  detail::resolve(handle, a.GetObjType, "Tcl_GetObjType");
  detail::resolve(handle, a.GetReturnOptions, "Tcl_GetReturnOptions");
  detail::resolve(handle, a.GetStringFromObj, "Tcl_GetStringFromObj");
  detail::api_storage() = a;
  return detail::api_storage();
}

// The functions of the library module `internal` loaded.
inline const Api& api() {
  Api& a = detail::api_storage();
  if (!a.handle) {
    glue::Ref dll = glue::import_attr("trivex.tcl.internal", "TclDLL");
    glue::Ref handle = glue::getattr(dll.get(), "_handle");
    void* h = PyLong_AsVoidPtr(handle.get());
    if (!h && PyErr_Occurred()) throw glue::PythonError{};
    init_api(h);
  }
  return a;
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

// Tcl bytes -> str, as tkinter reads Tcl strings: strict UTF-8 when that
// works; otherwise C0 80 is NUL, undecodable bytes are kept as lone
// surrogates (surrogateescape), and whole encoded surrogate pairs are joined.
inline glue::Ref decode_tcl_text(const char* s, Py_ssize_t size) {
  PyObject* r = PyUnicode_DecodeUTF8(s, size, nullptr);
  if (r) return glue::Ref::steal(r);
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw glue::PythonError{};
  PyErr_Clear();
  std::string buf;
  if (tclcodec::may_hold_nul_pairs(s, static_cast<size_t>(size))) {
    tclcodec::collapse_nul_pairs(s, static_cast<size_t>(size), buf);
    s = buf.data();
    size = static_cast<Py_ssize_t>(buf.size());
  }
  glue::Ref u = glue::check(PyUnicode_DecodeUTF8(s, size, "surrogateescape"));
  if (PyUnicode_KIND(u.get()) == PyUnicode_1BYTE_KIND) return u;
  Py_ssize_t len = PyUnicode_GET_LENGTH(u.get());
  Py_ssize_t i = PyUnicode_FindChar(u.get(), tclcodec::kEscapedED, 0, len, 1);
  if (i == -2) throw glue::PythonError{};
  if (i == -1) return u;
  Py_UCS4* cp = PyUnicode_AsUCS4Copy(u.get());
  if (!cp) throw glue::PythonError{};
  Py_ssize_t j = static_cast<Py_ssize_t>(
      tclcodec::join_escaped_pairs(cp, static_cast<size_t>(len), static_cast<size_t>(i)));
  PyObject* out = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cp, j);
  PyMem_Free(cp);
  return glue::check(out);
}

// str -> Tcl bytes: UTF-8 with NUL as C0 80 and characters beyond the BMP as
// surrogate pairs (three bytes each).
inline std::string encode_tcl_text(PyObject* s) {
  std::string out;
  glue::with_chars(s, [&](const auto* d, size_t n) { tclcodec::encode(d, n, out); });
  return out;
}

}  // namespace trivex::tcl
