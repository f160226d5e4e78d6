// What the fuzz targets share: the Tcl library as the reference, text in
// Tcl's byte form, and a check that stops the run on a disagreement (libFuzzer
// then keeps the input that caused it).
#pragma once

#include <tcl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/tclcodec.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "\nMISMATCH: %s\n%s\n", what, detail.c_str());
  std::abort();
}

#define FUZZ_CHECK(cond, detail)                    \
  do {                                              \
    if (!(cond)) ::fuzz::fail(#cond, (detail));     \
  } while (0)

// One interpreter for the whole run; no init script is needed for the
// built-in commands the targets ask.
inline Tcl_Interp* interp() {
  static Tcl_Interp* ip = [] {
    Tcl_FindExecutable(nullptr);
    return Tcl_CreateInterp();
  }();
  return ip;
}

// Code points in Tcl's byte form, as the package hands text to Tcl.
inline std::string tcl_bytes(const std::u32string& s) {
  std::string out;
  trivex::tclcodec::encode(s.data(), s.size(), out);
  return out;
}

// Printable form of bytes for a mismatch report.
inline std::string show(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out + "\"";
}

inline std::string show(const std::u32string& s) { return show(tcl_bytes(s)); }

inline std::string show(const std::vector<std::string>& v) {
  std::string out = "[";
  for (const auto& e : v) out += show(e) + " ";
  return out + "]";
}

// An owned Tcl object.
class Obj {
 public:
  explicit Obj(Tcl_Obj* o) : o_(o) { Tcl_IncrRefCount(o_); }
  explicit Obj(const std::string& bytes) : Obj(Tcl_NewStringObj(bytes.data(), static_cast<int>(bytes.size()))) {}
  Obj(const Obj&) = delete;
  Obj& operator=(const Obj&) = delete;
  ~Obj() { Tcl_DecrRefCount(o_); }
  Tcl_Obj* get() const { return o_; }

 private:
  Tcl_Obj* o_;
};

inline std::string bytes_of(Tcl_Obj* o) {
  int n = 0;
  const char* s = Tcl_GetStringFromObj(o, &n);
  return std::string(s, static_cast<size_t>(n));
}

// Whether Tcl's list parser would write past its own buffer reading `text`:
// its collapser gives five bytes for a backslash, a four-byte lead byte and
// two trail bytes with no third, in room made for four.  Such text is not
// handed to that parser; it would corrupt Tcl's heap, not judge ours.
inline bool tcl_parser_overruns(const std::string& text) {
  auto trail = [&](size_t i) { return i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
  for (size_t i = 0; i + 3 < text.size(); ++i) {
    auto lead = static_cast<unsigned char>(text[i + 1]);
    if (text[i] == '\\' && lead >= 0xF0 && lead <= 0xF7 && trail(i + 2) && trail(i + 3) && !trail(i + 4)) return true;
  }
  return false;
}

// Tcl's own reading of list text; false when Tcl rejects it.
inline bool tcl_split(const std::string& text, std::vector<std::string>& out) {
  out.clear();
  Obj list(text);
  int objc = 0;
  Tcl_Obj** objv = nullptr;
  if (Tcl_ListObjGetElements(nullptr, list.get(), &objc, &objv) != TCL_OK) return false;
  for (int i = 0; i < objc; ++i) out.push_back(bytes_of(objv[i]));
  return true;
}

// Runs one command given as words, with no substitution; false on error.
inline bool tcl_call(std::initializer_list<std::string> words, std::string* result = nullptr) {
  std::vector<Tcl_Obj*> objv;
  for (const auto& w : words) {
    objv.push_back(Tcl_NewStringObj(w.data(), static_cast<int>(w.size())));
    Tcl_IncrRefCount(objv.back());
  }
  int code = Tcl_EvalObjv(interp(), static_cast<int>(objv.size()), objv.data(), TCL_EVAL_GLOBAL);
  for (Tcl_Obj* o : objv) Tcl_DecrRefCount(o);
  if (result) *result = bytes_of(Tcl_GetObjResult(interp()));
  Tcl_ResetResult(interp());
  return code == TCL_OK;
}

}  // namespace fuzz

// Tcl is set up before the first input (each target includes this header
// once).
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::interp();
  return 0;
}
