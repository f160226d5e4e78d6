// Module trivex.tcl.nestmap: NestMap, TclX keyed lists as nested mappings
// addressed with dotted paths ("a.b.c" is entry c of the keyed list at b of
// the keyed list at a).
//
// NestMap is a Python class made by its metaclass (ABCMeta, from the
// MutableMapping base) with bases (AttrDict, MutableMapping).  Storage is
// the dict inside AttrDict: each level keeps its own entries, and a value is
// either a NestMap (a sub-list, held by reference) or a leaf.
//
// "Base" operations below are what super() reaches from NestMap: the first
// class after NestMap in type(self).__mro__ that defines the method.  That is
// dict's own for NestMap and ordinary subclasses, and then the dict C API is
// called directly (dict_subscript for lookups, so a subclass's __missing__
// still counts); anything else found there is called as super() would.
//
// Naming: the entry point of a Python-visible method is `<class>_<method>`
// and only unpacks its arguments; the work is done by the plain-named
// function it calls (init, getitem, from_tcl, ...).
//
// Path operations recurse level by level.  A sub-list of exactly this class
// is entered directly in C++; any other value (a subclass, a leaf) through
// its own Python protocol, so overrides and a leaf's own indexing,
// containment and deletion errors behave as they would in Python.  Every
// recursion is guarded, so absurdly deep paths or self-containing values end
// in RecursionError.
//
// Reading Tcl goes through the package-level cast_list, looked up when
// from_tcl runs.  Values that are not keyed lists (most leaves) are told
// apart without building the ValueError that would be thrown away.
#include "to_tcl.hpp"


namespace {

using glue::Args;
using glue::Ref;
namespace cv = trivex::convert;

constexpr const char* kModule = GLUE_MODULE_NAME("nestmap");

// Everything the module keeps between calls; each reference is owned.
struct State {
  glue::Owned NestMap;
  glue::Owned Tcl_Obj;
  glue::Owned mm_update;  // MutableMapping.update
  glue::Owned empty_tuple;
  // dict's own methods, to recognise them where super() finds them.
  glue::Owned dict_init;
  glue::Owned dict_getitem;
  glue::Owned dict_setitem;
  glue::Owned dict_delitem;
  glue::Owned dict_contains;
};
State state;

PyTypeObject* nestmap_type() { return reinterpret_cast<PyTypeObject*>(state.NestMap.get()); }
PyTypeObject* tcl_obj_type() { return reinterpret_cast<PyTypeObject*>(state.Tcl_Obj.get()); }

bool is_nestmap(PyObject* o) { return PyObject_TypeCheck(o, nestmap_type()); }
bool exact(PyObject* o) { return Py_TYPE(o) == nestmap_type(); }

// ---------------------------------------------------------------------------
// super(NestMap, self)

PyObject* base_attr(PyObject* self, PyObject* name) {
  PyObject* mro = Py_TYPE(self)->tp_mro;
  Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0, i = 0;
  while (i < n && PyTuple_GET_ITEM(mro, i) != reinterpret_cast<PyObject*>(nestmap_type())) ++i;
  if (i == n) glue::raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
  for (++i; i < n; ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (found) return found;
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  glue::raisef(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
}

template <class... A>
Ref base_call(PyObject* self, PyObject* descr, A... args) {
  Ref keep = Ref::borrow(descr);
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  Ref bound = get ? glue::check(get(descr, self, reinterpret_cast<PyObject*>(Py_TYPE(self)))) : keep;
  return glue::call(bound.get(), args...);
}

Ref base_get(PyObject* self, PyObject* key) {
  PyObject* d = base_attr(self, GLUE_STR("__getitem__"));
  if (d == state.dict_getitem) return glue::check(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
  return base_call(self, d, key);
}

void base_set(PyObject* self, PyObject* key, PyObject* value) {
  PyObject* d = base_attr(self, GLUE_STR("__setitem__"));
  if (d == state.dict_setitem)
    glue::check_status(PyDict_SetItem(self, key, value));
  else
    base_call(self, d, key, value);
}

void base_del(PyObject* self, PyObject* key) {
  PyObject* d = base_attr(self, GLUE_STR("__delitem__"));
  if (d == state.dict_delitem)
    glue::check_status(PyDict_DelItem(self, key));
  else
    base_call(self, d, key);
}

Ref base_contains(PyObject* self, PyObject* key) {
  PyObject* d = base_attr(self, GLUE_STR("__contains__"));
  if (d == state.dict_contains) return Ref::borrow(glue::check_status(PyDict_Contains(self, key)) ? Py_True : Py_False);
  return base_call(self, d, key);
}

// ---------------------------------------------------------------------------
// Paths

// Split `key` at its first "." as `head, rest = key.split(".", 1)` would;
// false when the key holds no ".".  A key that is not a string fails the
// test as `"." in key` fails.
bool split_path(PyObject* key, Ref& head, Ref& rest) {
  if (PyUnicode_CheckExact(key)) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    Py_ssize_t i = PyUnicode_FindChar(key, '.', 0, n, 1);
    if (i == -2) throw glue::PythonError{};
    if (i == -1) return false;
    head = glue::check(PyUnicode_Substring(key, 0, i));
    rest = glue::check(PyUnicode_Substring(key, i + 1, n));
    return true;
  }
  if (!glue::check_status(PySequence_Contains(key, GLUE_STR(".")))) return false;
  Ref one = glue::check(PyLong_FromLong(1));
  Ref parts = glue::call_method(key, GLUE_STR("split"), GLUE_STR("."), one.get());
  Ref seq = glue::check(PySequence_Fast(parts.get(), "cannot unpack non-iterable object"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n < 2) glue::raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
  if (n > 2) glue::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  head = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
  rest = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
  return true;
}

[[noreturn]] void conflict(PyObject* key) {
  Ref msg = glue::check(PyUnicode_FromFormat(
      "target key \"%S\" is a value, cannot update value against another keyed list", key));
  Ref exc = glue::call(PyExc_KeyError, msg.get());
  glue::raise_instance(exc.get());
}

Ref new_nestmap() {
  return glue::check(nestmap_type()->tp_new(nestmap_type(), state.empty_tuple, nullptr));
}

Ref getitem(PyObject* self, PyObject* key);
void setitem(PyObject* self, PyObject* key, PyObject* value);
Ref contains(PyObject* self, PyObject* key);
void delitem(PyObject* self, PyObject* key);
void update(PyObject* self, PyObject* args, PyObject* kwargs);
Ref from_tcl(PyObject* value, PyObject* cast_list, bool nested);

// self[key], self[key] = value, ... on any object, entering this module
// directly for NestMap itself.
Ref item_of(PyObject* obj, PyObject* key) {
  if (exact(obj)) return getitem(obj, key);
  return glue::check(PyObject_GetItem(obj, key));
}

void set_item_of(PyObject* obj, PyObject* key, PyObject* value) {
  if (exact(obj))
    setitem(obj, key, value);
  else
    glue::check_status(PyObject_SetItem(obj, key, value));
}

Ref getitem(PyObject* self, PyObject* key) {
  Ref head, rest;
  if (!split_path(key, head, rest)) return base_get(self, key);
  Ref value = base_get(self, head.get());
  glue::RecursionGuard guard(" while looking up a keyed list path");
  return item_of(value.get(), rest.get());
}

Ref package_cast_list() {
  Ref name = glue::str_from(GLUE_PACKAGE);
  PyObject* mod = PyImport_GetModule(name.get());
  if (!mod && PyErr_Occurred()) throw glue::PythonError{};
  Ref package = mod ? Ref::steal(mod) : glue::check(PyImport_Import(name.get()));
  return glue::getattr(package.get(), GLUE_STR("cast_list"));
}

bool is_keyed_list_obj(PyObject* value) {
  if (Py_TYPE(value) != tcl_obj_type()) return false;
  Ref type_name = glue::getattr(value, GLUE_STR("typename"));
  return PyUnicode_Check(type_name.get()) && PyUnicode_CompareWithASCIIString(type_name.get(), "keyedList") == 0;
}

void setitem(PyObject* self, PyObject* key, PyObject* value) {
  Ref v = Ref::borrow(value);
  if (is_keyed_list_obj(value)) {
    Ref cast_list = package_cast_list();
    v = from_tcl(value, cast_list.get(), false);
  }
  Ref head, rest;
  if (split_path(key, head, rest)) {
    Ref sub = glue::unless_raises({PyExc_KeyError}, [&] { return item_of(self, head.get()); });
    bool created = !sub;
    if (created) {
      sub = new_nestmap();
      base_set(self, head.get(), sub.get());
    } else if (!is_nestmap(sub.get())) {
      conflict(head.get());
    }
    try {
      glue::RecursionGuard guard(" while assigning to a keyed list path");
      set_item_of(sub.get(), rest.get(), v.get());
    } catch (const glue::PythonError&) {
      // A failed assignment leaves no sub-list behind that it made itself.
      if (created) {
        glue::CaughtError error;
        try {
          PyObject* now = PyDict_GetItemWithError(self, head.get());
          if (now == sub.get() && !PyDict_GET_SIZE(sub.get())) base_del(self, head.get());
        } catch (const glue::PythonError&) {
          PyErr_Clear();
        }
        error.reraise();
      }
      throw;
    }
    return;
  }
  if (is_nestmap(v.get()) && glue::truthy(base_contains(self, key).get())) {
    Ref old = base_get(self, key);
    if (!is_nestmap(old.get())) conflict(key);
  }
  base_set(self, key, v.get());
}

Ref contains(PyObject* self, PyObject* key) {
  Ref head, rest;
  if (!split_path(key, head, rest)) return base_contains(self, key);
  if (!glue::truthy(base_contains(self, head.get()).get())) return Ref::borrow(Py_False);
  Ref value = base_get(self, head.get());
  glue::RecursionGuard guard(" while looking up a keyed list path");
  if (exact(value.get())) return contains(value.get(), rest.get());
  return glue::call_method(value.get(), GLUE_STR("__contains__"), rest.get());
}

void delitem(PyObject* self, PyObject* key) {
  Ref head, rest;
  if (!split_path(key, head, rest)) {
    base_del(self, key);
    return;
  }
  Ref sub = base_get(self, head.get());
  {
    glue::RecursionGuard guard(" while deleting a keyed list path");
    if (exact(sub.get()))
      delitem(sub.get(), rest.get());
    else
      glue::check_status(PyObject_DelItem(sub.get(), rest.get()));
  }
  Ref after = base_get(self, head.get());
  if (!glue::truthy(after.get())) base_del(self, head.get());
}

// ---------------------------------------------------------------------------
// Listings

// key + "." + subkey
Ref join_path(PyObject* key, PyObject* subkey) {
  if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(subkey))
    return glue::check(PyUnicode_FromFormat("%U.%U", key, subkey));
  Ref left = glue::check(PyNumber_Add(key, GLUE_STR(".")));
  return glue::check(PyNumber_Add(left.get(), subkey));
}

template <bool Items>
Ref listing(PyObject* self) {
  glue::RecursionGuard guard(" while listing a keyed list");
  Ref entries = glue::check(PyDict_Items(self));
  Ref out = glue::new_list();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(entries.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!is_nestmap(value)) {
      glue::list_append(out.get(), Items ? pair : key);
      continue;
    }
    Ref sub = exact(value) ? listing<Items>(value)
                           : glue::call_method(value, Items ? GLUE_STR("all_items") : GLUE_STR("all_keys"));
    Ref it = glue::check(PyObject_GetIter(sub.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref entry = Ref::steal(raw);
      if (Items) {
        Ref seq = glue::check(PySequence_Fast(entry.get(), "cannot unpack non-iterable object"));
        if (PySequence_Fast_GET_SIZE(seq.get()) != 2)
          glue::raisef(PyExc_ValueError, "expected 2 values to unpack, got %zd", PySequence_Fast_GET_SIZE(seq.get()));
        // Held: `seq` may be a list that join_path's Python code changes.
        Ref sub_key = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
        Ref sub_value = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
        Ref path = join_path(key, sub_key.get());
        Ref item = glue::tuple_of(path.get(), sub_value.get());
        glue::list_append(out.get(), item.get());
      } else {
        Ref path = join_path(key, entry.get());
        glue::list_append(out.get(), path.get());
      }
    }
    if (PyErr_Occurred()) throw glue::PythonError{};
  }
  return out;
}

// ---------------------------------------------------------------------------
// Update and construction

// The generic mapping update, self[k] = other[k] / self[k] = v.
void mapping_update(PyObject* self, PyObject* other) {
  if (exact(self) && PyDict_CheckExact(other)) {
    Ref entries = glue::check(PyDict_Items(other));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(entries.get(), i);
      setitem(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    return;
  }
  glue::call(state.mm_update, self, other);
}

void update(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) glue::raisef(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", n);
  if (n == 1) {
    PyObject* other = PyTuple_GET_ITEM(args, 0);
    if (is_nestmap(other)) {
      Ref items = exact(other) ? listing<true>(other) : glue::call_method(other, GLUE_STR("all_items"));
      Ref it = glue::check(PyObject_GetIter(items.get()));
      while (PyObject* raw = PyIter_Next(it.get())) {
        Ref entry = Ref::steal(raw);
        Ref seq = glue::check(PySequence_Fast(entry.get(), "cannot unpack non-iterable object"));
        if (PySequence_Fast_GET_SIZE(seq.get()) != 2)
          glue::raisef(PyExc_ValueError, "expected 2 values to unpack, got %zd", PySequence_Fast_GET_SIZE(seq.get()));
        // Held: `seq` may be a list that the assignment's Python code changes.
        Ref key = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 0));
        Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), 1));
        set_item_of(self, key.get(), value.get());
      }
      if (PyErr_Occurred()) throw glue::PythonError{};
    } else {
      mapping_update(self, other);
    }
  }
  if (!kwargs || !PyDict_GET_SIZE(kwargs)) return;
  Ref entries = glue::check(PyDict_Items(kwargs));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(entries.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!is_nestmap(value)) {
      set_item_of(self, key, value);
      continue;
    }
    Ref sub = glue::unless_raises({PyExc_KeyError}, [&] { return item_of(self, key); });
    if (!sub) {
      sub = new_nestmap();
      set_item_of(self, key, sub.get());
    } else if (!is_nestmap(sub.get())) {
      conflict(key);
    }
    glue::RecursionGuard guard(" while updating a keyed list");
    if (exact(sub.get())) {
      Ref one = glue::tuple_of(value);
      update(sub.get(), one.get(), nullptr);
    } else {
      glue::call_method(sub.get(), GLUE_STR("update"), value);
    }
  }
}

void init(PyObject* self, PyObject* args, PyObject* kwargs);

// NestMap(value), or an empty Ref when that raises ValueError or TypeError.
Ref try_nestmap(PyObject* value) {
  PyTypeObject* t = Py_TYPE(value);
  // What dict(value) does with these is known: the empty ones give {}, the
  // others fail.
  if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(value) ? Ref() : new_nestmap();
  if (t == &PyBytes_Type) return PyBytes_GET_SIZE(value) ? Ref() : new_nestmap();
  if (value == Py_None || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == tcl_obj_type())
    return Ref();
  return glue::unless_raises({PyExc_ValueError, PyExc_TypeError}, [&] {
    Ref nm = new_nestmap();
    Ref one = glue::tuple_of(value);
    init(nm.get(), one.get(), nullptr);
    return nm;
  });
}

void init(PyObject* self, PyObject* args, PyObject* kwargs) {
  glue::RecursionGuard guard(" while building a NestMap");
  PyObject* base_init = base_attr(self, GLUE_STR("__init__"));
  if (base_init != state.dict_init) base_call(self, base_init);
  Ref dsc = glue::check(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args,
                                      kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr));
  Ref entries = glue::check(PyDict_Items(dsc.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(entries.get(), i);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (is_nestmap(value)) continue;
    if (Ref nm = try_nestmap(value)) glue::dict_set(dsc.get(), PyTuple_GET_ITEM(pair, 0), nm.get());
  }
  Ref one = glue::tuple_of(dsc.get());
  if (exact(self))
    update(self, one.get(), nullptr);
  else
    glue::call_method(self, GLUE_STR("update"), dsc.get());
}

// ---------------------------------------------------------------------------
// Reading Tcl

// Whether a split element is certainly not a key/value pair (so dict()
// would refuse it); false when unsure, and dict() decides.
bool surely_not_pair(PyObject* split) {
  if (PyTuple_CheckExact(split) || PyList_CheckExact(split)) return Py_SIZE(split) != 2;
  return false;
}

// The ValueError-absorbing form, for values inside a keyed list: an empty
// Ref where from_tcl would raise ValueError.
Ref from_tcl_nested(PyObject* value, PyObject* cast_list) {
  return glue::unless_raises({PyExc_ValueError}, [&] { return from_tcl(value, cast_list, true); });
}

// `entered` pairs merged into `d` as a list of that many pairs that merges
// into the same dict: its items, led by repeats of the first (which merging
// enters first anyway), so that later positions count as before.
Ref pairs_so_far(PyObject* d, Py_ssize_t entered) {
  Ref items = glue::check(PyDict_Items(d));
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  if (n == entered) return items;
  Ref out = glue::new_list();
  for (Py_ssize_t i = n; i < entered; ++i) glue::list_append(out.get(), PyList_GET_ITEM(items.get(), 0));
  for (Py_ssize_t i = 0; i < n; ++i) glue::list_append(out.get(), PyList_GET_ITEM(items.get(), i));
  return out;
}

Ref from_tcl(PyObject* value, PyObject* cast_list, bool nested) {
  glue::RecursionGuard guard(" while reading a keyed list");
  Ref elements = glue::call(cast_list, value);
  // dict(splits), with each split pair entered as soon as it is made and
  // dropped: keeping them all until the end made the collector walk them
  // over and over on large lists.  Pairs are what nearly every element
  // splits into; the first other result (a wrong length, another sequence
  // type) goes the general way from there: the pairs so far, it and the
  // rest are collected and handed to dict's own merge, which gives its own
  // answer and error, after every element has been split as before.
  Ref dsc = glue::new_dict();
  Ref splits;  // from the first split that is not a tuple pair on
  Py_ssize_t entered = 0;
  Ref it = glue::check(PyObject_GetIter(elements.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref element = Ref::steal(raw);
    Ref split = glue::call(cast_list, element.get());
    if (nested && surely_not_pair(split.get())) return Ref();
    if (!splits && PyTuple_CheckExact(split.get()) && PyTuple_GET_SIZE(split.get()) == 2) {
      glue::dict_set(dsc.get(), PyTuple_GET_ITEM(split.get(), 0), PyTuple_GET_ITEM(split.get(), 1));
      ++entered;
      continue;
    }
    if (!splits) splits = pairs_so_far(dsc.get(), entered);
    glue::list_append(splits.get(), split.get());
  }
  if (PyErr_Occurred()) throw glue::PythonError{};
  if (splits) {
    dsc = glue::new_dict();
    glue::check_status(PyDict_MergeFromSeq2(dsc.get(), splits.get(), 1));
  }

  // `dsc` is this call's own: nothing else can change it while it is
  // walked, and replacing the value of a key it has is allowed meanwhile.
  // Walking it in place keeps a list of every entry out of the collector.
  Py_ssize_t pos = 0;
  PyObject *key, *item;
  while (PyDict_Next(dsc.get(), &pos, &key, &item)) {
    if (is_nestmap(item)) continue;
    if (Ref sub = from_tcl_nested(item, cast_list)) glue::dict_set(dsc.get(), key, sub.get());
  }
  Ref result = new_nestmap();
  if (exact(result.get())) {
    pos = 0;
    while (PyDict_Next(dsc.get(), &pos, &key, &item)) setitem(result.get(), key, item);
  } else {
    mapping_update(result.get(), dsc.get());
  }
  return result;
}

// ---------------------------------------------------------------------------
// Python-visible methods

Ref nestmap_init(const Args& a) {
  init(a[0], a.varargs(), a.varkw());
  return Ref::borrow(Py_None);
}

Ref nestmap_from_tcl(const Args& a) {
  Ref cast_list = package_cast_list();
  return from_tcl(a[0], cast_list.get(), false);
}

Ref nestmap_getitem(const Args& a) { return getitem(a[0], a[1]); }

Ref nestmap_setitem(const Args& a) {
  setitem(a[0], a[1], a[2]);
  return Ref::borrow(Py_None);
}

Ref nestmap_contains(const Args& a) { return contains(a[0], a[1]); }

Ref nestmap_delitem(const Args& a) {
  delitem(a[0], a[1]);
  return Ref::borrow(Py_None);
}

Ref nestmap_update(const Args& a) {
  update(a[0], a.varargs(), a.varkw());
  return Ref::borrow(Py_None);
}

Ref nestmap_all_keys(const Args& a) { return listing<false>(a[0]); }
Ref nestmap_all_items(const Args& a) { return listing<true>(a[0]); }

Ref nestmap_tclobj(const Args& a) {
  Ref entries = glue::check(PyDict_Items(a[0]));
  return cv::tclobj_list(entries.get());
}

// ---------------------------------------------------------------------------
// Help texts

const char* const kModuleDoc =
    "TclX keyed lists as nested Python mappings.\n"
    "\n"
    "Implements NestMap: a keyed list (a list of key/value pairs whose values\n"
    "may be keyed lists again) held as nested mappings, with every mapping\n"
    "operation addressing nested entries by a dotted path; from_tcl() reads\n"
    "keyed-list text or Tcl objects, __tclobj__() gives the keyed list back\n"
    "to Tcl.";

const char* const kClassDoc =
    "A TclX keyed list as a nested mapping with dotted paths.\n"
    "\n"
    "Each level is a dict of its entries in insertion order; a value is\n"
    "either a NestMap (a nested keyed list, held by reference) or a leaf.\n"
    "Item lookup, assignment, membership and deletion take paths: \"a.b.c\"\n"
    "is entry c of the keyed list at b of the keyed list at a.  Keys can also\n"
    "be read and written as attributes.  Handed to Tcl (or to quotify()) a\n"
    "NestMap becomes its keyed list: {key value} pairs, nested.\n"
    "\n"
    "Examples:\n"
    "    >>> kl = NestMap({'a.b': '1', 'c': '2'})\n"
    "    >>> kl\n"
    "    {'a': {'b': '1'}, 'c': '2'}\n"
    "    >>> kl['a.b'], kl.all_keys()\n"
    "    ('1', ['a.b', 'c'])\n"
    "    >>> quotify(kl)\n"
    "    '{a {{b 1}}} {c 2}'";

const char* const kInitDoc =
    "Build a NestMap from what dict() accepts.\n"
    "\n"
    "Values that dict() accepts become nested NestMaps (mappings, iterables\n"
    "of pairs, and empty strings, lists and tuples, which become empty\n"
    "sub-lists); other values stay leaves.  Dotted keys build nested paths.\n"
    "Tcl text is not parsed here: use NestMap.from_tcl().\n"
    "\n"
    "Raises:\n"
    "    TypeError, ValueError: as dict(*args, **kwargs) raises them.\n"
    "    KeyError: when a path runs through a leaf.";

const char* const kFromTclDoc =
    "Read a keyed list from Tcl text or a Tcl object.\n"
    "\n"
    "Each element must be a {key value} pair.  A value becomes a nested\n"
    "NestMap when it is itself a list of pairs (recursively; an empty value\n"
    "gives an empty one), else it stays a string.  Keys holding \".\" become\n"
    "nested paths.  Lists are split with the package's cast_list().\n"
    "\n"
    "Arguments:\n"
    "    string: keyed-list text or a Tcl object.\n"
    "\n"
    "Returns:\n"
    "    A new NestMap.\n"
    "\n"
    "Raises:\n"
    "    ValueError: when the text is not a list, or an element is not a\n"
    "        key/value pair.\n"
    "    KeyError: when a dotted key runs through a leaf.\n"
    "\n"
    "Examples:\n"
    "    >>> NestMap.from_tcl('{a {{b 1} {c {x y}}}} {d 2}')\n"
    "    {'a': {'b': '1', 'c': 'x y'}, 'd': '2'}";

const char* const kGetitemDoc =
    "Return the value at a path.\n"
    "\n"
    "Raises:\n"
    "    KeyError: naming the missing path segment.";

const char* const kSetitemDoc =
    "Set the value at a path, creating the nested levels it names.\n"
    "\n"
    "A Tcl keyed-list object is read into a NestMap first.  Assigning a\n"
    "NestMap replaces the sub-list held at that key.\n"
    "\n"
    "Raises:\n"
    "    KeyError: \"target key \"...\" is a value, cannot update value against\n"
    "        another keyed list\" when the path runs through a leaf, or when a\n"
    "        NestMap is assigned over a leaf.";

const char* const kContainsDoc = "Whether a path names an entry.";

const char* const kDelitemDoc =
    "Delete the entry at a path.\n"
    "\n"
    "Nested keyed lists emptied by the deletion are removed too.\n"
    "\n"
    "Raises:\n"
    "    KeyError: naming the missing path segment.";

const char* const kUpdateDoc =
    "Update from a mapping, a NestMap, an iterable of pairs and/or keywords.\n"
    "\n"
    "A NestMap argument is merged leaf by leaf: entries it does not name\n"
    "stay.  Other arguments assign each of their keys, so a NestMap value\n"
    "replaces the sub-list at its key.  A NestMap given as a keyword value is\n"
    "merged into the sub-list at that key.\n"
    "\n"
    "Raises:\n"
    "    TypeError: \"update() takes at most 1 positional arguments (N given)\".\n"
    "    KeyError: when a path runs through a leaf.";

const char* const kAllKeysDoc =
    "Return the full dotted paths of all leaves, depth first.\n"
    "\n"
    "Examples:\n"
    "    >>> NestMap({'a': {'x': '1'}, 'b': '2'}).all_keys()\n"
    "    ['a.x', 'b']";

const char* const kAllItemsDoc =
    "Return (full dotted path, leaf value) pairs of all leaves, depth first.\n"
    "\n"
    "Examples:\n"
    "    >>> NestMap({'a': {'x': '1'}, 'b': '2'}).all_items()\n"
    "    [('a.x', '1'), ('b', '2')]";

const char* const kTclobjDoc =
    "Return the keyed list as values for the Tcl binding.\n"
    "\n"
    "Returns:\n"
    "    A tuple of (key, value) tuples in insertion order, each converted\n"
    "    with tclobj(); nested NestMaps appear as their own such tuples.";

Ref dict_method(const char* name) {
  PyObject* d = PyDict_GetItemString(PyDict_Type.tp_dict, name);
  if (!d) glue::raisef(PyExc_SystemError, "dict has no %s", name);
  return Ref::borrow(d);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "nestmap", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_nestmap() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    PyObject* attr_dict = m.import_from("trivex.datastructures", "AttrDict");
    PyObject* mutable_mapping = m.import_from("collections.abc", "MutableMapping");
    state.Tcl_Obj = Ref::borrow(m.import_from("_tkinter", "Tcl_Obj"));
    m.import_from(GLUE_MODULE_NAME("quotify"), "tclobj");
    state.mm_update = glue::getattr(mutable_mapping, "update");
    state.empty_tuple = glue::check(PyTuple_New(0));
    state.dict_init = dict_method("__init__");
    state.dict_getitem = dict_method("__getitem__");
    state.dict_setitem = dict_method("__setitem__");
    state.dict_delitem = dict_method("__delitem__");
    state.dict_contains = dict_method("__contains__");
    cv::types();

    glue::ClassBody body("NestMap", kModule);
    body.method({"__init__", "(self, /, *args, **kwargs)", nestmap_init, kInitDoc});
    body.staticmethod({"from_tcl", "(string)", nestmap_from_tcl, kFromTclDoc});
    body.method({"__getitem__", "(self, key)", nestmap_getitem, kGetitemDoc});
    body.method({"__setitem__", "(self, key, value)", nestmap_setitem, kSetitemDoc});
    PyObject* contains_fn = body.method({"__contains__", "(self, key)", nestmap_contains, kContainsDoc});
    body.method({"__delitem__", "(self, key)", nestmap_delitem, kDelitemDoc});
    for (const char* copied : {"get", "pop", "setdefault"}) {
      Ref fn = glue::getattr(mutable_mapping, copied);
      body.add(copied, fn.get());
    }
    body.method({"update", "(self, /, *args, **kwargs)", nestmap_update, kUpdateDoc});
    body.method({"all_keys", "(self)", nestmap_all_keys, kAllKeysDoc});
    body.method({"all_items", "(self)", nestmap_all_items, kAllItemsDoc});
    body.add("has_key", contains_fn);
    body.method({"__tclobj__", "(self)", nestmap_tclobj, kTclobjDoc});
    Ref cls = body.build({attr_dict, mutable_mapping}, kClassDoc);
    state.NestMap = cls;
    m.add("NestMap", cls.get());
  });
}
