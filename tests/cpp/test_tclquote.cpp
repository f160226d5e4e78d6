// Unit tests of the pure quoting algorithm: what Python tests cannot see.
// The length computed in advance must equal what is written (the output
// buffer is sized from it), for every character width, and braces are only
// chosen for text whose braces Tcl's parser finds balanced.
#include <cstdio>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/tclquote.hpp"

namespace q = trivex::quote;

template <class C>
std::u32string quote(const std::basic_string<C>& s, unsigned* flags_out = nullptr) {
  unsigned flags = q::scan_element(s.data(), s.size());
  if (flags_out) *flags_out = flags;
  bool braces = q::braced(flags);
  bool unmatched = flags & q::BRACES_UNMATCHED;
  size_t len = q::converted_length(s.data(), s.size(), braces, unmatched);
  // Guard bytes after the buffer catch a write past the computed length.
  std::vector<char32_t> buf(len + 4, U'#');
  char32_t* end = q::convert_element(s.data(), s.size(), braces, unmatched, buf.data());
  CHECK(static_cast<size_t>(end - buf.data()) == len);
  for (size_t i = len; i < buf.size(); ++i) CHECK(buf[i] == U'#');
  return std::u32string(buf.data(), len);
}

static void table() {
  struct Case {
    std::u32string in, out;
  } cases[] = {
      {U"", U"{}"},          {U"abc", U"abc"},          {U"a b", U"{a b}"},
      {U"{a}", U"{{a}}"},    {U"\"a", U"{\"a}"},        {U"a\"b", U"a\\\"b"},
      {U"a]", U"a\\]"},      {U"a[b]", U"{a[b]}"},      {U"a{b", U"a\\{b"},
      {U"{a", U"\\{a"},      {U"a}b{", U"a\\}b\\{"},    {U"a}{b c", U"a\\}\\{b\\ c"},
      {U"a\\", U"a\\\\"},    {U"a\\b", U"{a\\b}"},      {U"\\{", U"\\\\\\{"},
      {U"#a", U"#a"},        {U"a\tb", U"{a\tb}"},      {U"a{\nb", U"a\\{\\nb"},
      {U"{a\\}", U"\\{a\\\\\\}"}, {U"\\{}", U"\\\\\\{\\}"}, {U"\u00e9\U0001F600 x", U"{\u00e9\U0001F600 x}"},
  };
  for (const Case& c : cases) {
    CHECK(quote(c.in) == c.out);
  }
}

static void exhaustive() {
  const std::u32string alphabet = U"a{}\\ \"[]$;#\n\t\v\fx\u00e9";
  std::vector<std::u32string> level{U""};
  for (int len = 0; len <= 5; ++len) {
    std::vector<std::u32string> next;
    for (const auto& s : level) {
      unsigned f32 = 0, f16 = 0, f8 = 0;
      std::u32string out = quote(s, &f32);
      // The result does not depend on the width the text is stored in.
      CHECK(quote(widen<char16_t>(s), &f16) == out && f16 == f32);
      CHECK(quote(widen<unsigned char>(s), &f8) == out && f8 == f32);
      if (q::braced(f32)) CHECK(q::tcl_braces_balanced(s.data(), s.size()));
      // Exactly one of the three forms.
      if (s.empty())
        CHECK(out == U"{}");
      else if (q::braced(f32))
        CHECK(out == U"{" + s + U"}");
      if (len < 5)
        for (char32_t c : alphabet) next.push_back(s + c);
    }
    level.swap(next);
  }
}

int main() {
  table();
  exhaustive();
  return finish("test_tclquote");
}
