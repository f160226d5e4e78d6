// Unit tests of Tcl's byte form: what encoding writes is what Tcl reads
// (no NUL byte, no four-byte sequence), and text read back through a
// surrogateescape UTF-8 decoding, with the two steps around it, is the text
// that was written, for every kind of code point.
#include <cstdint>
#include <random>
#include <string>

#include "check.hpp"
#include "core/tclcodec.hpp"

namespace tc = trivex::tclcodec;

// A UTF-8 decoding as the host's decoder with "surrogateescape" does it:
// a byte that does not start a well-formed sequence (overlong forms and
// encoded surrogates included) becomes U+DC00 + byte.
static std::u32string decode_escaping(const std::string& b) {
  std::u32string out;
  auto cont = [&](size_t k) { return k < b.size() && (static_cast<uint8_t>(b[k]) & 0xC0) == 0x80; };
  for (size_t i = 0; i < b.size();) {
    uint8_t c = static_cast<uint8_t>(b[i]);
    if (c < 0x80) {
      out.push_back(c);
      i += 1;
    } else if (c >= 0xC2 && c < 0xE0 && cont(i + 1)) {
      out.push_back(((c & 0x1Fu) << 6) | (static_cast<uint8_t>(b[i + 1]) & 0x3Fu));
      i += 2;
    } else if (c >= 0xE0 && c < 0xF0 && cont(i + 1) && cont(i + 2)) {
      char32_t v = ((c & 0x0Fu) << 12) | ((static_cast<uint8_t>(b[i + 1]) & 0x3Fu) << 6) |
                   (static_cast<uint8_t>(b[i + 2]) & 0x3Fu);
      if (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF)) {
        out.push_back(0xDC00 + c);
        i += 1;
      } else {
        out.push_back(v);
        i += 3;
      }
    } else {
      out.push_back(0xDC00 + c);
      i += 1;
    }
  }
  return out;
}

static std::u32string decode(const std::string& bytes) {
  std::string buf = bytes;
  if (tc::may_hold_nul_pairs(bytes.data(), bytes.size())) {
    buf.clear();
    tc::collapse_nul_pairs(bytes.data(), bytes.size(), buf);
  }
  std::u32string u = decode_escaping(buf);
  size_t at = u.find(static_cast<char32_t>(tc::kEscapedED));
  if (at == std::u32string::npos) return u;
  std::basic_string<uint32_t> cp(u.begin(), u.end());
  size_t n = tc::join_escaped_pairs(cp.data(), cp.size(), at);
  return std::u32string(cp.begin(), cp.begin() + static_cast<std::ptrdiff_t>(n));
}

template <class C>
static std::string encode(const std::u32string& s) {
  std::basic_string<C> w = widen<C>(s);
  std::string out;
  tc::encode(w.data(), w.size(), out);
  return out;
}

static void check_round_trip(const std::u32string& s) {
  std::string bytes = encode<char32_t>(s);
  CHECK(bytes.find('\0') == std::string::npos);
  for (char ch : bytes) CHECK((static_cast<uint8_t>(ch) & 0xF8) != 0xF0);
  CHECK(decode(bytes) == s);
}

static void table() {
  CHECK(encode<char32_t>(U"") == "");
  CHECK(encode<char>(std::u32string(1, U'\0')) == "\xc0\x80");
  CHECK(encode<char16_t>(U"\u00e9\u20ac") == "\xc3\xa9\xe2\x82\xac");
  CHECK(encode<char32_t>(U"\U0001F600") == "\xed\xa0\xbd\xed\xb8\x80");
  using namespace std::string_literals;
  for (const std::u32string& s : {U"plain"s, U"a\0b"s, U"\u00ff\u0100\uffff"s, U"\U00010000\U0010FFFF"s,
                                  U"x\U0001F600y\U0001F600"s, U"\0\0"s})
    check_round_trip(s);
  // A lone encoded surrogate is not a pair: it stays as its escaped bytes.
  CHECK(decode("\xed\xa0\xbd") == std::u32string({0xDCED, 0xDCA0, 0xDCBD}));
  CHECK(decode("\xed\xb8\x80\xed\xa0\xbd") == std::u32string({0xDCED, 0xDCB8, 0xDC80, 0xDCED, 0xDCA0, 0xDCBD}));
}

static void random_texts() {
  std::mt19937 rng(12);
  const char32_t pools[][2] = {{0, 0x7F}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (int t = 0; t < 20000; ++t) {
    std::u32string s;
    int n = static_cast<int>(rng() % 12);
    for (int i = 0; i < n; ++i) {
      const char32_t* p = pools[rng() % 5];
      s.push_back(p[0] + static_cast<char32_t>(rng() % (p[1] - p[0] + 1)));
    }
    check_round_trip(s);
    // Every width writes the same bytes for the code points it can hold.
    bool bmp = true;
    for (char32_t c : s) bmp = bmp && c < 0x10000;
    if (bmp) CHECK(encode<char16_t>(s) == encode<char32_t>(s));
  }
}

int main() {
  table();
  random_texts();
  return finish("test_tclcodec");
}
