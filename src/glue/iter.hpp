// An iterator that asks for its items only when the first one is requested,
// as a generator function would: `lazy_iter(fn, args)` calls `fn(*args)` on
// the first next() and then yields the items of the iterable it returned.
#pragma once

#include "ref.hpp"

namespace glue {

namespace detail {

struct LazyIterObject {
  PyObject_HEAD
  PyObject* fn;    // cleared once called
  PyObject* args;
  PyObject* it;
};

inline int lazy_iter_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* o = reinterpret_cast<LazyIterObject*>(self);
  Py_VISIT(o->fn);
  Py_VISIT(o->args);
  Py_VISIT(o->it);
  return 0;
}

inline int lazy_iter_clear(PyObject* self) {
  auto* o = reinterpret_cast<LazyIterObject*>(self);
  Py_CLEAR(o->fn);
  Py_CLEAR(o->args);
  Py_CLEAR(o->it);
  return 0;
}

inline void lazy_iter_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  lazy_iter_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

inline PyObject* lazy_iter_next(PyObject* self) {
  auto* o = reinterpret_cast<LazyIterObject*>(self);
  if (!o->it) {
    if (!o->fn) return nullptr;  // exhausted, or the first call failed
    PyObject* fn = o->fn;
    PyObject* args = o->args;
    o->fn = o->args = nullptr;
    PyObject* items = PyObject_Call(fn, args, nullptr);
    Py_DECREF(fn);
    Py_DECREF(args);
    if (!items) return nullptr;
    o->it = PyObject_GetIter(items);
    Py_DECREF(items);
    if (!o->it) return nullptr;
  }
  PyObject* item = PyIter_Next(o->it);
  if (!item) Py_CLEAR(o->it);
  return item;
}

inline PyTypeObject* make_lazy_iter_type() {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(lazy_iter_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(lazy_iter_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(lazy_iter_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(lazy_iter_next)},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {
      GLUE_MODULE_NAME("lazy_iterator"), sizeof(LazyIterObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&type_spec)).release());
}

}  // namespace detail

inline Ref lazy_iter(PyObject* fn, PyObject* args) {
  static PyTypeObject* type = detail::make_lazy_iter_type();
  auto* o = PyObject_GC_New(detail::LazyIterObject, type);
  if (!o) throw PythonError{};
  o->fn = Py_NewRef(fn);
  o->args = Py_NewRef(args);
  o->it = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(o));
  return Ref::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace glue
