// Direct variable accesses (see tclvar.hpp): the one file that reads Tcl's
// variable structures, so that tclInt.h stays out of every other file.
#include "bridge/tclapi.hpp"
#include "bridge/tkapp.hpp"
#include "from_tcl.hpp"
#include "bridge/tclvar.hpp"

#include <optional>
#include <vector>

#include <tclInt.h>

namespace trivex::tclvar {

using glue::Ref;

namespace {

struct VarApi {
  bool usable = false;
  decltype(&::TclObjLookupVar) ObjLookupVar = nullptr;
  decltype(&::TclPtrSetVar) PtrSetVar = nullptr;
  decltype(&::Tcl_NewLongObj) NewLongObj = nullptr;
  decltype(&::Tcl_NewDoubleObj) NewDoubleObj = nullptr;
  decltype(&::Tcl_NewListObj) NewListObj = nullptr;
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
    tcl::resolve(base.handle, r.NewLongObj, "Tcl_NewLongObj");
    tcl::resolve(base.handle, r.NewDoubleObj, "Tcl_NewDoubleObj");
    tcl::resolve(base.handle, r.NewListObj, "Tcl_NewListObj");
    r.usable = true;
    return r;
  }();
  return a;
}

// The Tcl interpreter of `tk` when this thread may access its variables
// directly (see above), else null.
::Tcl_Interp* direct_interp(PyObject* tk) {
  if (!tcl::on_interp_thread(tk) || !var_api().usable) return nullptr;
  // The head is known (on_interp_thread), and its Tcl is tkinter's (var_api).
  auto* interp = reinterpret_cast<::Interp*>(reinterpret_cast<tcl::TkappHead*>(tk)->interp);
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

// The name as a Tcl string object.  On the main thread the last one made is
// kept for the next access, which mostly names the same variable (the
// elements of one array, read in turn): Tcl keeps what the lookup learnt in
// the object and checks it before use, as it does for the names in a
// script.  No Python object: nothing to drop at exit but one small Tcl
// object.  Other threads make a new one each time (see on_main_thread).
class NameObj {
 public:
  NameObj(const char* data, Py_ssize_t size) {
    static tcl::Tcl_Obj* kept = nullptr;
    obj_ = reinterpret_cast<::Tcl_Obj*>(tcl::on_main_thread() ? tcl::kept_text(kept, data, size)
                                                              : tcl::api().NewStringObj(data, static_cast<int>(size)));
    obj_->refCount++;
  }
  ~NameObj() { tcl::api().DbDecrRefCount(reinterpret_cast<tcl::Tcl_Obj*>(obj_), __FILE__, __LINE__); }
  NameObj(const NameObj&) = delete;
  NameObj& operator=(const NameObj&) = delete;
  ::Tcl_Obj* get() const { return obj_; }

 private:
  ::Tcl_Obj* obj_;
};

// The variable `name` (or its element `index`, when not null) of the
// current frame, looked up as Tcl_GetVar2Ex (`create` false) or
// Tcl_SetVar2Ex (`create` true) would, when it may be accessed here.
struct Found {
  ::Tcl_Interp* interp = nullptr;
  Var* var = nullptr;
  Var* array = nullptr;
};

// Element `index` of the array `name` names, for reading: the array is
// looked up alone (so that its name object, kept, serves every element),
// then the element in its table, as Tcl's own element lookup does, with the
// index's text as a key object that lives on the stack for the one search
// (the table only reads it).
bool find_element(::Tcl_Obj* name, const char* index, Py_ssize_t size, Found& found) {
  Var* outer = nullptr;
  Var* array = var_api().ObjLookupVar(found.interp, name, nullptr, 0, "read", 0, 0, &outer);
  if (!array || outer || !TclIsVarArray(array) || (array->flags & VAR_TRACED_READ)) return false;
  ::Tcl_Obj key{};
  key.refCount = 1;
  key.bytes = const_cast<char*>(index);
  key.length = static_cast<int>(size);
  Tcl_HashTable* table = &array->value.tablePtr->table;
  Tcl_HashEntry* entry = table->findProc(table, reinterpret_cast<const char*>(&key));
  if (!entry) return false;
  found.var = reinterpret_cast<Var*>(reinterpret_cast<char*>(entry) - offsetof(VarInHash, entry));
  found.array = array;
  return !(found.var->flags & VAR_TRACED_READ);
}

// Needs found.interp, from direct_interp().
bool find(PyObject* name, PyObject* index, bool create, std::optional<NameObj>& part1, Found& found) {
  const char *name_data, *index_data = nullptr;
  Py_ssize_t name_size, index_size = 0;
  if (!plain_ascii(name, name_data, name_size) || (index && !plain_ascii(index, index_data, index_size)))
    return false;
  part1.emplace(name_data, name_size);
  if (index && !create) return find_element(part1->get(), index_data, index_size, found);
  // An ASCII str's data ends in NUL.
  found.var = var_api().ObjLookupVar(found.interp, part1->get(), index_data, 0, create ? "set" : "read", create,
                                     create, &found.array);
  if (!found.var) return false;
  int trace = create ? VAR_TRACED_WRITE : VAR_TRACED_READ;
  return !(found.var->flags & trace) && !(found.array && (found.array->flags & trace));
}

// The value of an existing scalar found for reading, else null.
::Tcl_Obj* value_of(const Found& found) {
  return TclIsVarScalar(found.var) && !TclIsVarUndefined(found.var) ? found.var->value.objPtr : nullptr;
}

Ref text_of(::Tcl_Obj* value) {
  int length = 0;
  const char* bytes = tcl::api().GetStringFromObj(reinterpret_cast<tcl::Tcl_Obj*>(value), &length);
  return tcl::decode_tcl_text(bytes, length);
}

// The object types whose values tkinter's conversion makes str, int and
// float of, known by the names it asks Tcl for them.
struct PlainTypes {
  const void *string, *integer, *floating;
};

const PlainTypes& plain_types() {
  static const PlainTypes t = [] {
    const tcl::Api& a = tcl::api();
    return PlainTypes{a.GetObjType("string"), a.GetObjType("int"), a.GetObjType("double")};
  }();
  return t;
}

// The value of variable `name` (element `index` when not null), when it
// may be read here and exists as a scalar; else null.
::Tcl_Obj* read(PyObject* tk, PyObject* name, PyObject* index) {
  std::optional<NameObj> part1;
  Found found;
  found.interp = direct_interp(tk);
  if (!found.interp || !find(name, index, false, part1, found)) return nullptr;
  return value_of(found);
}

}  // namespace

Ref read_text(PyObject* tk, PyObject* name) {
  ::Tcl_Obj* value = read(tk, name, nullptr);
  return value ? text_of(value) : Ref();
}

Ref read_value(PyObject* tk, PyObject* name, PyObject* index) {
  ::Tcl_Obj* value = read(tk, name, index);
  if (!value) return Ref();
  if (!reinterpret_cast<tcl::TkappHead*>(tk)->wantobjects) return text_of(value);
  const PlainTypes& types = plain_types();
  const void* type = value->typePtr;
  if (!type || type == types.string) return text_of(value);
  if (type == types.integer) return glue::check(PyLong_FromLong(value->internalRep.longValue));
  if (type == types.floating) return glue::check(PyFloat_FromDouble(value->internalRep.doubleValue));
  return Ref();
}

// Drops a Tcl object nobody holds yet.
void drop_new(::Tcl_Obj* obj) {
  obj->refCount++;
  tcl::api().DbDecrRefCount(reinterpret_cast<tcl::Tcl_Obj*>(obj), __FILE__, __LINE__);
}

// The Tcl object tkinter would make of `value`, for ASCII text without
// NUL, an int that fits a C long, a float, and a tuple or list of those
// (nested no deeper than a few levels); null for anything else.  No Python
// code runs meanwhile.
::Tcl_Obj* new_value(PyObject* value, int depth = 0) {
  const char* data;
  Py_ssize_t size;
  if (plain_ascii(value, data, size))
    return reinterpret_cast<::Tcl_Obj*>(tcl::api().NewStringObj(data, static_cast<int>(size)));
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow || (n == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return nullptr;
    }
    return var_api().NewLongObj(n);
  }
  if (PyFloat_CheckExact(value)) return var_api().NewDoubleObj(PyFloat_AS_DOUBLE(value));
  if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) && depth < 8) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
    if (n > INT_MAX) return nullptr;
    std::vector<::Tcl_Obj*> items;
    items.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      ::Tcl_Obj* item = new_value(PySequence_Fast_GET_ITEM(value, i), depth + 1);
      if (!item) {
        for (::Tcl_Obj* made : items) drop_new(made);
        return nullptr;
      }
      items.push_back(item);
    }
    return var_api().NewListObj(static_cast<int>(n), items.data());
  }
  return nullptr;
}

bool write_value(PyObject* tk, PyObject* name, PyObject* index, PyObject* value) {
  Found found;
  found.interp = direct_interp(tk);
  if (!found.interp) return false;
  // The value is made first, so that a value left to tkinter finds the
  // variables as they were.
  ::Tcl_Obj* obj = new_value(value);
  if (!obj) return false;
  std::optional<NameObj> part1;
  if (!find(name, index, true, part1, found) || TclIsVarArray(found.var) || TclIsVarDeadHash(found.var)) {
    drop_new(obj);
    return false;
  }
  // Nothing is left that can make it fail; a failure would hand the unused
  // object back to Tcl's allocator itself.
  return var_api().PtrSetVar(found.interp, reinterpret_cast<Tcl_Var>(found.var),
                             reinterpret_cast<Tcl_Var>(found.array), part1->get(), nullptr, obj, 0) != nullptr;
}

}  // namespace trivex::tclvar
