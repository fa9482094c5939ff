// The neutraliser: text on its way to rich has its control characters and
// lone surrogates shown, never sent. Header-only, so the scan stays inlined
// into the composition's loops.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "deck_glue.hpp"

namespace orvan {

using namespace deck::prelude;

// rich passes ESC, the other C0 controls, DEL and C1 to the terminal as they
// are, so text from outside could retitle, clear or drive it. Newline and tab
// keep their meaning. A lone surrogate (a file name decoded with
// surrogateescape, say) is written back by the stream as the byte it stands
// for, which may be a C1 control, or fails to encode, at a redraw.
enum : unsigned char { kPlain, kControl, kC1Lead, kSurrogateLead };

constexpr std::array<unsigned char, 256> control_bytes() {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kControl;
  t['\n'] = t['\t'] = kPlain;
  t[0x7F] = kControl;
  t[0xC2] = kC1Lead;         // U+0080..U+009F are C2 80..C2 9F
  t[0xED] = kSurrogateLead;  // U+D800..U+DFFF are ED A0 80..ED BF BF
  return t;
}
inline constexpr std::array<unsigned char, 256> kControlBytes = control_bytes();

// Whether the character at p[i] (n bytes in all) must be shown, not sent.
inline bool special_at(const unsigned char* p, Py_ssize_t i, Py_ssize_t n) {
  switch (kControlBytes[p[i]]) {
    case kControl: return true;
    case kC1Lead: return i + 1 < n && p[i + 1] < 0xA0;
    case kSurrogateLead: return i + 1 < n && p[i + 1] >= 0xA0;
    default: return false;
  }
}

// One pass over UTF-8 text: where the first character to neutralise starts
// (n if none), and whether a "[" comes before it, which is all a markup
// check needs to know. Eight bytes at a time pass when all are printable
// ASCII (0x20 to 0x7E); a block that may hold anything else is looked at
// byte by byte.
struct Scan {
  Py_ssize_t special;
  bool bracket;
};

[[gnu::always_inline]] inline Scan scan(const unsigned char* p, Py_ssize_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  bool bracket = false;
  Py_ssize_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      std::uint64_t x;
      std::memcpy(&x, p + i, 8);
      const std::uint64_t below_space = (x - kOnes * 0x20) & ~x;  // a byte under 0x20
      const std::uint64_t y = x ^ (kOnes * 0x7F);
      const std::uint64_t del = (y - kOnes) & ~y;  // a 0x7F byte
      if (((below_space | del | x) & kHigh) == 0) {
        const std::uint64_t z = x ^ (kOnes * '[');
        bracket |= ((z - kOnes) & ~z & kHigh) != 0;  // a "[" byte
        i += 8;
        continue;
      }
    }
    for (const Py_ssize_t end = i + 8 < n ? i + 8 : n; i < end; ++i) {
      if (special_at(p, i, n)) return {i, bracket};
      bracket |= p[i] == '[';
    }
  }
  return {n, bracket};
}

// The shown form of UTF-8 `text` of `n` bytes whose first character to
// neutralise starts at byte `i`: C0 as their control pictures (U+2400 + c),
// DEL as U+2421, C1 as "<9B>" (hex in angle brackets), a surrogate that
// stands for a byte (U+DC80..U+DCFF) as that byte, "<C2>", and any other
// lone surrogate as its code, "<D800>". None of these holds "[", "]", "\" or
// ":", so no markup or emoji code appears that the caller did not write, and
// the surrogates' forms are ASCII, which every stream can write.
[[gnu::noinline]] inline Ref neutralised_copy(const char* text, Py_ssize_t n, Py_ssize_t i) {
  static constexpr char hex[] = "0123456789ABCDEF";
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::string out(text, static_cast<size_t>(i));
  out.reserve(static_cast<size_t>(n) + 16);
  auto code = [&](unsigned v, int digits) {
    out += '<';
    for (int d = digits - 1; d >= 0; --d) out += hex[(v >> (4 * d)) & 0xF];
    out += '>';
  };
  while (i < n) {
    const unsigned char c = p[i];
    if (!special_at(p, i, n)) {
      out += static_cast<char>(c);
      ++i;
    } else if (kControlBytes[c] == kControl) {
      const unsigned char low = c == 0x7F ? 0xA1 : static_cast<unsigned char>(0x80 + c);
      out += '\xE2';
      out += '\x90';
      out += static_cast<char>(low);
      ++i;
    } else if (kControlBytes[c] == kC1Lead) {
      code(p[i + 1], 2);
      i += 2;
    } else {  // ED A0..BF xx, as surrogatepass encodes a lone surrogate
      const unsigned v = 0xD000u | ((p[i + 1] & 0x3Fu) << 6) | (i + 2 < n ? p[i + 2] & 0x3Fu : 0u);
      if (v >= 0xDC80 && v <= 0xDCFF)
        code(v - 0xDC00, 2);
      else
        code(v, 4);
      i += 3;
    }
  }
  return ok(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr));
}

// A str with a lone surrogate has no UTF-8 form; its surrogatepass one is
// scanned instead, and always copied.
[[gnu::noinline]] inline Ref neutralised_surrogates(Ref s, bool* bracket) {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw deck::PyErrSet{};
  PyErr_Clear();
  Ref encoded = ok(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
  char* b = nullptr;
  Py_ssize_t n = 0;
  ok(PyBytes_AsStringAndSize(encoded.get(), &b, &n));
  if (n < 0) n = 0;  // never, but newer compilers can't tell and warn on the memchr bound
  const Scan found = scan(reinterpret_cast<const unsigned char*>(b), n);
  if (bracket) *bracket = std::memchr(b, '[', static_cast<size_t>(n)) != nullptr;
  return found.special == n ? std::move(s) : neutralised_copy(b, n, found.special);
}

// Takes `s` and gives it back, or its neutralised copy; with `bracket`, says
// whether the text shown holds a "[". Anything that is not a str passes
// untouched.
[[gnu::always_inline]] inline Ref neutralise(Ref s, bool* bracket = nullptr) {
  if (!PyUnicode_Check(s.get())) return s;
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s.get(), &n);  // no copy for ASCII
  if (!text) return neutralised_surrogates(std::move(s), bracket);
  const Scan found = scan(reinterpret_cast<const unsigned char*>(text), n);
  if (found.special == n) {
    if (bracket) *bracket = found.bracket;
    return s;
  }
  // the rest of the text was not looked at; no replacement holds "["
  if (bracket) *bracket = found.bracket || std::memchr(text + found.special, '[', static_cast<size_t>(n - found.special));
  return neutralised_copy(text, n, found.special);
}

inline Ref neutralise(PyObject* s, bool* bracket = nullptr) { return neutralise(Ref::borrow(s), bracket); }

}  // namespace orvan
