// Classes and modules as Python builds them.
//
// A class is made by calling its metaclass (the most derived metaclass of its
// bases, as a class statement picks it) with its name, its bases and an
// ordered namespace.  The namespace holds `Function` objects, so class-body
// order, __qualname__, MRO, super(), abstract methods and instance __dict__
// all behave exactly as for a class written in Python.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "function.hpp"

namespace glue {

namespace detail {

// What getattr_slot found for a name: an instance attribute that the class
// does not define, or a method of the class (a non-data descriptor) that
// the instance does not shadow, to be bound on each read (or lent again,
// see below).  Valid while the type and the instance dict are the very ones
// seen and unmodified since (version tags are never reused).  The name is
// held, so that no other string can take its address.
struct AttrMemo {
  PyObject* name = nullptr;
  PyTypeObject* type = nullptr;
  unsigned int type_tag = 0;
  PyObject* dict = nullptr;
  uint64_t dict_tag = 0;
  PyObject* value = nullptr;  // borrowed from the instance dict or the class
  descrgetfunc bind = nullptr;
  PyObject* lent = nullptr;   // a bound method of `value`, kept to lend again (see below)
  PyObject* watch = nullptr;  // a weak reference to the lent method's self
};

constexpr size_t kAttrMemos = 256;  // few enough names collide to matter

inline AttrMemo* attr_memos() {
  static AttrMemo memo[kAttrMemos];
  return memo;
}

inline AttrMemo& attr_memo(PyObject* name) {
  return attr_memos()[(reinterpret_cast<uintptr_t>(name) >> 4) % kAttrMemos];
}

// Bound methods lent again.  `interp.eval(...)` makes a bound method that
// the call unpacks and frees at once; making and freeing it is a good part
// of a short call.  A class that asks for it (ClassBody::lend_methods)
// keeps the last method bound in each memo and hands it out again while
// nothing else holds it.  A kept method does not count its reference to
// self and is not tracked by the garbage collector, so keeping it never
// keeps self alive nor shows the collector a reference that is not
// counted.  It is given back when the memo moves on, when it is found held
// elsewhere, and when self is finalized: whoever holds it then gets an
// ordinary method, its self counted, so a method held past the last other
// reference to self keeps self alive as any bound method does.  Nothing is
// lent for a self already finalized.  Should self end without that
// finalizer (its class swapped for one without it), the weak reference
// `watch` gives the method back as self goes, bound to None.
inline PyMethodObject* as_method(PyObject* m) { return reinterpret_cast<PyMethodObject*>(m); }

inline bool lendable(PyObject* m, PyObject* self) {
  return m && as_method(m)->im_self == self && Py_REFCNT(m) == 1 && !as_method(m)->im_weakreflist;
}

// Ends the keeping of the memo's lent method: freed when nothing else holds
// it (its uncounted self untouched), else left to its holders as an
// ordinary method bound to `self_now` (its own self unless given), which it
// counts.
inline void give_back(AttrMemo& memo, PyObject* self_now = nullptr) {
  PyObject* lent = std::exchange(memo.lent, nullptr);
  if (!lent) return;
  Py_XDECREF(std::exchange(memo.watch, nullptr));
  PyMethodObject* m = as_method(lent);
  m->im_self = Py_NewRef(Py_REFCNT(lent) == 1 ? Py_None : self_now ? self_now : m->im_self);
  PyObject_GC_Track(lent);
  Py_DECREF(lent);
}

// tp_finalize of a class that lends methods: gives back all lent for `self`.
inline void give_back_lent(PyObject* self) {
  for (size_t i = 0; i < kAttrMemos; ++i) {
    AttrMemo& memo = attr_memos()[i];
    if (memo.lent && as_method(memo.lent)->im_self == self) give_back(memo);
  }
}

// The callback of `watch`: self is ending unfinalized, and cannot be kept.
inline PyObject* self_ended(PyObject*, PyObject* watch) {
  for (size_t i = 0; i < kAttrMemos; ++i) {
    AttrMemo& memo = attr_memos()[i];
    if (memo.watch == watch) give_back(memo, Py_None);
  }
  Py_RETURN_NONE;
}

// Keeps `m`, just bound to `self` in `memo`, to lend again when the class
// lends methods; gives back what the memo kept before.
inline void keep_to_lend(AttrMemo& memo, PyObject* self, PyObject* m) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_finalize != give_back_lent || !PyMethod_Check(m) || PyObject_GC_IsFinalized(self)) return;
  static PyMethodDef def = {"self_ended", self_ended, METH_O, nullptr};
  static PyObject* const callback = PyCFunction_New(&def, nullptr);
  PyObject* watch = callback ? PyWeakref_NewRef(self, callback) : nullptr;
  if (!watch) return PyErr_Clear();
  AttrMemo old = memo;
  memo.lent = Py_NewRef(m);
  memo.watch = watch;
  PyObject_GC_UnTrack(m);
  Py_DECREF(self);  // the kept method's reference, not counted while kept
  give_back(old);
}

// getattr_slot's method read past the lendable one: a new bound method.
[[gnu::noinline]] inline PyObject* bind_afresh(AttrMemo& memo, PyObject* self) {
  PyObject* m = memo.bind(memo.value, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (m) keep_to_lend(memo, self, m);
  return m;
}

// Remembers `found`, what normal lookup gave for `name` on `self`, when it is
// either kind of AttrMemo.
inline void remember_attr(PyObject* self, PyObject* name, PyObject* found) {
  if (!PyUnicode_CheckExact(name)) return;
  PyTypeObject* type = Py_TYPE(self);
  PyObject* dict = instance_dict(self);
  if (!dict || !PyDict_CheckExact(dict)) return;
  PyObject* descr = _PyType_Lookup(type, name);
  PyObject* own = PyDict_GetItemWithError(dict, name);
  if (!own && PyErr_Occurred()) return PyErr_Clear();
  descrgetfunc bind = nullptr;
  PyObject* value = nullptr;
  if (!descr && own == found) {
    value = own;
  } else if (descr && !own && Py_TYPE(descr)->tp_descr_get && !Py_TYPE(descr)->tp_descr_set &&
             (Py_IS_TYPE(descr, &PyFunction_Type) || Py_IS_TYPE(descr, function_type()))) {
    value = descr;
    bind = Py_TYPE(descr)->tp_descr_get;
  }
  if (!value || !valid_tag(type)) return;
  AttrMemo& memo = attr_memo(name);
  AttrMemo old = memo;
  memo = {Py_NewRef(name), type, type->tp_version_tag, dict, dict_tag(dict), value, bind};
  Py_XDECREF(old.name);
  give_back(old);
}

// getattr_slot past its memo: the normal lookup, and on a miss the body,
// without building the AttributeError the generic hook raises and then
// discards.
[[gnu::noinline]] inline PyObject* getattr_looked_up(PyObject* self, PyObject* name) {
  PyObject* found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
  if (found) {
    remember_attr(self, name, found);
    return found;
  }
  if (PyErr_Occurred()) return nullptr;
  static PyObject* key = PyUnicode_InternFromString("__getattr__");
  PyObject* hook = _PyType_Lookup(Py_TYPE(self), key);
  if (hook && Py_TYPE(hook) == function_type()) {
    if (binaryfunc body = reinterpret_cast<FunctionObject*>(hook)->binary) return body(self, name);
  }
  if (!hook) {
    PyErr_SetObject(PyExc_AttributeError, name);
    return nullptr;
  }
  PyObject* args[] = {self, name};
  return PyObject_Vectorcall(hook, args, 2, nullptr);
}

// tp_getattro of a class whose __getattr__ is a glue body.  What normal
// lookup finds is remembered (see AttrMemo): the package's objects are read
// from Python all the time, `interp.j` and `interp.eval` first.
inline PyObject* getattr_slot(PyObject* self, PyObject* name) {
  PyTypeObject* type = Py_TYPE(self);
  AttrMemo& memo = attr_memo(name);
  if (memo.name == name && memo.type == type && type->tp_version_tag == memo.type_tag && valid_tag(type)) {
    PyObject* dict = instance_dict(self);
    if (dict && dict == memo.dict && dict_tag(dict) == memo.dict_tag) {
      if (!memo.bind) return Py_NewRef(memo.value);
      if (lendable(memo.lent, self)) return Py_NewRef(memo.lent);
      return bind_afresh(memo, self);
    }
  }
  return getattr_looked_up(self, name);
}

// getattr_slot behind a class's own shortcut: `Shortcut` answers with a
// new reference, or with null and no error set when ordinary lookup is to
// run.
template <PyObject* (*Shortcut)(PyObject*, PyObject*)>
PyObject* getattr_slot_with(PyObject* self, PyObject* name) {
  if (PyObject* found = Shortcut(self, name)) return found;
  if (PyErr_Occurred()) return nullptr;
  return getattr_slot(self, name);
}

// A class's vectorcall entry (see ClassBody::call_entry), and the
// allocator that makes room for it: instances one pointer longer than the
// class's layout, the entry past the end.  `call` is the class's tp_call
// as built; while it is still the slot (Python 3.11 keeps calling a class's
// entry when __call__ is replaced), `Entry` runs, else the call goes the
// way of tp_call.
template <vectorcallfunc Entry>
struct CallEntry {
  static inline ternaryfunc call = nullptr;

  static PyObject* enter(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_TYPE(self)->tp_call == call) return Entry(self, args, nargsf, kwnames);
    return _PyObject_MakeTpCall(PyThreadState_Get(), self, args, PyVectorcall_NARGS(nargsf), kwnames);
  }

  static PyObject* alloc(PyTypeObject* type, Py_ssize_t nitems) {
    if (type->tp_alloc != alloc || !PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL))
      return PyType_GenericAlloc(type, nitems);
    // No collection (and so no Python code) runs while the class reads one
    // pointer longer.
    int collecting = PyGC_Disable();
    type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(vectorcallfunc));
    PyObject* obj = PyType_GenericAlloc(type, nitems);
    type->tp_basicsize -= static_cast<Py_ssize_t>(sizeof(vectorcallfunc));
    if (collecting) PyGC_Enable();
    if (obj) *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(obj) + type->tp_vectorcall_offset) = enter;
    return obj;
  }

  static void install(PyTypeObject* type) {
    call = type->tp_call;
    type->tp_vectorcall_offset = type->tp_basicsize;
    type->tp_alloc = alloc;
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
  }
};

// mp_ass_subscript of a class whose __setitem__ or __delitem__ is a glue
// body: the method for the operation, its body called directly.
inline int assign_item_slot(PyObject* self, PyObject* key, PyObject* value) {
  static PyObject* set_key = PyUnicode_InternFromString("__setitem__");
  static PyObject* del_key = PyUnicode_InternFromString("__delitem__");
  PyObject* name = value ? set_key : del_key;
  PyObject* method = _PyType_Lookup(Py_TYPE(self), name);
  if (!method) {
    PyErr_SetObject(PyExc_AttributeError, name);
    return -1;
  }
  PyObject* result = nullptr;
  auto* f = Py_TYPE(method) == function_type() ? reinterpret_cast<FunctionObject*>(method) : nullptr;
  if (f && value && f->ternary) {
    result = f->ternary(self, key, value);
  } else if (f && !value && f->binary) {
    result = f->binary(self, key);
  } else {
    PyObject* args[] = {self, key, value};
    result = PyObject_Vectorcall(method, args, value ? 3 : 2, nullptr);
  }
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

}  // namespace detail

class ClassBody {
 public:
  // `qualname` defaults to `name`; nested classes pass "Outer.Inner".
  ClassBody(const char* name, const char* module, const char* qualname = nullptr)
      : name_(name), module_(module), qualname_(qualname ? qualname : name) {}

  const std::string& qualname() const { return qualname_; }
  const char* module() const { return module_; }

  // A method; returns the function object (borrowed from the body).
  PyObject* method(const FunctionDef& def, std::initializer_list<NamedDefault> named = {},
                   PyObject* data = nullptr) {
    Ref f = make_function(def, module_, qualname_.c_str(), named, data);
    add(def.name, f.get());
    return f.get();
  }
  PyObject* staticmethod(const FunctionDef& def, std::initializer_list<NamedDefault> named = {},
                         PyObject* data = nullptr) {
    Ref f = make_function(def, module_, qualname_.c_str(), named, data);
    Ref sm = check(PyStaticMethod_New(f.get()));
    add(def.name, sm.get());
    return f.get();
  }
  PyObject* classmethod(const FunctionDef& def, std::initializer_list<NamedDefault> named = {},
                        PyObject* data = nullptr) {
    Ref f = make_function(def, module_, qualname_.c_str(), named, data);
    Ref cm = check(PyClassMethod_New(f.get()));
    add(def.name, cm.get());
    return f.get();
  }
  // Any other class attribute: an alias, a constant, a nested class.
  void add(const char* key, PyObject* value) {
    for (auto& item : items_)
      if (item.first == key) {
        item.second = Ref::borrow(value);
        return;
      }
    items_.emplace_back(key, Ref::borrow(value));
  }
  // A shortcut in front of the class's attribute lookup (its __getattr__
  // being a glue body): `F(self, name)` answers with a new reference when
  // it knows ordinary lookup would come to that answer, else with null (and
  // an error set only on failure).  Only the class itself uses it, as only
  // it has the glue body in its slot (see install_slots).
  template <PyObject* (*F)(PyObject*, PyObject*)>
  void attribute_shortcut() {
    getattro_ = detail::getattr_slot_with<F>;
  }

  // Methods read from instances of the class itself are lent again while
  // nothing else holds them, instead of being bound afresh on each read
  // (see keep_to_lend); the class's __getattr__ is a glue body.
  void lend_methods() { lend_methods_ = true; }

  // A vectorcall entry for the instances of the class itself (its __call__
  // being a glue body), which reads the arguments from the caller's stack
  // where tp_call would get them as a new tuple and dict.  The layout type()
  // gives the class stays as it is (copy and pickle compare an instance's
  // size with its attributes); the class's allocator makes each instance one
  // pointer longer and puts the entry past the end.  Subclasses are made
  // and called as type() makes and calls them.
  template <vectorcallfunc F>
  void call_entry() {
    install_call_entry_ = detail::CallEntry<F>::install;
  }

  // An attribute added earlier (borrowed), or null.
  PyObject* get(const char* key) const {
    for (const auto& item : items_)
      if (item.first == key) return item.second.get();
    return nullptr;
  }

  Ref build(std::initializer_list<PyObject*> bases, const char* doc = nullptr) const {
    Ref base_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (PyObject* b : bases) PyTuple_SET_ITEM(base_tuple.get(), i++, Py_NewRef(b));
    Ref ns = new_dict();
    Ref module_name = check(PyUnicode_FromString(module_));
    dict_set(ns.get(), "__module__", module_name.get());
    Ref qual = str_from(qualname_);
    dict_set(ns.get(), "__qualname__", qual.get());
    if (doc) {
      Ref d = check(PyUnicode_FromString(doc));
      dict_set(ns.get(), "__doc__", d.get());
    }
    for (const auto& item : items_) dict_set(ns.get(), item.first.c_str(), item.second.get());
    PyObject* meta = reinterpret_cast<PyObject*>(&PyType_Type);
    for (PyObject* b : bases) {
      PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(b));
      if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(meta), reinterpret_cast<PyTypeObject*>(t))) continue;
      if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(t), reinterpret_cast<PyTypeObject*>(meta))) {
        meta = t;
        continue;
      }
      raise(PyExc_TypeError,
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
            "metaclasses of all its bases");
    }
    Ref name = check(PyUnicode_FromString(name_));
    Ref cls = call(meta, name.get(), base_tuple.get(), ns.get());
    install_slots(reinterpret_cast<PyTypeObject*>(cls.get()));
    return cls;
  }

 private:
  // The glue function this body defines under `key` (or, with `inherited`,
  // the one `type` inherits under it from a base), if its body has the given
  // slot form and its signature the matching shape, else null.
  template <class Slot>
  Slot own_slot(const char* key, Slot FunctionObject::*slot, PyTypeObject* inherited = nullptr) const {
    PyObject* f = get(key);
    if (!f && inherited) {
      Ref name = check(PyUnicode_InternFromString(key));
      f = _PyType_Lookup(inherited, name.get());
    }
    if (!f || Py_TYPE(f) != function_type()) return nullptr;
    auto* function = reinterpret_cast<FunctionObject*>(f);
    const std::vector<Param>& params = function->sig->params;
    // A two- or three-parameter body serves a slot that passes exactly
    // those objects, except __call__, whose (self, /, *args, **kwargs) body
    // takes tp_call's tuple and dict (the dict null when no keywords).
    bool call_shape = params.size() == 3 && params[1].kind == ParamKind::var_positional &&
                      params[2].kind == ParamKind::var_keyword;
    bool plain_shape = function->sig->plain_positional();
    if (std::string_view(key) == "__call__" ? !call_shape : !plain_shape) return nullptr;
    return function->*slot;
  }

  // type() gives a class that defines a special method a generic slot that
  // looks the method up and calls it through a second argument conversion;
  // for a glue body that costs more than the body itself.  The glue bodies
  // go into the slots directly, also where a class built here inherits the
  // method from another built here.  This holds for this exact class only:
  // type() installs its generic slots again in subclasses made later and
  // whenever the special method is assigned to the class or a base, so the
  // slot never disagrees with the method.
  void install_slots(PyTypeObject* type) const {
    if (binaryfunc getitem = own_slot("__getitem__", &FunctionObject::binary, type))
      type->tp_as_mapping->mp_subscript = getitem;
    if (own_slot("__setitem__", &FunctionObject::ternary, type) ||
        own_slot("__delitem__", &FunctionObject::binary, type))
      type->tp_as_mapping->mp_ass_subscript = detail::assign_item_slot;
    if (ternaryfunc call_body = own_slot("__call__", &FunctionObject::ternary, type)) {
      type->tp_call = call_body;
      if (install_call_entry_) install_call_entry_(type);
    }
    if (own_slot("__getattr__", &FunctionObject::binary) && !get("__getattribute__")) {
      type->tp_getattro = getattro_;
      if (lend_methods_ && !type->tp_finalize) type->tp_finalize = detail::give_back_lent;
    }
  }

  const char* name_;
  const char* module_;
  std::string qualname_;
  std::vector<std::pair<std::string, Ref>> items_;
  getattrofunc getattro_ = detail::getattr_slot;
  void (*install_call_entry_)(PyTypeObject*) = nullptr;
  bool lend_methods_ = false;
};

// `super(cls, self)`
inline Ref super_of(PyObject* cls, PyObject* self) {
  return call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self);
}

// Module-level names are bound in the order the module adds them.
class ModuleBuilder {
 public:
  explicit ModuleBuilder(PyObject* module) : module_(module) {}
  const char* name() const { return PyModule_GetName(module_); }
  void add(const char* key, PyObject* value) { check_status(PyModule_AddObjectRef(module_, key, value)); }
  PyObject* function(const FunctionDef& def, std::initializer_list<NamedDefault> named = {},
                     PyObject* data = nullptr) {
    Ref f = make_function(def, name(), nullptr, named, data);
    add(def.name, f.get());
    return f.get();
  }
  // `from module import name` (bound under `as_name`, default the same name)
  PyObject* import_from(const char* module, const char* attr, const char* as_name = nullptr) {
    Ref v = import_attr(module, attr);
    add(as_name ? as_name : attr, v.get());
    return v.get();
  }
  PyObject* import_module(const char* module, const char* as_name) {
    Ref m = import(module);
    add(as_name, m.get());
    return m.get();
  }
  PyObject* module() const { return module_; }

 private:
  PyObject* module_;
};

// Single-phase module initialisation: create the module from `def`, then let
// `fill` bind its names in order.  Objects the module keeps in C++ statics
// live for the process, as the module itself does.
template <class Fill>
PyObject* init_module(PyModuleDef* def, Fill&& fill) noexcept {
  try {
    Ref m = check(PyModule_Create(def));
    ModuleBuilder mb(m.get());
    fill(mb);
    return m.release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace glue
