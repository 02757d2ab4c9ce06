// The seeded xorshift generator every black-box run owns, with the draws the
// optimisers are built from. Each draw first advances the state by one step
// and then reads it; nothing here allocates.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace pelora::blackbox {

class XorShift64 {
 public:
  // A seed of 0 would keep the state at 0 for ever, so it acts as 1.
  explicit XorShift64(uint64_t seed) noexcept : state_(seed == 0 ? 1 : seed) {}

  // One step: the 13/7/17 xorshift on 64 bits; returns the new state.
  uint64_t next() noexcept {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

  // Uniform in [0, 1): the top 53 bits of one step scaled by 2^-53.
  double uniform() noexcept {
    return static_cast<double>(next() >> 11) * 1.1102230246251565e-16;
  }

  // Index in [0, n): one step, its low 32 bits modulo n. n must be > 0.
  size_t index(size_t n) noexcept {
    const uint32_t low = static_cast<uint32_t>(next());
    return static_cast<size_t>(low % n);
  }

  // Standard normal deviate by Box-Muller, cosine branch only: exactly two
  // uniform draws (u1 first, u2 second); the sine partner is not kept.
  double normal() noexcept {
    const double u1 = uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1 > 1e-15 ? u1 : 1e-15)) *
           std::cos(6.283185307179586 * u2);
  }

  uint64_t state() const noexcept { return state_; }

 private:
  uint64_t state_;
};

}  // namespace pelora::blackbox
