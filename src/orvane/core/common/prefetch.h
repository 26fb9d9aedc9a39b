// Software prefetch of matrix cells read soon: the walks read one cell per row of
// a column, a stride the hardware prefetchers do not follow across pages.
#pragma once
#include "strided.h"

namespace orvane {

// Forced inline: out of line, GCC drops the prefetch. Locality 3 fetches into the
// first-level cache; 2 into the second, for cells read after many others, which
// would push them out of the first.
template <int Locality = 3>
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void prefetch(const void* p) {
#if defined(__GNUC__)
  __builtin_prefetch(p, 0, Locality);
#else
  (void)p;
#endif
}

template <int Locality = 3>
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline void prefetch_cell(const View2<double>& m, npy_intp row, npy_intp col) {
  if (m.present && row >= 0 && row < m.n0 && col >= 0 && col < m.n1)
    prefetch<Locality>(m.data + row * m.s0 + col * m.s1);
}

}  // namespace orvane
