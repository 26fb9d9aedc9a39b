// Branch-free choice between two doubles, for comparisons that go either way at
// random (a walk's new high, a holding's side): a mispredicted branch costs more
// than computing both values.
#pragma once
#include <cstdint>
#include <cstring>

namespace orvane {

// a if c else b, by masking the bits (a plain ?: on doubles often stays a branch).
inline double select(bool c, double a, double b) {
  uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  const uint64_t mask = 0 - static_cast<uint64_t>(c);
  const uint64_t r = (x & mask) | (y & ~mask);
  double out;
  std::memcpy(&out, &r, sizeof out);
  return out;
}

}  // namespace orvane
