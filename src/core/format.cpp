#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace pelora {

void append_plain_number(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest digits that read back to v, then laid out without an
  // exponent: large values are padded with zeros ("100000000000000000000000"
  // for 1e23, not the exact binary value 99999999999999991611392).
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  std::string digits;
  const char* e = p;
  for (; e < r.ptr && *e != 'e'; ++e)
    if (*e != '.') digits += *e;
  int exp = 0;
  std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), r.ptr, exp);
  const int n = static_cast<int>(digits.size());
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  } else if (exp + 1 >= n) {
    out += digits;
    out.append(static_cast<size_t>(exp + 1 - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(exp + 1));
    out += '.';
    out.append(digits, static_cast<size_t>(exp + 1), std::string::npos);
  }
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
