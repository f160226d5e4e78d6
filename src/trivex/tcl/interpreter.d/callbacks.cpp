// Module trivex.tcl.interpreter: Python callables published as Tcl commands.
#include "state.hpp"

namespace trivex::interpreter_module {
namespace {

constexpr const char* kBackupPrefix = "::hostAid::_cbBkup::";

Ref generate_callback_cmd_name(PyObject* callback, bool mangle) {
  Ref cmd_name = Ref::borrow(GLUE_STR(""));
  Ref func = glue::lookup_attr(callback, GLUE_STR("__func__"));
  if (!func) func = Ref::borrow(callback);
  if (Ref name = glue::lookup_attr(func.get(), GLUE_STR("__name__"))) cmd_name = name;
  if (!glue::truthy(cmd_name.get()) || mangle) {
    Ref prefix = glue::check(PyUnicode_FromFormat("%llu_", static_cast<unsigned long long>(
                                                               reinterpret_cast<uintptr_t>(callback))));
    cmd_name = glue::check(PyNumber_Add(prefix.get(), cmd_name.get()));
  }
  return cmd_name;
}

GLUE_BODY(interpreter_generate_callback_cmd_name, callback, mangle_cmd_name) {
  return generate_callback_cmd_name(callback, glue::truthy(mangle_cmd_name));
}

Ref global_cmds(PyObject* self) {
  Ref ns = ATTR(self, "global_ns");
  return ATTR(ns.get(), "cmds");
}

Ref backup_name(PyObject* cmd_name) {
  Ref colon = glue::str_from(":");
  Ref stripped = glue::call_method(cmd_name, GLUE_STR("lstrip"), colon.get());
  Ref prefix = glue::str_from(kBackupPrefix);
  return glue::check(PyUnicode_Concat(prefix.get(), stripped.get()));
}

// Where the n-th command displaced under one name waits (n >= 2; the first
// waits under backup_name).  Forcing over a name that is forced already
// stacks the displaced commands, and removing the callback restores the
// latest one, so each backup level has a name of its own.
Ref stacked_backup_name(PyObject* cmd_name, long level) {
  Ref colon = glue::str_from(":");
  Ref stripped = glue::call_method(cmd_name, GLUE_STR("lstrip"), colon.get());
  Ref prefix = glue::check(PyUnicode_FromFormat("%s__trivex__level%ld::", kBackupPrefix, level));
  return glue::check(PyUnicode_Concat(prefix.get(), stripped.get()));
}

// The name a command handle stands for.  Its str() is the Tcl text of its
// command line, which for a name with spaces or braces is the quoted form
// of the name, not the name.
Ref command_name(PyObject* tclcmd) { return glue::getattr(tclcmd, GLUE_STR("cmd_name")); }

// Whether no command of that exact name exists.  `exists()` asks `info
// commands`, which takes the name as a pattern, and so misses a command
// whose name holds brackets or finds others for one with `*`.
bool command_gone(PyObject* self, PyObject* name) {
  Ref tk = tk_of(self);
  Ref found = glue::call_method(tk.get(), GLUE_STR("call"), GLUE_STR("::namespace"), GLUE_STR("which"),
                                GLUE_STR("-command"), name);
  return !glue::truthy(found.get());
}

// Move the registry entry of a callback whose command Tcl now knows by
// another name.
void follow_rename(PyObject* self, PyObject* from, PyObject* to) {
  Ref registry = ATTR(self, "__callbacks__");
  if (!glue::check_status(PySequence_Contains(registry.get(), from))) return;
  Ref callback = glue::check(PyObject_GetItem(registry.get(), from));
  glue::check_status(PyObject_DelItem(registry.get(), from));
  glue::check_status(PyObject_SetItem(registry.get(), to, callback.get()));
}

GLUE_BODY(interpreter_create_callback, self, callback, cmd_name, force) {
  Ref name = Ref::borrow(cmd_name);
  if (!glue::truthy(name.get())) name = generate_callback_cmd_name(callback, false);
  name = glue::str(name.get());
  Ref cmds = global_cmds(self);
  Ref tclcmd = glue::check(PyObject_GetItem(cmds.get(), name.get()));
  name = command_name(tclcmd.get());
  if (!command_gone(self, name.get())) {
    if (!glue::truthy(force))
      glue::raisef(PyExc_ValueError, "Cannot create command '%U': command already exists", name.get());
    Ref backup = backup_name(name.get());
    for (long level = 2; !command_gone(self, backup.get()); ++level) backup = stacked_backup_name(name.get(), level);
    // The backup namespace may not exist yet in a plain interpreter.
    Ref qualifiers = glue::call_method(state.TclNamespace, GLUE_STR("qualifiers"), backup.get());
    Ref tk = tk_of(self);
    glue::call_method(tk.get(), GLUE_STR("call"), GLUE_STR("namespace"), GLUE_STR("eval"), qualifiers.get(),
                      GLUE_STR(""));
    Ref displaced = glue::check(PyObject_GetItem(cmds.get(), name.get()));
    glue::call_method(displaced.get(), GLUE_STR("rename"), backup.get());
    // A displaced callback stays published, under its backup name, so that
    // it is listed again when it comes back.
    follow_rename(self, name.get(), backup.get());
  }
  glue::call_method(tclcmd.get(), GLUE_STR("createcommand"), callback);
  Ref registry = ATTR(self, "__callbacks__");
  glue::check_status(PyObject_SetItem(registry.get(), name.get(), callback));
  return tclcmd;
}

GLUE_BODY(interpreter_remove_callback, self, callback) {
  Ref tclcmd;
  if (glue::isinstance(callback, state.TclCommand)) {
    tclcmd = Ref::borrow(callback);
  } else {
    Ref cmds = global_cmds(self);
    Ref key = PyCallable_Check(callback) ? generate_callback_cmd_name(callback, false) : Ref::borrow(callback);
    tclcmd = glue::check(PyObject_GetItem(cmds.get(), key.get()));
  }
  Ref cmd_name = command_name(tclcmd.get());
  Ref registry = ATTR(self, "__callbacks__");
  if (!glue::check_status(PySequence_Contains(registry.get(), cmd_name.get())))
    glue::raisef(PyExc_ValueError, "No callback in this interpreter named '%U'", cmd_name.get());
  try {
    glue::call_method(tclcmd.get(), GLUE_STR("delete"));
  } catch (const glue::PythonError&) {
    // A callback may have deleted its own command: then there is nothing
    // left to delete, and the callback is forgotten all the same.
    glue::CaughtError e;
    if (!e.matches(state.TclError) || !command_gone(self, cmd_name.get())) e.reraise();
  }
  glue::check_status(PyObject_DelItem(registry.get(), cmd_name.get()));
  // The latest of the stacked backups comes back.
  Ref backup = backup_name(cmd_name.get());
  for (long level = 2;; ++level) {
    Ref deeper = stacked_backup_name(cmd_name.get(), level);
    if (command_gone(self, deeper.get())) break;
    backup = deeper;
  }
  // Bound arguments given, so that the name is taken whole, not split as a
  // command line.
  Ref no_args = glue::check(PyTuple_New(0));
  Ref bkupcmd = glue::call_kw(state.TclCommand, {backup.get(), no_args.get(), self}, GLUE_KWNAMES("tcl"));
  if (!command_gone(self, backup.get())) {
    glue::call_method(bkupcmd.get(), GLUE_STR("rename"), cmd_name.get());
    follow_rename(self, backup.get(), cmd_name.get());
  }
  return Ref::borrow(Py_None);
}

const char* const kGenerateDoc =
    "Make a Tcl command name for a Python callable.\n"
    "\n"
    "Arguments:\n"
    "    callback: the callable (a bound method counts by its function's name).\n"
    "    mangle_cmd_name: prefix the name with the callable's id and \"_\".\n"
    "\n"
    "Returns:\n"
    "    The callable's __name__, or \"<id>_<name>\" when mangled or nameless.";

const char* const kCreateCallbackDoc =
    "Publish a Python callable as a Tcl command.\n"
    "\n"
    "Tcl calls it with the command's words as str arguments; what it returns\n"
    "becomes the command's result.  An exception it raises becomes a Tcl\n"
    "error naming the exception, with the Python traceback in errorInfo.\n"
    "\n"
    "Arguments:\n"
    "    callback: the callable.\n"
    "    cmd_name: the command name, resolved from the global namespace;\n"
    "        by default the callable's name.\n"
    "    force: publish over an existing command, which is moved into the\n"
    "        namespace ::hostAid::_cbBkup and restored by remove_callback().\n"
    "\n"
    "Returns:\n"
    "    The TclCommand of the new command.\n"
    "\n"
    "Raises:\n"
    "    ValueError: the command exists and force is false.";

const char* const kRemoveCallbackDoc =
    "Withdraw a callback published with create_callback().\n"
    "\n"
    "A command that the callback displaced is put back.\n"
    "\n"
    "Arguments:\n"
    "    callback: the callable, its command name, or the TclCommand that\n"
    "        create_callback() returned.\n"
    "\n"
    "Raises:\n"
    "    ValueError: no callback of that name is published here.";

}  // namespace

void add_callback_methods(glue::ClassBody& body) {
  body.staticmethod({"generate_callback_cmd_name", "(callback, mangle_cmd_name=False)",
                     interpreter_generate_callback_cmd_name, kGenerateDoc});
  body.method({"create_callback", "(self, callback, cmd_name=None, force=False)", interpreter_create_callback,
               kCreateCallbackDoc});
  body.method({"remove_callback", "(self, callback)", interpreter_remove_callback, kRemoveCallbackDoc});
}

}  // namespace trivex::interpreter_module
