// Attribute access on the hot paths, with exactly the answers of ordinary
// lookup.
//
// The package's objects reach their interpreter through a weak proxy, and
// the interpreter is a tkinter.Tk subclass with a __getattr__: every
// `self.tcl.tk` would go through the proxy and through type()'s
// __getattr__-aware slot, several hundred instructions for what is one dict
// read.  These helpers take the short way whenever it gives the same answer
// as the long one, and the long one otherwise.
#pragma once

#include "ref.hpp"

namespace glue {

// The object a weak proxy stands for (ReferenceError once it is gone, as the
// proxy itself would say), or `obj` itself.
inline PyObject* referent(PyObject* obj) {
  if (!PyWeakref_CheckProxy(obj)) return obj;
  PyObject* target = PyWeakref_GET_OBJECT(obj);
  if (target == Py_None) raise(PyExc_ReferenceError, "weakly-referenced object no longer exists");
  return target;
}

namespace detail {

// Whether attribute lookup on instances of `type` is object's own (with or
// without a __getattr__ fallback): then a name the class does not define is
// looked up in the instance dict and nowhere else.
inline bool generic_lookup(PyTypeObject* type) {
  if (type->tp_getattro == PyObject_GenericGetAttr) return true;
  static PyObject* const object_getattribute =
      PyDict_GetItemString(PyBaseObject_Type.tp_dict, "__getattribute__");
  return _PyType_Lookup(type, GLUE_STR("__getattribute__")) == object_getattribute;
}

inline PyObject* instance_dict(PyObject* obj) {
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot ? *slot : nullptr;
}

}  // namespace detail

// `obj.name` for a plain instance attribute (proxies are looked through):
// read from the instance dict when the class defines nothing of that name,
// else by ordinary lookup.
inline Ref member(PyObject* obj, PyObject* name) {
  PyObject* target = referent(obj);
  PyTypeObject* type = Py_TYPE(target);
  if (detail::generic_lookup(type) && !_PyType_Lookup(type, name)) {
    if (PyObject* dict = detail::instance_dict(target)) {
      PyObject* v = PyDict_GetItemWithError(dict, name);
      if (v) return Ref::borrow(v);
      if (PyErr_Occurred()) throw PythonError{};
    }
  }
  return getattr(target, name);
}

// `obj.name(*args)` for a method the class defines (proxies are looked
// through): the class's function is called with `obj` prepended, as
// Python's own method calls do, unless the instance dict shadows it.
template <class... A>
Ref call_member(PyObject* obj, PyObject* name, A... args) {
  PyObject* target = referent(obj);
  PyTypeObject* type = Py_TYPE(target);
  if (detail::generic_lookup(type)) {
    PyObject* f = _PyType_Lookup(type, name);
    if (f && PyType_HasFeature(Py_TYPE(f), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      PyObject* dict = detail::instance_dict(target);
      int shadowed = dict ? PyDict_Contains(dict, name) : 0;
      if (shadowed < 0) throw PythonError{};
      if (!shadowed) {
        Ref keep = Ref::borrow(f);
        PyObject* argv[] = {target, static_cast<PyObject*>(args)...};
        return check(PyObject_Vectorcall(f, argv, 1 + sizeof...(A), nullptr));
      }
    }
  }
  return call_method(target, name, args...);
}

}  // namespace glue
