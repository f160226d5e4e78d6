// Dictionary order (dictorder.hpp) against Tcl's `lsort -dictionary`.
//
// The character classes are the caller's; here they are the ones Tcl's own
// sort uses (ASCII digits, Tcl_UniCharToLower), so what is compared is the
// algorithm.  Tcl's sort is stable: two strings that compare equal keep
// their order, whichever comes first.
//
// The package's order differs from Tcl 8.6's by design in three places, so
// the inputs stay out of them: digits beyond ASCII (the package counts
// them), NUL (the package reads it as the end of the text), and the
// tie-break between characters whose lower-case forms are equal, which the
// package takes from their code points and Tcl 8.6 from their upper/lower
// case: the two agree only for pairs whose upper-case form has the lower
// code point, as every such pair in the alphabet below has.
#include <string>
#include <vector>

#include "core/dictorder.hpp"
#include "fuzz_tcl.hpp"

namespace {

// Bytes as characters chosen to stress the rules: digits and leading zeros,
// both cases, the characters between 'Z' and 'a', non-ASCII letters with
// and without a case partner, and digits of other scripts (plain
// characters for this comparison).
std::u32string decode(const uint8_t* data, size_t size) {
  static const std::u32string alphabet =
      U"0000112999aAbBzZ_[`{~ x\u00e9\u00c9\u0131\u00df\u0660\u0663\u00b2\u03a3\u03c3\u03c2\uff11";
  std::u32string s;
  for (size_t i = 0; i < size; ++i) s.push_back(alphabet[data[i] % alphabet.size()]);
  return s;
}

int sign(long long v) { return (v > 0) - (v < 0); }

template <class C>
int compare(const std::u32string& a, const std::u32string& b) {
  std::basic_string<C> l(a.begin(), a.end()), r(b.begin(), b.end());
  auto is_digit = [](char32_t c) { return c >= U'0' && c <= U'9'; };
  auto to_lower = [](char32_t c) { return static_cast<char32_t>(Tcl_UniCharToLower(static_cast<int>(c))); };
  return sign(trivex::dictorder::compare(l.data(), l.size(), r.data(), r.size(), is_digit, to_lower));
}

// The order `lsort -dictionary` gives two different strings, as "ab" when
// `a` comes first, else "ba".
std::string tcl_order(const std::string& first, const std::string& second, const std::string& a) {
  std::string sorted;
  fuzz::Obj list(Tcl_NewListObj(0, nullptr));
  Tcl_ListObjAppendElement(nullptr, list.get(), Tcl_NewStringObj(first.data(), static_cast<int>(first.size())));
  Tcl_ListObjAppendElement(nullptr, list.get(), Tcl_NewStringObj(second.data(), static_cast<int>(second.size())));
  Tcl_Obj* objv[] = {Tcl_NewStringObj("lsort", -1), Tcl_NewStringObj("-dictionary", -1), list.get()};
  for (Tcl_Obj* o : objv) Tcl_IncrRefCount(o);
  int code = Tcl_EvalObjv(fuzz::interp(), 3, objv, TCL_EVAL_GLOBAL);
  for (Tcl_Obj* o : objv) Tcl_DecrRefCount(o);
  FUZZ_CHECK(code == TCL_OK, "lsort failed");
  int objc = 0;
  Tcl_Obj** elems = nullptr;
  Tcl_ListObjGetElements(nullptr, Tcl_GetObjResult(fuzz::interp()), &objc, &elems);
  FUZZ_CHECK(objc == 2, "lsort lost an element");
  bool a_first = fuzz::bytes_of(elems[0]) == a;
  Tcl_ResetResult(fuzz::interp());
  return a_first ? "ab" : "ba";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 512) return 0;
  size_t split = data[0] % size;
  std::u32string a = decode(data + 1, split), b = decode(data + 1 + split, size - 1 - split);
  int ours = compare<char32_t>(a, b);
  FUZZ_CHECK(compare<char16_t>(a, b) == ours, fuzz::show(a) + " vs " + fuzz::show(b) + ": width matters");
  FUZZ_CHECK(compare<char32_t>(b, a) == -ours, fuzz::show(a) + " vs " + fuzz::show(b) + ": not antisymmetric");
  std::string ta = fuzz::tcl_bytes(a), tb = fuzz::tcl_bytes(b);
  if (ta == tb) {
    FUZZ_CHECK(ours == 0, fuzz::show(a) + " differs from itself");
    return 0;
  }
  std::string detail = fuzz::show(a) + " vs " + fuzz::show(b) + ": ours " + std::to_string(ours);
  std::string ab = tcl_order(ta, tb, ta), ba = tcl_order(tb, ta, ta);
  if (ours < 0) FUZZ_CHECK(ab == "ab" && ba == "ab", detail);
  if (ours > 0) FUZZ_CHECK(ab == "ba" && ba == "ba", detail);
  if (ours == 0) FUZZ_CHECK(ab == "ab" && ba == "ba", detail);
  return 0;
}
