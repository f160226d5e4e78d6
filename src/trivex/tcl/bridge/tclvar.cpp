// Direct variable accesses (see tclvar.hpp): the one file that reads Tcl's
// variable structures, so that tclInt.h stays out of every other file.
#include "bridge/tclapi.hpp"
#include "bridge/tkapp.hpp"
#include "from_tcl.hpp"
#include "bridge/tclvar.hpp"

#include <tclInt.h>

namespace trivex::tclvar {

using glue::Ref;

namespace {

struct VarApi {
  bool usable = false;
  decltype(&::TclObjLookupVar) ObjLookupVar = nullptr;
  decltype(&::TclPtrSetVar) PtrSetVar = nullptr;
};

// Resolved once; `usable` only for Tcl 8.6, the one tkinter embeds.
[[gnu::noinline]] const VarApi& var_api() {
  static const VarApi a = [] {
    VarApi r;
    const tcl::Api& base = tcl::api();
    int major = 0, minor = 0, patch = 0, type = 0;
    base.GetVersion(&major, &minor, &patch, &type);
    if (major != 8 || minor != 6 || !tcl::same_tcl_as_tkinter()) return r;
    tcl::resolve(base.handle, r.ObjLookupVar, "TclObjLookupVar");
    tcl::resolve(base.handle, r.PtrSetVar, "TclPtrSetVar");
    r.usable = true;
    return r;
  }();
  return a;
}

// The Tcl interpreter of `tk` when this thread may access its variables
// directly (see above), else null.
::Tcl_Interp* direct_interp(PyObject* tk) {
  if (!tcl::on_interp_thread(tk) || !var_api().usable) return nullptr;
  auto* interp = reinterpret_cast<::Interp*>(tcl::tkapp_interp(tk));
  if ((interp->flags & DELETED) || interp->resolverPtr) return nullptr;
  CallFrame* frame = interp->varFramePtr;
  if (frame && frame->nsPtr && frame->nsPtr->varResProc) return nullptr;
  return reinterpret_cast<::Tcl_Interp*>(interp);
}

// The bytes of `s` when it is ASCII without NUL.
bool plain_ascii(PyObject* s, const char*& data, Py_ssize_t& size) {
  if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return false;
  data = static_cast<const char*>(PyUnicode_DATA(s));
  size = PyUnicode_GET_LENGTH(s);
  return size <= INT_MAX && std::memchr(data, 0, static_cast<size_t>(size)) == nullptr;
}

// A Tcl string object holding `size` bytes, owned while it lives.
class NameObj {
 public:
  NameObj(const char* data, Py_ssize_t size) {
    const tcl::Api& a = tcl::api();
    obj_ = reinterpret_cast<::Tcl_Obj*>(a.NewStringObj(data, static_cast<int>(size)));
    obj_->refCount++;
  }
  ~NameObj() { tcl::api().DbDecrRefCount(reinterpret_cast<tcl::Tcl_Obj*>(obj_), __FILE__, __LINE__); }
  NameObj(const NameObj&) = delete;
  NameObj& operator=(const NameObj&) = delete;
  ::Tcl_Obj* get() const { return obj_; }

 private:
  ::Tcl_Obj* obj_;
};

}  // namespace

Ref read_text(PyObject* tk, PyObject* name) {
  const char* data;
  Py_ssize_t size;
  if (!plain_ascii(name, data, size)) return Ref();
  ::Tcl_Interp* interp = direct_interp(tk);
  if (!interp) return Ref();
  NameObj part1(data, size);
  Var* array = nullptr;
  Var* var = var_api().ObjLookupVar(interp, part1.get(), nullptr, 0, "read", 0, 0, &array);
  if (!var || (var->flags & VAR_TRACED_READ) || (array && (array->flags & VAR_TRACED_READ)) ||
      !TclIsVarScalar(var) || TclIsVarUndefined(var))
    return Ref();
  int length = 0;
  const char* bytes =
      tcl::api().GetStringFromObj(reinterpret_cast<tcl::Tcl_Obj*>(var->value.objPtr), &length);
  return tcl::decode_tcl_text(bytes, length);
}

bool write_text(PyObject* tk, PyObject* name, PyObject* value) {
  const char *name_data, *value_data;
  Py_ssize_t name_size, value_size;
  if (!plain_ascii(name, name_data, name_size) || !plain_ascii(value, value_data, value_size)) return false;
  ::Tcl_Interp* interp = direct_interp(tk);
  if (!interp) return false;
  NameObj part1(name_data, name_size);
  Var* array = nullptr;
  Var* var = var_api().ObjLookupVar(interp, part1.get(), nullptr, 0, "set", 1, 1, &array);
  if (!var || (var->flags & VAR_TRACED_WRITE) || (array && (array->flags & VAR_TRACED_WRITE)) ||
      TclIsVarArray(var) || TclIsVarDeadHash(var))
    return false;
  auto* text = reinterpret_cast<::Tcl_Obj*>(tcl::api().NewStringObj(value_data, static_cast<int>(value_size)));
  // Nothing is left that can make it fail; a failure would hand the unused
  // object back to Tcl's allocator itself.
  return var_api().PtrSetVar(interp, reinterpret_cast<Tcl_Var>(var), reinterpret_cast<Tcl_Var>(array),
                             part1.get(), nullptr, text, 0) != nullptr;
}

}  // namespace trivex::tclvar
