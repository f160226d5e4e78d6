// Module trivex.tcl._testing: the parts of trivex.tcl.testing that must sit
// on Tcl's C API: cancelling evaluations at a deadline or on Ctrl-C, and the
// command body of mocks.
//
// How a cancellation reaches Tcl.  Tcl_CancelEval with TCL_CANCEL_UNWIND
// stops a running script past every `catch`, and Tcl notices it in its
// bytecode loop, between commands, inside `vwait`/`update` and in the
// slices of `after`.  But a cancellation is only sound when made in the
// interpreter's own thread at a moment we choose, so the watcher thread
// never cancels anything itself: it marks a Tcl async handler (one per
// thread that uses a limit, made in that thread), which Tcl runs in that
// thread at its next safe point, waking a waiting event loop to do so.  The
// handler then decides from the state kept here whether anything is still
// to cancel, so a mark that arrives late is harmless.
//
// An unwound interpreter stays unwound: Tcl 8.6 reached through tkinter
// never clears the flags by itself, so every later evaluation fails at
// once.  That is what a time limit wants until its block ends (the deadline
// has passed for all of the block), and the block's end clears them.  After
// Ctrl-C they are cleared when Python handles the SIGINT, which happens
// once the evaluation has returned.
//
// When the deadline passes while Python code runs, nothing is evaluating:
// the limit's thread is the main thread in practice, so a pending call
// (run by Python's eval loop in the main thread) applies the cancellation
// there and then, and the next evaluation fails before its first command.
// The handler is marked again to learn whether an evaluation met it (Tcl
// runs it at the end of a command even when it refused the command), so a
// block whose Python part merely ran late does not fail.
//
// Ctrl-C: a SIGINT handler chained in front of Python's own records the
// signal and wakes the watcher, which marks the main thread's handler.  The
// handler cancels the interpreter that is evaluating; Python's own handler
// (wrapped by trivex.tcl.testing) raises KeyboardInterrupt as usual and
// clears the cancellation.
//
// Mock commands are Tcl object commands calling one Python callable with
// the words as a tuple of str; an exception becomes a Tcl error with the
// exception's `errorcode` as -errorcode.
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
// arguments; work shared between entries lives in plain-named helpers.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/tclapi.hpp"
#include "to_tcl.hpp"
#include "from_tcl.hpp"
#include "bridge/tkapp.hpp"

namespace {

using glue::Ref;
namespace tcl = trivex::tcl;
using tcl::Tcl_Interp;
using tcl::Tcl_Obj;
using Clock = std::chrono::steady_clock;

constexpr int TCL_CANCEL_UNWIND = 0x100000;

using AsyncHandler = void*;
using AsyncProc = int(void*, Tcl_Interp*, int);
using ThreadId = void*;

struct Fns {
  int (*CancelEval)(Tcl_Interp*, Tcl_Obj*, void*, int);
  AsyncHandler (*AsyncCreate)(AsyncProc*, void*);
  void (*AsyncMark)(AsyncHandler);
  void (*AsyncDelete)(AsyncHandler);
  void (*CreateThreadExitHandler)(void (*)(void*), void*);
  int (*AsyncInvoke)(Tcl_Interp*, int);
  int (*InterpActive)(Tcl_Interp*);
  int (*ResetCancellation)(Tcl_Interp*, int);
  ThreadId (*GetCurrentThread)();
  void* (*CreateObjCommand)(Tcl_Interp*, const char*, tcl::Tcl_ObjCmdProc*, void*, tcl::Tcl_CmdDeleteProc*);
  const char* (*GetStringFromObj)(Tcl_Obj*, int*);
  void (*SetObjErrorCode)(Tcl_Interp*, Tcl_Obj*);
  void (*CallWhenDeleted)(Tcl_Interp*, void (*)(void*, Tcl_Interp*), void*);
  void (*DontCallWhenDeleted)(Tcl_Interp*, void (*)(void*, Tcl_Interp*), void*);
};
Fns fn;

// -- shared state ---------------------------------------------------------------------

struct Limit {
  long id;
  Tcl_Interp* interp;    // null once Tcl has deleted it
  ThreadId thread;
  AsyncHandler handler;  // of `thread`
  Clock::time_point deadline;
  std::string message;
  bool fired = false;    // the deadline has passed
  bool applied = false;  // Tcl_CancelEval was called for it
  bool hit = false;      // ... and an evaluation met the cancellation
  bool probe = false;    // applied while idle: watch for the next evaluation
};

std::mutex mu;  // guards everything below that is not atomic
std::vector<Limit> limits;
long next_id = 1;
std::vector<Tcl_Interp*> interrupted;  // cancelled on Ctrl-C, not yet cleared
// The interpreters named above, with the number of entries naming each.  An
// entry may outlive its interpreter (Interpreter.destroy() inside a
// time_limit block, or Tcl deleting it): Tcl tells us when it deletes one,
// and every entry naming it lets go of it then, so nothing here ever hands
// Tcl a freed interpreter, or one made since at the same address.
std::vector<std::pair<Tcl_Interp*, int>> watched;
bool retry_pending = false;
bool pending_call_queued = false;

ThreadId main_thread = nullptr;
AsyncHandler main_handler = nullptr;
// Tcl insists that a thread's async handler is deleted by that thread, and
// deletes what is left when the process ends, from the main thread: so a
// thread other than the main one deletes its own as it ends.
// A thread that hands its Tcl data back (Tcl_FinalizeThread) deletes it
// then, through a Tcl thread exit handler, while that data still exists:
// deleting it later, as the thread ends, would make Tcl allocate that data
// afresh, and nobody would free it again.
struct ThreadHandler {
  AsyncHandler handler = nullptr;
  void drop() {
    if (handler && syscall(SYS_gettid) != getpid()) fn.AsyncDelete(handler);
    handler = nullptr;
  }
  ~ThreadHandler() { drop(); }
};
thread_local ThreadHandler thread_handler;

void drop_thread_handler(void*) { thread_handler.drop(); }

std::atomic<unsigned long> sigints{0};        // SIGINTs received
std::atomic<unsigned long> sigints_done{0};   // ... acted on or handled by Python
// Python raised its KeyboardInterrupt inside a callback Tcl was running,
// before the handler cancelled Tcl: the callback's error is Tcl's to catch,
// so once Tcl is cancelled Python is interrupted again, to raise the
// KeyboardInterrupt where the evaluation returns (and clear the cancellation).
std::atomic<bool> redeliver{false};
struct sigaction previous_action;
bool sigint_installed = false;
// The Python objects the module keeps; each reference is owned.
struct State {
  glue::Owned Misc;            // tkinter.Misc, once install_sigint has run
  glue::Owned gc_get_objects;  // gc.get_objects
  glue::Owned error_parts;     // (exc) -> (message, errorcode text or None)
};
State state;
PyTypeObject* misc_type() { return reinterpret_cast<PyTypeObject*>(state.Misc.get()); }

// tkinter's application object, seen through the one head view the package
// has: a layout that differs makes no interpreter look like this thread's,
// and Ctrl-C in the event loop then cancels nothing, as without this module.
using TkappHead = tcl::TkappHead;

const char* const kInterruptMessage = "interrupted (Ctrl-C)";

int wake_fds[2] = {-1, -1};
std::thread watcher;

Tcl_Obj* new_text(const std::string& s) { return tcl::api().NewStringObj(s.data(), static_cast<int>(s.size())); }

void cancel(Tcl_Interp* interp, const std::string& message) {
  fn.CancelEval(interp, new_text(message), nullptr, TCL_CANCEL_UNWIND);
}

void wake() {
  if (wake_fds[1] < 0) return;
  ssize_t n = write(wake_fds[1], "w", 1);
  (void)n;
}

// Called by Tcl as it deletes a watched interpreter, in the thread that
// owns it, maybe inside a tkinter call (no GIL): touches only the tables.
// Limits keep their entries, interpreter dropped, so that the end of their
// block still learns whether they cancelled anything.
void interp_deleted(void*, Tcl_Interp* interp) {
  std::lock_guard<std::mutex> lock(mu);
  for (Limit& l : limits)
    if (l.interp == interp) l.interp = nullptr, l.probe = false;
  interrupted.erase(std::remove(interrupted.begin(), interrupted.end(), interp), interrupted.end());
  watched.erase(std::remove_if(watched.begin(), watched.end(), [&](const auto& w) { return w.first == interp; }),
                watched.end());
}

// One more entry names `interp`; in its thread, with `mu` held.
void watch(Tcl_Interp* interp) {
  for (auto& w : watched)
    if (w.first == interp) return void(++w.second);
  fn.CallWhenDeleted(interp, interp_deleted, nullptr);
  watched.emplace_back(interp, 1);
}

// One entry fewer names `interp` (null: gone already); in its thread, with
// `mu` held.
void unwatch(Tcl_Interp* interp) {
  auto it = std::find_if(watched.begin(), watched.end(), [&](const auto& w) { return w.first == interp; });
  if (!interp || it == watched.end() || --it->second > 0) return;
  fn.DontCallWhenDeleted(interp, interp_deleted, nullptr);
  watched.erase(it);
}

void remember_interrupted(Tcl_Interp* interp) {
  std::lock_guard<std::mutex> lock(mu);
  if (std::find(interrupted.begin(), interrupted.end(), interp) == interrupted.end()) {
    interrupted.push_back(interp);
    watch(interp);
  }
}

// The interpreters of the process's tkinter objects (instances of
// tkinter.Misc holding a tkapp in their __dict__), needed when Tcl runs the
// handler from its event loop, where it does not say which interpreter is
// waiting.  Only C-level calls: no Python code may run here, or Python would
// handle the very SIGINT being served.
std::vector<Tcl_Interp*> known_interps() {
  std::vector<Tcl_Interp*> out;
  ThreadId self = fn.GetCurrentThread();
  if (!state.Misc || !Py_IsInitialized() || _Py_IsFinalizing()) return out;
  PyGILState_STATE st = PyGILState_Ensure();
  Ref objects = Ref::steal(state.gc_get_objects ? PyObject_CallNoArgs(state.gc_get_objects) : nullptr);
  if (objects && PyList_Check(objects.get())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(objects.get()); ++i) {
      PyObject* o = PyList_GET_ITEM(objects.get(), i);
      if (!PyObject_TypeCheck(o, misc_type())) continue;
      PyObject** dictptr = _PyObject_GetDictPtr(o);
      if (!dictptr || !*dictptr) continue;
      PyObject* tk = PyDict_GetItemString(*dictptr, "tk");
      if (!tk || !tcl::is_tkapp(tk)) continue;
      // Only this thread's interpreters: another thread's evaluation is not
      // the one Ctrl-C interrupts, nor ours to touch.
      if (reinterpret_cast<TkappHead*>(tk)->thread_id != self) continue;
      Ref addr = Ref::steal(PyObject_CallMethod(tk, "interpaddr", nullptr));  // a C method
      Tcl_Interp* ip = addr ? static_cast<Tcl_Interp*>(PyLong_AsVoidPtr(addr.get())) : nullptr;
      PyErr_Clear();
      if (ip && std::find(out.begin(), out.end(), ip) == out.end()) out.push_back(ip);
    }
  }
  objects = Ref();
  PyErr_Clear();
  PyGILState_Release(st);
  return out;
}

// Runs in the thread that made it, at one of Tcl's safe points; `interp` is
// the interpreter evaluating there, or NULL in the event loop.
int async_proc(void*, Tcl_Interp* interp, int code) {
  ThreadId self = fn.GetCurrentThread();
  std::vector<std::pair<Tcl_Interp*, std::string>> todo;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (Limit& l : limits) {
      if (!l.fired || l.thread != self || !l.interp) continue;
      if (l.applied) {
        // Tcl runs the handler at the end of a command even when the
        // interpreter refused it for being cancelled.
        if (l.probe && l.interp == interp) l.hit = true, l.probe = false;
        if (l.probe) retry_pending = true;
      } else if (l.interp == interp || fn.InterpActive(l.interp)) {
        l.applied = l.hit = true;
        todo.emplace_back(l.interp, l.message);
      } else {
        retry_pending = true;
      }
    }
  }
  for (auto& [ip, message] : todo) cancel(ip, message);

  unsigned long seen = sigints.load();
  if (self == main_thread && seen != sigints_done.load()) {
    sigints_done.store(seen);
    std::vector<Tcl_Interp*> targets;
    if (interp) {
      targets.push_back(interp);
    } else {
      for (Tcl_Interp* ip : known_interps())
        if (fn.InterpActive(ip)) targets.push_back(ip);
    }
    for (Tcl_Interp* ip : targets) {
      cancel(ip, kInterruptMessage);
      remember_interrupted(ip);
    }
    if (redeliver.exchange(false) && !targets.empty()) PyErr_SetInterruptEx(SIGINT);
  }
  bool retry;
  {
    std::lock_guard<std::mutex> lock(mu);
    retry = retry_pending;
  }
  if (retry) wake();
  return code;
}

// A pending call in the main thread: apply fired limits of idle main-thread
// interpreters now, so that their next evaluation fails before it starts.
int apply_idle(void*) {
  std::vector<std::pair<Tcl_Interp*, std::string>> todo;
  {
    std::lock_guard<std::mutex> lock(mu);
    pending_call_queued = false;
    for (Limit& l : limits) {
      if (!l.fired || l.applied || !l.interp || l.thread != main_thread || fn.InterpActive(l.interp)) continue;
      l.applied = true;
      todo.emplace_back(l.interp, l.message);
    }
  }
  // No script runs between the loop above and here, so none of these
  // interpreters can have been deleted meanwhile.
  for (auto& [ip, message] : todo) {
    cancel(ip, message);
    fn.AsyncInvoke(ip, 0);  // runs Tcl's cancel handler: the flags are set now
  }
  if (todo.empty()) return 0;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (Limit& l : limits)
      for (auto& t : todo)
        if (l.applied && !l.hit && l.interp == t.first) l.probe = true;
  }
  fn.AsyncMark(main_handler ? main_handler : thread_handler.handler);
  return 0;
}

void watcher_loop() {
  for (;;) {
    int timeout = -1;
    std::vector<AsyncHandler> to_mark;
    bool queue_call = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      auto now = Clock::now();
      for (Limit& l : limits) {
        if (!l.interp) continue;
        if (!l.fired && l.deadline <= now) {
          l.fired = true;
          to_mark.push_back(l.handler);
          if (l.thread == main_thread && !pending_call_queued) queue_call = pending_call_queued = true;
        }
        if (!l.fired) {
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(l.deadline - now).count() + 1;
          timeout = timeout < 0 ? static_cast<int>(ms) : std::min(timeout, static_cast<int>(ms));
        }
      }
      if (retry_pending) {
        retry_pending = false;
        for (Limit& l : limits)
          if (l.interp && l.fired && (!l.applied || l.probe)) to_mark.push_back(l.handler);
        timeout = timeout < 0 ? 20 : std::min(timeout, 20);
      }
    }
    for (AsyncHandler h : to_mark) fn.AsyncMark(h);
    if (queue_call) Py_AddPendingCall(apply_idle, nullptr);

    pollfd p{wake_fds[0], POLLIN, 0};
    int r = poll(&p, 1, timeout);
    if (r > 0) {
      char buf[64];
      ssize_t n = read(wake_fds[0], buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] == 'q') return;
        if (buf[i] == 's' && main_handler) fn.AsyncMark(main_handler);
      }
    }
  }
}

// A forked child has no watcher thread and shares the parent's pipe: it
// forgets both (and a lock the watcher may have held) and starts its own
// watcher when it next needs one.
void forget_watcher_in_child() {
  new (&mu) std::mutex();
  new (&watcher) std::thread();
  for (int& fd : wake_fds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void start_watcher() {
  if (watcher.joinable()) return;
  static bool at_fork = (pthread_atfork(nullptr, nullptr, forget_watcher_in_child), true);
  (void)at_fork;
  if (pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) glue::raise(PyExc_OSError, "cannot make the watcher's pipe");
  watcher = std::thread(watcher_loop);
}

AsyncHandler this_thread_handler() {
  if (!thread_handler.handler) {
    thread_handler.handler = fn.AsyncCreate(async_proc, nullptr);
    fn.CreateThreadExitHandler(drop_thread_handler, nullptr);
  }
  return thread_handler.handler;
}

Tcl_Interp* interp_arg(PyObject* tk) { return tcl::interp_of(tk); }

// -- time limits -----------------------------------------------------------------------

GLUE_BODY(add_limit, tk, seconds, message) {
  Tcl_Interp* interp = interp_arg(tk);
  // Only the interpreter's own thread can cancel it, or learn of its end.
  if (const tcl::TkappHead* h = tcl::tkapp_head(tk); h && h->thread_id != fn.GetCurrentThread())
    tcl::raise_wrong_thread(h);
  double span_seconds = PyFloat_AsDouble(seconds);
  if (span_seconds == -1.0 && PyErr_Occurred()) throw glue::PythonError{};
  Py_ssize_t len = 0;
  const char* msg = PyUnicode_AsUTF8AndSize(message, &len);
  if (!msg) throw glue::PythonError{};
  start_watcher();
  Limit l;
  l.interp = interp;
  l.thread = fn.GetCurrentThread();
  l.handler = this_thread_handler();
  // About ten years stands in for longer spans, which the clock cannot hold.
  auto span = std::chrono::duration<double>(std::clamp(span_seconds, 0.0, 3.2e8));
  l.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
  l.message.assign(msg, static_cast<size_t>(len));
  long id;
  {
    std::lock_guard<std::mutex> lock(mu);
    id = l.id = next_id++;
    watch(interp);
    limits.push_back(std::move(l));
  }
  wake();
  return glue::check(PyLong_FromLong(id));
}

// Forget a limit; clear the cancellation it made unless another fired limit
// of the same interpreter still wants it.  Returns whether it cancelled an
// evaluation.
GLUE_BODY(remove_limit, limit_id) {
  long id = PyLong_AsLong(limit_id);
  if (id == -1 && PyErr_Occurred()) throw glue::PythonError{};
  bool applied = false, hit = false, others = false;
  Tcl_Interp* interp = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = std::find_if(limits.begin(), limits.end(), [&](const Limit& l) { return l.id == id; });
    if (it == limits.end()) return Ref::borrow(Py_False);
    applied = it->applied;
    hit = it->hit;
    interp = it->interp;
    limits.erase(it);
    unwatch(interp);
    for (const Limit& l : limits)
      if (interp && l.interp == interp && l.applied) others = true;
  }
  if (interp && applied && !others) fn.ResetCancellation(interp, 1);
  return Ref::borrow(hit ? Py_True : Py_False);
}

// -- Ctrl-C --------------------------------------------------------------------------------

void on_sigint(int sig, siginfo_t* info, void* context) {
  int saved = errno;
  sigints.fetch_add(1);
  if (previous_action.sa_flags & SA_SIGINFO) {
    if (previous_action.sa_sigaction) previous_action.sa_sigaction(sig, info, context);
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(sig);
  }
  if (wake_fds[1] >= 0) {
    ssize_t n = write(wake_fds[1], "s", 1);
    (void)n;
  }
  errno = saved;
}

// (Re)install the chained handler in front of the process's current one:
// Python's signal.signal() replaces ours, and a later call brings it back.
GLUE_BODY(install_sigint, misc) {
  if (!PyType_Check(misc)) glue::raise(PyExc_TypeError, "install_sigint() needs tkinter.Misc");
  if (!state.Misc) {
    state.gc_get_objects = glue::import_attr("gc", "get_objects");
    state.Misc = Ref::borrow(misc);
    main_thread = fn.GetCurrentThread();
    main_handler = this_thread_handler();
  }
  start_watcher();
  struct sigaction now;
  if (sigaction(SIGINT, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigint)
    return Ref::borrow(Py_False);
  struct sigaction act;
  std::memset(&act, 0, sizeof act);
  act.sa_sigaction = on_sigint;
  act.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&act.sa_mask);
  if (sigaction(SIGINT, &act, &previous_action) != 0) glue::raise(PyExc_OSError, "cannot install the SIGINT handler");
  sigint_installed = true;
  return Ref::borrow(Py_True);
}

// Whether our SIGINT handler is the one the process has now (Python's
// signal.signal() replaces it).
GLUE_BODY(sigint_active) {
  struct sigaction now;
  if (!sigint_installed || sigaction(SIGINT, nullptr, &now) != 0) return Ref::borrow(Py_False);
  bool ours = (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigint;
  return Ref::borrow(ours ? Py_True : Py_False);
}

void clear_interrupted(bool only_idle, Tcl_Interp* which, bool* found) {
  std::vector<Tcl_Interp*> reset;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (auto it = interrupted.begin(); it != interrupted.end();) {
      if ((which && *it != which) || (only_idle && fn.InterpActive(*it))) {
        ++it;
        continue;
      }
      if (found) *found = true;
      reset.push_back(*it);
      it = interrupted.erase(it);
      unwatch(reset.back());
    }
  }
  for (Tcl_Interp* ip : reset) {
    bool held = false;
    std::lock_guard<std::mutex> lock(mu);
    for (const Limit& l : limits)
      if (l.interp == ip && l.applied) held = true;
    if (!held) fn.ResetCancellation(ip, 1);
  }
}

// Python is handling a SIGINT (main thread).  Unless Tcl is evaluating
// under us and has not been cancelled yet, the signal counts as handled, so
// a late mark of the handler cancels nothing; interpreters the signal
// cancelled and that are idle again are cleared.
GLUE_BODY(sigint_handled) {
  bool inside_tcl = false;
  if (sigints.load() != sigints_done.load()) {
    for (Tcl_Interp* ip : known_interps())
      if (fn.InterpActive(ip)) inside_tcl = true;
  }
  if (inside_tcl)
    redeliver.store(true);
  else
    sigints_done.store(sigints.load());
  clear_interrupted(true, nullptr, nullptr);
  return Ref::borrow(Py_None);
}

// Whether Ctrl-C cancelled an evaluation of this interpreter that has
// returned since.  If so, its cancellation is cleared and Python's pending
// SIGINT is taken, so that the caller raises the one KeyboardInterrupt.
GLUE_BODY(take_interrupt, tk) {
  Tcl_Interp* interp = interp_arg(tk);
  if (fn.InterpActive(interp)) return Ref::borrow(Py_False);
  bool found = false;
  clear_interrupted(false, interp, &found);
  if (!found) return Ref::borrow(Py_False);
  sigints_done.store(sigints.load());
  PyOS_InterruptOccurred();
  return Ref::borrow(Py_True);
}

GLUE_BODY(interp_active, tk) { return Ref::borrow(fn.InterpActive(interp_arg(tk)) ? Py_True : Py_False); }

// -- mock commands ------------------------------------------------------------------------

// errorcode -> Tcl list text, through the Python helper (quotify) that
// set_error_parts hands over.

int mock_proc(void* data, Tcl_Interp* interp, int objc, Tcl_Obj* const* objv) {
  PyGILState_STATE st = PyGILState_Ensure();
  int code = tcl::TCL_OK;
  const tcl::Api& api = tcl::api();
  Ref result;
  {
    Ref words = Ref::steal(PyTuple_New(objc > 0 ? objc - 1 : 0));
    bool ok = static_cast<bool>(words);
    for (int i = 1; ok && i < objc; ++i) {
      int len = 0;
      const char* s = fn.GetStringFromObj(objv[i], &len);
      try {
        PyTuple_SET_ITEM(words.get(), i - 1, tcl::decode_tcl_text(s, len).release());
      } catch (const glue::PythonError&) {
        ok = false;
      }
    }
    if (ok) result = Ref::steal(PyObject_CallOneArg(static_cast<PyObject*>(data), words.get()));
  }
  try {
    if (result) {
      std::string text = tcl::encode_tcl_text(result.get());
      api.SetObjResult(interp, new_text(text));
    } else {
      code = tcl::TCL_ERROR;
      glue::CaughtError exc;
      Ref parts = glue::call(state.error_parts, exc.value());
      PyObject* message = PyTuple_GET_ITEM(parts.get(), 0);
      PyObject* errorcode = PyTuple_GET_ITEM(parts.get(), 1);
      api.SetObjResult(interp, new_text(tcl::encode_tcl_text(message)));
      if (errorcode != Py_None) fn.SetObjErrorCode(interp, new_text(tcl::encode_tcl_text(errorcode)));
    }
  } catch (const glue::PythonError&) {
    code = tcl::TCL_ERROR;
    PyErr_WriteUnraisable(static_cast<PyObject*>(data));
    api.SetObjResult(interp, new_text("error in a mocked command"));
  }
  result = Ref();
  PyErr_Clear();
  PyGILState_Release(st);
  return code;
}

void mock_deleted(void* data) {
  if (!Py_IsInitialized() || _Py_IsFinalizing()) return;  // too late to touch Python objects
  PyGILState_STATE st = PyGILState_Ensure();
  Ref held = Ref::steal(static_cast<PyObject*>(data));  // the command's reference, dropped here
  PyGILState_Release(st);
}

GLUE_BODY(create_mock_command, tk, name, func) {
  Tcl_Interp* interp = interp_arg(tk);
  std::string command = tcl::encode_tcl_text(name);
  if (!PyCallable_Check(func)) glue::raise(PyExc_TypeError, "the mock's body must be callable");
  // The command holds a reference to its body until Tcl deletes it.
  fn.CreateObjCommand(interp, command.c_str(), mock_proc, Ref::borrow(func).release(), mock_deleted);
  return Ref::borrow(Py_None);
}

GLUE_BODY(set_error_parts, func) {
  state.error_parts = Ref::borrow(func);
  return Ref::borrow(Py_None);
}

// At exit, before Python finalizes: the watcher may queue pending calls.
GLUE_BODY(stop_watcher) {
  if (watcher.joinable()) {
    ssize_t n = write(wake_fds[1], "q", 1);
    (void)n;
    Py_BEGIN_ALLOW_THREADS watcher.join();
    Py_END_ALLOW_THREADS
  }
  return Ref::borrow(Py_None);
}

const char* const kModuleDoc =
    "Tcl C API helpers of trivex.tcl.testing: evaluation deadlines, Ctrl-C\n"
    "cancellation and mock command bodies.  Not a public interface.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_testing", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__testing() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    void* h = tcl::api().handle;
    using tcl::resolve;
    resolve(h, fn.CancelEval, "Tcl_CancelEval");
    resolve(h, fn.AsyncCreate, "Tcl_AsyncCreate");
    resolve(h, fn.AsyncMark, "Tcl_AsyncMark");
    resolve(h, fn.AsyncInvoke, "Tcl_AsyncInvoke");
    resolve(h, fn.AsyncDelete, "Tcl_AsyncDelete");
    resolve(h, fn.CreateThreadExitHandler, "Tcl_CreateThreadExitHandler");
    resolve(h, fn.InterpActive, "Tcl_InterpActive");
    resolve(h, fn.ResetCancellation, "TclResetCancellation");
    resolve(h, fn.GetCurrentThread, "Tcl_GetCurrentThread");
    resolve(h, fn.CreateObjCommand, "Tcl_CreateObjCommand");
    resolve(h, fn.GetStringFromObj, "Tcl_GetStringFromObj");
    resolve(h, fn.SetObjErrorCode, "Tcl_SetObjErrorCode");
    resolve(h, fn.CallWhenDeleted, "Tcl_CallWhenDeleted");
    resolve(h, fn.DontCallWhenDeleted, "Tcl_DontCallWhenDeleted");
    m.function({"add_limit", "(tk, seconds, message)", add_limit,
                "Cancel tk's evaluation in this thread once `seconds` have passed; returns an id."});
    m.function({"remove_limit", "(limit_id)", remove_limit,
                "Forget a limit, clearing its cancellation; returns whether it cancelled."});
    m.function({"install_sigint", "(misc)", install_sigint,
                "Chain a SIGINT handler that cancels the main thread's Tcl evaluation."});
    m.function({"sigint_active", "()", sigint_active, "Whether the chained SIGINT handler is in place."});
    m.function({"sigint_handled", "()", sigint_handled, "Called as Python handles a SIGINT."});
    m.function({"take_interrupt", "(tk)", take_interrupt,
                "Whether Ctrl-C cancelled tk's last evaluation; clears it if so."});
    m.function({"interp_active", "(tk)", interp_active, "Whether tk's interpreter is evaluating."});
    m.function({"create_mock_command", "(tk, name, func)", create_mock_command,
                "Create the Tcl command `name` calling func(words)."});
    m.function({"set_error_parts", "(func)", set_error_parts,
                "Set func(exc) -> (message, errorcode text or None) for mock errors."});
    m.function({"stop_watcher", "()", stop_watcher, "Stop the watcher thread (at exit)."});
  });
}

