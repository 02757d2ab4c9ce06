#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace pelora {

size_t write_plain_number(char* out, double v) {
  char* o = out;
  if (std::isnan(v)) {
    std::memcpy(o, "nan", 3);
    return 3;
  }
  if (std::isinf(v)) {
    if (v < 0) *o++ = '-';
    std::memcpy(o, "inf", 3);
    return static_cast<size_t>(o + 3 - out);
  }
  // Integral values below 2^53 are their own shortest digits; -0 keeps its sign.
  if (v == std::trunc(v) && std::fabs(v) < 9007199254740992.0) {
    if (v == 0.0) {
      if (std::signbit(v)) *o++ = '-';
      *o++ = '0';
      return static_cast<size_t>(o - out);
    }
    return static_cast<size_t>(std::to_chars(o, o + 24, static_cast<int64_t>(v)).ptr - out);
  }
  // A value with a fraction is below 2^52: its shortest fixed-notation text
  // has the shortest round-trip digits.
  if (v != std::trunc(v))
    return static_cast<size_t>(std::to_chars(o, o + kMaxPlainNumber, v, std::chars_format::fixed).ptr - out);
  // Large integers: the shortest digits that read back to v, laid out
  // without an exponent, padded with zeros ("100000000000000000000000" for
  // 1e23, not the exact binary value 99999999999999991611392).
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[24];
  int n = 0;
  const char* e = p;
  for (; e < end && *e != 'e'; ++e)
    if (*e != '.') digits[n++] = *e;
  int exp = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), end, exp);
  if (exp < 0) {
    *o++ = '0';
    *o++ = '.';
    std::memset(o, '0', static_cast<size_t>(-exp - 1));
    o += -exp - 1;
    std::memcpy(o, digits, static_cast<size_t>(n));
    o += n;
  } else if (exp + 1 >= n) {
    std::memcpy(o, digits, static_cast<size_t>(n));
    o += n;
    std::memset(o, '0', static_cast<size_t>(exp + 1 - n));
    o += exp + 1 - n;
  } else {
    std::memcpy(o, digits, static_cast<size_t>(exp + 1));
    o += exp + 1;
    *o++ = '.';
    std::memcpy(o, digits + exp + 1, static_cast<size_t>(n - exp - 1));
    o += n - exp - 1;
  }
  return static_cast<size_t>(o - out);
}

void append_plain_number(std::string& out, double v) {
  char buf[kMaxPlainNumber];
  out.append(buf, write_plain_number(buf, v));
}

std::string plain_number(double v) {
  std::string s;
  append_plain_number(s, v);
  return s;
}

std::string fixed_number(double v, int digits) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, digits);
  return std::string(buf, r.ptr);
}

std::string sci_number(double v, int digits) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits);
  std::string s(buf, r.ptr);
  // to_chars writes e+12 / e-03; the message format wants e12 / e-3.
  auto e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e);
  std::string exp = s.substr(e + 1);
  bool neg = !exp.empty() && exp[0] == '-';
  size_t i = (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) ? 1 : 0;
  while (i + 1 < exp.size() && exp[i] == '0') ++i;
  return mant + "e" + (neg ? "-" : "") + exp.substr(i);
}

}  // namespace pelora
