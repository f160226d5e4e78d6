// Unit tests of the name arithmetic over code points, at every character
// width: the strict split, the Tcl reading used for parents, and the
// qualifier/tail positions.  Python tests cover the same rules through the
// module; these pin the algorithm down without Python and run under the
// sanitizers.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/names.hpp"

namespace nm = trivex::names;

template <class C>
std::u32string narrow(const std::basic_string<C>& s) {
  std::u32string out;
  for (C c : s) out.push_back(static_cast<char32_t>(c));
  return out;
}

// The strict split as a list of pieces, "" first for an absolute name, or
// {"!"} when the name is rejected.
template <class C>
std::vector<std::u32string> split(const std::u32string& text) {
  std::basic_string<C> s = widen<C>(text);
  bool absolute = false;
  std::vector<nm::Piece> pieces;
  if (!nm::split(s.data(), s.size(), absolute, pieces)) return {U"!"};
  std::vector<std::u32string> out;
  if (absolute) out.push_back(U"");
  for (const auto& p : pieces) out.push_back(narrow(s.substr(p.start, p.len)));
  return out;
}

template <class C>
std::u32string normalized(const std::u32string& text) {
  std::basic_string<C> s = widen<C>(text);
  bool absolute = false;
  std::vector<nm::Piece> pieces;
  if (!nm::split(s.data(), s.size(), absolute, pieces)) return U"!";
  std::basic_string<C> out;
  nm::write_normalized(s.data(), absolute, pieces, out);
  return narrow(out);
}

template <class C>
std::u32string parent(const std::u32string& text) {
  std::basic_string<C> s = widen<C>(text);
  std::basic_string<C> out;
  nm::absolute_parent(s.data(), s.size(), out);
  return narrow(out);
}

template <class C>
std::u32string qualifiers(const std::u32string& text) {
  std::basic_string<C> s = widen<C>(text);
  return narrow(s.substr(0, nm::qualifiers_len(s.data(), s.size())));
}

template <class C>
std::u32string tail(const std::u32string& text) {
  std::basic_string<C> s = widen<C>(text);
  return narrow(s.substr(nm::tail_start(s.data(), s.size())));
}

using V = std::vector<std::u32string>;

template <class C>
void run() {
  CHECK((split<C>(U"::a::b") == V{U"", U"a", U"b"}));
  CHECK((split<C>(U"a::b") == V{U"a", U"b"}));
  CHECK((split<C>(U"::") == V{U""}));
  CHECK((split<C>(U"") == V{}));
  CHECK((split<C>(U"::a::") == V{U"", U"a"}));
  CHECK((split<C>(U"a::::b") == V{U"a", U"b"}));
  CHECK((split<C>(U"a:::b") == V{U"!"}));
  CHECK((split<C>(U"a:b") == V{U"!"}));
  CHECK((split<C>(U":") == V{U"!"}));
  CHECK((split<C>(U":::") == V{U"!"}));  // "::" then ":"
  CHECK((split<C>(U"::::") == V{U""}));
  CHECK((split<C>(U"\u00e9::x") == V{U"\u00e9", U"x"}));
  if constexpr (sizeof(C) == 4) CHECK((split<C>(U"\u00e9::\U0001F600") == V{U"\u00e9", U"\U0001F600"}));

  CHECK(normalized<C>(U"::a::::b::") == U"::a::b");
  CHECK(normalized<C>(U"::") == U"");
  CHECK(normalized<C>(U"") == U"");
  CHECK(normalized<C>(U"a::b") == U"a::b");

  // is_normal agrees with "normalizing changes nothing".
  for (const char32_t* text : {U"", U"a", U"::a", U"a::b", U"::a::b", U"::", U"a::", U"::a::", U"a::::b", U":a",
                               U"a:b", U"a:::b", U"::::a", U"a:", U"\u00e9::b", U"a:: b"}) {
    std::u32string t(text);
    std::basic_string<C> w = widen<C>(t);
    bool normal = nm::is_normal(w.data(), w.size());
    CHECK(normal == (normalized<C>(t) == t));
  }

  CHECK(qualifiers<C>(U"::a::b::c") == U"::a::b");
  CHECK(qualifiers<C>(U"a::b") == U"a");
  CHECK(qualifiers<C>(U"a:::b") == U"a");
  CHECK(qualifiers<C>(U"::a") == U"");
  CHECK(qualifiers<C>(U"a") == U"");
  CHECK(qualifiers<C>(U"") == U"");

  CHECK(tail<C>(U"::a::b") == U"b");
  CHECK(tail<C>(U"b") == U"b");
  CHECK(tail<C>(U"a:::b") == U"b");
  CHECK(tail<C>(U"::") == U"");
  CHECK(tail<C>(U"a::") == U"");

  // What `namespace parent` answers for these names.
  CHECK(parent<C>(U"::a::b") == U"::a");
  CHECK(parent<C>(U"::a") == U"::");
  CHECK(parent<C>(U"::") == U"");
  CHECK(parent<C>(U"::a::b::") == U"::a");
  CHECK(parent<C>(U"::a:::b") == U"::a");
  CHECK(parent<C>(U"::::a::b") == U"::a");
  CHECK(parent<C>(U"::x:y") == U"::");
  CHECK(parent<C>(U":::a") == U"::");
  CHECK(parent<C>(U"::a:b::c") == U"::a:b");
}

int main() {
  run<unsigned char>();
  run<char16_t>();
  run<char32_t>();
  return finish("test_names");
}
