// Module trivex.tcl.interpreter: the end of a Tcl interpreter.
//
// tkinter deletes its Tcl interpreter only when the application object (the
// `tk` attribute) is freed, and the object is kept alive by every command
// published through it: an Interpreter dropped with callbacks published
// kept its whole Tcl interpreter and everything the callbacks reference.
// So an Interpreter ends its Tcl interpreter itself, in destroy() or when it
// is freed, while the application object may live on in other hands.
//
// Three constraints shape how.  The application object deletes whatever
// interpreter it points at when it is freed, and calls into it until then,
// so it must always point at a valid one: after the end it points at a
// "grave", an interpreter of this thread that was marked deleted once and is
// never freed, on which every evaluation fails and a second deletion does
// nothing.  tkinter's command records release their Python objects expecting
// to be inside one of tkinter's own calls into Tcl (the GIL released, the
// thread state put aside), so the deletion has to run inside such a call:
// the object is briefly pointed at a "sink", a live interpreter of this
// thread whose only command `destroy` does the deletion, and tkinter is
// asked to call that command.  The same command answers tkinter.Tk.destroy,
// which ends with `tk.call("destroy", ".")`.  And Tcl must not delete an
// interpreter in the middle of an evaluation, so the end is refused while
// one runs (destroy() from inside a callback of the same interpreter).
#include "state.hpp"

namespace trivex::interpreter_module {
namespace {

// What the sink's `destroy` does next: point `tkapp` at `after` and delete
// `doomed`.  Set just before tkinter is asked to call it.
struct Ending {
  tcl::TkappHead* tkapp = nullptr;
  tcl::Tcl_Interp* doomed = nullptr;
  tcl::Tcl_Interp* after = nullptr;
};
thread_local Ending t_ending;
thread_local tcl::Tcl_Interp* t_grave = nullptr;
thread_local tcl::Tcl_Interp* t_sink = nullptr;

int sink_destroy(tcl::ClientData, tcl::Tcl_Interp*, int, tcl::Tcl_Obj* const*) {
  Ending e = std::exchange(t_ending, Ending{});
  if (e.tkapp) e.tkapp->interp = e.after;
  if (e.doomed) tcl::life_api().DeleteInterp(e.doomed);
  return tcl::TCL_OK;
}

// Empty a new interpreter of everything it was made with (variables,
// commands, namespaces): the grave and the sink stay for as long as their
// thread, and each would otherwise keep a few hundred kilobytes of what a
// new interpreter holds.
void strip(tcl::Tcl_Interp* ip) {
  tcl::life_api().Eval(ip,
                       "foreach v [info vars ::*] {unset -nocomplain $v}\n"
                       "foreach c [info commands] {if {$c ni {rename foreach if info namespace}} {rename $c {}}}\n"
                       "rename info {}; rename if {}; rename foreach {}\n"
                       "namespace delete {*}[namespace children ::]\n"
                       "rename rename {}");
}

tcl::Tcl_Interp* grave() {
  if (!t_grave) {
    const tcl::LifeApi& life = tcl::life_api();
    tcl::Tcl_Interp* ip = life.CreateInterp();
    strip(ip);
    life.Preserve(ip);
    life.DeleteInterp(ip);
    t_grave = ip;
  }
  return t_grave;
}

tcl::Tcl_Interp* sink() {
  const tcl::LifeApi& life = tcl::life_api();
  // An object freed while it pointed here has deleted it; it stays allocated
  // (preserved) for anyone still pointing at it, and a new one takes over.
  if (t_sink && life.InterpDeleted(t_sink)) t_sink = nullptr;
  if (!t_sink) {
    tcl::Tcl_Interp* ip = life.CreateInterp();
    life.Preserve(ip);
    strip(ip);  // nothing but `destroy` is left to run, whatever reaches it
    if (!life.CreateObjCommand(ip, "destroy", sink_destroy, nullptr, nullptr))
      glue::raise(PyExc_RuntimeError, "cannot set up the end of Tcl interpreters");
    t_sink = ip;
  }
  return t_sink;
}

// Have tkinter call the sink's `destroy` for `h`, which points it at
// `after` and deletes `doomed` (if any).
void run_in_sink(PyObject* tk, tcl::TkappHead* h, tcl::Tcl_Interp* doomed, tcl::Tcl_Interp* after) {
  tcl::Tcl_Interp* before = h->interp;
  t_ending = Ending{h, doomed, after};
  h->interp = sink();
  Ref r = Ref::steal(PyObject_CallMethodOneArg(tk, GLUE_STR("call"), GLUE_STR("destroy")));
  if (!r) {
    if (t_ending.tkapp == h) {
      t_ending = Ending{};
      h->interp = before;
    }
    throw glue::PythonError{};
  }
}

// End the Tcl interpreter of application object `tk`; with `arm`, leave it
// ready for tkinter.Tk.destroy's own `tk.call("destroy", ".")`.
void end_interpreter(PyObject* tk, bool arm) {
  tcl::TkappHead* h = tcl::tkapp_head(tk);
  if (!h) glue::raise(PyExc_RuntimeError, "cannot end a Tcl interpreter held by an unknown kind of object");
  const tcl::LifeApi& life = tcl::life_api();
  if (h->thread_id != life.GetCurrentThread()) tcl::raise_wrong_thread(h);
  if (!life.InterpDeleted(h->interp)) {
    if (life.InterpActive(h->interp))
      glue::raise(PyExc_RuntimeError, "cannot destroy a Tcl interpreter while it is evaluating a script");
    run_in_sink(tk, h, h->interp, grave());
  }
  if (arm) {
    t_ending = Ending{h, nullptr, h->interp};
    h->interp = sink();
  }
}

// destroy() of the entry an Interpreter keeps in its `children`, which
// tkinter.Tk.destroy calls first: ends the Tcl interpreter and forgets the
// callbacks.  Its data is (tk, weak reference to the Interpreter).
Ref ender_destroy(const Args& a) {
  PyObject* data = a.function()->data;
  PyObject* tk = PyTuple_GET_ITEM(data, 0);
  Ref self = Ref::borrow(PyWeakref_GetObject(PyTuple_GET_ITEM(data, 1)));
  if (self.get() != Py_None) {
    // Tk.destroy deletes these through tk, which will have nothing left.
    if (instance_dict_item(self.get(), GLUE_STR("_tclCommands"))) glue::setattr(self.get(), "_tclCommands", Py_None);
  }
  end_interpreter(tk, true);
  if (self.get() != Py_None) {
    if (PyObject* registry = instance_dict_item(self.get(), GLUE_STR("__callbacks__"))) {
      Ref keep = Ref::borrow(registry);
      GLUE_CALL(registry, "clear");
    }
  }
  return Ref::borrow(Py_None);
}

// The finaliser of every Interpreter: ends its Tcl interpreter when that is
// possible here, and otherwise leaves it to tkinter.
GLUE_BODY(end_quietly, tk) {
  if (_Py_IsFinalizing()) return Ref::borrow(Py_None);
  try {
    end_interpreter(tk, false);
  } catch (const glue::PythonError&) {
    PyErr_Clear();
  }
  return Ref::borrow(Py_None);
}

}  // namespace

// Hook the end of the Tcl interpreter to destroy() and to the Interpreter's
// own end.
void arrange_end(PyObject* self) {
  Ref tk = GLUE_MEMBER(self, "tk");
  if (!tcl::tkapp_head(tk.get())) return;
  Ref fin = glue::call(state.finalize, self, state.end_quietly, tk.get());
  glue::setattr(fin.get(), "atexit", Py_False);
  Ref weak = glue::check(PyWeakref_NewRef(self, nullptr));
  Ref data = glue::check(PyTuple_Pack(2, tk.get(), weak.get()));
  Ref destroy = glue::make_function({"destroy", "()", ender_destroy, "End the Tcl interpreter."}, kModule, nullptr,
                                    {}, data.get());
  Ref kwargs = glue::new_dict();
  glue::dict_set(kwargs.get(), "destroy", destroy.get());
  Ref empty = glue::check(PyTuple_New(0));
  Ref entry = glue::call_kw(state.SimpleNamespace, empty.get(), kwargs.get());
  Ref children = glue::getattr(self, "children");
  glue::check_status(PyObject_SetItem(children.get(), GLUE_STR("!trivex-end"), entry.get()));
}

void prepare_ending() {
  state.finalize = glue::import_attr("weakref", "finalize");
  state.SimpleNamespace = glue::import_attr("types", "SimpleNamespace");
  state.end_quietly = glue::make_function({"_end_tcl", "(tk)", end_quietly, nullptr}, kModule);
}

}  // namespace trivex::interpreter_module
