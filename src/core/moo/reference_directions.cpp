#include "core/moo/reference_directions.hpp"

#include <limits>
#include <numeric>

namespace pelora::moo {

uint64_t das_dennis_count(size_t m, size_t p) {
  if (m == 0) return 0;
  if (m == 1) return 1;
  // C(p + m - 1, m - 1) as the running product c_k = c_{k-1} * (p + k) / k,
  // k = 1 .. m-1, which stays an integer. With g = gcd(c, k), k / g divides
  // p + k, so the step is an exact product whose overflow is detected.
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t c = 1;
  for (uint64_t k = 1; k < m; ++k) {
    if (p > kMax - k) return kMax;
    const uint64_t g = std::gcd(c, k);
    if (__builtin_mul_overflow(c / g, (p + k) / (k / g), &c)) return kMax;
  }
  return c;
}

std::vector<double> das_dennis(size_t m, size_t p) {
  std::vector<double> out;
  if (m == 0) return out;
  if (p == 0) p = 1;
  out.reserve(static_cast<size_t>(das_dennis_count(m, p)) * m);
  // Walk every composition of p into m parts, first part largest first.
  std::vector<size_t> parts(m, 0);
  const double step = 1.0 / static_cast<double>(p);
  auto emit = [&] {
    for (size_t k = 0; k < m; ++k) out.push_back(static_cast<double>(parts[k]) * step);
  };
  // parts[0..m-2] are chosen, the last part takes what remains.
  auto fill = [&](auto&& self, size_t k, size_t left) -> void {
    if (k + 1 == m) {
      parts[k] = left;
      emit();
      return;
    }
    for (size_t v = left + 1; v-- > 0;) {
      parts[k] = v;
      self(self, k + 1, left - v);
    }
  };
  fill(fill, 0, p);
  return out;
}

}  // namespace pelora::moo
