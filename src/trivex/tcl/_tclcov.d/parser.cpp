// Module trivex.tcl._tclcov: the executable lines of a Tcl file, by Tcl's
// own parser (see tclcov.hpp).
#include "tclcov.hpp"
#include "bridge/listwalk.hpp"

#include <algorithm>
#include <climits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace trivex::tclcov {
namespace {

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
    const char* end = s.data() + s.size();
    auto visit = [&](const char* elem, size_t n, bool literal) {
      int size = static_cast<int>(n);
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
      return true;
    };
    if (!trivex::tcl::each_element(trivex::tcl::api().FindElement, s.data(), s.size(), visit)) return {};
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

}  // namespace

GLUE_BODY(command_lines, text) {
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

}  // namespace trivex::tclcov
