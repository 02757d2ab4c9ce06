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
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  out.append(buf, r.ptr);
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
