// Das-Dennis reference directions: every vector of m non-negative multiples
// of 1/p that sums to 1, C(p + m - 1, m - 1) of them, stored row by row.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelora::moo {

// Number of directions for m objectives and p divisions, or UINT64_MAX when
// it does not fit in 64 bits.
uint64_t das_dennis_count(size_t m, size_t p);

// The directions in lexicographic order of their multiples, first objective
// largest first: (1,0,...), (1-1/p, 1/p, 0, ...), ... Row length m.
// p = 0 is taken as 1.
std::vector<double> das_dennis(size_t m, size_t p);

}  // namespace pelora::moo
