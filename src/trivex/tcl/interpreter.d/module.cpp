// Module trivex.tcl.interpreter: the Interpreter class and the shared one.
//
// `Interpreter` is an ordinary Python class (made by its metaclass from
// function objects, like every class of the package) derived from
// tkinter.Tk with the Tk toolkit switched off.  Its instance state lives in
// the instance __dict__ as the documentation lists it (history, j, the two
// namespaces and their views, the callback registry), so Python code,
// subclasses and the package's other modules see exactly what they would see
// of a class written in Python.
//
// Where a method calls another public method of the instance (cast_int from
// get_int, cast_any from eval, ...), it calls it through the instance, so
// that subclasses can override any of them.  cast_any is the exception that
// proves the rule: it is the guesser behind every typecast result, and
// trying int, float and boolean readers in turn would raise and catch a
// Python exception per failed guess.  When the readers are the class's own,
// it asks Tcl's C functions the same questions tkinter's readers ask (same
// functions, same text), and only falls back to the readers themselves where
// that cannot be exact (integers beyond 64 bits, text Tcl cannot take).
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
#include "state.hpp"

namespace trivex::interpreter_module {

State state;

namespace {

const char* const kModuleDoc =
    "The Tcl interpreter of trivex.tcl.\n"
    "\n"
    "Implements Interpreter, a tkinter.Tk without the Tk toolkit that loads\n"
    "TclX, runs the initialisation hooks other packages register, evaluates\n"
    "Tcl, reads and writes Tcl variables with typecasts and publishes Python\n"
    "callables as Tcl commands; and _global_interpreter, the shared\n"
    "Interpreter whose public names the package publishes as functions.";
const char* const kClassDoc =
    "A Tcl bridge with typecasting and variable access.\n"
    "\n"
    "An Interpreter owns one Tcl interpreter (no Tk window), with TclX loaded\n"
    "and the initialisation hooks of the entry-point group \"trivex.tcl\" run.\n"
    "\n"
    "Examples:\n"
    "    >>> interp = Interpreter()\n"
    "    >>> interp.eval('expr {6 * 7}', typecast=True)\n"
    "    42\n"
    "    >>> interp.j.string('toupper', 'abc')\n"
    "    'ABC'";

Ref make_interpreter_class(const char* module) {
  glue::ClassBody body("Interpreter", module);
  Ref max_history = glue::check(PyLong_FromLong(9999));
  body.add("__MAX_HISTORY__", max_history.get());
  add_construction_methods(body);
  add_callback_methods(body);
  add_evaluation_methods(body);
  add_access_methods(body);
  add_cast_methods(body);
  body.lend_methods();
  return body.build({state.Tk}, kClassDoc);
}

// __all__ of the shared interpreter: the class's public names in class
// order, then the instance's public attributes in creation order.
void set_public_names(PyObject* interp) {
  Ref names = glue::new_list();
  auto add_public = [&](PyObject* mapping) {
    Ref keys = glue::check(PyMapping_Keys(mapping));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      PyObject* k = PyList_GET_ITEM(keys.get(), i);
      if (PyUnicode_Check(k) && PyUnicode_READ_CHAR(k, 0) != '_') glue::list_append(names.get(), k);
    }
  };
  Ref class_dict = glue::getattr(state.Interpreter, "__dict__");
  add_public(class_dict.get());
  Ref inst_dict = glue::getattr(interp, "__dict__");
  add_public(inst_dict.get());
  glue::setattr(interp, "__all__", names.get());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "interpreter", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace trivex::interpreter_module

PyMODINIT_FUNC PyInit_interpreter() {
  using namespace trivex::interpreter_module;
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    m.import_module("logging", "logging");
    state.Tk = Ref::borrow(m.import_from("tkinter", "Tk"));
    state.TclError = Ref::borrow(m.import_from("tkinter", "TclError"));
    state.Tcl_Obj = Ref::borrow(m.import_from("_tkinter", "Tcl_Obj"));
    state.iter_entry_points = Ref::borrow(m.import_from(GLUE_MODULE_NAME("_entrypoints"), "iter_entry_points"));
    state.NestMap = Ref::borrow(m.import_from(GLUE_MODULE_NAME("nestmap"), "NestMap"));
    state.Array = Ref::borrow(m.import_from(GLUE_MODULE_NAME("array"), "Array"));
    state.History = Ref::borrow(m.import_from(GLUE_MODULE_NAME("history"), "History"));
    state.tclobj = Ref::borrow(m.import_from(GLUE_MODULE_NAME("quotify"), "tclobj"));
    state.GetListFromAny = Ref::borrow(m.import_from(GLUE_MODULE_NAME("internal"), "GetListFromAny"));
    m.import_from(GLUE_MODULE_NAME("internal"), "TclDLL");
    state.TclNamespace = Ref::borrow(m.import_from(GLUE_MODULE_NAME("namespace"), "TclNamespace"));
    state.TclCommand = Ref::borrow(m.import_from(GLUE_MODULE_NAME("namespace"), "TclCommand"));
    state.quotify = Ref::borrow(m.import_from(GLUE_MODULE_NAME("quotify"), "quotify"));
    state.J = Ref::borrow(m.import_from(GLUE_MODULE_NAME("j"), "J"));
    state.entrypoint_group = glue::str_from(GLUE_PACKAGE);
    m.add("TCL_INIT_ENTRYPOINT", state.entrypoint_group);
    state.allowed_entrypoint_keys = glue::str_from("tcl_init");
    m.add("TCL_ALLOWED_ENTRYPOINT_KEYS", state.allowed_entrypoint_keys);
    Ref get_logger = glue::import_attr("logging", "getLogger");
    Ref logger_name = glue::str_from(kModule);
    state.logger = glue::call(get_logger.get(), logger_name.get());
    m.add("logger", state.logger);

    prepare_ending();
    state.get_int_max_str_digits = glue::import_attr("sys", "get_int_max_str_digits");
    Ref int_info = glue::import_attr("sys", "int_info");
    Ref threshold = glue::getattr(int_info.get(), "str_digits_check_threshold");
    state.digits_check_threshold = PyLong_AsSsize_t(threshold.get());
    if (state.digits_check_threshold == -1 && PyErr_Occurred()) throw glue::PythonError{};
    Ref cls = make_interpreter_class(kModule);
    state.Interpreter = cls;
    state.origin.take(state.Interpreter);
    m.add("Interpreter", cls.get());

    Ref shared = glue::call(cls.get());
    set_public_names(shared.get());
    m.add("_global_interpreter", shared.get());
  });
}
