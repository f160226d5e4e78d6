// The package's small C++ layer for CPython extension modules.
//
//   ref.hpp       owning references, the error rules, the exception boundary
//   attr.hpp      attribute reads and method calls on hot paths
//   guard.hpp     whether a fast path may skip a method lookup through self
//   function.hpp  the callable type with its argument binding
//   klass.hpp     classes made by their metaclass; module initialisation
//   iter.hpp      an iterator that fetches its items on first use
#pragma once

#include "attr.hpp"
#include "function.hpp"
#include "guard.hpp"
#include "iter.hpp"
#include "klass.hpp"
#include "ref.hpp"
