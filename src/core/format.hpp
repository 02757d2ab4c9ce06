// Number texts shared by reprs, exports and messages.
#pragma once
#include <cstddef>
#include <string>

namespace pelora {

// Shortest decimal that reads back to the same double, never with an
// exponent; integral values have no fractional part ("2", "0.5", "-3",
// "0.0000001", "100000000000000000000"). Infinities print "inf"/"-inf", NaN "nan".
std::string plain_number(double v);
void append_plain_number(std::string& out, double v);
// The same text written to `out`, which has room for kMaxPlainNumber
// characters; returns its length.
inline constexpr size_t kMaxPlainNumber = 352;  // "-0.", 323 zeros, 17 digits
size_t write_plain_number(char* out, double v);

// Fixed notation with `digits` digits after the point ("{:.4}" -> 5.0000).
std::string fixed_number(double v, int digits);

// Scientific notation with `digits` after the point, lower-case e, exponent
// without plus sign or leading zeros: 2e12 -> "2.00e12" (digits 2), "2e12" (0).
std::string sci_number(double v, int digits);

}  // namespace pelora
