// Module trivex.tcl.nestmap: NestMap, TclX keyed lists as nested mappings
// addressed with dotted paths ("a.b.c" is entry c of the keyed list at b of
// the keyed list at a).
//
// NestMap is a Python class made by its metaclass (ABCMeta, from the
// MutableMapping base) with bases (AttrDict, MutableMapping).  Storage is
// the dict inside AttrDict: each level keeps its own entries, and a value is
// either a NestMap (a sub-list, held by reference) or a leaf.
//
// "Base" operations below are what super(NestMap, self) reaches.  While that
// is dict's own (for NestMap and the subclasses that leave it so) the dict
// C API stands in for it (dict_subscript for lookups, so a subclass's
// __missing__ still counts); otherwise super() is called.
//
// Path operations recurse level by level.  The documented steps go through
// the value's own protocol (`value[rest]`, `value.__contains__(rest)`, ...);
// a sub-list whose class still has this module's methods for it is entered
// directly in C++, anything else (an override, a leaf) through Python, so a
// leaf's own indexing, containment and deletion errors behave as they would
// in Python.  Every such shortcut names what it relies on to the glue's
// guard where it is taken.  Every recursion is guarded, so absurdly deep
// paths or self-containing values end in RecursionError.
//
// Reading Tcl goes through the package-level cast_list, looked up when
// from_tcl runs.  While that is the package's own, the text is read here
// directly with the same scanner (see "Reading Tcl").
#include <climits>
#include <cstring>
#include <string>

#include "bridge/listwalk.hpp"
#include "from_tcl.hpp"
#include "to_tcl.hpp"


namespace {

using glue::Ref;
namespace cv = trivex::convert;

constexpr const char* kModule = GLUE_MODULE_NAME("nestmap");

// Everything the module keeps between calls; each reference is owned.
struct State {
  glue::Owned NestMap;
  glue::Owned Tcl_Obj;
  glue::Owned mm_update;  // MutableMapping.update
  glue::Owned empty_tuple;
  glue::Pristine origin;  // NestMap as built, for the fast paths' guards
  // Whether super(NestMap, self) found dict's own item methods and
  // initialiser when the class was built.
  bool base_was_dict = false;
  // The package's cast_list as the interpreter module made it, once seen.
  glue::Owned own_cast_list;
};
State state;

PyTypeObject* nestmap_type() { return reinterpret_cast<PyTypeObject*>(state.NestMap.get()); }
PyTypeObject* tcl_obj_type() { return reinterpret_cast<PyTypeObject*>(state.Tcl_Obj.get()); }

bool is_nestmap(PyObject* o) { return PyObject_TypeCheck(o, nestmap_type()); }

// Whether `obj[...]` (and the like) reaches this module's method `name`.
#define OWN_SLOT(obj, name) (is_nestmap(obj) && GLUE_RELIES_ON(state.origin, name).type_holds(Py_TYPE(obj)))
// Whether `obj.name(...)` calls this module's method.
#define OWN_METHOD(obj, name) (is_nestmap(obj) && GLUE_RELIES_ON(state.origin, name).holds(obj))

// ---------------------------------------------------------------------------
// super(NestMap, self)

bool base_is_dict(PyObject* self) {
  return state.base_was_dict &&
         GLUE_BASE_RELIES_ON(state.origin, "__init__", "__getitem__", "__setitem__", "__delitem__", "__contains__")
             .type_holds(Py_TYPE(self));
}

template <class... A>
Ref base_call(PyObject* self, PyObject* name, A... args) {
  Ref base = glue::super_of(state.NestMap, self);
  return glue::call_method(base.get(), name, args...);
}

Ref base_get(PyObject* self, PyObject* key) {
  if (base_is_dict(self)) return glue::check(PyDict_Type.tp_as_mapping->mp_subscript(self, key));
  return base_call(self, GLUE_STR("__getitem__"), key);
}

void base_set(PyObject* self, PyObject* key, PyObject* value) {
  if (base_is_dict(self))
    glue::check_status(PyDict_SetItem(self, key, value));
  else
    base_call(self, GLUE_STR("__setitem__"), key, value);
}

void base_del(PyObject* self, PyObject* key) {
  if (base_is_dict(self))
    glue::check_status(PyDict_DelItem(self, key));
  else
    base_call(self, GLUE_STR("__delitem__"), key);
}

Ref base_contains(PyObject* self, PyObject* key) {
  if (base_is_dict(self)) return Ref::borrow(glue::check_status(PyDict_Contains(self, key)) ? Py_True : Py_False);
  return base_call(self, GLUE_STR("__contains__"), key);
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
Ref read_keyed_list(PyObject* value, bool nested);

// obj[key] and obj[key] = value, entering this module directly where that
// is what Python would reach.
Ref item_of(PyObject* obj, PyObject* key) {
  if (OWN_SLOT(obj, "__getitem__")) return getitem(obj, key);
  return glue::check(PyObject_GetItem(obj, key));
}

void set_item_of(PyObject* obj, PyObject* key, PyObject* value) {
  if (OWN_SLOT(obj, "__setitem__"))
    setitem(obj, key, value);
  else
    glue::check_status(PyObject_SetItem(obj, key, value));
}

// NestMap.from_tcl(value); with `nested`, an empty Ref where that raises
// ValueError.
Ref nestmap_from_tcl_of(PyObject* value, bool nested) {
  if (GLUE_RELIES_ON(state.origin, "from_tcl").class_holds(state.NestMap)) return read_keyed_list(value, nested);
  auto call = [&] { return glue::call_method(state.NestMap, GLUE_STR("from_tcl"), value); };
  return nested ? glue::unless_raises({PyExc_ValueError}, call) : call();
}

Ref getitem(PyObject* self, PyObject* key) {
  Ref head, rest;
  if (!split_path(key, head, rest)) return base_get(self, key);
  Ref value = base_get(self, head.get());
  glue::RecursionGuard guard(" while looking up a keyed list path");
  return item_of(value.get(), rest.get());
}

bool is_keyed_list_obj(PyObject* value) {
  if (Py_TYPE(value) != tcl_obj_type()) return false;
  Ref type_name = glue::getattr(value, GLUE_STR("typename"));
  return PyUnicode_Check(type_name.get()) && PyUnicode_CompareWithASCIIString(type_name.get(), "keyedList") == 0;
}

void setitem(PyObject* self, PyObject* key, PyObject* value) {
  Ref v = Ref::borrow(value);
  if (is_keyed_list_obj(value)) v = nestmap_from_tcl_of(value, false);
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
  if (OWN_METHOD(value.get(), "__contains__")) return contains(value.get(), rest.get());
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
    if (OWN_SLOT(sub.get(), "__delitem__"))
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
  PyObject* method = Items ? GLUE_STR("all_items") : GLUE_STR("all_keys");
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
    Ref sub = OWN_METHOD(value, Items ? "all_items" : "all_keys") ? listing<Items>(value)
                                                                 : glue::call_method(value, method);
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
  if (PyDict_CheckExact(other) && OWN_SLOT(self, "__setitem__")) {
    Ref entries = glue::check(PyDict_Items(other));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(entries.get(), i);
      setitem(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    return;
  }
  glue::call(state.mm_update, self, other);
}

// self.update(other)
void update_of(PyObject* self, PyObject* other) {
  if (OWN_METHOD(self, "update")) {
    Ref one = glue::tuple_of(other);
    update(self, one.get(), nullptr);
  } else {
    glue::call_method(self, GLUE_STR("update"), other);
  }
}

void update(PyObject* self, PyObject* args, PyObject* kwargs) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  if (n > 1) glue::raisef(PyExc_TypeError, "update() takes at most 1 positional arguments (%zd given)", n);
  if (n == 1) {
    PyObject* other = PyTuple_GET_ITEM(args, 0);
    if (is_nestmap(other)) {
      Ref items = OWN_METHOD(other, "all_items") ? listing<true>(other)
                                                 : glue::call_method(other, GLUE_STR("all_items"));
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
    update_of(sub.get(), value);
  }
}

void init(PyObject* self, PyObject* args, PyObject* kwargs);

// NestMap(value), or an empty Ref when that raises ValueError or TypeError.
Ref try_nestmap(PyObject* value) {
  PyTypeObject* t = Py_TYPE(value);
  // What dict(value) does with these is known: the empty ones give {}, the
  // others fail.
  bool own = GLUE_RELIES_ON(state.origin, "__new__", "__init__").class_holds(state.NestMap);
  if (own && t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(value) ? Ref() : new_nestmap();
  if (own && t == &PyBytes_Type) return PyBytes_GET_SIZE(value) ? Ref() : new_nestmap();
  if (own && (value == Py_None || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == tcl_obj_type()))
    return Ref();
  return glue::unless_raises({PyExc_ValueError, PyExc_TypeError}, [&] {
    if (!own) return glue::call(state.NestMap, value);
    Ref nm = new_nestmap();
    Ref one = glue::tuple_of(value);
    init(nm.get(), one.get(), nullptr);
    return nm;
  });
}

void init(PyObject* self, PyObject* args, PyObject* kwargs) {
  glue::RecursionGuard guard(" while building a NestMap");
  if (!base_is_dict(self)) base_call(self, GLUE_STR("__init__"));
  Ref dsc = glue::check(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args,
                                      kwargs && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr));
  Ref entries = glue::check(PyDict_Items(dsc.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(entries.get(), i);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (is_nestmap(value)) continue;
    if (Ref nm = try_nestmap(value)) glue::dict_set(dsc.get(), PyTuple_GET_ITEM(pair, 0), nm.get());
  }
  update_of(self, dsc.get());
}

// ---------------------------------------------------------------------------
// Reading Tcl
//
// from_tcl splits the text with cast_list, every element again, gathers the
// pairs in a dict, replaces each value that reads as a keyed list itself by
// its NestMap, and updates a new NestMap with the dict.
//
// While the package's cast_list is its own (the static method of the
// interpreter module's Interpreter as built), what it makes of a string is
// known: module internal's GetListFromAny, the string's UTF-8 bytes split by
// Tcl's scanner and each element decoded.  Then the text is read here with
// the same scanner, an element's two items straight from the bytes of the
// list, without a Python call per split or a string per element, and a value
// that is not a keyed list is told apart without building the ValueError
// that would be thrown away.  No Python code runs meanwhile, so cast_list
// cannot change under the reading either.  Each level is gathered directly
// in the NestMap it becomes, which is what updating a new one would give
// while no key holds "." and the NestMap methods involved are this
// module's.  A level holding only strings cannot be part of a reference
// cycle, so it is left untracked by the collector, as dict itself leaves
// such dicts: reading a large list then costs no more collections than
// splitting it.  A change to it through dict re-tracks it.
//
// Anything else, and text the reading refuses at the top (whose error is
// the general way's to raise), goes the general way through cast_list.

Ref package_cast_list() {
  Ref name = glue::str_from(GLUE_PACKAGE);
  PyObject* mod = PyImport_GetModule(name.get());
  if (!mod && PyErr_Occurred()) throw glue::PythonError{};
  Ref package = mod ? Ref::steal(mod) : glue::check(PyImport_Import(name.get()));
  return glue::getattr(package.get(), GLUE_STR("cast_list"));
}

bool own_cast_list(PyObject* cast_list) {
  if (!state.own_cast_list) {
    const glue::Pristine* interpreter = glue::Pristine::published(GLUE_MODULE_NAME("interpreter") ".Interpreter");
    PyObject* made = interpreter ? interpreter->lookup(GLUE_STR("cast_list")) : nullptr;
    if (!made || Py_TYPE(made) != &PyStaticMethod_Type) return false;
    state.own_cast_list = glue::getattr(made, "__func__");
  }
  return cast_list == state.own_cast_list.get();
}

// The bytes GetListFromAny splits for a string: its UTF-8, with lone
// surrogates as the bytes surrogateescape stands for.  Unreadable when
// GetListFromAny would refuse the string.
class ListBytes {
 public:
  explicit ListBytes(PyObject* text) {
    if (PyUnicode_READY(text) < 0) throw glue::PythonError{};
    if (PyUnicode_IS_ASCII(text)) {
      data_ = static_cast<const char*>(PyUnicode_DATA(text));
      size_ = PyUnicode_GET_LENGTH(text);
    } else {
      PyObject* b = PyUnicode_AsUTF8String(text);
      if (!b) b = retry_escaped(text);
      if (!b) return;
      bytes_ = Ref::steal(b);
      data_ = PyBytes_AS_STRING(b);
      size_ = PyBytes_GET_SIZE(b);
    }
    if (size_ > INT_MAX) data_ = nullptr;
  }
  bool readable() const { return data_ != nullptr; }
  const char* data() const { return data_; }
  size_t size() const { return static_cast<size_t>(size_); }

 private:
  static PyObject* retry_escaped(PyObject* text) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw glue::PythonError{};
    PyErr_Clear();
    PyObject* b = PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape");
    if (b) return b;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw glue::PythonError{};
    PyErr_Clear();
    return nullptr;
  }

  Ref bytes_;
  const char* data_ = nullptr;
  Py_ssize_t size_ = 0;
};

Ref read_nested_text(PyObject* text);

// One level of keyed-list text.  Null when it is not a keyed list: a
// malformed list, or an element that is not a two-item list.
Ref read_level(const char* s, size_t n) {
  glue::RecursionGuard guard(" while reading a keyed list");
  const trivex::tcl::Api& api = trivex::tcl::api();
  Ref level = new_nestmap();
  bool pairs = true, dotted = false;
  std::string outer, inner;
  Ref key, value;
  // Once an element is not a pair the text is not a keyed list, and the
  // rest of the walk only finds out whether it is a list at all.
  auto no_interp = [] { return nullptr; };
  bool listed = trivex::tcl::split_list(api.FindElement, api.CopyAndCollapse, no_interp, s, n, outer,
                                        [&](const char* e, size_t m) {
    if (!pairs) return;
    int items = 0;
    bool ok = trivex::tcl::split_list(api.FindElement, api.CopyAndCollapse, no_interp, e, m, inner,
                                      [&](const char* item, size_t size) {
      if (++items > 2) return;
      if (items == 1) dotted = dotted || std::memchr(item, '.', size);
      (items == 1 ? key : value) = trivex::tcl::decode_tcl_text(item, static_cast<Py_ssize_t>(size));
    });
    pairs = ok && items == 2;
    if (pairs) glue::dict_set(level.get(), key.get(), value.get());
  });
  if (!listed || !pairs) return Ref();

  // Values are replaced in place, which leaves the walk undisturbed.
  bool leaves_only = true;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(level.get(), &pos, &k, &v)) {
    Ref key_held = Ref::borrow(k), text = Ref::borrow(v);
    if (Ref sub = read_nested_text(text.get())) {
      glue::dict_set(level.get(), key_held.get(), sub.get());
      leaves_only = false;
    }
  }

  // `level` has no attributes of its own, so it answers for the new
  // NestMap the update would be made on.
  bool gathered = !dotted && OWN_METHOD(level.get(), "update") && OWN_SLOT(level.get(), "__setitem__") &&
                  base_is_dict(level.get());
  if (!gathered) {
    Ref dsc = glue::check(PyDict_Copy(level.get()));
    Ref result = new_nestmap();
    update_of(result.get(), dsc.get());
    return result;
  }
  if (leaves_only) PyObject_GC_UnTrack(level.get());
  return level;
}

// NestMap.from_tcl(text) for a value inside a keyed list: the NestMap, or
// null where that raises ValueError.
Ref read_nested_text(PyObject* text) {
  if (!GLUE_RELIES_ON(state.origin, "from_tcl").class_holds(state.NestMap)) return nestmap_from_tcl_of(text, true);
  ListBytes bytes(text);
  return bytes.readable() ? read_level(bytes.data(), bytes.size()) : Ref();
}

// The general way: cast_list's splits, gathered in a dict.
Ref from_tcl_general(PyObject* value, PyObject* cast_list, bool nested);

// Whether a split element is certainly not a key/value pair (so dict()
// would refuse it); false when unsure, and dict() decides.
bool surely_not_pair(PyObject* split) {
  if (PyTuple_CheckExact(split) || PyList_CheckExact(split)) return Py_SIZE(split) != 2;
  return false;
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

// NestMap.from_tcl(value); with `nested`, an empty Ref where it would raise
// ValueError.
Ref read_keyed_list(PyObject* value, bool nested) {
  Ref cast_list = package_cast_list();
  if (own_cast_list(cast_list.get())) {
    Ref text;
    if (PyUnicode_Check(value))
      text = Ref::borrow(value);
    else if (Py_TYPE(value) == tcl_obj_type())
      text = glue::str(value);
    if (text) {
      ListBytes bytes(text.get());
      if (bytes.readable()) {
        if (Ref result = read_level(bytes.data(), bytes.size())) return result;
        if (nested) return Ref();
      } else if (nested) {
        return Ref();
      }
    }
  }
  if (nested) return glue::unless_raises({PyExc_ValueError}, [&] { return from_tcl_general(value, cast_list.get(), true); });
  return from_tcl_general(value, cast_list.get(), false);
}

Ref from_tcl_general(PyObject* value, PyObject* cast_list, bool nested) {
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
    if (nested && surely_not_pair(split.get())) glue::raise(PyExc_ValueError, "not a key/value pair");
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
    if (Ref sub = nestmap_from_tcl_of(item, true)) glue::dict_set(dsc.get(), key, sub.get());
  }
  Ref result = new_nestmap();
  update_of(result.get(), dsc.get());
  return result;
}

// ---------------------------------------------------------------------------
// Python-visible methods

GLUE_BODY(nestmap_init, self, args, kwargs) {
  init(self, args, kwargs);
  return Ref::borrow(Py_None);
}

GLUE_BODY(nestmap_from_tcl, string) { return read_keyed_list(string, false); }

GLUE_BODY(nestmap_getitem, self, key) { return getitem(self, key); }

GLUE_BODY(nestmap_setitem, self, key, value) {
  setitem(self, key, value);
  return Ref::borrow(Py_None);
}

GLUE_BODY(nestmap_contains, self, key) { return contains(self, key); }

GLUE_BODY(nestmap_delitem, self, key) {
  delitem(self, key);
  return Ref::borrow(Py_None);
}

GLUE_BODY(nestmap_update, self, args, kwargs) {
  update(self, args, kwargs);
  return Ref::borrow(Py_None);
}

GLUE_BODY(nestmap_all_keys, self) { return listing<false>(self); }
GLUE_BODY(nestmap_all_items, self) { return listing<true>(self); }

GLUE_BODY(nestmap_tclobj, self) {
  Ref entries = glue::check(PyDict_Items(self));
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

// Whether super(NestMap, self) finds dict's own methods for instances of
// the class as built.
bool base_was_dict() {
  for (const char* name : {"__init__", "__getitem__", "__setitem__", "__delitem__", "__contains__"}) {
    Ref key = glue::str_from(name);
    PyObject* own = PyDict_GetItemWithError(PyDict_Type.tp_dict, key.get());
    if (!own || state.origin.lookup_past(key.get()) != own) return false;
  }
  return true;
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
    state.origin.take(cls.get());
    state.base_was_dict = base_was_dict();
    if (PyErr_Occurred()) throw glue::PythonError{};
    m.add("NestMap", cls.get());
  });
}

