// Module trivex.tcl._tclcov: the native half of Tcl line coverage.
//
// Two jobs, both needing Tcl's C level:
//
// 1. Which lines of a Tcl file are executable.  `command_lines` runs Tcl's
//    own parser (Tcl_ParseCommand) over the text and, for the commands whose
//    arguments are scripts that Tcl runs with their source location known
//    (proc and method bodies, the bodies of if/for/foreach/while/switch/try/
//    catch, namespace eval, apply lambdas, ...), over those bodies too.  A
//    line is executable when a command begins on it.
//
// 2. Which of those lines ran.  `attach` puts two probes into a Tcl
//    interpreter, described with the tracing code below: an object trace for
//    the commands Tcl invokes, and, for the commands Tcl compiles inline,
//    wrapped compile procedures that plant a one-shot marker call in the
//    byte code.  Both take the line from the source locations Tcl records
//    for `info frame` (the command frame chain and the byte code's command
//    location map), so a line counts exactly when `info frame` would have
//    reported it.  The probes rely on Tcl internals (tclInt.h and
//    tclCompile.h of Tcl 8.6: Interp, CmdFrame, Command, CompileEnv, the
//    instruction set, TclGetSrcInfoForPc); their layout differs between Tcl
//    minor versions, so `attach` checks at run time that the Tcl library in
//    the process is 8.6 and refuses any other.
//
// Tcl functions are called through pointers resolved from the Tcl library
// module `internal` loaded (see bridge/tclapi.hpp), never by symbol name.
//
// Threads: the probes run on the interpreter's thread while Tcl runs,
// without the GIL (tkinter releases it around Tcl calls).  The hot one, the
// trace, touches only its own interpreter's state and its session's file
// table, which is fixed when the session opens.  The tables shared by all
// interpreters (states, wrapped compilers, markers) are changed under
// `registry_lock`, which the compile wrapper holds too.
//
// Naming: the entry point of a Python-visible function has the function's
// Python name (`<class>_<method>` for a method) and only unpacks its
// arguments; work shared between entries lives in plain-named helpers.
#include "bridge/tclapi.hpp"
#include "to_tcl.hpp"

#include <tclInt.h>
#include <tclCompile.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <cstring>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using glue::Args;
using glue::Ref;

// ---------------------------------------------------------------- Tcl calls

struct CovApi {
  bool ready = false;
  Tcl_Trace (*CreateObjTrace)(Tcl_Interp*, int, int, Tcl_CmdObjTraceProc*, ClientData,
                              Tcl_CmdObjTraceDeleteProc*) = nullptr;
  void (*DeleteTrace)(Tcl_Interp*, Tcl_Trace) = nullptr;
  void (*GetSrcInfoForPc)(CmdFrame*) = nullptr;
  void (*FreeObj)(Tcl_Obj*) = nullptr;
  char* (*GetStringFromObj)(Tcl_Obj*, int*) = nullptr;
  int (*ParseCommand)(Tcl_Interp*, const char*, int, int, Tcl_Parse*) = nullptr;
  void (*FreeParse)(Tcl_Parse*) = nullptr;
  int (*FindElement)(Tcl_Interp*, const char*, int, const char**, const char**, int*, int*) = nullptr;
  Tcl_Command (*CreateObjCommand)(Tcl_Interp*, const char*, Tcl_ObjCmdProc*, ClientData, Tcl_CmdDeleteProc*) = nullptr;
  int (*DeleteCommandFromToken)(Tcl_Interp*, Tcl_Command) = nullptr;
  Tcl_HashEntry* (*FirstHashEntry)(Tcl_HashTable*, Tcl_HashSearch*) = nullptr;
  Tcl_HashEntry* (*NextHashEntry)(Tcl_HashSearch*) = nullptr;
  int (*RegisterLiteral)(void*, char*, int, int) = nullptr;
  void (*ExpandCodeArray)(void*) = nullptr;
  int (*InterpDeleted)(Tcl_Interp*) = nullptr;
  Tcl_ObjCmdProc* ProcObjCmd = nullptr;
  Tcl_Command (*GetOriginalCommand)(Tcl_Command) = nullptr;
  int major = 0, minor = 0;
};

template <class F>
void resolve(void* handle, F*& slot, const char* name) {
  void* p = dlsym(handle, name);
  if (!p) glue::raisef(PyExc_ImportError, "Tcl library: undefined symbol: %s", name);
  slot = reinterpret_cast<F*>(p);
}

const CovApi& cov_api() {
  static CovApi a;
  if (!a.ready) {
    const trivex::tcl::Api& base = trivex::tcl::api();
    CovApi n;
    resolve(base.handle, n.CreateObjTrace, "Tcl_CreateObjTrace");
    resolve(base.handle, n.DeleteTrace, "Tcl_DeleteTrace");
    resolve(base.handle, n.GetSrcInfoForPc, "TclGetSrcInfoForPc");
    resolve(base.handle, n.FreeObj, "TclFreeObj");
    resolve(base.handle, n.GetStringFromObj, "Tcl_GetStringFromObj");
    resolve(base.handle, n.ParseCommand, "Tcl_ParseCommand");
    resolve(base.handle, n.FreeParse, "Tcl_FreeParse");
    resolve(base.handle, n.FindElement, "TclFindElement");
    resolve(base.handle, n.CreateObjCommand, "Tcl_CreateObjCommand");
    resolve(base.handle, n.DeleteCommandFromToken, "Tcl_DeleteCommandFromToken");
    resolve(base.handle, n.FirstHashEntry, "Tcl_FirstHashEntry");
    resolve(base.handle, n.NextHashEntry, "Tcl_NextHashEntry");
    resolve(base.handle, n.RegisterLiteral, "TclRegisterLiteral");
    resolve(base.handle, n.ExpandCodeArray, "TclExpandCodeArray");
    resolve(base.handle, n.InterpDeleted, "Tcl_InterpDeleted");
    resolve(base.handle, n.ProcObjCmd, "Tcl_ProcObjCmd");
    resolve(base.handle, n.GetOriginalCommand, "TclGetOriginalCommand");
    int patch = 0, type = 0;
    base.GetVersion(&n.major, &n.minor, &patch, &type);
    n.ready = true;
    a = n;
  }
  return a;
}

// ------------------------------------------------------- executable lines

// Byte offset -> 1-based line number.
class LineIndex {
 public:
  LineIndex(const char* base, size_t size) : base_(base) {
    for (size_t i = 0; i < size; ++i)
      if (base[i] == '\n') newlines_.push_back(i);
  }
  int line_of(const char* p) const {
    size_t off = static_cast<size_t>(p - base_);
    auto it = std::lower_bound(newlines_.begin(), newlines_.end(), off);
    return static_cast<int>(it - newlines_.begin()) + 1;
  }

 private:
  const char* base_;
  std::vector<size_t> newlines_;
};

struct Word {
  const char* start;
  int size;
  bool literal;       // no substitution: its text is `text`
  std::string text;
  bool braced() const { return literal && size >= 2 && start[0] == '{'; }
  bool quoted() const { return literal && size >= 2 && start[0] == '"'; }
  // The word as a script, as written in the file (inside its braces or
  // quotes); Tcl compiles any literal word given as a script body with its
  // lines known.
  std::string_view body() const {
    if (braced() || quoted()) return {start + 1, static_cast<size_t>(size - 2)};
    return {start, static_cast<size_t>(size)};
  }
};

enum class Context { script, oo_define };

class Walker {
 public:
  Walker(const CovApi& api, const char* text, size_t size)
      : api_(api), index_(text, size) {}

  void script(std::string_view s, Context ctx, int depth) {
    // Nesting deeper than any real file has is a crafted input; stop there
    // rather than exhaust the C stack.
    if (depth > 200) return;
    const char* p = s.data();
    const char* end = s.data() + s.size();
    while (p < end) {
      Tcl_Parse parse;
      if (api_.ParseCommand(nullptr, p, static_cast<int>(end - p), 0, &parse) != TCL_OK) {
        // Tcl stops evaluating a script at its first syntax error; the
        // commands before it are all there is.
        api_.FreeParse(&parse);
        return;
      }
      const char* next = parse.commandStart + parse.commandSize;
      if (parse.numWords > 0) {
        int line = index_.line_of(parse.commandStart);
        lines.push_back(line);
        if (origin_) {
          int reported = tcl_line(parse.commandStart);
          if (reported != line) {
            auto [it, fresh] = reported_lines.emplace(reported, line);
            if (!fresh && it->second != line) it->second = -1;  // two commands: no telling which ran
          }
        }
        std::vector<Word> words = words_of(parse);
        // Commands substituted into the words ([...]) are commands too.
        std::vector<std::string_view> substituted;
        for (int i = 0; i < parse.numTokens; ++i) {
          const Tcl_Token& t = parse.tokenPtr[i];
          if (t.type == TCL_TOKEN_COMMAND && t.size >= 2)
            substituted.emplace_back(t.start + 1, static_cast<size_t>(t.size - 2));
        }
        api_.FreeParse(&parse);
        for (std::string_view sub : substituted) script(sub, Context::script, depth + 1);
        bodies(words, ctx, depth);
      } else {
        api_.FreeParse(&parse);
      }
      if (next <= p) break;
      p = next;
    }
  }

  std::vector<int> lines;
  // Lines Tcl reports for commands in apply lambdas, where they differ from
  // the real line (see `tcl_line`): reported -> real, -1 when ambiguous.
  std::map<int, int> reported_lines;

 private:
  std::vector<Word> words_of(const Tcl_Parse& parse) {
    std::vector<Word> words;
    words.reserve(static_cast<size_t>(parse.numWords));
    for (int i = 0; i < parse.numTokens;) {
      const Tcl_Token& t = parse.tokenPtr[i];
      Word w{t.start, t.size, false, {}};
      if (t.type == TCL_TOKEN_SIMPLE_WORD) {
        const Tcl_Token& c = parse.tokenPtr[i + 1];
        w.literal = true;
        w.text.assign(c.start, static_cast<size_t>(c.size));
      } else if (t.type == TCL_TOKEN_WORD && t.size >= 2 && t.start[0] == '{') {
        // A braced word holding backslash-newlines: its text is not needed
        // (no command name or keyword is written that way), its body is.
        w.literal = true;
      }
      words.push_back(std::move(w));
      i += 1 + t.numComponents;
    }
    return words;
  }

  void body(const Word& w, Context ctx, int depth) {
    if (w.literal) script(w.body(), ctx, depth + 1);
  }

  // The elements of a braced list word, each as written in the file.
  std::vector<Word> elements(const Word& w) {
    std::vector<Word> out;
    if (!w.literal) return out;
    std::string_view s = w.body();
    const char* p = s.data();
    const char* end = s.data() + s.size();
    while (p < end) {
      const char* elem = nullptr;
      const char* next = nullptr;
      int size = 0, literal = 0;  // literal: no backslash to substitute
      if (api_.FindElement(nullptr, p, static_cast<int>(end - p), &elem, &next, &size, &literal) != TCL_OK) return {};
      if (elem == end && size == 0 && next == end) break;
      Word e{elem, size, false, {}};
      bool braced = elem > s.data() && elem[-1] == '{' && elem + size < end && elem[size] == '}';
      if (braced) {
        e.start = elem - 1;
        e.size = size + 2;
        e.literal = true;
      } else if (literal) {
        e.literal = true;
        e.text.assign(elem, static_cast<size_t>(size));
      }
      out.push_back(std::move(e));
      if (next <= p) break;
      p = next;
    }
    return out;
  }

  static std::string_view name_of(const Word& w) {
    std::string_view n = w.literal && !w.braced() ? std::string_view(w.text) : std::string_view();
    if (n.substr(0, 2) == "::") n.remove_prefix(2);
    return n;
  }
  static bool is(const Word& w, std::string_view text) { return w.literal && w.text == text; }

  void bodies(const std::vector<Word>& w, Context ctx, int depth) {
    size_t n = w.size();
    std::string_view cmd = name_of(w[0]);
    if (cmd.empty()) return;
    // TclOO records where a method body is from the fourth word of the
    // defining command, so the bodies of `constructor` and `destructor`
    // inside a class script (three and two words) run without a known
    // location; they are not counted.
    if (ctx == Context::oo_define && cmd == "method" && n == 4) return body(w[3], Context::script, depth);
    if (cmd == "proc" && n == 4) return body(w[3], Context::script, depth);
    if (cmd == "if") return if_bodies(w, depth);
    if (cmd == "for" && n == 5) {
      body(w[1], Context::script, depth);
      body(w[3], Context::script, depth);
      return body(w[4], Context::script, depth);
    }
    if ((cmd == "foreach" || cmd == "lmap") && n >= 4 && n % 2 == 0) return body(w[n - 1], Context::script, depth);
    if (cmd == "while" && n == 3) return body(w[2], Context::script, depth);
    if (cmd == "catch" && n >= 2 && n <= 4) return body(w[1], Context::script, depth);
    if (cmd == "try") return try_bodies(w, depth);
    if (cmd == "switch") return switch_bodies(w, depth);
    if (cmd == "eval" && n == 2) return body(w[1], Context::script, depth);
    if (cmd == "namespace" && n == 4 && is(w[1], "eval")) return body(w[3], Context::script, depth);
    if (cmd == "apply" && n >= 2) {
      std::vector<Word> lambda = elements(w[1]);
      if ((lambda.size() == 2 || lambda.size() == 3) && lambda[1].literal) {
        const char* at = lambda[1].body().data();
        Origin inner{at, origin_ ? tcl_line(at) : index_.line_of(at)};
        const Origin* outer = origin_;
        origin_ = &inner;
        body(lambda[1], Context::script, depth);
        origin_ = outer;
      }
      return;
    }
    if (cmd == "dict" && n >= 2) {
      if ((is(w[1], "for") || is(w[1], "map")) && n == 5) return body(w[4], Context::script, depth);
      if (is(w[1], "with") && n >= 4) return body(w[n - 1], Context::script, depth);
      if (is(w[1], "update") && n >= 6 && n % 2 == 0) return body(w[n - 1], Context::script, depth);
      return;
    }
    if (cmd == "oo::class" && n == 4 && is(w[1], "create")) return body(w[3], Context::oo_define, depth);
    if (cmd == "oo::define" || cmd == "oo::objdefine") {
      if (n == 3) return body(w[2], Context::oo_define, depth);
      if (n == 6 && is(w[2], "method")) return body(w[5], Context::script, depth);
      if (n == 5 && is(w[2], "constructor")) return body(w[4], Context::script, depth);
      if (n == 4 && is(w[2], "destructor")) return body(w[3], Context::script, depth);
    }
  }

  // if expr ?then? body ?elseif expr ?then? body ...? ?else? ?body?
  void if_bodies(const std::vector<Word>& w, int depth) {
    size_t i = 1, n = w.size();
    while (i < n) {
      ++i;  // the condition
      if (i < n && is(w[i], "then")) ++i;
      if (i >= n) return;
      body(w[i++], Context::script, depth);
      if (i >= n) return;
      if (is(w[i], "elseif")) {
        ++i;
        continue;
      }
      if (is(w[i], "else")) ++i;
      if (i < n) body(w[i], Context::script, depth);
      return;
    }
  }

  // try body ?on code vars script? ?trap pattern vars script? ?finally script?
  void try_bodies(const std::vector<Word>& w, int depth) {
    size_t n = w.size();
    if (n < 2) return;
    body(w[1], Context::script, depth);
    for (size_t i = 2; i < n;) {
      if ((is(w[i], "on") || is(w[i], "trap")) && i + 3 < n) {
        body(w[i + 3], Context::script, depth);
        i += 4;
      } else if (is(w[i], "finally") && i + 1 < n) {
        body(w[i + 1], Context::script, depth);
        i += 2;
      } else {
        return;
      }
    }
  }

  // switch ?options? string pattern body ... | switch ?options? string {pattern body ...}
  void switch_bodies(const std::vector<Word>& w, int depth) {
    size_t i = 1, n = w.size();
    while (i < n && w[i].literal && !w[i].braced() && !w[i].text.empty() && w[i].text[0] == '-') {
      const std::string& o = w[i].text;
      ++i;
      if (o == "--") break;
      if (o == "-matchvar" || o == "-indexvar") ++i;
    }
    ++i;  // the string
    if (i >= n) return;
    std::vector<Word> pairs;
    if (n - i == 1) {
      pairs = elements(w[i]);
    } else {
      pairs.assign(w.begin() + static_cast<std::ptrdiff_t>(i), w.end());
    }
    if (pairs.size() % 2) return;
    for (size_t k = 1; k < pairs.size(); k += 2)
      if (!is(pairs[k], "-")) body(pairs[k], Context::script, depth);
  }

  // Tcl 8.6 numbers the lines of an apply lambda's body from the body's
  // first line but without counting backslash-newlines in the body (it
  // counts a lambda nested in a lambda on from the outer one's numbering).
  // `tcl_line` is the line Tcl reports for a command starting at `p` in the
  // current lambda.
  struct Origin {
    const char* at;
    int tcl_line;
  };
  int tcl_line(const char* p) const {
    int line = origin_->tcl_line;
    for (const char* q = origin_->at; q < p; ++q) {
      if (*q != '\n') continue;
      const char* b = q;  // an odd run of backslashes before makes it a continuation
      while (b > origin_->at && b[-1] == '\\') --b;
      if ((q - b) % 2 == 0) ++line;
    }
    return line;
  }

  const CovApi& api_;
  LineIndex index_;
  const Origin* origin_ = nullptr;
};

Ref command_lines(const Args& a) {
  PyObject* text = a[0];
  if (!PyUnicode_Check(text))
    glue::raisef(PyExc_TypeError, "command_lines() argument must be str, not %s", Py_TYPE(text)->tp_name);
  const CovApi& api = cov_api();
  std::string bytes = trivex::tcl::encode_tcl_text(text);
  if (bytes.size() > static_cast<size_t>(INT_MAX)) glue::raisef(PyExc_ValueError, "Tcl source too large");
  Walker walker(api, bytes.data(), bytes.size());
  walker.script(bytes, Context::script, 0);
  std::vector<int>& lines = walker.lines;
  std::sort(lines.begin(), lines.end());
  lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
  Ref out = glue::check(PyTuple_New(static_cast<Py_ssize_t>(lines.size())));
  for (size_t i = 0; i < lines.size(); ++i)
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), glue::check(PyLong_FromLong(lines[i])).release());
  Ref reported = glue::new_dict();
  for (auto [from, to] : walker.reported_lines) {
    if (to < 0) continue;
    Ref k = glue::check(PyLong_FromLong(from));
    Ref v = glue::check(PyLong_FromLong(to));
    glue::dict_set(reported.get(), k.get(), v.get());
  }
  return glue::tuple_of(out.get(), reported.get());
}

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

Ref open_session(const Args& a) {
  static long next_id = 0;
  auto s = std::make_unique<Session>();
  Ref items = glue::check(PyMapping_Items(a[0]));
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

Ref attach(const Args& a) {
  Session& s = session_of(a[0]);
  Tcl_Interp* interp = interp_at(a[1]);
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

Ref detach(const Args& a) {
  Session& s = session_of(a[0]);
  if (a[1] == Py_None) {
    while (!s.tracers.empty()) detach_tracer(s.tracers.back());
    return Ref::borrow(Py_None);
  }
  Tcl_Interp* interp = interp_at(a[1]);
  for (Tracer* t : s.tracers)
    if (t->interp == interp) {
      detach_tracer(t);
      break;
    }
  return Ref::borrow(Py_None);
}

Ref hits(const Args& a) {
  Session& s = session_of(a[0]);
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

Ref close_session(const Args& a) {
  Session& s = session_of(a[0]);
  while (!s.tracers.empty()) detach_tracer(s.tracers.back());
  sessions().erase(PyLong_AsLong(a[0]));
  return Ref::borrow(Py_None);
}

const char* const kModuleDoc =
    "Native half of Tcl line coverage: executable lines by Tcl's parser, and\n"
    "an object trace that records which lines of measured files run.\n"
    "\n"
    "Use trivex.tcl.coverage; this module's interface is private.";

const char* const kCommandLinesDoc =
    "Line numbers on which a Tcl command begins in a script, nested bodies included.\n"
    "\n"
    "Arguments:\n"
    "    text: the script, as read from its file.\n"
    "\n"
    "Returns:\n"
    "    (lines, reported): a sorted tuple of 1-based line numbers, and a dict\n"
    "    mapping the lines Tcl reports for commands in apply lambdas to their\n"
    "    real lines, where the two differ.";

const char* const kOpenDoc =
    "Open a coverage session measuring the given files.\n"
    "\n"
    "Arguments:\n"
    "    files: a mapping of real paths to their number of lines.\n"
    "\n"
    "Returns:\n"
    "    The session's id.";

const char* const kAttachDoc =
    "Trace a Tcl interpreter (by its address) into a session.\n"
    "\n"
    "Returns:\n"
    "    False when the interpreter was already traced by that session.";

const char* const kDetachDoc = "Stop tracing one interpreter (by its address), or all of a session's when None.";

const char* const kHitsDoc =
    "The session's data: {real path: (lines run outside lambdas, lines run inside)}, as Tcl numbers them.";

const char* const kCloseDoc = "Stop all of a session's traces and forget its data.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tclcov", kModuleDoc, -1, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tclcov() {
  return glue::init_module(&module_def, [](glue::ModuleBuilder& m) {
    m.function({"command_lines", "(text, /)", command_lines, kCommandLinesDoc});
    m.function({"open_session", "(files, /)", open_session, kOpenDoc});
    m.function({"attach", "(session, interpaddr, /)", attach, kAttachDoc});
    m.function({"detach", "(session, interpaddr=None, /)", detach, kDetachDoc});
    m.function({"hits", "(session, /)", hits, kHitsDoc});
    m.function({"close_session", "(session, /)", close_session, kCloseDoc});
  });
}
