// The list-splitting walk (bridge/listwalk.hpp), with Tcl's scanner, against
// Tcl's own list parser: the same verdict on every text, and the same
// elements, byte for byte, NUL bytes included (save the text that parser
// cannot read safely, which only ours is given).
#include <string>
#include <vector>

#include "fuzz_tcl.hpp"
#include "bridge/listwalk.hpp"

// Tcl's internal scanner and collapser, exported by the library but
// declared only in its private headers.
extern "C" int TclFindElement(Tcl_Interp*, const char*, int, const char**, const char**, int*, int*);
extern "C" int TclCopyAndCollapse(int, const char*, char*);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> ours, theirs;
  std::string scratch;
  bool asked = false;
  bool ok = trivex::tcl::split_list(
      TclFindElement, TclCopyAndCollapse,
      [&]() -> Tcl_Interp* {
        FUZZ_CHECK(!asked, "the interpreter is asked for once");
        asked = true;
        return nullptr;
      },
      text.data(), text.size(), scratch, [&](const char* s, size_t n) { ours.emplace_back(s, n); });
  FUZZ_CHECK(asked == !text.empty(), fuzz::show(text));
  if (fuzz::tcl_parser_overruns(text)) return 0;  // our split ran, under the sanitizers
  bool tcl_ok = fuzz::tcl_split(text, theirs);
  FUZZ_CHECK(ok == tcl_ok, fuzz::show(text) + (ok ? " split, Tcl rejects it" : " rejected, Tcl splits it"));
  if (ok) FUZZ_CHECK(ours == theirs, fuzz::show(text) + ": ours " + fuzz::show(ours) + ", Tcl's " + fuzz::show(theirs));
  return 0;
}
