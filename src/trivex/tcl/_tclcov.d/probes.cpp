// Module trivex.tcl._tclcov: the probes that record which lines ran, and
// the sessions they report to (see tclcov.hpp).
#include "tclcov.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trivex::tclcov {
namespace {

// ----------------------------------------------------------------- tracing
//
// Two probes feed a session, one for each way Tcl runs a command:
//
// - Commands Tcl invokes (procs, most commands of extensions, anything not
//   compiled inline) pass the object trace, created with
//   TCL_ALLOW_INLINE_COMPILATION so that it does not stop Tcl compiling the
//   rest inline.  It reads the line from the command frame, as `info frame`
//   does.
//
// - Commands Tcl compiles inline (set, incr, if, for, expr, dict incr, ...)
//   are never invoked, so no trace sees them.  For those, `attach` wraps the
//   compile procedure (Command.compileProc) of every command that has one.
//   When the wrapper compiles a command of a measured file whose line has
//   not run yet, it first emits a call of a marker command, whose literal
//   argument names the line:
//
//       push4 <marker>; push4 <site>; invokeStk1 2; pop
//
//   The first time that code runs, the marker records the line and rewrites
//   the first instruction into a jump over the sequence, so the compiled code
//   runs at full speed from then on.  Code compiled after the line ran gets
//   no marker at all.  Wrapping bumps the interpreter's compile epoch, so
//   byte code compiled before (procs defined earlier) is compiled again,
//   with markers, when it next runs; `detach` restores the compile
//   procedures and bumps the epoch again, dropping the instrumented code.
//   Commands that get a compile procedure later (`proc` gives one to an
//   empty proc taking `args`) are wrapped by the trace after `proc` ran.
//
// Both probes read Tcl 8.6's private structures: Interp, CmdFrame, Command,
// Namespace, CompileEnv, ExtCmdLoc and the byte code instruction set.

struct FileHits {
  // By line number (index 0 unused): 1 when a command Tcl reported on that
  // line ran outside an apply lambda, 2 inside one (see command_lines:
  // Tcl numbers lambda lines its own way), 3 both.
  std::vector<unsigned char> ran;
};

struct Session;
struct InterpState;

// One session measuring one interpreter.
struct Tracer {
  Session* session;
  Tcl_Interp* interp;
  InterpState* state = nullptr;
  Tcl_Trace token = nullptr;
  // Path text as Tcl holds it -> the measured file, or null when the path
  // names a file not measured.  One-entry memo in front: consecutive
  // commands nearly always come from the same file.
  std::unordered_map<std::string, FileHits*> paths;
  std::string last_path;
  FileHits* last_hits = nullptr;
};

struct Session {
  std::map<std::string, FileHits> files;  // real path -> lines run
  std::vector<Tracer*> tracers;
};

// What the compile-time probe keeps per interpreter, shared by the sessions
// measuring it.
struct InterpState {
  Tcl_Interp* interp;
  std::vector<Tracer*> tracers;
  struct Site {
    std::string path;
    int line;
  };
  std::vector<Site> sites;
  std::map<std::pair<std::string, int>, int> site_ids;
  // The commands being compiled by a wrapper right now: an ensemble's
  // compiler calls its subcommand's, which must not mark the line again.
  std::vector<std::pair<const CompileEnv*, int>> compiling;
  // Set when `proc` ran: it may have given the new command a compile
  // procedure (an empty proc taking `args` compiles to nothing), which the
  // next trace call wraps before anything can be compiled with it.
  bool rescan = false;
};

constexpr const char* kMarkerName = "::__trivex_tclcov_mark";

// The marker command's client data.  It outlives the interpreter's state
// when measuring stops while Tcl is running code that holds marker calls:
// the command then stays, doing nothing, until the interpreter goes.
struct MarkerBox {
  Tcl_Interp* interp;
  InterpState* state;
  Tcl_Command token;
};

std::unordered_map<Tcl_Interp*, MarkerBox*>& marker_boxes() {
  static std::unordered_map<Tcl_Interp*, MarkerBox*> m;
  return m;
}

std::recursive_mutex registry_lock;

std::map<long, std::unique_ptr<Session>>& sessions() {
  static std::map<long, std::unique_ptr<Session>> s;
  return s;
}

std::unordered_map<Tcl_Interp*, InterpState*>& interp_states() {
  static std::unordered_map<Tcl_Interp*, InterpState*> s;
  return s;
}

// The compile procedures the wrappers stand in for, by command, with the
// interpreter of the command: a command Tcl frees while wrapped (its
// namespace deleted, or its whole interpreter) leaves its entry behind, and
// a later command at the same address must not inherit it, so an
// interpreter's entries all go when measuring it stops or it is deleted.
struct Original {
  Tcl_Interp* interp;
  CompileProc* proc;
};
std::unordered_map<const Command*, Original>& original_compilers() {
  static std::unordered_map<const Command*, Original> m;
  return m;
}

void forget_originals(Tcl_Interp* interp) {
  auto& m = original_compilers();
  for (auto it = m.begin(); it != m.end();) it = it->second.interp == interp ? m.erase(it) : std::next(it);
}

// The compile procedure a wrapped `cmd` stands for, or null.  `namespace
// import` copies the compile procedure, wrapper included, into the imported
// command: its original is the real command's.  The real command first, as
// an entry under the imported one may have outlived it.
CompileProc* original_of(Command* cmd) {
  auto& originals = original_compilers();
  if (Tcl_Command real = cov_api().GetOriginalCommand(reinterpret_cast<Tcl_Command>(cmd))) {
    auto it = originals.find(reinterpret_cast<const Command*>(real));
    if (it != originals.end()) return it->second.proc;
  }
  auto it = originals.find(cmd);
  return it != originals.end() ? it->second.proc : nullptr;
}

FileHits* hits_for(Tracer* t, const char* path, int len) {
  std::string_view p(path, static_cast<size_t>(len));
  if (p == t->last_path) return t->last_hits;
  auto it = t->paths.find(std::string(p));
  FileHits* hits = nullptr;
  if (it != t->paths.end()) {
    hits = it->second;
  } else {
    std::string key(p);
    // Tcl keeps the path as `source` was given it; the session knows files
    // by their real path.
    if (char* real = realpath(key.c_str(), nullptr)) {
      auto f = t->session->files.find(real);
      if (f != t->session->files.end()) hits = &f->second;
      std::free(real);
    }
    t->paths.emplace(std::move(key), hits);
  }
  t->last_path.assign(p);
  t->last_hits = hits;
  return hits;
}

// Whether `line` of `path` is measured by a tracer and has not run; marks
// it run when `mark`.
// Whether `line` of `path` is measured by a tracer and has not run as
// `how` (1 outside lambdas, 2 inside, 3 either); marks it run when `mark`.
bool want_line(Tracer* t, const char* path, int len, int line, unsigned char how, bool mark) {
  FileHits* hits = hits_for(t, path, len);
  if (!hits || line <= 0 || static_cast<size_t>(line) >= hits->ran.size()) return false;
  unsigned char& ran = hits->ran[static_cast<size_t>(line)];
  bool fresh = (ran & how) != how;
  if (mark) ran |= how;
  return fresh;
}

unsigned char frame_kind(const CmdFrame* cf) {
  return cf->framePtr && (cf->framePtr->isProcCallFrame & FRAME_IS_LAMBDA) ? 2 : 1;
}

void record(Tracer* t, Tcl_Obj* path, int line, unsigned char how) {
  if (!path || line <= 0) return;
  int len = 0;
  const char* s = cov_api().GetStringFromObj(path, &len);
  want_line(t, s, len, line, how, true);
}

void wrap_compilers(InterpState* st);

// Records the line of the command `cf` runs, when Tcl knows it is from a
// file; returns whether it is.
bool record_frame(Tracer* t, const CmdFrame* cf) {
  if (cf->type == TCL_LOCATION_SOURCE) {
    if (cf->line && cf->nline > 0) record(t, cf->data.eval.path, cf->line[0], frame_kind(cf));
    return true;
  }
  if (cf->type != TCL_LOCATION_BC) return false;
  CmdFrame copy = *cf;
  copy.cmd = nullptr;
  cov_api().GetSrcInfoForPc(&copy);
  if (copy.type != TCL_LOCATION_SOURCE) return false;
  if (copy.line && copy.nline > 0) record(t, copy.data.eval.path, copy.line[0], frame_kind(cf));
  // TclGetSrcInfoForPc hands out a reference to the path.
  Tcl_Obj* path = copy.data.eval.path;
  if (path && --path->refCount <= 0) cov_api().FreeObj(path);
  return true;
}

// Records the line of the innermost command on the frame chain that Tcl
// knows the file of.  Every command on the chain is running, so its line
// ran; this catches commands of a file that Tcl runs from a copy of their
// text, without location: after the compile epoch changed under running
// byte code (a command with a compiler deleted, say), Tcl evaluates the rest
// of each compiled command from its source text.
void record_frames(Tracer* t, const CmdFrame* cf) {
  for (int hops = 0; cf && hops < 16; cf = cf->nextPtr, ++hops)
    if (record_frame(t, cf)) return;
}

int on_command(ClientData data, Tcl_Interp* interp, int, const char*, Tcl_Command token, int, Tcl_Obj* const*) {
  Tracer* t = static_cast<Tracer*>(data);
  if (InterpState* st = t->state) {
    if (st->rescan) {
      st->rescan = false;
      wrap_compilers(st);
    }
    if (token && reinterpret_cast<const Command*>(token)->objProc == cov_api().ProcObjCmd) st->rescan = true;
  }
  record_frames(t, reinterpret_cast<Interp*>(interp)->cmdFramePtr);
  return TCL_OK;
}

// ---- the compile-time probe

// Emitting byte code as tclCompile.h's TclEmit* macros do.
void emit_op4(CompileEnv* env, unsigned char op, unsigned operand, int stack_delta) {
  if (env->codeNext + 5 > env->codeEnd) cov_api().ExpandCodeArray(env);
  *env->codeNext++ = op;
  *env->codeNext++ = static_cast<unsigned char>(operand >> 24);
  *env->codeNext++ = static_cast<unsigned char>(operand >> 16);
  *env->codeNext++ = static_cast<unsigned char>(operand >> 8);
  *env->codeNext++ = static_cast<unsigned char>(operand);
  env->currStackDepth += stack_delta;
}

void emit_op(CompileEnv* env, unsigned char op, int operand, int stack_delta) {
  if (env->codeNext + 2 > env->codeEnd) cov_api().ExpandCodeArray(env);
  *env->codeNext++ = op;
  if (operand >= 0) *env->codeNext++ = static_cast<unsigned char>(operand);
  if (stack_delta < 0 && env->maxStackDepth < env->currStackDepth) env->maxStackDepth = env->currStackDepth;
  env->currStackDepth += stack_delta;
}

constexpr int kMarkerBytes = 5 + 5 + 2 + 1;

void emit_marker(InterpState* st, CompileEnv* env, const char* path, int len, int line) {
  const CovApi& api = cov_api();
  auto key = std::make_pair(std::string(path, static_cast<size_t>(len)), line);
  auto found = st->site_ids.find(key);
  int site;
  if (found != st->site_ids.end()) {
    site = found->second;
  } else {
    site = static_cast<int>(st->sites.size());
    st->sites.push_back({key.first, line});
    st->site_ids.emplace(std::move(key), site);
  }
  std::string site_text = std::to_string(site);
  int name_lit = api.RegisterLiteral(env, const_cast<char*>(kMarkerName), static_cast<int>(std::strlen(kMarkerName)), 0);
  int site_lit = api.RegisterLiteral(env, site_text.data(), static_cast<int>(site_text.size()), 0);
  emit_op4(env, INST_PUSH4, static_cast<unsigned>(name_lit), 1);
  emit_op4(env, INST_PUSH4, static_cast<unsigned>(site_lit), 1);
  emit_op(env, INST_INVOKE_STK1, 2, -1);
  emit_op(env, INST_POP, -1, -1);
  if (env->atCmdStart < 2) env->atCmdStart = 0;
}

int compile_wrapper(Tcl_Interp* interp, Tcl_Parse* parse, Command* cmd, CompileEnv* env) {
  std::lock_guard<std::recursive_mutex> lock(registry_lock);
  CompileProc* orig = original_of(cmd);
  if (!orig) return TCL_ERROR;  // compiled as an invocation
  auto st_it = interp_states().find(interp);
  ExtCmdLoc* ecl = env->extCmdMapPtr;
  if (st_it == interp_states().end() || !marker_boxes().count(interp) || !ecl ||
      (ecl->type == TCL_LOCATION_SOURCE && (!ecl->path || ecl->nuloc <= 0)))
    return orig(interp, parse, cmd, env);
  InterpState* st = st_it->second;
  if (ecl->type != TCL_LOCATION_SOURCE) {
    // Code without location compiled to run now, for the command running
    // (see record_frames).
    const CmdFrame* cf = reinterpret_cast<Interp*>(interp)->cmdFramePtr;
    for (Tracer* t : st->tracers) record_frames(t, cf);
    return orig(interp, parse, cmd, env);
  }
  int index = ecl->nuloc - 1;
  for (const auto& c : st->compiling)
    if (c.first == env && c.second == index) return orig(interp, parse, cmd, env);
  const ECL& loc = ecl->loc[index];
  if (loc.line && loc.nline > 0 && loc.line[0] > 0) {
    int len = 0;
    const char* path = cov_api().GetStringFromObj(ecl->path, &len);
    bool wanted = false;
    for (Tracer* t : st->tracers) wanted |= want_line(t, path, len, loc.line[0], 3, false);
    if (wanted) emit_marker(st, env, path, len, loc.line[0]);
  }
  st->compiling.emplace_back(env, index);
  int result = orig(interp, parse, cmd, env);
  st->compiling.pop_back();
  return result;
}

int marker_command(ClientData data, Tcl_Interp* interp, int objc, Tcl_Obj* const* objv) {
  InterpState* st = static_cast<MarkerBox*>(data)->state;
  if (!st || objc != 2) return TCL_OK;
  int len = 0;
  const char* text = cov_api().GetStringFromObj(objv[1], &len);
  char* end = nullptr;
  long site = std::strtol(text, &end, 10);
  if (end == text || site < 0 || static_cast<size_t>(site) >= st->sites.size()) return TCL_OK;
  const InterpState::Site& s = st->sites[static_cast<size_t>(site)];
  const CmdFrame* cf = reinterpret_cast<Interp*>(interp)->cmdFramePtr;
  unsigned char how = cf ? frame_kind(cf) : 1;
  for (Tracer* t : st->tracers) want_line(t, s.path.data(), static_cast<int>(s.path.size()), s.line, how, true);
  // Turn the call into a jump for later runs of this code, after checking
  // that the frame's program counter is at the call emit_marker laid out.
  if (cf && cf->type == TCL_LOCATION_BC && cf->data.tebc.pc) {
    auto* pc = reinterpret_cast<unsigned char*>(const_cast<char*>(cf->data.tebc.pc));
    const auto* code = static_cast<const ByteCode*>(cf->data.tebc.codePtr);
    unsigned char* start = pc - 10;
    if (code && start >= code->codeStart && pc + 3 <= code->codeStart + code->numCodeBytes &&
        pc[0] == INST_INVOKE_STK1 && pc[1] == 2 && pc[2] == INST_POP && start[0] == INST_PUSH4 &&
        start[5] == INST_PUSH4) {
      start[0] = INST_JUMP1;
      start[1] = static_cast<unsigned char>(kMarkerBytes);
    }
  }
  return TCL_OK;
}

void marker_deleted(ClientData data) {
  std::lock_guard<std::recursive_mutex> lock(registry_lock);
  auto* box = static_cast<MarkerBox*>(data);
  marker_boxes().erase(box->interp);
  delete box;
}

// Every command of every namespace under `ns`.
template <class F>
void each_command(Namespace* ns, F&& f) {
  const CovApi& api = cov_api();
  Tcl_HashSearch search;
  for (Tcl_HashEntry* e = api.FirstHashEntry(&ns->cmdTable, &search); e; e = api.NextHashEntry(&search))
    f(static_cast<Command*>(Tcl_GetHashValue(e)));
  for (Tcl_HashEntry* e = api.FirstHashEntry(&ns->childTable, &search); e; e = api.NextHashEntry(&search))
    each_command(static_cast<Namespace*>(Tcl_GetHashValue(e)), f);
}

void instrument(InterpState* st) {
  const CovApi& api = cov_api();
  auto& boxes = marker_boxes();
  auto it = boxes.find(st->interp);
  if (it != boxes.end()) {
    it->second->state = st;
  } else {
    auto* box = new MarkerBox{st->interp, st, nullptr};
    boxes[st->interp] = box;
    box->token = api.CreateObjCommand(st->interp, kMarkerName, marker_command, box, marker_deleted);
  }
  wrap_compilers(st);
  reinterpret_cast<Interp*>(st->interp)->compileEpoch++;
}

void wrap_compilers(InterpState* st) {
  std::lock_guard<std::recursive_mutex> lock(registry_lock);
  Tcl_Interp* interp = st->interp;
  each_command(reinterpret_cast<Interp*>(interp)->globalNsPtr, [interp](Command* c) {
    if (c->compileProc && c->compileProc != compile_wrapper) {
      original_compilers()[c] = Original{interp, c->compileProc};
      c->compileProc = compile_wrapper;
    }
  });
}

void uninstrument(InterpState* st) {
  const CovApi& api = cov_api();
  Interp* ip = reinterpret_cast<Interp*>(st->interp);
  // Every wrapper first, then the entries: an imported command reads its
  // real command's.
  std::vector<std::pair<Command*, CompileProc*>> restore;
  each_command(ip->globalNsPtr, [&restore](Command* c) {
    if (c->compileProc == compile_wrapper) restore.emplace_back(c, original_of(c));
  });
  for (auto& [c, proc] : restore) c->compileProc = proc;
  forget_originals(st->interp);
  ip->compileEpoch++;
  auto it = marker_boxes().find(st->interp);
  if (it != marker_boxes().end()) {
    it->second->state = nullptr;
    // Code compiled with marker calls may be running (stop() from a Python
    // command Tcl called): the command must stay for it.
    if (!ip->cmdFramePtr) api.DeleteCommandFromToken(st->interp, it->second->token);
  }
}

InterpState* state_of(Tcl_Interp* interp) {
  auto& states = interp_states();
  auto it = states.find(interp);
  if (it != states.end()) return it->second;
  auto* st = new InterpState{};
  st->interp = interp;
  states[interp] = st;
  instrument(st);
  return st;
}

void drop_tracer(Tracer* t) {
  auto& states = interp_states();
  auto it = states.find(t->interp);
  if (it == states.end()) return;
  InterpState* st = it->second;
  st->tracers.erase(std::remove(st->tracers.begin(), st->tracers.end(), t), st->tracers.end());
  if (!st->tracers.empty()) return;
  // When Tcl deletes the interpreter, its commands are going too: nothing
  // to restore.
  if (!cov_api().InterpDeleted(st->interp))
    uninstrument(st);
  else
    forget_originals(st->interp);
  auto box = marker_boxes().find(st->interp);
  if (box != marker_boxes().end()) box->second->state = nullptr;
  states.erase(it);
  delete st;
}

// Called when the trace goes: by `detach`, or by Tcl when it deletes the
// interpreter, whichever comes first.
void on_trace_deleted(ClientData data) {
  std::lock_guard<std::recursive_mutex> lock(registry_lock);
  Tracer* t = static_cast<Tracer*>(data);
  if (t->session) {
    auto& v = t->session->tracers;
    v.erase(std::remove(v.begin(), v.end(), t), v.end());
  }
  drop_tracer(t);
  delete t;
}

Session& session_of(PyObject* id) {
  long k = PyLong_AsLong(id);
  if (k == -1 && PyErr_Occurred()) throw glue::PythonError{};
  auto it = sessions().find(k);
  if (it == sessions().end()) glue::raisef(PyExc_ValueError, "no coverage session %ld", k);
  return *it->second;
}

Tcl_Interp* interp_at(PyObject* address) {
  void* p = PyLong_AsVoidPtr(address);
  if (!p) {
    if (PyErr_Occurred()) throw glue::PythonError{};
    glue::raisef(PyExc_ValueError, "null Tcl interpreter address");
  }
  return reinterpret_cast<Tcl_Interp*>(trivex::tcl::interp_from_address(p));
}

}  // namespace

GLUE_BODY(open_session, files) {
  static long next_id = 0;
  auto s = std::make_unique<Session>();
  Ref items = glue::check(PyMapping_Items(files));
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* path = PyTuple_GetItem(item, 0);
    PyObject* size = PyTuple_GetItem(item, 1);
    if (!path || !size) throw glue::PythonError{};
    const char* p = PyUnicode_AsUTF8(path);
    if (!p) throw glue::PythonError{};
    long lines = PyLong_AsLong(size);
    if (lines == -1 && PyErr_Occurred()) throw glue::PythonError{};
    if (lines < 0 || lines > INT_MAX - 1) glue::raisef(PyExc_ValueError, "bad line count %ld for %s", lines, p);
    s->files[p].ran.assign(static_cast<size_t>(lines) + 1, 0);
  }
  long id = ++next_id;
  sessions()[id] = std::move(s);
  return glue::check(PyLong_FromLong(id));
}

GLUE_BODY(attach, session, interpaddr) {
  Session& s = session_of(session);
  Tcl_Interp* interp = interp_at(interpaddr);
  const CovApi& api = cov_api();
  // Both probes read Tcl's private structures as Tcl 8.6 lays them out.
  if (api.major != 8 || api.minor != 6)
    glue::raisef(PyExc_RuntimeError, "Tcl line coverage needs Tcl 8.6; this process runs Tcl %d.%d", api.major,
                 api.minor);
  if (api.InterpDeleted(interp)) glue::raisef(PyExc_RuntimeError, "the Tcl interpreter is being deleted");
  std::lock_guard<std::recursive_mutex> lock(registry_lock);
  for (Tracer* t : s.tracers)
    if (t->interp == interp) return Ref::borrow(Py_False);
  auto t = std::make_unique<Tracer>();
  t->session = &s;
  t->interp = interp;
  InterpState* st = state_of(interp);
  st->tracers.push_back(t.get());
  t->state = st;
  t->token = api.CreateObjTrace(interp, 0, TCL_ALLOW_INLINE_COMPILATION, on_command, t.get(), on_trace_deleted);
  s.tracers.push_back(t.release());
  return Ref::borrow(Py_True);
}

void detach_tracer(Tracer* t) {
  std::lock_guard<std::recursive_mutex> lock(registry_lock);
  Tcl_Interp* interp = t->interp;
  Tcl_Trace token = t->token;
  auto& v = t->session->tracers;
  v.erase(std::remove(v.begin(), v.end(), t), v.end());
  t->session = nullptr;
  cov_api().DeleteTrace(interp, token);  // frees `t` through on_trace_deleted
}

GLUE_BODY(detach, session, interpaddr) {
  Session& s = session_of(session);
  if (interpaddr == Py_None) {
    while (!s.tracers.empty()) detach_tracer(s.tracers.back());
    return Ref::borrow(Py_None);
  }
  Tcl_Interp* interp = interp_at(interpaddr);
  for (Tracer* t : s.tracers)
    if (t->interp == interp) {
      detach_tracer(t);
      break;
    }
  return Ref::borrow(Py_None);
}

GLUE_BODY(hits, session) {
  Session& s = session_of(session);
  Ref out = glue::new_dict();
  for (auto& [path, h] : s.files) {
    Ref pair = glue::check(PyTuple_New(2));
    for (unsigned char how : {1, 2}) {
      std::vector<size_t> lines;
      for (size_t line = 1; line < h.ran.size(); ++line)
        if (h.ran[line] & how) lines.push_back(line);
      Ref t = glue::check(PyTuple_New(static_cast<Py_ssize_t>(lines.size())));
      for (size_t i = 0; i < lines.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), glue::check(PyLong_FromSize_t(lines[i])).release());
      PyTuple_SET_ITEM(pair.get(), how - 1, t.release());
    }
    Ref key = glue::str_from(path);
    glue::dict_set(out.get(), key.get(), pair.get());
  }
  return out;
}

GLUE_BODY(close_session, session) {
  Session& s = session_of(session);
  while (!s.tracers.empty()) detach_tracer(s.tracers.back());
  sessions().erase(PyLong_AsLong(session));
  return Ref::borrow(Py_None);
}

}  // namespace trivex::tclcov
