// List-element quoting (tclquote.hpp) against Tcl.
//
// Tcl's list parser must read every quoted element back as exactly the
// original text, alone and between other elements.  Tcl's own quoting
// (Tcl_ScanCountedElement/Tcl_ConvertCountedElement, with a leading '#' left
// alone, as the classic rules leave it) must give the same text, save where
// Tcl braces an element that the classic rules write with backslashes.  The
// result must not depend on the character width, and the length computed in
// advance must be what is written.
#include <string>
#include <vector>

// Before tcl.h, which defines one of the flag names as a macro.
#include "core/tclquote.hpp"
// clang-format off
#include "fuzz_tcl.hpp"
// clang-format on

namespace q = trivex::quote;

namespace {

// Bytes as code points: most stand for themselves (Latin-1), the top few
// for wider characters, so every storage width is reached.
std::u32string decode(const uint8_t* data, size_t size) {
  static const char32_t wide[] = {0x100, 0x2028, 0xFEFF, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF, 0x3000};
  std::u32string s;
  for (size_t i = 0; i < size; ++i) s.push_back(data[i] >= 0xF8 ? wide[data[i] - 0xF8] : data[i]);
  return s;
}

template <class C>
std::u32string quote(const std::u32string& text, unsigned& flags) {
  std::basic_string<C> s(text.begin(), text.end());
  flags = q::scan_element(s.data(), s.size());
  bool braces = q::braced(flags);
  bool unmatched = flags & q::BRACES_UNMATCHED;
  size_t len = q::converted_length(s.data(), s.size(), braces, unmatched);
  std::vector<char32_t> buf(len + 1, U'#');
  char32_t* end = q::convert_element(s.data(), s.size(), braces, unmatched, buf.data());
  FUZZ_CHECK(static_cast<size_t>(end - buf.data()) == len && buf[len] == U'#', fuzz::show(text));
  return std::u32string(buf.data(), len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::u32string text = decode(data, size);
  unsigned flags = 0, flags_narrow = 0;
  std::u32string out = quote<char32_t>(text, flags);
  bool bmp = true, latin1 = true;
  for (char32_t c : text) {
    bmp = bmp && c < 0x10000;
    latin1 = latin1 && c < 0x100;
  }
  if (bmp) FUZZ_CHECK(quote<char16_t>(text, flags_narrow) == out && flags_narrow == flags, fuzz::show(text));
  if (latin1) FUZZ_CHECK(quote<unsigned char>(text, flags_narrow) == out && flags_narrow == flags, fuzz::show(text));

  std::string element = fuzz::tcl_bytes(text);
  std::string ours = fuzz::tcl_bytes(out);
  std::vector<std::string> read;
  FUZZ_CHECK(fuzz::tcl_split(ours, read) && read == std::vector<std::string>{element},
             fuzz::show(text) + " quoted as " + fuzz::show(ours) + " reads as " + fuzz::show(read));
  FUZZ_CHECK(fuzz::tcl_split("x " + ours + " y", read) && read == (std::vector<std::string>{"x", element, "y"}),
             fuzz::show(text) + " quoted as " + fuzz::show(ours) + " amid others reads as " + fuzz::show(read));

  int tcl_flags = 0;
  int room = Tcl_ScanCountedElement(element.data(), static_cast<int>(element.size()), &tcl_flags);
  std::string theirs(static_cast<size_t>(room) + 1, '\0');
  int n = Tcl_ConvertCountedElement(element.data(), static_cast<int>(element.size()), theirs.data(),
                                    tcl_flags | TCL_DONT_QUOTE_HASH);
  theirs.resize(static_cast<size_t>(n));
  if (q::braced(flags) || theirs.empty() || theirs[0] != '{')
    FUZZ_CHECK(ours == theirs, fuzz::show(text) + ": ours " + fuzz::show(ours) + ", Tcl's " + fuzz::show(theirs));
  return 0;
}
