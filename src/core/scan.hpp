// Whole-array tests run on every solve and every array a model is built
// from: is there a NaN, a non-finite value, a bound to rewrite, an empty
// interval, a nonzero? On x86-64 (which always has SSE2) eight doubles or
// sixteen ints are folded per step without a branch per entry, elsewhere
// and for the tail one entry at a time; the caller looks for the offending
// entry only once one is known to exist.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelora {

// True when some entry is NaN.
inline bool any_nan(const double* p, size_t n) noexcept {
  size_t k = 0;
  bool found = false;
#if defined(__x86_64__) && defined(__SSE2__)
  for (; k + 8 <= n; k += 8) {
    const __m128d a = _mm_loadu_pd(p + k), b = _mm_loadu_pd(p + k + 2);
    const __m128d c = _mm_loadu_pd(p + k + 4), d = _mm_loadu_pd(p + k + 6);
    const __m128d any = _mm_or_pd(_mm_cmpunord_pd(a, b), _mm_cmpunord_pd(c, d));
    if (_mm_movemask_pd(any) != 0) return true;
  }
#endif
  for (; k < n; ++k) found |= p[k] != p[k];
  return found;
}

// True when some entry is NaN or infinite (x - x is 0 exactly for a finite x).
inline bool any_non_finite(const double* p, size_t n) noexcept {
  size_t k = 0;
  bool found = false;
#if defined(__x86_64__) && defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd();
  const auto bad = [&](const double* q) {
    const __m128d a = _mm_loadu_pd(q);
    return _mm_cmpneq_pd(_mm_sub_pd(a, a), zero);
  };
  for (; k + 8 <= n; k += 8) {
    const __m128d any = _mm_or_pd(_mm_or_pd(bad(p + k), bad(p + k + 2)), _mm_or_pd(bad(p + k + 4), bad(p + k + 6)));
    if (_mm_movemask_pd(any) != 0) return true;
  }
#endif
  for (; k < n; ++k) found |= !(p[k] - p[k] == 0.0);
  return found;
}

// True when some entry's magnitude is `limit` or more but finite.
inline bool any_large_finite(const double* p, size_t n, double limit) noexcept {
  size_t k = 0;
  bool found = false;
#if defined(__x86_64__) && defined(__SSE2__)
  const __m128d lim = _mm_set1_pd(limit), inf = _mm_set1_pd(__builtin_inf());
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
  // limit <= |x| < inf: the first compare holds and the second does not
  // (for a NaN neither does).
  const auto large = [&](const double* q) {
    const __m128d a = _mm_and_pd(_mm_loadu_pd(q), magnitude);
    return _mm_xor_pd(_mm_cmpge_pd(a, lim), _mm_cmpeq_pd(a, inf));
  };
  for (; k + 8 <= n; k += 8) {
    const __m128d any = _mm_or_pd(_mm_or_pd(large(p + k), large(p + k + 2)), _mm_or_pd(large(p + k + 4), large(p + k + 6)));
    if (_mm_movemask_pd(any) != 0) return true;
  }
#endif
  for (; k < n; ++k) {
    const double a = p[k] < 0 ? -p[k] : p[k];
    found |= (a >= limit) & (a != __builtin_inf());
  }
  return found;
}

// True when some pair of bounds admits no value: lower > upper, or lower is
// +inf, or upper is -inf.
inline bool any_empty_interval(const double* lower, const double* upper, size_t n) noexcept {
  size_t k = 0;
  bool found = false;
#if defined(__x86_64__) && defined(__SSE2__)
  const __m128d inf = _mm_set1_pd(__builtin_inf()), minus_inf = _mm_set1_pd(-__builtin_inf());
  const auto empty = [&](size_t i) {
    const __m128d a = _mm_loadu_pd(lower + i), b = _mm_loadu_pd(upper + i);
    return _mm_or_pd(_mm_cmpgt_pd(a, b), _mm_or_pd(_mm_cmpeq_pd(a, inf), _mm_cmpeq_pd(b, minus_inf)));
  };
  for (; k + 8 <= n; k += 8) {
    const __m128d any = _mm_or_pd(_mm_or_pd(empty(k), empty(k + 2)), _mm_or_pd(empty(k + 4), empty(k + 6)));
    if (_mm_movemask_pd(any) != 0) return true;
  }
#endif
  for (; k < n; ++k) {
    found |= (lower[k] > upper[k]) | (lower[k] == __builtin_inf()) | (upper[k] == -__builtin_inf());
  }
  return found;
}

// True when some entry is not 0.
inline bool any_nonzero(const int32_t* p, size_t n) noexcept {
  size_t k = 0;
#if defined(__x86_64__) && defined(__SSE2__)
  for (; k + 16 <= n; k += 16) {
    const auto* q = reinterpret_cast<const __m128i*>(p + k);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                     _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(any, _mm_setzero_si128())) != 0xffff) return true;
  }
#endif
  int32_t acc = 0;
  for (; k < n; ++k) acc |= p[k];
  return acc != 0;
}

}  // namespace pelora
