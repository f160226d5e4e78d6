// Unit tests of the dictionary order: the documented examples, mixed
// character widths (the extension compares strings of different kinds), and
// the properties a sort relies on, checked by brute force over short strings.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/dictorder.hpp"

namespace d = trivex::dictorder;


static bool ascii_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
static char32_t ascii_lower(char32_t c) { return c >= U'A' && c <= U'Z' ? c + 32 : c; }

template <class L, class R>
static std::int64_t cmp(const std::basic_string<L>& a, const std::basic_string<R>& b) {
  return d::compare(a.data(), a.size(), b.data(), b.size(), ascii_digit, ascii_lower);
}

static std::int64_t cmp(const char* a, const char* b) { return cmp(std::string(a), std::string(b)); }

template <class C>
static std::basic_string<C> widen(const std::string& s) {
  std::basic_string<C> out;
  for (unsigned char c : s) out.push_back(static_cast<C>(c));
  return out;
}

static int sign(std::int64_t v) { return (v > 0) - (v < 0); }

static void documented_values() {
  CHECK(cmp("a", "B") < 0);
  CHECK(cmp("B", "b") == -32);
  CHECK(cmp("x10y", "x9y") == 1);
  CHECK(cmp("a2", "a10") == -1);
  CHECK(cmp("a01", "a1") == 1);
  CHECK(cmp("a1", "a01") == -1);
  CHECK(cmp("ab", "abc") == -99);
  CHECK(cmp("", "") == 0);
  CHECK(cmp("abc", "abc") == 0);
  CHECK(cmp("abc", "ABD") == -1);
  CHECK(cmp("10", "9") == 1);
  CHECK(cmp("00", "0") == 1);
  CHECK(cmp("0", "00") == -1);
  // Same value, same length: the digits decide, then the rest of the text.
  CHECK(cmp("x12a", "x12b") < 0);
  CHECK(cmp("x12", "x13") == -1);
  // '_' lies between 'Z' and 'a': below every letter once lowered.
  CHECK(cmp("_", "A") < 0);
  CHECK(cmp("_", "a") < 0);
  // A number against a non-digit compares as characters.
  CHECK(cmp("1", "a") < 0);
  CHECK(cmp("a", "") == 'a');
}

static void widths() {
  const char* pairs[][2] = {{"x10y", "x9y"}, {"B", "b"}, {"ab", "abc"}, {"a01", "a1"}, {"Q", "q2"}};
  for (auto& p : pairs) {
    std::string a = p[0], b = p[1];
    std::int64_t want = cmp(a, b);
    CHECK(cmp(widen<char16_t>(a), b) == want);
    CHECK(cmp(a, widen<char32_t>(b)) == want);
    CHECK(cmp(widen<char32_t>(a), widen<char16_t>(b)) == want);
  }
  // Beyond Latin-1 and the BMP the code points themselves are compared.
  std::u32string hi = U"\U0001F600", lo = U"\u00e9";
  CHECK(cmp(hi, lo) == 0x1F600 - 0xE9);
  CHECK(cmp(lo, std::u32string()) == 0xE9);
}

// Every string of length <= 3 over a small alphabet: the sign must be
// antisymmetric, zero only for equal strings, and the order transitive on
// this set, which the sorts that use it rely on.
static void properties() {
  const std::string alphabet = "0a1A_9";
  std::vector<std::string> all{""};
  for (size_t len = 1; len <= 3; ++len) {
    std::vector<std::string> next;
    for (const auto& s : all)
      if (s.size() == len - 1)
        for (char c : alphabet) next.push_back(s + c);
    all.insert(all.end(), next.begin(), next.end());
  }
  size_t n = all.size();
  std::vector<signed char> sgn(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) sgn[i * n + j] = static_cast<signed char>(sign(cmp(all[i], all[j])));
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      CHECK(sgn[i * n + j] == -sgn[j * n + i]);
      CHECK((sgn[i * n + j] == 0) == (i == j));
    }
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      if (sgn[i * n + j] >= 0) continue;
      for (size_t k = 0; k < n; ++k)
        if (sgn[j * n + k] < 0 && sgn[i * n + k] >= 0) {
          std::fprintf(stderr, "not transitive: %s < %s < %s\n", all[i].c_str(), all[j].c_str(), all[k].c_str());
          ++check::failures;
          return;
        }
    }
}

int main() {
  documented_values();
  widths();
  properties();
  return finish("test_dictorder");
}
