// The one answer to "is it still ours?" for the fast paths.
//
// The documented steps of many methods go through `self`: `self.get(...)`,
// `self.cast_int(...)`, `self.call(...)`.  A fast path may skip that Python
// call only while `self.<name>` would still find the module's own object:
// the class (or a subclass) has not rebound it, and the instance's own dict
// does not shadow it.  A module takes a snapshot of each class it builds,
// as it was built (`Pristine`); a fast path states at its own site which
// names it relies on (`GLUE_RELIES_ON`), and the guard made from the two
// answers per object.
//
// Verdicts are remembered the way CPython's attribute caches remember
// theirs: a type by its version tag, an instance dict by its identity and
// version tag.  Tags are never reused, so a match proves nothing changed.
#pragma once

#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "attr.hpp"
#include "ref.hpp"

namespace glue {

namespace detail {

// {qualified class name: capsule of its Pristine}, one per interpreter.
inline PyObject* published_snapshots() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!state) raise(PyExc_SystemError, "no interpreter state dict");
  PyObject* key = GLUE_STR(GLUE_PACKAGE ".glue.snapshots");
  PyObject* registry = PyDict_GetItemWithError(state, key);
  if (registry) return registry;
  if (PyErr_Occurred()) throw PythonError{};
  Ref fresh = new_dict();
  dict_set(state, key, fresh.get());
  return fresh.get();  // the state dict holds it
}

}  // namespace detail

// A class as the module built it: its MRO and a copy of each class dict
// along it, taken before any user code could rebind a name.  Immortal: the
// fast paths may consult it until the process ends.
class Pristine {
 public:
  Pristine() = default;
  explicit Pristine(PyObject* cls) { take(cls); }

  void take(PyObject* cls) {
    cls_ = cls;
    PyObject* mro = reinterpret_cast<PyTypeObject*>(cls)->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
      PyObject* d = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
      dicts_.push_back(check(PyDict_Copy(d)).release());
    }
    publish();
  }

  // The snapshot another module of the package took of its class
  // `module.qualname`, or null while that module has not built it.  A fast
  // path may skip a method of a class it does not build itself (the
  // command builder skips the interpreter's cast_any), and only the module
  // that built the class saw it before user code could rebind a name.
  static const Pristine* published(const char* qualified_name) {
    PyObject* registry = detail::published_snapshots();
    PyObject* capsule = PyDict_GetItemString(registry, qualified_name);
    if (!capsule) return nullptr;
    return static_cast<const Pristine*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  }

  PyObject* cls() const { return cls_; }

  // What type lookup found for `name` at load (borrowed), or null.
  PyObject* lookup(PyObject* name) const { return lookup_from(0, name); }

  // What `super(cls, obj).<name>` found at load for instances of the class
  // itself (borrowed), or null.
  PyObject* lookup_past(PyObject* name) const { return lookup_from(1, name); }

 private:
  static constexpr const char* kCapsuleName = GLUE_PACKAGE ".glue.Pristine";

  PyObject* lookup_from(size_t first, PyObject* name) const {
    for (size_t i = first; i < dicts_.size(); ++i)
      if (PyObject* v = PyDict_GetItemWithError(dicts_[i], name)) return v;
    if (PyErr_Occurred()) throw PythonError{};
    return nullptr;
  }

  // Each extension module has its own copy of the glue, so the snapshots
  // are shared through the interpreter's per-extension state dict, by the
  // class's qualified name.  Module statics live until the process ends,
  // so the pointer stays valid for every reader.
  void publish() {
    Ref module = getattr(cls_, "__module__");
    Ref qualname = getattr(cls_, "__qualname__");
    Ref key = check(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
    Ref capsule = check(PyCapsule_New(this, kCapsuleName, nullptr));
    dict_set(detail::published_snapshots(), key.get(), capsule.get());
  }

  PyObject* cls_ = nullptr;
  std::vector<PyObject*> dicts_;
};

class Guard {
 public:
  Guard(const Pristine& origin, std::initializer_list<const char*> names) : cls_(origin.cls()) {
    for (const char* n : names) {
      PyObject* name = check(PyUnicode_InternFromString(n)).release();
      PyObject* expected = origin.lookup(name);
      // Only a non-data descriptor or plain value gives way to an instance
      // attribute of the same name.
      bool shadowable = !expected || !Py_TYPE(expected)->tp_descr_set;
      relied_.push_back({name, Py_XNewRef(expected), shadowable});
      any_shadowable_ = any_shadowable_ || shadowable;
    }
  }

  // Whether instances of `t` without instance attributes of these names
  // find the module's own objects.
  bool type_holds(PyTypeObject* t) {
    if (t == type_ && detail::valid_tag(t) && t->tp_version_tag == type_tag_) return true;
    if (!detail::generic_lookup(t)) return false;
    for (const Relied& r : relied_)
      if (_PyType_Lookup(t, r.name) != r.expected) return false;
    type_ = detail::valid_tag(t) ? t : nullptr;
    type_tag_ = t->tp_version_tag;
    return true;
  }

  // Whether `cls` is the very class the snapshot was taken of, unchanged
  // in these names.
  bool class_holds(PyObject* cls) {
    return cls == cls_ && type_holds(reinterpret_cast<PyTypeObject*>(cls));
  }

  // Whether `self.<name>` finds the module's own object for every name.
  bool holds(PyObject* self) {
    if (!type_holds(Py_TYPE(self))) return false;
    if (!any_shadowable_) return true;
    PyObject* d = detail::instance_dict(self);
    if (!d) return true;
    if (d == dict_ && detail::dict_tag(d) == dict_tag_) return true;
    for (const Relied& r : relied_) {
      if (!r.shadowable) continue;
      int found = PyDict_Contains(d, r.name);
      if (found < 0) throw PythonError{};
      if (found) return false;
    }
    dict_ = d;
    dict_tag_ = detail::dict_tag(d);
    return true;
  }

 private:
  struct Relied {
    PyObject* name;
    PyObject* expected;
    bool shadowable;
  };
  PyObject* cls_;
  std::vector<Relied> relied_;
  bool any_shadowable_ = false;
  PyTypeObject* type_ = nullptr;
  unsigned int type_tag_ = 0;
  PyObject* dict_ = nullptr;
  uint64_t dict_tag_ = 0;
};

// The guard of a fast path that stands in for `super(cls, self).<name>`
// (cls being the snapshot's class): whether, for instances of a type, the
// lookup past cls along the type's MRO still finds what it found for the
// class as built.  super() never consults the instance, so only the type is
// asked; its version tag changes with its MRO and with every class dict
// along it.
class BaseGuard {
 public:
  BaseGuard(const Pristine& origin, std::initializer_list<const char*> names) : cls_(origin.cls()) {
    for (const char* n : names) {
      PyObject* name = check(PyUnicode_InternFromString(n)).release();
      relied_.push_back({name, Py_XNewRef(origin.lookup_past(name))});
    }
  }

  bool type_holds(PyTypeObject* t) {
    if (t == type_ && detail::valid_tag(t) && t->tp_version_tag == type_tag_) return true;
    // A lookup gives the type a version tag if it has none; the tag is
    // taken before the walk, so a change during it is not mistaken for the
    // state it found.
    _PyType_Lookup(t, relied_.empty() ? GLUE_STR("__init__") : relied_[0].name);
    bool valid = detail::valid_tag(t);
    unsigned int tag = t->tp_version_tag;
    PyObject* mro = t->tp_mro;
    if (!mro) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), start = 0;
    while (start < n && PyTuple_GET_ITEM(mro, start) != cls_) ++start;
    if (start == n) return false;
    for (const Relied& r : relied_) {
      PyObject* found = nullptr;
      for (Py_ssize_t i = start + 1; i < n && !found; ++i) {
        found = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict, r.name);
        if (!found && PyErr_Occurred()) throw PythonError{};
      }
      if (found != r.expected) return false;
    }
    type_ = valid ? t : nullptr;
    type_tag_ = tag;
    return true;
  }

 private:
  struct Relied {
    PyObject* name;
    PyObject* expected;
  };
  PyObject* cls_;
  std::vector<Relied> relied_;
  PyTypeObject* type_ = nullptr;
  unsigned int type_tag_ = 0;
};

}  // namespace glue

// The guard of one fast path: made at its first use from the class's
// load-time snapshot and the names the path skips looking up.
#define GLUE_RELIES_ON(pristine, ...)                            \
  ([&]() -> ::glue::Guard& {                                     \
    static ::glue::Guard guard_((pristine), {__VA_ARGS__});      \
    return guard_;                                               \
  }())

// The same for a class another module builds (see Pristine::published):
// null until that module has built it.
#define GLUE_RELIES_ON_PUBLISHED(qualified_class, ...)                                   \
  ([]() -> ::glue::Guard* {                                                              \
    static std::optional<::glue::Guard> guard_;                                          \
    if (!guard_)                                                                         \
      if (const ::glue::Pristine* origin_ = ::glue::Pristine::published(qualified_class)) \
        guard_.emplace(*origin_, std::initializer_list<const char*>{__VA_ARGS__});       \
    return guard_ ? &*guard_ : nullptr;                                                  \
  }())

// The same for a fast path that stands in for super() lookups.
#define GLUE_BASE_RELIES_ON(pristine, ...)                       \
  ([&]() -> ::glue::BaseGuard& {                                 \
    static ::glue::BaseGuard guard_((pristine), {__VA_ARGS__});  \
    return guard_;                                               \
  }())
