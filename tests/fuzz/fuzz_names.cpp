// Name arithmetic (names.hpp) against a Tcl interpreter.
//
// Qualifiers and tail must be what `namespace qualifiers` and `namespace
// tail` say, for any text.  For an absolute name that Tcl accepts as a
// namespace, the parent must be what `namespace parent` says, and when the
// strict reading accepts the name, its normal form must be Tcl's own name
// for that namespace (`namespace current` inside it).  `is_normal` must say
// whether the strict reading leaves the name unchanged.
#include <set>
#include <string>
#include <vector>

#include "fuzz_tcl.hpp"
#include "core/names.hpp"

namespace nm = trivex::names;

namespace {

// Bytes as characters, colons most often.
std::u32string decode(const uint8_t* data, size_t size) {
  static const std::u32string alphabet = U"::::::ab c{}\\\"$x\u00e9\U0001F600";
  std::u32string s;
  for (size_t i = 0; i < size; ++i) s.push_back(alphabet[data[i] % alphabet.size()]);
  return s;
}

std::set<std::string> top_level_namespaces() {
  std::string children;
  fuzz::tcl_call({"namespace", "children", "::"}, &children);
  std::vector<std::string> names;
  fuzz::tcl_split(children, names);
  return {names.begin(), names.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256) return 0;
  static const std::set<std::string> initial = top_level_namespaces();
  std::u32string name = decode(data, size);
  std::string text = fuzz::tcl_bytes(name);
  std::string what = fuzz::show(name);

  std::string tcl;
  FUZZ_CHECK(fuzz::tcl_call({"namespace", "qualifiers", text}, &tcl), what);
  std::string ours = fuzz::tcl_bytes(name.substr(0, nm::qualifiers_len(name.data(), name.size())));
  FUZZ_CHECK(ours == tcl, what + ": qualifiers " + fuzz::show(ours) + ", Tcl's " + fuzz::show(tcl));
  FUZZ_CHECK(fuzz::tcl_call({"namespace", "tail", text}, &tcl), what);
  ours = fuzz::tcl_bytes(name.substr(nm::tail_start(name.data(), name.size())));
  FUZZ_CHECK(ours == tcl, what + ": tail " + fuzz::show(ours) + ", Tcl's " + fuzz::show(tcl));

  bool absolute = false;
  std::vector<nm::Piece> pieces;
  bool strict = nm::split(name.data(), name.size(), absolute, pieces);
  std::u32string normal;
  if (strict) nm::write_normalized(name.data(), absolute, pieces, normal);
  FUZZ_CHECK(nm::is_normal(name.data(), name.size()) == (strict && normal == name),
             what + ": is_normal disagrees with the strict reading");

  if (!nm::starts_with_sep(name.data(), name.size())) return 0;
  if (fuzz::tcl_call({"namespace", "eval", text, "namespace current"}, &tcl)) {
    if (strict && !pieces.empty())
      FUZZ_CHECK(fuzz::tcl_bytes(normal) == tcl, what + ": normal form " + fuzz::show(normal) + ", Tcl's " +
                                                     fuzz::show(tcl));
    std::string parent;
    FUZZ_CHECK(fuzz::tcl_call({"namespace", "parent", text}, &parent), what);
    std::u32string ours_parent;
    nm::absolute_parent(name.data(), name.size(), ours_parent);
    FUZZ_CHECK(fuzz::tcl_bytes(ours_parent) == parent,
               what + ": parent " + fuzz::show(ours_parent) + ", Tcl's " + fuzz::show(parent));
  }
  for (const std::string& ns : top_level_namespaces())
    if (!initial.count(ns)) fuzz::tcl_call({"namespace", "delete", ns});
  return 0;
}
