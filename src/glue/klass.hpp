// Classes and modules as Python builds them.
//
// A class is made by calling its metaclass (the most derived metaclass of its
// bases, as a class statement picks it) with its name, its bases and an
// ordered namespace.  The namespace holds `Function` objects, so class-body
// order, __qualname__, MRO, super(), abstract methods and instance __dict__
// all behave exactly as for a class written in Python.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "function.hpp"

namespace glue {

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
    return call(meta, name.get(), base_tuple.get(), ns.get());
  }

 private:
  const char* name_;
  const char* module_;
  std::string qualname_;
  std::vector<std::pair<std::string, Ref>> items_;
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
